#include "pacer.h"

#include "log.h"
#include "section.h"

#include <algorithm>
#include <ctime>

namespace valdane::svc {

namespace {
constexpr std::int64_t kDayMs = 24LL * 3600 * 1000;

// "12-08 10:20" in the service's local time: the reason a column gives to people.
std::string LocalMinute(std::int64_t ms) {
    const std::time_t t = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[16];
    std::strftime(text, sizeof text, "%m-%d %H:%M", &tm);
    return text;
}
} // namespace

void ReadPacerConfig(SectionReader& reader, PacerConfig* config) {
    reader.Duration("interval_s", 1000, &config->interval_ms);
    reader.Duration("jitter_s", 1000, &config->jitter_ms);
    reader.Int("daily_budget", 0, 1'000'000'000, &config->daily_budget);
    reader.Duration("blocked_hours", 3600 * 1000, &config->blocked_ms);
    reader.Duration("rate_limited_hours", 3600 * 1000, &config->rate_limited_ms);
}

Pacer::Pacer(Env& env, Store& store, std::string name, PacerConfig config)
    : env_(env), store_(store), name_(std::move(name)), config_(config),
      random_(std::random_device{}()) {
    if (auto saved = store_.LoadUpstream(name_))
        state_ = std::move(*saved);
}

void Pacer::Share(PacingShare* share) {
    std::lock_guard<std::mutex> guard(mutex_);
    share_ = share;
    state_ = share_->Load(name_).value_or(UpstreamState{});
}

void Pacer::Refresh() {
    if (!share_)
        return;
    // A share that cannot answer leaves what we knew: a suspension is not forgotten for it.
    if (auto shared = share_->Load(name_))
        state_ = std::move(*shared);
}

Pacer::Turn Pacer::Acquire(Measurement* refusal) {
    std::lock_guard<std::mutex> guard(mutex_);
    Refresh();
    const std::int64_t now = env_.clock.NowMs();
    const std::int64_t mono = env_.clock.MonoMs();
    if (now < state_.suspended_until_ms) {
        refusal->status = state_.suspended_status;
        refusal->number.reset();
        refusal->detail =
            "暂停至 " + LocalMinute(state_.suspended_until_ms) + "：" + state_.suspended_why;
        return Turn::Refused;
    }
    const auto gap = [this] {
        std::int64_t ms = config_.interval_ms;
        if (config_.jitter_ms > 0)
            ms += std::uniform_int_distribution<std::int64_t>(0, config_.jitter_ms)(random_);
        return ms;
    };
    if (share_) {
        // The slot and the day's count move in one step at the share, for every instance.
        const PacingShare::Slot slot = share_->TakeSlot(name_, now, gap(), config_.daily_budget);
        if (slot.budget_day >= 0) {
            state_.budget_day = slot.budget_day;
            state_.budget_spent = slot.budget_spent;
        }
        next_slot_mono_ = mono + std::max<std::int64_t>(slot.next_ms - now, 0);
        return slot.granted ? Turn::Go : Turn::Wait;
    }
    if (now / kDayMs != state_.budget_day) {
        state_.budget_day = now / kDayMs;
        state_.budget_spent = 0;
    }
    if (state_.budget_spent >= config_.daily_budget || mono < next_slot_mono_)
        return Turn::Wait;
    ++state_.budget_spent;
    next_slot_mono_ = mono + gap();
    Save();
    return Turn::Go;
}

std::int64_t Pacer::NextTurnMono() const {
    std::lock_guard<std::mutex> guard(mutex_);
    const std::int64_t now = env_.clock.NowMs();
    const std::int64_t mono = env_.clock.MonoMs();
    if (now < state_.suspended_until_ms)
        return 0;
    if (now / kDayMs == state_.budget_day && state_.budget_spent >= config_.daily_budget)
        return mono + (now / kDayMs + 1) * kDayMs - now;
    return next_slot_mono_;
}

bool Pacer::Available() const {
    std::lock_guard<std::mutex> guard(mutex_);
    const std::int64_t now = env_.clock.NowMs();
    return now >= state_.suspended_until_ms &&
           (now / kDayMs != state_.budget_day || state_.budget_spent < config_.daily_budget);
}

void Pacer::Suspend(Status why, const std::string& detail, std::int64_t span_ms) {
    std::lock_guard<std::mutex> guard(mutex_);
    Refresh();
    if (span_ms == 0)
        span_ms = why == Status::RateLimited ? config_.rate_limited_ms : config_.blocked_ms;
    state_.suspended_until_ms = std::max(state_.suspended_until_ms, env_.clock.NowMs() + span_ms);
    state_.suspended_status = why;
    state_.suspended_why = detail;
    Save();
}

void Pacer::SetBroken(bool broken, const std::string& why) {
    std::lock_guard<std::mutex> guard(mutex_);
    Refresh();
    state_.broken = broken;
    state_.broken_why = broken ? why : std::string();
    Save();
}

void Pacer::SetCanary(Status status, const std::string& detail) {
    std::lock_guard<std::mutex> guard(mutex_);
    Refresh();
    state_.canary_ms = env_.clock.NowMs();
    state_.canary_status = status;
    state_.canary_detail = detail;
    Save();
}

UpstreamState Pacer::Saved() {
    std::lock_guard<std::mutex> guard(mutex_);
    Refresh();
    return state_;
}

ProviderState Pacer::State() const {
    std::lock_guard<std::mutex> guard(mutex_);
    ProviderState state;
    if (env_.clock.NowMs() < state_.suspended_until_ms) {
        state.suspended_until_ms = state_.suspended_until_ms;
        state.suspended_why = state_.suspended_why;
    }
    state.broken = state_.broken;
    state.broken_why = state_.broken_why;
    return state;
}

void Pacer::Save() {
    if (share_ ? !share_->Save(name_, state_) : !store_.SaveUpstream(name_, state_))
        LogLine("pacer: the state of " + name_ + " could not be kept in the store");
}

bool Proceed(Pacer& pacer, std::optional<Measurement>* instead) {
    Measurement refusal;
    switch (pacer.Acquire(&refusal)) {
    case Pacer::Turn::Go:
        return true;
    case Pacer::Turn::Wait:
        instead->reset();
        return false;
    case Pacer::Turn::Refused:
        *instead = std::move(refusal);
        return false;
    }
    return false;
}

} // namespace valdane::svc
