// The measurement store: latest and last good values, history, a killed writer, damaged files.
#include "engine.h"
#include "fakes.h"
#include "faultyvfs.h"
#include "migrate.h"
#include "pgserver.h"
#include "pieces.h"
#include "routes.h"
#include "store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <csignal>
#include <fstream>
#include <set>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace valdane::svc;
namespace fs = std::filesystem;

namespace {

Measurement Make(Status s, std::optional<std::int64_t> n, std::int64_t t, std::string text = "") {
    return {s, n, std::move(text), "demo", IsFresh(s) ? "" : "why", t};
}

// One measurement as text, so that whole rows compare at once.
std::string Text(const Measurement& m) {
    return std::string(StatusName(m.status)) + " " + (m.number ? std::to_string(*m.number) : "-") +
           "@" + std::to_string(m.time_ms) + (m.detail.empty() ? "" : " " + m.detail);
}

// "column: last | good; " for each cell, "-" for no good value.
std::string Text(const std::vector<Latest>& row) {
    std::string out;
    for (const Latest& l : row)
        out += std::to_string(l.column) + ": " + Text(l.last) + " | " +
               (l.good ? Text(*l.good) : "-") + "; ";
    return out;
}

std::string Row(Store& store, const std::string& site, Page page) {
    const auto row = store.LatestRow(site, page);
    return row ? Text(*row) : "unreadable";
}

// The first letter of each site in the overview from `offset` on, read `batch` rows at a time.
std::string Order(Store& store, Page page, TableOrder order, std::size_t offset,
                  std::size_t batch = 10) {
    std::string sites;
    auto cursor = store.Overview(page, order, offset);
    for (std::optional<std::vector<SiteRow>> rows; (rows = cursor->Next(batch)) && !rows->empty();)
        for (const SiteRow& row : *rows)
            sites += row.site[0];
    return sites;
}

auto Fields(const UpstreamState& s) {
    return std::tie(s.suspended_until_ms, s.suspended_status, s.suspended_why, s.budget_day,
                    s.budget_spent, s.broken, s.broken_why, s.canary_ms, s.canary_status,
                    s.canary_detail);
}

// The notices' levels, "I", "W" or "E" each.
std::string Levels(const Store& store) {
    std::string out;
    for (const StoreNotice& n : store.Notices())
        out += "IWE"[static_cast<int>(n.level)];
    return out;
}

// Runs a statement on the SQLite file directly, as another program (or an older layout) would.
void Sql(const fs::path& file, const char* text) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, text, nullptr, nullptr, nullptr), SQLITE_OK) << text;
    sqlite3_close(db);
}

// setting_ is the `store` setting: "" SQLite in the data folder, or a PostgreSQL database.
class StoreTest : public ::testing::Test {
  protected:
    std::unique_ptr<Store> Open(const std::optional<std::string>& setting = {}) {
        std::string error;
        auto store = OpenConfiguredStore(setting.value_or(setting_), dir_, env_.env, &error);
        EXPECT_TRUE(store) << error;
        return store;
    }
    test::TempDir tmp_;
    const fs::path dir_ = tmp_.path / "store"; // not there yet: the store makes it
    test::TestEnv env_;
    std::string setting_;
};

// What every store does alike, run on SQLite and on a PostgreSQL server the test starts.
class SharedStoreTest : public StoreTest, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        if (GetParam()) {
            ASSERT_EQ(test::SharedPgServer().error(), "");
            setting_ = test::SharedPgServer().NewDatabase();
        }
    }
};

