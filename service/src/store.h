#pragma once

#include "env.h"
#include "measurement.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace valdane::svc {

// The newest measurement of one column and the newest fresh one (which may be the same).
struct Latest {
    int column = 0;
    Measurement last;
    std::optional<Measurement> good;
};

struct SiteRow {
    std::string site;
    std::vector<Latest> columns; // every column the store holds for the site and page
};

// Overview order: by site name, or by one column's shown value (missing values always last,
// ties by site).
struct TableOrder {
    int column = -1; // -1: the site name
    bool descending = false;
};

// The overview's rows in order, a few at a time, from a read snapshot of its own: a view of
// any size costs one batch of rows. Used by one thread at a time.
class OverviewCursor {
  public:
    virtual ~OverviewCursor() = default;
    // How many sites the whole overview holds; nullopt when the store cannot answer.
    virtual std::optional<std::size_t> Total() = 0;
    // Up to n more rows; empty at the end. nullopt when the store cannot answer.
    virtual std::optional<std::vector<SiteRow>> Next(std::size_t n) = 0;
};

// Every measurement the service ever took, kept in SQLite in the data folder. Thread-safe.
class Store {
  public:
    virtual ~Store() = default;
    // One transaction per measurement: a killed service loses none that returned.
    virtual bool Record(const std::string& site, Page page, int column, const Measurement& m) = 0;
    // Every column the store holds for the site and page; nullopt when the store cannot answer.
    virtual std::optional<std::vector<Latest>> LatestRow(const std::string& site, Page page) = 0;
    // The overview pages: the sites answered for on that page in order, from the offset-th on.
    // Null when the store cannot answer.
    virtual std::unique_ptr<OverviewCursor> Overview(Page page, TableOrder order,
                                                     std::size_t offset) = 0;
    // Oldest first; since_ms 0 means all.
    virtual std::vector<Measurement> History(const std::string& site, Page page, int column,
                                             std::int64_t since_ms) = 0;
    // Problems met when opening (a corrupt store set aside, ...), for the home page.
    virtual std::vector<std::string> Notices() const = 0;
};

// Opens or creates dir/measurements.db. A corrupt or unreadable file is renamed aside (never
// deleted) and a new one started; the notice says so. Null with *error when nothing can be
// opened.
std::unique_ptr<Store> OpenStore(const std::filesystem::path& dir, Env& env, std::string* error);

} // namespace valdane::svc
