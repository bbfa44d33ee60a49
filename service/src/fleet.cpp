#include "fleet.h"

#include "log.h"
#include "pg.h"
#include "provider.h"

#include <unistd.h>

#include <algorithm>
#include <random>

namespace valdane::svc {
namespace {

constexpr std::int64_t kDayMs = 24LL * 3600 * 1000;
constexpr std::int64_t kMostHeartbeatMs = 15'000;

// Several instances may start at once: the advisory lock lets one create what is missing while
// the others wait, rather than fail on a half-made catalogue entry.
constexpr const char* kSchema[] = {
    "SELECT pg_advisory_xact_lock(7250312)",
    "CREATE TABLE IF NOT EXISTS fleet_jobs(site TEXT NOT NULL, page INTEGER NOT NULL, "
    "provider TEXT NOT NULL, owner TEXT NOT NULL, lease_until BIGINT NOT NULL, "
    "finished_ms BIGINT NOT NULL DEFAULT 0, PRIMARY KEY (site, page, provider))",
    "CREATE INDEX IF NOT EXISTS fleet_jobs_held ON fleet_jobs(owner) WHERE lease_until > 0",
    "CREATE TABLE IF NOT EXISTS fleet_pacing(engine TEXT NOT NULL, egress TEXT NOT NULL, "
    "next_ms BIGINT NOT NULL DEFAULT 0, budget_day BIGINT NOT NULL DEFAULT -1, "
    "budget_spent BIGINT NOT NULL DEFAULT 0, suspended_until_ms BIGINT NOT NULL DEFAULT 0, "
    "suspended_status INTEGER NOT NULL DEFAULT 0, suspended_why TEXT NOT NULL DEFAULT '', "
    "broken BOOLEAN NOT NULL DEFAULT FALSE, broken_why TEXT NOT NULL DEFAULT '', "
    "canary_ms BIGINT NOT NULL DEFAULT 0, canary_status INTEGER NOT NULL DEFAULT 0, "
    "canary_detail TEXT NOT NULL DEFAULT '', PRIMARY KEY (engine, egress))",
    "CREATE TABLE IF NOT EXISTS fleet_instances(id TEXT PRIMARY KEY, egress TEXT NOT NULL, "
    "address TEXT NOT NULL, started_ms BIGINT NOT NULL, seen_ms BIGINT NOT NULL, "
    "measured BIGINT NOT NULL)",
    "CREATE TABLE IF NOT EXISTS fleet_alert_log(id BIGSERIAL PRIMARY KEY, time_ms BIGINT NOT NULL, "
    "rule TEXT NOT NULL, site TEXT NOT NULL, fired BOOLEAN NOT NULL, title TEXT NOT NULL, "
    "text TEXT NOT NULL)",
    "CREATE TABLE IF NOT EXISTS fleet_outbox(id BIGSERIAL PRIMARY KEY, alert BIGINT NOT NULL "
    "REFERENCES fleet_alert_log(id), channel TEXT NOT NULL, attempts INTEGER NOT NULL DEFAULT 0, "
    "next_ms BIGINT NOT NULL, sent_ms BIGINT NOT NULL DEFAULT 0, error TEXT NOT NULL DEFAULT '')",
    "CREATE INDEX IF NOT EXISTS fleet_outbox_due ON fleet_outbox(next_ms) WHERE sent_ms = 0",
};

std::string Num(std::int64_t n) {
    return std::to_string(n);
}

} // namespace

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "localhost";
    return name;
}

