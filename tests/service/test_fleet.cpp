// Instances sharing one PostgreSQL database (a real server the test starts), in process on one
// fake clock, and the program itself: each measurement made once, pacing per egress, a killed
// instance's claim taken over after its lease, shared limits, a lost database.
#include "alerts.h"
#include "engine.h"
#include "fakes.h"
#include "fleet.h"
#include "paced.h"
#include "pages.h"
#include "pgserver.h"
#include "program.h"

#include <gtest/gtest.h>
#include <toml++/toml.h>

#include <fstream>
#include <set>

using namespace valdane::svc;

namespace {

constexpr std::int64_t kSpacing = 15'000;
constexpr std::int64_t kLease = 120'000;

class FleetTest : public ::testing::Test {
  protected:
    struct Instance {
        std::unique_ptr<Store> store;
        std::unique_ptr<Fleet> fleet;
        std::unique_ptr<Engine> engine;
        test::PacedFake* paced = nullptr;
    };
    void SetUp() override {
        ASSERT_EQ(test::SharedPgServer().error(), "");
        uri_ = test::SharedPgServer().NewDatabase();
        upstream_.Serve(R"(/count/.+)", "ok");
        ASSERT_TRUE(upstream_.Start());
    }
    std::unique_ptr<Fleet> Open(const std::string& egress, const std::string& id = "") {
        auto fleet = Fleet::Open(uri_, {id, egress, "127.0.0.1:0", kLease, false}, t_.env, &error_);
        EXPECT_TRUE(fleet) << error_;
        return fleet;
    }
    std::unique_ptr<Store> PgStore() {
        auto store = OpenPgStore(uri_, t_.env, &error_);
        EXPECT_TRUE(store) << error_;
        return store;
    }
    Instance Start(const std::string& egress) {
        Instance i{PgStore(), Open(egress), nullptr, nullptr};
        Config config;
        config.columns[Page::Ranks] = {"engine", "engine"};
        std::map<std::string, std::unique_ptr<Provider>> providers;
        auto engine = std::make_unique<test::PacedFake>(t_.env, *i.store, "engine",
                                                        upstream_.base(), kSpacing);
        i.paced = engine.get();
        providers["engine"] = std::move(engine);
        i.fleet->SharePacing(providers);
        i.engine = std::make_unique<Engine>(config, *i.store, t_.env, std::move(providers));
        i.engine->ShareWork(i.fleet.get());
        return i;
    }
    // Moves the clock from one due measurement to the next until no instance measures; the
    // simulated time it took.
    std::int64_t Drain(std::vector<Instance>& instances, const std::vector<std::string>& sites) {
        const std::int64_t start = t_.clock.NowMs();
        for (std::int64_t next = 0; next != INT64_MAX;) {
            next = INT64_MAX;
            for (auto& i : instances)
                for (const std::string& site : sites) {
                    const auto cells = i.engine->State(Page::Ranks, site);
                    for (const ColumnAnswer& a : *cells)
                        next = a.measuring ? std::min(next, a.next_attempt_ms) : next;
                }
            if (next <= t_.clock.NowMs())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            else if (next != INT64_MAX)
                t_.clock.Advance(next - t_.clock.NowMs());
        }
        return t_.clock.NowMs() - start;
    }
    test::TestEnv t_;
    std::string uri_, error_;
    test::FakeUpstream upstream_;
};

// Every site is asked of every instance: each is measured once and every instance then answers
// it; instances behind one egress take turns kSpacing apart, behind several they share out.
TEST_F(FleetTest, EachMeasurementOnceAndPacingPerEgress) {
    constexpr int kSites = 12;
    // Each instance's egress, and the least and most simulated time the refresh takes.
    const std::tuple<std::vector<std::string>, std::int64_t, std::int64_t> cases[] = {
        {{"a", "a", "a"}, (kSites - 1) * kSpacing, kSites * kSpacing},
        {{"a", "b", "c"}, 0, (kSites / 3 + 1) * kSpacing},
    };
    for (std::size_t k = 0; k < std::size(cases); ++k) {
        const auto& [egress, least_ms, most_ms] = cases[k];
        SCOPED_TRACE(k);
        uri_ = test::SharedPgServer().NewDatabase();
        std::vector<Instance> instances;
        for (const std::string& e : egress)
            instances.push_back(Start(e));
        std::vector<std::string> sites;
        for (int s = 0; s < kSites; ++s) {
            sites.push_back("c" + std::to_string(k) + "s" + std::to_string(s) + ".example.com");
            for (auto& i : instances)
                ASSERT_TRUE(i.engine->Answer(Page::Ranks, sites.back()));
        }
        const std::int64_t took = Drain(instances, sites);
        EXPECT_TRUE(took >= least_ms && took <= most_ms) << took;
        for (const std::string& site : sites) {
            EXPECT_EQ(upstream_.hits("/count/" + site), 1) << site;
            for (auto& i : instances) // nothing recorded is lost to the others
                EXPECT_EQ(i.engine->Answer(Page::Ranks, site).value_or(""), "100,101");
        }
        std::map<std::string, std::multiset<std::int64_t>> sent; // by egress, in order
        for (std::size_t n = 0; n < instances.size(); ++n)
            for (std::int64_t t : instances[n].paced->sent())
                sent[egress[n]].insert(t);
        const auto close = [](std::int64_t a, std::int64_t b) { return b - a < kSpacing; };
        for (const auto& [name, t] : sent)
            EXPECT_EQ(std::adjacent_find(t.begin(), t.end(), close), t.end()) << name;
        for (auto& i : instances)
            i.fleet->Beat();
        HomeView home;
        home.shared = true;
        home.instances = instances[0].fleet->Instances(5 * 60'000);
        EXPECT_EQ(home.instances.size(), egress.size());
        EXPECT_NE(HomePage(home).find("<td>" + egress.back() + "</td>"), std::string::npos);
    }
}

// Heartbeats renew a claim; once they stop (a kill) another instance takes it over after the
// lease. A recorded measurement is not made again for a request older than it. While the
// database is away nobody claims or takes a slot; both come back with it.
TEST_F(FleetTest, LeasesAndLostDatabase) {
    auto a = Open("x", "a"), b = Open("x", "b"), c = Open("x", "c");
    const std::int64_t asked = t_.clock.NowMs();
    ASSERT_TRUE(a->Claim("k.com", Page::Sites, "engine", asked));
    EXPECT_FALSE(b->Claim("k.com", Page::Sites, "engine", asked));
    t_.clock.Advance(kLease - 20'000);
    a->Beat();
    t_.clock.Advance(kLease - 20'000); // past the first lease, within the renewed one
    EXPECT_FALSE(b->Claim("k.com", Page::Sites, "engine", asked));
    a.reset(); // killed: it renews nothing
    t_.clock.Advance(40'001);
    EXPECT_TRUE(b->Claim("k.com", Page::Sites, "engine", asked));
    b->Release("k.com", Page::Sites, "engine", true);
    EXPECT_FALSE(c->Claim("k.com", Page::Sites, "engine", asked)); // answered from the store
    t_.clock.Advance(1);
    EXPECT_TRUE(c->Claim("k.com", Page::Sites, "engine", t_.clock.NowMs()));
    c->Release("k.com", Page::Sites, "engine", false); // handed back: free at once
    EXPECT_TRUE(b->Claim("k.com", Page::Sites, "engine", t_.clock.NowMs()));
    ASSERT_TRUE(test::SharedPgServer().Stop());
    EXPECT_FALSE(c->Claim("d.com", Page::Sites, "engine", t_.clock.NowMs()));
    const auto slot = c->TakeSlot("engine", t_.clock.NowMs(), 1000, 10);
    EXPECT_TRUE(!slot.granted && slot.next_ms > t_.clock.NowMs()) << slot.next_ms;
    EXPECT_TRUE(c->Instances(60'000).empty());
    ASSERT_TRUE(test::SharedPgServer().Start());
    EXPECT_TRUE(c->Claim("d.com", Page::Sites, "engine", t_.clock.NowMs()));
    EXPECT_TRUE(c->TakeSlot("engine", t_.clock.NowMs(), 1000, 10).granted);
}

// Suspensions, broken marks and the daily budget hold for every instance behind one egress,
// and for none behind another.
TEST_F(FleetTest, LimitsSharedPerEgress) {
    auto store = PgStore();
    std::vector<std::unique_ptr<Fleet>> fleets;
    std::vector<std::unique_ptr<Pacer>> pacers;
    for (const char* egress : {"x", "x", "y"}) {
        fleets.push_back(Open(egress));
        pacers.push_back(std::make_unique<Pacer>(
            t_.env, *store, "engine", PacerConfig{.interval_ms = 1000, .daily_budget = 2}));
        pacers.back()->Share(fleets.back().get());
    }
    // Every instance asks at once, several times over: one request goes per egress.
    std::atomic<int> went[3] = {};
    std::vector<std::thread> askers;
    for (std::size_t n = 0; n < 12; ++n)
        askers.emplace_back([&, n] {
            Measurement refusal;
            went[n % 3] += pacers[n % 3]->Acquire(&refusal) == Pacer::Turn::Go;
        });
    for (std::thread& t : askers)
        t.join();
    EXPECT_EQ(std::pair(went[0] + went[1], went[2].load()), std::pair(1, 1));
    Measurement m;
    t_.clock.Advance(6001);
    EXPECT_EQ(pacers[1]->Acquire(&m), Pacer::Turn::Go);
    t_.clock.Advance(6001);
    EXPECT_EQ(pacers[0]->Acquire(&m), Pacer::Turn::Wait); // today's two are spent
    EXPECT_FALSE(pacers[0]->Available());
    EXPECT_GT(pacers[0]->NextTurnMono(), t_.clock.MonoMs() + 1000);
    EXPECT_EQ(pacers[2]->Acquire(&m), Pacer::Turn::Go);
    pacers[2]->Suspend(Status::Blocked, "验证页面", 48LL * 3600 * 1000);
    pacers[1]->SetBroken(true, "校验站点无结果数");
    t_.clock.Advance(24LL * 3600 * 1000);
    EXPECT_EQ(pacers[2]->Acquire(&m), Pacer::Turn::Refused);
    EXPECT_EQ(pacers[0]->Acquire(&m), Pacer::Turn::Go); // a new day, not suspended
    EXPECT_EQ(std::pair(pacers[0]->Saved().broken, pacers[2]->Saved().broken),
              std::pair(true, false));
}

// An alert raised on one instance goes out once however many instances deliver at once, and
// every instance lists it as delivered.
TEST_F(FleetTest, AlertsSentOnce) {
    test::FakeUpstream hook;
    hook.Serve("/hook", "{}");
    ASSERT_TRUE(hook.Start());
    Config config;
    const std::string rules = "[[rules]]\nkind='zero'\n[channels.hook]\ntype='webhook'\nurl='";
    ASSERT_FALSE(ReadAlertConfig(toml::parse(rules + hook.base() + "/hook'"), &config));
    test::TempDir dirs[3];
    const auto store = PgStore();
    std::vector<std::unique_ptr<Fleet>> fleets;
    std::vector<std::unique_ptr<Alerts>> alerts;
    for (auto& dir : dirs) {
        fleets.push_back(Open("x"));
        alerts.push_back(Alerts::Open(dir.path, config, *store, t_.env, &error_));
        ASSERT_TRUE(alerts.back()) << error_;
        alerts.back()->ShareOutbox(fleets.back().get());
    }
    for (std::int64_t count : {100, 0})
        alerts[0]->Observe("a.com", Page::Sites, {0},
                           {Measurement{Status::Ok, count, "", "", "", 0}});
    std::vector<std::thread> senders;
    for (auto& a : alerts)
        senders.emplace_back([&a] { a->DeliverDue(); });
    for (auto& t : senders)
        t.join();
    EXPECT_EQ(hook.hits("/hook"), 1);
    for (auto& a : alerts)
        EXPECT_EQ(std::pair(a->Recent(10).size(), a->Recent(10).at(0).delivered),
                  std::pair(1ul, 1));
}

// The program itself: two --check runs, each an instance with its egress; the second answers
// from what the first recorded, and both were seen with their work.
TEST_F(FleetTest, ProgramInstancesShareTheStore) {
    ASSERT_TRUE(std::getenv("VALDANE_SERVICE_BIN")) << "run through ctest";
    test::TempDir dir;
    for (const std::string egress : {"east", "west"}) {
        const auto file = dir.path / (egress + ".toml");
        std::ofstream(file) << "store = \"" << uri_ << "\"\negress = \"" << egress
                            << "\"\ndata_dir = \"" << (dir.path / egress).string() << "\"\n"
                            << test::kQuietColumns;
        const test::Outcome r =
            test::RunService("--config '" + file.string() + "' --check example.com", dir.path);
        EXPECT_EQ(r.rc, 0) << r.out;
        EXPECT_NE(r.out.find("ranks  谷歌      4 "), std::string::npos) << r.out;
    }
    std::map<std::string, std::int64_t> measured;
    for (const InstanceSeen& i : Open("here")->Instances(5 * 60'000))
        measured[i.egress] += i.measured;
    // Every column of the second came from the store.
    EXPECT_EQ(std::tuple(measured.size(), measured.at("east") > 0, measured.at("west")),
              std::tuple(3u, true, 0));
}

} // namespace
