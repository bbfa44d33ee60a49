#include "store.h"

#include "log.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <thread>

namespace valdane::svc {
namespace fs = std::filesystem;
namespace {

// `latest` keeps, per column, the newest measurement and the newest good one, so that an
// answer is one indexed look-up however long the history grows; and the value its cell shows
// with the values its change is measured against (prev, week, month) and the changes (d0, d7,
// d30), indexed so that an overview sorted by any of them walks an index instead of sorting.
constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS measurements(
    id INTEGER PRIMARY KEY,
    site TEXT NOT NULL, page TEXT NOT NULL, col INTEGER NOT NULL,
    status TEXT NOT NULL, number INTEGER, text TEXT NOT NULL,
    source TEXT NOT NULL, detail TEXT NOT NULL, time_ms INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS measurements_by_column ON measurements(site, page, col, time_ms);
CREATE TABLE IF NOT EXISTS latest(
    site TEXT NOT NULL, page TEXT NOT NULL, col INTEGER NOT NULL,
    last_id INTEGER NOT NULL, last_ms INTEGER NOT NULL, good_id INTEGER, good_ms INTEGER,
    shown INTEGER, prev INTEGER, prev_ms INTEGER, week INTEGER, week_ms INTEGER,
    month INTEGER, month_ms INTEGER, d0 INTEGER, d7 INTEGER, d30 INTEGER,
    PRIMARY KEY(site, page, col)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS sites(page TEXT NOT NULL, site TEXT NOT NULL,
    PRIMARY KEY(page, site)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS upstreams(
    provider TEXT PRIMARY KEY,
    suspended_until_ms INTEGER NOT NULL, suspended_status TEXT NOT NULL,
    suspended_why TEXT NOT NULL, budget_day INTEGER NOT NULL, budget_spent INTEGER NOT NULL,
    broken INTEGER NOT NULL, broken_why TEXT NOT NULL, canary_ms INTEGER NOT NULL,
    canary_status TEXT NOT NULL, canary_detail TEXT NOT NULL) WITHOUT ROWID;
)sql";

// PRAGMA user_version of the layout above. 1 added `upstreams`; 2 the shown values and changes
// in `latest` and `sites` (which replaced the index latest_by_page), filled from the history on
// opening; 3 indexes the changes only where there is one. A file of a later version was written
// by a newer service: it is left alone.
constexpr int kSchemaVersion = 3;

constexpr const char* kLatestAdded[] = {"shown", "prev",     "prev_ms", "week", "week_ms",
                                        "month", "month_ms", "d0",      "d7",   "d30"};

// One index per overview order; `site` last so that ties come in order without a sort. A
// change is indexed only where there is one, and the sites without one (a site's first week or
// month) in one index for all three: each entry less is a page less in the commit that records a
// new site.
constexpr const char* kSortIndexes = R"sql(
DROP INDEX IF EXISTS latest_by_page;
DROP INDEX IF EXISTS latest_by_d0;
DROP INDEX IF EXISTS latest_by_d7;
DROP INDEX IF EXISTS latest_by_d30;
CREATE INDEX IF NOT EXISTS latest_by_shown ON latest(page, col, shown, site);
CREATE INDEX IF NOT EXISTS latest_with_d0 ON latest(page, col, d0, site) WHERE d0 IS NOT NULL;
CREATE INDEX IF NOT EXISTS latest_with_d7 ON latest(page, col, d7, site) WHERE d7 IS NOT NULL;
CREATE INDEX IF NOT EXISTS latest_with_d30 ON latest(page, col, d30, site) WHERE d30 IS NOT NULL;
CREATE INDEX IF NOT EXISTS latest_unchanged ON latest(page, col, site, d0, d7, d30)
    WHERE d0 IS NULL OR d7 IS NULL OR d30 IS NULL;
)sql";

constexpr const char* kUpstreamColumns =
    "suspended_until_ms, suspended_status, suspended_why, budget_day, budget_spent, broken, "
    "broken_why, canary_ms, canary_status, canary_detail";

// The value a cell shows (pages.cpp ShownValue); NULL when the measurement stands for none.
#define SHOWN                                                                                      \
    "CASE WHEN status = 'ok' AND number >= 0 THEN number WHEN status = 'not-found' AND "           \
    "coalesce(number, 0) >= 0 THEN coalesce(number, 0) END"
#define OF_COLUMN " FROM measurements WHERE site = ?1 AND page = ?2 AND col = ?3 "
#define NEWEST " ORDER BY time_ms DESC, id DESC LIMIT 1"

// `latest` is worked out again from the history on each record, so that an out-of-order record
// (a late measurement older than the stored one) never hides a newer one. Each is one step
// back along measurements_by_column.
constexpr const char* kNewest = "SELECT id, time_ms, " SHOWN OF_COLUMN NEWEST;
constexpr const char* kNewestGood =
    "SELECT id, time_ms, " SHOWN OF_COLUMN "AND status IN ('ok', 'not-found')" NEWEST;
// The newest value shown before (?4 ms, ?5 id).
constexpr const char* kShownBefore =
    "SELECT " SHOWN ", time_ms" OF_COLUMN
    "AND time_ms <= ?4 AND (time_ms < ?4 OR id < ?5) AND " SHOWN " IS NOT NULL" NEWEST;
constexpr const char* kSetLatest =
    "INSERT OR REPLACE INTO latest(site, page, col, last_id, last_ms, good_id, good_ms, shown, "
    "prev, prev_ms, week, week_ms, month, month_ms, d0, d7, d30) VALUES(?1, ?2, ?3, ?4, ?5, ?6, "
    "?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15 - ?9, ?15 - ?11, ?15 - ?13)";
// A column's first measurement (?4) is its latest as it stands: nothing before it to compare.
constexpr const char* kFirstLatest =
    "INSERT OR IGNORE INTO latest(site, page, col, last_id, last_ms, good_id, good_ms, shown) "
    "SELECT ?1, ?2, ?3, id, time_ms, CASE WHEN status IN ('ok', 'not-found') THEN id END, CASE "
    "WHEN status IN ('ok', 'not-found') THEN time_ms END, " SHOWN
    " FROM measurements WHERE id = ?4";
// Every column the history holds, for filling `latest` when the layout changes.
constexpr const char* kAllColumns = "SELECT DISTINCT site, page, col FROM measurements";
constexpr const char* kAddSite = "INSERT OR IGNORE INTO sites(page, site) VALUES(?2, ?1)";

#undef NEWEST
#undef OF_COLUMN
#undef SHOWN

#define MEASUREMENT_COLUMNS(m)                                                                     \
    m ".status, " m ".number, " m ".text, " m ".source, " m ".detail, " m ".time_ms"

constexpr const char* kLatestRow =
    "SELECT l.col, " MEASUREMENT_COLUMNS("a") ", g.id, " MEASUREMENT_COLUMNS(
        "g") ", l.prev, l.prev_ms, l.week, l.week_ms, l.month, l.month_ms"
             " FROM latest l JOIN measurements a ON a.id = l.last_id"
             " LEFT JOIN measurements g ON g.id = l.good_id"
             " WHERE l.site = ?1 AND l.page = ?2 ORDER BY l.col";

constexpr const char* kHistory = "SELECT " MEASUREMENT_COLUMNS(
    "m") " FROM measurements m"
         " WHERE m.site = ?1 AND m.page = ?2 AND m.col = ?3 AND m.time_ms >= ?4"
         " ORDER BY m.time_ms, m.id";

constexpr const char* kKept = "SELECT m.id, m.site, m.page, m.col, " MEASUREMENT_COLUMNS(
    "m") " FROM measurements m WHERE m.id > ?1 ORDER BY m.id LIMIT ?2";

#undef MEASUREMENT_COLUMNS

// A copy run again skips what it copied before: a measurement is known by these.
constexpr const char* kHeld = "SELECT 1 FROM measurements WHERE site = ?1 AND page = ?2 AND "
                              "col = ?3 AND time_ms = ?4 AND source = ?5 LIMIT 1";

constexpr const char* kSaveUpstream =
    "INSERT OR REPLACE INTO upstreams(provider, suspended_until_ms, suspended_status, "
    "suspended_why, budget_day, budget_spent, broken, broken_why, canary_ms, canary_status, "
    "canary_detail) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)";

// `sites` lists each page's sites once, so that counting or walking them costs one entry each
// rather than one per column.
constexpr const char* kSitesBySite =
    "SELECT site FROM sites WHERE page = ?1 ORDER BY site %1$s LIMIT -1 OFFSET ?3";
// Sorted by the store, along an index: a page of the overview costs its rows, not the table.
// The sites with the key, then those with the column but not the key, then those without the
// column (which only the end of the view reaches).
constexpr const char* kSitesByKey = "SELECT site FROM latest WHERE page = ?1 AND col = ?2 AND %2$s "
                                    "IS NOT NULL ORDER BY %2$s %1$s, site %1$s LIMIT -1 OFFSET ?3";
constexpr const char* kSitesWithoutKey =
    "SELECT site FROM latest WHERE page = ?1 AND col = ?2 AND %2$s IS NULL ORDER BY site %1$s "
    "LIMIT -1 OFFSET ?3";
constexpr const char* kSitesWithoutColumn =
    "SELECT site FROM sites s WHERE page = ?1 AND NOT EXISTS (SELECT 1 FROM latest k WHERE "
    "k.site = s.site AND k.page = ?1 AND k.col = ?2) ORDER BY site %1$s LIMIT -1 OFFSET ?3";
constexpr const char* kKeyCounts =
    "SELECT (SELECT count(*) FROM latest WHERE page = ?1 AND col = ?2 AND %2$s IS NOT NULL), "
    "(SELECT count(*) FROM latest WHERE page = ?1 AND col = ?2)";

constexpr const char* kSiteCount = "SELECT count(*) FROM sites WHERE page = ?1";

constexpr const char* kInsert =
    "INSERT INTO measurements(site, page, col, status, number, text, source, detail, time_ms)"
    " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)";

using Db = std::unique_ptr<sqlite3, decltype(&sqlite3_close_v2)>;

// Another connection to the store's file, used by one thread at a time; null (with *rc, if
// given, set) where it cannot be opened.
Db OpenBeside(sqlite3* main, int flags, const char* vfs, int* rc = nullptr) {
    sqlite3* raw = nullptr;
    const int opened =
        sqlite3_open_v2(sqlite3_db_filename(main, "main"), &raw, flags | SQLITE_OPEN_NOMUTEX, vfs);
    Db db(raw, &sqlite3_close_v2);
    if (rc)
        *rc = opened;
    if (opened != SQLITE_OK)
        db.reset();
    else
        sqlite3_busy_timeout(db.get(), 5000);
    return db;
}

class Statement {
  public:
    Statement(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr) !=
            SQLITE_OK)
            stmt_ = nullptr;
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    explicit operator bool() const { return stmt_ != nullptr; }
    sqlite3_stmt* get() const { return stmt_; }

    // Binds the statement afresh for one use; the destructor of the guard resets it.
    struct Use {
        sqlite3_stmt* s;
        explicit Use(sqlite3_stmt* stmt) : s(stmt) {}
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;
        ~Use() {
            sqlite3_reset(s);
            sqlite3_clear_bindings(s);
        }
        void BindText(int i, std::string_view v) {
            sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        }
        void BindInt(int i, std::int64_t v) { sqlite3_bind_int64(s, i, v); }
        int Step() { return sqlite3_step(s); }
        std::int64_t Int(int col) const { return sqlite3_column_int64(s, col); }
        bool Null(int col) const { return sqlite3_column_type(s, col) == SQLITE_NULL; }
        std::string Text(int col) const {
            const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s, col));
            return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(s, col)))
                     : std::string();
        }
        // Six columns from `col` on, in MEASUREMENT_COLUMNS order.
        Measurement Read(int col) const {
            Measurement m;
            m.status = StatusFromName(Text(col)).value_or(Status::Unsupported);
            if (!Null(col + 1))
                m.number = Int(col + 1);
            m.text = Text(col + 2);
            m.source = Text(col + 3);
            m.detail = Text(col + 4);
            m.time_ms = Int(col + 5);
            return m;
        }
    };
    Use Begin() const { return Use{stmt_}; }

  private:
    sqlite3_stmt* stmt_ = nullptr;
};

