// The shipped search engine definitions against pages written in the shape the engines serve.
#include "config.h"
#include "fakes.h"
#include "fixture.h"
#include "pieces.h"
#include "providers/engines.h"
#include "providers/providers.h"
#include "store.h"

#include <gtest/gtest.h>
#include <toml++/toml.h>

using namespace valdane::svc;

namespace {

constexpr std::int64_t kHour = 3600LL * 1000;

using test::Lacks;
using test::Reply;

struct EngineCase {
    const char* name;
    const char* canary;
    std::int64_t count;
    Reply captcha;
    std::string normal, zero;
};

std::string Html(const std::string& inner) {
    return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>site:example.com</title>"
           "</head><body><div id=\"content\">" +
           inner + "</div></body></html>";
}

const EngineCase kEngines[] = {
    {"baidu", "baidu.com", 1234000, Reply{302, "", "/static/captcha/tuxing.html?ak=1&backurl=x"},
     Html("<div class=\"nums\"><span class=\"nums_text\">百度为您找到相关结果约1,234,000个"
          "</span></div>"),
     Html("<div class=\"content_none\"><div class=\"nors\"><p>很抱歉，没有找到与<span>“site:"
          "example.com”</span>相关的网页。</p></div></div>")},
    {"sogou", "sogou.com", 37020, Reply{302, "", "/antispider/?from=%2Fweb%3Fquery%3Dsite"},
     Html("<div class=\"search-info\"><p class=\"num-tips\">搜狗已为您找到约37,020条相关结果"
          "</p></div>"),
     Html("<div class=\"no-result\"><p>抱歉，没有找到与“site:example.com”相关的网页。"
          "</p></div>")},
    {"so360", "so.com", 5430,
     Reply{200,
           "<html><head><title>360搜索 安全验证</title></head><body>请输入验证码"
           "</body></html>",
           ""},
     Html("<div class=\"nums\"><span>找到相关结果约5,430个</span></div>"),
     Html("<div id=\"no-result\"><p>抱歉，未找到和<em>site:example.com</em>相关的网页。"
          "</p></div>")},
    {"bing", "microsoft.com", 12300, Reply{302, "", "/turing/captcha/challenge?q=site"},
     Html("<div id=\"b_tween\"><span class=\"sb_count\">约 12,300 个结果</span></div>"),
     Html("<ol id=\"b_results\"><li class=\"b_no\"><h1>没有与此相关的结果: <strong>site:"
          "example.com</strong></h1></li></ol>")},
    {"yahoo", "yahoo.com", 98700,
     Reply{200, "<html><head><title>Yahoo Captcha</title></head><body></body></html>", ""},
     Html("<div class=\"compPagination\"><a class=\"next\">Next</a><span>98,700 results</span>"
          "</div>"),
     Html("<div class=\"dd zrp\"><p>We did not find results for: <strong><b>site:example.com"
          "</b></strong>. </p></div>")},
};

// One engine behind a fake upstream serving the pages the test sets, the canary's on its own.
class Engine {
  public:
    explicit Engine(const EngineCase& c, const std::string& overrides = "") : case_(c) {
        up_.server().Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard<std::mutex> guard(mutex_);
            ++requests_;
            asked_ = req.target + " " + req.get_header_value("Authorization");
            // A visitor is handed a cookie at once, and turned away from then on without it.
            const bool turned_away =
                cookie_check_ && requests_ > 1 &&
                req.get_header_value("Cookie").find("visit=1") == std::string::npos;
            res.set_header("Set-Cookie", "visit=1; Path=/; Max-Age=86400");
            const Reply& r = turned_away                                          ? case_.captcha
                             : req.target.find(case_.canary) != std::string::npos ? canary_
                                                                                  : site_;
            res.status = r.status;
            if (!r.location.empty())
                res.set_header("Location", r.location);
            res.set_content(r.body, "text/html; charset=utf-8");
        });
        EXPECT_TRUE(up_.Start());
        site_ = canary_ = Reply{200, c.normal, ""};
        const toml::table shipped = toml::parse(DefaultConfigToml());
        if (const toml::table* own = shipped["providers"][c.name].as_table())
            section_ = *own;
        section_.insert_or_assign("jitter_s", 0);
        for (auto&& [k, v] : toml::parse(overrides))
            section_.insert_or_assign(k, v);
        const std::string url = section_["url"].value_or(std::string());
        section_.insert_or_assign("url",
                                  up_.base() + url.substr(url.find('/', url.find("://") + 3)));
        config_.data_dir = dir_.path;
        Restart();
    }
    // The provider built anew on the store opened again, as by a restarted service.
    void Restart() {
        provider_.reset();
        store_.reset();
        std::string error;
        store_ = OpenStore(dir_.path, env_.env, &error);
        ASSERT_TRUE(store_) << error;
        ProviderContext context{env_.env, *store_, config_};
        provider_ = MakeProvider(case_.name, section_, context, &error);
        EXPECT_TRUE(provider_) << error;
    }
    void Serve(Reply site, std::optional<Reply> canary = std::nullopt) {
        std::lock_guard<std::mutex> guard(mutex_);
        site_ = site;
        canary_ = canary.value_or(canary_);
    }
    Measurement Measure(Page page = Page::Sites) {
        return test::MeasureInTurn(*provider_, env_.clock, {"example.com", page, {0}}).at(0);
    }
    // `times` measurements in turn, joined, and whether the definition is then marked broken.
    std::string Seen(int times = 1, Page page = Page::Sites) {
        std::string out;
        for (int i = 0; i < times; ++i)
            out += (i ? ", " : "") + test::Brief(Measure(page));
        return out + (provider_->State().broken ? " (broken)" : "");
    }
    void CheckCookie() { cookie_check_ = true; }
    int requests() { return requests_; }
    // The last request's target and Authorization header.
    std::string asked() {
        std::lock_guard<std::mutex> guard(mutex_);
        return asked_;
    }
    std::int64_t Rest() { return provider_->State().suspended_until_ms - env_.clock.NowMs(); }
    Provider& provider() { return *provider_; }
    test::FakeClock& clock() { return env_.clock; }

  private:
    const EngineCase& case_;
    test::FakeUpstream up_;
    test::TestEnv env_;
    test::TempDir dir_;
    std::unique_ptr<Store> store_;
    Config config_;
    toml::table section_;
    std::mutex mutex_;
    Reply site_, canary_;
    std::string asked_;
    std::atomic<int> requests_{0};
    std::atomic<bool> cookie_check_{false};
    std::unique_ptr<Provider> provider_;
};

