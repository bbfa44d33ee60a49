// A search engine's result page read by patterns from the configuration, so that a changed
// page is mended in the configuration rather than in a new build.
#include "config.h"
#include "engines.h"
#include "homepage.h"
#include "pacer.h"
#include "providers.h"
#include "section.h"

#include <re2/re2.h>
#include <toml++/toml.h>

#include <algorithm>
#include <mutex>

namespace valdane::svc {
namespace {

constexpr std::int64_t kHourMs = 3600LL * 1000;

using Pattern = std::unique_ptr<const RE2>;

bool Compile(SectionReader& read, const char* key, const std::vector<std::string>& sources,
             std::vector<Pattern>* out, std::string* error) {
    RE2::Options options;
    options.set_log_errors(false);
    options.set_max_mem(8 << 20);
    for (const std::string& source : sources) {
        auto re = std::make_unique<const RE2>(source, options);
        if (!re->ok()) {
            read.Fail(key, re->error());
            return read.Done(error);
        }
        out->push_back(std::move(re));
    }
    return true;
}

bool AnyMatch(const std::vector<Pattern>& patterns, std::string_view text) {
    for (const Pattern& re : patterns)
        if (RE2::PartialMatch(text, *re))
            return true;
    return false;
}

std::string Replace(std::string text, std::string_view key, const std::string& value) {
    for (std::size_t at = text.find(key); at != std::string::npos;
         at = text.find(key, at + value.size()))
        text.replace(at, key.size(), value);
    return text;
}

Measurement Failed(Status status, std::string detail) {
    Measurement m;
    m.status = status;
    m.detail = std::move(detail);
    return m;
}

Measurement Zero() {
    Measurement m;
    m.status = Status::NotFound;
    m.number = 0;
    return m;
}

struct Definition {
    std::string engine; // shown on the home page
    std::string note;
    std::string url; // {query} and {site} are replaced, percent-encoded
    std::string query_sites;
    std::string query_links;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string user_agent;
    std::string proxy;
    std::vector<Pattern> count; // the first capture group holds the number
    std::vector<Pattern> no_results;
    // "No results for X" above the results of a looser query: a real 0 for X, before any count
    std::vector<Pattern> no_exact_results;
    std::vector<Pattern> blocked; // matched against the body and a redirect's Location
    std::string canary;
    std::int64_t canary_ms = 24 * kHourMs;
    std::int64_t timeout_ms = 15000;
    std::int64_t max_bytes = 1 << 20;
};

// What a result page says: its count, a real 0, or nullopt when it says neither. A page that
// states no result for the exact query is 0 even though it lists a looser query's results.
std::optional<Measurement> ReadCount(const Definition& def, std::string_view body) {
    if (AnyMatch(def.no_exact_results, body))
        return Zero();
    for (const Pattern& re : def.count) {
        std::string text;
        if (!RE2::PartialMatch(body, *re, &text))
            continue;
        const std::optional<std::int64_t> n = ParseResultCount(text);
        if (!n)
            return Failed(Status::ParseFailed, "结果数无法读取: " + text.substr(0, 40));
        Measurement m;
        m.status = *n > 0 ? Status::Ok : Status::NotFound;
        m.number = *n;
        return m;
    }
    if (AnyMatch(def.no_results, body))
        return Zero();
    return std::nullopt;
}

class SerpProvider final : public Provider {
  public:
    SerpProvider(Definition def, PacerConfig pacing, Env& env)
        : def_(std::move(def)), env_(env), pacer_(env.clock, pacing) {}

    std::vector<Measurement> Measure(const MeasureRequest& request) override {
        const std::string& query = request.page == Page::Sites   ? def_.query_sites
                                   : request.page == Page::Links ? def_.query_links
                                                                 : std::string();
        Measurement m = query.empty() ? Failed(Status::Unsupported, def_.engine + " 不提供此项")
                                      : MeasureSite(std::string(SiteHost(request.site)), query);
        m.time_ms = env_.clock.NowMs();
        return std::vector<Measurement>(request.columns.size(), m);
    }

    std::string Describe() const override {
        std::string text = def_.engine + " 结果数";
        if (!def_.query_sites.empty())
            text += "（收录: " + Replace(def_.query_sites, "{site}", "…") + "）";
        if (!def_.query_links.empty())
            text += "（反链: " + Replace(def_.query_links, "{site}", "…") + "）";
        if (!def_.note.empty())
            text += "。" + def_.note;
        return text;
    }

