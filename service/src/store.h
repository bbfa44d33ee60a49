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

// What the service knows of one paced upstream besides its measurements, kept so that a
// restart neither forgets a suspension nor spends a daily budget twice. Times are wall ms.
struct UpstreamState {
    std::int64_t suspended_until_ms = 0; // 0: not suspended
    Status suspended_status = Status::Blocked;
    std::string suspended_why;
    std::int64_t budget_day = -1; // UTC day (ms / 86,400,000) that budget_spent counts
    std::int64_t budget_spent = 0;
    bool broken = false; // the canary says the definition no longer reads the page
    std::string broken_why;
    std::int64_t canary_ms = 0; // when the canary was last asked; 0: never
    Status canary_status = Status::Unsupported;
    std::string canary_detail;
};

// One measurement as a store keeps it, for copying a history between stores.
struct KeptMeasurement {
    std::int64_t id = 0; // the store's own: the order it kept its measurements in
    std::string site;
    Page page = Page::Sites;
    int column = 0;
    Measurement m;
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

// Every measurement the service ever took, kept in SQLite in the data folder or in PostgreSQL.
// Thread-safe: every call may come from any thread; one mutex serialises them on the one
// connection (an overview reads on a connection of its own).
class Store {
  public:
    virtual ~Store() = default;
    // One transaction per measurement: a killed service loses none that returned.
    virtual bool Record(const std::string& site, Page page, int column, const Measurement& m) = 0;
    // The columns one source measured together (columns[i] took measurements[i]), in one
    // transaction: all are kept or none. A store without transactions (a test's) records them
    // one by one.
    virtual bool RecordAll(const std::string& site, Page page, const std::vector<int>& columns,
                           const std::vector<Measurement>& measurements) {
        bool ok = columns.size() == measurements.size();
        for (std::size_t i = 0; ok && i < columns.size(); ++i)
            ok = Record(site, page, columns[i], measurements[i]);
        return ok;
    }
    // Every column the store holds for the site and page; nullopt when the store cannot answer.
    virtual std::optional<std::vector<Latest>> LatestRow(const std::string& site, Page page) = 0;
    // The overview pages: the sites answered for on that page in order, from the offset-th on.
    // Null when the store cannot answer.
    virtual std::unique_ptr<OverviewCursor> Overview(Page page, TableOrder order,
                                                     std::size_t offset) = 0;
    // Oldest first; since_ms 0 means all.
    virtual std::vector<Measurement> History(const std::string& site, Page page, int column,
                                             std::int64_t since_ms) = 0;
    // The state of a paced upstream, by provider name; nullopt when none was saved or the store
    // cannot answer. A store that keeps no such state (a test's) answers nullopt and refuses
    // to save.
    virtual std::optional<UpstreamState> LoadUpstream(const std::string& provider) {
        (void)provider;
        return std::nullopt;
    }
    virtual bool SaveUpstream(const std::string& provider, const UpstreamState& state) {
        (void)provider;
        (void)state;
        return false;
    }
    // What opening met (a new store, a damaged one set aside) and, while the newest Record
    // failed, that failure; for the home page.
    virtual std::vector<StoreNotice> Notices() const = 0;
    // For a load balancer: "" when the store answers and its layout is the service's, else why
    // not.
    virtual std::string Unready() {
        return LatestRow("", Page::Sites) ? "" : "the store does not answer";
    }

    // Copying a history between stores. A store that cannot (a test's) answers nullopt.
    // How many measurements it holds.
    virtual std::optional<std::int64_t> Count() { return std::nullopt; }
    // Up to n measurements kept after the one of id after_id, in the order kept.
    virtual std::optional<std::vector<KeptMeasurement>> Kept(std::int64_t after_id, std::size_t n) {
        (void)after_id;
        (void)n;
        return std::nullopt;
    }
    // Keeps measurements taken elsewhere in one transaction, skipping those it already holds
    // (same site, page, column, time and source), so that a copy may run again; how many were
    // new.
    virtual std::optional<std::size_t> Import(const std::vector<KeptMeasurement>& rows) {
        (void)rows;
        return std::nullopt;
    }
    // The providers whose state is saved.
    virtual std::optional<std::vector<std::string>> UpstreamNames() { return std::nullopt; }
};

// Opens or creates dir/measurements.db through env.store_vfs. A damaged file, or one that is
// not a store, is renamed aside (never deleted) and a new one started; the notice says so. Null
// with *error when nothing can be opened, or the file or its folder cannot be written (a
// read-only file or mount is the surroundings' fault, not the file's: it stays where it is).
std::unique_ptr<Store> OpenStore(const std::filesystem::path& dir, Env& env, std::string* error);

// Connects to the PostgreSQL database of uri (postgresql://user@host/db) and brings its layout
// up to date. Null with *error when the server cannot be reached or the database was laid out
// by a newer service. A connection lost later is a notice, and the store reconnects by itself.
std::unique_ptr<Store> OpenPgStore(const std::string& uri, Env& env, std::string* error);

// The store the `store` setting names: a postgresql:// URI, else SQLite in the folder the
// setting names (or the folder of its measurements.db), else in data_dir.
std::unique_ptr<Store> OpenConfiguredStore(const std::string& setting,
                                           const std::filesystem::path& data_dir, Env& env,
                                           std::string* error);
// Where that store is, for pages and logs: the URI without its password, or the SQLite file.
std::string StoreLocation(const std::string& setting, const std::filesystem::path& data_dir);

} // namespace valdane::svc
