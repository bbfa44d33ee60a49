#pragma once

#include "env.h"
#include "measurement.h"
#include "toml_fwd.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace valdane::svc {

class Store;
struct Config;

// One site, one page, the columns of that page that this provider serves.
struct MeasureRequest {
    std::string site; // normalised: lower-case ASCII host (IDN in its xn-- form), maybe a path
    Page page = Page::Sites;
    std::vector<int> columns; // 0-based column numbers of the page
};

// What a provider tells the home page about itself beyond what the engine saw.
struct ProviderState {
    std::int64_t suspended_until_ms = 0; // 0: not suspended
    std::string suspended_why;
    bool broken = false; // e.g. a daily canary no longer matches
    std::string broken_why;
};

class Pacer;

// A source of measurements. The engine, the store and the pages know sources only through this
// interface.
//
// Threads: Measure runs on the engine's workers, several at once for different requests (at
// most one at a time for a paced provider); Describe and State run on server threads at any
// time. Implementations are thread-safe and never wait for pacing: that is the scheduler's.
class Provider {
  public:
    virtual ~Provider() = default;
    // One measurement per requested column, in the order asked. Never throws; failures are
    // statuses. `source` may be left empty: the engine fills in the provider's name.
    // A paced provider whose pacer said Wait returns none: the engine runs the request again
    // at the pacer's next turn (a canary may have taken this one).
    virtual std::vector<Measurement> Measure(const MeasureRequest& request) = 0;
    // One line for the home page: what stands behind the column ("百度 site: 结果数").
    virtual std::string Describe() const = 0;
    virtual ProviderState State() const { return {}; }
    // The pacer whose turns the engine's scheduler follows; null for a source that is not
    // paced (fixed values, imported lists, none, RDAP, home pages): its measurements start as
    // soon as a worker is free.
    virtual Pacer* pacer() { return nullptr; }
    // True for a source that answers from memory or the store without waiting on the network
    // (fixed values, none, the rank lists): a request measures it on its own thread rather
    // than hand it to a worker and wait to be woken.
    virtual bool Local() const { return false; }
};

// What a provider may use besides its own configuration section.
struct ProviderContext {
    Env& env;
    Store& store;
    const Config& config;
};

// Builds the provider `name` from its [providers.NAME] section, whose "type" key picks the
// implementation ("fixed", "none", ...). Returns null with *error set when the section is
// unusable.
std::unique_ptr<Provider> MakeProvider(const std::string& name, const toml::table& section,
                                       ProviderContext& context, std::string* error);

// Every [providers.NAME] section of the configuration, built; empty with *error when one fails.
std::map<std::string, std::unique_ptr<Provider>> MakeProviders(ProviderContext& context,
                                                               std::string* error);

} // namespace valdane::svc
