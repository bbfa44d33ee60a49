// A first refresh of 50 new sites as the program makes it, in simulated time: the shipped
// configuration and pacing, search engines faked in process (each answers a count at once),
// and the service's engine on a fake clock. The program asks each site's sites, links and
// ranks pages in turn (60 s limit per request), asks again when the service's ready_in_s says
// a measuring cell should have its value, and refreshes everything every 21 minutes. Prints
// when the program's refresh ends and when the last value reaches it; takes the number of runs
// (default 3, the shipped jitter makes each run differ). Then a burst of paced requests from 16
// clients on the real clock: answer times, and instant columns never held back.
#include "config.h"
#include "engine.h"
#include "fakeengines.h"
#include "fakes.h"
#include "protocol.h"
#include "provider.h"
#include "store.h"
#include "tempdir.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <thread>

using namespace valdane::svc;

namespace {

constexpr int kSites = 50;
constexpr std::int64_t kRequestLimitMs = 60'000;
constexpr std::int64_t kAutoRefreshMs = 21 * 60'000;
constexpr Page kProgramPages[] = {Page::Sites, Page::Links, Page::Ranks};

struct Figures {
    double refresh_end_s = 0;  // the program's first pass over every site ended
    double last_stored_s = 0;  // the service had measured every cell it could
    double last_arrival_s = 0; // the program had received every value
    double slowest_answer_s = 0;
    int fetches = 0;
    int upstream_requests = 0;
};

// The service's engine as main.cpp builds it from the shipped configuration (plus `extra`),
// its search engines faked.
struct Service {
    Service(Clock& clock, const std::string& extra) : env{clock, http, resolver} {
        const std::filesystem::path file = dir.path / "service.toml";
        std::ofstream(file) << "data_dir = \"" << (dir.path / "data").string() << "\"\n"
                            << extra << "\n[providers.tranco]\nrefresh_hours = 0\n";
        std::string error;
        if (!LoadConfig(file, &config, &error) ||
            !(store = OpenStore(config.data_dir, env, &error))) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::exit(1);
        }
        ProviderContext context{env, *store, config};
        auto providers = MakeProviders(context, &error);
        engine = std::make_unique<Engine>(config, *store, env, std::move(providers));
    }

    test::TempDir dir;
    bench::FakeEngines http;
    test::FakeResolver resolver;
    Env env;
    Config config;
    std::unique_ptr<Store> store;
    std::unique_ptr<Engine> engine;
};

class Simulation {
  public:
    Simulation() : service_(clock_, ""), start_(clock_.MonoMs()) {}

    Figures Run() {
        Figures f;
        std::vector<std::int64_t> refetch(kSites, -1); // mono time of the program's next fetch
        std::vector<bool> complete(kSites, false);
        auto fetch = [&](int site) {
            ++f.fetches;
            std::vector<ColumnAnswer> cells;
            for (Page page : kProgramPages) {
                const std::int64_t asked = clock_.MonoMs();
                if (!service_.engine->Answer(page, Site(site), asked)) {
                    std::fprintf(stderr, "answer \"false\" for %s\n", Site(site).c_str());
                    std::exit(1);
                }
                const std::int64_t took = clock_.MonoMs() - asked;
                f.slowest_answer_s = std::max(f.slowest_answer_s, took / 1000.0);
                if (took > kRequestLimitMs)
                    std::fprintf(stderr, "an answer took %.0f s\n", took / 1000.0);
                const auto state = service_.engine->State(page, Site(site));
                cells.insert(cells.end(), state->begin(), state->end());
            }
            const auto ready = ReadyInSeconds(cells, clock_.NowMs());
            refetch[static_cast<std::size_t>(site)] = ready ? clock_.MonoMs() + *ready * 1000 : -1;
            if (!ready && !complete[static_cast<std::size_t>(site)]) {
                complete[static_cast<std::size_t>(site)] = true;
                f.last_arrival_s = Elapsed();
            }
        };
        for (int site = 0; site < kSites; ++site)
            fetch(site);
        f.refresh_end_s = Elapsed();
        std::int64_t next_refresh = start_ + kAutoRefreshMs;
        while (std::count(complete.begin(), complete.end(), true) < kSites) {
            Settle();
            if (f.last_stored_s == 0 && !Measuring())
                f.last_stored_s = Elapsed();
            // The next event: a refetch, the automatic refresh, or a measurement's turn.
            std::int64_t next = next_refresh;
            for (std::int64_t t : refetch)
                if (t >= 0)
                    next = std::min(next, t);
            next = std::min(next, NextTurn());
            clock_.Advance(std::max<std::int64_t>(next - clock_.MonoMs(), 0));
            if (clock_.MonoMs() >= next_refresh) {
                for (int site = 0; site < kSites; ++site)
                    fetch(site);
                next_refresh += kAutoRefreshMs;
                continue;
            }
            for (int site = 0; site < kSites; ++site)
                if (refetch[static_cast<std::size_t>(site)] >= 0 &&
                    refetch[static_cast<std::size_t>(site)] <= clock_.MonoMs())
                    fetch(site);
        }
        Settle();
        f.upstream_requests = service_.http.requests;
        return f;
    }

