// The alert rules judged after each stored measurement: 10,000 sites, 20 rules, the engine's
// 8 workers reporting at once. Counts move a little on every measurement (each one writes its
// new last-good value), and one in fifty falls by half (raising and later clearing alerts).
#include "alerts.h"
#include "fakes.h"
#include "store.h"
#include "tempdir.h"

#include <benchmark/benchmark.h>
#include <toml++/toml.h>

#include <atomic>

using namespace valdane::svc;
using namespace valdane::svc::test;

namespace {

constexpr int kSites = 10000;

struct World {
    TempDir dir;
    TestEnv t;
    Config config;
    std::unique_ptr<Store> store;
    std::unique_ptr<Alerts> alerts;
    std::atomic<std::uint64_t> next{0};

    World() {
        std::string rules;
        for (int column = 0; column < 7; ++column)
            rules += "[[rules]]\nkind='drop'\npage='sites'\ncolumn=" + std::to_string(column) +
                     "\npercent=30\n[[rules]]\nkind='zero'\npage='sites'\ncolumn=" +
                     std::to_string(column) + "\n";
        for (int i = 0; i < 3; ++i)
            rules +=
                "[[rules]]\nkind='failing'\nhours=" + std::to_string(6 + i) +
                "\n[[rules]]\nkind='drop'\npage='links'\npercent=" + std::to_string(20 + 10 * i) +
                "\n";
        ReadAlertConfig(toml::parse(rules), &config); // 14 + 6 = 20 rules
        std::string error;
        store = OpenStore(dir.path, t.env, &error);
        alerts = Alerts::Open(dir.path, config, *store, t.env, &error);
        for (int site = 0; site < kSites; ++site)
            Observe(site);
    }

    void Observe(std::uint64_t n) {
        Measurement m;
        m.status = Status::Ok;
        m.source = "baidu";
        const int site = static_cast<int>(n % kSites);
        m.number = (n / kSites) % 50 == 49 ? 500 : 1000 + static_cast<std::int64_t>(n % 97);
        alerts->Observe("site" + std::to_string(site) + ".com", Page::Sites, {site % 7}, {m});
    }
};

World& TheWorld() {
    static World world;
    return world;
}

void BM_ObserveOneMeasurement(benchmark::State& state) {
    World& w = TheWorld();
    for (auto _ : state)
        w.Observe(w.next++);
    state.counters["rules"] = static_cast<double>(w.config.alert_rules.size());
}
BENCHMARK(BM_ObserveOneMeasurement)->Threads(1)->Threads(8)->UseRealTime()->Repetitions(5);

} // namespace

BENCHMARK_MAIN();
