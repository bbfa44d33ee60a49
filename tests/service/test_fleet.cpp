// Several instances on one PostgreSQL database (a real server the test starts): each
// measurement made once, pacing shared per egress, a killed instance's claim taken over after
// its lease, shared suspensions and budgets, and a lost database. In process, on one fake clock.
#include "engine.h"
#include "fakes.h"
#include "fleet.h"
#include "pgserver.h"
#include "providers/pacer.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <thread>

using namespace valdane::svc;

namespace {

constexpr std::int64_t kSpacing = 15'000;
constexpr std::int64_t kLease = 120'000;

std::string Site(int i) {
    return "site" + std::to_string(i) + ".example.com";
}

// Every request the fake engines received: which egress sent it, when (fake wall clock).
struct Log {
    std::mutex mutex;
    std::multimap<std::string, std::int64_t> by_egress;
};

// A search engine's count, paced at kSpacing, asking the fake upstream once per measurement.
class PacedEngine final : public Provider {
  public:
    PacedEngine(Env& env, Store& store, std::string url, std::string egress, Log& log)
        : env_(env), url_(std::move(url)), egress_(std::move(egress)), log_(log),
          pacer_(env, store, "engine", PacerConfig{.interval_ms = kSpacing, .jitter_ms = 0}) {}
    std::vector<Measurement> Measure(const MeasureRequest& request) override {
        std::optional<Measurement> instead;
        if (!Proceed(pacer_, &instead))
            return instead ? std::vector<Measurement>(request.columns.size(), *instead)
                           : std::vector<Measurement>{};
        {
            std::lock_guard<std::mutex> guard(log_.mutex);
            log_.by_egress.emplace(egress_, env_.clock.NowMs());
        }
        HttpRequest get;
        get.url = url_ + "/count/" + request.site;
        Measurement m;
        m.status = env_.http.Get(get).status == 200 ? Status::Ok : Status::NetworkError;
        m.number = 42;
        return std::vector<Measurement>(request.columns.size(), m);
    }
    std::string Describe() const override { return "测试引擎"; }
    Pacer* pacer() override { return &pacer_; }

  private:
    Env& env_;
    const std::string url_, egress_;
    Log& log_;
    Pacer pacer_;
};

struct Instance {
    Instance(Env& env, const std::string& uri, const std::string& egress, const std::string& url,
             Log& log) {
        std::string error;
        store = OpenPgStore(uri, env, &error);
        fleet = Fleet::Open(uri, {"", egress, "127.0.0.1:0", kLease, false}, env, &error);
        EXPECT_TRUE(store && fleet) << error;
        config.columns[Page::Ranks] = {"engine", "engine"};
        std::map<std::string, std::unique_ptr<Provider>> providers;
        providers["engine"] = std::make_unique<PacedEngine>(env, *store, url, egress, log);
        fleet->SharePacing(providers);
        engine = std::make_unique<Engine>(config, *store, env, std::move(providers));
        engine->ShareWork(fleet.get());
    }
    Config config;
    std::unique_ptr<Store> store;
    std::unique_ptr<Fleet> fleet;
    std::unique_ptr<Engine> engine;
};

class FleetTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(test::SharedPgServer().error(), "");
        uri_ = test::SharedPgServer().NewDatabase();
        upstream_.server().Get(R"(/count/(.+))", [this](const auto& req, auto& res) {
            std::lock_guard<std::mutex> guard(mutex_);
            ++asked_[req.matches[1]];
            res.set_content("ok", "text/plain");
        });
        ASSERT_TRUE(upstream_.Start());
    }

    // Moves the clock from one due measurement to the next until no instance measures; the
    // simulated time it took.
    std::int64_t Drain(std::vector<std::unique_ptr<Instance>>& instances, int sites) {
        const std::int64_t start = t_.clock.NowMs();
        for (;;) {
            std::int64_t next = INT64_MAX;
            bool due = false;
            for (auto& i : instances)
                for (int s = 0; s < sites; ++s) {
                    const auto cells = i->engine->State(Page::Ranks, Site(s));
                    for (const ColumnAnswer& a : *cells)
                        if (a.measuring) {
                            due = due || a.next_attempt_ms <= t_.clock.NowMs();
                            next = std::min(next, a.next_attempt_ms);
                        }
                }
            if (next == INT64_MAX)
                return t_.clock.NowMs() - start;
            if (due)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            else
                t_.clock.Advance(next - t_.clock.NowMs());
        }
    }

    test::TestEnv t_;
    std::string uri_;
    test::FakeUpstream upstream_;
    std::mutex mutex_;
    std::map<std::string, int> asked_;
    Log log_;
};