INSTANTIATE_TEST_SUITE_P(Stores, SharedStoreTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Pg" : "Sqlite"; });

TEST_P(SharedStoreTest, LatestGoodHistoryAndOverview) {
    auto store = Open();
    ASSERT_TRUE(store);
    EXPECT_EQ(Row(*store, "a.com", Page::Sites) + store->Unready(), "");
    ASSERT_TRUE(store->Record("a.com", Page::Sites, 0, Make(Status::Ok, 10, 1000)));
    ASSERT_TRUE(store->Record("a.com", Page::Sites, 0, Make(Status::NotFound, 0, 2000)));
    ASSERT_TRUE(store->Record("a.com", Page::Sites, 0, Make(Status::NetworkError, {}, 3000)));
    // A late measurement older than the newest must not hide it.
    ASSERT_TRUE(store->Record("a.com", Page::Sites, 0, Make(Status::Ok, 7, 1500)));
    ASSERT_TRUE(store->Record("a.com", Page::Sites, 3, Make(Status::Blocked, {}, 3000)));
    ASSERT_TRUE(store->Record("a.com", Page::Links, 0, Make(Status::Ok, 5, 3000)));
    // All columns of one source or none.
    EXPECT_FALSE(store->RecordAll("b.com", Page::Sites, {0, 1}, {Make(Status::Ok, 9, 3000)}));
    ASSERT_TRUE(store->RecordAll("b.com", Page::Sites, {1, 2},
                                 {Make(Status::Ok, 1, 3000), Make(Status::Ok, 2, 3000)}));
    ASSERT_TRUE(store->Record("a.com", Page::Whois, 0, Make(Status::Ok, {}, 3000, "注册商 甲")));
    const std::string a = "0: network-error -@3000 why | not-found 0@2000; "
                          "3: blocked -@3000 why | -; ";
    EXPECT_EQ(Row(*store, "a.com", Page::Sites), a);
    EXPECT_EQ(store->LatestRow("a.com", Page::Whois)->at(0).last.text, "注册商 甲");
    std::string history;
    for (const Measurement& m : store->History("a.com", Page::Sites, 0, 0))
        history += Text(m) + " " + m.source + "; ";
    EXPECT_EQ(history, "ok 10@1000 demo; ok 7@1500 demo; not-found 0@2000 demo; "
                       "network-error -@3000 why demo; ");
    EXPECT_EQ(store->History("a.com", Page::Sites, 0, 2000).size(), 2u);
    std::string overview;
    const auto rows = store->Overview(Page::Sites, {}, 0)->Next(10);
    for (const SiteRow& row : *rows)
        overview += row.site + " " + Text(row.columns);
    EXPECT_EQ(overview,
              "a.com " + a + "b.com 1: ok 1@3000 | ok 1@3000; 2: ok 2@3000 | ok 2@3000; ");
    EXPECT_EQ(store->Overview(Page::Ranks, {}, 0)->Total(), 0u);
    UpstreamState u{5, Status::RateLimited, "", 20000, 3, true, "校验", 0, Status::ParseFailed, ""};
    EXPECT_FALSE(store->LoadUpstream("baidu"));
    ASSERT_TRUE(store->SaveUpstream("baidu", u));
    u.budget_spent = 4;
    ASSERT_TRUE(store->SaveUpstream("baidu", u));
    // Everything is still there for the next process.
    store.reset();
    store = Open();
    EXPECT_EQ(std::to_string(store->History("a.com", Page::Sites, 0, 0).size()) + Levels(*store),
              "4");
    EXPECT_EQ(Fields(store->LoadUpstream("baidu").value_or(UpstreamState{})), Fields(u));
}

// Any page of the overview in the order of the whole: by the value a cell shows (newest, else last
// good), missing last, ties by site alike; or by its change, worked out as measurements arrive.
TEST_P(SharedStoreTest, OverviewOrderAndChanges) {
    auto store = Open();
    const std::tuple<const char*, Measurement, std::optional<Measurement>> ranks[] = {
        {"d.com", Make(Status::Blocked, {}, 10), {}},                      // never obtained
        {"a.com", Make(Status::Ok, 5, 10), {}},                            //
        {"c.com", Make(Status::Blocked, {}, 20), Make(Status::Ok, 9, 10)}, // stale: 9
        {"b.com", Make(Status::NotFound, {}, 10), {}},                     // a real 0
        {"e.com", Make(Status::NetworkError, {}, 20), Make(Status::NotFound, 3, 10)}, // stale 3
        {"f.com", Make(Status::NotFound, -1, 10), {}},                                // no entry
    };
    for (const auto& [site, last, good] : ranks)
        ASSERT_TRUE((!good || store->Record(site, Page::Ranks, 0, *good)) &&
                    store->Record(site, Page::Ranks, 0, last));
    const std::int64_t day = 86'400'000, t0 = 1'780'000'000'000;
    const struct {
        const char* site;
        std::vector<std::pair<int, std::optional<std::int64_t>>> steps; // day, value or failure
    } sites[] = {
        {"a.com", {{0, 100}, {25, 150}, {40, 120}}}, // -30 since day 25, -30 in 7, +20 in 30
        {"b.com", {{39, 10}, {40, 50}}},             // +40, too young for 7 days
        {"c.com", {{0, 300}, {40, {}}}},             // failing now: stale, no change
        {"d.com", {{40, 80}, {30, 90}}},             // the late one is older: -10, -10 in 7
        {"e.com", {{40, 7}}},                        // nothing before
    };
    for (const auto& s : sites)
        for (const auto& [d, v] : s.steps)
            ASSERT_TRUE(store->Record(s.site, Page::Sites, 0,
                                      Make(v ? Status::Ok : Status::Blocked, v, t0 + d * day)));
    ASSERT_TRUE(store->Record("f.com", Page::Sites, 1, Make(Status::Ok, 1, t0))); // no column 0
    const auto a = store->LatestRow("a.com", Page::Sites);
    ASSERT_TRUE(a && a->size() == 1 && a->front().previous && a->front().week && a->front().month);
    const Latest& l = a->front();
    EXPECT_EQ(std::tuple(l.previous->value, l.previous->time_ms, l.week->value, l.month->value),
              std::tuple(150, t0 + 25 * day, 150, 100));
    EXPECT_FALSE(store->LatestRow("c.com", Page::Sites)->front().previous);
    EXPECT_EQ(store->LatestRow("d.com", Page::Sites)->front().last.number, 80);
    EXPECT_EQ(store->Overview(Page::Ranks, {0, true}, 3)->Total(), 6u);
    const auto R = Page::Ranks, S = Page::Sites;
    const auto V = TableOrder::Key::Value, C = TableOrder::Key::Change, W = TableOrder::Key::Week,
               M = TableOrder::Key::Month;
    const std::tuple<Page, TableOrder, std::size_t, std::size_t, const char*> cases[] = {
        {R, {0, true, V}, 0, 4, "caebfd"},  {R, {0, false, V}, 0, 1, "beacdf"},
        {R, {0, false, V}, 2, 2, "acdf"},   {R, {-1, true, V}, 0, 9, "fedcba"},
        {R, {-1, false, V}, 4, 9, "ef"},    {R, {-1, false, V}, 6, 9, ""},
        {S, {0, false, C}, 0, 9, "adbcef"}, {S, {0, true, C}, 0, 9, "bdaecf"},
        {S, {0, false, C}, 2, 9, "bcef"},   {S, {0, false, C}, 4, 9, "ef"},
        {S, {0, false, W}, 1, 9, "dbcef"},  {S, {0, true, M}, 0, 9, "aedcbf"},
        {S, {0, true, V}, 0, 9, "cadbef"},  {S, {0, false, M}, 9, 9, ""},
    };
    for (const auto& [page, order, offset, batch, want] : cases)
        EXPECT_EQ(Order(*store, page, order, offset, batch), want)
            << PageName(page) << static_cast<int>(order.key) << order.descending << offset;
}

TEST_P(SharedStoreTest, KilledWriterLosesNothingAcknowledged) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(fds[0]);
        auto store = Open();
        for (std::int64_t i = 0; store; ++i) {
            if (!store->Record("site" + std::to_string(i % 50) + ".com", Page::Sites,
                               static_cast<int>(i % 7), Make(Status::Ok, i, i)))
                break;
            if (::write(fds[1], &i, sizeof i) != sizeof i)
                break;
        }
        ::_exit(1);
    }
    ::close(fds[1]);
    std::int64_t acked = -1, i;
    while (acked < 300 && ::read(fds[0], &i, sizeof i) == sizeof i)
        acked = i;
    ::kill(child, SIGKILL);
    while (::read(fds[0], &i, sizeof i) == sizeof i)
        acked = i;
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    ASSERT_GE(acked, 300);
    auto store = Open();
    ASSERT_TRUE(store);
    std::int64_t found = 0;
    for (int s = 0; s < 50; ++s)
        for (int col = 0; col < 7; ++col)
            for (const Measurement& m :
                 store->History("site" + std::to_string(s) + ".com", Page::Sites, col, 0))
                found += m.number <= acked ? 1 : 0;
    EXPECT_EQ(std::to_string(found) + Levels(*store), std::to_string(acked + 1));
}

