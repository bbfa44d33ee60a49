// The store in PostgreSQL, for several instances sharing one history. Same tables and meaning
// as the SQLite store (store.cpp); the SQL differs where the dialects do.
//
// Calls borrow a connection from a small pool (kPoolSize): an answer's read on a server thread
// does not queue behind another thread's read or behind a writer waiting for a column's lock
// (kLockColumn), which another instance may hold. Each connection keeps its own prepared
// statements and is reset where it is found lost. An overview, which may be read for minutes by
// a CSV download, opens a connection of its own so that it never keeps one from the pool.
#include "log.h"
#include "pg.h"
#include "store.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <unordered_map>

namespace valdane::svc {
namespace {

using pg::Param;

// Each entry brings the layout from version i to i + 1 (the first is the SQLite file's layout
// 2). Applied at start in one transaction under an advisory lock, so that instances starting
// together migrate once.
const std::vector<std::vector<const char*>> kMigrations = {
    {
        R"sql(CREATE TABLE measurements(
            id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
            site TEXT COLLATE "C" NOT NULL, page TEXT NOT NULL, col INTEGER NOT NULL,
            status TEXT NOT NULL, number BIGINT, text TEXT NOT NULL,
            source TEXT NOT NULL, detail TEXT NOT NULL, time_ms BIGINT NOT NULL))sql",
        "CREATE INDEX measurements_by_column ON measurements(site, page, col, time_ms)",
        R"sql(CREATE TABLE latest(
            site TEXT COLLATE "C" NOT NULL, page TEXT NOT NULL, col INTEGER NOT NULL,
            last_id BIGINT NOT NULL, last_ms BIGINT NOT NULL, good_id BIGINT, good_ms BIGINT,
            shown BIGINT, prev BIGINT, prev_ms BIGINT, week BIGINT, week_ms BIGINT,
            month BIGINT, month_ms BIGINT, d0 BIGINT, d7 BIGINT, d30 BIGINT,
            PRIMARY KEY(site, page, col)))sql",
        "CREATE INDEX latest_by_shown ON latest(page, col, shown, site)",
        "CREATE INDEX latest_by_d0 ON latest(page, col, d0, site)",
        "CREATE INDEX latest_by_d7 ON latest(page, col, d7, site)",
        "CREATE INDEX latest_by_d30 ON latest(page, col, d30, site)",
        R"sql(CREATE TABLE sites(page TEXT NOT NULL, site TEXT COLLATE "C" NOT NULL,
            PRIMARY KEY(page, site)))sql",
        R"sql(CREATE TABLE upstreams(
            provider TEXT PRIMARY KEY,
            suspended_until_ms BIGINT NOT NULL, suspended_status TEXT NOT NULL,
            suspended_why TEXT NOT NULL, budget_day BIGINT NOT NULL, budget_spent BIGINT NOT NULL,
            broken BOOLEAN NOT NULL, broken_why TEXT NOT NULL, canary_ms BIGINT NOT NULL,
            canary_status TEXT NOT NULL, canary_detail TEXT NOT NULL))sql",
    },
    // As the SQLite file's layout 3: a change indexed only where there is one.
    {
        "DROP INDEX latest_by_d0",
        "DROP INDEX latest_by_d7",
        "DROP INDEX latest_by_d30",
        "CREATE INDEX latest_with_d0 ON latest(page, col, d0, site) WHERE d0 IS NOT NULL",
        "CREATE INDEX latest_with_d7 ON latest(page, col, d7, site) WHERE d7 IS NOT NULL",
        "CREATE INDEX latest_with_d30 ON latest(page, col, d30, site) WHERE d30 IS NOT NULL",
        "CREATE INDEX latest_unchanged ON latest(page, col, site) INCLUDE (d0, d7, d30) WHERE d0 "
        "IS NULL OR d7 IS NULL OR d30 IS NULL",
    },
};
const auto kSchemaVersion = static_cast<std::int64_t>(kMigrations.size());
constexpr const char* kMigrationLock = "SELECT pg_advisory_xact_lock(7355608001)";

// One writer per column at a time, across instances: `latest` is worked out from the history
// the writer sees, which must hold the other's measurement once it committed. Lists the site.
constexpr const char* kLockColumn =
    "WITH locked AS (SELECT pg_advisory_xact_lock(hashtextextended($1 || '/' || $2 || '/' || "
    "$3, 0))) INSERT INTO sites(page, site) SELECT $2, $1 FROM locked ON CONFLICT DO NOTHING";