// Every site is asked of every instance: each is measured once, instances behind one egress
// take turns kSpacing apart, instances behind three spread the work three ways.
TEST_F(FleetTest, EachMeasurementOnceAndPacingPerEgress) {
    constexpr int kSites = 12;
    const struct Case {
        std::vector<std::string> egress;
        std::int64_t least_ms, most_ms; // the refresh's simulated length
    } cases[] = {
        {{"a", "a", "a"}, (kSites - 1) * kSpacing, kSites * kSpacing},
        {{"a", "b", "c"}, 0, (kSites / 3 + 1) * kSpacing},
        {{"a", "b"}, (kSites / 2 - 1) * kSpacing, (kSites / 2 + 1) * kSpacing},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.egress.size() == 2 ? "two" : c.egress[1]);
        uri_ = test::SharedPgServer().NewDatabase();
        asked_.clear();
        log_.by_egress.clear();
        std::vector<std::unique_ptr<Instance>> instances;
        for (const std::string& e : c.egress)
            instances.push_back(
                std::make_unique<Instance>(t_.env, uri_, e, upstream_.base(), log_));
        for (int s = 0; s < kSites; ++s)
            for (auto& i : instances)
                ASSERT_TRUE(i->engine->Answer(Page::Ranks, Site(s)));
        const std::int64_t took = Drain(instances, kSites);
        EXPECT_GE(took, c.least_ms);
        EXPECT_LE(took, c.most_ms);
        // Nothing acknowledged is lost, and every instance now answers what one measured.
        for (int s = 0; s < kSites; ++s) {
            EXPECT_EQ(asked_[Site(s)], 1) << Site(s);
            for (auto& i : instances)
                EXPECT_EQ(i->engine->Answer(Page::Ranks, Site(s)).value_or(""), "42,42");
        }
        EXPECT_EQ(log_.by_egress.size(), static_cast<std::size_t>(kSites));
        for (const std::string& e : c.egress) {
            std::vector<std::int64_t> times;
            for (auto [it, end] = log_.by_egress.equal_range(e); it != end; ++it)
                times.push_back(it->second);
            std::sort(times.begin(), times.end());
            for (std::size_t k = 1; k < times.size(); ++k)
                EXPECT_GE(times[k] - times[k - 1], kSpacing) << e;
        }
        // Each instance's heartbeat shows its egress and its share of the work.
        std::int64_t measured = 0;
        for (auto& i : instances)
            i->fleet->Beat();
        const auto seen = instances[0]->fleet->Instances(5 * 60'000);
        ASSERT_EQ(seen.size(), c.egress.size());
        EXPECT_EQ(seen[0].id, instances[0]->fleet->options().instance);
        for (const InstanceSeen& s : seen)
            measured += s.measured;
        EXPECT_EQ(measured, kSites);
    }
}

