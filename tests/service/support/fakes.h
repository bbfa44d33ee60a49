#pragma once

#include "config.h"
#include "env.h"
#include "provider.h"
#include "store.h"
#include "tempdir.h"

#include <httplib.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace valdane::svc::test {

// A clock that moves only when told. Waits poll it, so a test that advances it wakes them.
class FakeClock final : public Clock {
  public:
    explicit FakeClock(std::int64_t start_ms = 1'780'000'000'000) : now_(start_ms) {}
    std::int64_t NowMs() override { return now_.load(); }
    std::int64_t MonoMs() override { return mono_.load(); }
    bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                   std::int64_t deadline_mono_ms, const std::function<bool()>& pred) override;
    // Time passes: both readings move.
    void Advance(std::int64_t ms) {
        now_ += ms;
        mono_ += ms;
    }

  private:
    std::atomic<std::int64_t> now_;
    std::atomic<std::int64_t> mono_{1'000'000};
};

// Names the test decides; everything else is unknown.
class FakeResolver final : public Resolver {
  public:
    void Set(const std::string& host, std::vector<std::string> addresses) {
        std::lock_guard<std::mutex> guard(mutex_);
        names_[host] = std::move(addresses);
    }
    std::vector<std::string> Resolve(const std::string& host) override {
        std::lock_guard<std::mutex> guard(mutex_);
        return names_.contains(host) ? names_[host] : std::vector<std::string>{};
    }

  private:
    std::mutex mutex_;
    std::map<std::string, std::vector<std::string>> names_;
};

// An HTTP server on 127.0.0.1 with a port of its own, standing in for an upstream (a search
// engine, an RDAP server, a list download). Register handlers on server() before Start().
class FakeUpstream {
  public:
    // Any loopback address works on Linux; a second one lets a test tell two "hosts" apart.
    explicit FakeUpstream(std::string address = "127.0.0.1");
    ~FakeUpstream();
    httplib::Server& server() { return server_; }
    // GETs and POSTs to paths matching `pattern` get this answer.
    void Serve(const std::string& pattern, std::string body, std::string type = "text/plain",
               int status = 200);
    bool Start();
    int port() const { return port_; }
    std::string base() const { return "http://" + address_ + ":" + std::to_string(port_); }
    int hits(const std::string& path) const {
        std::lock_guard<std::mutex> guard(mutex_);
        return hits_.contains(path) ? hits_.at(path) : 0;
    }

  private:
    httplib::Server server_;
    std::thread thread_;
    std::string address_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::map<std::string, int> hits_;
};

// What an upstream answers: a page, or a redirect to `location`.
struct Reply {
    int status = 200;
    std::string body;
    std::string location;
};

// An HTTP proxy on 127.0.0.1: it takes the absolute-form requests clients send a proxy
// ("GET http://host:port/path") and passes them on with their cookies, unless told to answer
// in the upstream's place, as an engine answers an exit address it has blocked.
class FakeProxy {
  public:
    FakeProxy();
    bool Start() { return up_.Start(); }
    std::string url() const { return up_.base(); }
    int requests() const { return requests_; } // absolute-form requests taken
    // From now on every request gets this answer; nullopt passes them on again.
    void AnswerInstead(std::optional<Reply> answer) {
        std::lock_guard<std::mutex> guard(mutex_);
        instead_ = std::move(answer);
    }

  private:
    FakeUpstream up_;
    std::mutex mutex_;
    std::optional<Reply> instead_;
    std::atomic<int> requests_ = 0;
};

// A loopback port nothing listens on now (another process may take it before we do).
int FreePort();

// A TCP server on a loopback `address` with a port of its own: runs `session` on each
// connection in turn, then closes it.
class FakeTcp {
  public:
    explicit FakeTcp(std::function<void(int fd)> session, const char* address = "127.0.0.1");
    ~FakeTcp();
    int port() const { return port_; }

  private:
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

// A mail server on 127.0.0.1 speaking just enough plain SMTP for libcurl; it offers no
// STARTTLS. Set reject_rcpt to refuse every recipient.
class FakeSmtp {
  public:
    int port() const { return tcp_.port(); }
    std::string url() const { return "smtp://127.0.0.1:" + std::to_string(port()); }
    std::atomic<bool> reject_rcpt{false};
    struct Mail {
        std::string from;
        std::vector<std::string> to;
        std::string data;
    };
    std::vector<Mail> mails() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return mails_;
    }

  private:
    void Session(int fd);
    mutable std::mutex mutex_;
    std::vector<Mail> mails_;
    FakeTcp tcp_{[this](int fd) { Session(fd); }}; // last: stopped before the rest goes
};

// The provider's measurement of `request`, the fake clock moved on to the pacer's next turn
// as long as the provider hands its turn back (a paced provider measures no earlier).
std::vector<Measurement> MeasureInTurn(Provider& provider, FakeClock& clock,
                                       const MeasureRequest& request);

// "ok 5", "not-found -1", "blocked", "ok 新浪首页": status, number and text, so that answers
// compare as one text.
std::string Brief(const Measurement& m);

// The service's own HTTP client, for loopback only: captured answers name real hosts
// (rdap.verisign.com, iana.org), and a test that would follow one fails here instead of
// reaching out. A request counts as loopback when its host, every address it is pinned to, and
// its proxy are on 127.0.0.0/8, ::1 or localhost.
class LoopbackHttp final : public HttpClient {
  public:
    HttpResponse Get(const HttpRequest& request) override;
};
HttpClient& TestHttp();

// The loopback client with a fake clock and resolver: upstreams are FakeUpstreams.
struct TestEnv {
    FakeClock clock;
    FakeResolver resolver;
    Env env{clock, TestHttp(), resolver};
};

// A fresh store and configuration to build providers against.
struct ProviderBench {
    TestEnv t;
    TempDir dir;
    Config config;
    std::string error;
    std::unique_ptr<Store> store = OpenStore(dir.path, t.env, &error);
    ProviderContext context{t.env, *store, config};
};

} // namespace valdane::svc::test
