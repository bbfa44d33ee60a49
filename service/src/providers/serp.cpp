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
#include <cctype>
#include <filesystem>
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

// A proxy's label as part of a file name: letters, digits, '.' and '-' kept, the rest '_'.
std::string FileName(std::string text) {
    for (char& c : text)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-')
            c = '_';
    return text;
}

Measurement Zero() {
    Measurement m;
    m.status = Status::NotFound;
    m.number = 0;
    return m;
}

// One way out to the engine: one per proxy, else the one of `proxy` or none.
struct Exit {
    std::string proxy; // "": the service's own address
    // Kept across requests and restarts like a browser's: an engine that hands out a cookie
    // and checks it later sees a returning visitor. One jar per exit, since a cookie handed to
    // one exit address and shown from another is what engines look for. "" when cookies are
    // off.
    std::string cookie_jar;
};

struct Definition {
    std::string engine; // shown on the home page
    std::string note;
    SearchTemplate search;
    std::vector<std::string> proxies; // as configured: each its own route of the pacer
    std::vector<Exit> exits;          // by the pacer's route
    std::vector<Pattern> count;       // the first capture group holds the number
    std::vector<Pattern> no_results;
    // "No results for X" above the results of a looser query: a real 0 for X, before any count
    std::vector<Pattern> no_exact_results;
    std::vector<Pattern> blocked; // a redirect's Location, and pages without a count
    std::string canary;
    std::int64_t canary_ms = 24 * kHourMs;
    std::int64_t unknown_page_ms = 6 * kHourMs; // suspension for an unrecognised page
};

// What a result page counts: its count, a real 0 where it states no result for the exact query
// (even above a looser query's results), or nullopt when it shows no count.
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
    return std::nullopt;
}

// What a page says, before it becomes a measurement.
struct Reading {
    Measurement m;
    bool unknown = false; // neither a count nor a "no results" text nor a known block
};

class SerpProvider final : public Provider {
  public:
    SerpProvider(const std::string& name, Definition def, PacerConfig pacing,
                 ProviderContext& context)
        : def_(std::move(def)), env_(context.env),
          pacer_(context.env, context.store, name, pacing, def_.proxies) {}

    std::vector<Measurement> Measure(const MeasureRequest& request) override {
        const std::string& query = def_.search.QueryFor(request.page);
        std::optional<Measurement> m =
            query.empty() ? Failed(Status::Unsupported, def_.engine + " 不提供此项")
                          : MeasureSite(std::string(SiteHost(request.site)), query);
        if (!m)
            return {}; // the turn went to the canary, or has not come
        m->time_ms = env_.clock.NowMs();
        return std::vector<Measurement>(request.columns.size(), *m);
    }

    std::string Describe() const override {
        std::string text = def_.engine + " 结果数";
        if (!def_.search.query_sites.empty())
            text += "（收录: " + Replace(def_.search.query_sites, "{site}", "…") + "）";
        if (!def_.search.query_links.empty())
            text += "（反链: " + Replace(def_.search.query_links, "{site}", "…") + "）";
        if (!def_.note.empty())
            text += "。" + def_.note;
        if (!def_.proxies.empty()) {
            text += "。经 " + std::to_string(def_.proxies.size()) + " 个代理轮流查询";
            if (const std::string note = pacer_.RoutesNote(); !note.empty())
                text += "；" + note;
        }
        return text;
    }

    ProviderState State() const override { return pacer_.State(); }
    Pacer* pacer() override { return &pacer_; }

  private:
    // Each upstream request takes one turn of the pacer; nullopt hands this one back. A canary
    // that is due takes the turn first, and the site's request goes at the next.
    std::optional<Measurement> MeasureSite(const std::string& site, const std::string& query) {
        const bool canary = CanaryDue();
        if (const UpstreamState kept = pacer_.Saved(); kept.broken && !canary)
            return Failed(Status::ParseFailed, "定义已失效: " + kept.broken_why);
        std::size_t route = 0;
        if (std::optional<Measurement> instead; !Proceed(pacer_, &instead, &route))
            return instead;
        if (canary) {
            const SearchTemplate& s = def_.search;
            JudgeCanary(
                Query(def_.canary, s.query_sites.empty() ? s.query_links : s.query_sites, route),
                route);
            return std::nullopt;
        }
        Reading r = Query(site, query, route);
        if (r.m.status == Status::ParseFailed) {
            // A page we cannot read may mean the engine changed its page, or showed a
            // verification page we do not know: the canary tells which at the next turn, by
            // the same exit.
            std::lock_guard<std::mutex> guard(mutex_);
            canary_now_ = true;
            pacer_.Prefer(route);
        }
        return r.m;
    }