// With $10 true, one the store already holds (a copy run again) is skipped: no row returned.
constexpr const char* kInsert = R"sql(
INSERT INTO measurements(site, page, col, status, number, text, source, detail, time_ms)
SELECT $1, $2, $3, $4, $5, $6, $7, $8, $9
WHERE NOT ($10::boolean AND EXISTS (SELECT 1 FROM measurements h WHERE h.site = $1
    AND h.page = $2 AND h.col = $3 AND h.time_ms = $9 AND h.source = $7))
RETURNING id)sql";

// The value a cell shows (pages.cpp ShownValue); NULL when the measurement stands for none.
#define SHOWN(m)                                                                                   \
    "CASE WHEN " m ".status = 'ok' AND " m ".number >= 0 THEN " m ".number WHEN " m                \
    ".status = 'not-found' AND coalesce(" m ".number, 0) >= 0 THEN coalesce(" m ".number, 0) END"
#define OF_COLUMN " FROM measurements m WHERE m.site = $1 AND m.page = $2 AND m.col = $3 "
#define NEWEST " ORDER BY m.time_ms DESC, m.id DESC LIMIT 1"
#define SHOWN_BEFORE(name, condition)                                                              \
    name " AS (SELECT " SHOWN("m") " AS v, m.time_ms" OF_COLUMN "AND " condition " AND " SHOWN(    \
        "m") " IS NOT NULL AND (SELECT shown FROM n) IS NOT NULL" NEWEST ")"

// A column's row of `latest` worked out again from its history, as store.cpp's LatestWriter
// does: an out-of-order record never hides a newer one, and the values its change is measured
// against (the newest shown before it, and at least 7 and 30 days before it) come along. Each
// part is one step back along measurements_by_column.
constexpr const char*
    kRefresh =
        "WITH n AS (SELECT m.id, m.time_ms, " SHOWN(
            "m") " AS shown" OF_COLUMN NEWEST "),"
                 " g AS (SELECT m.id, m.time_ms, " SHOWN(
                     "m") " AS shown" OF_COLUMN "AND m.status IN ('ok', 'not-found')" NEWEST
                          "), " SHOWN_BEFORE("p", "(m.time_ms, m.id) < (SELECT time_ms, id FROM n)") ", " SHOWN_BEFORE(
                              "w",
                              "m.time_ms <= "
                              "(SELECT "
                              "time_ms FROM "
                              "n) - "
                              "604800000") ", " SHOWN_BEFORE("mo", "m.time_ms <= (SELECT time_ms "
                                                                   "FROM n) - 2592000000") R"sql(
INSERT INTO latest AS l(site, page, col, last_id, last_ms, good_id, good_ms, shown, prev, prev_ms,
    week, week_ms, month, month_ms, d0, d7, d30)
SELECT $1, $2, $3, n.id, n.time_ms, g.id, g.time_ms, coalesce(n.shown, g.shown), p.v, p.time_ms,
    w.v, w.time_ms, mo.v, mo.time_ms, n.shown - p.v, n.shown - w.v, n.shown - mo.v
FROM n LEFT JOIN g ON true LEFT JOIN p ON true LEFT JOIN w ON true LEFT JOIN mo ON true
ON CONFLICT(site, page, col) DO UPDATE SET last_id = excluded.last_id,
    last_ms = excluded.last_ms, good_id = excluded.good_id, good_ms = excluded.good_ms,
    shown = excluded.shown, prev = excluded.prev, prev_ms = excluded.prev_ms,
    week = excluded.week, week_ms = excluded.week_ms, month = excluded.month,
    month_ms = excluded.month_ms, d0 = excluded.d0, d7 = excluded.d7, d30 = excluded.d30)sql";

#undef SHOWN_BEFORE
#undef NEWEST
#undef OF_COLUMN
#undef SHOWN

#define MEASUREMENT_COLUMNS(m)                                                                     \
    m ".status, " m ".number, " m ".text, " m ".source, " m ".detail, " m ".time_ms"

constexpr const char* kLatestRows =
    "SELECT l.site, l.col, " MEASUREMENT_COLUMNS("a") ", g.id, " MEASUREMENT_COLUMNS(
        "g") ", l.prev, l.prev_ms, l.week, l.week_ms, l.month, l.month_ms"
             " FROM latest l JOIN measurements a ON a.id = l.last_id"
             " LEFT JOIN measurements g ON g.id = l.good_id"
             " WHERE l.site = ANY($1::text[]) AND l.page = $2 ORDER BY l.site, l.col";

constexpr const char* kHistory = "SELECT " MEASUREMENT_COLUMNS(
    "m") " FROM measurements m"
         " WHERE m.site = $1 AND m.page = $2 AND m.col = $3 AND m.time_ms >= $4"
         " ORDER BY m.time_ms, m.id";

constexpr const char* kKept = "SELECT m.id, m.site, m.page, m.col, " MEASUREMENT_COLUMNS(
    "m") " FROM measurements m WHERE m.id > $1 ORDER BY m.id LIMIT $2";

