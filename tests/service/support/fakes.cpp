#include "fakes.h"

#include "providers/pacer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <utility>

namespace valdane::svc::test {

namespace {

bool LoopbackHost(std::string_view host) {
    return host.starts_with("127.") || host == "localhost" || host == "[::1]" || host == "::1";
}

// The host of scheme://[user@]host[:port]/..., brackets kept for IPv6.
std::string_view HostOf(std::string_view url) {
    const std::size_t scheme = url.find("://");
    url.remove_prefix(scheme == std::string_view::npos ? 0 : scheme + 3);
    url = url.substr(0, url.find_first_of("/?#"));
    url.remove_prefix(url.rfind('@') == std::string_view::npos ? 0 : url.rfind('@') + 1);
    if (url.starts_with('['))
        return url.substr(0, url.find(']') + 1);
    return url.substr(0, url.find(':'));
}

// A TCP socket bound to `address` on a port of the system's choosing; -1 when that fails.
int Bound(const char* address, int* port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    inet_pton(AF_INET, address, &addr.sin_addr);
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

} // namespace

HttpResponse LoopbackHttp::Get(const HttpRequest& request) {
    // Other schemes are the client's to refuse (it does, and a test says so).
    const bool web = request.url.starts_with("http://") || request.url.starts_with("https://");
    const bool pinned = web && request.proxy.empty() && !request.resolve.empty();
    const auto pin_loopback = [](const std::string& pin) { // host:port:address
        return LoopbackHost(pin.substr(pin.find(':', pin.find(':') + 1) + 1));
    };
    if (pinned ? std::all_of(request.resolve.begin(), request.resolve.end(), pin_loopback)
               : !web || LoopbackHost(HostOf(request.proxy.empty() ? request.url : request.proxy)))
        return DefaultEnv().http.Get(request);
    ADD_FAILURE() << "a test asked for " << request.url << " beyond loopback";
    HttpResponse refused;
    refused.error = "not on loopback: refused by the tests";
    return refused;
}

HttpClient& TestHttp() {
    static LoopbackHttp http;
    return http;
}

int FreePort() {
    int port = 0;
    if (const int fd = Bound("127.0.0.1", &port); fd >= 0)
        close(fd);
    return port;
}

bool FakeClock::WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                          std::int64_t deadline_mono_ms, const std::function<bool()>& pred) {
    // Real time never decides here: only pred() and the hand-moved clock end the wait.
    while (!pred()) {
        if (mono_.load() >= deadline_mono_ms)
            return false;
        cv.wait_for(lock, std::chrono::milliseconds(1));
    }
    return true;
}

std::vector<Measurement> MeasureInTurn(Provider& provider, FakeClock& clock,
                                       const MeasureRequest& request) {
    for (int turn = 0; turn < 10; ++turn) {
        std::vector<Measurement> out = provider.Measure(request);
        if (!out.empty() || !provider.pacer())
            return out;
        clock.Advance(std::max<std::int64_t>(provider.pacer()->NextTurnMono() - clock.MonoMs(), 0));
    }
    return {};
}

std::string Brief(const Measurement& m) {
    return std::string(StatusName(m.status)) + (m.number ? " " + std::to_string(*m.number) : "") +
           (m.text.empty() ? "" : " " + m.text);
}

FakeUpstream::FakeUpstream(std::string address) : address_(std::move(address)) {
    // Counted before the handler runs: the logger runs after the answer is sent, so a client
    // could read the count before its own request was in it.
    server_.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response&) {
        std::lock_guard<std::mutex> guard(mutex_);
        ++hits_[request.path];
        return httplib::Server::HandlerResponse::Unhandled;
    });
}

FakeUpstream::~FakeUpstream() {
    server_.stop();
    if (thread_.joinable())
        thread_.join();
}

void FakeUpstream::Serve(const std::string& pattern, std::string body, std::string type,
                         int status) {
    const auto answer = [=](const httplib::Request&, httplib::Response& res) {
        res.status = status;
        res.set_content(body, type);
    };
    server_.Get(pattern, answer);
    server_.Post(pattern, answer);
}

