#include "homepage.h"

#include "charset.h"
#include "lookup.h"
#include "safefetch.h"
#include "section.h"

#include <toml++/toml.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace valdane::svc {
namespace {

constexpr std::size_t kPrescanBytes = 16 * 1024; // where a page's charset declaration must be

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// Position of `needle` (lower case) in s from `from`, ignoring case; npos when absent.
std::size_t FindNoCase(std::string_view s, std::string_view needle, std::size_t from) {
    if (from >= s.size())
        return std::string_view::npos;
    const auto it =
        std::search(s.begin() + static_cast<std::ptrdiff_t>(from), s.end(), needle.begin(),
                    needle.end(), [](char a, char b) { return Lowered(a) == b; });
    return it == s.end() ? std::string_view::npos : static_cast<std::size_t>(it - s.begin());
}

// The value after "charset=" in a Content-Type header or a http-equiv content attribute.
std::string CharsetParameter(std::string_view value) {
    const std::size_t at = FindNoCase(value, "charset=", 0);
    if (at == std::string_view::npos)
        return {};
    std::string_view rest = value.substr(at + 8);
    rest = rest.substr(0, rest.find(';'));
    std::string out;
    for (char c : rest)
        if (!IsSpace(c) && c != '"' && c != '\'')
            out += c;
    return out;
}

struct Tag {
    std::string name; // lower case
    bool closing = false;
    std::vector<std::pair<std::string, std::string>> attributes; // names in lower case
    std::size_t end = 0;                                         // just past the '>'