#undef MEASUREMENT_COLUMNS

constexpr const char* kUpstreamColumns =
    "suspended_until_ms, suspended_status, suspended_why, budget_day, budget_spent, broken, "
    "broken_why, canary_ms, canary_status, canary_detail";

constexpr const char* kSaveUpstream =
    "INSERT INTO upstreams(provider, suspended_until_ms, suspended_status, suspended_why, "
    "budget_day, budget_spent, broken, broken_why, canary_ms, canary_status, canary_detail) "
    "VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11) ON CONFLICT(provider) DO UPDATE SET "
    "suspended_until_ms = excluded.suspended_until_ms, suspended_status = "
    "excluded.suspended_status, suspended_why = excluded.suspended_why, budget_day = "
    "excluded.budget_day, budget_spent = excluded.budget_spent, broken = excluded.broken, "
    "broken_why = excluded.broken_why, canary_ms = excluded.canary_ms, canary_status = "
    "excluded.canary_status, canary_detail = excluded.canary_detail";

// The overview's sites in order, as in store.cpp: %1$s the direction, %2$s the key. By site
// from `sites`; by a key along its index: the sites with the key, then those with the column
// but not the key, then those without the column. $2 is unused by the order by site but keeps
// one parameter list.
constexpr const char* kSitesBySite = "SELECT site FROM sites WHERE page = $1 AND $2::integer IS "
                                     "NOT NULL ORDER BY site %1$s OFFSET $3";
constexpr const char* kSitesByKey = "SELECT site FROM latest WHERE page = $1 AND col = $2 AND "
                                    "%2$s IS NOT NULL ORDER BY %2$s %1$s, site %1$s OFFSET $3";
constexpr const char* kSitesWithoutKey = "SELECT site FROM latest WHERE page = $1 AND col = $2 "
                                         "AND %2$s IS NULL ORDER BY site %1$s OFFSET $3";
constexpr const char* kSitesWithoutColumn =
    "SELECT site FROM sites s WHERE page = $1 AND NOT EXISTS (SELECT 1 FROM latest k WHERE "
    "k.site = s.site AND k.page = $1 AND k.col = $2) ORDER BY site %1$s OFFSET $3";
constexpr const char* kKeyCounts =
    "SELECT (SELECT count(*) FROM latest WHERE page = $1 AND col = $2 AND %2$s IS NOT NULL), "
    "(SELECT count(*) FROM latest WHERE page = $1 AND col = $2)";
constexpr const char* kSiteCount = "SELECT count(*) FROM sites WHERE page = $1";

Param Text(std::string_view v) {
    return std::string(v);
}
Param Int(std::int64_t v) {
    return std::to_string(v);
}
Param Bool(bool v) {
    return std::string(v ? "t" : "f");
}

// Six columns from col on, in MEASUREMENT_COLUMNS order.
Measurement ReadMeasurement(const pg::Result& r, int row, int col) {
    Measurement m;
    m.status = StatusFromName(r.text(row, col)).value_or(Status::Unsupported);
    if (!r.null(row, col + 1))
        m.number = r.integer(row, col + 1);
    m.text = r.text(row, col + 2);
    m.source = r.text(row, col + 3);
    m.detail = r.text(row, col + 4);
    m.time_ms = r.integer(row, col + 5);
    return m;
}

// A text[] literal: every element quoted, its quotes and backslashes escaped.
std::string TextArray(const std::vector<std::string>& items) {
    std::string out = "{";
    for (const std::string& item : items) {
        out += out.size() > 1 ? ",\"" : "\"";
        for (char c : item) {
            if (c == '"' || c == '\\')
                out += '\\';
            out += c;
        }
        out += '"';
    }
    return out + "}";
}

// The latest rows of several sites of one page, grouped by site in the order given.
std::optional<std::vector<std::vector<Latest>>>
ReadLatest(pg::Connection& db, const std::vector<std::string>& sites, Page page) {
    const pg::Result r =
        db.Prepared("latest_rows", kLatestRows, {TextArray(sites), Text(PageName(page))});
    if (!r.ok())
        return std::nullopt;
    std::unordered_map<std::string_view, std::vector<Latest>> by_site;
    for (int i = 0; i < r.rows(); ++i) {
        Latest l;
        l.column = static_cast<int>(r.integer(i, 1));
        l.last = ReadMeasurement(r, i, 2);
        if (!r.null(i, 8))
            l.good = ReadMeasurement(r, i, 9);
        for (auto [col, past] : {std::pair{15, &l.previous}, {17, &l.week}, {19, &l.month}})
            if (!r.null(i, col))
                *past = PastValue{r.integer(i, col), r.integer(i, col + 1)};
        by_site[r.text(i, 0)].push_back(std::move(l));
    }
    std::vector<std::vector<Latest>> out;
    for (const std::string& site : sites)
        out.push_back(std::move(by_site[site]));
    return out;
}