std::unique_ptr<Fleet> Fleet::Open(const std::string& uri, FleetOptions options, Env& env,
                                   std::string* error) {
    auto db = pg::Connection::Open(uri, error);
    if (!db)
        return nullptr;
    {
        pg::Transaction schema(*db);
        pg::Result made;
        for (const char* statement : kSchema)
            if (!(made = db->Exec(statement)).ok())
                break;
        if (!made.ok() || !schema.Commit()) {
            *error = "shared tables: " + (made.ok() ? db->Error() : made.error());
            return nullptr;
        }
    }
    if (options.instance.empty())
        options.instance = HostName() + "/" + Num(getpid()) + "/" +
                           Num(static_cast<std::int64_t>(std::random_device{}() % 100000));
    if (options.egress.empty())
        options.egress = HostName();
    std::unique_ptr<Fleet> fleet(new Fleet(std::move(db), std::move(options), env));
    fleet->Beat();
    if (fleet->options_.heartbeat_thread)
        fleet->heartbeat_ = std::thread([f = fleet.get()] { f->HeartbeatLoop(); });
    return fleet;
}

Fleet::Fleet(std::unique_ptr<pg::Connection> db, FleetOptions options, Env& env)
    : db_(std::move(db)), options_(std::move(options)), env_(env), started_ms_(env.clock.NowMs()) {}

// The leases this instance holds are left to run out, not renewed: its engine has handed back
// what it did not finish (Release), and a kill leaves them to the others the same way.
Fleet::~Fleet() {
    {
        std::lock_guard<std::mutex> guard(stop_mutex_);
        stopping_ = true;
    }
    stop_cv_.notify_all();
    if (heartbeat_.joinable())
        heartbeat_.join();
    Seen(); // the work done to the end, for the home page
}

namespace {

// One prepared statement, run again once on a fresh connection when the old one was lost
// (a server restart): the shared state recovers by itself.
pg::Result Run(pg::Connection& db, const char* name, const char* sql,
               const std::vector<pg::Param>& params) {
    pg::Result r = db.Prepared(name, sql, params);
    if (!r.ok() && db.Broken() && db.Reset())
        r = db.Prepared(name, sql, params);
    if (!r.ok())
        LogLine(std::string("fleet: ") + name + ": " + r.error());
    return r;
}

} // namespace

bool Fleet::Claim(const std::string& site, Page page, const std::string& provider,
                  std::int64_t queued_ms) {
    const std::int64_t now = env_.clock.NowMs();
    std::lock_guard<std::mutex> guard(mutex_);
    const pg::Result r =
        Run(*db_, "fleet_claim",
            "INSERT INTO fleet_jobs AS j (site, page, provider, owner, lease_until) "
            "VALUES ($1, $2, $3, $4, $5) ON CONFLICT (site, page, provider) DO UPDATE "
            "SET owner = EXCLUDED.owner, lease_until = EXCLUDED.lease_until "
            "WHERE j.lease_until < $6 AND j.finished_ms < $7 RETURNING 1",
            {site, Num(static_cast<int>(page)), provider, options_.instance,
             Num(now + options_.lease_ms), Num(now), Num(queued_ms)});
    return r.ok() && r.rows() == 1;
}

void Fleet::Release(const std::string& site, Page page, const std::string& provider,
                    bool recorded) {
    if (recorded)
        ++measured_;
    std::lock_guard<std::mutex> guard(mutex_);
    Run(*db_, "fleet_release",
        "UPDATE fleet_jobs SET lease_until = 0, "
        "finished_ms = CASE WHEN $5::boolean THEN $6::bigint ELSE finished_ms END "
        "WHERE site = $1 AND page = $2 AND provider = $3 AND owner = $4",
        {site, Num(static_cast<int>(page)), provider, options_.instance,
         recorded ? "true" : "false", Num(env_.clock.NowMs())});
}

