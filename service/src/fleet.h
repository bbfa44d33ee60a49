#pragma once

#include "alerts.h"
#include "env.h"
#include "measurement.h"
#include "providers/pacer.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace valdane::svc {

namespace pg {
class Connection;
}
class Provider;

// Which instance makes a measurement when several share one store. The engine asks before
// each measurement and says when it is through (Engine::ShareWork).
class WorkShare {
  public:
    virtual ~WorkShare() = default;
    // True when this instance may measure now. False when another holds the measurement, or
    // finished it after queued_ms (wall), or the share cannot answer: nothing could be
    // recorded then either.
    virtual bool Claim(const std::string& site, Page page, const std::string& provider,
                       std::int64_t queued_ms) = 0;
    // Lets go of a claimed measurement; `recorded` marks it finished now, otherwise another
    // instance may take it at once (handed back, cut short, not kept).
    virtual void Release(const std::string& site, Page page, const std::string& provider,
                         bool recorded) = 0;
};

// One instance as the others saw it last.
struct InstanceSeen {
    std::string id;
    std::string egress;
    std::string address; // its listen address
    std::int64_t started_ms = 0;
    std::int64_t seen_ms = 0;
    std::int64_t measured = 0; // measurements it recorded since it started
};

struct FleetOptions {
    std::string instance; // unique among the instances; "" makes one of host, process, chance
    std::string egress;   // the outgoing address or proxy its paced requests leave by
    std::string address;  // what the home page shows for it
    std::int64_t lease_ms = 120'000;
    bool heartbeat_thread = true; // false: the caller calls Beat (tests with a fake clock)
};

// The instances sharing one PostgreSQL database: who measures what (a job table with leases,
// renewed by every heartbeat, so that a killed instance's work is taken over once its lease
// ends), the pacing slots, daily budgets and upstream state of each engine per egress, and
// the heartbeats the home page lists, and the alert outbox. Times are the Env wall clock.
//
// Thread-safe: one connection, one mutex; calls are a statement or two each.
class Fleet final : public WorkShare, public PacingShare, public AlertOutbox {
  public:
    // Creates its tables when missing. Null with *error when the database cannot be reached.
    static std::unique_ptr<Fleet> Open(const std::string& uri, FleetOptions options, Env& env,
                                       std::string* error);
    ~Fleet() override;
    Fleet(const Fleet&) = delete;
    Fleet& operator=(const Fleet&) = delete;

    bool Claim(const std::string& site, Page page, const std::string& provider,
               std::int64_t queued_ms) override;
    void Release(const std::string& site, Page page, const std::string& provider,
                 bool recorded) override;

    // Keyed by egress: instances behind one address pace together, others apart.
    Slot TakeSlot(const std::string& name, std::int64_t now_ms, std::int64_t gap_ms,
                  std::int64_t daily_budget) override;
    std::optional<UpstreamState> Load(const std::string& name) override;
    bool Save(const std::string& name, const UpstreamState& state) override;

    bool Add(const AlertMessage& message, const std::vector<std::string>& channels) override;
    // With SKIP LOCKED: instances claiming at once take different entries, none waits.
    std::optional<Entry> Claim(std::int64_t now_ms, std::int64_t claim_ms,
                               std::int64_t* next_ms) override;
    void Done(std::int64_t id, int attempts, std::int64_t next_ms, std::int64_t sent_ms,
              const std::string& error) override;
    std::vector<AlertEntry> Recent(int limit) override;
    std::vector<FailingChannel> Waiting() override;

    // Every paced provider paces through this fleet from now on.
    void SharePacing(const std::map<std::string, std::unique_ptr<Provider>>& providers);

    // Says this instance is alive (with its work done) and renews the leases of what it is
    // measuring. The heartbeat thread calls it every heartbeat interval.
    void Beat();
    static std::int64_t HeartbeatMs(std::int64_t lease_ms); // a third of the lease, 15 s at most
    // The instances that beat within the last `within_ms`, this one first.
    std::vector<InstanceSeen> Instances(std::int64_t within_ms);
    const FleetOptions& options() const { return options_; }

  private:
    Fleet(std::unique_ptr<pg::Connection> db, FleetOptions options, Env& env);
    void HeartbeatLoop();
    void Seen(); // this instance's row: alive now, its work done

    std::unique_ptr<pg::Connection> db_;
    const FleetOptions options_;
    Env& env_;
    const std::int64_t started_ms_;
    std::mutex mutex_; // guards db_
    std::atomic<std::int64_t> measured_{0};
    std::mutex stop_mutex_;
    std::condition_variable stop_cv_;
    bool stopping_ = false;
    std::thread heartbeat_;
};

// The host name: an instance's egress unless configured.
std::string HostName();

} // namespace valdane::svc
