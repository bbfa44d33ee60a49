#pragma once

#include "providers/pacer.h"

#include <mutex>
#include <string>
#include <vector>

namespace valdane::svc::test {

// A paced search engine answering 100 + column at its pacer's turns (interval_ms apart, no
// jitter), after a request to url + "/count/" + site when a url is given: any answer but 200
// is a network error. Keeps the wall time of every request it let go.
class PacedFake final : public Provider {
  public:
    PacedFake(Env& env, Store& store, std::string name, std::string url,
              std::int64_t interval_ms = 15000)
        : env_(env), url_(std::move(url)),
          pacer_(env, store, std::move(name),
                 PacerConfig{.interval_ms = interval_ms, .jitter_ms = 0}) {}
    std::vector<Measurement> Measure(const MeasureRequest& request) override {
        if (std::optional<Measurement> instead; !Proceed(pacer_, &instead))
            return instead ? std::vector<Measurement>(request.columns.size(), *instead)
                           : std::vector<Measurement>{};
        {
            std::lock_guard<std::mutex> guard(mutex_);
            sent_.push_back(env_.clock.NowMs());
        }
        HttpRequest get;
        get.url = url_ + "/count/" + request.site;
        const bool cut = !url_.empty() && env_.http.Get(get).status != 200;
        std::vector<Measurement> out;
        for (int column : request.columns)
            out.push_back(cut ? Measurement{Status::NetworkError, {}, {}, {}, "cut", 0}
                              : Measurement{Status::Ok, 100 + column, {}, {}, {}, 0});
        return out;
    }
    std::string Describe() const override { return "限速来源"; }
    Pacer* pacer() override { return &pacer_; }
    std::vector<std::int64_t> sent() {
        std::lock_guard<std::mutex> guard(mutex_);
        return sent_;
    }
    int calls() { return static_cast<int>(sent().size()); }

  private:
    Env& env_;
    const std::string url_;
    Pacer pacer_;
    std::mutex mutex_;
    std::vector<std::int64_t> sent_;
};

} // namespace valdane::svc::test
