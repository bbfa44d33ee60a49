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

void ReadProxies(SectionReader& reader, std::string* proxy, std::vector<std::string>* proxies) {
    reader.String("proxy", proxy);
    reader.Strings("proxies", proxies);
    if (!proxy->empty() && !proxies->empty())
        reader.Fail("proxies", "give either proxy or proxies");
    static constexpr std::string_view kSchemes[] = {"http",    "https",  "socks4",
                                                    "socks4a", "socks5", "socks5h"};
    std::vector<std::string> labels;
    for (const std::string& entry : *proxies) {
        const std::size_t scheme = entry.find("://");
        const bool known = scheme != std::string::npos && scheme + 3 < entry.size() &&
                           std::find(std::begin(kSchemes), std::end(kSchemes),
                                     entry.substr(0, scheme)) != std::end(kSchemes);
        const bool plain = std::none_of(entry.begin(), entry.end(),
                                        [](unsigned char c) { return c <= ' ' || c == 0x7f; });
        // The label names the route's state and cookie jar: one per exit address.
        const std::string label = ProxyLabel(entry);
        if (entry != "direct" && !(known && plain))
            reader.Fail("proxies", "expected \"direct\" or proxy URLs such as http://host:port "
                                   "or socks5h://host:port");
        else if (std::find(labels.begin(), labels.end(), label) != labels.end())
            reader.Fail("proxies", "each proxy may be listed once");
        labels.push_back(label);
    }
}

std::string ProxyLabel(std::string_view proxy) {
    const std::size_t scheme = proxy.find("://");
    const std::size_t host = scheme == std::string_view::npos ? 0 : scheme + 3;
    // The last '@': a password may hold one unencoded, a host never does.
    const std::size_t at = proxy.rfind('@');
    if (at == std::string_view::npos || at < host)
        return std::string(proxy);
    return std::string(proxy.substr(0, host)) + "***@" + std::string(proxy.substr(at + 1));
}

Pacer::Pacer(Env& env, Store& store, std::string name, PacerConfig config,
             const std::vector<std::string>& proxies)
    : env_(env), store_(store), name_(std::move(name)), config_(config), split_(!proxies.empty()),
      random_(std::random_device{}()) {
    if (!split_)
        routes_.push_back(Route{name_, "", 0, {}});
    for (const std::string& proxy : proxies) {
        const std::string label = ProxyLabel(proxy);
        routes_.push_back(Route{name_ + "@" + label, label, 0, {}});
    }
    for (Route& route : routes_) {
        std::optional<UpstreamState> saved = store_.LoadUpstream(route.key);
        // Before the list there was one route, most often the service's own address: its
        // suspension and spent budget carry over to "direct".
        if (!saved && route.label == "direct")
            saved = store_.LoadUpstream(name_);
        if (saved)
            route.state = std::move(*saved);
    }
    if (split_)
        if (auto saved = store_.LoadUpstream(name_))
            own_ = std::move(*saved);
}

void Pacer::Share(PacingShare* share) {
    std::lock_guard<std::mutex> guard(mutex_);
    share_ = share;
    for (Route& route : routes_)
        route.state = share_->Load(route.key).value_or(UpstreamState{});
    if (split_)
        own_ = share_->Load(name_).value_or(UpstreamState{});
}

void Pacer::Refresh() {
    if (!share_)
        return;
    // A share that cannot answer leaves what we knew: a suspension is not forgotten for it.
    for (Route& route : routes_)
        if (auto shared = share_->Load(route.key))
            route.state = std::move(*shared);
    if (split_)
        if (auto shared = share_->Load(name_))
            own_ = std::move(*shared);
}

Pacer::Turn Pacer::Acquire(Measurement* refusal, std::size_t* route) {
    std::lock_guard<std::mutex> guard(mutex_);
    Refresh();
    const std::int64_t now = env_.clock.NowMs();
    const std::int64_t mono = env_.clock.MonoMs();
    const auto gap = [this] {
        std::int64_t ms = config_.interval_ms;
        if (config_.jitter_ms > 0)
            ms += std::uniform_int_distribution<std::int64_t>(0, config_.jitter_ms)(random_);
        return ms;
    };
    bool open = false;
    for (std::size_t k = 0; k < routes_.size(); ++k) {
        const std::size_t i = (next_route_ + k) % routes_.size();
        Route& r = routes_[i];
        if (now < r.state.suspended_until_ms)
            continue;
        open = true;
        if (now / kDayMs != r.state.budget_day) {
            r.state.budget_day = now / kDayMs;
            r.state.budget_spent = 0;
        }
        if (Skipped(i, now))
            continue;
        if (share_) {
            // The slot and the day's count move in one step at the share, for every instance.
            const PacingShare::Slot slot =
                share_->TakeSlot(r.key, now, gap(), config_.daily_budget);
            if (slot.budget_day >= 0) {
                r.state.budget_day = slot.budget_day;
                r.state.budget_spent = slot.budget_spent;
            }
            r.next_slot_mono = mono + std::max<std::int64_t>(slot.next_ms - now, 0);
            if (!slot.granted)
                continue;
        } else {
            if (r.state.budget_spent >= config_.daily_budget || mono < r.next_slot_mono)
                continue;
            ++r.state.budget_spent;
            r.next_slot_mono = mono + gap();
            Save(r.key, r.state);
        }
        next_route_ = (i + 1) % routes_.size();
        wanted_.reset();
        if (route)
            *route = i;
        return Turn::Go;
    }
    if (open)
        return Turn::Wait;
    // Every route rests: the upstream is back when the first one is.
    const Route& first = *std::min_element(routes_.begin(), routes_.end(), [](auto& a, auto& b) {
        return a.state.suspended_until_ms < b.state.suspended_until_ms;
    });
    refusal->status = first.state.suspended_status;
    refusal->number.reset();
    refusal->detail =
        "暂停至 " + LocalMinute(first.state.suspended_until_ms) + "：" +
        (split_ ? "每个代理都在暂停中（" + Resting(now) + "）" : first.state.suspended_why);
    return Turn::Refused;
}