// A JSON search API on the fake; its canary never comes up.
const EngineCase kApi{"api", "canary.invalid", 0, {}, "", ""};

} // namespace

TEST(ResultCount, ReadsSeparatorsAndMultipliers) {
    // Dots and the thin and no-break spaces of other locales come with the pages below.
    const std::pair<std::string, std::int64_t> rows[] = {
        {"约1,234,000", 1234000}, {"1.2万", 12000},  {"1.2 万", 12000}, {"3亿", 300000000},
        {"2.5亿", 250000000},     {"12 300", 12300}, {"1，234", 1234},  {"0", 0},
        {"12\u2009300", 12300}};
    for (const auto& [text, want] : rows)
        EXPECT_EQ(ParseResultCount(text), want) << text;
    // Past the range a count is unreadable, never wrapped; no count has a bare fraction.
    for (const char* text : {"", "约", "1.5", "1.23.456", "12345678901234567", "99999999999亿"})
        EXPECT_EQ(ParseResultCount(text), std::nullopt) << text;
}

// Counts, zeros, refusals and verification pages; unknown pages rest the engine first, and a
// page that stays unknown marks the definition broken. Cookies are kept like a browser's, across
// restarts too: the fake turns away a visitor without the one it handed out.
TEST(Serp, EachShippedDefinitionReadsItsPagesAndNoticesWhenTheyChange) {
    const Reply unknown{200, Html("<div class=\"result-count\">共 1,234 项</div>"), ""};
    for (const EngineCase& c : kEngines) {
        SCOPED_TRACE(c.name);
        Engine engine(c), dropped(c, "cookies = false");
        engine.CheckCookie();
        dropped.CheckCookie();
        EXPECT_EQ(dropped.Seen(), "blocked");
        const std::string ok = "ok " + std::to_string(c.count);
        // Only Baidu has a backlink query; for the others nothing is sent, not even the canary.
        const bool links = c.name == std::string_view("baidu");
        EXPECT_EQ((std::tuple{engine.Seen(1, Page::Links), engine.requests()}),
                  std::tuple(links ? ok : "unsupported", 2 * links));
        // The first query of the day is the canary's, then the site's, an interval apart.
        const std::int64_t start = engine.clock().NowMs();
        EXPECT_EQ((std::tuple{engine.Seen(), engine.requests()}), std::tuple(ok, 2 + links));
        EXPECT_GE(engine.clock().NowMs() - start, 15000);
        engine.Serve({200, c.zero, ""});
        EXPECT_EQ(engine.Seen(), "not-found 0");
        // A verification page: blocked, no number, and the engine left alone for 24 hours, a
        // restart notwithstanding.
        engine.Serve(c.captcha);
        const int asked = engine.requests();
        EXPECT_EQ(engine.Seen(), "blocked");
        engine.Restart();
        EXPECT_EQ((std::tuple{engine.Seen(), engine.requests() - asked}), std::tuple("blocked", 1));
        EXPECT_GE(engine.Rest(), 23 * kHour);
        engine.clock().Advance(24 * kHour);
        engine.Serve({200, c.normal, ""});
        EXPECT_EQ(engine.Seen(), ok);
        EXPECT_EQ(engine.provider().State().suspended_until_ms, 0);
        // Too many requests rest the engine for at most an hour; other refusals are network
        // errors.
        engine.Serve({429, "slow down", ""});
        EXPECT_EQ(engine.Seen(), "rate-limited");
        EXPECT_TRUE(engine.Rest() > 0 && engine.Rest() <= kHour) << engine.Rest();
        engine.clock().Advance(kHour);
        engine.Serve({503, "", ""});
        EXPECT_EQ(engine.Seen(), "network-error");
        // The canary meets it too: most likely an unknown verification page; rest 6 hours.
        engine.Serve(unknown, unknown);
        EXPECT_EQ(engine.Seen(2), "parse-failed, blocked");
        EXPECT_EQ(engine.Rest(), 6 * kHour);
        // Still the same after the rest: the page has changed.
        engine.clock().Advance(6 * kHour);
        EXPECT_EQ(engine.Seen(2), "parse-failed, parse-failed (broken)");
        // While broken, even "no results" is not taken for a zero; the mark outlives a restart.
        engine.Serve({200, c.zero, ""});
        engine.Restart();
        EXPECT_EQ(engine.Seen(), "parse-failed (broken)");
        // The next day's canary passes again and the definition is trusted again.
        engine.Serve({200, c.normal, ""}, Reply{200, c.normal, ""});
        engine.clock().Advance(25 * kHour);
        EXPECT_EQ(engine.Seen(), ok);
        // A canary reading "no results" after an unreadable page: broken at once.
        engine.Serve(unknown, Reply{200, c.zero, ""});
        const std::string seen = engine.Seen(2);
        EXPECT_TRUE(seen.starts_with("parse-failed, ") && seen.ends_with(" (broken)")) << seen;
    }
}

