#pragma once

#include "config.h"
#include "env.h"
#include "measurement.h"
#include "provider.h"
#include "store.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace valdane::svc {

// What one column of an answer was built from.
struct ColumnAnswer {
    int column = 0;
    std::string provider; // configured name, "none" where nothing stands behind it
    Measurement used;     // the measurement whose value is sent (fresh, or the last good one)
    bool stale = false;   // the newest attempt failed and an older good value is sent
    bool missing = false; // nothing usable: "-1" (or "未公开" for text fields) is sent
    std::string sent;     // the field text as it goes into the payload
};

struct ProviderHealth {
    std::string name;
    std::string description;
    std::int64_t last_ok_ms = 0;
    std::int64_t last_fail_ms = 0;
    std::string last_fail_why;
    ProviderState state;
};

// Turns a query page and a site into a payload: from the store while fresh, otherwise from the
// providers within the deadline; measurements still running at the deadline finish in the
// background and are stored for the next answer.
class Engine {
  public:
    Engine(const Config& config, Store& store, Env& env,
           std::map<std::string, std::unique_ptr<Provider>> providers);
    ~Engine(); // waits for background measurements
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // The payload (UTF-8, before the envelope) for sUrl as received, or nullopt where the
    // answer is "false" (not a plausible domain, store broken).
    std::optional<std::string> Answer(Page page, std::string_view sUrl);
    // The payload when the store holds every column fresh, without asking a source or waiting;
    // nullopt otherwise, Answer then decides. Lets the server answer on its event thread.
    std::optional<std::string> AnswerFromStore(Page page, std::string_view sUrl);
    // The same, column by column, for --check and the pages. nullopt for a bad site.
    std::optional<std::vector<ColumnAnswer>> Explain(Page page, std::string_view sUrl);
    std::vector<ProviderHealth> Health() const;
    const Config& config() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace valdane::svc