std::int64_t Pacer::NextTurnMono() const {
    std::lock_guard<std::mutex> guard(mutex_);
    const std::int64_t now = env_.clock.NowMs();
    const std::int64_t mono = env_.clock.MonoMs();
    std::optional<std::int64_t> next;
    for (std::size_t i = 0; i < routes_.size(); ++i) {
        const Route& r = routes_[i];
        if (now < r.state.suspended_until_ms || Skipped(i, now))
            continue;
        const bool spent =
            now / kDayMs == r.state.budget_day && r.state.budget_spent >= config_.daily_budget;
        const std::int64_t turn =
            spent ? mono + (now / kDayMs + 1) * kDayMs - now : r.next_slot_mono;
        next = std::min(next.value_or(turn), turn);
    }
    return next.value_or(0); // every route suspended: the refusal is immediate
}

bool Pacer::Available() const {
    std::lock_guard<std::mutex> guard(mutex_);
    const std::int64_t now = env_.clock.NowMs();
    return std::any_of(routes_.begin(), routes_.end(),
                       [&](const Route& r) { return Usable(r, now); });
}

void Pacer::Prefer(std::size_t route) {
    std::lock_guard<std::mutex> guard(mutex_);
    wanted_ = route;
}

bool Pacer::Usable(const Route& r, std::int64_t now) const {
    return now >= r.state.suspended_until_ms &&
           (now / kDayMs != r.state.budget_day || r.state.budget_spent < config_.daily_budget);
}

bool Pacer::Skipped(std::size_t route, std::int64_t now) const {
    return wanted_ && *wanted_ != route && Usable(routes_[*wanted_], now);
}

void Pacer::Suspend(Status why, const std::string& detail, std::int64_t span_ms,
                    std::size_t route) {
    std::lock_guard<std::mutex> guard(mutex_);
    Refresh();
    if (span_ms == 0)
        span_ms = why == Status::RateLimited ? config_.rate_limited_ms : config_.blocked_ms;
    Route& r = routes_.at(route);
    r.state.suspended_until_ms = std::max(r.state.suspended_until_ms, env_.clock.NowMs() + span_ms);
    r.state.suspended_status = why;
    r.state.suspended_why = detail;
    Save(r.key, r.state);
}

void Pacer::SetBroken(bool broken, const std::string& why) {
    std::lock_guard<std::mutex> guard(mutex_);
    Refresh();
    Upstream().broken = broken;
    Upstream().broken_why = broken ? why : std::string();
    Save(name_, Upstream());
}

void Pacer::SetCanary(Status status, const std::string& detail, std::size_t route) {
    std::lock_guard<std::mutex> guard(mutex_);
    Refresh();
    for (UpstreamState* state : {&Upstream(), &routes_.at(route).state}) {
        state->canary_ms = env_.clock.NowMs();
        state->canary_status = status;
        state->canary_detail = detail;
    }
    Save(name_, Upstream());
    if (split_)
        Save(routes_[route].key, routes_[route].state);
}

UpstreamState Pacer::Saved() {
    std::lock_guard<std::mutex> guard(mutex_);
    Refresh();
    return Upstream();
}

UpstreamState Pacer::RouteSaved(std::size_t route) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return routes_.at(route).state;
}

std::string Pacer::RouteLabel(std::size_t route) const {
    return route < routes_.size() ? routes_[route].label : std::string(); // const after build
}

ProviderState Pacer::State() const {
    std::lock_guard<std::mutex> guard(mutex_);
    const std::int64_t now = env_.clock.NowMs();
    ProviderState state;
    const auto first = std::min_element(routes_.begin(), routes_.end(), [](auto& a, auto& b) {
        return a.state.suspended_until_ms < b.state.suspended_until_ms;
    });
    if (now < first->state.suspended_until_ms) {
        state.suspended_until_ms = first->state.suspended_until_ms;
        state.suspended_why =
            split_ ? "每个代理都在暂停中（" + Resting(now) + "）" : first->state.suspended_why;
    }
    state.broken = Upstream().broken;
    state.broken_why = Upstream().broken_why;
    return state;
}

std::string Pacer::RoutesNote() const {
    std::lock_guard<std::mutex> guard(mutex_);
    const std::int64_t now = env_.clock.NowMs();
    const bool all = std::all_of(routes_.begin(), routes_.end(),
                                 [&](const Route& r) { return now < r.state.suspended_until_ms; });
    const std::string resting = Resting(now);
    return all || resting.empty() ? std::string() : "暂停的代理：" + resting;
}

std::string Pacer::Resting(std::int64_t now) const {
    std::string out;
    for (const Route& r : routes_)
        if (split_ && now < r.state.suspended_until_ms)
            out += (out.empty() ? "" : "；") + r.label + " 至 " +
                   LocalMinute(r.state.suspended_until_ms) + "：" + r.state.suspended_why;
    return out;
}

void Pacer::Save(const std::string& key, const UpstreamState& state) {
    if (share_ ? !share_->Save(key, state) : !store_.SaveUpstream(key, state))
        LogLine("pacer: the state of " + key + " could not be kept in the store");
}

bool Proceed(Pacer& pacer, std::optional<Measurement>* instead, std::size_t* route) {
    Measurement refusal;
    switch (pacer.Acquire(&refusal, route)) {
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