// Server-side cursors in a read-only repeatable-read transaction: the count and every row come
// from one snapshot, and a view of any size costs one batch of rows at a time. An order by a
// column reads three cursors in turn (see kSitesByKey).
class PgOverview final : public OverviewCursor {
  public:
    PgOverview(std::unique_ptr<pg::Connection> db, Page page) : db_(std::move(db)), page_(page) {}

    bool Declare(TableOrder order, std::size_t offset) {
        if (!db_->Exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY").ok())
            return false;
        const char* direction = order.descending ? "DESC" : "ASC";
        const char* key = order.key == TableOrder::Key::Change  ? "d0"
                          : order.key == TableOrder::Key::Week  ? "d7"
                          : order.key == TableOrder::Key::Month ? "d30"
                                                                : "shown";
        auto sql = [&](const char* format) {
            char text[512];
            std::snprintf(text, sizeof text, format, direction, key);
            return std::string(text);
        };
        const std::vector<Param> params = {Text(PageName(page_)), Int(order.column)};
        std::vector<std::pair<std::string, std::size_t>> parts;
        if (order.column < 0) {
            parts.emplace_back(sql(kSitesBySite), offset);
        } else {
            // The offset runs on into the later parts once it passes the earlier ones.
            std::size_t with = 0, rows = 0;
            if (offset > 0) {
                const pg::Result counts = db_->Exec(sql(kKeyCounts), params);
                if (!counts.ok())
                    return Failed(counts);
                with = static_cast<std::size_t>(counts.integer(0, 0));
                rows = static_cast<std::size_t>(counts.integer(0, 1));
            }
            auto past = [&](std::size_t n) { return offset > n ? offset - n : 0; };
            parts.emplace_back(sql(kSitesByKey), offset);
            parts.emplace_back(sql(kSitesWithoutKey), past(with));
            parts.emplace_back(sql(kSitesWithoutColumn), past(rows));
        }
        for (const auto& [query, skip] : parts) {
            std::vector<Param> with_offset = params;
            with_offset.push_back(Int(static_cast<std::int64_t>(skip)));
            const pg::Result r = db_->Exec("DECLARE part" + std::to_string(parts_++) +
                                               " NO SCROLL CURSOR FOR " + query,
                                           with_offset);
            if (!r.ok())
                return Failed(r);
        }
        return true;
    }

    std::optional<std::size_t> Total() override {
        const pg::Result r = db_->Exec(kSiteCount, {Text(PageName(page_))});
        if (!r.ok())
            return std::nullopt;
        return static_cast<std::size_t>(r.integer(0, 0));
    }

    std::optional<std::vector<SiteRow>> Next(std::size_t n) override {
        std::vector<std::string> sites;
        while (at_ < parts_ && sites.size() < n) {
            const std::size_t want = n - sites.size();
            const pg::Result r = db_->Exec("FETCH FORWARD " + std::to_string(want) + " FROM part" +
                                           std::to_string(at_));
            if (!r.ok())
                return std::nullopt;
            for (int i = 0; i < r.rows(); ++i)
                sites.emplace_back(r.text(i, 0));
            if (static_cast<std::size_t>(r.rows()) < want)
                ++at_;
        }
        std::vector<SiteRow> out;
        if (sites.empty())
            return out;
        auto columns = ReadLatest(*db_, sites, page_);
        if (!columns)
            return std::nullopt;
        for (std::size_t i = 0; i < sites.size(); ++i)
            out.push_back({std::move(sites[i]), std::move((*columns)[i])});
        return out;
    }

  private:
    static bool Failed(const pg::Result& r) {
        LogLine("store: overview failed: " + r.error());
        return false;
    }

    std::unique_ptr<pg::Connection> db_;
    Page page_;
    std::size_t parts_ = 0, at_ = 0;
};

// Brings the database's layout up to date; "" when done, else why not.
std::string Migrate(pg::Connection& db, bool* created) {
    pg::Transaction tx(db);
    if (!tx.began())
        return db.Error();
    for (const char* sql : {kMigrationLock, "CREATE TABLE IF NOT EXISTS schema_version("
                                            "version INTEGER PRIMARY KEY, applied_at TIMESTAMPTZ "
                                            "NOT NULL DEFAULT now())"})
        if (const pg::Result r = db.Exec(sql); !r.ok())
            return r.error();
    const pg::Result current = db.Exec("SELECT coalesce(max(version), 0) FROM schema_version");
    if (!current.ok())
        return current.error();
    const std::int64_t version = current.integer(0, 0);
    if (version > kSchemaVersion)
        return "the database was laid out by a newer valdane-service (layout " +
               std::to_string(version) + ")";
    *created = version == 0;
    for (std::int64_t v = version; v < kSchemaVersion; ++v) {
        for (const char* sql : kMigrations[static_cast<std::size_t>(v)])
            if (const pg::Result r = db.Exec(sql); !r.ok())
                return "layout " + std::to_string(v + 1) + ": " + r.error();
        if (const pg::Result r =
                db.Exec("INSERT INTO schema_version(version) VALUES($1)", {Int(v + 1)});
            !r.ok())
            return r.error();
    }
    return tx.Commit() ? "" : db.Error();
}

// A server that drops packets rather than refusing them must not hold a caller for minutes
// while a connection is tried.
std::string WithConnectTimeout(const std::string& uri) {
    if (uri.find("connect_timeout=") != std::string::npos)
        return uri;
    return uri + (uri.find('?') == std::string::npos ? "?" : "&") + "connect_timeout=5";
}

// The pool's connections run only the prepared statements above, each a walk along an index
// whatever its parameters, so they plan once: left to choose, the server plans a read of
// `latest` again on every call (its array parameter never looks generic enough), which costs
// it three times the read. Options the URI sets itself are left alone. The overview's cursors
// keep the server's choice: their order and offset do depend on the parameters.
std::string PoolConninfo(const std::string& uri) {
    const std::string with_timeout = WithConnectTimeout(uri);
    if (uri.find("options=") != std::string::npos)
        return with_timeout;
    return with_timeout + "&options=-c%20plan_cache_mode%3Dforce_generic_plan";
}

class PgStore final : public Store {
  public:
    PgStore(std::string uri, std::unique_ptr<pg::Connection> db, std::vector<StoreNotice> notices,
            Env& env)
        : uri_(std::move(uri)), conninfo_(WithConnectTimeout(uri_)),
          pool_conninfo_(PoolConninfo(uri_)), notices_(std::move(notices)), env_(env) {
        idle_.push_back(std::move(db));
    }