// Steps the rows of one statement; false when it ended in an error.
template <typename Each> bool ForEachRow(Statement::Use& row, Each each) {
    int rc;
    while ((rc = row.Step()) == SQLITE_ROW)
        each(row);
    return rc == SQLITE_DONE;
}

Latest ReadLatest(const Statement::Use& row) {
    Latest l;
    l.column = static_cast<int>(row.Int(0));
    l.last = row.Read(1);
    if (!row.Null(7))
        l.good = row.Read(8);
    for (auto [col, past] : {std::pair{14, &l.previous}, {16, &l.week}, {18, &l.month}})
        if (!row.Null(col))
            *past = PastValue{row.Int(col), row.Int(col + 1)};
    return l;
}

constexpr std::int64_t kDayMs = 24LL * 3600 * 1000;

// Works one column's row of `latest` out again from its history, and lists its site.
class LatestWriter {
  public:
    explicit LatestWriter(sqlite3* db)
        : db_(db), newest_(db, kNewest), newest_good_(db, kNewestGood),
          shown_before_(db, kShownBefore), set_(db, kSetLatest), add_site_(db, kAddSite),
          first_(db, kFirstLatest) {}
    explicit operator bool() const {
        return newest_ && newest_good_ && shown_before_ && set_ && add_site_ && first_;
    }

