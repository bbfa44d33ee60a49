// The store in PostgreSQL, for several instances sharing one history. Same tables and meaning
// as the SQLite store (store.cpp); the SQL differs where the dialects do.
//
// One connection under a mutex, as in the SQLite store: every call is one or two indexed
// statements (well under a millisecond on a local network), writes are serialised by the
// server's row locks anyway, and one connection keeps its prepared statements and its
// reconnection in one place. An overview, which may be read for minutes by a CSV download,
// takes a connection of its own so that it never holds the lock.
#include "log.h"
#include "pg.h"
#include "store.h"

#include <array>
#include <mutex>
#include <unordered_map>

namespace valdane::svc {
namespace {

using pg::Param;

// Each entry brings the layout from version i to i + 1. Applied at start in one transaction
// under an advisory lock, so that instances starting together migrate once.
const std::vector<std::vector<const char*>> kMigrations = {
    {
        R"sql(CREATE TABLE measurements(
            id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
            site TEXT NOT NULL, page TEXT NOT NULL, col INTEGER NOT NULL,
            status TEXT NOT NULL, number BIGINT, text TEXT NOT NULL,
            source TEXT NOT NULL, detail TEXT NOT NULL, time_ms BIGINT NOT NULL))sql",
        "CREATE INDEX measurements_by_column ON measurements(site, page, col, time_ms)",
        R"sql(CREATE TABLE latest(
            site TEXT NOT NULL, page TEXT NOT NULL, col INTEGER NOT NULL,
            last_id BIGINT NOT NULL, last_ms BIGINT NOT NULL, good_id BIGINT, good_ms BIGINT,
            PRIMARY KEY(site, page, col)))sql",
        "CREATE INDEX latest_by_page ON latest(page, site, col)",
        R"sql(CREATE TABLE upstreams(
            provider TEXT PRIMARY KEY,
            suspended_until_ms BIGINT NOT NULL, suspended_status TEXT NOT NULL,
            suspended_why TEXT NOT NULL, budget_day BIGINT NOT NULL, budget_spent BIGINT NOT NULL,
            broken BOOLEAN NOT NULL, broken_why TEXT NOT NULL, canary_ms BIGINT NOT NULL,
            canary_status TEXT NOT NULL, canary_detail TEXT NOT NULL))sql",
    },
};
const auto kSchemaVersion = static_cast<std::int64_t>(kMigrations.size());
constexpr const char* kMigrationLock = "SELECT pg_advisory_xact_lock(7355608001)";

// The measurement and its `latest` row in one statement. An out-of-order record (a late
// measurement older than the stored one) never hides a newer one. $10: the measurement is
// fresh. With $11 true, one the store already holds (a copy run again) is skipped.
constexpr const char* kRecord = R"sql(
WITH m AS (
    INSERT INTO measurements(site, page, col, status, number, text, source, detail, time_ms)
    SELECT $1, $2, $3, $4, $5, $6, $7, $8, $9
    WHERE NOT ($11::boolean AND EXISTS (SELECT 1 FROM measurements h WHERE h.site = $1
        AND h.page = $2 AND h.col = $3 AND h.time_ms = $9 AND h.source = $7))
    RETURNING id, time_ms)
INSERT INTO latest AS l(site, page, col, last_id, last_ms, good_id, good_ms)
SELECT $1, $2, $3, m.id, m.time_ms, CASE WHEN $10::boolean THEN m.id END,
       CASE WHEN $10::boolean THEN m.time_ms END FROM m
ON CONFLICT(site, page, col) DO UPDATE SET
    last_id = CASE WHEN excluded.last_ms >= l.last_ms THEN excluded.last_id ELSE l.last_id END,
    last_ms = greatest(excluded.last_ms, l.last_ms),
    good_id = CASE WHEN excluded.good_ms >= coalesce(l.good_ms, excluded.good_ms)
                   THEN excluded.good_id ELSE l.good_id END,
    good_ms = CASE WHEN excluded.good_ms >= coalesce(l.good_ms, excluded.good_ms)
                   THEN excluded.good_ms ELSE l.good_ms END)sql";

#define MEASUREMENT_COLUMNS(m)                                                                     \
    m ".status, " m ".number, " m ".text, " m ".source, " m ".detail, " m ".time_ms"