    std::string Attribute(std::string_view key) const {
        for (const auto& [k, v] : attributes)
            if (k == key)
                return v;
        return {};
    }
};

// The tag at s[pos] == '<'; nullopt when no tag name follows. Every step moves forward, so a
// malformed page costs one pass.
std::optional<Tag> ReadTag(std::string_view s, std::size_t pos) {
    Tag tag;
    std::size_t i = pos + 1;
    if (i < s.size() && s[i] == '/') {
        tag.closing = true;
        ++i;
    }
    while (i < s.size() && (std::isalnum(static_cast<unsigned char>(s[i])) || s[i] == '-'))
        tag.name += Lowered(s[i++]);
    if (tag.name.empty() || !std::isalpha(static_cast<unsigned char>(tag.name[0])))
        return std::nullopt;
    const std::size_t n = s.size();
    for (;;) {
        while (i < n && (IsSpace(s[i]) || s[i] == '/'))
            ++i;
        if (i >= n) {
            tag.end = n;
            return tag;
        }
        if (s[i] == '>') {
            tag.end = i + 1;
            return tag;
        }
        std::string key;
        while (i < n && !IsSpace(s[i]) && s[i] != '/' && s[i] != '>' &&
               (s[i] != '=' || key.empty()))
            key += Lowered(s[i++]);
        while (i < n && IsSpace(s[i]))
            ++i;
        std::string value;
        if (i < n && s[i] == '=') {
            ++i;
            while (i < n && IsSpace(s[i]))
                ++i;
            if (i < n && (s[i] == '"' || s[i] == '\'')) {
                const std::size_t close = s.find(s[i], i + 1);
                const std::size_t stop = close == std::string_view::npos ? n : close;
                value = s.substr(i + 1, stop - i - 1);
                i = stop == n ? n : stop + 1;
            } else {
                while (i < n && !IsSpace(s[i]) && s[i] != '>')
                    value += s[i++];
            }
        }
        tag.attributes.emplace_back(std::move(key), std::move(value));
    }
}

// Walks the tags of s up to `limit` bytes, skipping comments and script and style contents.
// on_tag gets each opening tag; for <title> also its raw text.
void WalkTags(std::string_view s, std::size_t limit,
              const std::function<bool(const Tag&, std::string_view text)>& on_tag) {
    s = s.substr(0, std::min(limit, s.size()));
    std::size_t pos = 0;
    while ((pos = s.find('<', pos)) != std::string_view::npos) {
        if (s.compare(pos, 4, "<!--") == 0) {
            const std::size_t end = s.find("-->", pos + 4);
            pos = end == std::string_view::npos ? s.size() : end + 3;
            continue;
        }
        const auto tag = ReadTag(s, pos);
        if (!tag) {
            ++pos;
            continue;
        }
        pos = tag->end;
        if (tag->closing)
            continue;
        std::string_view text;
        if (tag->name == "script" || tag->name == "style" || tag->name == "title" ||
            tag->name == "textarea") {
            const std::size_t close = FindNoCase(s, "</" + tag->name, pos);
            const std::size_t stop = close == std::string_view::npos ? s.size() : close;
            text = s.substr(pos, stop - pos);
            pos = stop;
        }
        if (!on_tag(*tag, text))
            return;
    }
}

std::string DeclaredCharset(std::string_view body, std::string_view content_type) {
    std::string label = CharsetParameter(content_type);
    if (!label.empty())
        return label;
    WalkTags(body, kPrescanBytes, [&](const Tag& tag, std::string_view) {
        if (tag.name != "meta")
            return true;
        label = tag.Attribute("charset");
        if (label.empty() && Lowered(tag.Attribute("http-equiv")) == "content-type")
            label = CharsetParameter(tag.Attribute("content"));
        return label.empty();
    });
    return label;
}

void AppendUtf8(std::string* out, char32_t cp) {
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        cp = 0xFFFD;
    if (cp < 0x80) {
        *out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out += static_cast<char>(0xC0 | (cp >> 6));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out += static_cast<char>(0xE0 | (cp >> 12));
        *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (cp >> 18));
        *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

class HomepageProvider final : public Provider {
  public:
    HomepageProvider(Env& env, std::string url, SafeFetchOptions options, std::size_t max_chars)
        : env_(env), url_(std::move(url)), options_(std::move(options)), max_chars_(max_chars) {}

    std::vector<Measurement> Measure(const MeasureRequest& request) override {
        std::vector<Measurement> out(request.columns.size());
        std::vector<std::size_t> wanted;
        for (std::size_t i = 0; i < request.columns.size(); ++i) {
            const int c = request.columns[i];
            if (request.page == Page::Alexa && (c == 0 || c == 1))
                wanted.push_back(i);
            else
                out[i].detail = "主页只提供站点名称和网站简介";
        }
        for (auto& m : out)
            m.time_ms = env_.clock.NowMs();
        if (wanted.empty())
            return out;

        // A site given with a path is fetched at that path, not at its host's root.
        std::string url = url_;
        const std::size_t at = url.find("{site}");
        const std::size_t slash = request.site.find('/');
        const std::string host = request.site.substr(0, slash);
        url.replace(at, 6, host);
        if (slash != std::string::npos)
            url = url.substr(0, url.find('/', url.find("://") + 3)) + request.site.substr(slash);
        const SafeFetchResult fetched = SafeGet(env_, url, options_);
        const int status = fetched.response.status;
        Measurement common;
        common.time_ms = env_.clock.NowMs();
        if (!fetched.refused.empty()) {
            common.status = Status::NetworkError;
            common.detail = "拒绝访问: " + fetched.refused;
        } else if (status == 0) {
            common.status = Status::NetworkError;
            common.detail = fetched.response.error;
        } else if (status == 429) {
            common.status = Status::RateLimited;
            common.detail = "HTTP 429";
        } else if (status == 403) {
            common.status = Status::Blocked;
            common.detail = "HTTP 403";
        } else if (status < 200 || status >= 300) {
            common.status =
                status == 404 || status == 410 ? Status::NotFound : Status::NetworkError;
            common.detail = "HTTP " + std::to_string(status);
            if (common.status == Status::NotFound)
                common.text = kUndisclosed;
        }
        const bool read = status >= 200 && status < 300 && fetched.refused.empty();
        const HomePage page =
            read ? ReadHomePage(fetched.response.body, fetched.response.content_type, max_chars_)
                 : HomePage{};
        for (std::size_t i : wanted) {
            Measurement& m = out[i];
            m = common;
            if (!read)
                continue;
            // A page that states no title or description has nothing to show: 未公开.
            m.text = request.columns[i] == 0 ? page.title : page.description;
            m.status = m.text.empty() ? Status::NotFound : Status::Ok;
            if (m.text.empty())
                m.text = kUndisclosed;
        }
        return out;
    }

    std::string Describe() const override { return "网站首页的 <title> 与 description"; }

  private:
    Env& env_;
    const std::string url_; // "http://{site}/"
    const SafeFetchOptions options_;
    const std::size_t max_chars_;
};

} // namespace

std::string DecodeBody(std::string_view body, std::string_view content_type) {
    if (body.substr(0, 3) == "\xEF\xBB\xBF")
        return Utf8OrGbk(body.substr(3));
    if (body.substr(0, 2) == "\xFF\xFE")
        return ToUtf8(body.substr(2), "UTF-16LE").value_or("");
    if (body.substr(0, 2) == "\xFE\xFF")
        return ToUtf8(body.substr(2), "UTF-16BE").value_or("");
    const std::string label = DeclaredCharset(body, content_type);
    // UTF-16 declared inside an ASCII-readable page is a mistake browsers also ignore.
    if (!label.empty() && FindNoCase(label, "utf-16", 0) == std::string_view::npos)
        if (auto text = ToUtf8(body, label))
            return *text;
    return Utf8OrGbk(body);
}

std::string DecodeEntities(std::string_view text) {
    static const std::pair<std::string_view, char32_t> kNamed[] = {
        {"amp", '&'},       {"lt", '<'},       {"gt", '>'},       {"quot", '"'},
        {"apos", '\''},     {"nbsp", 0xA0},    {"copy", 0xA9},    {"reg", 0xAE},
        {"trade", 0x2122},  {"middot", 0xB7},  {"bull", 0x2022},  {"hellip", 0x2026},
        {"mdash", 0x2014},  {"ndash", 0x2013}, {"laquo", 0xAB},   {"raquo", 0xBB},
        {"ldquo", 0x201C},  {"rdquo", 0x201D}, {"lsquo", 0x2018}, {"rsquo", 0x2019},
        {"times", 0xD7},    {"yen", 0xA5},     {"emsp", 0x2003},  {"ensp", 0x2002},
        {"thinsp", 0x2009}, {"deg", 0xB0},     {"sect", 0xA7},    {"para", 0xB6},
    };
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t semi = text[i] == '&' ? text.find(';', i + 1) : std::string_view::npos;
        if (semi == std::string_view::npos || semi - i > 12) {
            out += text[i++];
            continue;
        }
        const std::string_view name = text.substr(i + 1, semi - i - 1);
        std::optional<char32_t> cp;
        if (name.size() > 1 && name[0] == '#') {
            const bool hex = name[1] == 'x' || name[1] == 'X';
            const std::string_view digits = name.substr(hex ? 2 : 1);
            char32_t value = 0;
            bool ok = !digits.empty();
            for (char c : digits) {
                const int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                              : hex && std::isxdigit(static_cast<unsigned char>(c))
                                  ? Lowered(c) - 'a' + 10
                                  : -1;
                ok = ok && d >= 0;
                if (ok && value <= 0x10FFFF)
                    value = value * (hex ? 16 : 10) + static_cast<char32_t>(d);
            }
            if (ok)
                cp = value;
        } else {
            for (const auto& [n, c] : kNamed)
                if (n == name)
                    cp = c;
        }
        if (!cp) {
            out += text[i++];
            continue;
        }
        AppendUtf8(&out, *cp);
        i = semi + 1;
    }
    return out;
}