// Pages served in other locales, and result pages that are never verification pages.
TEST(Serp, ReadsEveryShapeOfPage) {
    const auto file = [](const char* page) { return test::Fixture(std::string("serp/") + page); };
    const std::tuple<std::size_t, std::string, const char*> rows[] = {
        {3, file("bing-nl-dots.html"), "ok 16900000"},
        {3, file("bing-range-dots.html"), "ok 985000"},
        {3, file("bing-de-ergebnisse.html"), "ok 19400000"},
        {3, file("bing-fr-thinspace.html"), "ok 12300"},
        {3, file("bing-relaxed-query.html"), "not-found 0"},
        {4, file("yahoo-de-dots.html"), "ok 16900000"},
        {4, file("yahoo-nbsp.html"), "ok 98700"},
        // A result titled like Baidu's error page, and result links into /captcha paths.
        {0, kEngines[0].normal + Html("<h3><a href=\"/x\">网络不给力，请稍后重试</a></h3>"),
         "ok 1234000"},
        {2, kEngines[2].normal + Html("<a href=\"https://a.example/captcha/x\">r</a>"), "ok 5430"},
        {4, kEngines[4].normal + Html("<a href=\"https://a.example/captcha\">r</a>"), "ok 98700"},
        // Without a count the same text is the verification page.
        {0, Html("<p>网络不给力，请稍后重试</p>"), "blocked"},
        // Baidu's "no results" wording without 很 and the comma.
        {0, Html("<p>抱歉没有找到与“site:example.com”相关的网页。</p>"), "not-found 0"},
    };
    for (const auto& [index, body, seen] : rows) {
        Engine engine(kEngines[index]);
        engine.Serve({200, body, ""});
        EXPECT_EQ(engine.Seen(), seen) << body.substr(0, 300);
    }
}

