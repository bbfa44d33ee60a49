#include "store.h"

#include "log.h"

#include <sqlite3.h>

#include <cstdio>
#include <ctime>
#include <mutex>

namespace valdane::svc {
namespace fs = std::filesystem;
namespace {

// `latest` keeps, per column, the newest measurement and the newest good one, so that an
// answer is one indexed look-up however long the history grows.
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
    PRIMARY KEY(site, page, col)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS latest_by_page ON latest(page, site, col);
CREATE TABLE IF NOT EXISTS upstreams(
    provider TEXT PRIMARY KEY,
    suspended_until_ms INTEGER NOT NULL, suspended_status TEXT NOT NULL,
    suspended_why TEXT NOT NULL, budget_day INTEGER NOT NULL, budget_spent INTEGER NOT NULL,
    broken INTEGER NOT NULL, broken_why TEXT NOT NULL, canary_ms INTEGER NOT NULL,
    canary_status TEXT NOT NULL, canary_detail TEXT NOT NULL) WITHOUT ROWID;
)sql";

// PRAGMA user_version of the layout above. 1 added `upstreams`; a file of 0 gets it on opening.
// A file of a later version was written by a newer service: it is left alone.
constexpr int kSchemaVersion = 1;

constexpr const char* kUpstreamColumns =
    "suspended_until_ms, suspended_status, suspended_why, budget_day, budget_spent, broken, "
    "broken_why, canary_ms, canary_status, canary_detail";

// An out-of-order record (a late measurement older than the stored one) never hides a newer one.
constexpr const char* kUpsert = R"sql(
INSERT INTO latest(site, page, col, last_id, last_ms, good_id, good_ms)
VALUES(?1, ?2, ?3, ?4, ?5, CASE WHEN ?6 THEN ?4 END, CASE WHEN ?6 THEN ?5 END)
ON CONFLICT(site, page, col) DO UPDATE SET
    last_id = CASE WHEN excluded.last_ms >= last_ms THEN excluded.last_id ELSE last_id END,
    last_ms = max(excluded.last_ms, last_ms),
    good_id = CASE WHEN excluded.good_ms >= coalesce(good_ms, excluded.good_ms)
                   THEN excluded.good_id ELSE good_id END,
    good_ms = CASE WHEN excluded.good_ms >= coalesce(good_ms, excluded.good_ms)
                   THEN excluded.good_ms ELSE good_ms END
)sql";

#define MEASUREMENT_COLUMNS(m)                                                                     \
    m ".status, " m ".number, " m ".text, " m ".source, " m ".detail, " m ".time_ms"

constexpr const char* kLatestRow =
    "SELECT l.col, " MEASUREMENT_COLUMNS("a") ", g.id, " MEASUREMENT_COLUMNS(
        "g") " FROM latest l JOIN measurements a ON a.id = l.last_id"
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

// The value an overview cell shows (pages.cpp ShownValue): the newest measurement's, else the
// last good one's; NULL when neither stands for a number.
#define SHOWN_VALUE(m)                                                                             \
    "WHEN " m ".status = 'ok' AND " m ".number >= 0 THEN " m ".number WHEN " m                     \
    ".status = 'not-found' AND coalesce(" m ".number, 0) >= 0 THEN coalesce(" m ".number, 0) "

constexpr const char* kSitesBySite =
    "SELECT DISTINCT site FROM latest WHERE page = ?1 ORDER BY site %s LIMIT -1 OFFSET ?3";
// Sorted by the store, not in memory: a page of the overview costs its rows, not the table.
constexpr const char* kSitesByValue = "SELECT s.site, CASE " SHOWN_VALUE("a")
    SHOWN_VALUE("g") "END AS v"
                     " FROM (SELECT DISTINCT site FROM latest WHERE page = ?1) s"
                     " LEFT JOIN latest l ON l.site = s.site AND l.page = ?1 AND l.col = ?2"
                     " LEFT JOIN measurements a ON a.id = l.last_id LEFT JOIN measurements g ON "
                     "g.id = l.good_id"
                     " ORDER BY v IS NULL, v %s, s.site LIMIT -1 OFFSET ?3";

#undef SHOWN_VALUE

constexpr const char* kSiteCount =
    "SELECT count(*) FROM (SELECT DISTINCT site FROM latest WHERE page = ?1)";

constexpr const char* kInsert =
    "INSERT INTO measurements(site, page, col, status, number, text, source, detail, time_ms)"
    " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)";

using Db = std::unique_ptr<sqlite3, decltype(&sqlite3_close_v2)>;

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

Latest ReadLatest(const Statement::Use& row) {
    Latest l;
    l.column = static_cast<int>(row.Int(0));
    l.last = row.Read(1);
    if (!row.Null(7))
        l.good = row.Read(8);
    return l;
}

// Steps the rows of one statement; false when it ended in an error.
template <typename Each> bool ForEachRow(Statement::Use& row, Each each) {
    int rc;
    while ((rc = row.Step()) == SQLITE_ROW)
        each(row);
    return rc == SQLITE_DONE;
}

