#include "protocol.h"

#include "providers/charset.h"

#include <iconv.h>
#include <idn2.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace valdane::svc {
namespace {

struct PageInfo {
    Page page;
    std::string_view file;
    std::vector<std::string_view> columns;
    std::vector<int> numeric;
};

const std::array<PageInfo, 5>& Pages() {
    static const std::array<PageInfo, 5> pages{{
        {Page::Sites,
         "sites.asp",
         {"百度", "谷歌", "搜狗", "雅虎", "搜搜", "有道", "必应"},
         {0, 1, 2, 3, 4, 5, 6}},
        {Page::Links,
         "links.asp",
         {"百度", "谷歌", "搜狗", "雅虎", "搜搜", "有道", "必应"},
         {0, 1, 2, 3, 4, 5, 6}},
        {Page::Ranks, "ranks.asp", {"谷歌", "搜狗"}, {0, 1}},
        {Page::Whois, "whois.asp", {"WHOIS"}, {}},
        {Page::Alexa,
         "alexa.asp",
         {"站点名称", "网站简介", "综合排名", "反链数目", "收录时间", "排名趋势", "网站站长",
          "详细地址", "电子信箱"},
         {2, 3, 5}},
    }};
    return pages;
}

const PageInfo& Info(Page page) {
    for (const PageInfo& info : Pages())
        if (info.page == page)
            return info;
    return Pages().front();
}

bool IsAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(),
                      [](char a, char b) { return a == Lowered(b); });
}

bool IsLabelChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
}

bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

} // namespace

std::optional<std::string> AsciiHost(std::string_view host) {
    if (IsAscii(host))
        return Lowered(host);
    const std::string input(host);
    char* output = nullptr;
    if (idn2_to_ascii_8z(input.c_str(), &output, IDN2_NONTRANSITIONAL | IDN2_NFC_INPUT) != IDN2_OK)
        return std::nullopt;
    std::unique_ptr<char, decltype(&idn2_free)> owned(output, &idn2_free);
    return std::string(output);
}

