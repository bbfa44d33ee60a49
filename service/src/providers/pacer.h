#pragma once

#include "env.h"
#include "measurement.h"
#include "provider.h"

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

// Politeness towards one upstream: spaces requests, counts a daily budget and keeps the
// suspension after a CAPTCHA or a 429. Thread-safe; waits through the Env clock.
class Pacer {
  public:
    Pacer(Clock& clock, PacerConfig config);
    // Waits for this request's turn. Returns the failure to report instead when the upstream
    // is suspended or today's budget is spent (nothing is sent then).
    std::optional<Measurement> Acquire();
    // After a verification page (Blocked) or an HTTP 429 (RateLimited).
    void Suspend(Status why, const std::string& detail);
    ProviderState State() const; // suspension only; providers add their own broken flag
    const PacerConfig& config() const { return config_; }

  private:
    Clock& clock_;
    const PacerConfig config_;
    mutable std::mutex mutex_;
    std::mt19937_64 random_;
    std::int64_t next_slot_ms_ = 0;
    std::int64_t day_ = -1;
    std::int64_t spent_today_ = 0;
    std::int64_t suspended_until_ms_ = 0;
    Status suspended_status_ = Status::Blocked;
    std::string suspended_why_;
};

} // namespace valdane::svc
