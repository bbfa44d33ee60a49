// The store with a large history, SQLite beside PostgreSQL in the same run: an answer's read
// (LatestRow of a random site, 1, 2 and 8 threads asking at once; p50, p99 and the worst round's
// p99), the overview's first page (cursor, count and 100 rows; by site and by a column's value),
// and answers over HTTP from one instance on SQLite, one on PostgreSQL, and one, two and three
// on PostgreSQL behind nginx as a balancer. The history is generated in bulk:
// VALDANE_BENCH_MEASUREMENTS (default 1,000,000) over 100,000 sites of 7 columns each. Targets:
// a read under 1 ms p99, a first page under 200 ms.
#include "engine.h"
#include "fakes.h"
#include "loopback.h"
#include "pg.h"
#include "pgserver.h"
#include "provider.h"
#include "server.h"
#include "store.h"
#include "tempdir.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <toml++/toml.h>

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
constexpr int kColumns = 7; // the sites page
constexpr int kRounds = 3;

std::int64_t Measurements() {
    const char* text = std::getenv("VALDANE_BENCH_MEASUREMENTS");
    return text ? std::max<std::int64_t>(std::atoll(text), kSites * kColumns) : 1'000'000;
}

// Row i: site i % kSites, column (i / kSites) % kColumns, newer with i; every tenth failed.
// `latest` is derived from the rows as Record would have left it.
constexpr const char* kRowValues =
    "'site' || (i % 100000) || '.example.com', 'sites', (i / 100000) % 7, "
    "CASE WHEN i % 10 = 0 THEN 'blocked' ELSE 'ok' END, "
    "CASE WHEN i % 10 = 0 THEN NULL ELSE (i * 7919) % 1000000 END, '', 'bench', '', "
    "1700000000000 + i";
constexpr const char* kInsertColumns =
    "INSERT INTO measurements(site, page, col, status, number, text, source, detail, time_ms) ";
constexpr const char* kDeriveLatest =
    "INSERT INTO latest(site, page, col, last_id, last_ms, good_id, good_ms) SELECT site, page, "
    "col, max(id), max(time_ms), max(id) FILTER (WHERE status = 'ok'), max(time_ms) FILTER "
    "(WHERE status = 'ok') FROM measurements GROUP BY site, page, col";
// The value each cell shows (no changes: every site was measured within a day), and the sites.
#define SHOWN_OF(id)                                                                               \
    "(SELECT CASE WHEN status = 'ok' AND number >= 0 THEN number END FROM measurements m WHERE "   \
    "m.id = latest." id ")"
constexpr const char* kDeriveShown =
    "UPDATE latest SET shown = coalesce(" SHOWN_OF("last_id") ", " SHOWN_OF("good_id") ")";
#undef SHOWN_OF
constexpr const char* kDeriveSites =
    "INSERT INTO sites(page, site) SELECT DISTINCT page, site FROM latest";

struct Stores {
    valdane::svc::test::TempDir dir;
    valdane::svc::test::TestEnv env;
    std::unique_ptr<Store> sqlite, pg;
    std::string uri; // the PostgreSQL database
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
            kDeriveLatest + "; " + kDeriveShown + "; " + kDeriveSites + "; COMMIT; ANALYZE;";
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
        uri = server.NewDatabase();
        if (!(pg = OpenPgStore(uri, env.env, &error)))
            return;
        auto conn = pg::Connection::Open(uri, &error);
        for (const std::string& sql :
             {std::string(kInsertColumns) + "SELECT " + kRowValues +
                  " FROM generate_series(0::bigint, " + std::to_string(n - 1) + ") i",
              std::string(kDeriveLatest), std::string(kDeriveShown), std::string(kDeriveSites),
              std::string("VACUUM ANALYZE")})
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
    ->Args({0, 2})
    ->Args({1, 2})
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

// One valdane-service in process on its own port, as main.cpp builds it. Every value is in the
// store and fresh, so an answer is a store read and never a measurement. PostgreSQL instances open
// their own store (and pool) on the database.
struct Instance {
    valdane::svc::test::TempDir dir;
    Config config;
    std::unique_ptr<Store> own;
    std::unique_ptr<Engine> engine;
    std::unique_ptr<Server> server;