// A lost server is an Error notice naming the store without its password, and /readyz says so;
// the store comes back by itself, at most once a second, meanwhile answering rows it last read.
TEST_F(StoreTest, PgConnectionLossIsANoticeAndRecovers) {
    auto& server = test::SharedPgServer();
    ASSERT_EQ(server.error(), "");
    setting_ = server.NewDatabase();
    setting_.insert(setting_.find('@'), ":hunter2");
    auto store = Open();
    ASSERT_TRUE(store);
    Config config;
    config.store = setting_;
    Engine engine(config, *store, env_.env, {});
    Routes routes(config, engine, *store, env_.clock);
    auto get = [&](const char* path) { return routes.Serve({path, 0}); };
    EXPECT_EQ(
        (std::tuple{test::Lacks(get("/").body, ":***@"), get("/readyz").body, Levels(*store)}),
        std::tuple("", "ok\n", "I"));
    ASSERT_TRUE(store->Record("a.com", Page::Sites, 0, Make(Status::Ok, 1, 1)) &&
                store->LatestRow("a.com", Page::Sites));
    ASSERT_TRUE(server.Stop());
    EXPECT_FALSE(store->Record("a.com", Page::Sites, 0, Make(Status::Ok, 2, 2)));
    EXPECT_EQ(store->LatestRow("a.com", Page::Sites)->at(0).last.number, 1);
    EXPECT_FALSE(store->LatestRow("b.com", Page::Sites));
    EXPECT_EQ((std::tuple{get("/readyz").status, get("/healthz").status,
                          test::Holds(get("/").body, "hunter2")}),
              std::tuple(503, 200, ""));
    ASSERT_EQ(Levels(*store), "IE");
    const std::string said = store->Notices()[1].text;
    EXPECT_EQ(test::Lacks(said, ":***@") + test::Holds(said, "hunter2"), "");
    ASSERT_TRUE(server.Start());
    EXPECT_FALSE(store->LatestRow("b.com", Page::Sites)); // tried within the second: not yet
    env_.clock.Advance(1000);
    EXPECT_TRUE(store->LatestRow("b.com", Page::Sites));
    EXPECT_EQ((std::tuple{Levels(*store), get("/readyz").status}), std::tuple("I", 200));
    EXPECT_TRUE(store->Record("a.com", Page::Sites, 0, Make(Status::Ok, 3, 3)));
    EXPECT_EQ(store->History("a.com", Page::Sites, 0, 0).size(), 2u);
}

