#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace valdane::svc {

// Every clock reading, wait, outbound request and name look-up of the service goes through
// these interfaces, so tests replace them: a clock they move by hand, upstreams on 127.0.0.1.

// Thread-safe: every member may be called from any thread.
class Clock {
  public:
    virtual ~Clock() = default;
    // Wall time, ms since the Unix epoch: what measurements are stamped with, what days and
    // suspensions are counted in (they must outlive a restart).
    virtual std::int64_t NowMs() = 0;
    // A reading that only moves forward, unmoved by steps of the wall clock: what deadlines,
    // waits and the spacing of requests are counted in. Its zero means nothing.
    virtual std::int64_t MonoMs() = 0;
    // Waits on cv (lock held by the caller) until pred() holds or MonoMs() reaches
    // deadline_mono_ms. Returns pred().
    virtual bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                           std::int64_t deadline_mono_ms, const std::function<bool()>& pred) = 0;
};

// While a CancelScope lives on a thread, transfers made on that thread through the default
// HttpClient end early (status 0, error "cancelled") once its flag is set. The engine stops
// the measurements in flight this way when it shuts down; port-43 and other hand-made
// transfers ask TransferCancelled() between reads.
class CancelScope {
  public:
    explicit CancelScope(const std::atomic<bool>& flag);
    ~CancelScope();
    CancelScope(const CancelScope&) = delete;
    CancelScope& operator=(const CancelScope&) = delete;

  private:
    const std::atomic<bool>* previous_;
};
bool TransferCancelled();

struct HttpRequest {
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string user_agent;
    std::string proxy; // "" none; "http://h:p", "socks5h://h:p"
    // "" none; else the cookies are read from this file and the answer's saved back to it
    // (curl's cookie engine: expired ones are dropped). One transfer at a time per file.
    std::string cookie_jar;
    std::int64_t timeout_ms = 10000;         // whole transfer
    std::size_t max_bytes = 2 * 1024 * 1024; // the body is cut and `truncated` set past this
    // Pins host:port to an address ("host:port:addr", curl's resolve form), so that the
    // address checked is the address connected to.
    std::vector<std::string> resolve;
    // When set, body bytes go here instead of into HttpResponse::body (max_bytes still caps the
    // total); returning false ends the transfer. Large downloads stream through it.
    std::function<bool(std::string_view)> on_body;
    // When set, the request is a POST of this body (give its Content-Type in headers).
    std::optional<std::string> post_body;
};

struct HttpResponse {
    int status = 0; // 0: no HTTP answer, see error
    std::string body;
    std::string content_type;
    std::string location; // the Location header of a redirect; redirects are not followed
    std::string error;    // transport error when status is 0
    bool truncated = false;
};

class HttpClient {
  public:
    virtual ~HttpClient() = default;
    virtual HttpResponse Get(const HttpRequest& request) = 0;
};

class Resolver {
  public:
    virtual ~Resolver() = default;
    // Numeric addresses ("93.184.216.34", "2606:2800::1") of host; empty when unknown.
    virtual std::vector<std::string> Resolve(const std::string& host) = 0;
};

struct Env {
    Clock& clock;
    HttpClient& http;
    Resolver& resolver;
    // The SQLite VFS the store's files are opened through; null for the system's. Tests name
    // one that fails on demand (a full disk, a read-only mount), which file modes cannot do
    // for root.
    const char* store_vfs = nullptr;
};

// The real clock, libcurl and getaddrinfo.
Env& DefaultEnv();

} // namespace valdane::svc