    // Once per canary_hours, and after a page we could not read.
    bool CanaryDue() {
        if (def_.canary.empty())
            return false;
        std::lock_guard<std::mutex> guard(mutex_);
        const UpstreamState kept = pacer_.Saved();
        return canary_now_ || kept.canary_ms == 0 ||
               env_.clock.NowMs() - kept.canary_ms >= def_.canary_ms;
    }

    // The canary, a site that surely has results, must give a count above zero. Otherwise:
    // a page like no other (neither count, nor "no results", nor a known block) is most likely
    // a verification page we do not know, so the engine is left alone for a while; when the
    // canary meets it again after that, or reads "no results" or an unreadable count, the
    // definition no longer fits the page and is marked broken, so that a changed page never
    // turns into zeros.
    // "Again" means by the same route: another exit address may be shown a verification page
    // of its own.
    void JudgeCanary(const Reading& c, std::size_t route) {
        const bool was_broken = pacer_.Saved().broken;
        const UpstreamState before = pacer_.RouteSaved(route);
        {
            std::lock_guard<std::mutex> guard(mutex_);
            canary_now_ = false;
        }
        pacer_.SetCanary(c.m.status, c.m.detail, route);
        if (c.m.status == Status::Ok && c.m.number.value_or(0) > 0) {
            if (was_broken)
                pacer_.SetBroken(false, "");
        } else if (c.unknown && !(before.canary_status == Status::ParseFailed &&
                                  before.canary_detail == c.m.detail)) {
            pacer_.Suspend(Status::Blocked,
                           "无法识别的页面（校验站点 " + def_.canary + " 亦然），可能是验证页面",
                           def_.unknown_page_ms, route);
        } else if (c.m.status == Status::NotFound || c.m.status == Status::ParseFailed) {
            pacer_.SetBroken(true, "校验站点 " + def_.canary + " 无结果数 (" +
                                       std::string(StatusName(c.m.status)) + ")");
        }
        // Anything else (blocked, network, 429) says nothing of the definition.
    }

    Reading Query(const std::string& site, const std::string& query, std::size_t route) {
        HttpRequest request = def_.search.Request(site, query);
        request.proxy = def_.exits[route].proxy;
        request.cookie_jar = def_.exits[route].cookie_jar;
        Reading r = Classify(env_.http.Get(request), route);
        if (const std::string label = pacer_.RouteLabel(route);
            !label.empty() && r.m.status != Status::Ok && r.m.status != Status::NotFound)
            r.m.detail += "（经 " + label + "）";
        return r;
    }

    // A page that yields a count is a result page whatever else it holds (a result may be
    // titled "网络不给力" or link to a /captcha path); the blocked patterns judge only redirects
    // and pages without a count.
    Reading Classify(HttpResponse r, std::size_t route) {
        r.body = DecodeBody(r.body, r.content_type); // some engines still answer in GBK
        Reading out;
        if (r.status == 429) {
            pacer_.Suspend(Status::RateLimited, "HTTP 429", 0, route);
            out.m = Failed(Status::RateLimited, "HTTP 429");
            return out;
        }
        if (r.status == 200)
            if (std::optional<Measurement> m = ReadCount(def_, r.body)) {
                out.m = std::move(*m);
                return out;
            }
        if (AnyMatch(def_.blocked, r.body) ||
            (!r.location.empty() && AnyMatch(def_.blocked, r.location))) {
            pacer_.Suspend(Status::Blocked, "验证页面 (HTTP " + std::to_string(r.status) + ")", 0,
                           route);
            out.m = Failed(Status::Blocked, "验证页面");
            return out;
        }
        if (r.status == 0) {
            out.m = Failed(Status::NetworkError, r.error);
        } else if (r.status != 200) {
            out.m = Failed(Status::NetworkError, "HTTP " + std::to_string(r.status));
        } else if (AnyMatch(def_.no_results, r.body)) {
            out.m = Zero();
        } else {
            out.m = Failed(Status::ParseFailed,
                           r.truncated ? "页面过大，未找到结果数" : "页面中未找到结果数");
            out.unknown = true;
        }
        return out;
    }

    const Definition def_;
    Env& env_;
    Pacer pacer_; // suspension, budget, broken mark and canary verdict, kept in the store
    std::mutex mutex_;
    bool canary_now_ = false; // guarded by mutex_: a page could not be read
};

} // namespace

