#include "fakes.h"

#include "providers/pacer.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace valdane::svc::test {

bool FakeClock::WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                          std::int64_t deadline_mono_ms, const std::function<bool()>& pred) {
    // Real time never decides here: only pred() and the hand-moved clock end the wait.
    while (!pred()) {
        if (mono_.load() >= deadline_mono_ms)
            return false;
        cv.wait_for(lock, std::chrono::milliseconds(1));
    }
    return true;
}

std::vector<Measurement> MeasureInTurn(Provider& provider, FakeClock& clock,
                                       const MeasureRequest& request) {
    for (int turn = 0; turn < 10; ++turn) {
        std::vector<Measurement> out = provider.Measure(request);
        if (!out.empty() || !provider.pacer())
            return out;
        clock.Advance(std::max<std::int64_t>(provider.pacer()->NextTurnMono() - clock.MonoMs(), 0));
    }
    return {};
}

void FakeResolver::Set(const std::string& host, std::vector<std::string> addresses) {
    std::lock_guard<std::mutex> guard(mutex_);
    names_[host] = std::move(addresses);
}

std::vector<std::string> FakeResolver::Resolve(const std::string& host) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = names_.find(host);
    return it == names_.end() ? std::vector<std::string>{} : it->second;
}

FakeUpstream::FakeUpstream(std::string address) : address_(std::move(address)) {
    // Counted before the handler runs: the logger runs after the answer is sent, so a client
    // could read the count before its own request was in it.
    server_.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response&) {
        std::lock_guard<std::mutex> guard(mutex_);
        ++hits_[request.path];
        return httplib::Server::HandlerResponse::Unhandled;
    });
}

FakeUpstream::~FakeUpstream() {
    server_.stop();
    if (thread_.joinable())
        thread_.join();
}

bool FakeUpstream::Start() {
    port_ = server_.bind_to_any_port(address_);
    if (port_ <= 0)
        return false;
    // The socket already listens: clients may connect before the thread runs.
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // stop() is a no-op until the loop runs: a fake torn down at once would never stop.
    while (!server_.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

std::string FakeUpstream::base() const {
    return "http://" + address_ + ":" + std::to_string(port_);
}

int FakeUpstream::hits(const std::string& path) const {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = hits_.find(path);
    return it == hits_.end() ? 0 : it->second;
}

} // namespace valdane::svc::test
