#pragma once

#include "store.h"

#include <mutex>
#include <tuple>

namespace valdane::svc::test {

// A store in memory for provider tests that read history; Record keeps everything in order.
class MemStore final : public Store {
  public:
    bool Record(const std::string& site, Page page, int column, const Measurement& m) override {
        std::lock_guard<std::mutex> guard(mutex_);
        rows_.emplace_back(site, page, column, m);
        return true;
    }
    std::vector<Latest> LatestRow(const std::string&, Page) override { return {}; }
    std::vector<SiteRow> Overview(Page) override { return {}; }
    std::vector<Measurement> History(const std::string& site, Page page, int column,
                                     std::int64_t since_ms) override {
        std::lock_guard<std::mutex> guard(mutex_);
        std::vector<Measurement> out;
        for (const auto& [s, p, c, m] : rows_)
            if (s == site && p == page && c == column && m.time_ms >= since_ms)
                out.push_back(m);
        return out;
    }
    std::vector<std::string> Notices() const override { return {}; }

  private:
    std::mutex mutex_;
    std::vector<std::tuple<std::string, Page, int, Measurement>> rows_;
};

} // namespace valdane::svc::test
