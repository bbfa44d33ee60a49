// The service over loopback: fresh answers from a warm store (latency, throughput, and the
// same requests against nginx serving a file of the same size), and memory over 100,000 sites.
#include "engine.h"
#include "protocol.h"
#include "provider.h"
#include "rss.h"
#include "server.h"
#include "store.h"

#include <benchmark/benchmark.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

extern char** environ;

namespace {

using namespace valdane::svc;
namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

constexpr int kClients = 2;
constexpr int kWarmSites = 1000;

std::string Query(const std::string& site) {
    return "/Calvren/Rivelo/sites.asp?sFrom=127.0.0.1&Key=1234567&sUrl=" + site;
}

std::string SiteName(int i) {
    return "site" + std::to_string(i) + ".example.com";
}

// A service as main.cpp builds it, on a fresh data folder, with one fixed provider.
struct Service {
    fs::path dir = fs::temp_directory_path() / ("valdane-bench-" + std::to_string(getpid()));
    Config config;
    std::unique_ptr<Store> store;
    std::unique_ptr<Engine> engine;
    std::unique_ptr<Server> server;

    Service() {
        fs::remove_all(dir);
        fs::create_directories(dir);
        config.data_dir = dir;
        for (Page page : {Page::Sites, Page::Links, Page::Ranks, Page::Whois, Page::Alexa})
            config.columns[page] = std::vector<std::string>(ColumnCount(page), "fixed");
        std::string error;
        store = OpenStore(dir, DefaultEnv(), &error);
        if (!store) {
            std::fprintf(stderr, "store: %s\n", error.c_str());
            std::exit(1);
        }
        const toml::table section = toml::parse(
            "type = 'fixed'\n[values]\nsites = [1234567, 234567, 34567, 4567, 567, 67, 7]\n"
            "links = [1, 2, 3, 4, 5, 6, 7]\nranks = [5, 6]\n");
        ProviderContext context{DefaultEnv(), *store, config};
        std::map<std::string, std::unique_ptr<Provider>> providers;
        providers["fixed"] = MakeProvider("fixed", section, context, &error);
        if (!providers["fixed"]) {
            std::fprintf(stderr, "provider: %s\n", error.c_str());
            std::exit(1);
        }
        engine = std::make_unique<Engine>(config, *store, DefaultEnv(), std::move(providers));
        server = std::make_unique<Server>(config, *engine, *store);
        if (!server->Start(ListenAddress{"127.0.0.1", 0}, &error)) {
            std::fprintf(stderr, "server: %s\n", error.c_str());
            std::exit(1);
        }
    }
    ~Service() {
        server.reset();
        engine.reset();
        store.reset();
        fs::remove_all(dir);
    }
};

struct LoadResult {
    std::vector<double> latencies_ms;
    double seconds = 0;
    int failures = 0;
};

// kClients threads, each on one keep-alive connection, asking for the warm sites in turn.
LoadResult Load(int port, int per_client) {
    LoadResult result;
    std::vector<std::vector<double>> each(kClients);
    std::atomic<int> failures{0};
    const auto start = SteadyClock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < kClients; ++t)
        threads.emplace_back([&, t] {
            httplib::Client client("127.0.0.1", port);
            client.set_keep_alive(true);
            each[t].reserve(static_cast<std::size_t>(per_client));
            for (int i = 0; i < per_client; ++i) {
                const auto t0 = SteadyClock::now();
                auto r = client.Get(Query(SiteName((i * kClients + t) % kWarmSites)));
                const auto t1 = SteadyClock::now();
                if (!r || r->status != 200)
                    ++failures;
                each[t].push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
            }
        });
    for (auto& thread : threads)
        thread.join();
    result.seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
    for (auto& v : each)
        result.latencies_ms.insert(result.latencies_ms.end(), v.begin(), v.end());
    std::sort(result.latencies_ms.begin(), result.latencies_ms.end());
    result.failures = failures;
    return result;
}

double Percentile(const std::vector<double>& sorted, double p) {
    return sorted.empty() ? 0 : sorted[static_cast<std::size_t>(p * (sorted.size() - 1))];
}

