// The engine's value rules, freshness, deadline and sharing, with a hand-moved clock.
#include "engine.h"
#include "fakes.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace valdane::svc;
namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kFresh = 3600 * 1000;
constexpr std::int64_t kDeadline = 45000;

// Answers what the test says; can hold every call until released.
class TestProvider final : public Provider {
  public:
    std::vector<Measurement> Measure(const MeasureRequest& request) override {
        std::unique_lock<std::mutex> lock(mutex_);
        ++calls_;
        cv_.notify_all();
        cv_.wait(lock, [this] { return !hold_; });
        if (throws_)
            throw std::runtime_error("boom");
        std::vector<Measurement> out;
        for (int column : request.columns) {
            Measurement m;
            m.status = status_;
            m.detail = detail_;
            if (status_ == Status::Ok) {
                m.number = value_ + column;
                m.text = text_;
            } else if (status_ == Status::NotFound && value_ < 0) {
                m.number = value_; // the source has no entry for the site
            }
            out.push_back(m);
        }
        return out;
    }
    std::string Describe() const override { return "测试来源"; }

    void Set(Status status, std::int64_t value = 0, std::string detail = "") {
        std::lock_guard<std::mutex> guard(mutex_);
        status_ = status;
        value_ = value;
        detail_ = std::move(detail);
    }
    void SetText(std::string text) {
        std::lock_guard<std::mutex> guard(mutex_);
        text_ = std::move(text);
    }
    void Throw() {
        std::lock_guard<std::mutex> guard(mutex_);
        throws_ = true;
    }
    void Hold(bool hold) {
        std::lock_guard<std::mutex> guard(mutex_);
        hold_ = hold;
        cv_.notify_all();
    }
    // Waits (in real time, for an event, not a limit) until `n` calls have begun.
    bool AwaitCalls(int n) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return calls_ >= n; });
    }
    int calls() {
        std::lock_guard<std::mutex> guard(mutex_);
        return calls_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int calls_ = 0;
    bool hold_ = false;
    bool throws_ = false;
    Status status_ = Status::Ok;
    std::int64_t value_ = 5;
    std::string detail_;
    std::string text_ = "文本";
};

// The fake clock, counting the requests that wait on it.
class CountingClock final : public Clock {
  public:
    std::int64_t NowMs() override { return fake.NowMs(); }
    bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                   std::int64_t deadline_ms, const std::function<bool()>& pred) override {
        ++waiting;
        return fake.WaitUntil(lock, cv, deadline_ms, pred);
    }
    void SleepMs(std::int64_t ms) override { fake.SleepMs(ms); }
    test::FakeClock fake;
    std::atomic<int> waiting{0};
};

class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(LoadConfig({}, &config_, &error)) << error;
        config_.fresh_ms = kFresh;
        config_.deadline_ms = kDeadline;
        for (Page page : kPages)
            config_.columns[page].assign(config_.columns[page].size(), "t");
        config_.columns[Page::Ranks][1] = "none";
        store_ = OpenStore(dir_, env_, &error);
        ASSERT_TRUE(store_) << error;
        Start(*store_);
    }
    void TearDown() override {
        provider_->Hold(false);
        engine_.reset();
    }

    void Start(Store& store) {
        engine_.reset();
        ProviderContext context{env_, store, config_};
        std::string error;
        auto providers = MakeProviders(context, &error);
        auto provider = std::make_unique<TestProvider>();
        provider_ = provider.get();
        providers["t"] = std::move(provider);
        engine_ = std::make_unique<Engine>(config_, store, env_, std::move(providers));
    }

    // The default configuration adds providers of its own: look ours up by name.
    ProviderHealth HealthOf(const std::string& name) const {
        for (const ProviderHealth& h : engine_->Health())
            if (h.name == name)
                return h;
        ADD_FAILURE() << "no provider " << name;
        return {};
    }

    std::string Answer(Page page, std::string_view site) {
        return engine_->Answer(page, site).value_or("false");
    }

    test::TempDir tmp_;
    const fs::path dir_ = tmp_.path / "store"; // not there yet: the store makes it
    CountingClock clock_;
    test::FakeResolver resolver_;
    Env env_{clock_, DefaultEnv().http, resolver_};
    Config config_;
    std::unique_ptr<Store> store_;
    std::unique_ptr<Engine> engine_;
    TestProvider* provider_ = nullptr;
};