namespace {

bool IsPlausibleHost(std::string_view host) {
    if (host.size() < 4 || host.size() > 253)
        return false;
    std::size_t labels = 0;
    std::string_view last;
    for (std::size_t start = 0; start <= host.size();) {
        std::size_t dot = host.find('.', start);
        if (dot == std::string_view::npos)
            dot = host.size();
        const std::string_view label = host.substr(start, dot - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-' ||
            !std::all_of(label.begin(), label.end(), IsLabelChar))
            return false;
        ++labels;
        last = label;
        start = dot + 1;
    }
    // An all-digit top label is an IPv4 literal (or part of one), never a name.
    return labels >= 2 &&
           !std::all_of(last.begin(), last.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Unreserved characters, "/" and well-formed percent escapes; no "..": a path is only ever
// part of the site's name, never something to resolve.
bool IsSafePath(std::string_view path) {
    if (path.find("..") != std::string_view::npos)
        return false;
    for (std::size_t i = 0; i < path.size(); ++i) {
        const char c = path[i];
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~' || c == '/')
            continue;
        if (c == '%' && i + 2 < path.size() && IsHex(path[i + 1]) && IsHex(path[i + 2])) {
            i += 2;
            continue;
        }
        return false;
    }
    return true;
}

// Length of the UTF-8 sequence starting with lead, 1 for a stray byte.
std::size_t Utf8Length(unsigned char lead) {
    if (lead >= 0xF0 && lead < 0xF8)
        return 4;
    if (lead >= 0xE0)
        return lead < 0xF0 ? 3 : 1;
    if (lead >= 0xC0)
        return 2;
    return 1;
}

struct Converter {
    iconv_t cd = iconv_open("GBK", "UTF-8");
    ~Converter() {
        if (cd != reinterpret_cast<iconv_t>(-1))
            iconv_close(cd);
    }
};

} // namespace

std::optional<Page> PageFromFile(std::string_view file) {
    for (const PageInfo& info : Pages())
        if (info.file == file)
            return info.page;
    return std::nullopt;
}

std::string_view PageFile(Page page) {
    return Info(page).file;
}

int ColumnCount(Page page) {
    return static_cast<int>(Info(page).columns.size());
}

std::string_view ColumnName(Page page, int column) {
    const PageInfo& info = Info(page);
    if (column < 0 || column >= static_cast<int>(info.columns.size()))
        return {};
    return info.columns[static_cast<std::size_t>(column)];
}

bool IsNumericColumn(Page page, int column) {
    const std::vector<int>& numeric = Info(page).numeric;
    return std::find(numeric.begin(), numeric.end(), column) != numeric.end();
}

std::optional<std::string> NormalizeSite(Page page, std::string_view sUrl) {
    // Refuse the absurd before IDNA sees it.
    if (sUrl.empty() || sUrl.size() > 1024)
        return std::nullopt;
    for (std::string_view scheme : {"http://", "https://"})
        if (StartsWithNoCase(sUrl, scheme)) {
            sUrl.remove_prefix(scheme.size());
            break;
        }
    if (page == Page::Whois && StartsWithNoCase(sUrl, "www."))
        sUrl.remove_prefix(4);

    const std::size_t slash = sUrl.find('/');
    std::string_view host = sUrl.substr(0, slash);
    std::string_view path = slash == std::string_view::npos ? "" : sUrl.substr(slash);
    if (path == "/")
        path = {};
    if (!path.empty() && (page == Page::Whois || page == Page::Alexa))
        return std::nullopt;

    std::optional<std::string> site = AsciiHost(host);
    if (!site || !IsPlausibleHost(*site) || !IsSafePath(path))
        return std::nullopt;
    site->append(path);
    if (site->size() > 253)
        return std::nullopt;
    return site;
}

std::string Utf8ToGbk(std::string_view utf8) {
    // ASCII is the same in GBK, and most answers hold nothing else.
    if (IsAscii(utf8))
        return std::string(utf8);
    thread_local Converter converter;
    std::string out;
    if (converter.cd == reinterpret_cast<iconv_t>(-1))
        return out;
    iconv(converter.cd, nullptr, nullptr, nullptr, nullptr);
    out.resize(utf8.size() + 8);
    char* in = const_cast<char*>(utf8.data());
    std::size_t in_left = utf8.size();
    std::size_t written = 0;
    while (in_left > 0) {
        char* dst = out.data() + written;
        std::size_t out_left = out.size() - written;
        const std::size_t r = iconv(converter.cd, &in, &in_left, &dst, &out_left);
        written = out.size() - out_left;
        if (r != static_cast<std::size_t>(-1))
            break;
        if (errno == E2BIG) {
            out.resize(out.size() * 2);
            continue;
        }
        // EILSEQ or EINVAL: one character GBK lacks, or broken UTF-8.
        const std::size_t length = Utf8Length(static_cast<unsigned char>(*in));
        std::size_t skip = 1;
        while (skip < length && skip < in_left &&
               (static_cast<unsigned char>(in[skip]) & 0xC0) == 0x80)
            ++skip;
        in += skip;
        in_left -= skip;
        if (written == out.size())
            out.resize(out.size() * 2);
        out[written++] = '?';
        iconv(converter.cd, nullptr, nullptr, nullptr, nullptr);
    }
    out.resize(written);
    return out;
}

std::string Envelope(std::string_view payloadUtf8) {
    // The program reads up to the first end marker: one inside the payload (a WHOIS text may
    // hold anything) must not cut the answer short.
    constexpr std::string_view head =
        "<!DOCTYPE html>\r\n<html><head><meta http-equiv=\"Content-Type\" "
        "content=\"text/html; charset=gb2312\"><title>valdane</title></head><body>";
    constexpr std::string_view tail = "</body></html>\r\n";
    std::string page;
    page.reserve(head.size() + kPayloadStart.size() + payloadUtf8.size() + kPayloadEnd.size() +
                 tail.size());
    page.append(head).append(kPayloadStart).append(payloadUtf8);
    const std::size_t from = page.size() - payloadUtf8.size();
    for (std::size_t at = from; (at = page.find(kPayloadEnd, at)) != std::string::npos;)
        page.replace(at, kPayloadEnd.size(), "<!- end ->");
    page.append(kPayloadEnd).append(tail);
    return Utf8ToGbk(page);
}

std::string PercentEncode(std::string_view text, bool keep_slash) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
            c == '-' || c == '.' || c == '_' || c == '~' || (keep_slash && c == '/')) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

} // namespace valdane::svc