    bool Record(const std::string& site, Page page, int column, const Measurement& m) override {
        return RecordAll(site, page, {column}, {m});
    }

    bool RecordAll(const std::string& site, Page page, const std::vector<int>& columns,
                   const std::vector<Measurement>& measurements) override {
        if (columns.size() != measurements.size())
            return false;
        std::vector<KeptMeasurement> rows;
        for (std::size_t i = 0; i < columns.size(); ++i)
            rows.push_back({0, site, page, columns[i], measurements[i]});
        // Never tried twice: a commit whose answer was lost with the connection may have
        // happened, and a second one would keep the measurements twice.
        const bool ok = Attempt("record", false, [&](pg::Connection& db, std::string* why) {
            return Write(db, rows, false, why).has_value();
        });
        if (ok) {
            std::lock_guard<std::mutex> guard(state_mutex_);
            cache_.erase(CacheKey(site, page));
            failing_since_ms_ = 0;
        }
        return ok;
    }

    std::optional<std::vector<Latest>> LatestRow(const std::string& site, Page page) override {
        std::optional<std::vector<std::vector<Latest>>> rows;
        const bool read = Attempt("read", true, [&](pg::Connection& db, std::string*) {
            return (rows = ReadLatest(db, {site}, page)).has_value();
        });
        const std::string key = CacheKey(site, page);
        std::lock_guard<std::mutex> guard(state_mutex_);
        if (read) {
            if (cache_.size() >= kCacheRows)
                cache_.clear();
            return cache_[key] = std::move(rows->front());
        }
        // While the server cannot be asked, the rows last read stand in for it.
        if (const auto kept = cache_.find(key); kept != cache_.end() && lost_)
            return kept->second;
        return std::nullopt;
    }

    std::unique_ptr<OverviewCursor> Overview(Page page, TableOrder order,
                                             std::size_t offset) override {
        std::string error;
        auto db = pg::Connection::Open(conninfo_, &error);
        if (!db) {
            LogLine("store: overview failed: " + error);
            return nullptr;
        }
        auto cursor = std::make_unique<PgOverview>(std::move(db), page);
        if (!cursor->Declare(order, offset))
            return nullptr;
        return cursor;
    }

    std::vector<Measurement> History(const std::string& site, Page page, int column,
                                     std::int64_t since_ms) override {
        std::vector<Measurement> out;
        Attempt("history", true, [&](pg::Connection& db, std::string*) {
            out.clear();
            const pg::Result r =
                db.Prepared("history", kHistory,
                            {Text(site), Text(PageName(page)), Int(column), Int(since_ms)});
            for (int i = 0; r.ok() && i < r.rows(); ++i)
                out.push_back(ReadMeasurement(r, i, 0));
            return r.ok();
        });
        return out;
    }

