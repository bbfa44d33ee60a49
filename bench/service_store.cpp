// The store with a large history, SQLite beside PostgreSQL in the same run: an answer's read
// (LatestRow of a random site, 1 and 8 threads asking at once; p50, p99 and the worst round's
// p99) and the overview's first page (cursor, count and 100 rows; by site and by a column's
// value). The history is generated in bulk: VALDANE_BENCH_MEASUREMENTS (default 1,000,000) over
// 100,000 sites of 5 columns each. Targets: a read under 1 ms p99, a first page under 200 ms.
#include "fakes.h"
#include "pg.h"
#include "pgserver.h"
#include "store.h"
#include "tempdir.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>

namespace {

using namespace valdane::svc;
using SteadyClock = std::chrono::steady_clock;

constexpr std::int64_t kSites = 100'000;
constexpr int kColumns = 5;
constexpr int kRounds = 3;

std::int64_t Measurements() {
    const char* text = std::getenv("VALDANE_BENCH_MEASUREMENTS");
    return text ? std::max<std::int64_t>(std::atoll(text), kSites * kColumns) : 1'000'000;
}

// Row i: site i % kSites, column (i / kSites) % kColumns, newer with i; every tenth failed.
// `latest` is derived from the rows as Record would have left it.
constexpr const char* kRowValues =
    "'site' || (i % 100000) || '.example.com', 'sites', (i / 100000) % 5, "
    "CASE WHEN i % 10 = 0 THEN 'blocked' ELSE 'ok' END, "
    "CASE WHEN i % 10 = 0 THEN NULL ELSE (i * 7919) % 1000000 END, '', 'bench', '', "
    "1700000000000 + i";
constexpr const char* kInsertColumns =
    "INSERT INTO measurements(site, page, col, status, number, text, source, detail, time_ms) ";
constexpr const char* kDeriveLatest =
    "INSERT INTO latest(site, page, col, last_id, last_ms, good_id, good_ms) SELECT site, page, "
    "col, max(id), max(time_ms), max(id) FILTER (WHERE status = 'ok'), max(time_ms) FILTER "
    "(WHERE status = 'ok') FROM measurements GROUP BY site, page, col";

struct Stores {
    valdane::svc::test::TempDir dir;
    valdane::svc::test::TestEnv env;
    std::unique_ptr<Store> sqlite, pg;
    std::string error;

    Stores() {
        const std::int64_t n = Measurements();
        const auto started = SteadyClock::now();
        if (!(sqlite = OpenStore(dir.path, env.env, &error)))
            return;
        sqlite.reset();
        sqlite3* db = nullptr;
        sqlite3_open((dir.path / "measurements.db").c_str(), &db);
        const std::string fill =
            std::string("BEGIN; WITH RECURSIVE g(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM g "
                        "WHERE i + 1 < ") +
            std::to_string(n) + ") " + kInsertColumns + "SELECT " + kRowValues + " FROM g; " +
            kDeriveLatest + "; COMMIT; ANALYZE;";
        char* why = nullptr;
        if (sqlite3_exec(db, fill.c_str(), nullptr, nullptr, &why) != SQLITE_OK)
            error = std::string("sqlite: ") + (why ? why : "?");
        sqlite3_free(why);
        sqlite3_close(db);
        if (!error.empty() || !(sqlite = OpenStore(dir.path, env.env, &error)))
            return;
        const auto sqlite_done = SteadyClock::now();

        auto& server = valdane::svc::test::SharedPgServer();
        if (!(error = server.error()).empty())
            return;
        const std::string uri = server.NewDatabase();
        if (!(pg = OpenPgStore(uri, env.env, &error)))
            return;
        auto conn = pg::Connection::Open(uri, &error);
        for (const std::string& sql :
             {std::string(kInsertColumns) + "SELECT " + kRowValues +
                  " FROM generate_series(0::bigint, " + std::to_string(n - 1) + ") i",
              std::string(kDeriveLatest), std::string("ANALYZE")})
            if (const pg::Result r = conn->Exec(sql); !r.ok()) {
                error = "postgresql: " + r.error();
                return;
            }
        using std::chrono::duration_cast;
        using std::chrono::seconds;
        std::printf("generated %lld measurements: SQLite in %llds, PostgreSQL in %llds\n",
                    static_cast<long long>(n),
                    static_cast<long long>(duration_cast<seconds>(sqlite_done - started).count()),
                    static_cast<long long>(
                        duration_cast<seconds>(SteadyClock::now() - sqlite_done).count()));
    }

