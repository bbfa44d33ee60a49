// A rank list file (plain, gzip or zip) imported as the command line does: the summary adds
// up, and the table written holds exactly the domains the summary counts.
// Input: selector byte (even: Tranco CSV, odd: Common Crawl ranks), then the file bytes.

#include "servicefuzz.h"

#include "import.h"
#include "rank_table.h"

#include <fstream>

using namespace valdane::svc;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const std::filesystem::path source = ScratchPath("list"), table = ScratchPath("table.bin");
    {
        std::ofstream out(source, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
        FUZZ_CHECK(out.good());
    }
    std::filesystem::remove(table);
    const RankKind kind = data[0] % 2 == 0 ? RankKind::Tranco : RankKind::CcRanks;
    const ImportResult r = ImportRanks(kind, DefaultEnv(), source.string(), table, {});
    FUZZ_CHECK(r.ok || !r.error.empty());
    FUZZ_CHECK(r.entries + r.skipped <= r.lines);
    if (!r.ok)
        return 0;
    FUZZ_CHECK(r.entries > 0);
    std::string error;
    const std::unique_ptr<RankTable> written = RankTable::Open(table, &error);
    FUZZ_CHECK(written && written->info().count == r.entries);
    FUZZ_CHECK(written->info().complete == r.complete);
    return 0;
}