    std::optional<UpstreamState> LoadUpstream(const std::string& provider) override {
        pg::Result r;
        if (!Attempt("load upstream", true,
                     [&](pg::Connection& db, std::string*) {
                         r = db.Prepared("load_upstream",
                                         std::string("SELECT ") + kUpstreamColumns +
                                             " FROM upstreams WHERE provider = $1",
                                         {Text(provider)});
                         return r.ok();
                     }) ||
            r.rows() == 0)
            return std::nullopt;
        UpstreamState u;
        u.suspended_until_ms = r.integer(0, 0);
        u.suspended_status = StatusFromName(r.text(0, 1)).value_or(Status::Blocked);
        u.suspended_why = r.text(0, 2);
        u.budget_day = r.integer(0, 3);
        u.budget_spent = r.integer(0, 4);
        u.broken = r.text(0, 5) == "t";
        u.broken_why = r.text(0, 6);
        u.canary_ms = r.integer(0, 7);
        u.canary_status = StatusFromName(r.text(0, 8)).value_or(Status::Unsupported);
        u.canary_detail = r.text(0, 9);
        return u;
    }

    bool SaveUpstream(const std::string& provider, const UpstreamState& u) override {
        return Attempt("save upstream", true, [&](pg::Connection& db, std::string*) {
            return db
                .Prepared("save_upstream", kSaveUpstream,
                          {Text(provider), Int(u.suspended_until_ms),
                           Text(StatusName(u.suspended_status)), Text(u.suspended_why),
                           Int(u.budget_day), Int(u.budget_spent), Bool(u.broken),
                           Text(u.broken_why), Int(u.canary_ms), Text(StatusName(u.canary_status)),
                           Text(u.canary_detail)})
                .ok();
        });
    }

    std::vector<StoreNotice> Notices() const override {
        std::lock_guard<std::mutex> guard(state_mutex_);
        std::vector<StoreNotice> out = notices_;
        if (failing_since_ms_)
            out.push_back({StoreNotice::Level::Error, failing_why_, failing_since_ms_});
        return out;
    }

    std::string Unready() override {
        pg::Result r;
        if (!Attempt("probe", true, [&](pg::Connection& db, std::string*) {
                r = db.Prepared("probe", "SELECT max(version) FROM schema_version", {});
                return r.ok();
            })) {
            std::lock_guard<std::mutex> guard(state_mutex_);
            return failing_why_.empty() ? "the store does not answer" : failing_why_;
        }
        if (r.integer(0, 0) != kSchemaVersion)
            return "the store's layout is " + std::string(r.text(0, 0)) + ", this service's " +
                   std::to_string(kSchemaVersion);
        return "";
    }

    std::optional<std::int64_t> Count() override {
        pg::Result r;
        if (!Attempt("count", true, [&](pg::Connection& db, std::string*) {
                return (r = db.Exec("SELECT count(*) FROM measurements")).ok();
            }))
            return std::nullopt;
        return r.integer(0, 0);
    }

    std::optional<std::vector<KeptMeasurement>> Kept(std::int64_t after_id,
                                                     std::size_t n) override {
        std::optional<std::vector<KeptMeasurement>> out;
        Attempt("export", true, [&](pg::Connection& db, std::string*) {
            const pg::Result r =
                db.Prepared("kept", kKept, {Int(after_id), Int(static_cast<std::int64_t>(n))});
            if (!r.ok())
                return false;
            out.emplace();
            for (int i = 0; i < r.rows(); ++i) {
                const auto page = PageFromName(r.text(i, 2));
                if (!page)
                    continue; // a page of a newer service: it cannot be kept here
                out->push_back({r.integer(i, 0), std::string(r.text(i, 1)), *page,
                                static_cast<int>(r.integer(i, 3)), ReadMeasurement(r, i, 4)});
            }
            return true;
        });
        return out;
    }

    std::optional<std::size_t> Import(const std::vector<KeptMeasurement>& rows) override {
        std::optional<std::size_t> added;
        Attempt("import", false, [&](pg::Connection& db, std::string* why) {
            return (added = Write(db, rows, true, why)).has_value();
        });
        std::lock_guard<std::mutex> guard(state_mutex_);
        cache_.clear();
        return added;
    }

    std::optional<std::vector<std::string>> UpstreamNames() override {
        pg::Result r;
        if (!Attempt("upstreams", true, [&](pg::Connection& db, std::string*) {
                return (r = db.Exec("SELECT provider FROM upstreams ORDER BY provider")).ok();
            }))
            return std::nullopt;
        std::vector<std::string> out;
        for (int i = 0; i < r.rows(); ++i)
            out.emplace_back(r.text(i, 0));
        return out;
    }