    // `added`: the id of a measurement of the column just inserted, which is the column's
    // first if it has no row yet (the common case of a new site, at a fifth of the work).
    bool Refresh(std::string_view site, std::string_view page, std::int64_t column,
                 std::optional<std::int64_t> added = std::nullopt) {
        auto bind = [&](Statement::Use& use) {
            use.BindText(1, site);
            use.BindText(2, page);
            use.BindInt(3, column);
        };
        {
            auto add = add_site_.Begin();
            bind(add);
            if (add.Step() != SQLITE_DONE)
                return false;
        }
        if (added) {
            auto first = first_.Begin();
            bind(first);
            first.BindInt(4, *added);
            if (first.Step() != SQLITE_DONE)
                return false;
            if (sqlite3_changes(db_) == 1)
                return true;
        }
        auto set = set_.Begin();
        bind(set);
        std::int64_t last_id = 0, last_ms = 0;
        std::optional<std::int64_t> shown;
        {
            auto newest = newest_.Begin();
            bind(newest);
            if (newest.Step() != SQLITE_ROW)
                return false;
            last_id = newest.Int(0);
            last_ms = newest.Int(1);
            set.BindInt(4, last_id);
            set.BindInt(5, last_ms);
            if (!newest.Null(2))
                shown = newest.Int(2);
        }
        {
            auto good = newest_good_.Begin();
            bind(good);
            const int rc = good.Step();
            if (rc == SQLITE_ROW) {
                set.BindInt(6, good.Int(0));
                set.BindInt(7, good.Int(1));
                if (!shown && !good.Null(2))
                    set.BindInt(8, good.Int(2));
            } else if (rc != SQLITE_DONE) {
                return false;
            }
        }
        if (!shown)
            return set.Step() == SQLITE_DONE;
        set.BindInt(8, *shown);
        set.BindInt(15, *shown);
        const struct {
            std::int64_t ms, id;
            int at;
        } pasts[] = {{last_ms, last_id, 9},
                     {last_ms - 7 * kDayMs, INT64_MAX, 11},
                     {last_ms - 30 * kDayMs, INT64_MAX, 13}};
        for (const auto& past : pasts) {
            auto before = shown_before_.Begin();
            bind(before);
            before.BindInt(4, past.ms);
            before.BindInt(5, past.id);
            const int rc = before.Step();
            if (rc == SQLITE_ROW) {
                set.BindInt(past.at, before.Int(0));
                set.BindInt(past.at + 1, before.Int(1));
            } else if (rc != SQLITE_DONE) {
                return false;
            }
        }
        return set.Step() == SQLITE_DONE;
    }

  private:
    sqlite3* const db_;
    Statement newest_, newest_good_, shown_before_, set_, add_site_, first_;
};

// Brings a file of an older layout up to this one, in one transaction: a service killed on the
// way leaves the old file as it was, and the next start does it again. From layout 2 on, `latest`
// holds what it should: only its indexes change.
bool Migrate(sqlite3* db, int version) {
    if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
        return false;
    // A large history rewrites every index of `latest`: a cache of 64 MB for that while only.
    sqlite3_exec(db, "PRAGMA cache_size = -65536", nullptr, nullptr, nullptr);
    bool ok = true;
    {
        std::string existing;
        Statement info(db, "SELECT name FROM pragma_table_info('latest')");
        auto row = info.Begin();
        ok = info && ForEachRow(row, [&](const auto& r) { existing += r.Text(0) + " "; });
        for (const char* column : kLatestAdded)
            if (ok && existing.find(std::string(column) + " ") == std::string::npos)
                ok = sqlite3_exec(
                         db,
                         ("ALTER TABLE latest ADD COLUMN " + std::string(column) + " INTEGER")
                             .c_str(),
                         nullptr, nullptr, nullptr) == SQLITE_OK;
        LatestWriter writer(db);
        Statement all(db, kAllColumns);
        auto each = all.Begin();
        ok = ok && sqlite3_exec(db, kSortIndexes, nullptr, nullptr, nullptr) == SQLITE_OK &&
             writer && all &&
             (version >= 2 || ForEachRow(each,
                                         [&](const auto& r) {
                                             ok = ok &&
                                                  writer.Refresh(r.Text(0), r.Text(1), r.Int(2));
                                         })) &&
             ok;
    }
    ok = ok && sqlite3_exec(db, ("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str(),
                            nullptr, nullptr, nullptr) == SQLITE_OK;
    ok = ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!ok)
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "PRAGMA cache_size = -2000", nullptr, nullptr, nullptr);
    return ok;
}