std::unique_ptr<Provider> MakeSerpProvider(const std::string& name, const toml::table& section,
                                           ProviderContext& context, std::string* error) {
    Definition def;
    def.engine = name;
    std::vector<std::string> count, no_results, no_exact_results, blocked;
    std::int64_t max_kb = static_cast<std::int64_t>(def.search.max_bytes / 1024);
    PacerConfig pacing;
    SectionReader read(name, section);
    read.String("engine", &def.engine);
    read.String("note", &def.note);
    ReadSearchTemplate(read, &def.search);
    read.String("user_agent", &def.search.user_agent);
    std::string proxy;
    ReadProxies(read, &proxy, &def.proxies);
    bool cookies = true;
    read.Bool("cookies", &cookies);
    read.Strings("count", &count);
    read.Strings("no_results", &no_results);
    read.Strings("no_exact_results", &no_exact_results);
    read.Strings("blocked", &blocked);
    read.String("canary", &def.canary);
    read.Duration("canary_hours", kHourMs, &def.canary_ms);
    read.Duration("unknown_page_hours", kHourMs, &def.unknown_page_ms);
    read.Int("max_page_kb", 1, 16 * 1024, &max_kb);
    ReadPacerConfig(read, &pacing);
    if (count.empty())
        read.Fail("count", "at least one pattern is needed");
    if (!read.Done(error) || !Compile(read, "count", count, &def.count, error) ||
        !Compile(read, "no_results", no_results, &def.no_results, error) ||
        !Compile(read, "no_exact_results", no_exact_results, &def.no_exact_results, error) ||
        !Compile(read, "blocked", blocked, &def.blocked, error))
        return nullptr;
    def.search.max_bytes = static_cast<std::size_t>(max_kb) * 1024;
    for (const Pattern& re : def.count)
        if (re->NumberOfCapturingGroups() < 1) {
            read.Fail("count", "each pattern needs a (group) around the number");
            read.Done(error);
            return nullptr;
        }
    const std::filesystem::path jars = context.config.data_dir / "cookies";
    if (cookies && !context.config.data_dir.empty()) {
        std::error_code ignored; // without the folder curl keeps cookies for one transfer only
        std::filesystem::create_directories(jars, ignored);
    }
    for (const std::string& route :
         def.proxies.empty() ? std::vector<std::string>{proxy} : def.proxies) {
        const bool direct = def.proxies.empty() || route == "direct";
        Exit exit{route == "direct" ? "" : route, ""};
        if (cookies && !context.config.data_dir.empty())
            exit.cookie_jar =
                (jars / ((direct ? name : name + "@" + FileName(ProxyLabel(route))) + ".txt"))
                    .string();
        def.exits.push_back(std::move(exit));
    }
    return std::make_unique<SerpProvider>(name, std::move(def), pacing, context);
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

const std::string& SearchTemplate::QueryFor(Page page) const {
    static const std::string none;
    return page == Page::Sites ? query_sites : page == Page::Links ? query_links : none;
}

HttpRequest SearchTemplate::Request(const std::string& site, const std::string& query) const {
    HttpRequest request;
    request.url =
        Replace(Replace(Replace(url, "{query}", PercentEncode(Replace(query, "{site}", site))),
                        "{site}", PercentEncode(site)),
                "{key}", PercentEncode(key));
    for (const auto& [name, value] : headers)
        request.headers.emplace_back(name, Replace(value, "{key}", key));
    request.user_agent = user_agent;
    request.timeout_ms = timeout_ms;
    request.max_bytes = max_bytes;
    return request;
}

void ReadSearchTemplate(SectionReader& read, SearchTemplate* out) {
    read.String("url", &out->url);
    read.String("query_sites", &out->query_sites);
    read.String("query_links", &out->query_links);
    read.Headers("headers", &out->headers);
    read.Duration("timeout_s", 1000, &out->timeout_ms);
    if (out->url.find("{query}") == std::string::npos)
        read.Fail("url", "needs a {query} placeholder");
}

std::string_view SiteHost(std::string_view site) {
    return site.substr(0, site.find_first_of("/:"));
}

std::string Replace(std::string text, std::string_view key, const std::string& value) {
    for (std::size_t at = text.find(key); at != std::string::npos;
         at = text.find(key, at + value.size()))
        text.replace(at, key.size(), value);
    return text;
}

} // namespace valdane::svc