TEST_F(EngineTest, ValueRules) {
    struct Case {
        std::optional<Status> first; // nullopt: never measured
        Status second;               // after the first has gone stale
        const char* sent;            // column 0 of the sites answer
        bool stale, missing;
    };
    const Case cases[] = {
        {Status::Ok, Status::Ok, "9", false, false},
        {Status::Ok, Status::NetworkError, "5", true, false},
        {Status::NotFound, Status::Blocked, "0", true, false},
        {std::nullopt, Status::RateLimited, "-1", false, true},
        {Status::Ok, Status::NotFound, "0", false, false},
        {Status::Ok, Status::NotConfigured, "-1", false, true},
        {Status::Ok, Status::Unsupported, "-1", false, true},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        const std::string site = "case" + std::to_string(i) + ".example";
        const int before = provider_->calls();
        if (c.first) {
            provider_->Set(*c.first, 5);
            const std::string expected =
                *c.first == Status::Ok ? "5,6,7,8,9,10,11" : "0,0,0,0,0,0,0";
            EXPECT_EQ(Answer(Page::Sites, site), expected) << i;
            // Fresh: from the store, the provider is not asked.
            clock_.fake.Advance(kFresh - 1);
            EXPECT_EQ(Answer(Page::Sites, "http://" + site), expected) << i;
            EXPECT_EQ(provider_->calls(), before + 1) << i;
            clock_.fake.Advance(1);
        }
        provider_->Set(c.second, 9, "原因");
        const auto answers = engine_->Explain(Page::Sites, site);
        ASSERT_TRUE(answers) << i;
        ASSERT_EQ(answers->size(), 7u);
        EXPECT_EQ(provider_->calls(), before + (c.first ? 2 : 1)) << i;
        const ColumnAnswer& a = (*answers)[0];
        EXPECT_EQ(a.sent, c.sent) << i;
        EXPECT_EQ(a.stale, c.stale) << i;
        EXPECT_EQ(a.missing, c.missing) << i;
        EXPECT_EQ(a.used.source, "t") << i;
    }
    // A source without an entry for the site: "-1", never a zero.
    provider_->Set(Status::NotFound, -1);
    EXPECT_EQ(Answer(Page::Sites, "unlisted.example"), "-1,-1,-1,-1,-1,-1,-1");
    // The column no source serves: "-1", and not asked again while that holds.
    provider_->Set(Status::Ok, 9);
    EXPECT_EQ(Answer(Page::Ranks, "ranks.example"), "9,-1");
    const int calls = provider_->calls();
    EXPECT_EQ(Answer(Page::Ranks, "ranks.example"), "9,-1");
    EXPECT_EQ(provider_->calls(), calls);

    const ProviderHealth health = HealthOf("t");
    EXPECT_EQ(health.description, "测试来源");
    EXPECT_GT(health.last_ok_ms, 0);
    EXPECT_GT(health.last_fail_ms, 0);
    EXPECT_NE(health.last_fail_why.find("原因"), std::string::npos);
}

TEST_F(EngineTest, ImplausibleSitesAreRefusedWithoutAsking) {
    for (const std::string& bad : {std::string(), std::string("localhost"), std::string("a..com"),
                                   std::string("exa mple.com"), std::string("<b>.com"),
                                   std::string("1.2.3.4"), std::string(250, 'a') + ".com"}) {
        EXPECT_FALSE(engine_->Answer(Page::Sites, bad)) << bad;
        EXPECT_FALSE(engine_->Explain(Page::Alexa, bad)) << bad;
    }
    EXPECT_EQ(provider_->calls(), 0);
}

TEST_F(EngineTest, DeadlineAnswersWithWhatItHasAndTheLateResultIsKept) {
    provider_->Set(Status::Ok, 1);
    ASSERT_EQ(Answer(Page::Ranks, "late.example"), "1,-1");
    clock_.fake.Advance(kFresh);
    provider_->Set(Status::Ok, 20);
    provider_->Hold(true);
    const std::pair<const char*, const char*> waits[] = {{"late.example", "1,-1"},
                                                         {"never.example", "-1,-1"}};
    int calls = 1;
    for (const auto& [site, expected] : waits) {
        std::string answer;
        std::thread request([&, site = site] { answer = Answer(Page::Ranks, site); });
        ASSERT_TRUE(provider_->AwaitCalls(++calls));
        clock_.fake.Advance(kDeadline);
        request.join();
        EXPECT_EQ(answer, expected); // the last good value, or nothing yet
    }
    // Closing waits for the measurements still running, and keeps them.
    provider_->Hold(false);
    Start(*store_);
    EXPECT_EQ(Answer(Page::Ranks, "late.example"), "20,-1");
    EXPECT_EQ(Answer(Page::Ranks, "never.example"), "20,-1");
    EXPECT_EQ(provider_->calls(), 0);
}

