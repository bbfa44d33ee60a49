// Targets: importing a 1,000,000-line Tranco list under 10 s, a look-up under 10 µs, the
// process under 150 MB with the list loaded and every part of it touched.
#include "import.h"
#include "rank_table.h"
#include "rss.h"

#include <benchmark/benchmark.h>

#include <fstream>
#include <random>

using namespace valdane::svc;

namespace {

constexpr int kDomains = 1'000'000;

std::string Domain(int i) {
    return "site" + std::to_string(i * 7919 % 10'000'019) + (i % 3 ? ".com" : ".cn");
}

const std::filesystem::path& Dir() {
    static const std::filesystem::path dir = [] {
        auto d = std::filesystem::temp_directory_path() / "valdane-bench-ranks";
        std::filesystem::create_directories(d);
        std::ofstream csv(d / "top-1m.csv");
        for (int i = 1; i <= kDomains; ++i)
            csv << i << ',' << Domain(i) << "\r\n";
        return d;
    }();
    return dir;
}

void BM_ImportTranco(benchmark::State& state) {
    const auto csv = (Dir() / "top-1m.csv").string();
    for (auto _ : state) {
        const ImportResult r =
            ImportRanks(RankKind::Tranco, DefaultEnv(), csv, Dir() / "tranco.bin", {});
        if (!r.ok || r.entries != kDomains)
            state.SkipWithError(r.error.c_str());
    }
}
BENCHMARK(BM_ImportTranco)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_Lookup(benchmark::State& state) {
    const auto table = SharedRankTable(Dir() / "tranco.bin");
    if (!table) {
        state.SkipWithError("no table: run BM_ImportTranco first");
        return;
    }
    std::vector<std::string> names;
    std::mt19937 random(7);
    for (int i = 0; i < 4096; ++i) // half listed, half not
        names.push_back(i % 2 ? Domain(1 + random() % kDomains)
                              : "absent" + std::to_string(i) + ".net");
    std::size_t i = 0, found = 0;
    for (auto _ : state) {
        // Through the shared handle, as providers look up.
        const auto t = SharedRankTable(Dir() / "tranco.bin");
        found += t->Find(names[i++ & 4095]).has_value();
    }
    benchmark::DoNotOptimize(found);
}
BENCHMARK(BM_Lookup);

void BM_LoadedMemory(benchmark::State& state) {
    for (auto _ : state) {
        const auto table = SharedRankTable(Dir() / "tranco.bin");
        std::size_t found = 0;
        for (int i = 1; i <= kDomains; ++i) // touches every page of the table
            found += table->Find(Domain(i)).has_value();
        if (found != kDomains)
            state.SkipWithError("entries missing");
        state.counters["rss_mb"] = static_cast<double>(RssKb()) / 1024;
    }
}
BENCHMARK(BM_LoadedMemory)->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace

BENCHMARK_MAIN();