PacingShare::Slot Fleet::TakeSlot(const std::string& name, std::int64_t now_ms, std::int64_t gap_ms,
                                  std::int64_t daily_budget) {
    Slot slot;
    const std::int64_t today = now_ms / kDayMs;
    if (daily_budget <= 0) {
        slot.next_ms = now_ms;
        slot.budget_day = today;
        return slot;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    // Granted only when due: the scheduler never sleeps on a reserved future slot.
    pg::Result r = Run(
        *db_, "fleet_slot",
        "INSERT INTO fleet_pacing AS p (engine, egress, next_ms, budget_day, budget_spent) "
        "VALUES ($1, $2, $3::bigint + $4::bigint, $5, 1) ON CONFLICT (engine, egress) DO UPDATE "
        "SET next_ms = GREATEST(p.next_ms, $3::bigint) + $4::bigint, budget_day = $5, "
        "budget_spent = CASE WHEN p.budget_day = $5 THEN p.budget_spent + 1 ELSE 1 END "
        "WHERE p.next_ms <= $3::bigint AND (p.budget_day <> $5 OR p.budget_spent < $6) "
        "RETURNING next_ms, budget_day, budget_spent",
        {name, options_.egress, Num(now_ms), Num(gap_ms), Num(today), Num(daily_budget)});
    slot.granted = r.ok() && r.rows() == 1;
    if (!slot.granted && r.ok())
        r = Run(*db_, "fleet_slot_next",
                "SELECT next_ms, budget_day, budget_spent FROM fleet_pacing "
                "WHERE engine = $1 AND egress = $2",
                {name, options_.egress});
    if (!r.ok() || r.rows() != 1) {
        slot.next_ms = now_ms + gap_ms; // the share is away: ask again a slot later
        return slot;
    }
    slot.next_ms = r.integer(0, 0);
    slot.budget_day = today;
    slot.budget_spent = r.integer(0, 1) == today ? r.integer(0, 2) : 0;
    return slot;
}

std::optional<UpstreamState> Fleet::Load(const std::string& name) {
    std::lock_guard<std::mutex> guard(mutex_);
    const pg::Result r = Run(*db_, "fleet_load",
                             "SELECT suspended_until_ms, suspended_status, suspended_why, broken, "
                             "broken_why, canary_ms, canary_status, canary_detail, budget_day, "
                             "budget_spent FROM fleet_pacing WHERE engine = $1 AND egress = $2",
                             {name, options_.egress});
    if (!r.ok() || r.rows() != 1)
        return std::nullopt;
    UpstreamState s;
    s.suspended_until_ms = r.integer(0, 0);
    s.suspended_status = static_cast<Status>(r.integer(0, 1));
    s.suspended_why = r.text(0, 2);
    s.broken = r.text(0, 3) == "t";
    s.broken_why = r.text(0, 4);
    s.canary_ms = r.integer(0, 5);
    s.canary_status = static_cast<Status>(r.integer(0, 6));
    s.canary_detail = r.text(0, 7);
    s.budget_day = r.integer(0, 8);
    s.budget_spent = r.integer(0, 9);
    return s;
}

// The day's count is left alone: TakeSlot alone moves it, atomically.
bool Fleet::Save(const std::string& name, const UpstreamState& s) {
    std::lock_guard<std::mutex> guard(mutex_);
    return Run(*db_, "fleet_save",
               "INSERT INTO fleet_pacing AS p (engine, egress, suspended_until_ms, "
               "suspended_status, suspended_why, broken, broken_why, canary_ms, canary_status, "
               "canary_detail) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10) "
               "ON CONFLICT (engine, egress) DO UPDATE SET "
               "suspended_until_ms = EXCLUDED.suspended_until_ms, "
               "suspended_status = EXCLUDED.suspended_status, "
               "suspended_why = EXCLUDED.suspended_why, broken = EXCLUDED.broken, "
               "broken_why = EXCLUDED.broken_why, canary_ms = EXCLUDED.canary_ms, "
               "canary_status = EXCLUDED.canary_status, canary_detail = EXCLUDED.canary_detail",
               {name, options_.egress, Num(s.suspended_until_ms),
                Num(static_cast<int>(s.suspended_status)), s.suspended_why,
                s.broken ? "true" : "false", s.broken_why, Num(s.canary_ms),
                Num(static_cast<int>(s.canary_status)), s.canary_detail})
        .ok();
}

bool Fleet::Add(const AlertMessage& m, const std::vector<std::string>& channels) {
    std::lock_guard<std::mutex> guard(mutex_);
    pg::Transaction transaction(*db_);
    const pg::Result alert =
        Run(*db_, "fleet_alert",
            "INSERT INTO fleet_alert_log(time_ms, rule, site, fired, title, text) "
            "VALUES ($1, $2, $3, $4, $5, $6) RETURNING id",
            {Num(m.time_ms), m.rule, m.site, m.fired ? "true" : "false", m.title, m.text});
    if (!alert.ok() || alert.rows() != 1)
        return false;
    const std::string id(alert.text(0, 0));
    for (const std::string& channel : channels)
        if (!Run(*db_, "fleet_outbox_add",
                 "INSERT INTO fleet_outbox(alert, channel, next_ms) VALUES ($1, $2, $3)",
                 {id, channel, Num(m.time_ms)})
                 .ok())
            return false;
    return transaction.Commit();
}

std::optional<AlertOutbox::Entry> Fleet::Claim(std::int64_t now_ms, std::int64_t claim_ms,
                                               std::int64_t* next_ms) {
    std::lock_guard<std::mutex> guard(mutex_);
    const pg::Result r =
        Run(*db_, "fleet_outbox_claim",
            "WITH c AS (UPDATE fleet_outbox SET next_ms = $1::bigint + $2::bigint WHERE id = "
            "(SELECT id FROM fleet_outbox WHERE sent_ms = 0 AND next_ms <= $1::bigint "
            "ORDER BY next_ms, id LIMIT 1 FOR UPDATE SKIP LOCKED) "
            "RETURNING id, channel, attempts, alert) "
            "SELECT c.id, c.channel, c.attempts, a.rule, a.site, a.fired, a.title, a.text, "
            "a.time_ms FROM c JOIN fleet_alert_log a ON a.id = c.alert",
            {Num(now_ms), Num(claim_ms)});
    if (r.ok() && r.rows() == 1)
        return Entry{r.integer(0, 0),
                     std::string(r.text(0, 1)),
                     static_cast<int>(r.integer(0, 2)),
                     {std::string(r.text(0, 3)), std::string(r.text(0, 4)), r.text(0, 5) == "t",
                      std::string(r.text(0, 6)), std::string(r.text(0, 7)), r.integer(0, 8)}};
    const pg::Result next = Run(*db_, "fleet_outbox_next",
                                "SELECT MIN(next_ms) FROM fleet_outbox WHERE sent_ms = 0", {});
    // Unreachable: look again after a claim's time, as for an entry claimed elsewhere.
    *next_ms = r.ok() && next.ok() && next.rows() == 1 ? next.integer(0, 0) : now_ms + claim_ms;
    return std::nullopt;
}

void Fleet::Done(std::int64_t id, int attempts, std::int64_t next_ms, std::int64_t sent_ms,
                 const std::string& error) {
    std::lock_guard<std::mutex> guard(mutex_);
    Run(*db_, "fleet_outbox_done",
        "UPDATE fleet_outbox SET attempts = $2, next_ms = $3, sent_ms = $4, error = $5 "
        "WHERE id = $1",
        {Num(id), Num(attempts), Num(next_ms), Num(sent_ms), error});
}

std::vector<AlertEntry> Fleet::Recent(int limit) {
    std::vector<AlertEntry> out;
    std::lock_guard<std::mutex> guard(mutex_);
    const pg::Result r =
        Run(*db_, "fleet_alerts_recent",
            "SELECT a.rule, a.site, a.fired, a.title, a.text, a.time_ms, "
            "(SELECT COUNT(*) FROM fleet_outbox o WHERE o.alert = a.id), "
            "(SELECT COUNT(*) FROM fleet_outbox o WHERE o.alert = a.id AND o.sent_ms > 0), "
            "(SELECT o.error FROM fleet_outbox o WHERE o.alert = a.id AND o.sent_ms <= 0 "
            "AND o.error <> '' ORDER BY o.id LIMIT 1) FROM fleet_alert_log a ORDER BY a.id DESC "
            "LIMIT $1",
            {Num(limit)});
    for (int i = 0; r.ok() && i < r.rows(); ++i)
        out.push_back({{std::string(r.text(i, 0)), std::string(r.text(i, 1)), r.text(i, 2) == "t",
                        std::string(r.text(i, 3)), std::string(r.text(i, 4)), r.integer(i, 5)},
                       static_cast<int>(r.integer(i, 6)),
                       static_cast<int>(r.integer(i, 7)),
                       r.null(i, 8) ? std::string() : std::string(r.text(i, 8))});
    return out;
}

std::vector<FailingChannel> Fleet::Waiting() {
    std::vector<FailingChannel> out;
    std::lock_guard<std::mutex> guard(mutex_);
    const pg::Result r =
        Run(*db_, "fleet_outbox_waiting",
            "SELECT DISTINCT ON (o.channel) o.channel, o.attempts, o.error, "
            "a.time_ms FROM fleet_outbox o JOIN fleet_alert_log a ON "
            "a.id = o.alert WHERE o.sent_ms = 0 ORDER BY o.channel, a.time_ms, o.id",
            {});
    for (int i = 0; r.ok() && i < r.rows(); ++i)
        out.push_back({std::string(r.text(i, 0)), static_cast<int>(r.integer(i, 1)),
                       std::string(r.text(i, 2)), r.integer(i, 3)});
    return out;
}

void Fleet::SharePacing(const std::map<std::string, std::unique_ptr<Provider>>& providers) {
    for (const auto& [name, provider] : providers)
        if (Pacer* pacer = provider->pacer())
            pacer->Share(this);
}

std::int64_t Fleet::HeartbeatMs(std::int64_t lease_ms) {
    return std::clamp<std::int64_t>(lease_ms / 3, 1, kMostHeartbeatMs);
}

void Fleet::Beat() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        Run(*db_, "fleet_renew",
            "UPDATE fleet_jobs SET lease_until = $2 WHERE owner = $1 AND lease_until > 0",
            {options_.instance, Num(env_.clock.NowMs() + options_.lease_ms)});
    }
    Seen();
}