// A copy into PostgreSQL cut short (the target holds the first part already) continues without
// doubling anything, and the copy back gives the same answers.
TEST_F(StoreTest, MigrationBothWaysResumesAndVerifiesCounts) {
    auto& server = test::SharedPgServer();
    ASSERT_EQ(server.error(), "");
    const std::string pg = server.NewDatabase(), full = dir_.string(),
                      part = (tmp_.path / "part").string(), back = (tmp_.path / "back").string();
    {
        auto store = Open();
        for (int i = 0; i < 2500; ++i)
            ASSERT_TRUE(store->Record("s" + std::to_string(i % 40) + ".com", Page::Links, i % 3,
                                      Make(i % 5 ? Status::Ok : Status::Blocked, i, i)));
        UpstreamState u;
        u.budget_spent = 7;
        ASSERT_TRUE(store->SaveUpstream("baidu", u));
    }
    fs::create_directories(part);
    fs::copy_file(dir_ / "measurements.db", fs::path(part) / "measurements.db");
    Sql(fs::path(part) / "measurements.db", "DELETE FROM measurements WHERE id > 1100");
    auto migrate = [&](const std::string& from, const std::string& to) {
        std::FILE* out = std::tmpfile();
        const int rc = MigrateStore(from, to, env_.env, out);
        std::rewind(out);
        std::string text(4096, '\0');
        text.resize(std::fread(text.data(), 1, text.size(), out));
        std::fclose(out);
        return std::make_pair(rc, text);
    };
    EXPECT_EQ(migrate(part, pg).first, 0);
    const auto [rc, text] = migrate(full + "/measurements.db", pg);
    EXPECT_EQ(std::to_string(rc) +
                  test::Lacks(text, "target: 2500 (copied now 1400, there before 1100)"),
              "0")
        << text;
    // Back again; onto itself, and from nothing, refused.
    EXPECT_EQ((std::tuple{migrate(pg, back).first, migrate(back, back).first,
                          migrate((tmp_.path / "none").string(), back).first}),
              std::tuple(0, 1, 1));
    auto original = Open(), copy = Open(back);
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->Count(), 2500);
    EXPECT_EQ(copy->LoadUpstream("baidu")->budget_spent, 7);
    for (const char* site : {"s0.com", "s39.com"}) // s0.com never had a good value
        EXPECT_EQ(Row(*copy, site, Page::Links), Row(*original, site, Page::Links));
}

