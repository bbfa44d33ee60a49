#include "pacer.h"

#include "section.h"

#include <algorithm>

namespace valdane::svc {

namespace {
constexpr std::int64_t kDayMs = 24LL * 3600 * 1000;
}

void ReadPacerConfig(SectionReader& reader, PacerConfig* config) {
    reader.Duration("interval_s", 1000, &config->interval_ms);
    reader.Duration("jitter_s", 1000, &config->jitter_ms);
    reader.Int("daily_budget", 0, 1'000'000'000, &config->daily_budget);
    reader.Duration("blocked_hours", 3600 * 1000, &config->blocked_ms);
    reader.Duration("rate_limited_hours", 3600 * 1000, &config->rate_limited_ms);
}

Pacer::Pacer(Clock& clock, PacerConfig config)
    : clock_(clock), config_(config), random_(std::random_device{}()) {}

std::optional<Measurement> Pacer::Acquire() {
    std::int64_t wait = 0;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        const std::int64_t now = clock_.NowMs();
        if (now < suspended_until_ms_) {
            Measurement m;
            m.status = suspended_status_;
            m.detail = "暂停至 " + std::to_string(suspended_until_ms_) + ": " + suspended_why_;
            return m;
        }
        if (now / kDayMs != day_) {
            day_ = now / kDayMs;
            spent_today_ = 0;
        }
        if (spent_today_ >= config_.daily_budget) {
            Measurement m;
            m.status = Status::RateLimited;
            m.detail = "今日请求配额已用完 (" + std::to_string(config_.daily_budget) + ")";
            return m;
        }
        ++spent_today_;
        // Each caller reserves its own slot, so concurrent callers queue at the interval.
        const std::int64_t slot = std::max(now, next_slot_ms_);
        std::int64_t gap = config_.interval_ms;
        if (config_.jitter_ms > 0)
            gap += std::uniform_int_distribution<std::int64_t>(0, config_.jitter_ms)(random_);
        next_slot_ms_ = slot + gap;
        wait = slot - now;
    }
    clock_.SleepMs(wait);
    return std::nullopt;
}

void Pacer::Suspend(Status why, const std::string& detail) {
    std::lock_guard<std::mutex> guard(mutex_);
    const std::int64_t span =
        why == Status::RateLimited ? config_.rate_limited_ms : config_.blocked_ms;
    suspended_until_ms_ = std::max(suspended_until_ms_, clock_.NowMs() + span);
    suspended_status_ = why;
    suspended_why_ = detail;
}

ProviderState Pacer::State() const {
    std::lock_guard<std::mutex> guard(mutex_);
    ProviderState state;
    if (clock_.NowMs() < suspended_until_ms_) {
        state.suspended_until_ms = suspended_until_ms_;
        state.suspended_why = suspended_why_;
    }
    return state;
}

} // namespace valdane::svc
