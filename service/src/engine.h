#pragma once

#include "config.h"
#include "env.h"
#include "measurement.h"
#include "provider.h"
#include "store.h"

#include <cstdint>
#include <functional>
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
    std::string provider;   // configured name, "none" where nothing stands behind it
    Measurement used;       // the measurement whose value is sent (fresh, or the last good one)
    bool stale = false;     // the newest attempt failed and an older good value is sent
    bool missing = false;   // nothing usable: "-1" (or "未公开" for text fields) is sent
    std::string sent;       // the field text as it goes into the payload
    bool measuring = false; // queued or running now
    std::int64_t next_attempt_ms = 0; // when the queued measurement may start (0: unknown/none)
};

// Seconds until the first measuring cell of these is expected to have its value (its expected
// start plus a typical measurement), for a client deciding when to ask again; nullopt when no
// cell is measuring. now_ms: the Env wall clock.
std::optional<std::int64_t> ReadyInSeconds(const std::vector<ColumnAnswer>& cells,
                                           std::int64_t now_ms);

class WorkShare;

struct ProviderHealth {
    std::string name;
    std::string description;
    std::int64_t last_ok_ms = 0;
    std::int64_t last_fail_ms = 0;
    std::string last_fail_why;
    ProviderState state;
};

// Turns a query page and a site into a payload: from the store while fresh, otherwise from the
// providers. A request waits, up to its deadline, only for measurements that start at once; a
// paced source whose turn has not come is answered from the store (the last good value, else
// -1) and measured in the background, its result stored for the next answer. A column with a
// chain of sources asks the first that may answer today, then, while one fails, the next,
// within the same deadline; the value is stored as its source's.
//
// Scheduling: each provider has a queue, ordered by site in the order sites were first asked
// for (a site's pages together), so that sites complete one after another. A worker takes a
// measurement only when it may start: instant sources first, a paced provider's at its pacer's
// turn and one at a time, and paced ones on at most half the workers. No worker ever sleeps
// for pacing. A queue holds at most 1,000 measurements; past that a request gets
// rate-limited for the provider at once. A local source (Provider::Local) is measured on the
// asking request's own thread, never queued: a hand-off to a worker and back would cost more
// than the measurement.
//
// Thread-safe: every member may be called from any thread at once (the server's threads).
// One mutex inside guards the queues, the shared measurements and the health figures; it is
// never held while a provider measures or the store records. The copy of fresh answers has
// mutexes of its own, one per shard of sites, held only to look up or change an entry.
class Engine {
  public:
    Engine(const Config& config, Store& store, Env& env,
           std::map<std::string, std::unique_ptr<Provider>> providers);
    // Drops the measurements not yet begun and cuts short the transfers of those running:
    // returns within about a second, two at most. Nothing is stored of a measurement cut
    // short.
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // The payload (UTF-8, before the envelope) for sUrl as received, or nullopt where the
    // answer is "false" (not a plausible domain, store broken). The deadline runs from
    // arrived_mono_ms (Env mono clock); without it, from now.
    std::optional<std::string> Answer(Page page, std::string_view sUrl);
    std::optional<std::string> Answer(Page page, std::string_view sUrl,
                                      std::int64_t arrived_mono_ms);
    // The payload when every column is fresh in the engine's copy of the store's rows (kept
    // from the answers given since, dropped when anything of the site and page is recorded);
    // nullopt otherwise, Answer then decides. Neither reads the store nor waits on a lock held
    // across a read or a measurement, so the server answers it on its event threads.
    std::optional<std::string> AnswerFromStore(Page page, std::string_view sUrl);
    // The same, column by column, for --check and the pages. nullopt for a bad site.
    std::optional<std::vector<ColumnAnswer>> Explain(Page page, std::string_view sUrl);
    // The answer as it stands, from the store and the queue, without measuring anything.
    std::optional<std::vector<ColumnAnswer>> State(Page page, std::string_view sUrl);
    std::vector<ProviderHealth> Health() const;
    const Config& config() const;
    // Called on the measuring thread (a worker, or a request measuring a local source) after
    // each batch of measurements is stored (the alert rules). Set it before the first request;
    // it must not call back into the engine.
    using Recorded =
        std::function<void(const std::string& site, Page page, const std::vector<int>& columns,
                           const std::vector<Measurement>& results)>;
    void OnRecorded(Recorded hook);
    // Measurements shared with other instances (fleet.h): one that another instance is making
    // or made since it was asked for is answered from the store instead. Set it before the
    // first request; null (the default) measures everything here.
    void ShareWork(WorkShare* share);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace valdane::svc