bool FakeUpstream::Start() {
    port_ = server_.bind_to_any_port(address_);
    if (port_ <= 0)
        return false;
    // The socket already listens: clients may connect before the thread runs.
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // stop() is a no-op until the loop runs: a fake torn down at once would never stop.
    while (!server_.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

FakeProxy::FakeProxy() {
    up_.server().Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
        // An origin-form request ("GET /path") is no proxy request.
        const std::size_t path =
            req.target.rfind("http://", 0) == 0 ? req.target.find('/', 7) : std::string::npos;
        std::unique_lock<std::mutex> lock(mutex_);
        requests_ += path != std::string::npos;
        const Reply instead =
            path == std::string::npos ? Reply{400, "", ""} : instead_.value_or(Reply{0, "", ""});
        lock.unlock();
        if (instead.status) {
            res.status = instead.status;
            if (!instead.location.empty())
                res.set_header("Location", instead.location);
            res.set_content(instead.body, "text/html; charset=utf-8");
            return;
        }
        httplib::Client upstream(req.target.substr(0, path));
        upstream.set_url_encode(false);
        httplib::Headers headers;
        for (const char* name : {"Cookie", "User-Agent", "Accept", "Accept-Language"})
            if (req.has_header(name))
                headers.emplace(name, req.get_header_value(name));
        const httplib::Result r = upstream.Get(req.target.substr(path), headers);
        res.status = r ? r->status : 502;
        if (!r)
            return;
        for (const char* name : {"Set-Cookie", "Location"})
            if (r->has_header(name))
                res.set_header(name, r->get_header_value(name));
        res.set_content(r->body, r->get_header_value("Content-Type").c_str());
    });
}

FakeTcp::FakeTcp(std::function<void(int fd)> session, const char* address) {
    listener_ = Bound(address, &port_);
    if (listener_ < 0 || listen(listener_, 8) != 0) {
        port_ = 0;
        return;
    }
    thread_ = std::thread([this, session = std::move(session)] {
        for (int fd; (fd = accept(listener_, nullptr, nullptr)) >= 0;) {
            session(fd);
            close(fd);
        }
    });
}

FakeTcp::~FakeTcp() {
    shutdown(listener_, SHUT_RDWR); // ends accept()
    if (thread_.joinable())
        thread_.join();
    close(listener_);
}

void FakeSmtp::Session(int fd) {
    auto say = [fd](const std::string& line) { send(fd, line.data(), line.size(), MSG_NOSIGNAL); };
    // One line without its CRLF; false once the client has gone.
    auto next_line = [fd](std::string* line) {
        line->clear();
        for (char ch; recv(fd, &ch, 1, 0) == 1; *line += ch)
            if (ch == '\n') {
                if (line->ends_with('\r'))
                    line->pop_back();
                return true;
            }
        return false;
    };
    Mail mail;
    std::string line;
    for (say("220 fake ESMTP\r\n"); next_line(&line);) {
        const std::string verb = line.substr(0, 4);
        if (verb == "EHLO" || verb == "HELO")
            say("250-fake\r\n250 8BITMIME\r\n");
        else if (verb == "MAIL")
            mail.from = line.substr(10), say("250 OK\r\n");
        else if (verb == "RCPT" && reject_rcpt)
            say("550 no such user\r\n");
        else if (verb == "RCPT")
            mail.to.push_back(line.substr(8)), say("250 OK\r\n");
        else if (verb == "QUIT")
            return say("221 bye\r\n");
        else if (verb != "DATA")
            say("502 not here\r\n");
        else {
            for (say("354 go on\r\n"); next_line(&line) && line != ".";)
                mail.data += line + "\n";
            std::lock_guard<std::mutex> guard(mutex_);
            mails_.push_back(mail);
            say("250 queued\r\n");
        }
    }
}

} // namespace valdane::svc::test