// A claim is renewed by its holder's heartbeats; once they stop (a kill), the lease runs out
// and another instance takes the measurement over. A recorded one is not made again for a
// request older than it.
TEST_F(FleetTest, KilledInstanceClaimTakenOverAfterLease) {
    std::string error;
    auto a = Fleet::Open(uri_, {"a", "x", "", kLease, false}, t_.env, &error);
    auto b = Fleet::Open(uri_, {"b", "x", "", kLease, false}, t_.env, &error);
    ASSERT_TRUE(a && b) << error;
    const std::int64_t asked = t_.clock.NowMs();
    ASSERT_TRUE(a->Claim("k.com", Page::Sites, "engine", asked));
    EXPECT_FALSE(b->Claim("k.com", Page::Sites, "engine", asked));
    t_.clock.Advance(kLease - 20'000);
    a->Beat();
    t_.clock.Advance(kLease - 20'000); // past the first lease, within the renewed one
    EXPECT_FALSE(b->Claim("k.com", Page::Sites, "engine", asked));
    a.reset(); // killed: it neither beats nor lets go
    t_.clock.Advance(40'001);
    EXPECT_TRUE(b->Claim("k.com", Page::Sites, "engine", asked));
    b->Release("k.com", Page::Sites, "engine", true);
    auto c = Fleet::Open(uri_, {"c", "x", "", kLease, false}, t_.env, &error);
    EXPECT_FALSE(c->Claim("k.com", Page::Sites, "engine", asked)); // answered from the store
    t_.clock.Advance(1);
    EXPECT_TRUE(c->Claim("k.com", Page::Sites, "engine", t_.clock.NowMs()));
    c->Release("k.com", Page::Sites, "engine", false); // handed back: free at once
    EXPECT_TRUE(b->Claim("k.com", Page::Sites, "engine", t_.clock.NowMs()));
}

// Suspensions, broken marks and the daily budget hold for every instance behind one egress,
// and for none behind another.
TEST_F(FleetTest, LimitsSharedPerEgress) {
    std::string error;
    test::TempDir dir;
    auto store = OpenStore(dir.path, t_.env, &error);
    std::vector<std::unique_ptr<Fleet>> fleets;
    std::vector<std::unique_ptr<Pacer>> pacers;
    for (const char* egress : {"x", "x", "y"}) {
        fleets.push_back(Fleet::Open(uri_, {"", egress, "", kLease, false}, t_.env, &error));
        ASSERT_TRUE(fleets.back()) << error;
        pacers.push_back(std::make_unique<Pacer>(
            t_.env, *store, "engine", PacerConfig{.interval_ms = 1000, .daily_budget = 2}));
        pacers.back()->Share(fleets.back().get());
    }
    Measurement m;
    EXPECT_EQ(pacers[0]->Acquire(&m), Pacer::Turn::Go);
    EXPECT_EQ(pacers[1]->Acquire(&m), Pacer::Turn::Wait); // the slot is taken for both
    EXPECT_EQ(pacers[2]->Acquire(&m), Pacer::Turn::Go);
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
    EXPECT_TRUE(pacers[0]->Saved().broken);
    EXPECT_FALSE(pacers[2]->Saved().broken);
}

// While the database is away no instance measures (nothing could be kept) nor takes a slot;
// both come back with it.
TEST_F(FleetTest, DatabaseLostAndBack) {
    std::string error;
    auto a = Fleet::Open(uri_, {"a", "x", "", kLease, false}, t_.env, &error);
    ASSERT_TRUE(a) << error;
    ASSERT_TRUE(test::SharedPgServer().Stop());
    EXPECT_FALSE(a->Claim("d.com", Page::Sites, "engine", t_.clock.NowMs()));
    const auto slot = a->TakeSlot("engine", t_.clock.NowMs(), 1000, 10);
    EXPECT_FALSE(slot.granted);
    EXPECT_GT(slot.next_ms, t_.clock.NowMs());
    EXPECT_TRUE(a->Instances(60'000).empty());
    ASSERT_TRUE(test::SharedPgServer().Start());
    EXPECT_TRUE(a->Claim("d.com", Page::Sites, "engine", t_.clock.NowMs()));
    EXPECT_TRUE(a->TakeSlot("engine", t_.clock.NowMs(), 1000, 10).granted);
}

} // namespace

// The program itself on a shared database: two --check runs, each an instance with its egress;
// the second answers from what the first recorded, and both were seen.
TEST_F(FleetTest, ProgramInstancesShareTheStore) {
    const char* bin = std::getenv("VALDANE_SERVICE_BIN");
    ASSERT_TRUE(bin) << "run through ctest";
    test::TempDir dir;
    const auto none = [](int n) {
        std::string list = "\"none\"";
        while (--n > 0)
            list += ", \"none\"";
        return list;
    };
    for (const char* egress : {"east", "west"}) {
        const auto file = dir.path / (std::string(egress) + ".toml");
        std::ofstream(file) << "store = \"" << uri_ << "\"\negress = \"" << egress << "\"\n"
                            << "data_dir = \"" << (dir.path / egress).string() << "\"\n"
                            << "[columns]\nsites = [" << none(7) << "]\nlinks = [" << none(7)
                            << "]\nranks = [\"demo\", \"none\"]\nwhois = [\"none\"]\nalexa = ["
                            << none(9) << "]\n"
                            << "[providers.demo]\ntype = \"fixed\"\nvalues.ranks = [4, 3]\n";
        const std::string command =
            std::string("'") + bin + "' --config '" + file.string() + "' --check example.com 2>&1";
        FILE* pipe = ::popen(command.c_str(), "r");
        std::string out;
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            out.append(buffer, n);
        EXPECT_EQ(::pclose(pipe), 0) << out;
        EXPECT_NE(out.find("ranks  谷歌      4 "), std::string::npos) << out;
    }
    std::string error;
    auto fleet = Fleet::Open(uri_, {"", "x", "", kLease, false}, DefaultEnv(), &error);
    ASSERT_TRUE(fleet) << error;
    const auto seen = fleet->Instances(5 * 60'000);
    std::map<std::string, std::int64_t> measured;
    for (const InstanceSeen& i : seen)
        measured[i.egress] += i.measured;
    EXPECT_EQ(measured.size(), 3u); // east, west and this one
    EXPECT_GE(measured["east"], 1);
    EXPECT_EQ(measured["west"], 0); // the demo columns came from the store
}