    Store& Of(int which) { return which ? *pg : *sqlite; }
};

Stores& Shared() {
    static Stores stores;
    return stores;
}

double Percentile(std::vector<double>& v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// Args: store (0 SQLite, 1 PostgreSQL), threads asking at once.
void StoreRead(benchmark::State& state) {
    Stores& s = Shared();
    if (!s.error.empty()) {
        state.SkipWithError(s.error.c_str());
        return;
    }
    Store& store = s.Of(static_cast<int>(state.range(0)));
    const auto threads = static_cast<int>(state.range(1));
    constexpr int kReads = 4000; // per thread and round
    double worst_p99 = 0, p50 = 0, p99 = 0;
    bool failed = false;
    for (auto _ : state) {
        for (int round = 0; round < kRounds; ++round) {
            std::vector<std::vector<double>> times(static_cast<std::size_t>(threads));
            std::vector<std::thread> pool;
            for (int t = 0; t < threads; ++t)
                pool.emplace_back([&, t] {
                    std::mt19937 random(static_cast<unsigned>(round * 100 + t));
                    auto& mine = times[static_cast<std::size_t>(t)];
                    for (int i = 0; i < kReads; ++i) {
                        const std::string site =
                            "site" + std::to_string(random() % kSites) + ".example.com";
                        const auto start = SteadyClock::now();
                        const auto row = store.LatestRow(site, Page::Sites);
                        mine.push_back(
                            std::chrono::duration<double, std::milli>(SteadyClock::now() - start)
                                .count());
                        failed = failed || !row || row->size() != kColumns;
                    }
                });
            for (auto& t : pool)
                t.join();
            std::vector<double> all;
            for (auto& v : times)
                all.insert(all.end(), v.begin(), v.end());
            p50 = Percentile(all, 0.5);
            p99 = Percentile(all, 0.99);
            worst_p99 = std::max(worst_p99, p99);
        }
    }
    if (failed)
        state.SkipWithError("a read failed or missed columns");
    state.counters["p50_ms"] = p50;
    state.counters["p99_ms"] = p99;
    state.counters["worst_round_p99_ms"] = worst_p99;
}
BENCHMARK(StoreRead)
    ->ArgNames({"pg", "threads"})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Args({0, 8})
    ->Args({1, 8})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// Args: store, order column (-1 by site), descending. What the overview page does first.
void OverviewFirstPage(benchmark::State& state) {
    Stores& s = Shared();
    if (!s.error.empty()) {
        state.SkipWithError(s.error.c_str());
        return;
    }
    Store& store = s.Of(static_cast<int>(state.range(0)));
    const TableOrder order{static_cast<int>(state.range(1)), state.range(2) != 0};
    double worst = 0;
    for (auto _ : state) {
        const auto start = SteadyClock::now();
        auto cursor = store.Overview(Page::Sites, order, 0);
        const auto total = cursor ? cursor->Total() : std::nullopt;
        const auto rows = total ? cursor->Next(100) : std::nullopt;
        const double ms =
            std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
        state.SetIterationTime(ms / 1000);
        worst = std::max(worst, ms);
        if (!rows || rows->size() != 100 || *total != static_cast<std::size_t>(kSites)) {
            state.SkipWithError("the first page is not 100 rows of the whole");
            return;
        }
    }
    state.counters["worst_ms"] = worst;
}
BENCHMARK(OverviewFirstPage)
    ->ArgNames({"pg", "column", "desc"})
    ->Args({0, -1, 0})
    ->Args({1, -1, 0})
    ->Args({0, 2, 1})
    ->Args({1, 2, 1})
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