// A read-only connection of its own: in WAL mode its snapshot neither blocks nor waits for the
// writer, and the store's lock is not held while a long overview is read.
class SqliteOverview final : public OverviewCursor {
  public:
    SqliteOverview(Db db, Page page, TableOrder order, std::size_t offset)
        : db_(std::move(db)), page_(page), column_(order.column), latest_(db_.get(), kLatestRow) {
        const char* direction = order.descending ? "DESC" : "ASC";
        const char* key = order.key == TableOrder::Key::Change  ? "d0"
                          : order.key == TableOrder::Key::Week  ? "d7"
                          : order.key == TableOrder::Key::Month ? "d30"
                                                                : "shown";
        auto query = [&](const char* format) {
            char sql[512];
            std::snprintf(sql, sizeof sql, format, direction, key);
            return std::make_unique<Statement>(db_.get(), sql);
        };
        if (order.column < 0) {
            queries_.push_back({query(kSitesBySite), offset});
        } else {
            // The offset runs on into the later parts once it passes the earlier ones.
            std::size_t with = 0, rows = 0;
            if (offset > 0) {
                const auto count = query(kKeyCounts);
                if (!*count)
                    return;
                auto row = count->Begin();
                Bind(row, 0);
                if (row.Step() != SQLITE_ROW)
                    return;
                with = static_cast<std::size_t>(row.Int(0));
                rows = static_cast<std::size_t>(row.Int(1));
            }
            auto past = [&](std::size_t n) { return offset > n ? offset - n : 0; };
            queries_.push_back({query(kSitesByKey), offset});
            queries_.push_back({query(kSitesWithoutKey), past(with)});
            queries_.push_back({query(kSitesWithoutColumn), past(rows)});
        }
        ready_ = std::all_of(queries_.begin(), queries_.end(),
                             [](const auto& q) { return static_cast<bool>(*q.first); });
        if (ready_)
            Start();
    }

    bool Ready() const { return ready_ && latest_; }

    std::optional<std::size_t> Total() override {
        Statement count(db_.get(), kSiteCount);
        if (!count)
            return std::nullopt;
        auto row = count.Begin();
        row.BindText(1, PageName(page_));
        if (row.Step() != SQLITE_ROW)
            return std::nullopt;
        return static_cast<std::size_t>(row.Int(0));
    }

    std::optional<std::vector<SiteRow>> Next(std::size_t n) override {
        std::vector<SiteRow> out;
        while (use_ && out.size() < n) {
            const int rc = use_->Step();
            if (rc == SQLITE_DONE) {
                use_.reset();
                if (++at_ < queries_.size())
                    Start();
                continue;
            }
            if (rc != SQLITE_ROW)
                return std::nullopt;
            SiteRow site{use_->Text(0), {}};
            auto row = latest_.Begin();
            row.BindText(1, site.site);
            row.BindText(2, PageName(page_));
            if (!ForEachRow(row, [&](const auto& r) { site.columns.push_back(ReadLatest(r)); }))
                return std::nullopt;
            out.push_back(std::move(site));
        }
        return out;
    }

  private:
    void Bind(Statement::Use& use, std::size_t offset) const {
        use.BindText(1, PageName(page_));
        use.BindInt(2, column_);
        use.BindInt(3, static_cast<std::int64_t>(offset));
    }

    void Start() {
        use_.emplace(queries_[at_].first->get());
        Bind(*use_, queries_[at_].second);
    }

    Db db_;
    Page page_;
    int column_;
    Statement latest_;
    // The queries that give the sites in turn, each with its offset.
    std::vector<std::pair<std::unique_ptr<Statement>, std::size_t>> queries_;
    std::size_t at_ = 0;
    bool ready_ = false;
    std::optional<Statement::Use> use_;
};

std::string UtcStamp(std::int64_t ms) {
    const std::time_t t = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &tm);
    return text;
}

// Why a write failed, for the home page: the cause in Chinese, then SQLite's own words.
std::string WriteError(sqlite3* db) {
    const char* cause = nullptr;
    switch (sqlite3_extended_errcode(db) & 0xff) {
    case SQLITE_FULL:
        cause = "磁盘已满";
        break;
    case SQLITE_READONLY:
        cause = "存储文件或其文件夹只读";
        break;
    case SQLITE_IOERR:
        cause = "磁盘读写错误";
        break;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        cause = "存储被其他进程占用";
        break;
    case SQLITE_CORRUPT:
        cause = "存储文件已损坏";
        break;
    case SQLITE_CANTOPEN:
        cause = "无法打开存储的日志文件";
        break;
    }
    const std::string own = sqlite3_errmsg(db);
    return cause ? std::string(cause) + "：" + own : own;
}