TEST_F(EngineTest, ConcurrentRequestsShareOneMeasurement) {
    provider_->Hold(true);
    std::vector<std::thread> requests;
    std::vector<std::string> answers(3);
    for (std::size_t i = 0; i < answers.size(); ++i)
        requests.emplace_back([&, i] { answers[i] = Answer(Page::Sites, "shared.example"); });
    ASSERT_TRUE(provider_->AwaitCalls(1));
    while (clock_.waiting < 3)
        std::this_thread::yield();
    provider_->Hold(false);
    for (std::thread& t : requests)
        t.join();
    for (const std::string& answer : answers)
        EXPECT_EQ(answer, "5,6,7,8,9,10,11");
    EXPECT_EQ(provider_->calls(), 1);
    EXPECT_EQ(store_->History("shared.example", Page::Sites, 3, 0).size(), 1u);
}

TEST_F(EngineTest, WhoisAndRankingTexts) {
    struct Case {
        Page page;
        Status status;
        std::string detail;
        std::string text;
        std::string sent; // "@" stands for the site
    };
    const std::string undisclosed =
        "未公开|||未公开|||-1|||-1|||未公开|||-1|||未公开|||未公开|||未公开";
    const std::string field = "a｜｜｜b  c｜";
    const Case cases[] = {
        {Page::Whois, Status::Ok, "", "Registrar: 甲\r\nCreated: 2001",
         "Registrar: 甲\r\nCreated: 2001"},
        {Page::Whois, Status::Unsupported, "没有来源", "", "未能取得 @ 的注册信息：没有来源"},
        {Page::Whois, Status::NetworkError, "", "", "0"},
        {Page::Whois, Status::NotFound, "", "", "没有查到 @ 的注册信息（该域名可能尚未注册）"},
        {Page::Alexa, Status::Ok, "", "a|||b\r\nc|",
         field + "|||" + field + "|||12|||13|||" + field + "|||15|||" + field + "|||" + field +
             "|||" + field},
        {Page::Alexa, Status::Blocked, "", "", undisclosed},
        {Page::Alexa, Status::NotConfigured, "", "", undisclosed},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        const std::string site = "w" + std::to_string(i) + ".example";
        provider_->Set(c.status, 10, c.detail);
        provider_->SetText(c.text);
        std::string sent = c.sent;
        if (const auto at = sent.find('@'); at != std::string::npos)
            sent.replace(at, 1, site);
        EXPECT_EQ(Answer(c.page, "http://" + site), sent) << i;
    }
    // Nothing at all by the deadline: the WHOIS answer says so.
    provider_->Hold(true);
    std::string answer;
    const int before = provider_->calls(); // counted before the request can add to it
    std::thread request([&] { answer = Answer(Page::Whois, "x.example"); });
    ASSERT_TRUE(provider_->AwaitCalls(before + 1));
    clock_.fake.Advance(kDeadline);
    request.join();
    EXPECT_EQ(answer, "未能取得 x.example 的注册信息：查询未在期限内完成，结果稍后可用");
}

// A store that has stopped working.
class BrokenStore final : public Store {
  public:
    explicit BrokenStore(bool reads) : reads_(reads) {}
    bool Record(const std::string&, Page, int, const Measurement&) override { return false; }
    std::optional<std::vector<Latest>> LatestRow(const std::string&, Page) override {
        return reads_ ? std::optional<std::vector<Latest>>(std::vector<Latest>{}) : std::nullopt;
    }
    std::unique_ptr<OverviewCursor> Overview(Page, TableOrder, std::size_t) override {
        return nullptr;
    }
    std::vector<Measurement> History(const std::string&, Page, int, std::int64_t) override {
        return {};
    }
    std::vector<std::string> Notices() const override { return {}; }

  private:
    bool reads_;
};

TEST_F(EngineTest, FaultsOfProvidersAndStore) {
    provider_->Throw();
    const auto answers = engine_->Explain(Page::Ranks, "throws.example");
    ASSERT_TRUE(answers);
    EXPECT_TRUE((*answers)[0].missing);
    EXPECT_EQ((*answers)[0].used.status, Status::NetworkError);
    EXPECT_NE(HealthOf("t").last_fail_why.find("boom"), std::string::npos);

    for (bool reads : {false, true}) {
        BrokenStore broken(reads);
        Start(broken);
        EXPECT_FALSE(engine_->Answer(Page::Sites, "example.com")) << reads;
        engine_.reset();
    }
    Start(*store_);
}

} // namespace
