// The engine's value rules, freshness, deadline and sharing, with a hand-moved clock.
#include "engine.h"
#include "fakes.h"
#include "paced.h"
#include "pieces.h"
#include "scripted.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

using namespace valdane::svc;

namespace {

constexpr std::int64_t kFresh = 3600 * 1000;
constexpr std::int64_t kDeadline = 45000;

// The fake clock, counting the requests that wait on it (the workers' idle waits end later).
class CountingClock final : public Clock {
  public:
    std::int64_t NowMs() override { return fake.NowMs(); }
    std::int64_t MonoMs() override { return fake.MonoMs(); }
    bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                   std::int64_t deadline_ms, const std::function<bool()>& pred) override {
        waiting += deadline_ms == fake.MonoMs() + kDeadline ? 1 : 0;
        return fake.WaitUntil(lock, cv, deadline_ms, pred);
    }
    test::FakeClock fake;
    std::atomic<int> waiting{0};
};

// "sent source" and the flags set, to compare a cell whole.
std::string Cell(const ColumnAnswer& a) {
    return a.sent + " " + a.used.source + (a.stale ? " stale" : "") +
           (a.missing ? " missing" : "") + (a.measuring ? " measuring" : "");
}

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
        if (engine_)
            provider_->Hold(false); // a failed check must not leave the engine waiting on it
        engine_.reset();
    }
    void Start(Store& store, const std::string& paced_url = "") {
        engine_.reset();
        // Only the scripted sources: the shipped ones would fetch their lists at start.
        std::map<std::string, std::unique_ptr<Provider>> providers;
        providers["t"].reset(provider_ = new test::ScriptedProvider);
        providers["b"].reset(backup_ = new test::ScriptedProvider);
        providers["p"].reset(paced_ = new test::PacedFake(env_, store, "p", paced_url));
        engine_ = std::make_unique<Engine>(config_, store, env_, std::move(providers));
    }
    // Column 0 of sites and ranks from the paced source.
    void UsePaced(const std::string& url = "") {
        config_.columns[Page::Sites][0] = "p";
        config_.columns[Page::Ranks][0] = "p";
        Start(*store_, url);
    }
    // Waits (in real time, for an event) until no cell of the site is measuring.
    bool Settled(Page page, const std::string& site) {
        for (int i = 0; i < 20000; ++i) {
            const auto cells = engine_->State(page, site);
            if (std::none_of(cells->begin(), cells->end(), [](auto& a) { return a.measuring; }))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }
    // The default configuration adds providers of its own: look ours up by name.
    ProviderHealth HealthOf(const std::string& name) const {
        const auto all = engine_->Health();
        const auto it = std::ranges::find(all, name, &ProviderHealth::name);
        return it != all.end() ? *it : ProviderHealth{};
    }
    std::string Answer(Page page, std::string_view site) {
        return engine_->Answer(page, site).value_or("false");
    }
    test::TempDir tmp_;
    const std::filesystem::path dir_ = tmp_.path / "store"; // not there yet: the store makes it
    CountingClock clock_;
    test::FakeResolver resolver_;
    Env env_{clock_, test::TestHttp(), resolver_};
    Config config_;
    std::unique_ptr<Store> store_;
    std::unique_ptr<Engine> engine_;
    test::ScriptedProvider* provider_ = nullptr;
    test::ScriptedProvider* backup_ = nullptr; // "b"
    test::PacedFake* paced_ = nullptr;
};