// Copies the log into the file on a connection and thread of its own once kDuePages of it are
// not copied yet. SQLite would otherwise copy inside a commit, under the store's mutex, and
// every answer waiting to read or record would wait out the copy and its syncs. The log starts
// over only when a commit begins with all of it copied, which under steady writes a copy never
// leaves behind it. So once the log is kRestartPages long the thread copies again at once,
// each copy shorter than the one before, and when no more than kLeftPages are left (or
// kChases copies did not get there) it copies the rest under the store's mutex, new commits
// held back meanwhile: they wait out two short syncs, and the next one starts the log over.
// At kInlinePages the committing thread copies whatever is left, should the thread have fallen
// behind.
class Checkpointer {
  public:
    // store_mutex: what serialises the commits on `main`.
    Checkpointer(sqlite3* main, std::mutex& store_mutex, const char* vfs)
        : main_(main), store_mutex_(store_mutex) {
        int rc = SQLITE_OK;
        db_ = OpenBeside(main, SQLITE_OPEN_READWRITE, vfs, &rc);
        // A connection learns that the file keeps a write-ahead log only once it reads it; until
        // then a checkpoint on it does nothing and says so only by its counts (-1).
        if (db_)
            rc = sqlite3_exec(db_.get(), "SELECT 1 FROM sqlite_schema LIMIT 1", nullptr, nullptr,
                              nullptr);
        if (rc != SQLITE_OK) {
            LogLine(std::string("store: log copies stay in the commits: ") + sqlite3_errstr(rc));
            db_.reset();
            return; // SQLite's own copying in the commits stays in place
        }
        sqlite3_wal_hook(main_, &Committed, this);
        thread_ = std::thread([this] { Run(); });
    }
    ~Checkpointer() {
        if (!thread_.joinable())
            return;
        sqlite3_wal_hook(main_, nullptr, nullptr);
        {
            std::lock_guard<std::mutex> guard(mutex_);
            stopping_ = true;
        }
        due_cv_.notify_one();
        thread_.join();
    }
    Checkpointer(const Checkpointer&) = delete;
    Checkpointer& operator=(const Checkpointer&) = delete;

    // Called before a commit takes the store's mutex: while the thread waits for it to copy the
    // rest of a long log, new commits wait for that copy, so that a busy store cannot starve it.
    void Yield() {
        if (!finishing_.load(std::memory_order_acquire))
            return;
        std::unique_lock<std::mutex> lock(mutex_);
        finished_cv_.wait(lock, [this] { return !finishing_.load(std::memory_order_relaxed); });
    }

  private:
    static constexpr int kDuePages = 1000, kRestartPages = 4000, kLeftPages = 200, kChases = 3,
                         kInlinePages = 10000;

    // `pages`: the log's length after this commit. Under the store's mutex.
    static int Committed(void* self, sqlite3* db, const char* name, int pages) {
        auto& me = *static_cast<Checkpointer*>(self);
        {
            std::lock_guard<std::mutex> guard(me.mutex_);
            if (pages < me.pages_) { // the log started over
                me.copied_ = 0;
                ++me.restarts_;
            }
            me.pages_ = pages;
            if (!me.copying_ && pages - me.copied_ >= kDuePages) {
                me.due_ = true;
                me.due_cv_.notify_one();
            }
        }
        if (pages >= kInlinePages)
            sqlite3_wal_checkpoint_v2(db, name, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        return SQLITE_OK;
    }

    void Run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            due_cv_.wait(lock, [this] { return due_ || stopping_; });
            if (stopping_)
                return;
            due_ = false;
            copying_ = true;
            const std::uint64_t restarts = restarts_;
            const bool last =
                pages_ >= kRestartPages && (pages_ - copied_ <= kLeftPages || chases_ >= kChases);
            finishing_ = last;
            lock.unlock();
            std::unique_lock<std::mutex> commits(store_mutex_, std::defer_lock);
            if (last)
                commits.lock();
            int copied = -1;
            const int rc = sqlite3_wal_checkpoint_v2(db_.get(), nullptr, SQLITE_CHECKPOINT_PASSIVE,
                                                     nullptr, &copied);
            if (last)
                commits.unlock();
            if (rc != SQLITE_OK && rc != SQLITE_BUSY)
                LogLine(std::string("store: copying the log failed: ") + sqlite3_errmsg(db_.get()));
            lock.lock();
            copying_ = false;
            if (last) {
                finishing_ = false;
                finished_cv_.notify_all();
            }
            const bool progress = restarts == restarts_ && copied > copied_;
            if (progress)
                copied_ = copied;
            // What the commits meanwhile left; on a long log, chase it while each copy gains.
            const bool chase = progress && !last && pages_ >= kRestartPages && pages_ > copied_;
            chases_ = chase ? chases_ + 1 : 0;
            due_ = chase || pages_ - copied_ >= kDuePages;
        }
    }

    sqlite3* const main_;
    std::mutex& store_mutex_;
    Db db_{nullptr, &sqlite3_close_v2};
    std::mutex mutex_; // guards the members below; never held while taking store_mutex_
    std::condition_variable due_cv_, finished_cv_;
    std::atomic<bool> finishing_{false}; // written under mutex_
    bool due_ = false;
    bool stopping_ = false;
    bool copying_ = false;       // commits leave it to the copy running to look again
    int pages_ = 0, copied_ = 0; // the log's length at the last commit, and how much is copied
    int chases_ = 0;             // copies in a row that found the long log not yet copied
    std::uint64_t restarts_ = 0; // how often the log started over
    std::thread thread_;
};

class SqliteStore final : public Store {
  public:
    SqliteStore(Db db, std::vector<StoreNotice> notices, Clock& clock, const char* vfs)
        : db_(std::move(db)), checkpointer_(db_.get(), mutex_, vfs),
          reader_(OpenBeside(db_.get(), SQLITE_OPEN_READONLY, vfs)), notices_(std::move(notices)),
          clock_(clock), insert_(db_.get(), kInsert), latest_writer_(db_.get()),
          latest_(reader_ ? reader_.get() : db_.get(), kLatestRow), history_(db_.get(), kHistory),
          load_upstream_(db_.get(), (std::string("SELECT ") + kUpstreamColumns +
                                     " FROM upstreams WHERE provider = ?1")
                                        .c_str()),
          save_upstream_(db_.get(), kSaveUpstream), begin_(db_.get(), "BEGIN IMMEDIATE"),
          commit_(db_.get(), "COMMIT"), rollback_(db_.get(), "ROLLBACK") {}