  private:
    static std::string Site(int i) { return "site" + std::to_string(i) + ".example.com"; }
    double Elapsed() { return (clock_.MonoMs() - start_) / 1000.0; }

    std::vector<ColumnAnswer> Cells() {
        std::vector<ColumnAnswer> cells;
        for (int site = 0; site < kSites; ++site)
            for (Page page : kProgramPages) {
                const auto state = service_.engine->State(page, Site(site));
                cells.insert(cells.end(), state->begin(), state->end());
            }
        return cells;
    }
    bool Measuring() {
        const auto cells = Cells();
        return std::any_of(cells.begin(), cells.end(), [](auto& a) { return a.measuring; });
    }
    // The earliest expected start of a queued measurement (wall ms) as a mono time.
    std::int64_t NextTurn() {
        std::int64_t next = INT64_MAX;
        for (const ColumnAnswer& a : Cells())
            if (a.measuring && a.next_attempt_ms > clock_.NowMs())
                next = std::min(next, a.next_attempt_ms - clock_.NowMs() + clock_.MonoMs());
        return next;
    }
    // Real time passes until no measurement is due now: the workers have done what the
    // simulated moment allows.
    void Settle() {
        for (;;) {
            const auto cells = Cells();
            if (std::none_of(cells.begin(), cells.end(), [&](auto& a) {
                    return a.measuring && a.next_attempt_ms <= clock_.NowMs();
                }))
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    test::FakeClock clock_;
    Service service_;
    std::int64_t start_ = 0;
};

// Requests of 16 clients at once for new sites whose sites page mixes paced engines with
// instant (fixed) columns, on the real clock: how long an answer takes, and whether an
// instant column ever comes back empty.
// `columns`: the sites page's sources; with every column fixed, the same burst is the baseline.
void Burst(const char* what, const std::string& columns) {
    constexpr int kClients = 16;
    constexpr int kPerClient = 200;
    Service service(DefaultEnv().clock, "[columns]\nsites = [" + columns +
                                            "]\n[providers.fixed]\ntype = \"fixed\"\n"
                                            "values.sites = [1, 2, 3, 4, 5, 6, 7]\n");
    std::vector<std::vector<double>> took(kClients);
    std::atomic<int> empty{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c)
        clients.emplace_back([&, c] {
            for (int i = 0; i < kPerClient; ++i) {
                const std::string site = "c" + std::to_string(c) + "s" + std::to_string(i) + ".com";
                const auto t0 = std::chrono::steady_clock::now();
                const std::string answer = service.engine->Answer(Page::Sites, site).value_or("");
                took[static_cast<std::size_t>(c)].push_back(
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                        .count());
                const std::size_t second = answer.find(',') + 1;
                if (answer.compare(second, 2, "2,") != 0 ||
                    answer.find(",6,") == std::string::npos) {
                    ++empty;
                    std::fprintf(stderr, "%s: \"%s\"\n", site.c_str(), answer.c_str());
                }
            }
        });
    for (std::thread& t : clients)
        t.join();
    std::vector<double> all;
    for (const auto& client : took)
        all.insert(all.end(), client.begin(), client.end());
    std::sort(all.begin(), all.end());
    std::printf("%-28s p50 %6.2f ms, p99 %6.2f ms, worst %6.2f ms; instant columns missing: %d\n",
                what, all[all.size() / 2], all[all.size() * 99 / 100], all.back(), empty.load());
}

std::string Minutes(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%2d min %02d s", static_cast<int>(s) / 60,
                  static_cast<int>(s) % 60);
    return text;
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 3;
    std::printf("first refresh of %d new sites, shipped pacing, simulated time\n", kSites);
    std::printf("run  refresh ends   last value stored  last value in program  slowest answer  "
                "fetches  upstream requests\n");
    Figures worst;
    for (int run = 1; run <= runs; ++run) {
        const Figures f = Simulation().Run();
        std::printf("%3d  %s  %s      %s          %6.1f s      %5d  %5d\n", run,
                    Minutes(f.refresh_end_s).c_str(), Minutes(f.last_stored_s).c_str(),
                    Minutes(f.last_arrival_s).c_str(), f.slowest_answer_s, f.fetches,
                    f.upstream_requests);
        worst.refresh_end_s = std::max(worst.refresh_end_s, f.refresh_end_s);
        worst.last_stored_s = std::max(worst.last_stored_s, f.last_stored_s);
        worst.last_arrival_s = std::max(worst.last_arrival_s, f.last_arrival_s);
    }
    std::printf("worst: refresh ends %s, last value in the program %s\n",
                Minutes(worst.refresh_end_s).c_str(), Minutes(worst.last_arrival_s).c_str());
    std::printf("\n16 clients x 200 new sites each, sites page, real clock (side by side):\n");
    for (int run = 0; run < 3; ++run) {
        Burst("5 paced engines + 2 fixed:",
              R"("baidu", "fixed", "sogou", "yahoo", "so360", "fixed", "bing")");
        Burst("7 fixed (baseline):",
              R"("fixed", "fixed", "fixed", "fixed", "fixed", "fixed", "fixed")");
    }
    return 0;
}