  private:
    static constexpr std::size_t kCacheRows = 20'000;
    static constexpr std::int64_t kReconnectGapMs = 1000;
    // The engine's workers and the server's threads together.
    static constexpr std::size_t kPoolSize = 8;
    // After a connection was refused (max_connections reached, or the server going away), the
    // pool makes do with what it has this long before it tries to grow again.
    static constexpr std::int64_t kGrowGapMs = 60'000;

    // One connection for one call, given back to the pool when it ends.
    class Lease {
      public:
        Lease(PgStore& store, std::unique_ptr<pg::Connection> db)
            : store_(store), db_(std::move(db)) {}
        ~Lease() { store_.GiveBack(std::move(db_)); }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        pg::Connection& operator*() const { return *db_; }

      private:
        PgStore& store_;
        std::unique_ptr<pg::Connection> db_;
    };

    static std::string CacheKey(const std::string& site, Page page) {
        return std::string(PageName(page)) + '\n' + site;
    }

    // An idle connection, else a new one while the pool may grow and the server is not known
    // lost, else the next one given back. The pool always holds at least the first connection,
    // lost or not, so a caller never waits for nothing.
    Lease Borrow() {
        std::unique_lock<std::mutex> lock(pool_mutex_);
        for (;;) {
            if (!idle_.empty()) {
                auto db = std::move(idle_.back());
                idle_.pop_back();
                return Lease(*this, std::move(db));
            }
            if (open_ < kPoolSize && !lost_now_ && env_.clock.MonoMs() >= grow_after_ms_) {
                ++open_;
                lock.unlock();
                std::string error;
                if (auto db = pg::Connection::Open(pool_conninfo_, &error))
                    return Lease(*this, std::move(db));
                lock.lock();
                --open_;
                grow_after_ms_ = env_.clock.MonoMs() + kGrowGapMs;
                LogLine("store: keeping " + std::to_string(open_) +
                        " connections for a minute, another was refused: " + error);
            }
            given_back_.wait(lock);
        }
    }

    void GiveBack(std::unique_ptr<pg::Connection> db) {
        {
            std::lock_guard<std::mutex> guard(pool_mutex_);
            idle_.push_back(std::move(db));
        }
        given_back_.notify_one();
    }

    // Rows in one transaction on db; how many were new. skip_held: leave out those the store
    // holds already.
    static std::optional<std::size_t> Write(pg::Connection& db,
                                            const std::vector<KeptMeasurement>& rows,
                                            bool skip_held, std::string* why) {
        pg::Transaction tx(db);
        if (!tx.began())
            return std::nullopt;
        std::size_t added = 0;
        for (const KeptMeasurement& row : rows) {
            const Measurement& m = row.m;
            const std::vector<Param> column = {Text(row.site), Text(PageName(row.page)),
                                               Int(row.column)};
            pg::Result r = db.Prepared("lock_column", kLockColumn, column);
            if (r.ok())
                r = db.Prepared("insert", kInsert,
                                {column[0], column[1], column[2], Text(StatusName(m.status)),
                                 m.number ? Int(*m.number) : Param(), Text(m.text), Text(m.source),
                                 Text(m.detail), Int(m.time_ms), Bool(skip_held)});
            if (r.ok() && r.rows() == 1) {
                r = db.Prepared("refresh", kRefresh, column);
                ++added;
            }
            if (!r.ok()) {
                *why = r.error(); // the rollback that follows clears the connection's own
                return std::nullopt;
            }
        }
        if (!tx.Commit())
            return std::nullopt;
        return added;
    }

    // Runs body(connection, why) on a borrowed connection. A connection found lost is reset,
    // while the server is known lost at most once a second (Env clock), and a read is tried
    // once more on the new connection.
    template <typename Body> bool Attempt(const char* what, bool retry, Body&& body) {
        Lease lease = Borrow();
        pg::Connection& db = *lease;
        std::string why;
        for (int round = 0; round < (retry ? 2 : 1); ++round) {
            if (db.Broken() && !Reconnect(db))
                break;
            why.clear();
            if (body(db, &why)) {
                Restored();
                return true;
            }
            if (!db.Broken()) {
                Failed(what, false, why.empty() ? db.Error() : why);
                return false;
            }
        }
        Failed(what, true, why.empty() ? db.Error() : why);
        return false;
    }

    bool Reconnect(pg::Connection& db) {
        const std::int64_t now = env_.clock.MonoMs();
        {
            std::lock_guard<std::mutex> guard(state_mutex_);
            if (lost_ && now - last_reconnect_ms_ < kReconnectGapMs)
                return false;
            last_reconnect_ms_ = now;
        }
        return db.Reset();
    }