    ProviderState State() const override {
        ProviderState state = pacer_.State();
        std::lock_guard<std::mutex> guard(mutex_);
        state.broken = broken_;
        state.broken_why = broken_why_;
        return state;
    }

  private:
    Measurement MeasureSite(const std::string& site, const std::string& query) {
        CheckCanary();
        if (auto why = BrokenWhy())
            return Failed(Status::ParseFailed, "定义已失效: " + *why);
        Measurement m = Query(site, query);
        if (m.status == Status::ParseFailed) {
            // A page we cannot read may mean the engine changed its page: ask the canary now
            // rather than tomorrow, so that the home page says so.
            {
                std::lock_guard<std::mutex> guard(mutex_);
                next_canary_ms_ = 0;
            }
            CheckCanary();
        }
        return m;
    }

    std::optional<std::string> BrokenWhy() const {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!broken_)
            return std::nullopt;
        return broken_why_;
    }

    // Once a day (and after a page we could not read) the canary, a site that surely has
    // results, must give a count above zero; otherwise the definition is marked broken and
    // no answer of it is trusted until the canary passes again.
    void CheckCanary() {
        if (def_.canary.empty())
            return;
        const std::string& query = def_.query_sites.empty() ? def_.query_links : def_.query_sites;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            const std::int64_t now = env_.clock.NowMs();
            if (now < next_canary_ms_)
                return;
            next_canary_ms_ = now + def_.canary_ms; // one caller runs it
        }
        const Measurement c = Query(def_.canary, query);
        std::lock_guard<std::mutex> guard(mutex_);
        if (c.status == Status::Ok && c.number.value_or(0) > 0) {
            broken_ = false;
            broken_why_.clear();
        } else if (c.status == Status::Ok || c.status == Status::NotFound ||
                   c.status == Status::ParseFailed) {
            broken_ = true;
            broken_why_ =
                "校验站点 " + def_.canary + " 无结果数 (" + std::string(StatusName(c.status)) + ")";
        } else {
            next_canary_ms_ = 0; // no verdict (blocked, network): ask again next time
        }
    }

    Measurement Query(const std::string& site, const std::string& query_template) {
        if (auto refused = pacer_.Acquire())
            return *refused;
        HttpRequest request;
        request.url = Replace(
            Replace(def_.url, "{query}", PercentEncode(Replace(query_template, "{site}", site))),
            "{site}", PercentEncode(site));
        request.headers = def_.headers;
        request.user_agent = def_.user_agent;
        request.proxy = def_.proxy;
        request.timeout_ms = def_.timeout_ms;
        request.max_bytes = static_cast<std::size_t>(def_.max_bytes);
        return Classify(env_.http.Get(request));
    }

    Measurement Classify(HttpResponse r) {
        r.body = DecodeBody(r.body, r.content_type); // some engines still answer in GBK
        if (r.status == 429) {
            pacer_.Suspend(Status::RateLimited, "HTTP 429");
            return Failed(Status::RateLimited, "HTTP 429");
        }
        if (AnyMatch(def_.blocked, r.body) ||
            (!r.location.empty() && AnyMatch(def_.blocked, r.location))) {
            pacer_.Suspend(Status::Blocked, "验证页面 (HTTP " + std::to_string(r.status) + ")");
            return Failed(Status::Blocked, "验证页面");
        }
        if (r.status == 0)
            return Failed(Status::NetworkError, r.error);
        if (r.status != 200)
            return Failed(Status::NetworkError, "HTTP " + std::to_string(r.status));
        if (std::optional<Measurement> m = ReadCount(def_, r.body))
            return *m;
        return Failed(Status::ParseFailed,
                      r.truncated ? "页面过大，未找到结果数" : "页面中未找到结果数");
    }

    const Definition def_;
    Env& env_;
    Pacer pacer_;
    mutable std::mutex mutex_;
    std::int64_t next_canary_ms_ = 0;
    bool broken_ = false;
    std::string broken_why_;
};

} // namespace