    bool Prepared() const {
        return insert_ && latest_writer_ && latest_ && history_ && load_upstream_ &&
               save_upstream_ && begin_ && commit_ && rollback_;
    }

    bool Record(const std::string& site, Page page, int column, const Measurement& m) override {
        return RecordAll(site, page, {column}, {m});
    }

    bool RecordAll(const std::string& site, Page page, const std::vector<int>& columns,
                   const std::vector<Measurement>& measurements) override {
        return RecordBatch({RecordSet{&site, page, &columns, &measurements}}).front();
    }

    std::vector<bool> RecordBatch(const std::vector<RecordSet>& sets) override {
        {
            checkpointer_.Yield();
            std::lock_guard<std::mutex> guard(mutex_);
            if (begin_.Begin().Step() != SQLITE_DONE)
                return std::vector<bool>(sets.size(), RecordFailed("begin"));
            bool ok = true;
            for (const RecordSet& set : sets) {
                ok = ok && set.columns->size() == set.measurements->size();
                for (std::size_t i = 0; ok && i < set.columns->size(); ++i)
                    ok = Write(*set.site, set.page, (*set.columns)[i], (*set.measurements)[i]);
            }
            if (ok && commit_.Begin().Step() == SQLITE_DONE) {
                failing_since_ms_ = 0;
                return std::vector<bool>(sets.size(), true);
            }
            RecordFailed("record");
            rollback_.Begin().Step();
            if (sets.size() == 1)
                return {false};
        }
        // Only the sets that fail on their own fail.
        std::vector<bool> kept;
        for (const RecordSet& set : sets)
            kept.push_back(RecordBatch({set}).front());
        return kept;
    }

    std::optional<std::vector<Latest>> LatestRow(const std::string& site, Page page) override {
        std::lock_guard<std::mutex> guard(reader_ ? read_mutex_ : mutex_);
        std::vector<Latest> out;
        auto row = latest_.Begin();
        row.BindText(1, site);
        row.BindText(2, PageName(page));
        int rc;
        while ((rc = row.Step()) == SQLITE_ROW)
            out.push_back(ReadLatest(row));
        if (rc != SQLITE_DONE) {
            LogLine(std::string("store: read failed: ") +
                    sqlite3_errmsg(reader_ ? reader_.get() : db_.get()));
            return std::nullopt;
        }
        return out;
    }

    std::unique_ptr<OverviewCursor> Overview(Page page, TableOrder order,
                                             std::size_t offset) override {
        int rc = SQLITE_OK;
        Db db = OpenBeside(db_.get(), SQLITE_OPEN_READONLY, nullptr, &rc);
        if (!db) {
            LogLine(std::string("store: overview failed: ") + sqlite3_errstr(rc));
            return nullptr;
        }
        // One snapshot for the count and every row, however long the reader takes.
        sqlite3_exec(db.get(), "BEGIN", nullptr, nullptr, nullptr);
        auto cursor = std::make_unique<SqliteOverview>(std::move(db), page, order, offset);
        if (!cursor->Ready())
            return nullptr;
        return cursor;
    }

    std::vector<Measurement> History(const std::string& site, Page page, int column,
                                     std::int64_t since_ms) override {
        std::lock_guard<std::mutex> guard(mutex_);
        std::vector<Measurement> out;
        auto row = history_.Begin();
        row.BindText(1, site);
        row.BindText(2, PageName(page));
        row.BindInt(3, column);
        row.BindInt(4, since_ms);
        int rc;
        while ((rc = row.Step()) == SQLITE_ROW)
            out.push_back(row.Read(0));
        if (rc != SQLITE_DONE)
            Fail("history");
        return out;
    }

    std::optional<UpstreamState> LoadUpstream(const std::string& provider) override {
        std::lock_guard<std::mutex> guard(mutex_);
        auto row = load_upstream_.Begin();
        row.BindText(1, provider);
        const int rc = row.Step();
        if (rc != SQLITE_ROW) {
            if (rc != SQLITE_DONE)
                Fail("load upstream");
            return std::nullopt;
        }
        UpstreamState u;
        u.suspended_until_ms = row.Int(0);
        u.suspended_status = StatusFromName(row.Text(1)).value_or(Status::Blocked);
        u.suspended_why = row.Text(2);
        u.budget_day = row.Int(3);
        u.budget_spent = row.Int(4);
        u.broken = row.Int(5) != 0;
        u.broken_why = row.Text(6);
        u.canary_ms = row.Int(7);
        u.canary_status = StatusFromName(row.Text(8)).value_or(Status::Unsupported);
        u.canary_detail = row.Text(9);
        return u;
    }

    bool SaveUpstream(const std::string& provider, const UpstreamState& u) override {
        std::lock_guard<std::mutex> guard(mutex_);
        auto save = save_upstream_.Begin();
        save.BindText(1, provider);
        save.BindInt(2, u.suspended_until_ms);
        save.BindText(3, StatusName(u.suspended_status));
        save.BindText(4, u.suspended_why);
        save.BindInt(5, u.budget_day);
        save.BindInt(6, u.budget_spent);
        save.BindInt(7, u.broken ? 1 : 0);
        save.BindText(8, u.broken_why);
        save.BindInt(9, u.canary_ms);
        save.BindText(10, StatusName(u.canary_status));
        save.BindText(11, u.canary_detail);
        return save.Step() == SQLITE_DONE || Fail("save upstream");
    }