// Today's budget, spent across restarts, holds the next request for tomorrow.
TEST(Serp, BudgetOutlivesARestart) {
    Engine engine(kEngines[0], "daily_budget = 3");
    ASSERT_EQ(engine.Seen(), "ok 1234000"); // canary + site
    engine.Restart();
    EXPECT_EQ(engine.Seen(1, Page::Links), "ok 1234000");
    engine.Restart();
    EXPECT_TRUE(engine.provider().Measure({"example.com", Page::Sites, {0}}).empty());
    EXPECT_EQ(engine.requests(), 3);
    engine.clock().Advance(24 * kHour);
    EXPECT_EQ((std::tuple{engine.Seen(), engine.requests()}), std::tuple("ok 1234000", 5));
}

// Two exits, one of them blocked: it rests alone, the other carries on at its own pace, and
// the engine rests only once both do. A proxy's credentials never show.
TEST(Serp, ProxiesArePacedAndSuspendedEachOnItsOwn) {
    test::FakeProxy first, second;
    ASSERT_TRUE(first.Start() && second.Start());
    const Reply captcha = kEngines[0].captcha;
    const std::string secret = "http://user:secret@" + second.url().substr(7);
    Engine engine(kEngines[0],
                  "interval_s = 10\nproxies = [\"" + first.url() + "\", \"" + secret + "\"]");
    // Canary and site go out at once, one by each proxy (twice the rate), each passed on.
    const std::int64_t start = engine.clock().MonoMs();
    EXPECT_EQ(engine.Seen(3), "ok 1234000, ok 1234000, ok 1234000");
    EXPECT_EQ(std::tuple(engine.clock().MonoMs() - start, first.requests(), second.requests(),
                         engine.requests()),
              std::tuple(10000, 2, 2, 4));
    // A page the second cannot read: the canary, by the same proxy, meets it too; it alone rests.
    second.AnswerInstead(Reply{200, Html("<p>请稍候……</p>"), ""});
    EXPECT_EQ(engine.Seen(), "ok 1234000");
    const Measurement unread = engine.Measure();
    EXPECT_EQ((std::tuple{test::Brief(unread), engine.Seen(), second.requests()}),
              std::tuple("parse-failed", "ok 1234000", 4));
    const std::string described = engine.provider().Describe();
    EXPECT_NE(described.find("http://***@127.0.0.1"), std::string::npos) << described;
    // The first carries on alone, also after a restart, and keeps its own pace.
    EXPECT_EQ(engine.Seen(2), "ok 1234000, ok 1234000");
    engine.Restart();
    EXPECT_EQ(
        (std::tuple{engine.Seen(), first.requests(), second.requests(), engine.clock().MonoMs()}),
        std::tuple("ok 1234000", 7, 4, start + 50000));
    // Six hours on the second is back, and a verification page by the first rests it alone.
    engine.clock().Advance(6 * kHour);
    second.AnswerInstead(std::nullopt);
    first.AnswerInstead(captcha);
    const std::string two = engine.Seen(2);
    EXPECT_TRUE(two == "ok 1234000, blocked" || two == "blocked, ok 1234000") << two;
    EXPECT_EQ(engine.provider().State().suspended_until_ms, 0);
    // Both blocked: the engine rests, and nothing is sent.
    second.AnswerInstead(captcha);
    EXPECT_EQ(engine.Seen(), "blocked");
    const int sent = first.requests() + second.requests();
    EXPECT_EQ((std::tuple{engine.Seen(), first.requests() + second.requests()}),
              std::tuple("blocked", sent));
    const ProviderState state = engine.provider().State();
    EXPECT_GT(state.suspended_until_ms, engine.clock().NowMs());
    EXPECT_EQ("", Lacks(state.suspended_why, first.url() + "|http://***@127.0.0.1") +
                      test::Holds(unread.detail + described + state.suspended_why, "secret"));
}

