#pragma once

#include "channels.h"
#include "config.h"
#include "env.h"
#include "measurement.h"
#include "store.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace valdane::svc {

// An alert as the home page lists it, with how its delivery went.
struct AlertEntry {
    AlertMessage message;
    int channels = 0;  // outbox entries made for it
    int delivered = 0; // of which delivered
    std::string error; // the newest failure of one not delivered
};

// A channel whose oldest undelivered alert has failed several times.
struct FailingChannel {
    std::string name;
    int attempts = 0;
    std::string error;
    std::int64_t since_ms = 0; // when that alert was made
};

// The outbox of several instances on one database (fleet.h). Every instance delivers from it;
// an entry is claimed by one for a while, so an alert goes out once, and one whose instance died
// while sending is taken up by another after the claim.
class AlertOutbox {
  public:
    virtual ~AlertOutbox() = default;
    struct Entry {
        std::int64_t id = 0;
        std::string channel;
        int attempts = 0; // before this one
        AlertMessage message;
    };
    // Keeps the alert with one entry per channel, due at once; false when it could not.
    virtual bool Add(const AlertMessage& message, const std::vector<std::string>& channels) = 0;
    // The oldest entry due at now_ms, claimed until now_ms + claim_ms; else nullopt with *next_ms
    // the time the next falls due (0: none waits).
    virtual std::optional<Entry> Claim(std::int64_t now_ms, std::int64_t claim_ms,
                                       std::int64_t* next_ms) = 0;
    // sent_ms: when delivered; 0 to try again at next_ms; -1 set aside.
    virtual void Done(std::int64_t id, int attempts, std::int64_t next_ms, std::int64_t sent_ms,
                      const std::string& error) = 0;
    virtual std::vector<AlertEntry> Recent(int limit) = 0;
    // Each channel's oldest undelivered entry.
    virtual std::vector<FailingChannel> Waiting() = 0;
};

// The alert rules, judged after every stored measurement, and the outbox that delivers what
// they find. State, log and outbox live in tables of the measurement store's file, so a restart
// neither repeats an alert nor loses one not yet delivered.
//
// Thread-safe: Observe comes from the threads that measure, the rest from the server's threads and
// the delivery thread; one mutex guards the state and the connection. Delivery itself runs
// outside it.
class Alerts {
  public:
    // Opens dir/measurements.db through env.store_vfs, and reads the last good counts from
    // `store`. Null with *error when the tables cannot be made or read.
    static std::unique_ptr<Alerts> Open(const std::filesystem::path& dir, const Config& config,
                                        Store& store, Env& env, std::string* error);
    ~Alerts();
    Alerts(const Alerts&) = delete;
    Alerts& operator=(const Alerts&) = delete;

    // Judges the rules against measurements just recorded (columns[i] took results[i]).
    void Observe(const std::string& site, Page page, const std::vector<int>& columns,
                 const std::vector<Measurement>& results);
    // Sends what is due now, one at a time. Returns the wall ms the next entry falls due, 0
    // when none waits.
    std::int64_t DeliverDue();
    // Delivers in a thread of its own until destruction, woken by new entries.
    void StartDelivery();
    // Alerts go to this shared outbox, and are delivered and listed from it; before the first
    // Observe. The rules' state stays in the data folder.
    void ShareOutbox(AlertOutbox* outbox) { outbox_ = outbox; }

    std::vector<AlertEntry> Recent(int limit);
    std::vector<FailingChannel> FailingChannels();

    // The wait before the n-th retry (n >= 1): doubling from a minute, at most six hours.
    static std::int64_t Backoff(int attempts);

  private:
    struct State {
        bool active = false;
        std::int64_t base = 0;  // Drop: the value the fall is measured from; Expiry: the date
        std::int64_t since = 0; // Failing: the first failure of the run
    };
    Alerts(sqlite3* db, const Config& config, Env& env);
    bool Load(Store& store);
    // good_key: GoodKey of site, page and column, made once for all the rules.
    void Judge(const AlertRule& rule, const std::string& site, Page page, int column,
               const std::string& good_key, const Measurement& m,
               const std::optional<std::int64_t>& previous);
    void Save(const std::string& key, const State& state);
    void Raise(const AlertRule& rule, const std::string& site, bool fired, std::string title,
               std::string text);
    sqlite3_stmt* Stmt(const char* sql); // prepared once, reset for reuse
    void Begin();                        // the transaction Observe commits
    void DeliveryLoop();
    std::int64_t DeliverDueShared();
    const AlertChannel* Channel(const std::string& name) const;

    sqlite3* db_;
    const Config& config_;
    Env& env_;
    std::mutex mutex_;
    std::unordered_map<std::string, State> states_;
    std::unordered_map<std::string, std::int64_t> good_; // site/page/column: last good count
    std::unordered_map<const char*, sqlite3_stmt*> stmts_;
    AlertOutbox* outbox_ = nullptr;
    bool in_transaction_ = false;
    bool wake_ = false;
    std::atomic<bool> stopping_{false};
    std::condition_variable cv_;
    std::thread thread_;
};

} // namespace valdane::svc
