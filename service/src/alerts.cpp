#include "alerts.h"

#include "log.h"
#include "pages.h"
#include "protocol.h"

#include <sqlite3.h>
#include <toml++/toml.h>

#include <cmath>
#include <ctime>
#include <set>

namespace valdane::svc {
namespace {

constexpr std::int64_t kHourMs = 3600LL * 1000;
constexpr std::int64_t kDayMs = 24 * kHourMs;
constexpr int kFailingAfter = 3; // attempts before a channel is shown as failing
// How long an instance holds a shared outbox entry it is sending: longer than any delivery.
constexpr std::int64_t kClaimMs = 5 * 60 * 1000;

// Alongside the store's own tables: the state of each rule per site (or per source), every
// alert raised, and its deliveries. The last good count each drop is measured against is the
// store's, read once at start and then followed in memory, so that judging a measurement
// writes nothing unless an alert starts or ends. alert_good kept it before.
constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS alert_state(key TEXT PRIMARY KEY, active INTEGER NOT NULL,
    base INTEGER NOT NULL, since INTEGER NOT NULL) WITHOUT ROWID;
DROP TABLE IF EXISTS alert_good;
CREATE TABLE IF NOT EXISTS alert_log(id INTEGER PRIMARY KEY, time_ms INTEGER NOT NULL,
    rule TEXT NOT NULL, site TEXT NOT NULL, fired INTEGER NOT NULL, title TEXT NOT NULL,
    text TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS alert_outbox(id INTEGER PRIMARY KEY, alert INTEGER NOT NULL,
    channel TEXT NOT NULL, attempts INTEGER NOT NULL DEFAULT 0, next_ms INTEGER NOT NULL,
    sent_ms INTEGER NOT NULL DEFAULT 0, error TEXT NOT NULL DEFAULT '');
CREATE INDEX IF NOT EXISTS alert_outbox_due ON alert_outbox(sent_ms, next_ms);
)";

// "12,000": how the pages write counts.
std::string Grouped(std::int64_t v) {
    std::string digits = std::to_string(v < 0 ? -v : v), out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return (v < 0 ? "-" : "") + out;
}

std::string Label(Page page, int column) {
    std::string label(ColumnName(page, column));
    if (page == Page::Sites)
        label += "收录";
    else if (page == Page::Links)
        label += "反链";
    return label;
}

// The expiry date the registration text gives ("到期日期：2027-01-05..."), as ms at 00:00 UTC.
std::optional<std::int64_t> ExpiryMs(const std::string& text) {
    static const std::string kKey = "到期日期：";
    const std::size_t at = text.find(kKey);
    if (at == std::string::npos || text.size() < at + kKey.size() + 10)
        return std::nullopt;
    std::tm tm{};
    const std::string date = text.substr(at + kKey.size(), 10);
    if (std::sscanf(date.c_str(), "%4d-%2d-%2d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday) != 3 ||
        tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31)
        return std::nullopt;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return static_cast<std::int64_t>(timegm(&tm)) * 1000;
}

std::string Date(std::int64_t ms) {
    const std::time_t t = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[16];
    std::strftime(buf, sizeof buf, "%Y-%m-%d", &tm);
    return buf;
}

bool IsFailure(Status s) {
    return !IsFresh(s) && s != Status::NotConfigured && s != Status::Unsupported;
}

std::optional<std::int64_t> Count(const Measurement& m) {
    if (m.status == Status::NotFound)
        return 0;
    if (m.status == Status::Ok)
        return m.number;
    return std::nullopt;
}

// Without a page, the count rules watch counts only: a rank that falls has improved.
bool Applies(const AlertRule& rule, Page page, int column) {
    using Kind = AlertRule::Kind;
    if (rule.page)
        return *rule.page == page && (rule.column < 0 || rule.column == column);
    return (rule.kind != Kind::Drop && rule.kind != Kind::Zero) || page == Page::Sites ||
           page == Page::Links;
}

std::string GoodKey(const std::string& site, Page page, int column) {
    return site + '\x1f' + std::string(PageName(page)) + '\x1f' + std::to_string(column);
}

// Reading the configuration ------------------------------------------------------------------

std::optional<std::string> Rule(const toml::table& t, const std::string& name, AlertRule* r) {
    static const std::map<std::string, AlertRule::Kind, std::less<>> kinds = {
        {"drop", AlertRule::Kind::Drop},
        {"zero", AlertRule::Kind::Zero},
        {"failing", AlertRule::Kind::Failing},
        {"expiry", AlertRule::Kind::Expiry}};
    static const std::set<std::string, std::less<>> known = {"kind",  "page",  "column", "percent",
                                                             "floor", "hours", "days"};
    for (auto&& [key, value] : t)
        if (!known.count(key.str()))
            return "unknown key '" + name + "." + std::string(key.str()) + "'";
    const auto kind = kinds.find(t["kind"].value_or(std::string()));
    if (kind == kinds.end())
        return "key '" + name + ".kind': expected \"drop\", \"zero\", \"failing\" or \"expiry\"";
    r->kind = kind->second;
    std::string id(kind->first);
    if (auto page = t["page"].value<std::string>()) {
        r->page = PageFromName(*page);
        if (!r->page)
            return "key '" + name + ".page': no page '" + *page + "'";
        id += ":" + *page;
    }
    if (t.contains("column")) {
        r->column = static_cast<int>(t["column"].value_or(std::int64_t{-1}));
        if (r->column < 0 || !r->page)
            return "key '" + name + ".column': a column number from 0, with a page";
        id += ":" + std::to_string(r->column);
    }
    auto number = [&](std::string_view key, double lo, double hi, double* out) {
        if (!t.contains(key))
            return true;
        const auto v = t[key].value<double>();
        if (!v || !std::isfinite(*v) || *v < lo || *v > hi)
            return false;
        *out = *v;
        return true;
    };
    double percent = r->percent, floor = static_cast<double>(r->floor), hours = 24, days = 30;
    if (!number("percent", 1, 100, &percent))
        return "key '" + name + ".percent': a number from 1 to 100";
    if (!number("floor", 0, 1e15, &floor))
        return "key '" + name + ".floor': a number at least 0";
    if (!number("hours", 1, 24 * 365, &hours))
        return "key '" + name + ".hours': a number of hours from 1";
    if (!number("days", 1, 3650, &days))
        return "key '" + name + ".days': a number of days from 1";
    r->percent = percent;
    r->floor = static_cast<std::int64_t>(floor);
    if (r->kind == AlertRule::Kind::Drop)
        id += ":" + std::to_string(percent) + "%:" + std::to_string(r->floor);
    if (r->kind == AlertRule::Kind::Failing) {
        r->window_ms = static_cast<std::int64_t>(hours * kHourMs);
        id += ":" + std::to_string(r->window_ms / 60000) + "min";
    }
    if (r->kind == AlertRule::Kind::Expiry) {
        r->window_ms = static_cast<std::int64_t>(days * kDayMs);
        id += ":" + std::to_string(r->window_ms / 60000) + "min";
    }
    r->id = id;
    return std::nullopt;
}

std::optional<std::string> Channel(const toml::table& t, const std::string& name, AlertChannel* c) {
    static const std::set<std::string, std::less<>> types = {"webhook", "dingtalk", "wecom",
                                                             "feishu", "smtp"};
    static const std::set<std::string, std::less<>> known = {
        "type", "url", "secret", "from", "to", "user", "password", "starttls"};
    for (auto&& [key, value] : t)
        if (!known.count(key.str()))
            return "unknown key '" + name + "." + std::string(key.str()) + "'";
    for (auto [key, out] : {std::pair{"type", &c->type},
                            {"url", &c->url},
                            {"secret", &c->secret},
                            {"from", &c->from},
                            {"user", &c->user},
                            {"password", &c->password}})
        if (t.contains(key) && !t[key].is_string())
            return "key '" + name + "." + key + "': expected a string";
        else
            *out = t[key].value_or(std::string());
    if (!types.count(c->type))
        return "key '" + name +
               ".type': expected \"webhook\", \"dingtalk\", \"wecom\", \"feishu\" or \"smtp\"";
    const bool smtp = c->type == "smtp";
    const std::string scheme = c->url.substr(0, c->url.find("://") + 3);
    if (smtp ? scheme != "smtp://" && scheme != "smtps://"
             : scheme != "http://" && scheme != "https://")
        return "key '" + name + ".url': expected " +
               (smtp ? "smtp://host:587 or smtps://host:465" : "an http:// or https:// address");
    if (const toml::array* to = t["to"].as_array()) {
        for (const toml::node& item : *to)
            if (auto s = item.value<std::string>())
                c->to.push_back(*s);
            else
                return "key '" + name + ".to': expected an array of addresses";
    }
    if (smtp && (c->from.empty() || c->to.empty()))
        return "key '" + name + "': mail needs 'from' and 'to'";
    const std::string tls = t["starttls"].value_or(std::string("required"));
    if (tls != "required" && tls != "optional")
        return "key '" + name + ".starttls': expected \"required\" or \"optional\"";
    c->require_tls = tls == "required";
    c->name = name.substr(name.rfind('.') + 1);
    return std::nullopt;
}

} // namespace

std::optional<std::string> ReadAlertConfig(const toml::table& alerts, Config* config) {
    for (auto&& [key, value] : alerts)
        if (key != "rules" && key != "channels")
            return "unknown key 'alerts." + std::string(key.str()) + "'";
    config->alert_rules.clear();
    config->alert_channels.clear();
    if (const toml::node* rules = alerts.get("rules")) {
        const toml::array* list = rules->as_array();
        if (!list)
            return std::string("key 'alerts.rules': expected [[alerts.rules]] tables");
        for (std::size_t i = 0; i < list->size(); ++i) {
            const std::string name = "alerts.rules[" + std::to_string(i) + "]";
            const toml::table* t = (*list)[i].as_table();
            if (!t)
                return "key '" + name + "': expected a table";
            AlertRule rule;
            if (auto why = Rule(*t, name, &rule))
                return why;
            config->alert_rules.push_back(std::move(rule));
        }
    }
    if (const toml::node* channels = alerts.get("channels")) {
        const toml::table* t = channels->as_table();
        if (!t)
            return std::string("key 'alerts.channels': expected a table");
        for (auto&& [key, value] : *t) {
            const std::string name = "alerts.channels." + std::string(key.str());
            if (!value.is_table())
                return "key '" + name + "': expected a table";
            AlertChannel channel;
            if (auto why = Channel(*value.as_table(), name, &channel))
                return why;
            config->alert_channels.push_back(std::move(channel));
        }
    }
    return std::nullopt;
}

// The rules ----------------------------------------------------------------------------------

std::unique_ptr<Alerts> Alerts::Open(const std::filesystem::path& dir, const Config& config,
                                     Store& store, Env& env, std::string* error) {
    sqlite3* db = nullptr;
    // Made here when the measurements are kept in PostgreSQL and no store file exists.
    const std::string file = (dir / "measurements.db").string();
    int rc = sqlite3_open_v2(file.c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             env.store_vfs);
    if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(db, 5000);
        rc = sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    }
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        *error = "alerts: " + std::string(db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close_v2(db);
        return nullptr;
    }
    std::unique_ptr<Alerts> alerts(new Alerts(db, config, env));
    if (!alerts->Load(store)) {
        *error = "alerts: the rules' state or the last good counts cannot be read";
        return nullptr;
    }
    return alerts;
}

Alerts::Alerts(sqlite3* db, const Config& config, Env& env) : db_(db), config_(config), env_(env) {}

Alerts::~Alerts() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable())
        thread_.join();
    for (auto& [sql, stmt] : stmts_)
        sqlite3_finalize(stmt);
    sqlite3_close_v2(db_);
}