// A read-only connection of its own: in WAL mode its snapshot neither blocks nor waits for the
// writer, and the store's lock is not held while a long overview is read.
class SqliteOverview final : public OverviewCursor {
  public:
    SqliteOverview(Db db, Page page, TableOrder order, std::size_t offset)
        : db_(std::move(db)), page_(page), latest_(db_.get(), kLatestRow) {
        char sql[1024];
        std::snprintf(sql, sizeof sql, order.column < 0 ? kSitesBySite : kSitesByValue,
                      order.descending ? "DESC" : "ASC");
        sites_ = std::make_unique<Statement>(db_.get(), sql);
        if (!*sites_)
            return;
        use_.emplace(sites_->get());
        use_->BindText(1, PageName(page));
        use_->BindInt(2, order.column);
        use_->BindInt(3, static_cast<std::int64_t>(offset));
    }

    bool Ready() const { return use_ && latest_; }

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
        while (!done_ && out.size() < n) {
            const int rc = use_->Step();
            if (rc == SQLITE_DONE) {
                done_ = true;
                break;
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
    Db db_;
    Page page_;
    Statement latest_;
    std::unique_ptr<Statement> sites_;
    std::optional<Statement::Use> use_;
    bool done_ = false;
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

class SqliteStore final : public Store {
  public:
    SqliteStore(Db db, std::vector<StoreNotice> notices, Clock& clock)
        : db_(std::move(db)), notices_(std::move(notices)), clock_(clock),
          insert_(db_.get(), kInsert), upsert_(db_.get(), kUpsert), latest_(db_.get(), kLatestRow),
          history_(db_.get(), kHistory),
          load_upstream_(db_.get(), (std::string("SELECT ") + kUpstreamColumns +
                                     " FROM upstreams WHERE provider = ?1")
                                        .c_str()),
          save_upstream_(db_.get(), kSaveUpstream), begin_(db_.get(), "BEGIN IMMEDIATE"),
          commit_(db_.get(), "COMMIT"), rollback_(db_.get(), "ROLLBACK") {}

    bool Prepared() const {
        return insert_ && upsert_ && latest_ && history_ && load_upstream_ && save_upstream_ &&
               begin_ && commit_ && rollback_;
    }

    bool Record(const std::string& site, Page page, int column, const Measurement& m) override {
        return RecordAll(site, page, {column}, {m});
    }

    bool RecordAll(const std::string& site, Page page, const std::vector<int>& columns,
                   const std::vector<Measurement>& measurements) override {
        std::lock_guard<std::mutex> guard(mutex_);
        if (begin_.Begin().Step() != SQLITE_DONE)
            return RecordFailed("begin");
        bool ok = columns.size() == measurements.size();
        for (std::size_t i = 0; ok && i < columns.size(); ++i)
            ok = Write(site, page, columns[i], measurements[i]);
        if (ok && commit_.Begin().Step() == SQLITE_DONE) {
            failing_since_ms_ = 0;
            return true;
        }
        RecordFailed("record");
        rollback_.Begin().Step();
        return false;
    }

    std::optional<std::vector<Latest>> LatestRow(const std::string& site, Page page) override {
        std::lock_guard<std::mutex> guard(mutex_);
        std::vector<Latest> out;
        auto row = latest_.Begin();
        row.BindText(1, site);
        row.BindText(2, PageName(page));
        int rc;
        while ((rc = row.Step()) == SQLITE_ROW)
            out.push_back(ReadLatest(row));
        if (rc != SQLITE_DONE) {
            Fail("read");
            return std::nullopt;
        }
        return out;
    }

    std::unique_ptr<OverviewCursor> Overview(Page page, TableOrder order,
                                             std::size_t offset) override {
        sqlite3* raw = nullptr;
        const int rc = sqlite3_open_v2(sqlite3_db_filename(db_.get(), "main"), &raw,
                                       SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
        Db db(raw, &sqlite3_close_v2);
        if (rc != SQLITE_OK) {
            LogLine(std::string("store: overview failed: ") + sqlite3_errstr(rc));
            return nullptr;
        }
        sqlite3_busy_timeout(db.get(), 5000);
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
        auto upsert = upsert_.Begin();
        upsert.BindText(1, site);
        upsert.BindText(2, PageName(page));
        upsert.BindInt(3, column);
        upsert.BindInt(4, sqlite3_last_insert_rowid(db_.get()));
        upsert.BindInt(5, m.time_ms);
        upsert.BindInt(6, IsFresh(m.status) ? 1 : 0);
        return upsert.Step() == SQLITE_DONE;
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
    const std::vector<StoreNotice> notices_;
    Clock& clock_;
    std::int64_t failing_since_ms_ = 0; // the first of the failed Records since the last success
    std::string failing_why_;
    Statement insert_, upsert_, latest_, history_, load_upstream_, save_upstream_, begin_, commit_,
        rollback_;
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
    if ((rc = sqlite3_exec(db.get(), kSchema, nullptr, nullptr, nullptr)) != SQLITE_OK ||
        (rc = sqlite3_exec(db.get(),
                           ("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str(),
                           nullptr, nullptr, nullptr)) != SQLITE_OK)
        return fail(rc);
    r.store = std::make_unique<SqliteStore>(std::move(db), std::move(notices), env.clock);
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
