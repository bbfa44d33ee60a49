#pragma once

#include "provider.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace valdane::svc::test {

// Answers what the test sets; can hold every call until released.
class ScriptedProvider final : public Provider {
  public:
    std::vector<Measurement> Measure(const MeasureRequest& request) override {
        std::unique_lock<std::mutex> lock(mutex_);
        ++calls_;
        cv_.notify_all();
        cv_.wait(lock, [this] { return !hold_; });
        if (throws_)
            throw std::runtime_error("boom");
        std::vector<Measurement> out;
        const int asked = static_cast<int>(request.columns.size());
        for (int i = 0; i < asked + extra_; ++i) {
            Measurement m{status_, {}, {}, {}, detail_, 0};
            if (status_ == Status::Ok)
                m.number = value_ + (i < asked ? request.columns[static_cast<std::size_t>(i)] : 0);
            if (status_ == Status::NotFound && value_ < 0)
                m.number = value_; // the source has no entry for the site
            m.text = status_ == Status::Ok ? text_ : "";
            out.push_back(m);
        }
        return out;
    }
    // Markup, for the pages to escape.
    std::string Describe() const override { return "<b>测试</b> & 源"; }
    bool Local() const override { return local_; }
    void SetLocal(bool local) { local_ = local; }

    // `extra` more columns answered than asked (fewer when negative).
    void Set(Status status, std::int64_t value = 0, std::string detail = "",
             std::string text = "文本", int extra = 0, bool throws = false) {
        std::lock_guard<std::mutex> guard(mutex_);
        std::tie(status_, value_, detail_, text_, extra_, throws_) =
            std::tie(status, value, detail, text, extra, throws);
    }
    void Hold(bool hold) {
        std::lock_guard<std::mutex> guard(mutex_);
        hold_ = hold;
        cv_.notify_all();
    }
    // Waits (in real time, for an event, not a limit) until `n` calls have begun.
    bool AwaitCalls(int n) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return calls_ >= n; });
    }
    int calls() {
        std::lock_guard<std::mutex> guard(mutex_);
        return calls_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::atomic<bool> local_{false};
    int calls_ = 0;
    bool hold_ = false, throws_ = false;
    Status status_ = Status::Ok;
    std::int64_t value_ = 5;
    std::string detail_, text_ = "文本";
    int extra_ = 0;
};

} // namespace valdane::svc::test