HomePage ReadHomePage(std::string_view body, std::string_view content_type, std::size_t max_chars) {
    const std::string text = DecodeBody(body, content_type);
    std::optional<std::string> title, description, og_description;
    WalkTags(text, text.size(), [&](const Tag& tag, std::string_view inner) {
        if (tag.name == "title" && !title) {
            title = CleanField(DecodeEntities(inner), max_chars);
        } else if (tag.name == "meta") {
            const std::string name = Lowered(tag.Attribute("name"));
            if (name == "description" && !description)
                description = CleanField(DecodeEntities(tag.Attribute("content")), max_chars);
            else if (Lowered(tag.Attribute("property")) == "og:description" && !og_description)
                og_description = CleanField(DecodeEntities(tag.Attribute("content")), max_chars);
        } else if (tag.name == "body" && title && description) {
            return false;
        }
        return true;
    });
    HomePage page;
    page.title = title.value_or("");
    page.description =
        description && !description->empty() ? *description : og_description.value_or("");
    return page;
}

std::unique_ptr<Provider> MakeHomepageProvider(const std::string& name, const toml::table& section,
                                               Env& env, std::string* error) {
    SafeFetchOptions options;
    options.user_agent = "Mozilla/5.0 (compatible; valdane-service)";
    options.headers = {{"Accept", "text/html,application/xhtml+xml;q=0.9,*/*;q=0.5"},
                       {"Accept-Language", "zh-CN,zh;q=0.9,en;q=0.5"}};
    std::int64_t timeout_ms = options.timeout_ms;
    std::int64_t max_bytes = static_cast<std::int64_t>(options.max_bytes);
    std::int64_t max_chars = 200;
    std::vector<std::string> allow;
    std::string url = "http://{site}/";
    SectionReader read(name, section);
    read.String("url", &url);
    read.String("user_agent", &options.user_agent);
    read.Int("timeout_ms", 1, 10000, &timeout_ms);
    read.Int("max_bytes", 1024, 2 * 1024 * 1024, &max_bytes);
    read.Int("max_chars", 10, 1000, &max_chars);
    read.Strings("allow_networks", &allow);
    const std::size_t scheme = url.find("://");
    if (url.find("{site}") == std::string::npos || scheme == std::string::npos ||
        url.find('/', scheme + 3) == std::string::npos)
        read.Fail("url", "expected an address like http://{site}/");
    for (const std::string& text : allow) {
        const auto network = ParseNetwork(text);
        if (!network)
            read.Fail("allow_networks", "not a network: " + text);
        else
            options.allow.push_back(*network);
    }
    if (!read.Done(error))
        return nullptr;
    options.timeout_ms = timeout_ms;
    options.max_bytes = static_cast<std::size_t>(max_bytes);
    return std::make_unique<HomepageProvider>(env, std::move(url), std::move(options),
                                              static_cast<std::size_t>(max_chars));
}

} // namespace valdane::svc
