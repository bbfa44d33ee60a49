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

#include <cmath>
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
    std::vector<Pattern> blocked; // a redirect's Location, and pages without a count
    std::string canary;
    std::int64_t canary_ms = 24 * kHourMs;
    std::int64_t unknown_page_ms = 6 * kHourMs; // suspension for an unrecognised page
    std::int64_t timeout_ms = 15000;
    std::int64_t max_bytes = 1 << 20;
};

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
          pacer_(context.env, context.store, name, pacing) {}

    std::vector<Measurement> Measure(const MeasureRequest& request) override {
        const std::string& query = request.page == Page::Sites   ? def_.query_sites
                                   : request.page == Page::Links ? def_.query_links
                                                                 : std::string();
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
        if (!def_.query_sites.empty())
            text += "（收录: " + Replace(def_.query_sites, "{site}", "…") + "）";
        if (!def_.query_links.empty())
            text += "（反链: " + Replace(def_.query_links, "{site}", "…") + "）";
        if (!def_.note.empty())
            text += "。" + def_.note;
        return text;
    }

    ProviderState State() const override { return pacer_.State(); }
    Pacer* pacer() override { return &pacer_; }

  private:
    // Each upstream request takes one turn of the pacer; nullopt hands this one back.
    std::optional<Measurement> MeasureSite(const std::string& site, const std::string& query) {
        if (CanaryDue()) {
            Measurement refused;
            switch (pacer_.Acquire(&refused)) {
            case Pacer::Turn::Wait:
                return std::nullopt;
            case Pacer::Turn::Refused:
                return refused;
            case Pacer::Turn::Go:
                JudgeCanary(Query(def_.canary, query_for_canary()));
                return std::nullopt; // the site's own request waits for the next turn
            }
        }
        const UpstreamState kept = pacer_.Saved();
        if (kept.broken)
            return Failed(Status::ParseFailed, "定义已失效: " + kept.broken_why);
        Measurement refused;
        switch (pacer_.Acquire(&refused)) {
        case Pacer::Turn::Wait:
            return std::nullopt;
        case Pacer::Turn::Refused:
            return refused;
        case Pacer::Turn::Go:
            break;
        }
        Reading r = Query(site, query);
        if (r.m.status == Status::ParseFailed) {
            // A page we cannot read may mean the engine changed its page, or showed a
            // verification page we do not know: the canary tells which at the next turn.
            std::lock_guard<std::mutex> guard(mutex_);
            canary_now_ = true;
        }
        return r.m;
    }

    const std::string& query_for_canary() const {
        return def_.query_sites.empty() ? def_.query_links : def_.query_sites;
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
    void JudgeCanary(const Reading& c) {
        const UpstreamState before = pacer_.Saved();
        {
            std::lock_guard<std::mutex> guard(mutex_);
            canary_now_ = false;
        }
        pacer_.SetCanary(c.m.status, c.m.detail);
        if (c.m.status == Status::Ok && c.m.number.value_or(0) > 0) {
            if (before.broken)
                pacer_.SetBroken(false, "");
        } else if (c.unknown && !(before.canary_status == Status::ParseFailed &&
                                  before.canary_detail == c.m.detail)) {
            pacer_.Suspend(Status::Blocked,
                           "无法识别的页面（校验站点 " + def_.canary + " 亦然），可能是验证页面",
                           def_.unknown_page_ms);
        } else if (c.m.status == Status::NotFound || c.m.status == Status::ParseFailed) {
            pacer_.SetBroken(true, "校验站点 " + def_.canary + " 无结果数 (" +
                                       std::string(StatusName(c.m.status)) + ")");
        }
        // Anything else (blocked, network, 429) says nothing of the definition.
    }

    Reading Query(const std::string& site, const std::string& query_template) {
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

    // A page that yields a count is a result page whatever else it holds (a result may be
    // titled "网络不给力" or link to a /captcha path); the blocked patterns judge only redirects
    // and pages without a count.
    Reading Classify(HttpResponse r) {
        r.body = DecodeBody(r.body, r.content_type); // some engines still answer in GBK
        Reading out;
        if (r.status == 429) {
            pacer_.Suspend(Status::RateLimited, "HTTP 429");
            out.m = Failed(Status::RateLimited, "HTTP 429");
            return out;
        }
        if (r.status == 200)
            for (const Pattern& re : def_.count) {
                std::string text;
                if (!RE2::PartialMatch(r.body, *re, &text))
                    continue;
                const std::optional<std::int64_t> n = ParseResultCount(text);
                if (!n) {
                    out.m = Failed(Status::ParseFailed, "结果数无法读取: " + text.substr(0, 40));
                    return out;
                }
                out.m.status = *n > 0 ? Status::Ok : Status::NotFound;
                out.m.number = *n;
                return out;
            }
        if (AnyMatch(def_.blocked, r.body) ||
            (!r.location.empty() && AnyMatch(def_.blocked, r.location))) {
            pacer_.Suspend(Status::Blocked, "验证页面 (HTTP " + std::to_string(r.status) + ")");
            out.m = Failed(Status::Blocked, "验证页面");
            return out;
        }
        if (r.status == 0) {
            out.m = Failed(Status::NetworkError, r.error);
        } else if (r.status != 200) {
            out.m = Failed(Status::NetworkError, "HTTP " + std::to_string(r.status));
        } else if (AnyMatch(def_.no_results, r.body)) {
            out.m.status = Status::NotFound;
            out.m.number = 0;
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
    std::vector<std::string> count, no_results, blocked;
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
    read.Strings("blocked", &blocked);
    read.String("canary", &def.canary);
    read.Duration("canary_hours", kHourMs, &def.canary_ms);
    read.Duration("unknown_page_hours", kHourMs, &def.unknown_page_ms);
    read.Duration("timeout_s", 1000, &def.timeout_ms);
    read.Int("max_page_kb", 1, 16 * 1024, &max_kb);
    ReadPacerConfig(read, &pacing);
    if (def.url.find("{query}") == std::string::npos)
        read.Fail("url", "needs a {query} placeholder");
    if (count.empty())
        read.Fail("count", "at least one pattern is needed");
    if (!read.Done(error) || !Compile(read, "count", count, &def.count, error) ||
        !Compile(read, "no_results", no_results, &def.no_results, error) ||
        !Compile(read, "blocked", blocked, &def.blocked, error))
        return nullptr;
    def.max_bytes = max_kb * 1024;
    for (const Pattern& re : def.count)
        if (re->NumberOfCapturingGroups() < 1) {
            read.Fail("count", "each pattern needs a (group) around the number");
            read.Done(error);
            return nullptr;
        }
    return std::make_unique<SerpProvider>(name, std::move(def), pacing, context);
}

std::optional<std::int64_t> ParseResultCount(std::string_view text) {
    // Digits with separators (",", "，", spaces), an optional fraction, then a Chinese
    // multiplier: "约1,234,000", "1.2万", "3亿".
    std::string digits;
    std::string fraction;
    bool in_fraction = false;
    double multiplier = 1;
    std::size_t i = 0;
    while (i < text.size() && !(text[i] >= '0' && text[i] <= '9'))
        ++i;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
            (in_fraction ? fraction : digits) += c;
        } else if (c == '.' && !in_fraction) {
            in_fraction = true;
        } else if (c == ',' || c == ' ') {
            if (in_fraction)
                break;
        } else if (text.substr(i, 3) == "，" || text.substr(i, 2) == "\xC2\xA0") {
            i += text[i] == '\xC2' ? 1 : 2;
        } else {
            const std::string_view rest = text.substr(i);
            if (rest.substr(0, 3) == "万")
                multiplier = 1e4;
            else if (rest.substr(0, 3) == "亿")
                multiplier = 1e8;
            break;
        }
    }
    if (digits.empty() || digits.size() > 15)
        return std::nullopt;
    const double value = std::stod(digits + "." + (fraction.empty() ? "0" : fraction));
    return static_cast<std::int64_t>(std::llround(value * multiplier));
}

std::string_view SiteHost(std::string_view site) {
    return site.substr(0, site.find_first_of("/:"));
}

} // namespace valdane::svc