sqlite3_stmt* Alerts::Stmt(const char* sql) {
    sqlite3_stmt*& stmt = stmts_[sql];
    if (!stmt)
        sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    else
        sqlite3_reset(stmt);
    return stmt;
}

bool Alerts::Load(Store& store) {
    sqlite3_stmt* s = Stmt("SELECT key, active, base, since FROM alert_state");
    while (s && sqlite3_step(s) == SQLITE_ROW)
        states_[reinterpret_cast<const char*>(sqlite3_column_text(s, 0))] = {
            sqlite3_column_int(s, 1) != 0, sqlite3_column_int64(s, 2), sqlite3_column_int64(s, 3)};
    if (!s)
        return false;
    // Through the store, whichever it is: with PostgreSQL the measurements are not in this file.
    for (Page page : kPages) {
        const std::unique_ptr<OverviewCursor> cursor = store.Overview(page, TableOrder{}, 0);
        for (std::optional<std::vector<SiteRow>> rows; cursor;) {
            if (!(rows = cursor->Next(1024)))
                return false;
            if (rows->empty())
                break;
            for (const SiteRow& row : *rows)
                for (const Latest& l : row.columns)
                    if (const auto count = l.good ? Count(*l.good) : std::nullopt)
                        good_[GoodKey(row.site, page, l.column)] = *count;
        }
        if (!cursor)
            return false;
    }
    return true;
}

