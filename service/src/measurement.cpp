#include "measurement.h"

#include <array>
#include <utility>

namespace valdane::svc {
namespace {

constexpr std::array<std::pair<Status, std::string_view>, 8> kNames{{
    {Status::Ok, "ok"},
    {Status::NotFound, "not-found"},
    {Status::Blocked, "blocked"},
    {Status::RateLimited, "rate-limited"},
    {Status::ParseFailed, "parse-failed"},
    {Status::NetworkError, "network-error"},
    {Status::NotConfigured, "not-configured"},
    {Status::Unsupported, "unsupported"},
}};

constexpr std::array<std::string_view, 5> kPageNames{"sites", "links", "ranks", "whois", "alexa"};

} // namespace

std::string_view PageName(Page page) {
    return kPageNames[static_cast<std::size_t>(page)];
}

std::optional<Page> PageFromName(std::string_view name) {
    for (Page page : kPages)
        if (PageName(page) == name)
            return page;
    return std::nullopt;
}

std::string_view StatusName(Status status) {
    for (const auto& [s, name] : kNames)
        if (s == status)
            return name;
    return "unsupported";
}

std::optional<Status> StatusFromName(std::string_view name) {
    for (const auto& [s, n] : kNames)
        if (n == name)
            return s;
    return std::nullopt;
}

std::string_view StatusText(Status status) {
    switch (status) {
    case Status::Ok:
        return "正常";
    case Status::NotFound:
        return "无结果（0）";
    case Status::Blocked:
        return "被拦截";
    case Status::RateLimited:
        return "请求受限";
    case Status::ParseFailed:
        return "无法解析";
    case Status::NetworkError:
        return "网络错误";
    case Status::NotConfigured:
        return "未配置";
    case Status::Unsupported:
        return "无数据源";
    }
    return "";
}

Measurement Failed(Status status, std::string detail) {
    Measurement m;
    m.status = status;
    m.detail = std::move(detail);
    return m;
}

} // namespace valdane::svc
