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
class Pacer {
  public:
    Pacer(Env& env, Store& store, std::string name, PacerConfig config);

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
    UpstreamState Saved() const; // a copy of the kept state
    ProviderState State() const; // suspension and broken mark, for the home page

  private:
    void Save(); // under mutex_

    Env& env_;
    Store& store_;
    const std::string name_;
    const PacerConfig config_;
    mutable std::mutex mutex_;
    std::mt19937_64 random_;
    std::int64_t next_slot_mono_ = 0;
    UpstreamState state_;
};

// A provider's Measure asks this: true when its request may go now; otherwise *instead is what
// Measure returns: nothing on Wait (it is asked again at the next turn), the refusal on Refused.
bool Proceed(Pacer& pacer, std::optional<Measurement>* instead);

} // namespace valdane::svc