void Alerts::Begin() {
    if (!in_transaction_)
        in_transaction_ = sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
}

void Alerts::Save(const std::string& key, const State& state) {
    states_[key] = state;
    Begin();
    sqlite3_stmt* s = Stmt("INSERT OR REPLACE INTO alert_state VALUES (?, ?, ?, ?)");
    sqlite3_bind_text(s, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
    sqlite3_bind_int(s, 2, state.active);
    sqlite3_bind_int64(s, 3, state.base);
    sqlite3_bind_int64(s, 4, state.since);
    sqlite3_step(s);
}

void Alerts::Raise(const AlertRule& rule, const std::string& site, bool fired, std::string title,
                   std::string text) {
    Begin();
    const std::int64_t now = env_.clock.NowMs();
    sqlite3_stmt* s = Stmt("INSERT INTO alert_log(time_ms, rule, site, fired, title, text) "
                           "VALUES (?, ?, ?, ?, ?, ?)");
    sqlite3_bind_int64(s, 1, now);
    sqlite3_bind_text(s, 2, rule.id.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s, 3, site.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(s, 4, fired);
    sqlite3_bind_text(s, 5, title.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s, 6, text.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(s);
    const std::int64_t alert = sqlite3_last_insert_rowid(db_);
    if (outbox_) {
        std::vector<std::string> channels;
        for (const AlertChannel& c : config_.alert_channels)
            channels.push_back(c.name);
        if (!outbox_->Add({rule.id, site, fired, title, text, now}, channels))
            LogLine("alerts: '" + title + "' could not be put in the shared outbox");
        wake_ = true;
        return;
    }
    for (const AlertChannel& c : config_.alert_channels) {
        sqlite3_stmt* o =
            Stmt("INSERT INTO alert_outbox(alert, channel, next_ms) VALUES (?, ?, ?)");
        sqlite3_bind_int64(o, 1, alert);
        sqlite3_bind_text(o, 2, c.name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(o, 3, now);
        sqlite3_step(o);
    }
    wake_ = true;
}

void Alerts::Observe(const std::string& site, Page page, const std::vector<int>& columns,
                     const std::vector<Measurement>& results) {
    if (config_.alert_rules.empty())
        return;
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < columns.size() && i < results.size(); ++i) {
        const Measurement& m = results[i];
        const std::string good_key = GoodKey(site, page, columns[i]);
        const auto found = good_.find(good_key);
        const std::optional<std::int64_t> previous =
            found == good_.end() ? std::nullopt : std::optional(found->second);
        for (const AlertRule& rule : config_.alert_rules)
            if (Applies(rule, page, columns[i]))
                Judge(rule, site, page, columns[i], good_key, m, previous);
        if (const std::optional<std::int64_t> count = Count(m)) {
            if (found == good_.end())
                good_.emplace(good_key, *count);
            else
                found->second = *count;
        }
    }
    if (in_transaction_) {
        // A failed commit leaves memory ahead of the file; the next restart judges afresh from
        // what was kept, which at worst repeats an alert rather than losing one.
        if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        in_transaction_ = false;
    }
    if (wake_)
        cv_.notify_all();
}

void Alerts::Judge(const AlertRule& rule, const std::string& site, Page page, int column,
                   const std::string& good_key, const Measurement& m,
                   const std::optional<std::int64_t>& previous) {
    using Kind = AlertRule::Kind;
    const std::string key = rule.id + '\x1e' + (rule.kind == Kind::Failing ? m.source : good_key);
    const auto found = states_.find(key);
    State state = found == states_.end() ? State{} : found->second;
    const std::optional<std::int64_t> count = Count(m);
    // Built only for an alert: most measurements raise none.
    auto label = [&] { return Label(page, column); };
    auto name = [&] { return DisplaySite(site); };
    switch (rule.kind) {
    case Kind::Drop: {
        if (!count)
            return;
        if (!state.active) {
            if (!previous || *previous < rule.floor ||
                *count > *previous * (1 - rule.percent / 100))
                return;
            const int fell =
                static_cast<int>(std::lround(100.0 * (*previous - *count) / *previous));
            Save(key, {true, *previous, 0});
            Raise(rule, site, true, name() + " " + label() + "下降 " + std::to_string(fell) + "%",
                  label() + "较上次下降 " + std::to_string(fell) + "%：" + Grouped(*previous) +
                      " → " + Grouped(*count));
        } else if (*count > state.base * (1 - rule.percent / 100)) {
            Save(key, {});
            Raise(rule, site, false, name() + " " + label() + "已回升",
                  label() + "已回升：" + Grouped(*count) + "（下降前 " + Grouped(state.base) +
                      "）");
        }
        return;
    }
    case Kind::Zero:
        if (!count)
            return;
        if (!state.active && *count == 0 && previous && *previous > 0) {
            Save(key, {true, *previous, 0});
            Raise(rule, site, true, name() + " " + label() + "降为 0",
                  label() + "降为 0（此前 " + Grouped(*previous) + "），可能已被删除收录");
        } else if (state.active && *count > 0) {
            Save(key, {});
            Raise(rule, site, false, name() + " " + label() + "已恢复",
                  label() + "已恢复：" + Grouped(*count));
        }
        return;
    case Kind::Failing: {
        const std::int64_t now = env_.clock.NowMs();
        if (IsFresh(m.status)) {
            if (state.active)
                Raise(rule, "", false, "数据源 " + m.source + " 已恢复",
                      "数据源 " + m.source + " 已恢复正常（" + name() + " " + label() + "）");
            if (state.active || state.since)
                Save(key, {});
        } else if (IsFailure(m.status)) {
            if (!state.since) {
                Save(key, {false, 0, now});
            } else if (!state.active && now - state.since > rule.window_ms) {
                Save(key, {true, 0, state.since});
                const std::string hours = std::to_string((now - state.since) / kHourMs);
                Raise(rule, "", true, "数据源 " + m.source + " 已连续失败 " + hours + " 小时",
                      "数据源 " + m.source + " 自 " + Date(state.since) + " 起失败 " + hours +
                          " 小时：" + std::string(StatusName(m.status)) +
                          (m.detail.empty() ? "" : "，" + m.detail));
            }
        }
        return;
    }
    case Kind::Expiry: {
        if (m.status != Status::Ok)
            return;
        const std::optional<std::int64_t> expires = ExpiryMs(m.text);
        if (!expires)
            return;
        const std::int64_t left = *expires - env_.clock.NowMs();
        if (!state.active && left < rule.window_ms) {
            Save(key, {true, *expires, 0});
            const std::string days = std::to_string(std::max<std::int64_t>(0, left / kDayMs));
            Raise(rule, site, true, name() + " 域名将于 " + Date(*expires) + " 到期",
                  name() + " 的注册将于 " + Date(*expires) + " 到期（剩 " + days +
                      " 天），请及时续费");
        } else if (state.active && left >= rule.window_ms) {
            Save(key, {});
            Raise(rule, site, false, name() + " 域名已续费",
                  name() + " 的注册已续至 " + Date(*expires));
        }
        return;
    }
    }
}

// Delivery -----------------------------------------------------------------------------------

std::int64_t Alerts::Backoff(int attempts) {
    constexpr std::int64_t kFirst = 60 * 1000, kMost = 6 * kHourMs;
    return attempts >= 20 ? kMost : std::min(kMost, kFirst << (attempts - 1));
}

const AlertChannel* Alerts::Channel(const std::string& name) const {
    for (const AlertChannel& c : config_.alert_channels)
        if (c.name == name)
            return &c;
    return nullptr;
}

std::int64_t Alerts::DeliverDueShared() {
    for (;;) {
        std::int64_t next = 0;
        const auto entry = outbox_->Claim(env_.clock.NowMs(), kClaimMs, &next);
        if (!entry)
            return next;
        const AlertChannel* channel = Channel(entry->channel);
        const DeliveryResult result =
            channel ? Deliver(*channel, entry->message, env_)
                    : DeliveryResult{false, "the channel is not configured on this instance"};
        const std::int64_t after = env_.clock.NowMs();
        const int attempts = entry->attempts + 1;
        outbox_->Done(entry->id, attempts, after + Backoff(attempts),
                      result.ok ? after
                      : channel ? 0
                                : -1,
                      result.error);
    }
}

std::int64_t Alerts::DeliverDue() {
    if (outbox_)
        return DeliverDueShared();
    for (;;) {
        std::unique_lock lock(mutex_);
        const std::int64_t now = env_.clock.NowMs();
        sqlite3_stmt* s = Stmt("SELECT o.id, o.channel, o.attempts, a.rule, a.site, a.fired, "
                               "a.title, a.text, a.time_ms FROM alert_outbox o JOIN alert_log a "
                               "ON a.id = o.alert WHERE o.sent_ms = 0 AND o.next_ms <= ? "
                               "ORDER BY o.next_ms, o.id LIMIT 1");
        sqlite3_bind_int64(s, 1, now);
        if (sqlite3_step(s) != SQLITE_ROW) {
            sqlite3_stmt* n = Stmt("SELECT MIN(next_ms) FROM alert_outbox WHERE sent_ms = 0");
            return sqlite3_step(n) == SQLITE_ROW ? sqlite3_column_int64(n, 0) : 0;
        }
        auto text = [&](int i) {
            return std::string(reinterpret_cast<const char*>(sqlite3_column_text(s, i)));
        };
        const std::int64_t id = sqlite3_column_int64(s, 0);
        const std::string name = text(1);
        const int attempts = sqlite3_column_int(s, 2) + 1;
        const AlertMessage message{text(3), text(4), sqlite3_column_int(s, 5) != 0,
                                   text(6), text(7), sqlite3_column_int64(s, 8)};
        sqlite3_reset(s);
        const AlertChannel* channel = Channel(name);
        lock.unlock();
        const DeliveryResult result =
            channel ? Deliver(*channel, message, env_)
                    : DeliveryResult{false, "the channel is no longer configured"};
        lock.lock();
        const std::int64_t after = env_.clock.NowMs();
        sqlite3_stmt* u = Stmt("UPDATE alert_outbox SET attempts = ?, next_ms = ?, sent_ms = ?, "
                               "error = ? WHERE id = ?");
        sqlite3_bind_int(u, 1, attempts);
        sqlite3_bind_int64(u, 2, after + Backoff(attempts));
        // A removed channel will never take it: set aside (-1) rather than retried forever.
        sqlite3_bind_int64(u, 3, result.ok ? after : channel ? 0 : -1);
        sqlite3_bind_text(u, 4, result.error.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(u, 5, id);
        sqlite3_step(u);
    }
}

void Alerts::StartDelivery() {
    thread_ = std::thread([this] { DeliveryLoop(); });
}

void Alerts::DeliveryLoop() {
    CancelScope scope(stopping_);
    while (!stopping_) {
        const std::int64_t next = DeliverDue();
        std::unique_lock lock(mutex_);
        // Other instances add to a shared outbox without waking this one.
        const std::int64_t most = outbox_ ? kClaimMs : kHourMs;
        const std::int64_t wait = std::min(next ? next - env_.clock.NowMs() : most, most);
        env_.clock.WaitUntil(lock, cv_, env_.clock.MonoMs() + std::max<std::int64_t>(wait, 0),
                             [&] { return stopping_ || wake_; });
        wake_ = false;
    }
}

std::vector<AlertEntry> Alerts::Recent(int limit) {
    if (outbox_)
        return outbox_->Recent(limit);
    std::lock_guard lock(mutex_);
    std::vector<AlertEntry> out;
    sqlite3_stmt* s = Stmt(
        "SELECT a.rule, a.site, a.fired, a.title, a.text, a.time_ms, "
        "(SELECT COUNT(*) FROM alert_outbox o WHERE o.alert = a.id), "
        "(SELECT COUNT(*) FROM alert_outbox o WHERE o.alert = a.id AND o.sent_ms > 0), "
        "(SELECT o.error FROM alert_outbox o WHERE o.alert = a.id AND o.sent_ms <= 0 "
        "AND o.error <> '' ORDER BY o.id LIMIT 1) FROM alert_log a ORDER BY a.id DESC LIMIT ?");
    sqlite3_bind_int(s, 1, limit);
    while (sqlite3_step(s) == SQLITE_ROW) {
        auto text = [&](int i) {
            const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
            return std::string(t ? t : "");
        };
        out.push_back({{text(0), text(1), sqlite3_column_int(s, 2) != 0, text(3), text(4),
                        sqlite3_column_int64(s, 5)},
                       sqlite3_column_int(s, 6),
                       sqlite3_column_int(s, 7),
                       text(8)});
    }
    return out;
}

std::vector<FailingChannel> Alerts::FailingChannels() {
    std::vector<FailingChannel> out;
    if (outbox_) {
        for (FailingChannel& c : outbox_->Waiting())
            if (c.attempts >= kFailingAfter)
                out.push_back(std::move(c));
        return out;
    }
    std::lock_guard lock(mutex_);
    // MIN picks the row of the oldest waiting alert for the bare columns.
    sqlite3_stmt* s = Stmt("SELECT o.channel, o.attempts, o.error, MIN(a.time_ms) FROM "
                           "alert_outbox o JOIN alert_log a ON a.id = o.alert WHERE "
                           "o.sent_ms = 0 GROUP BY o.channel");
    while (sqlite3_step(s) == SQLITE_ROW)
        if (sqlite3_column_int(s, 1) >= kFailingAfter)
            out.push_back({reinterpret_cast<const char*>(sqlite3_column_text(s, 0)),
                           sqlite3_column_int(s, 1),
                           reinterpret_cast<const char*>(sqlite3_column_text(s, 2)),
                           sqlite3_column_int64(s, 3)});
    return out;
}

} // namespace valdane::svc