TEST_F(EngineTest, ValueRules) {
    // The first status (nullopt: never measured), the next once it has gone stale, column 0.
    using enum Status;
    const std::tuple<std::optional<Status>, Status, const char*> cases[] = {
        {Ok, Ok, "9 t"},
        {Ok, NetworkError, "5 t stale"},
        {NotFound, Blocked, "0 t stale"},
        {std::nullopt, RateLimited, "-1 t missing"},
        {Ok, NotFound, "0 t"},
        {Ok, NotConfigured, "-1 t missing"},
        {Ok, Unsupported, "-1 t missing"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& [first, second, cell] = cases[i];
        SCOPED_TRACE(i);
        const std::string site = "case" + std::to_string(i) + ".example";
        const int before = provider_->calls();
        if (first) {
            provider_->Set(*first, 5);
            const std::string expected = *first == Status::Ok ? "5,6,7,8,9,10,11" : "0,0,0,0,0,0,0";
            EXPECT_EQ(Answer(Page::Sites, site), expected);
            // Fresh: from the store, the provider is not asked; then from memory.
            EXPECT_EQ(engine_->AnswerFromStore(Page::Sites, site), std::nullopt);
            clock_.fake.Advance(kFresh - 1);
            EXPECT_EQ(Answer(Page::Sites, "http://" + site), expected);
            EXPECT_EQ(engine_->AnswerFromStore(Page::Sites, site), expected);
            EXPECT_EQ(provider_->calls(), before + 1);
            clock_.fake.Advance(1);
            EXPECT_EQ(engine_->AnswerFromStore(Page::Sites, site), std::nullopt);
        }
        provider_->Set(second, 9, "原因");
        const auto answers = engine_->Explain(Page::Sites, site);
        ASSERT_TRUE(answers && answers->size() == 7u);
        EXPECT_EQ(provider_->calls(), before + (first ? 2 : 1));
        EXPECT_EQ(Cell(answers->front()), cell);
    }
    // A source without an entry for the site: "-1", never a zero.
    provider_->Set(Status::NotFound, -1);
    EXPECT_EQ(Answer(Page::Sites, "unlisted.example"), "-1,-1,-1,-1,-1,-1,-1");
    // The column no source serves: "-1", and not asked again while that holds.
    provider_->Set(Status::Ok, 9);
    const int calls = provider_->calls();
    const std::string ranks = Answer(Page::Ranks, "ranks.example");
    EXPECT_EQ(ranks + " " + Answer(Page::Ranks, "ranks.example"), "9,-1 9,-1");
    EXPECT_EQ(provider_->calls(), calls + 1);
    const ProviderHealth h = HealthOf("t");
    EXPECT_EQ(std::tuple(h.description, h.last_ok_ms > 0, h.last_fail_ms > 0,
                         test::Lacks(h.last_fail_why, "原因")),
              std::tuple("<b>测试</b> & 源", true, true, ""));
}

// A failing or suspended source hands the column to the next in its chain, within the request
// (the clock never moves) or, for a paced source failing once its request was answered, in the
// background; the value is kept as the one that gave it.
TEST_F(EngineTest, ChainsFallBack) {
    config_.fallbacks[Page::Sites] = {{"b"}};
    UsePaced("http://127.0.0.1:1"); // refused at once
    backup_->Set(Status::Ok, 8);
    EXPECT_EQ(Answer(Page::Sites, "first.example").substr(0, 2), "8,");
    EXPECT_EQ(Answer(Page::Sites, "second.example").substr(0, 3), "-1,"); // behind pacing
    EXPECT_EQ(backup_->calls(), 1);
    clock_.fake.Advance(15000);
    ASSERT_TRUE(Settled(Page::Sites, "second.example"));
    EXPECT_EQ(Cell(engine_->State(Page::Sites, "second.example")->at(0)), "8 b");
    EXPECT_EQ(backup_->calls(), 2);
    // The column's source; what it answers (unused for the suspended "p"); the cell left.
    using enum Status;
    const std::tuple<const char*, Status, std::string> cases[] = {
        {"t", Blocked, "8 b"},     {"t", RateLimited, "8 b"},   {"t", NetworkError, "8 b"},
        {"t", ParseFailed, "8 b"}, {"t", NotConfigured, "8 b"}, {"t", NotFound, "0 t"},
        {"p", Ok, "8 b"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& [first, status, cell] = cases[i];
        SCOPED_TRACE(i);
        config_.columns[Page::Sites][0] = first;
        Start(*store_);
        backup_->Set(Status::Ok, 8);
        provider_->Set(status);
        if (std::string(first) == "p")
            paced_->pacer()->Suspend(Status::Blocked, "验证页");
        const std::string site = "chain" + std::to_string(i) + ".example";
        EXPECT_EQ(Answer(Page::Sites, site).substr(0, 2), cell.substr(0, 1) + ",");
        EXPECT_EQ(Cell(engine_->State(Page::Sites, site)->at(0)), cell);
        EXPECT_EQ(paced_->calls(), 0);
        // Fresh from a source of its chain: not asked again.
        const int asked = backup_->calls();
        Answer(Page::Sites, site);
        EXPECT_EQ(backup_->calls(), asked);
        // When the fallback cannot answer either (no key), the last good value stays, stale.
        clock_.fake.Advance(kFresh);
        provider_->Set(Status::Blocked);
        backup_->Set(Status::NotConfigured);
        EXPECT_EQ(Cell(engine_->Explain(Page::Sites, site)->at(0)), cell + " stale");
    }
}

TEST_F(EngineTest, DeadlineAnswersWithWhatItHasAndTheLateResultIsKept) {
    provider_->Set(Status::Ok, 1);
    ASSERT_EQ(Answer(Page::Ranks, "late.example"), "1,-1");
    clock_.fake.Advance(kFresh);
    provider_->Set(Status::Ok, 20);
    provider_->Hold(true);
    // The last good value, or nothing yet; a WHOIS answer says so.
    const std::tuple<Page, const char*, const char*> waits[] = {
        {Page::Ranks, "late.example", "1,-1"},
        {Page::Ranks, "never.example", "-1,-1"},
        {Page::Whois, "x.example",
         "未能取得 x.example 的注册信息：查询未在期限内完成，结果稍后可用"}};
    int calls = 1;
    for (const auto& [page, site, expected] : waits) {
        std::string answer;
        std::thread request([&, page = page, site = site] { answer = Answer(page, site); });
        ASSERT_TRUE(provider_->AwaitCalls(++calls));
        clock_.fake.Advance(kDeadline);
        request.join();
        EXPECT_EQ(answer, expected);
    }
    // The deadline runs from arrival: a request that came a deadline ago does not wait.
    EXPECT_EQ(engine_->Answer(Page::Ranks, "arrived.example", clock_.fake.MonoMs() - kDeadline),
              "-1,-1");
    // Closing waits for the measurements still running, and keeps them.
    provider_->Hold(false);
    Start(*store_);
    EXPECT_EQ(Answer(Page::Ranks, "late.example") + " " + Answer(Page::Ranks, "never.example"),
              "20,-1 20,-1");
    EXPECT_EQ(provider_->calls(), 0);
}

// Whether a worker measures or (a local source) the first request on its own thread, the
// others wait for that one measurement and are woken by its end.
TEST_F(EngineTest, ConcurrentRequestsShareOneMeasurement) {
    for (const bool local : {false, true}) {
        const std::string site = "shared" + std::to_string(local) + ".example";
        const int calls = provider_->calls();
        provider_->SetLocal(local);
        provider_->Hold(true);
        clock_.waiting = 0;
        std::vector<std::thread> requests;
        std::vector<std::string> answers(3);
        for (std::size_t i = 0; i < answers.size(); ++i)
            requests.emplace_back([&, i] { answers[i] = Answer(Page::Sites, site); });
        ASSERT_TRUE(provider_->AwaitCalls(calls + 1));
        while (clock_.waiting < (local ? 2 : 3))
            std::this_thread::yield();
        provider_->Hold(false);
        for (std::thread& t : requests)
            t.join();
        EXPECT_EQ(answers, std::vector<std::string>(3, "5,6,7,8,9,10,11")) << local;
        EXPECT_EQ(provider_->calls(), calls + 1) << local;
        EXPECT_EQ(store_->History(site, Page::Sites, 3, 0).size(), 1u) << local;
    }
}

TEST_F(EngineTest, WhoisAndRankingTexts) {
    // A text field we could not get says why; 未公开 is only for what the owner withheld.
    const auto missing = [](const std::string& why) {
        const std::string t = "—（暂无数据：" + why + "）";
        return t + "|||" + t + "|||-1|||-1|||" + t + "|||-1|||" + t + "|||" + t + "|||" + t;
    };
    const std::string field = "a｜｜｜b  c｜";
    // page, status, detail, text, what is sent ("@" stands for the site)
    const std::tuple<Page, Status, std::string, std::string, std::string> cases[] = {
        {Page::Whois, Status::Ok, "", "Registrar: 甲\r\nCreated: 2001",
         "Registrar: 甲\r\nCreated: 2001"},
        {Page::Whois, Status::Unsupported, "没有来源", "", "未能取得 @ 的注册信息：没有来源"},
        {Page::Whois, Status::NetworkError, "", "", "0"},
        {Page::Whois, Status::NotFound, "", "", "没有查到 @ 的注册信息（该域名可能尚未注册）"},
        {Page::Alexa, Status::Ok, "", "a|||b\r\nc|",
         field + "|||" + field + "|||12|||13|||" + field + "|||15|||" + field + "|||" + field +
             "|||" + field},
        {Page::Alexa, Status::Blocked, "", "", missing("被拦截")},
        {Page::Alexa, Status::NotConfigured, "", "", missing("未配置")},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        auto [page, status, detail, text, sent] = cases[i];
        const std::string site = "w" + std::to_string(i) + ".example";
        provider_->Set(status, 10, detail, text);
        if (const auto at = sent.find('@'); at != std::string::npos)
            sent.replace(at, 1, site);
        EXPECT_EQ(Answer(page, "http://" + site), sent) << i;
    }
}

// A store that has stopped working.
struct BrokenStore final : Store {
    explicit BrokenStore(bool reads) : reads(reads) {}
    bool Record(const std::string&, Page, int, const Measurement&) override { return false; }
    std::optional<std::vector<Latest>> LatestRow(const std::string&, Page) override {
        return reads ? std::optional<std::vector<Latest>>(std::vector<Latest>{}) : std::nullopt;
    }
    std::unique_ptr<OverviewCursor> Overview(Page, TableOrder, std::size_t) override { return {}; }
    std::vector<Measurement> History(const std::string&, Page, int, std::int64_t) override {
        return {};
    }
    std::vector<StoreNotice> Notices() const override { return {}; }
    const bool reads;
};

TEST_F(EngineTest, FaultsOfProvidersAndStore) {
    // A source that throws, or answers another number of columns than asked, or claims a value
    // it does not give: every column it serves is missing, never a value of another column.
    const std::tuple<int, bool, const char*, const char*> faults[] = {
        {0, true, "network-error", "boom"},
        {-1, false, "parse-failed", "栏数"},
        {-7, false, "parse-failed", "栏数"},
        {2, false, "parse-failed", "栏数"}};
    for (const auto& [extra, throws, status, why] : faults) {
        const std::string site = "fault" + std::to_string(extra) + ".example";
        provider_->Set(Status::Ok, 5, "", "文本", extra, throws);
        const auto answers = engine_->Explain(Page::Sites, site);
        ASSERT_TRUE(answers) << site;
        for (const ColumnAnswer& a : *answers)
            EXPECT_EQ(Cell(a) + " " + std::string(StatusName(a.used.status)),
                      std::string("-1 t missing ") + status)
                << site;
        EXPECT_NE(HealthOf("t").last_fail_why.find(why), std::string::npos) << site;
    }
    for (bool reads : {false, true}) {
        BrokenStore broken(reads);
        Start(broken);
        EXPECT_FALSE(engine_->Answer(Page::Sites, "example.com")) << reads;
        engine_.reset();
    }
    Start(*store_);
    // Workers' results recorded together: one that cannot be kept fails alone.
    const std::string a = "a.example", b = "b.example";
    const std::vector<int> columns{0, 1};
    const std::vector<Measurement> two(2, Measurement{Status::Ok, 3, {}, "t", {}, 1}), one(1);
    EXPECT_EQ(
        store_->RecordBatch({{&a, Page::Sites, &columns, &two}, {&b, Page::Sites, &columns, &one}}),
        (std::vector<bool>{true, false}));
    EXPECT_EQ(store_->LatestRow(a, Page::Sites)->size(), 2u);
    EXPECT_TRUE(store_->LatestRow(b, Page::Sites)->empty());
}

TEST_F(EngineTest, PacedColumnsAnswerAtOnceAndArriveLater) {
    UsePaced();
    // The first turn is free: measured while the request waits.
    EXPECT_EQ(Answer(Page::Sites, "first.example"), "100,6,7,8,9,10,11");
    // A burst of new sites: the paced column waits its turns; no instant column waits for it.
    std::vector<std::string> answers(24);
    std::vector<std::thread> burst;
    for (std::size_t i = 0; i < answers.size(); ++i)
        burst.emplace_back(
            [&, i] { answers[i] = Answer(Page::Sites, "burst" + std::to_string(i) + ".example"); });
    for (std::thread& t : burst)
        t.join();
    EXPECT_EQ(answers, std::vector<std::string>(24, "-1,6,7,8,9,10,11"));
    EXPECT_EQ(paced_->calls(), 1);
    const std::int64_t now = clock_.fake.NowMs();
    // The state is read without measuring anything.
    auto state = engine_->State(Page::Sites, "late.example");
    EXPECT_EQ(Cell(state->at(0)) + " @" + std::to_string(state->at(0).used.time_ms),
              "-1 p missing @0");
    EXPECT_FALSE(engine_->State(Page::Sites, "a..com"));
    EXPECT_EQ(provider_->calls(), 25); // the first site and the burst only
    EXPECT_EQ(Answer(Page::Sites, "late.example"), "-1,6,7,8,9,10,11");
    state = engine_->State(Page::Sites, "late.example");
    EXPECT_EQ(Cell(state->at(0)) + "; " + Cell(state->at(1)), "-1 p missing measuring; 6 t");
    // Behind 24 sites, 15 s apart, first come first served.
    EXPECT_EQ((*state)[0].next_attempt_ms, now + 25 * 15000);
    EXPECT_EQ(ReadyInSeconds(*state, now), 25 * 15 + 2);
    EXPECT_EQ(ReadyInSeconds({(*state)[1]}, now), std::nullopt);
    // The queue holds 1000 (the burst and late.example among them); past that, refused at once.
    for (int i = 25; i < 1000; ++i)
        ASSERT_EQ(Answer(Page::Ranks, "q" + std::to_string(i) + ".example"), "-1,-1");
    EXPECT_TRUE((*engine_->State(Page::Ranks, "q999.example"))[0].measuring);
    const ColumnAnswer refused = engine_->Explain(Page::Ranks, "over.example")->at(0);
    EXPECT_EQ(Cell(refused) + " " + std::string(StatusName(refused.used.status)),
              "-1 p missing rate-limited");
    for (int turn = 2; turn <= 26; ++turn) {
        clock_.fake.Advance(15000);
        while (paced_->calls() < turn)
            std::this_thread::yield();
    }
    ASSERT_TRUE(Settled(Page::Sites, "late.example"));
    EXPECT_EQ(Answer(Page::Sites, "late.example"), "100,6,7,8,9,10,11");
    EXPECT_EQ(paced_->calls(), 26);
}

TEST_F(EngineTest, ShutdownDropsQueuedMeasurementsAndCutsRunningOnes) {
    // An upstream that holds its answer until the test ends.
    std::promise<void> release;
    test::FakeUpstream up;
    up.server().Get(R"(/count/.+)", [held = release.get_future().share()](const httplib::Request&,
                                                                          httplib::Response& res) {
        held.wait_for(std::chrono::seconds(30));
        res.set_content("late", "text/plain");
    });
    ASSERT_TRUE(up.Start());
    UsePaced(up.base());
    // Asked a deadline ago: answered at once, measured in the background.
    engine_->Answer(Page::Ranks, "running.example", clock_.fake.MonoMs() - kDeadline);
    while (up.hits("/count/running.example") < 1)
        std::this_thread::yield();
    for (const char* site : {"queued1.example", "queued2.example"})
        EXPECT_EQ(Answer(Page::Ranks, site), "-1,-1");
    EXPECT_EQ(paced_->calls(), 1);
    engine_.reset(); // returns although the upstream still holds its answer
    release.set_value();
    for (const char* site : {"running.example", "queued1.example", "queued2.example"})
        EXPECT_TRUE(store_->History(site, Page::Ranks, 0, 0).empty()) << site;
}

} // namespace