// Nothing, an emptied file, or a damaged one, perhaps with a killed process's -wal: said as calmly
// as deserved; only a damaged file is set aside, with its journal (a stale -wal must not meet the
// new file), and the store starts anew.
TEST_F(StoreTest, NewEmptiedAndDamagedFiles) {
    const auto overwrite = [](const fs::path& f) { // keeps the header, ruins the tables behind it
        std::fstream io(f, std::ios::in | std::ios::out | std::ios::binary);
        io.seekp(4096) << std::string(8192, '\x5a');
    };
    const auto text = [](const fs::path& f) { std::ofstream(f) << "just some text\n"; };
    // Damage to a file of 200 rows (null: none), a stale -wal beside it; notice, what is set aside.
    const std::tuple<const char*, std::function<void(const fs::path&)>, bool, const char*,
                     const char*, std::multiset<std::string>>
        cases[] = {
            {"new", nullptr, false, "I", "已新建", {}},
            {"emptied", [](const fs::path& f) { std::ofstream{f}; }, false, "W", "0 字节", {}},
            {"not a database", text, true, "W", "corrupt-", {"db", "-wal"}},
            {"pages overwritten", overwrite, false, "W", "corrupt-", {"db"}},
        };
    const fs::path file = dir_ / "measurements.db";
    for (const auto& [name, damage, journal, level, says, expect_aside] : cases) {
        SCOPED_TRACE(name);
        fs::remove_all(dir_);
        if (damage) {
            {
                auto store = Open();
                for (int i = 0; i < 200; ++i)
                    store->Record("s" + std::to_string(i) + ".com", Page::Links, 1,
                                  Make(Status::Ok, i, i));
            }
            for (const char* j : {"-wal", "-shm"})
                fs::remove(file.string() + j);
            if (journal)
                std::ofstream(file.string() + "-wal") << "stale";
            damage(file);
        }
        const auto damaged_size = damage ? fs::file_size(file) : 0;
        test::Install().keep_wal = journal;
        env_.env.store_vfs = test::kFaultyVfs;
        auto store = Open();
        test::Install().keep_wal = false;
        ASSERT_EQ(Levels(*store), level);
        EXPECT_EQ(test::Lacks(store->Notices()[0].text, says), "");
        std::multiset<std::string> aside;
        for (const auto& e : fs::directory_iterator(dir_)) {
            const std::string n = e.path().filename().string(), end = n.substr(n.size() - 4);
            const bool wal = end == "-wal" || end == "-shm";
            if (n.starts_with("measurements.db.corrupt-"))
                aside.insert(wal ? end : e.file_size() == damaged_size ? "db" : "db resized");
        }
        EXPECT_EQ(aside, expect_aside);
        EXPECT_EQ(store->Overview(Page::Links, {}, 0)->Total(), 0u);
        EXPECT_TRUE(store->Record("a.com", Page::Links, 1, Make(Status::Ok, 1, 1)));
    }
    // A data folder that cannot be made is an error naming it.
    std::ofstream(dir_ / "plain-file") << "x";
    std::string error;
    EXPECT_FALSE(OpenStore(dir_ / "plain-file" / "data", env_.env, &error));
    EXPECT_NE(error.find("plain-file"), std::string::npos);
}