void Report(benchmark::State& state, const std::string& prefix, const LoadResult& r) {
    state.counters[prefix + "median_ms"] = Percentile(r.latencies_ms, 0.5);
    state.counters[prefix + "p99_ms"] = Percentile(r.latencies_ms, 0.99);
    state.counters[prefix + "answers_per_s"] = r.latencies_ms.size() / r.seconds;
    state.counters[prefix + "failures"] = r.failures;
}

int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

// nginx on a free loopback port serving `body` at the query path; pid 0 when it cannot run.
struct Nginx {
    pid_t pid = 0;
    int port = 0;
    fs::path dir = fs::temp_directory_path() / ("valdane-bench-nginx-" + std::to_string(getpid()));

    explicit Nginx(const std::string& body) {
        const char* binary = "/usr/sbin/nginx";
        if (!fs::exists(binary))
            return;
        fs::create_directories(dir / "www/Calvren/Rivelo");
        std::ofstream(dir / "www/Calvren/Rivelo/sites.asp", std::ios::binary) << body;
        port = FreePort();
        const std::string d = dir.string();
        std::ofstream(dir / "nginx.conf")
            << "worker_processes 2; daemon off; pid " << d << "/nginx.pid; error_log " << d
            << "/error.log;\nevents { worker_connections 256; }\nhttp { access_log off; "
            << "client_body_temp_path " << d << "/body; proxy_temp_path " << d << "/proxy; "
            << "fastcgi_temp_path " << d << "/fastcgi; uwsgi_temp_path " << d << "/uwsgi; "
            << "scgi_temp_path " << d << "/scgi; keepalive_requests 100000;\n"
            << "server { listen 127.0.0.1:" << port << "; root " << d << "/www; "
            << "default_type 'text/html; charset=gb2312'; } }\n";
        const std::string conf = (dir / "nginx.conf").string(), error_log = d + "/error.log";
        const char* argv[] = {binary, "-p",         d.c_str(), "-e", error_log.c_str(),
                              "-c",   conf.c_str(), nullptr};
        if (posix_spawn(&pid, binary, nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
            pid = 0;
            return;
        }
        for (int i = 0; i < 100; ++i) { // up to 2 s for it to listen
            httplib::Client probe("127.0.0.1", port);
            if (auto r = probe.Get(Query(SiteName(0))); r && r->status == 200)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        Stop();
    }
    void Stop() {
        if (pid > 0) {
            ::kill(pid, SIGQUIT);
            ::waitpid(pid, nullptr, 0);
            pid = 0;
        }
    }
    ~Nginx() {
        Stop();
        fs::remove_all(dir);
    }
};

void BM_FreshAnswersOverLoopback(benchmark::State& state) {
    Service service;
    httplib::Client warm("127.0.0.1", service.server->port());
    std::string body;
    for (int i = 0; i < kWarmSites; ++i)
        body = warm.Get(Query(SiteName(i)))->body;
    const int per_client = static_cast<int>(state.range(0));
    LoadResult ours;
    for (auto _ : state)
        ours = Load(service.server->port(), per_client);
    Report(state, "svc_", ours);

    Nginx nginx(body);
    if (nginx.pid == 0) {
        state.SetLabel("nginx not available: no comparison");
        return;
    }
    const LoadResult theirs = Load(nginx.port, per_client);
    Report(state, "nginx_", theirs);
    state.counters["ratio_median"] =
        Percentile(ours.latencies_ms, 0.5) / Percentile(theirs.latencies_ms, 0.5);
    state.counters["ratio_throughput"] =
        (theirs.latencies_ms.size() / theirs.seconds) / (ours.latencies_ms.size() / ours.seconds);
    state.SetLabel("body " + std::to_string(body.size()) + " bytes, " + std::to_string(kClients) +
                   " clients");
}
BENCHMARK(BM_FreshAnswersOverLoopback)
    ->Arg(5000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_MemoryOverDistinctSites(benchmark::State& state) {
    const int sites = static_cast<int>(state.range(0));
    for (auto _ : state) {
        Service service;
        const long before = RssKb();
        long peak = before;
        std::atomic<int> next{0};
        std::vector<std::thread> clients;
        for (int t = 0; t < kClients; ++t)
            clients.emplace_back([&] {
                httplib::Client client("127.0.0.1", service.server->port());
                client.set_keep_alive(true);
                for (int i; (i = next++) < sites;)
                    client.Get("/Calvren/Rivelo/sites.asp?sFrom=h&Key=1&sUrl=m" +
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
