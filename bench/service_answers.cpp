// The service over loopback, each figure beside its yardstick in the same run: fresh answers
// against nginx serving a file of the same size (2, 8 and 64 keep-alive clients), answers while
// 1,000 idle and 200 trickling sockets are held open, an overview of 100,000 sites (first byte,
// memory), a mix of paced and instant columns, and memory over 100,000 distinct sites.
// Each comparison runs in rounds, ours then theirs; the counters report the worst round.
#include "engine.h"
#include "loopback.h"
#include "protocol.h"
#include "provider.h"
#include "rss.h"
#include "server.h"
#include "store.h"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

namespace {

using namespace valdane::svc;
using namespace valdane::bench;

constexpr int kWarmSites = 1000;
constexpr int kRounds = 3;

std::string Query(const std::string& site) {
    return "/Calvren/Rivelo/sites.asp?sFrom=127.0.0.1&Key=1234567&sUrl=" + site;
}

std::string SiteName(int i) {
    return "site" + std::to_string(i) + ".example.com";
}

std::string WarmQuery(int i) {
    return Query(SiteName(i % kWarmSites));
}

// A service as main.cpp builds it, on a fresh data folder, providers from TOML sections.
struct Service {
    fs::path dir;
    double migrate_s = 0; // opening the filled store: the layout change from its history
    Config config;
    std::unique_ptr<Store> store;
    std::unique_ptr<Engine> engine;
    std::unique_ptr<Server> server;

    struct Options {
        std::map<std::string, std::string> sections; // provider name -> its TOML section
        std::vector<std::string> sites_columns;      // else every column "fixed"
        bool fill = false;                           // 100,000 sites in the store
        std::int64_t deadline_ms = 45000;
    };

    Service() : Service(Options()) {}
    explicit Service(const Options& options)
        : dir(fs::temp_directory_path() / ("valdane-bench-" + std::to_string(getpid()))) {
        RaiseFileLimit();
        fs::remove_all(dir);
        fs::create_directories(dir);
        config.data_dir = dir;
        config.deadline_ms = options.deadline_ms;
        for (Page page : kPages)
            config.columns[page] = std::vector<std::string>(ColumnCount(page), "fixed");
        if (!options.sites_columns.empty())
            config.columns[Page::Sites] = options.sites_columns;
        std::string error;
        store = OpenStore(dir, DefaultEnv(), &error);
        if (store && options.fill) {
            store.reset();
            FillHundredThousand();
            const auto t0 = std::chrono::steady_clock::now();
            store = OpenStore(dir, DefaultEnv(), &error);
            migrate_s =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        }
        Check(store != nullptr, "store", error);
        std::map<std::string, std::string> all = options.sections;
        all.emplace("fixed",
                    "type = 'fixed'\n[values]\nsites = [1234567, 234567, 34567, 4567, 567, 67, 7]\n"
                    "links = [1, 2, 3, 4, 5, 6, 7]\nranks = [5, 6]\n");
        ProviderContext context{DefaultEnv(), *store, config};
        std::map<std::string, std::unique_ptr<Provider>> providers;
        for (const auto& [name, toml_text] : all) {
            providers[name] = MakeProvider(name, toml::parse(toml_text), context, &error);
            Check(providers[name] != nullptr, "provider", error);
        }
        engine = std::make_unique<Engine>(config, *store, DefaultEnv(), std::move(providers));
        server = std::make_unique<Server>(config, *engine, *store);
        Check(server->Start(ListenAddress{"127.0.0.1", 0}, &error), "server", error);
    }
    ~Service() {
        server.reset();
        engine.reset();
        store.reset();
        fs::remove_all(dir);
    }
    int port() const { return server->port(); }

    static void Check(bool ok, const char* what, const std::string& error) {
        if (!ok) {
            std::fprintf(stderr, "%s: %s\n", what, error.c_str());
            std::exit(1);
        }
    }

