#pragma once

#include "config.h"
#include "engine.h"
#include "env.h"
#include "store.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace valdane::svc {

class Alerts;

// What one client may cost the service. A request must arrive whole within request_timeout
// and request_bytes, so a client that trickles bytes is cut off as surely as a silent one.
struct ServerLimits {
    std::chrono::milliseconds read_timeout{5000};
    std::chrono::milliseconds request_timeout{10000};
    std::chrono::milliseconds write_timeout{5000};
    std::chrono::milliseconds keep_alive_timeout{5000};
    std::size_t keep_alive_requests = 100;
    std::size_t request_bytes = 16 * 1024; // request line and headers; GET carries no body
    std::size_t threads = 8;
};

// The HTTP face of the service: the query pages the program fetches, the update description
// and the web pages it opens in the browser.
class Server {
  public:
    // clock: what the pages count ages from; null for the system clock.
    Server(const Config& config, Engine& engine, Store& store, ServerLimits limits = {},
           Clock* clock = nullptr);
    ~Server(); // stops
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Listens on "ADDR:PORT" ("127.0.0.1:8936", "[::1]:8936") and serves on a thread of its
    // own until Stop. False with *error when it cannot listen.
    bool Start(const std::string& listen, std::string* error);
    // The same; port 0 takes any free one (tests, benchmarks).
    bool Start(const ListenAddress& address, std::string* error);
    int port() const; // the bound port once started
    // The alerts the home page lists; call before Start. Null: none.
    void SetAlerts(Alerts* alerts);
    void Stop();
    void Wait(); // returns once stopped

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace valdane::svc
