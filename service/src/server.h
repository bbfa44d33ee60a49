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
class Fleet;

// What clients may cost the service. Connections are held by an event loop, not by threads, so
// an idle or trickling client costs a socket and a small buffer; these limits bound how many.
struct ServerLimits {
    std::size_t connections = 8192; // all clients together; more are closed at accept
    std::size_t per_address = 128;  // from one client address
    // A connection that sends nothing this long is closed, between requests or inside one.
    std::chrono::seconds idle_timeout{10};
    // A request's line and headers must all arrive within this long of the connection's
    // opening or the end of its previous response, however slowly they trickle (Env clock).
    std::chrono::seconds header_timeout{10};
    std::size_t keep_alive_requests = 1000; // then the connection closes (as nginx does)
    std::size_t target_bytes = 8 * 1024;    // path and query; longer gets 414
    // Request line and headers together; more gets 414 and a close. libmicrohttpd clears the
    // whole connection buffer after every request, so each answer pays for its size.
    std::size_t request_bytes = 16 * 1024;
    std::size_t event_threads = 2; // threads running the event loop
    // Engine answers may wait until the deadline: they get threads of their own, so that the
    // quick pages never wait behind them. A request finding every thread busy and the queue
    // full gets 503 with Retry-After.
    std::size_t answer_threads = 32;
    std::size_t answer_queue = 256;
    std::size_t page_threads = 2;
    std::size_t page_queue = 64;
};

// The HTTP face of the service: the query pages the program fetches, the update description
// and the web pages it opens in the browser (routes.h), behind the checks every request meets:
// the allow-list at accept, one body-less GET or HEAD at a time, and a Host naming the service.
//
// Threads: an acceptor takes each connection (or closes it, outside `allow` or past a limit)
// and hands it to the least loaded of `event_threads` libmicrohttpd epoll loops, where it
// stays; they make the responses that need no waiting (Routes::ServeNow: query answers the
// store holds fresh); the answer and page lanes run Routes::Serve for the rest, the connection
// suspended meanwhile and resumed when the response is ready. One more thread cuts the
// connections whose headers are late. A lane's mutex guards its queue and its count of idle
// threads; the connection list's mutex guards the list and the connection counts (all, per
// address, per loop), and is held while a late connection's socket is shut down, so that a
// socket libmicrohttpd has closed (and the number reused) is never touched. Nothing else is shared
// between requests except the engine and the store, which are thread-safe. Start and Stop are
// called from one thread; port() from any after Start.
class Server {
  public:
    // clock: where arrival times and the pages' ages are read; null for the system clock.
    Server(const Config& config, Engine& engine, Store& store, ServerLimits limits = {},
           Clock* clock = nullptr);
    ~Server(); // stops
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Listens on "ADDR:PORT" ("127.0.0.1:8936", "[::1]:8936") and serves on threads of its own
    // until Stop. The port is this service's alone: another listener there is an error ("Address
    // already in use"). False with *error when it cannot listen.
    bool Start(const std::string& listen, std::string* error);
    // The same; port 0 takes any free one (tests, benchmarks).
    bool Start(const ListenAddress& address, std::string* error);
    int port() const; // the bound port once started
    // The alerts the home page lists; call before Start. Null: none.
    void SetAlerts(Alerts* alerts);
    // The instances sharing the store, for the home page; null when alone.
    void SetFleet(Fleet* fleet);
    // Stops accepting, lets running answers finish, then closes every connection.
    void Stop();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace valdane::svc