TEST_F(StoreTest, FailedRecordsAreANoticeUntilOneSucceeds) {
    test::Faults& faults = test::Install();
    env_.env.store_vfs = test::kFaultyVfs;
    auto store = Open();
    ASSERT_TRUE(store->Record("a.com", Page::Sites, 0, Make(Status::Ok, 1, 1)));
    EXPECT_EQ(Levels(*store), "I");
    faults.disk_full = true;
    const std::int64_t first = env_.clock.NowMs();
    EXPECT_FALSE(store->Record("a.com", Page::Sites, 0, Make(Status::Ok, 2, 2)));
    env_.clock.Advance(60'000);
    EXPECT_FALSE(store->Record("a.com", Page::Sites, 1, Make(Status::Ok, 3, 3)));
    faults.disk_full = false;
    ASSERT_EQ(Levels(*store), "IE");
    const StoreNotice e = store->Notices()[1]; // since the first failure, not the latest:
    EXPECT_EQ(std::pair(e.since_ms, test::Lacks(e.text, "磁盘已满")),
              std::pair(first, std::string()));
    EXPECT_TRUE(store->Record("a.com", Page::Sites, 0, Make(Status::Ok, 4, 4)));
    EXPECT_EQ(Levels(*store), "I");
    EXPECT_EQ(store->History("a.com", Page::Sites, 0, 0).size(), 2u); // nothing half-written
}

// The store's own thread copies the log into the file: the first commits leave it too short for
// a commit to copy it. Then steady commits from two threads run the log through several restarts,
// its last pages copied between commits, and every measurement is kept.
TEST_F(StoreTest, TheLogIsCopiedByTheStoresOwnThread) {
    auto store = Open();
    const std::vector<int> columns{0, 1, 2, 3, 4, 5, 6};
    const auto record = [&](int i) {
        return store->RecordAll("s" + std::to_string(i) + ".com", Page::Sites, columns,
                                std::vector(columns.size(), Make(Status::Ok, i, 1)));
    };
    for (int i = 0; i < 150; ++i)
        ASSERT_TRUE(record(i));
    // Before any copy the file holds its first page only.
    const auto copied = [&] { return fs::file_size(dir_ / "measurements.db") >= 64 * 1024; };
    for (int i = 0; i < 3000 && !copied(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(copied());
    std::vector<std::thread> writers;
    for (int t = 0; t < 2; ++t)
        writers.emplace_back([&, t] {
            for (int i = 150 + t; i < 4000; i += 2)
                ASSERT_TRUE(record(i));
        });
    for (auto& writer : writers)
        writer.join();
    for (int i : {0, 149, 150, 3999})
        EXPECT_EQ(store->History("s" + std::to_string(i) + ".com", Page::Sites, 6, 0).size(), 1u);
}

// A sound file that may not be written stops the service and stays where it is: setting it
// aside would lose its history for a fault of its surroundings.
void ExpectRefusedAndKept(const fs::path& dir, Env& env, const char* why = "writable") {
    std::string error;
    EXPECT_FALSE(OpenStore(dir, env, &error));
    EXPECT_EQ(test::Lacks(error, (dir / "measurements.db").string() + "|" + why), "") << error;
    EXPECT_TRUE(fs::exists(dir / "measurements.db"));
    for (const auto& entry : fs::directory_iterator(dir))
        EXPECT_EQ(entry.path().string().find("corrupt-"), std::string::npos) << entry.path();
}

TEST_F(StoreTest, ReadOnlyFileMountOrModeStopsWithoutSettingTheFileAside) {
    Open()->Record("a.com", Page::Sites, 0, Make(Status::Ok, 1, 1));
    test::Faults& faults = test::Install();
    env_.env.store_vfs = test::kFaultyVfs;
    for (std::atomic<bool>* fault : {&faults.read_only, &faults.read_only_file}) {
        *fault = true;
        ExpectRefusedAndKept(dir_, env_.env);
        *fault = false;
    }
    EXPECT_EQ(Open()->History("a.com", Page::Sites, 0, 0).size(), 1u);
    if (::geteuid() == 0)
        GTEST_SKIP() << "file modes do not bind root; the faults above cover the same paths";
    env_.env.store_vfs = nullptr;
    const fs::path file = dir_ / "measurements.db";
    fs::permissions(file, fs::perms::owner_read);
    ExpectRefusedAndKept(dir_, env_.env);
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
    fs::remove(dir_ / "measurements.db-wal");
    fs::remove(dir_ / "measurements.db-shm");
    fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
    ExpectRefusedAndKept(dir_, env_.env);
    fs::permissions(dir_, fs::perms::owner_all);
}

TEST_F(StoreTest, LayoutVersions) {
    auto sql = [&](const char* text) { Sql(dir_ / "measurements.db", text); };
    Open()->Record("a.com", Page::Links, 1, Make(Status::Ok, 7, 1));
    // A file from before the upstream state: brought up to date, its measurements kept.
    sql("DROP TABLE upstreams; PRAGMA user_version = 0;");
    auto store = Open();
    EXPECT_EQ(store->History("a.com", Page::Links, 1, 0).size(), 1u);
    EXPECT_FALSE(store->LoadUpstream("baidu"));
    EXPECT_TRUE(store->SaveUpstream("baidu", {}));
    store.reset();
    // A file of layout 1: `latest` without the changes, filled from the history on opening.
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    sql(R"(CREATE TABLE measurements(id INTEGER PRIMARY KEY, site TEXT NOT NULL, page TEXT NOT
             NULL, col INTEGER NOT NULL, status TEXT NOT NULL, number INTEGER, text TEXT NOT NULL,
             source TEXT NOT NULL, detail TEXT NOT NULL, time_ms INTEGER NOT NULL);
           CREATE TABLE latest(site TEXT NOT NULL, page TEXT NOT NULL, col INTEGER NOT NULL,
             last_id INTEGER NOT NULL, last_ms INTEGER NOT NULL, good_id INTEGER, good_ms INTEGER,
             PRIMARY KEY(site, page, col)) WITHOUT ROWID;
           INSERT INTO measurements VALUES(1, 'a.com', 'sites', 0, 'ok', 100, '', 'x', '', 0),
             (2, 'a.com', 'sites', 0, 'ok', 40, '', 'x', '', 3e9), (3, 'b.com', 'sites', 0, 'ok',
             5, '', 'x', '', 0);
           INSERT INTO latest VALUES('a.com', 'sites', 0, 2, 3e9, 2, 3e9), ('b.com', 'sites', 0, 3,
             0, 3, 0); PRAGMA user_version = 1;)");
    store = Open();
    const auto m = store->LatestRow("a.com", Page::Sites);
    ASSERT_TRUE(m && m->size() == 1 && m->front().previous && m->front().month);
    EXPECT_EQ(std::tuple(m->front().previous->value, m->front().month->value),
              std::tuple(100, 100));
    EXPECT_EQ(Order(*store, Page::Sites, {0, false, TableOrder::Key::Change}, 0), "ab");
    store.reset();
    // Layout 2 indexed every change, NULL or not: only the index is made anew.
    sql("DROP INDEX latest_with_d0; CREATE INDEX latest_by_d0 ON latest(page, col, d0, site); "
        "PRAGMA user_version = 2;");
    store = Open();
    EXPECT_EQ(Order(*store, Page::Sites, {0, true, TableOrder::Key::Change}, 1), "b");
    store.reset();
    // A file of a newer service is neither used nor set aside.
    sql("PRAGMA user_version = 99;");
    ExpectRefusedAndKept(dir_, env_.env, "newer");
}

} // namespace