std::unique_ptr<Provider> MakeSerpProvider(const std::string& name, const toml::table& section,
                                           ProviderContext& context, std::string* error) {
    Definition def;
    def.engine = name;
    std::vector<std::string> count, no_results, no_exact_results, blocked;
    std::int64_t max_kb = def.max_bytes / 1024;
    PacerConfig pacing;
    SectionReader read(name, section);
    read.String("engine", &def.engine);
    read.String("note", &def.note);
    read.String("url", &def.url);
    read.String("query_sites", &def.query_sites);
    read.String("query_links", &def.query_links);
    read.Headers("headers", &def.headers);
    read.String("user_agent", &def.user_agent);
    read.String("proxy", &def.proxy);
    read.Strings("count", &count);
    read.Strings("no_results", &no_results);
    read.Strings("no_exact_results", &no_exact_results);
    read.Strings("blocked", &blocked);
    read.String("canary", &def.canary);
    read.Duration("canary_hours", kHourMs, &def.canary_ms);
    read.Duration("timeout_s", 1000, &def.timeout_ms);
    read.Int("max_page_kb", 1, 16 * 1024, &max_kb);
    ReadPacerConfig(read, &pacing);
    if (def.url.find("{query}") == std::string::npos)
        read.Fail("url", "needs a {query} placeholder");
    if (count.empty())
        read.Fail("count", "at least one pattern is needed");
    if (!read.Done(error) || !Compile(read, "count", count, &def.count, error) ||
        !Compile(read, "no_results", no_results, &def.no_results, error) ||
        !Compile(read, "no_exact_results", no_exact_results, &def.no_exact_results, error) ||
        !Compile(read, "blocked", blocked, &def.blocked, error))
        return nullptr;
    def.max_bytes = max_kb * 1024;
    for (const Pattern& re : def.count)
        if (re->NumberOfCapturingGroups() < 1) {
            read.Fail("count", "each pattern needs a (group) around the number");
            read.Done(error);
            return nullptr;
        }
    return std::make_unique<SerpProvider>(std::move(def), pacing, context.env);
}

std::optional<std::int64_t> ParseResultCount(std::string_view text) {
    // Digit groups with the separators locales write ("1,234", "1，234", "12 300", "16.900.000",
    // thin and no-break spaces), then an optional Chinese multiplier ("1.2万", "3亿"). A "."
    // before a multiplier is a decimal point; elsewhere it separates thousands.
    static constexpr std::string_view kSpaces[] = {
        "\xC2\xA0", "\xE2\x80\x89", "\xE2\x80\xAF", "，", ",", " "};
    std::vector<std::string> groups;
    std::vector<char> separators; // '.' or ',' (any other separator) before groups[i + 1]
    std::size_t i = text.find_first_of("0123456789");
    if (i == std::string_view::npos)
        return std::nullopt;
    groups.emplace_back();
    while (i < text.size()) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
            groups.back() += c;
            ++i;
            continue;
        }
        std::size_t width = c == '.' ? 1 : 0;
        for (std::string_view space : kSpaces)
            if (!width && text.substr(i, space.size()) == space)
                width = space.size();
        if (!width || i + width >= text.size() || text[i + width] < '0' || text[i + width] > '9')
            break;
        separators.push_back(c == '.' ? '.' : ',');
        groups.emplace_back();
        i += width;
    }
    std::string_view rest = text.substr(i);
    while (!rest.empty() && rest.front() == ' ')
        rest.remove_prefix(1);
    std::int64_t multiplier = rest.substr(0, 3) == "万"   ? 10000
                              : rest.substr(0, 3) == "亿" ? 100000000
                                                          : 1;
    const auto dots = std::count(separators.begin(), separators.end(), '.');
    std::string whole, fraction;
    if (multiplier > 1 && dots == 1 && separators.back() == '.') {
        fraction = groups.back();
        groups.pop_back();
    } else if (dots > 0) {
        for (std::size_t g = 1; g < groups.size(); ++g)
            if (separators[g - 1] == '.' && groups[g].size() != 3)
                return std::nullopt; // "1.5" without a multiplier is no count
    }
    for (const std::string& g : groups)
        whole += g;
    if (whole.size() + fraction.size() > 15) // no engine counts this far
        return std::nullopt;
    // Checked arithmetic: a count past the range is unreadable, never a wrapped number.
    std::int64_t value = 0;
    for (char d : whole)
        if (__builtin_mul_overflow(value, 10, &value) ||
            __builtin_add_overflow(value, d - '0', &value))
            return std::nullopt;
    if (__builtin_mul_overflow(value, multiplier, &value))
        return std::nullopt;
    if (fraction.size() > 9)
        fraction.resize(9);
    std::int64_t part = 0, scale = 1;
    for (char d : fraction) {
        part = part * 10 + (d - '0');
        scale *= 10;
    }
    // part < 1e9 and multiplier <= 1e8: the product fits.
    const std::int64_t extra = (part * multiplier + scale / 2) / scale;
    if (__builtin_add_overflow(value, extra, &value))
        return std::nullopt;
    return value;
}

std::string_view SiteHost(std::string_view site) {
    return site.substr(0, site.find_first_of("/:"));
}

} // namespace valdane::svc