    // 100,000 sites with all seven columns of sites.asp, each measured 40 days ago and now,
    // written in one transaction as a file of layout 1: the next open fills `latest` from this
    // history, as it would for a user's file.
    void FillHundredThousand() {
        sqlite3* db = nullptr;
        sqlite3_open((dir / "measurements.db").c_str(), &db);
        sqlite3_exec(db, "BEGIN; DELETE FROM latest; PRAGMA user_version = 1;", nullptr, nullptr,
                     nullptr);
        sqlite3_stmt* m = nullptr;
        sqlite3_prepare_v2(db,
                           "INSERT INTO measurements(site, page, col, status, number, text, "
                           "source, detail, time_ms) VALUES(?1, 'sites', ?2, ?3, ?4, '', 'fixed', "
                           "'', ?5)",
                           -1, &m, nullptr);
        std::uint32_t seed = 12345;
        for (int i = 0; i < 100000; ++i) {
            const std::string site = "s" + std::to_string(i) + ".example.org";
            for (int c = 0; c < 7; ++c)
                for (const std::int64_t ms : {1776544000000LL, 1780000000000LL}) {
                    seed = seed * 1103515245 + 12345;
                    const bool ok = seed % 10 != 0; // a tenth failed: missing values sort last
                    sqlite3_bind_text(m, 1, site.c_str(), -1, SQLITE_TRANSIENT);
                    sqlite3_bind_int(m, 2, c);
                    sqlite3_bind_text(m, 3, ok ? "ok" : "network-error", -1, SQLITE_STATIC);
                    if (ok)
                        sqlite3_bind_int64(m, 4, seed % 1000000);
                    sqlite3_bind_int64(m, 5, ms);
                    sqlite3_step(m);
                    sqlite3_reset(m);
                    sqlite3_clear_bindings(m);
                }
        }
        sqlite3_finalize(m);
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
};

std::string Warm(int port) {
    Connection warm(port);
    std::string body;
    for (int i = 0; i < kWarmSites; ++i)
        warm.Get(Query(SiteName(i)), &body);
    return body;
}

// The service's own threads: libmicrohttpd's event loops and the acceptor.
long long ServiceCpuNs() {
    return ThreadsCpuNs(getpid(), "MHD-") + ThreadsCpuNs(getpid(), "svc-accept");
}

// Median, p99 and throughput beside nginx; ratios are ours over theirs (throughput: theirs
// over ours), each the worst of the rounds. Each round takes slices of each in turn. With few
// clients a slice's median depends on where its connections' threads run (10 or 60 us, for
// either server), so a round then takes more slices for its median to settle.
void BM_FreshAnswersBesideNginx(benchmark::State& state) {
    const int clients = static_cast<int>(state.range(0));
    const int per_client = std::max(200, 40000 / clients);
    const int slices = clients <= 2 ? 40 : 10;
    Service service;
    const std::string body = Warm(service.port());
    const std::map<std::string, std::string> files{
        {Query("").substr(0, Query("").find('?')), body}};
    Nginx nginx(files);
    if (nginx.pid == 0) {
        state.SkipWithError("nginx not available: no comparison");
        return;
    }
    double worst_median = 0, worst_p99 = 0, worst_throughput = 0;
    LoadResult ours, theirs;
    // CPU time of the servers' own threads over all rounds: unlike latency, it hardly moves
    // with what else the machine does.
    long long our_cpu_ns = 0, their_cpu_ns = 0;
    std::size_t answers = 0;
    // Short slices taken in turn, so that what else the machine does falls on both alike.
    auto add = [](LoadResult& into, LoadResult slice) {
        into.latencies_ms.insert(into.latencies_ms.end(), slice.latencies_ms.begin(),
                                 slice.latencies_ms.end());
        into.seconds += slice.seconds;
        into.failures += slice.failures;
    };
    for (auto _ : state)
        for (int round = 0; round < kRounds; ++round) {
            ours = theirs = LoadResult{};
            for (int slice = 0; slice < slices; ++slice) {
                long long before = ServiceCpuNs();
                add(ours, Load(service.port(), clients, per_client / 10, WarmQuery));
                our_cpu_ns += ServiceCpuNs() - before;
                before = ProcessTreeCpuNs(nginx.pid);
                add(theirs, Load(nginx.port, clients, per_client / 10, WarmQuery));
                their_cpu_ns += ProcessTreeCpuNs(nginx.pid) - before;
            }
            answers += ours.latencies_ms.size();
            for (LoadResult* r : {&ours, &theirs})
                std::sort(r->latencies_ms.begin(), r->latencies_ms.end());
            worst_median = std::max(worst_median, ours.Percentile(0.5) / theirs.Percentile(0.5));
            worst_p99 = std::max(worst_p99, ours.Percentile(0.99) / theirs.Percentile(0.99));
            worst_throughput = std::max(worst_throughput, theirs.PerSecond() / ours.PerSecond());
        }
    state.counters["svc_median_ms"] = ours.Percentile(0.5);
    state.counters["svc_p99_ms"] = ours.Percentile(0.99);
    state.counters["svc_per_s"] = ours.PerSecond();
    state.counters["svc_failures"] = ours.failures;
    state.counters["nginx_median_ms"] = theirs.Percentile(0.5);
    state.counters["nginx_p99_ms"] = theirs.Percentile(0.99);
    state.counters["nginx_per_s"] = theirs.PerSecond();
    state.counters["svc_cpu_us"] = our_cpu_ns / 1e3 / answers;
    state.counters["nginx_cpu_us"] = their_cpu_ns / 1e3 / answers;
    state.counters["worst_ratio_median"] = worst_median;
    state.counters["worst_ratio_p99"] = worst_p99;
    state.counters["worst_ratio_throughput"] = worst_throughput;
    state.SetLabel("body " + std::to_string(body.size()) + " bytes, " + std::to_string(clients) +
                   " clients, last round shown, " + std::to_string(kRounds) + " rounds");
}
BENCHMARK(BM_FreshAnswersBesideNginx)
    ->Arg(2)
    ->Arg(8)
    ->Arg(64)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Sockets that never finish a request, from other addresses than the measured client (each
// address may hold only so many): idle ones send nothing, trickling ones a byte a second.
void BM_AnswersBesideIdleAndTricklingSockets(benchmark::State& state) {
    Service service;
    Warm(service.port());
    std::vector<std::unique_ptr<Connection>> idle, trickling;
    for (int i = 0; i < 1200; ++i) {
        const std::string from = "127.0.1." + std::to_string(1 + i / 100);
        (i < 1000 ? idle : trickling)
            .push_back(std::make_unique<Connection>(service.port(), from.c_str()));
    }
    std::atomic<bool> done{false};
    std::thread trickle([&] {
        const std::string head = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
        for (auto& c : trickling)
            ::send(c->fd(), head.data(), head.size(), MSG_NOSIGNAL);
        while (!done) {
            for (auto& c : trickling)
                ::send(c->fd(), "a", 1, MSG_NOSIGNAL);
            for (int i = 0; i < 100 && !done; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    LoadResult r;
    double worst_p99 = 0;
    for (auto _ : state)
        for (int round = 0; round < kRounds; ++round) {
            r = Load(service.port(), 1, 3000, WarmQuery);
            worst_p99 = std::max(worst_p99, r.Percentile(0.99));
        }
    done = true;
    trickle.join();
    int open = 0;
    for (auto* group : {&idle, &trickling})
        for (auto& c : *group) {
            char byte;
            open += c->fd() >= 0 && ::recv(c->fd(), &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
        }
    state.counters["median_ms"] = r.Percentile(0.5);
    state.counters["p99_ms"] = r.Percentile(0.99);
    state.counters["worst_p99_ms"] = worst_p99;
    state.counters["failures"] = r.failures;
    state.counters["held_open_after"] = open;
}
BENCHMARK(BM_AnswersBesideIdleAndTricklingSockets)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// One view of an overview of 100,000 sites: the time to its first byte and the memory it costs
// beyond the service at rest, for a page and the whole CSV, in the default order (by site) and
// sorted by a value and by a change, and a page of the chart of every site; then 16 CSVs at once.
void BM_OverviewOfHundredThousandSites(benchmark::State& state) {
    Service service({{}, {}, true});
    const struct {
        const char* name;
        std::string path;
    } views[] = {
        {"page_by_site", "/ostrem/seo/sites.htm?page=500"},
        {"page_by_value", "/ostrem/seo/sites.htm?sort=0&order=desc&page=500"},
        {"page_by_change", "/ostrem/seo/sites.htm?sort=2&order=asc&by=change&page=500"},
        {"page_by_month", "/ostrem/seo/sites.htm?sort=1&order=desc&by=month&page=1000"},
        {"compare", "/ostrem/seo/compare.htm?t=site&col=0&days=90&page=300"},
        {"csv_by_site", "/ostrem/seo/sites.csv"},
        {"csv_by_value", "/ostrem/seo/sites.csv?sort=3&order=asc"},
        {"csv_by_change", "/ostrem/seo/sites.csv?sort=4&order=desc&by=change"},
    };
    Connection(service.port()).Get(views[0].path); // the file's pages cached, as at any later view
    const long rest = RssKb();
    std::atomic<long> peak{rest};
    std::atomic<bool> done{false};
    std::thread sampler([&] {
        while (!done) {
            peak = std::max(peak.load(), RssKb());
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::map<std::string, double> first_ms, worst_ms, extra_mb;
    std::size_t csv_bytes = 0;
    for (auto _ : state)
        for (int round = 0; round < kRounds; ++round)
            for (const auto& view : views) {
                Connection c(service.port());
                SteadyClock::time_point first;
                peak = RssKb();
                const long before = peak;
                const auto t0 = SteadyClock::now();
                if (c.Get(view.path, nullptr, &first) != 200) {
                    state.SkipWithError(view.name);
                    done = true;
                    sampler.join();
                    return;
                }
                first_ms[view.name] = Ms(first - t0);
                worst_ms[view.name] = std::max(worst_ms[view.name], first_ms[view.name]);
                extra_mb[view.name] = std::max(extra_mb[view.name], (peak - before) / 1024.0);
                if (view.path.find(".csv") != std::string::npos)
                    csv_bytes = c.received();
            }
    peak = RssKb();
    const long before16 = peak;
    std::vector<std::thread> sixteen;
    std::atomic<int> whole{0};
    const auto t0 = SteadyClock::now();
    for (int i = 0; i < 16; ++i)
        sixteen.emplace_back([&] {
            Connection c(service.port());
            whole += c.Get(views[std::size(views) - 1].path) == 200 && c.received() == csv_bytes;
        });
    for (auto& v : sixteen)
        v.join();
    const double sixteen_s = std::chrono::duration<double>(SteadyClock::now() - t0).count();
    done = true;
    sampler.join();
    for (const auto& view : views) {
        state.counters[std::string(view.name) + "_first_byte_ms"] = first_ms[view.name];
        state.counters[std::string(view.name) + "_first_byte_worst_ms"] = worst_ms[view.name];
        state.counters[std::string(view.name) + "_extra_mb_worst"] = extra_mb[view.name];
    }
    state.counters["csv_mb"] = csv_bytes / 1048576.0;
    state.counters["sixteen_csv_extra_mb"] = (peak - before16) / 1024.0;
    state.counters["sixteen_csv_s"] = sixteen_s;
    state.counters["sixteen_csv_whole"] = whole.load();
    state.counters["rss_at_rest_mb"] = rest / 1024.0;
    state.counters["open_and_migrate_s"] = service.migrate_s;
}
BENCHMARK(BM_OverviewOfHundredThousandSites)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// sites.asp with two columns from a paced search engine (an nginx page, one request a second)
// and five instant ones, 16 clients asking for sites not yet measured: how often the instant
// columns come back with their value, and how long the answers take (deadline 3 s).
void BM_PacedAndInstantColumns(benchmark::State& state) {
    const std::map<std::string, std::string> files{
        {"/s", Utf8ToGbk("<p>找到相关结果约1,234个</p>")}};
    Nginx upstream(files);
    if (upstream.pid == 0) {
        state.SkipWithError("nginx not available: no paced upstream");
        return;
    }
    const std::string paced =
        "type = 'serp'\nurl = 'http://127.0.0.1:" + std::to_string(upstream.port) +
        "/s?q={query}'\nquery_sites = 'site:{site}'\ncount = "
        "['约([0-9,]+)个']\ncanary = ''\ninterval_s = 1\njitter_s = 0\n"
        "daily_budget = 1000000\n";
    Service service({{{"paced", paced}},
                     {"paced", "paced", "fixed", "fixed", "fixed", "fixed", "fixed"},
                     false,
                     3000});
    // 64 answers each, so that a round's p99 is its eleventh slowest of 1,024, not its third
    // slowest of 160 (near enough the maximum). Past the first 1,000 sites the paced queue is
    // full and its columns fail at once; the instant ones must still come back.
    constexpr int kClients = 16, kPerClient = 64;
    std::atomic<int> asked{0}, instant_answered{0};
    std::vector<double> latencies;
    double worst_p99 = 0, p99 = 0, median = 0, slowest = 0;
    std::mutex mutex;
    for (auto _ : state)
        for (int round = 0; round < kRounds; ++round) {
            latencies.clear();
            std::vector<std::thread> clients;
            for (int t = 0; t < kClients; ++t)
                clients.emplace_back([&, t] {
                    Connection c(service.port());
                    for (int i = 0; i < kPerClient; ++i) {
                        std::string body;
                        const auto t0 = SteadyClock::now();
                        c.Get(Query("mix" +
                                    std::to_string((round * kClients + t) * kPerClient + i) +
                                    ".example.net"),
                              &body);
                        const double ms = Ms(SteadyClock::now() - t0);
                        ++asked;
                        const std::size_t from = body.find("<!-- start -->") + 14;
                        const std::string payload =
                            body.substr(from, body.find("<!-- end -->") - from);
                        // Fields 2 to 6 are the instant ones.
                        std::size_t at = 0;
                        for (int field = 0; field < 2 && at != std::string::npos; ++field)
                            at = payload.find_first_of(",|", at + 1);
                        if (at != std::string::npos && payload.find("-1", at) == std::string::npos)
                            ++instant_answered;
                        std::lock_guard<std::mutex> guard(mutex);
                        latencies.push_back(ms);
                    }
                });
            for (auto& client : clients)
                client.join();
            std::sort(latencies.begin(), latencies.end());
            p99 = latencies[static_cast<std::size_t>(0.99 * (latencies.size() - 1))];
            worst_p99 = std::max(worst_p99, p99);
            slowest = std::max(slowest, latencies.back());
            median = latencies[latencies.size() / 2];
        }
    state.counters["answers"] = asked.load();
    state.counters["median_ms"] = median;
    state.counters["instant_answered"] = instant_answered.load();
    state.counters["p99_ms"] = p99;
    state.counters["worst_p99_ms"] = worst_p99;
    state.counters["slowest_ms"] = slowest;
}
BENCHMARK(BM_PacedAndInstantColumns)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MemoryOverDistinctSites(benchmark::State& state) {
    const int sites = static_cast<int>(state.range(0));
    for (auto _ : state) {
        Service service;
        const long before = RssKb();
        long peak = before;
        std::atomic<int> next{0};
        std::vector<std::thread> clients;
        for (int t = 0; t < 2; ++t)
            clients.emplace_back([&] {
                Connection connection(service.port());
                for (int i; (i = next++) < sites;)
                    connection.Get("/Calvren/Rivelo/sites.asp?sFrom=h&Key=1&sUrl=m" +
                                   std::to_string(i) + ".example.org");
            });
        for (int done = 0; done < sites;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            done = next.load();
            peak = std::max(peak, RssKb());
        }
        for (auto& client : clients)
            client.join();
        const long after = RssKb();
        state.counters["rss_before_mb"] = before / 1024.0;
        state.counters["rss_after_mb"] = after / 1024.0;
        state.counters["rss_peak_mb"] = std::max(peak, after) / 1024.0;
    }
}
BENCHMARK(BM_MemoryOverDistinctSites)
    ->Arg(100000)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
