// Why a value is missing or a source is unwell, in the words a user reads: shared by the home
// page, the overview tooltips and the cell-state page, so that they never disagree.
#include "pages.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

namespace valdane::svc {
namespace {

// The transport errors met in practice. Matched by curl's and the C library's own texts, read
// at run time, so that a newer libcurl's wording still matches.
const std::vector<std::pair<std::string, std::string_view>>& ErrorTexts() {
    static const auto table = [] {
        const std::pair<CURLcode, std::string_view> curl[] = {
            {CURLE_COULDNT_RESOLVE_HOST, "无法解析主机名"},
            {CURLE_COULDNT_RESOLVE_PROXY, "无法解析代理服务器的主机名"},
            {CURLE_COULDNT_CONNECT, "无法连接到服务器"},
            {CURLE_OPERATION_TIMEDOUT, "连接超时"},
            {CURLE_SSL_CONNECT_ERROR, "TLS 握手失败"},
            {CURLE_PEER_FAILED_VERIFICATION, "服务器证书无效"},
            {CURLE_SSL_CACERT_BADFILE, "无法读取本机的 CA 证书"},
            {CURLE_GOT_NOTHING, "服务器没有返回任何内容"},
            {CURLE_RECV_ERROR, "接收数据失败"},
            {CURLE_SEND_ERROR, "发送数据失败"},
            {CURLE_PARTIAL_FILE, "传输中断"},
            {CURLE_WEIRD_SERVER_REPLY, "服务器的回答无法识别"},
            {CURLE_BAD_CONTENT_ENCODING, "内容无法解压"},
            {CURLE_HTTP2, "HTTP/2 出错"},
            {CURLE_PROXY, "代理服务器出错"},
            {CURLE_URL_MALFORMAT, "地址格式错误"},
            {CURLE_UNSUPPORTED_PROTOCOL, "不支持的协议"},
        };
        const std::pair<int, std::string_view> system[] = {
            {ECONNREFUSED, "连接被拒绝"},   {ETIMEDOUT, "连接超时"},
            {ENETUNREACH, "网络不可达"},    {EHOSTUNREACH, "无法到达主机"},
            {ECONNRESET, "连接被对方重置"},
        };
        std::vector<std::pair<std::string, std::string_view>> out;
        for (const auto& [code, text] : curl)
            out.emplace_back(curl_easy_strerror(code), text);
        for (const auto& [code, text] : system)
            out.emplace_back(std::strerror(code), text);
        // Longest first: one text may hold another.
        std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
            return a.first.size() > b.first.size();
        });
        return out;
    }();
    return table;
}

std::string Replaced(std::string text, std::string_view from, std::string_view to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

std::string LocalTime(std::int64_t ms, const char* format) {
    const std::time_t t = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[40];
    std::strftime(buf, sizeof buf, format, &tm);
    return buf;
}

std::string Label(const ProviderHealth* health, const SourceInfo* source) {
    if (source && !source->label.empty())
        return source->label;
    return health ? health->name : "数据来源";
}

bool Suspended(const ProviderHealth* health, std::int64_t now_ms) {
    return health && health->state.suspended_until_ms > now_ms;
}

bool Needs(const SourceInfo* source, std::string_view what) {
    return source &&
           std::find(source->needs.begin(), source->needs.end(), what) != source->needs.end();
}

// What a source that is not set up still needs, pointing at the home page that says how.
std::string SetupReason(const SourceInfo* source, std::string_view label,
                        const std::string& detail) {
    const std::string type = source ? source->type : "";
    if (type == "google-cse")
        return "未配置 Google API 密钥（见服务主页）";
    if (type == "openpagerank")
        return "未配置 Open PageRank 密钥，也未导入 Common Crawl 排名（见服务主页）";
    if (type == "cc-graph")
        return Needs(source, "cc-links") ? "未导入 Common Crawl 域名图（见服务主页）"
                                         : "未导入 Common Crawl 排名（见服务主页）";
    if (type == "tranco" || (type == "trend" && Needs(source, "tranco")))
        return "Tranco 排名列表尚未下载（见服务主页）";
    // A source that is set up but cannot answer yet says why ("排名记录不足一天").
    return detail.empty() ? std::string(label) + " 尚未设置（见服务主页）" : detail;
}

} // namespace

std::string PlainError(std::string_view detail) {
    std::string text(detail);
    for (const auto& [english, chinese] : ErrorTexts())
        if (text.find(english) != std::string::npos)
            text = Replaced(std::move(text), english, chinese);
    // Status names some sources put in their texts.
    for (Status s : {Status::NotFound, Status::Blocked, Status::RateLimited, Status::ParseFailed,
                     Status::NetworkError, Status::NotConfigured, Status::Unsupported, Status::Ok})
        text = Replaced(std::move(text), "(" + std::string(StatusName(s)) + ")",
                        "（" + std::string(StatusText(s)) + "）");
    // Suspensions once stated as epoch milliseconds.
    constexpr std::string_view until = "暂停至 ";
    for (std::size_t at = 0; (at = text.find(until, at)) != std::string::npos;) {
        at += until.size();
        std::size_t end = at;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9')
            ++end;
        if (end - at >= 12 && end - at <= 15) {
            const std::string when = FormatShortTime(std::stoll(text.substr(at, end - at)));
            text.replace(at, end - at, when);
            end = at + when.size();
        }
        at = end;
    }
    if (text.rfind("HTTP ", 0) == 0)
        text = "服务器回答 " + text;
    return text;
}