constexpr const char* kLatestRows =
    "SELECT l.site, l.col, " MEASUREMENT_COLUMNS("a") ", g.id, " MEASUREMENT_COLUMNS(
        "g") " FROM latest l JOIN measurements a ON a.id = l.last_id"
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

// The value an overview cell shows (pages.cpp ShownValue), as in store.cpp.
#define SHOWN_VALUE(m)                                                                             \
    "WHEN " m ".status = 'ok' AND " m ".number >= 0 THEN " m ".number WHEN " m                     \
    ".status = 'not-found' AND coalesce(" m ".number, 0) >= 0 THEN coalesce(" m ".number, 0) "

// %s: the direction. $2 is unused by the order by site but keeps one parameter list.
constexpr const char* kSitesBySite =
    "SELECT DISTINCT site FROM latest WHERE page = $1 AND $2::integer IS NOT NULL"
    " ORDER BY site %s OFFSET $3";
constexpr const char* kSitesByValue =
    "SELECT s.site FROM (SELECT DISTINCT site FROM latest "
    "WHERE page = $1) s"
    " LEFT JOIN latest l ON l.site = s.site AND l.page = $1 AND "
    "l.col = $2"
    " LEFT JOIN measurements a ON a.id = l.last_id"
    " LEFT JOIN measurements g ON g.id = l.good_id"
    " ORDER BY CASE " SHOWN_VALUE("a") SHOWN_VALUE("g") "END %s NULLS LAST, s.site OFFSET $3";

#undef SHOWN_VALUE

constexpr const char* kSiteCount = "SELECT count(DISTINCT site) FROM latest WHERE page = $1";

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
        by_site[r.text(i, 0)].push_back(std::move(l));
    }
    std::vector<std::vector<Latest>> out;
    for (const std::string& site : sites)
        out.push_back(std::move(by_site[site]));
    return out;
}

// A server-side cursor in a read-only repeatable-read transaction: the count and every row
// come from one snapshot, and a view of any size costs one batch of rows at a time.
class PgOverview final : public OverviewCursor {
  public:
    PgOverview(std::unique_ptr<pg::Connection> db, Page page) : db_(std::move(db)), page_(page) {}

    bool Declare(TableOrder order, std::size_t offset) {
        // The distinct sites are counted faster in the order of the (site, page, col) index
        // than hashed: a third of the time for 100,000 sites, and no memory for the hash.
        if (!db_->Exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY").ok() ||
            !db_->Exec("SET LOCAL enable_hashagg = off").ok())
            return false;
        char sql[1024];
        std::snprintf(sql, sizeof sql, order.column < 0 ? kSitesBySite : kSitesByValue,
                      order.descending ? "DESC" : "ASC");
        const pg::Result r = db_->Exec(
            std::string("DECLARE sites NO SCROLL CURSOR FOR ") + sql,
            {Text(PageName(page_)), Int(order.column), Int(static_cast<std::int64_t>(offset))});
        if (!r.ok())
            LogLine("store: overview failed: " + r.error());
        return r.ok();
    }

    std::optional<std::size_t> Total() override {
        const pg::Result r = db_->Exec(kSiteCount, {Text(PageName(page_))});
        if (!r.ok())
            return std::nullopt;
        return static_cast<std::size_t>(r.integer(0, 0));
    }

