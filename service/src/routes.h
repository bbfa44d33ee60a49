#pragma once

#include "config.h"
#include "engine.h"
#include "env.h"
#include "store.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace valdane::svc {

class Alerts;
class Fleet;

// What the service serves, apart from how it is carried: a request that passed the server's
// checks (allowed client, GET or HEAD, no body, a Host naming the service) in, a response out.

struct WebRequest {
    std::string target;          // path and query as received, still percent-encoded
    std::int64_t arrived_ms = 0; // when its request line arrived (Env mono clock)
};

struct WebResponse {
    enum class Piece { More, End, Failed };
    int status = 200;
    std::string content_type;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body; // the whole body, or its first piece when `next` is set
    // A body too large to hold: appends its next piece to *out. Called on one thread at a
    // time; Failed cuts the transfer so that the client sees it incomplete.
    std::function<Piece(std::string* out)> next;
};

// "/a%20b?x=1&y" -> path "/a b", query {{"x", "1"}, {"y", ""}}; '+' in the query is a space.
struct Target {
    std::string path;
    std::vector<std::pair<std::string, std::string>> query;
};
Target ParseTarget(std::string_view target);

// Whether the target asks the engine, whose answer may take until the deadline: the server
// runs those apart from the quick pages.
bool AsksEngine(std::string_view target);

inline constexpr std::size_t kOverviewPageSize = 100;
inline constexpr std::size_t kOverviewCsvBatch = 500;
// The home page lists the instances that beat within this.
inline constexpr std::int64_t kInstancesShownMs = 5 * 60'000;

// Thread-safe: Serve keeps no state between requests.
class Routes {
  public:
    Routes(const Config& config, Engine& engine, Store& store, Clock& clock);
    // The alerts the home page lists; set before serving. Null: none.
    void SetAlerts(Alerts* alerts) { alerts_ = alerts; }
    // The instances sharing the store, for the home page; set before serving. Null: alone.
    void SetFleet(Fleet* fleet) { fleet_ = fleet; }
    WebResponse Serve(const WebRequest& request);
    // The response when it can be made at once (a query page the store answers fresh, or one
    // refused as "false"), so that it need not wait for a thread; nullopt otherwise.
    std::optional<WebResponse> ServeNow(const WebRequest& request);

  private:
    std::optional<WebResponse> Protocol(Page page, const Target& target, std::int64_t arrived_ms,
                                        bool store_only);
    WebResponse Update();
    WebResponse Overview(Page page, bool csv, const Target& target);
    WebResponse Detail(const Target& target);
    WebResponse Compare(const Target& target);
    WebResponse Home();
    WebResponse CellState(const Target& target);
    WebResponse Health(bool ready);

    const Config& config_;
    Engine& engine_;
    Store& store_;
    Clock& clock_;
    Alerts* alerts_ = nullptr;
    Fleet* fleet_ = nullptr;
};

} // namespace valdane::svc