    Instance(Stores& s, bool pg) {
        config.data_dir = dir.path;
        config.fresh_ms = 20LL * 365 * 24 * 3600 * 1000;
        // Named as the history's source, so that its values stand for this column's.
        config.columns[Page::Sites] = std::vector<std::string>(kColumns, "bench");
        std::string error;
        Store* store = s.sqlite.get();
        if (pg && !(store = (own = OpenPgStore(s.uri, DefaultEnv(), &error)).get()))
            Fail(error);
        ProviderContext context{DefaultEnv(), *store, config};
        std::map<std::string, std::unique_ptr<Provider>> providers;
        if (!(providers["bench"] = MakeProvider(
                  "bench", toml::parse("type = 'fixed'\n[values]\nsites = [1, 2, 3, 4, 5, 6, 7]\n"),
                  context, &error)))
            Fail(error);
        engine = std::make_unique<Engine>(config, *store, DefaultEnv(), std::move(providers));
        server = std::make_unique<Server>(config, *engine, *store);
        if (!server->Start(ListenAddress{"127.0.0.1", 0}, &error))
            Fail(error);
    }
    static void Fail(const std::string& error) {
        std::fprintf(stderr, "instance: %s\n", error.c_str());
        std::exit(1);
    }
};

// A site whose columns all hold a value (every tenth site's newest rows failed), each asked once
// across the whole run so that no instance answers it from memory.
std::string NextStoredSite() {
    static std::atomic<int> next{0};
    const int k = next++ % static_cast<int>(kSites / 10 * 9);
    return "/Calvren/Rivelo/sites.asp?sFrom=127.0.0.1&Key=1234567&sUrl=site" +
           std::to_string(k / 9 * 10 + 1 + k % 9) + ".example.com";
}

// Args: instances, on PostgreSQL, behind nginx. 16 keep-alive clients; answers per second, p50,
// p99 and the worst round's p99.
void AnswersFromTheStore(benchmark::State& state) {
    using namespace valdane::bench;
    Stores& s = Shared();
    if (!s.error.empty()) {
        state.SkipWithError(s.error.c_str());
        return;
    }
    RaiseFileLimit();
    const auto n = static_cast<int>(state.range(0));
    std::vector<std::unique_ptr<Instance>> instances;
    std::vector<int> ports;
    for (int i = 0; i < n; ++i) {
        instances.push_back(std::make_unique<Instance>(s, state.range(1) != 0));
        ports.push_back(instances.back()->server->port());
    }
    std::unique_ptr<Nginx> nginx;
    if (state.range(2)) {
        nginx = std::make_unique<Nginx>(std::map<std::string, std::string>{}, ports,
                                        "/Calvren/Rivelo/sites.asp?sFrom=127.0.0.1&Key=1234567&"
                                        "sUrl=site1.example.com");
        if (nginx->pid == 0) {
            state.SkipWithError("nginx not available");
            return;
        }
    }
    const int port = nginx ? nginx->port : ports.front();
    std::string body;
    if (Connection(port).Get(NextStoredSite(), &body) != 200 || body.rfind("-", 0) == 0 ||
        body.find(',') == std::string::npos) {
        state.SkipWithError(("not an answer from the store: " + body).c_str());
        return;
    }
    constexpr int kClients = 16, kPerClient = 600;
    double worst_p99 = 0;
    LoadResult last;
    int failures = 0;
    for (auto _ : state)
        for (int round = 0; round < kRounds; ++round) {
            last = Load(port, kClients, kPerClient, [](int) { return NextStoredSite(); });
            failures += last.failures;
            worst_p99 = std::max(worst_p99, last.Percentile(0.99));
        }
    if (failures)
        state.SkipWithError("answers failed");
    state.counters["per_s"] = last.PerSecond();
    state.counters["p50_ms"] = last.Percentile(0.5);
    state.counters["p99_ms"] = last.Percentile(0.99);
    state.counters["worst_round_p99_ms"] = worst_p99;
}
BENCHMARK(AnswersFromTheStore)
    ->ArgNames({"instances", "pg", "nginx"})
    ->Args({1, 0, 0})
    ->Args({1, 1, 0})
    ->Args({1, 1, 1})
    ->Args({2, 1, 1})
    ->Args({3, 1, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