    std::optional<std::vector<SiteRow>> Next(std::size_t n) override {
        std::vector<SiteRow> out;
        if (done_ || n == 0)
            return out;
        const pg::Result r = db_->Exec("FETCH FORWARD " + std::to_string(n) + " FROM sites");
        if (!r.ok())
            return std::nullopt;
        done_ = static_cast<std::size_t>(r.rows()) < n;
        std::vector<std::string> sites;
        for (int i = 0; i < r.rows(); ++i)
            sites.emplace_back(r.text(i, 0));
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
    std::unique_ptr<pg::Connection> db_;
    Page page_;
    bool done_ = false;
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

// A server that drops packets rather than refusing them must not hold the store's lock for
// minutes while a connection is tried.
std::string WithConnectTimeout(const std::string& uri) {
    if (uri.find("connect_timeout=") != std::string::npos)
        return uri;
    return uri + (uri.find('?') == std::string::npos ? "?" : "&") + "connect_timeout=5";
}

class PgStore final : public Store {
  public:
    PgStore(std::string uri, std::unique_ptr<pg::Connection> db, std::vector<StoreNotice> notices,
            Env& env)
        : uri_(std::move(uri)), conninfo_(WithConnectTimeout(uri_)), db_(std::move(db)),
          notices_(std::move(notices)), env_(env) {}

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
        std::lock_guard<std::mutex> guard(mutex_);
        // Never tried twice: a commit whose answer was lost with the connection may have
        // happened, and a second one would keep the measurements twice.
        const bool ok = Attempt("record", false, [&] { return Write(rows, false).has_value(); });
        if (ok) {
            cache_.erase(CacheKey(site, page));
            failing_since_ms_ = 0;
        }
        return ok;
    }

    std::optional<std::vector<Latest>> LatestRow(const std::string& site, Page page) override {
        std::lock_guard<std::mutex> guard(mutex_);
        std::optional<std::vector<std::vector<Latest>>> rows;
        const std::string key = CacheKey(site, page);
        if (Attempt("read", true, [&] { return (rows = ReadLatest(*db_, {site}, page)); })) {
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
        std::lock_guard<std::mutex> guard(mutex_);
        std::vector<Measurement> out;
        Attempt("history", true, [&] {
            const pg::Result r =
                db_->Prepared("history", kHistory,
                              {Text(site), Text(PageName(page)), Int(column), Int(since_ms)});
            for (int i = 0; r.ok() && i < r.rows(); ++i)
                out.push_back(ReadMeasurement(r, i, 0));
            return r.ok();
        });
        return out;
    }

    std::optional<UpstreamState> LoadUpstream(const std::string& provider) override {
        std::lock_guard<std::mutex> guard(mutex_);
        pg::Result r;
        if (!Attempt("load upstream", true,
                     [&] {
                         r = db_->Prepared("load_upstream",
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
        std::lock_guard<std::mutex> guard(mutex_);
        return Attempt("save upstream", true, [&] {
            return db_
                ->Prepared("save_upstream", kSaveUpstream,
                           {Text(provider), Int(u.suspended_until_ms),
                            Text(StatusName(u.suspended_status)), Text(u.suspended_why),
                            Int(u.budget_day), Int(u.budget_spent), Bool(u.broken),
                            Text(u.broken_why), Int(u.canary_ms), Text(StatusName(u.canary_status)),
                            Text(u.canary_detail)})
                .ok();
        });
    }

    std::vector<StoreNotice> Notices() const override {
        std::lock_guard<std::mutex> guard(mutex_);
        std::vector<StoreNotice> out = notices_;
        if (failing_since_ms_)
            out.push_back({StoreNotice::Level::Error, failing_why_, failing_since_ms_});
        return out;
    }

    std::string Unready() override {
        std::lock_guard<std::mutex> guard(mutex_);
        pg::Result r;
        if (!Attempt("probe", true, [&] {
                r = db_->Prepared("probe", "SELECT max(version) FROM schema_version", {});
                return r.ok();
            }))
            return failing_why_.empty() ? "the store does not answer" : failing_why_;
        if (r.integer(0, 0) != kSchemaVersion)
            return "the store's layout is " + std::string(r.text(0, 0)) + ", this service's " +
                   std::to_string(kSchemaVersion);
        return "";
    }

    std::optional<std::int64_t> Count() override {
        std::lock_guard<std::mutex> guard(mutex_);
        pg::Result r;
        if (!Attempt("count", true,
                     [&] { return (r = db_->Exec("SELECT count(*) FROM measurements")).ok(); }))
            return std::nullopt;
        return r.integer(0, 0);
    }

    std::optional<std::vector<KeptMeasurement>> Kept(std::int64_t after_id,
                                                     std::size_t n) override {
        std::lock_guard<std::mutex> guard(mutex_);
        std::optional<std::vector<KeptMeasurement>> out;
        Attempt("export", true, [&] {
            const pg::Result r =
                db_->Prepared("kept", kKept, {Int(after_id), Int(static_cast<std::int64_t>(n))});
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
        std::lock_guard<std::mutex> guard(mutex_);
        std::optional<std::size_t> added;
        Attempt("import", false, [&] { return (added = Write(rows, true)).has_value(); });
        cache_.clear();
        return added;
    }

    std::optional<std::vector<std::string>> UpstreamNames() override {
        std::lock_guard<std::mutex> guard(mutex_);
        pg::Result r;
        if (!Attempt("upstreams", true, [&] {
                return (r = db_->Exec("SELECT provider FROM upstreams ORDER BY provider")).ok();
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

    static std::string CacheKey(const std::string& site, Page page) {
        return std::string(PageName(page)) + '\n' + site;
    }

    // Under the lock: rows in one transaction; how many were new. skip_held: leave out those
    // the store holds already.
    std::optional<std::size_t> Write(const std::vector<KeptMeasurement>& rows, bool skip_held) {
        pg::Transaction tx(*db_);
        if (!tx.began())
            return std::nullopt;
        std::size_t added = 0;
        for (const KeptMeasurement& row : rows) {
            const Measurement& m = row.m;
            const pg::Result r =
                db_->Prepared("record", kRecord,
                              {Text(row.site), Text(PageName(row.page)), Int(row.column),
                               Text(StatusName(m.status)), m.number ? Int(*m.number) : Param(),
                               Text(m.text), Text(m.source), Text(m.detail), Int(m.time_ms),
                               Bool(IsFresh(m.status)), Bool(skip_held)});
            if (!r.ok()) {
                last_error_ = r.error();
                return std::nullopt;
            }
            added += static_cast<std::size_t>(r.affected());
        }
        if (!tx.Commit())
            return std::nullopt;
        return added;
    }

    // Under the lock: runs body on a usable connection. A connection found lost is reset at
    // most once a second (Env clock), and a read is tried once more on the new connection.
    template <typename Body> bool Attempt(const char* what, bool retry, Body&& body) {
        for (int round = 0; round < (retry ? 2 : 1); ++round) {
            if (db_->Broken() && !Reconnect())
                break;
            last_error_.clear();
            if (body()) {
                if (lost_) {
                    lost_ = false;
                    failing_since_ms_ = 0;
                    LogLine("store: connection to " + pg::MaskedUri(uri_) + " restored");
                }
                return true;
            }
            if (!db_->Broken()) {
                Failed(what, false);
                return false;
            }
        }
        Failed(what, true);
        return false;
    }

    bool Reconnect() {
        const std::int64_t now = env_.clock.MonoMs();
        if (tried_reconnect_ && now - last_reconnect_ms_ < kReconnectGapMs)
            return false;
        tried_reconnect_ = true;
        last_reconnect_ms_ = now;
        return db_->Reset();
    }

    // Under the lock: the notice stays until a Record succeeds, or after a lost connection
    // until any call does.
    void Failed(const char* what, bool lost) {
        std::string why = last_error_.empty() ? db_->Error() : last_error_;
        LogLine(std::string("store: ") + what + " failed: " + why);
        if (!lost && std::string_view(what) != "record")
            return;
        lost_ = lost_ || lost;
        if (!failing_since_ms_)
            failing_since_ms_ = env_.clock.NowMs();
        failing_why_ = (lost ? "无法连接 PostgreSQL 存储 " : "PostgreSQL 存储 ") +
                       pg::MaskedUri(uri_) + (lost ? "，将每秒重试：" : " 写入失败：") + why;
    }

    const std::string uri_;
    const std::string conninfo_;
    mutable std::mutex mutex_;
    std::unique_ptr<pg::Connection> db_;
    const std::vector<StoreNotice> notices_;
    Env& env_;
    std::unordered_map<std::string, std::vector<Latest>> cache_; // the rows last read
    std::string last_error_;
    bool lost_ = false;
    bool tried_reconnect_ = false;
    std::int64_t last_reconnect_ms_ = 0;
    std::int64_t failing_since_ms_ = 0;
    std::string failing_why_;
};

} // namespace

std::unique_ptr<Store> OpenPgStore(const std::string& uri, Env& env, std::string* error) {
    const std::string shown = pg::MaskedUri(uri);
    auto db = pg::Connection::Open(WithConnectTimeout(uri), error);
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
