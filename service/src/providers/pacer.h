#pragma once

#include "env.h"
#include "measurement.h"
#include "provider.h"
#include "store.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <string>

namespace valdane::svc {

// How often an upstream may be asked, and how long it is left alone after it pushed back.
struct PacerConfig {
    std::int64_t interval_ms = 15000; // between two requests, plus up to jitter_ms
    std::int64_t jitter_ms = 5000;
    std::int64_t daily_budget = 500; // requests per UTC day; 0 = none allowed
    std::int64_t blocked_ms = 24LL * 3600 * 1000;
    std::int64_t rate_limited_ms = 3600LL * 1000;
};

class SectionReader;

// Turns and upstream state shared with the other instances behind the same outgoing address
// (fleet.h). A pacer given one takes every slot through it and keeps its state there.
class PacingShare {
  public:
    virtual ~PacingShare() = default;
    struct Slot {
        bool granted = false;
        std::int64_t next_ms = 0;     // wall ms from which the next slot is free
        std::int64_t budget_day = -1; // the day's count as the share holds it; -1 unknown
        std::int64_t budget_spent = 0;
    };
    // Takes the slot of upstream `name` when it is free at now_ms and today's budget allows one
    // more: the next one is then free gap_ms later. Not granted when the share cannot answer.
    virtual Slot TakeSlot(const std::string& name, std::int64_t now_ms, std::int64_t gap_ms,
                          std::int64_t daily_budget) = 0;
    // Suspension, broken mark and canary verdict as the last instance left them, with the
    // shared day's count; nullopt when nothing was kept or the share cannot answer.
    virtual std::optional<UpstreamState> Load(const std::string& name) = 0;
    virtual bool Save(const std::string& name, const UpstreamState& state) = 0;
};

// Reads interval_s, jitter_s, daily_budget, blocked_hours and rate_limited_hours into *config.
void ReadPacerConfig(SectionReader& reader, PacerConfig* config);

// Politeness towards one upstream: spaces requests, counts a daily budget, keeps the
// suspension after a verification page or a 429, and the canary's verdict. It never waits:
// the engine's scheduler starts a measurement only at NextTurnMono(), and a provider whose
// Acquire says Wait hands its turn back (see Provider::Measure).
//
// Thread-safe. mutex_ guards every member below it; the store is written under it, so the
// saved state is always one the pacer has held. The state survives restarts through the
// store (by provider name); spacing does not (a restart costs at most one early request).
// Shared (see Share), both live in the share instead.
class Pacer {
  public:
    Pacer(Env& env, Store& store, std::string name, PacerConfig config);
    // From now on the turns and the state are the share's, read again before every request and
    // every change (other instances move them too). Before the first request.
    void Share(PacingShare* share);

    enum class Turn {
        Go,      // the request may go now; it is counted and the next slot reserved
        Wait,    // not yet: nothing is counted, ask again at NextTurnMono()
        Refused, // suspended: *refusal says why; nothing is sent
    };
    Turn Acquire(Measurement* refusal);
    // When Acquire will next say Go or Refused (Env mono clock), in the past when it would
    // now: always while suspended (the refusal is immediate), the next UTC day once today's
    // budget is spent.
    std::int64_t NextTurnMono() const;
    // Whether a request may go today, now or at a later turn: not suspended, budget left.
    bool Available() const;
    // The average spacing of two requests: what a place further back in the queue costs.
    std::int64_t TypicalGapMs() const { return config_.interval_ms + config_.jitter_ms / 2; }

    // After a verification page (Blocked) or an HTTP 429 (RateLimited): for the configured
    // span, or `span_ms` when given.
    void Suspend(Status why, const std::string& detail, std::int64_t span_ms = 0);
    void SetBroken(bool broken, const std::string& why);
    void SetCanary(Status status, const std::string& detail);
    UpstreamState Saved();       // a copy of the kept state
    ProviderState State() const; // suspension and broken mark, for the home page

  private:
    void Save();    // under mutex_
    void Refresh(); // under mutex_: the shared state, when shared

    Env& env_;
    Store& store_;
    const std::string name_;
    const PacerConfig config_;
    mutable std::mutex mutex_;
    std::mt19937_64 random_;
    std::int64_t next_slot_mono_ = 0;
    UpstreamState state_;
    PacingShare* share_ = nullptr;
};

// A provider's Measure asks this: true when its request may go now; otherwise *instead is what
// Measure returns: nothing on Wait (it is asked again at the next turn), the refusal on Refused.
bool Proceed(Pacer& pacer, std::optional<Measurement>* instead);

} // namespace valdane::svc