TEST(Serp, UnusableDefinitionsAreRefused) {
    test::ProviderBench bench;
    const std::string url = "url = \"https://x/s?q={query}\"\n", ok = url + "count = '(\\d+)'\n",
                      api = "type = \"serp-api\"\n", q = api + url;
    for (const std::string& text :
         {std::string("url = \"https://x/s?q=\"\ncount = '(\\d+)'"), url + "count = '\\d+'",
          url + "count = '(\\d+'", ok + "interval_s = -1",
          ok + "headers = { \"X\" = \"a\\r\\nHost: evil\" }", ok + "proxies = [\"ftp://h:21\"]",
          ok + "proxies = [\"http://h:1\", \"http://u:p@h:1\"]",
          ok + "proxy = \"http://h:1\"\nproxies = [\"http://g:1\"]",
          // A JSON pointer or a template an API definition cannot use.
          q + "count = \"search_information\"", q + "count = \"\"",
          api + "url = \"https://x/search\"\ncount = \"/n\"",
          q + "count = \"/n\"\nerror = \"~\""}) {
        toml::table section = toml::parse(text);
        section.insert("type", "serp"); // kept where the text names its own
        std::string error;
        EXPECT_TRUE(!MakeProvider("x", section, bench.context, &error) && !error.empty()) << text;
    }
}

// A JSON search API in the shapes vendors document: the count as a number or as a string of
// digits, an error field, "no results" state, and the HTTP refusals.
TEST(SerpApi, ReadsDocumentedShapesAndRefusals) {
    const auto total = [](const std::string& count) {
        return R"({"search_information":{"total_results":)" + count + "}}";
    };
    const std::tuple<int, std::string, const char*> cases[] = {
        // status, body, seen
        {200, total("1234000"), "ok 1234000"},
        {200, total(R"("98700")"), "ok 98700"},
        {200, total(R"("1,234,000")"), "ok 1234000"},
        {200, total("-5"), "parse-failed"},
        {200, total("0"), "not-found 0"},
        {200,
         R"({"search_information":{"organic_results_state":"Fully empty"},)"
         R"("error":"Google hasn't returned any results for this query."})",
         "not-found 0"},
        {200, R"({"error":"Your account has run out of searches."})", "network-error"},
        {200, total(R"("about many")"), "parse-failed"},
        {200, R"({"search_information":[1,2]})", "parse-failed"},
        {200, "<html>not json</html>", "parse-failed"},
        {401, R"({"error":"Invalid API key."})", "not-configured"},
        {403, "", "not-configured"},
        {429, "", "rate-limited"},
        {500, "", "network-error"}};
    const std::string section =
        "type = \"serp-api\"\n"
        "url = \"https://x/search.json?engine=google&q={query}&api_key={key}\"\n"
        "headers = { Authorization = \"Bearer {key}\" }\n"
        "count = \"/search_information/total_results\"\n"
        "no_results = \"/search_information/organic_results_state\"\n"
        "no_results_value = \"Fully empty\"\nerror = \"/error\"\n"
        "interval_s = 0\n";
    for (const auto& [status, body, seen] : cases) {
        SCOPED_TRACE(body + " " + std::to_string(status));
        Engine api(kApi, section + "key = \"k&1\"");
        api.Serve({status, body, ""});
        EXPECT_EQ(
            (std::tuple{api.Seen(), api.asked(), api.Rest() > 0}),
            std::tuple(seen,
                       "/search.json?engine=google&q=site%3Aexample.com&api_key=k%261 Bearer k&1",
                       status == 429));
    }
    // Without a key nothing is sent.
    Engine keyless(kApi, section);
    EXPECT_EQ((std::tuple{keyless.Seen(), keyless.requests()}), std::tuple("not-configured", 0));
}