void Fleet::Seen() {
    const std::int64_t now = env_.clock.NowMs();
    std::lock_guard<std::mutex> guard(mutex_);
    Run(*db_, "fleet_beat",
        "INSERT INTO fleet_instances (id, egress, address, started_ms, seen_ms, measured) "
        "VALUES ($1, $2, $3, $4, $5, $6) ON CONFLICT (id) DO UPDATE SET "
        "seen_ms = EXCLUDED.seen_ms, measured = EXCLUDED.measured",
        {options_.instance, options_.egress, options_.address, Num(started_ms_), Num(now),
         Num(measured_.load())});
}

std::vector<InstanceSeen> Fleet::Instances(std::int64_t within_ms) {
    std::vector<InstanceSeen> out;
    std::lock_guard<std::mutex> guard(mutex_);
    const pg::Result r = Run(*db_, "fleet_instances",
                             "SELECT id, egress, address, started_ms, seen_ms, measured "
                             "FROM fleet_instances WHERE seen_ms >= $1 "
                             "ORDER BY id <> $2, egress, started_ms",
                             {Num(env_.clock.NowMs() - within_ms), options_.instance});
    for (int i = 0; r.ok() && i < r.rows(); ++i)
        out.push_back({std::string(r.text(i, 0)), std::string(r.text(i, 1)),
                       std::string(r.text(i, 2)), r.integer(i, 3), r.integer(i, 4),
                       r.integer(i, 5)});
    return out;
}

void Fleet::HeartbeatLoop() {
    std::unique_lock<std::mutex> lock(stop_mutex_);
    while (!stopping_) {
        env_.clock.WaitUntil(lock, stop_cv_, env_.clock.MonoMs() + HeartbeatMs(options_.lease_ms),
                             [this] { return stopping_; });
        if (stopping_)
            break;
        lock.unlock();
        Beat();
        lock.lock();
    }
}

} // namespace valdane::svc