std::string FormatShortTime(std::int64_t ms) {
    return LocalTime(ms, "%m-%d %H:%M");
}

std::string FormatIsoTime(std::int64_t ms) {
    std::string text = LocalTime(ms, "%Y-%m-%dT%H:%M:%S%z"); // +0800
    if (text.size() > 2)
        text.insert(text.size() - 2, ":");
    return text;
}

std::string Reason(const Measurement& m, const ProviderHealth* health, const SourceInfo* source,
                   std::int64_t now_ms) {
    const std::string label = Label(health, source);
    const std::string detail = PlainError(m.detail);
    const std::string because = detail.empty() ? "" : "（" + detail + "）";
    switch (m.status) {
    case Status::Ok:
        return "";
    case Status::NotFound:
        return detail.empty() ? label + " 没有这个网址的数据" : detail;
    case Status::Blocked:
        if (Suspended(health, now_ms))
            return label + " 因验证页面暂停至 " + FormatShortTime(health->state.suspended_until_ms);
        return label + " 返回了验证页面，稍后重试";
    case Status::RateLimited:
        if (Suspended(health, now_ms))
            return label + " 被限速，" + FormatShortTime(health->state.suspended_until_ms) +
                   " 后重试";
        return label + " 被限速，稍后重试" + because;
    case Status::ParseFailed:
        if (health && health->state.broken)
            return label + " 的页面无法解析，定义需要更新（" +
                   PlainError(health->state.broken_why) + "）";
        return label + " 的页面无法解析" + (detail.empty() ? "" : "，" + detail);
    case Status::NetworkError:
        return "网络错误" + because;
    case Status::NotConfigured:
        return SetupReason(source, label, detail);
    case Status::Unsupported:
        if (!source || source->type == "none")
            return "此列没有数据来源";
        return detail.empty() ? label + " 不提供此项" : detail;
    }
    return detail;
}

Measurement LastFailure(const ProviderHealth& p) {
    Measurement m;
    m.status = Status::NetworkError;
    m.time_ms = p.last_fail_ms;
    m.source = p.name;
    // "status-name: detail", as the engine keeps it.
    const std::size_t colon = p.last_fail_why.find(':');
    const auto status = StatusFromName(p.last_fail_why.substr(0, colon));
    if (status) {
        m.status = *status;
        if (colon != std::string::npos)
            m.detail = p.last_fail_why.substr(colon + 1 + (p.last_fail_why[colon + 1] == ' '));
    } else {
        m.detail = p.last_fail_why;
    }
    return m;
}

HealthVerdict JudgeHealth(const ProviderHealth& p, const SourceInfo* source, bool store_failing,
                          std::int64_t now_ms) {
    HealthVerdict v;
    const Measurement failure = LastFailure(p);
    const bool failing = p.last_fail_ms > p.last_ok_ms;
    if (p.state.broken) {
        v = {"定义失效", "bad", PlainError(p.state.broken_why) + "；此数据源的匹配规则需要更新",
             p.state.broken_why};
    } else if (Suspended(&p, now_ms)) {
        v = {"暂停至 " + FormatTime(p.state.suspended_until_ms), "warn",
             "原因：" + (p.state.suspended_why.empty() ? std::string("数据源的限制")
                                                       : PlainError(p.state.suspended_why)),
             p.state.suspended_why};
    } else if (failing && failure.status == Status::NotConfigured) {
        v = {"未设置", "warn", SetupReason(source, Label(&p, source), PlainError(failure.detail)),
             failure.detail};
    } else if (failing && p.last_ok_ms == 0) {
        v = {"失败", "bad", Reason(failure, &p, source, now_ms) + "；从未成功", failure.detail};
    } else if (failing) {
        v = {"异常", "warn",
             Reason(failure, &p, source, now_ms) + "；上次成功在 " +
                 FormatAge(p.last_ok_ms, now_ms),
             failure.detail};
    } else if (p.last_ok_ms > 0) {
        v = {"正常", "good", "", ""};
    } else {
        v = {"尚未使用", "muted", "", ""};
    }
    if (store_failing) {
        v.detail = "测量结果无法保存（见页首）" + (v.detail.empty() ? "" : "；" + v.detail);
        v.word = "无法保存";
        v.css = "bad";
    }
    return v;
}

} // namespace valdane::svc
