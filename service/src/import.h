#pragma once

#include "config.h"
#include "env.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace valdane::svc {

enum class RankKind {
    Tranco,  // "rank,domain" CSV, plain or in a .zip
    CcRanks, // Common Crawl *-domain-ranks.txt(.gz): tab separated, reversed host names
    CcLinks, // referring-domain counts from a Common Crawl domain graph (vertices + edges)
};

struct ImportOptions {
    std::uint64_t max_entries = 0; // 0: no limit; the table is marked incomplete when cut
    std::int64_t timeout_ms = 30LL * 60 * 1000; // a download's whole transfer
    // Called now and then while reading: lines read, bytes received.
    std::function<void(std::uint64_t lines, std::uint64_t bytes)> progress;
    const std::atomic<bool>* cancel = nullptr; // set: stop reading, keep the old table
};

struct ImportResult {
    bool ok = false;
    std::string error;
    std::uint64_t lines = 0;   // lines read
    std::uint64_t entries = 0; // domains stored
    std::uint64_t skipped = 0; // lines that were not a list entry
    std::uint64_t bytes = 0;   // bytes read from the source
    bool complete = true;      // false: the source ended early (truncated) or was cut
};

// Where the imported list of a kind lives in the data folder.
std::filesystem::path RankFile(const Config& config, RankKind kind);

// Streams `source` (a file, or an http(s) address fetched through env.http), plain, gzip or
// zip, into a rank table at `out`. The old table stays in place unless the import succeeds.
ImportResult ImportRanks(RankKind kind, Env& env, const std::string& source,
                         const std::filesystem::path& out, const ImportOptions& options);

// Counts referring domains from a Common Crawl domain graph: the in-degree of each vertex in
// `edges` ("from_id<TAB>to_id"), then `vertices` ("id<TAB>reversed_domain<TAB>n_hosts") names
// them. Stores domains with a count above 0; with `max_entries` only the most linked ones.
ImportResult ImportCcLinks(Env& env, const std::string& vertices, const std::string& edges,
                           const std::filesystem::path& out, const ImportOptions& options);

// `valdane-service --import tranco|cc-ranks FILE|URL` (`sources` one) and
// `--import-cc-links VERTICES EDGES` (kind "cc-links", `sources` two): progress on a terminal,
// a summary at the end. Returns the process exit code.
int RunImport(const Config& config, const std::string& kind,
              const std::vector<std::string>& sources);

} // namespace valdane::svc