    void Restored() {
        std::lock_guard<std::mutex> guard(state_mutex_);
        if (!lost_)
            return;
        lost_ = false;
        failing_since_ms_ = 0;
        SetLostNow(false);
        LogLine("store: connection to " + pg::MaskedUri(uri_) + " restored");
    }

    // The notice stays until a Record succeeds, or after a lost connection until any call does.
    void Failed(const char* what, bool lost, const std::string& why) {
        std::lock_guard<std::mutex> guard(state_mutex_);
        if (!(lost && lost_)) // a lost connection once, not once per call until it is back
            LogLine(std::string("store: ") + what + " failed: " + why);
        if (!lost && std::string_view(what) != "record")
            return;
        if (lost && !lost_)
            SetLostNow(true);
        lost_ = lost_ || lost;
        if (!failing_since_ms_)
            failing_since_ms_ = env_.clock.NowMs();
        failing_why_ = (lost ? "无法连接 PostgreSQL 存储 " : "PostgreSQL 存储 ") +
                       pg::MaskedUri(uri_) + (lost ? "，将每秒重试：" : " 写入失败：") + why;
    }

    void SetLostNow(bool lost) {
        std::lock_guard<std::mutex> guard(pool_mutex_);
        lost_now_ = lost;
    }

    const std::string uri_;
    const std::string conninfo_;      // for an overview's own connection
    const std::string pool_conninfo_; // for the pool's
    const std::vector<StoreNotice> notices_;
    Env& env_;

    // Lock order: state_mutex_ before pool_mutex_, never the other way.
    std::mutex pool_mutex_; // guards the pool below
    std::condition_variable given_back_;
    std::vector<std::unique_ptr<pg::Connection>> idle_;
    std::size_t open_ = 1;           // lent or idle
    std::int64_t grow_after_ms_ = 0; // Env monotonic clock
    bool lost_now_ = false; // lost_, seen from Borrow: a lost server gets no new connections

    mutable std::mutex state_mutex_;                             // guards the rest
    std::unordered_map<std::string, std::vector<Latest>> cache_; // the rows last read
    bool lost_ = false;
    std::int64_t last_reconnect_ms_ = 0;
    std::int64_t failing_since_ms_ = 0;
    std::string failing_why_;
};

} // namespace

std::unique_ptr<Store> OpenPgStore(const std::string& uri, Env& env, std::string* error) {
    const std::string shown = pg::MaskedUri(uri);
    auto db = pg::Connection::Open(PoolConninfo(uri), error);
    if (!db) {
        *error = "cannot connect to " + shown + ": " + *error;
        return nullptr;
    }
    bool created = false;
    if (const std::string why = Migrate(*db, &created); !why.empty()) {
        *error = "cannot use " + shown + ": " + why;
        return nullptr;
    }
    std::vector<StoreNotice> notices;
    if (created) {
        notices.push_back(
            {StoreNotice::Level::Info,
             "已在 PostgreSQL 数据库 " + shown + " 中新建存储，测量记录从现在起保存在这里。"});
        LogLine("store: laid out a new store in " + shown);
    }
    return std::make_unique<PgStore>(uri, std::move(db), std::move(notices), env);
}

} // namespace valdane::svc

namespace valdane::svc {
namespace {

// The SQLite store's folder for a setting that is not a URI; nullopt when it names a file
// the store cannot be (the SQLite store is always a folder's measurements.db).
std::optional<std::filesystem::path> SqliteFolder(const std::string& setting,
                                                  const std::filesystem::path& data_dir) {
    if (setting.empty())
        return data_dir;
    const std::filesystem::path path(setting);
    if (path.extension() != ".db")
        return path;
    if (path.filename() != "measurements.db")
        return std::nullopt;
    return path.parent_path();
}

} // namespace

std::unique_ptr<Store> OpenConfiguredStore(const std::string& setting,
                                           const std::filesystem::path& data_dir, Env& env,
                                           std::string* error) {
    if (pg::IsConnectionUri(setting))
        return OpenPgStore(setting, env, error);
    const auto folder = SqliteFolder(setting, data_dir);
    if (!folder) {
        *error = "'" + setting +
                 "' is not a store: name a PostgreSQL URI (postgresql://...), a folder, or a "
                 "folder's measurements.db";
        return nullptr;
    }
    return OpenStore(*folder, env, error);
}

std::string StoreLocation(const std::string& setting, const std::filesystem::path& data_dir) {
    if (pg::IsConnectionUri(setting))
        return pg::MaskedUri(setting);
    const auto folder = SqliteFolder(setting, data_dir);
    return folder ? (*folder / "measurements.db").string() : setting;
}

} // namespace valdane::svc
