#pragma once

#include "env.h"
#include "measurement.h"

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

// What the home page says about the store.
struct StoreNotice {
    enum class Level {
        Info,    // a new store was started
        Warning, // a damaged file was set aside, an empty file taken as a new store
        Error,   // measurements cannot be recorded now
    };
    Level level = Level::Info;
    std::string text;          // Error: why the newest Record failed
    std::int64_t since_ms = 0; // Error: the first failed Record since the last success
};

// Every measurement the service ever took, kept in SQLite in the data folder. Thread-safe.
class Store {
  public:
    virtual ~Store() = default;
    // One transaction per measurement: a killed service loses none that returned.
    virtual bool Record(const std::string& site, Page page, int column, const Measurement& m) = 0;
    // Every column the store holds for the site and page; nullopt when the store cannot answer.
    virtual std::optional<std::vector<Latest>> LatestRow(const std::string& site, Page page) = 0;
    // The overview pages: every site answered for on that page, sorted by site.
    virtual std::vector<SiteRow> Overview(Page page) = 0;
    // Oldest first; since_ms 0 means all.
    virtual std::vector<Measurement> History(const std::string& site, Page page, int column,
                                             std::int64_t since_ms) = 0;
    // What opening met (a new store, a damaged one set aside) and, while the newest Record
    // failed, that failure; for the home page.
    virtual std::vector<StoreNotice> Notices() const = 0;
};

// Opens or creates dir/measurements.db through env.store_vfs. A damaged file, or one that is
// not a store, is renamed aside (never deleted) and a new one started; the notice says so. Null
// with *error when nothing can be opened, or the file or its folder cannot be written (a
// read-only file or mount is the surroundings' fault, not the file's: it stays where it is).
std::unique_ptr<Store> OpenStore(const std::filesystem::path& dir, Env& env, std::string* error);

} // namespace valdane::svc
