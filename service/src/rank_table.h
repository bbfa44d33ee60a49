#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace valdane::svc {

// Up to three numbers kept per domain: Tranco {rank}; Common Crawl {harmonic centrality
// position, PageRank position, host count}.
struct RankValues {
    std::uint32_t v[3] = {0, 0, 0};
};

struct RankTableInfo {
    std::uint64_t count = 0;
    bool complete = true; // false when the source ended early or was cut at a limit
    std::int64_t created_ms = 0;
    std::string source; // where it was imported from
};

// An imported rank list on disk: an open-addressing hash table mapped into memory, so that
// opening is instant, a look-up is one probe sequence, and only touched pages are resident.
class RankTable {
  public:
    ~RankTable();
    RankTable(const RankTable&) = delete;
    RankTable& operator=(const RankTable&) = delete;
    // Null with *error when the file is missing, foreign or inconsistent.
    static std::unique_ptr<RankTable> Open(const std::filesystem::path& file, std::string* error);
    std::optional<RankValues> Find(std::string_view domain) const;
    const RankTableInfo& info() const { return info_; }

  private:
    RankTable() = default;
    const unsigned char* map_ = nullptr;
    std::size_t size_ = 0;
    std::uint64_t slots_ = 0;
    const unsigned char* table_ = nullptr;
    const char* names_ = nullptr;
    std::uint64_t names_size_ = 0;
    RankTableInfo info_;
};

// Collects domains in the order read (the first of a duplicate wins) and writes the table
// atomically: a reader never sees a half-written file.
class RankTableBuilder {
  public:
    void Add(std::string_view domain, RankValues values);
    std::uint64_t size() const { return entries_.size(); }
    // The number of distinct domains written; nullopt with *error when the file could not be.
    std::optional<std::uint64_t> Write(const std::filesystem::path& file, const RankTableInfo& info,
                                       std::string* error) const;

  private:
    struct Entry {
        std::uint64_t hash;
        std::uint64_t name;
        RankValues values;
    };
    std::string names_;
    std::vector<Entry> entries_;
};

// The table at `file`, opened once and reopened when the file is replaced (an import or the
// daily download). Null when there is none. Thread-safe.
std::shared_ptr<const RankTable> SharedRankTable(const std::filesystem::path& file);

} // namespace valdane::svc