    std::optional<std::int64_t> Count() override {
        std::lock_guard<std::mutex> guard(mutex_);
        Statement count(db_.get(), "SELECT count(*) FROM measurements");
        if (!count)
            return std::nullopt;
        auto row = count.Begin();
        if (row.Step() != SQLITE_ROW)
            return std::nullopt;
        return row.Int(0);
    }

    std::optional<std::vector<KeptMeasurement>> Kept(std::int64_t after_id,
                                                     std::size_t n) override {
        std::lock_guard<std::mutex> guard(mutex_);
        Statement kept(db_.get(), kKept);
        if (!kept)
            return std::nullopt;
        std::vector<KeptMeasurement> out;
        auto row = kept.Begin();
        row.BindInt(1, after_id);
        row.BindInt(2, static_cast<std::int64_t>(n));
        const bool done = ForEachRow(row, [&](const auto& r) {
            // A page of a newer service cannot be kept by this one.
            if (const auto page = PageFromName(r.Text(2)))
                out.push_back({r.Int(0), r.Text(1), *page, static_cast<int>(r.Int(3)), r.Read(4)});
        });
        if (!done)
            return std::nullopt;
        return out;
    }

    std::optional<std::size_t> Import(const std::vector<KeptMeasurement>& rows) override {
        std::lock_guard<std::mutex> guard(mutex_);
        Statement held(db_.get(), kHeld);
        if (!held || begin_.Begin().Step() != SQLITE_DONE)
            return std::nullopt;
        std::size_t added = 0;
        bool ok = true;
        for (const KeptMeasurement& r : rows) {
            auto use = held.Begin();
            use.BindText(1, r.site);
            use.BindText(2, PageName(r.page));
            use.BindInt(3, r.column);
            use.BindInt(4, r.m.time_ms);
            use.BindText(5, r.m.source);
            const int rc = use.Step();
            if (rc == SQLITE_ROW)
                continue;
            if (!(ok = rc == SQLITE_DONE && Write(r.site, r.page, r.column, r.m)))
                break;
            ++added;
        }
        if (ok && commit_.Begin().Step() == SQLITE_DONE)
            return added;
        Fail("import");
        rollback_.Begin().Step();
        return std::nullopt;
    }

    std::optional<std::vector<std::string>> UpstreamNames() override {
        std::lock_guard<std::mutex> guard(mutex_);
        Statement names(db_.get(), "SELECT provider FROM upstreams ORDER BY provider");
        if (!names)
            return std::nullopt;
        std::vector<std::string> out;
        auto row = names.Begin();
        if (!ForEachRow(row, [&](const auto& r) { out.push_back(r.Text(0)); }))
            return std::nullopt;
        return out;
    }

    std::vector<StoreNotice> Notices() const override {
        std::lock_guard<std::mutex> guard(mutex_);
        std::vector<StoreNotice> out = notices_;
        if (failing_since_ms_)
            out.push_back({StoreNotice::Level::Error, failing_why_, failing_since_ms_});
        return out;
    }

  private:
    // Inside a transaction, under mutex_.
    bool Write(const std::string& site, Page page, int column, const Measurement& m) {
        {
            auto insert = insert_.Begin();
            insert.BindText(1, site);
            insert.BindText(2, PageName(page));
            insert.BindInt(3, column);
            insert.BindText(4, StatusName(m.status));
            if (m.number)
                insert.BindInt(5, *m.number);
            insert.BindText(6, m.text);
            insert.BindText(7, m.source);
            insert.BindText(8, m.detail);
            insert.BindInt(9, m.time_ms);
            if (insert.Step() != SQLITE_DONE)
                return false;
        }
        return latest_writer_.Refresh(site, PageName(page), column,
                                      sqlite3_last_insert_rowid(db_.get()));
    }

    // Under the lock: the notice stays until a Record succeeds.
    bool RecordFailed(const char* what) {
        if (!failing_since_ms_)
            failing_since_ms_ = clock_.NowMs();
        failing_why_ = WriteError(db_.get());
        return Fail(what);
    }

    bool Fail(const char* what) {
        LogLine(std::string("store: ") + what + " failed: " + sqlite3_errmsg(db_.get()));
        return false;
    }

    mutable std::mutex mutex_;
    Db db_;
    Checkpointer checkpointer_; // after db_: it stops and closes its connection first
    // A connection of its own for the answers' reads: in WAL mode they neither wait for a
    // commit nor hold one up. Null where it could not be opened: db_ serves them then.
    std::mutex read_mutex_; // guards reader_ and latest_ while reader_ is open
    Db reader_;
    const std::vector<StoreNotice> notices_;
    Clock& clock_;
    std::int64_t failing_since_ms_ = 0; // the first of the failed Records since the last success
    std::string failing_why_;
    Statement insert_;
    LatestWriter latest_writer_;
    Statement latest_, history_, load_upstream_, save_upstream_, begin_, commit_, rollback_;
};

// Why a file could not be used, and whether it is the file's fault (set it aside) or the
// surroundings' (locked by another process, no room: leave it be).
struct OpenResult {
    std::unique_ptr<SqliteStore> store;
    std::string why;
    bool file_at_fault = false;
};

// A read-only file or mount, a folder without room for the journal: the surroundings' fault.
bool IsFileFault(int rc) {
    const int primary = rc & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB || primary == SQLITE_ERROR ||
           primary == SQLITE_FORMAT;
}

constexpr const char* kWritableHint =
    "; the data folder and the file in it must be writable by the service (or choose another "
    "folder with --data)";

