// A cold refresh of 300 new sites by one instance and by three behind three egress names,
// sharing one PostgreSQL database (a server started here, as the tests do), in simulated time:
// the shipped configuration and pacing (15 s plus up to 5 s jitter per engine), its search
// engines faked in process. The program asks each site's sites, links and ranks pages of the
// balancer (round robin), and once more of the next instance, as its re-asks would land. Prints
// when the last engine request went out (the refresh's length), the requests made, and how many
// measurements were made twice (none should be: each egress asks its own canaries, once per
// engine that has one). Takes the number of runs (default 3).
#include "config.h"
#include "engine.h"
#include "fakeengines.h"
#include "fakes.h"
#include "fleet.h"
#include "pgserver.h"
#include "protocol.h"
#include "provider.h"
#include "store.h"
#include "tempdir.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

using namespace valdane::svc;

namespace {

constexpr int kSites = 300;
constexpr Page kProgramPages[] = {Page::Sites, Page::Links, Page::Ranks};
// The simulated clock moves by this much at a time; each step lets the workers settle first.
constexpr std::int64_t kStepMs = 1000;

std::string Site(int i) {
    return "site" + std::to_string(i) + ".example.com";
}

// One valdane-service as main.cpp builds it on a shared database.
struct Instance {
    Instance(Env& env, const std::string& uri, const std::string& egress) {
        const std::filesystem::path file = dir.path / "service.toml";
        std::ofstream(file) << "data_dir = \"" << (dir.path / "data").string() << "\"\n"
                            << "egress = \"" << egress << "\"\nstore = \"" << uri << "\"\n"
                            << "[providers.tranco]\nrefresh_hours = 0\n";
        std::string error;
        if (!LoadConfig(file, &config, &error) ||
            !(store = OpenConfiguredStore(config.store, config.data_dir, env, &error)) ||
            (!uri.empty() &&
             !(fleet =
                   Fleet::Open(uri, {"", config.egress, egress, config.lease_ms}, env, &error)))) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::exit(1);
        }
        ProviderContext context{env, *store, config};
        auto providers = MakeProviders(context, &error);
        if (fleet)
            fleet->SharePacing(providers);
        engine = std::make_unique<Engine>(config, *store, env, std::move(providers));
        engine->ShareWork(fleet.get());
    }
    test::TempDir dir;
    Config config;
    std::unique_ptr<Store> store;
    std::unique_ptr<Fleet> fleet;
    std::unique_ptr<Engine> engine;
};

struct Figures {
    double minutes = 0; // the first request to the last
    int requests = 0;
    int repeated = 0; // measurements made twice
};

// shared: on PostgreSQL; otherwise one instance alone, as without it.
Figures Refresh(int instances, bool shared) {
    test::FakeClock clock;
    bench::FakeEngines http;
    http.clock = &clock;
    test::FakeResolver resolver;
    Env env{clock, http, resolver};
    const std::string uri = shared ? test::SharedPgServer().NewDatabase() : "";
    std::vector<std::unique_ptr<Instance>> fleet;
    for (int i = 0; i < instances; ++i)
        fleet.push_back(std::make_unique<Instance>(env, uri, "egress" + std::to_string(i)));
    const std::int64_t start = clock.NowMs();
    for (int s = 0; s < kSites; ++s)
        for (int again = 0; again < 2; ++again)
            for (Page page : kProgramPages)
                fleet[static_cast<std::size_t>((s + again) % instances)]->engine->Answer(page,
                                                                                         Site(s));
    // Workers have settled when the engines saw no request for a few polls in a row.
    const auto settle = [&] {
        for (int quiet = 0, seen = -1; quiet < 3;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            quiet = http.requests == seen ? quiet + 1 : 0;
            seen = http.requests;
        }
    };
    const auto measuring = [&] {
        for (auto& i : fleet)
            for (int s = 0; s < kSites; ++s)
                for (Page page : kProgramPages) {
                    const auto cells = i->engine->State(page, Site(s));
                    for (const ColumnAnswer& a : *cells)
                        if (a.measuring)
                            return true;
                }
        return false;
    };
    for (std::int64_t step = 1;; ++step) {
        settle();
        if (step % 60 == 0 && !measuring())
            break;
        clock.Advance(kStepMs);
    }
    return {(http.last_ms - start) / 60000.0, http.requests.load(), http.repeated.load()};
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 3;
    if (!test::SharedPgServer().error().empty()) {
        std::fprintf(stderr, "PostgreSQL: %s\n", test::SharedPgServer().error().c_str());
        return 1;
    }
    std::printf("cold refresh of %d new sites, shipped pacing, simulated time (%lld ms steps)\n",
                kSites, static_cast<long long>(kStepMs));
    std::printf("run  alone (no database)    one instance, shared   three, three egress  "
                "ratio\n");
    double worst = 0;
    for (int run = 1; run <= runs; ++run) {
        const Figures alone = Refresh(1, false);
        const Figures one = Refresh(1, true);
        const Figures three = Refresh(3, true);
        const double ratio = three.minutes / one.minutes;
        worst = std::max(worst, ratio);
        std::printf("%3d  %6.1f min (%4d req)  %6.1f min (%4d req)  %6.1f min (%4d req)  %.2f  "
                    "measurements made twice: %d %d %d\n",
                    run, alone.minutes, alone.requests, one.minutes, one.requests, three.minutes,
                    three.requests, ratio, alone.repeated, one.repeated, three.repeated);
        std::fflush(stdout);
    }
    std::printf("worst ratio %.2f (goal about 0.33)\n", worst);
    return 0;
}