OpenResult TryOpen(const fs::path& file, std::vector<StoreNotice> notices, Env& env) {
    OpenResult r;
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(file.c_str(), &raw,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             env.store_vfs);
    Db db(raw, &sqlite3_close_v2);
    auto fail = [&](int code) {
        r.why = db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(code);
        r.file_at_fault = IsFileFault(code);
        if (!r.file_at_fault)
            r.why += kWritableHint;
        return std::move(r);
    };
    if (rc != SQLITE_OK)
        return fail(rc);
    // SQLite falls back to reading a file it may not write; every answer would then be
    // "false". The file itself is sound, so it stays where it is.
    if (sqlite3_db_readonly(db.get(), "main") == 1) {
        r.why = std::string("the file is read-only (its mode, or a read-only file system)") +
                kWritableHint;
        return r;
    }
    sqlite3_extended_result_codes(db.get(), 1);
    sqlite3_busy_timeout(db.get(), 5000);
    // WAL with NORMAL: a commit is in the log before Record returns, so a killed process loses
    // nothing; only a power cut may drop the last commits, and never corrupts the file.
    for (const char* pragma : {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=NORMAL"})
        if ((rc = sqlite3_exec(db.get(), pragma, nullptr, nullptr, nullptr)) != SQLITE_OK)
            return fail(rc);
    sqlite3_stmt* check = nullptr;
    rc = sqlite3_prepare_v2(db.get(), "PRAGMA quick_check", -1, &check, nullptr);
    std::string verdict;
    if (rc == SQLITE_OK && (rc = sqlite3_step(check)) == SQLITE_ROW) {
        verdict = reinterpret_cast<const char*>(sqlite3_column_text(check, 0));
        rc = SQLITE_OK;
    }
    sqlite3_finalize(check);
    if (rc != SQLITE_OK)
        return fail(rc);
    if (verdict != "ok") {
        r.why = "quick_check: " + verdict.substr(0, 120);
        r.file_at_fault = true;
        return r;
    }
    int version = 0;
    rc = sqlite3_prepare_v2(db.get(), "PRAGMA user_version", -1, &check, nullptr);
    if (rc == SQLITE_OK && (rc = sqlite3_step(check)) == SQLITE_ROW) {
        version = sqlite3_column_int(check, 0);
        rc = SQLITE_OK;
    }
    sqlite3_finalize(check);
    if (rc != SQLITE_OK)
        return fail(rc);
    if (version > kSchemaVersion) {
        r.why = "the file was written by a newer valdane-service (layout " +
                std::to_string(version) + ")";
        return r; // not damaged: never set aside
    }
    if ((rc = sqlite3_exec(db.get(), kSchema, nullptr, nullptr, nullptr)) != SQLITE_OK)
        return fail(rc);
    if (version < kSchemaVersion) {
        LogLine("store: bringing " + file.string() + " from layout " + std::to_string(version) +
                " to " + std::to_string(kSchemaVersion));
        if (!Migrate(db.get(), version))
            return fail(sqlite3_extended_errcode(db.get()));
    }
    r.store =
        std::make_unique<SqliteStore>(std::move(db), std::move(notices), env.clock, env.store_vfs);
    if (!r.store->Prepared()) {
        // Tables of the same names but another shape: not our file.
        r.why = "the file holds tables of another shape";
        r.file_at_fault = true;
        r.store.reset();
    }
    return r;
}

// Renames the file and its journal files aside; a stale -wal must not meet the new file.
std::optional<fs::path> SetAside(const fs::path& file, std::int64_t now_ms) {
    fs::path aside = file;
    aside += ".corrupt-" + UtcStamp(now_ms);
    for (int n = 2; fs::exists(aside); ++n) {
        aside = file;
        aside += ".corrupt-" + UtcStamp(now_ms) + "-" + std::to_string(n);
    }
    std::error_code ec;
    fs::rename(file, aside, ec);
    if (ec)
        return std::nullopt;
    for (const char* suffix : {"-wal", "-shm"}) {
        fs::path from = file, to = aside;
        from += suffix;
        to += suffix;
        if (fs::exists(from, ec))
            fs::rename(from, to, ec);
    }
    return aside;
}

} // namespace

std::unique_ptr<Store> OpenStore(const fs::path& dir, Env& env, std::string* error) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        *error = "cannot create the data folder " + dir.string() + ": " + ec.message();
        return nullptr;
    }
    const fs::path file = dir / "measurements.db";
    const bool existed = fs::exists(file, ec);
    std::vector<StoreNotice> notices;
    if (!existed) {
        notices.push_back({StoreNotice::Level::Info,
                           "已新建存储文件 " + file.string() + "，测量记录从现在起保存在这里。"});
        LogLine("store: " + file.string() + " did not exist; started a new one");
    } else if (fs::is_regular_file(file, ec) && fs::file_size(file, ec) == 0) {
        // SQLite takes an empty file for a new database; whatever it held is gone.
        notices.push_back({StoreNotice::Level::Warning,
                           "存储文件 " + file.string() +
                               " 是空的（0 字节），已作为新存储使用。如果以前有测量记录，"
                               "它们已不在其中（文件可能在磁盘写满或复制时被清空）。"});
        LogLine("store: " + file.string() + " was empty (0 bytes); using it as a new store");
    }
    OpenResult r = TryOpen(file, notices, env);
    if (r.store)
        return std::move(r.store);
    if (!existed || !r.file_at_fault) {
        *error = "cannot open " + file.string() + ": " + r.why;
        return nullptr;
    }
    const auto aside = SetAside(file, env.clock.NowMs());
    if (!aside) {
        *error = "cannot open " + file.string() + " (" + r.why + ") nor set it aside";
        return nullptr;
    }
    notices.push_back(
        {StoreNotice::Level::Warning, "存储文件 " + file.string() + " 已损坏或不是本服务的存储（" +
                                          r.why + "），已改名为 " + aside->string() +
                                          " 保留，并新建了存储；以前的测量记录在改名后的文件中。"});
    LogLine("store: " + file.string() + " unusable (" + r.why + "); moved to " + aside->string() +
            ", started a new one");
    r = TryOpen(file, notices, env);
    if (!r.store) {
        *error = "cannot open " + file.string() + ": " + r.why;
        return nullptr;
    }
    return std::move(r.store);
}

} // namespace valdane::svc
