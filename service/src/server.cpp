#include "server.h"

#include "pages.h"
#include "protocol.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

namespace valdane::svc {
namespace {

using SteadyClock = std::chrono::steady_clock;

int PollFor(int fd, short events, std::chrono::milliseconds wait) {
    pollfd p{fd, events, 0};
    int r;
    do
        r = ::poll(&p, 1, static_cast<int>(std::max<std::int64_t>(0, wait.count())));
    while (r < 0 && errno == EINTR);
    return r;
}

void AddressOf(bool peer, int fd, std::string& ip, int& port) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if ((peer ? getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len)
              : getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len)) != 0)
        return;
    char text[INET6_ADDRSTRLEN] = {};
    if (addr.ss_family == AF_INET) {
        const auto* a = reinterpret_cast<const sockaddr_in*>(&addr);
        inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
        port = ntohs(a->sin_port);
    } else if (addr.ss_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&addr);
        inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
        port = ntohs(a->sin6_port);
    }
    ip = text;
}

// A connection's socket with the limits of ServerLimits: each request gets a byte budget and a
// deadline from its first byte, on top of the per-read and per-write timeouts.
class GuardedStream final : public httplib::Stream {
  public:
    GuardedStream(int fd, const ServerLimits& limits) : fd_(fd), limits_(limits) {}

    // Idle between requests: true once bytes wait, false at the keep-alive limit or on stop.
    bool WaitForRequest(const std::atomic<socket_t>& listening) {
        const auto until = SteadyClock::now() + limits_.keep_alive_timeout;
        while (pos_ == end_) {
            if (listening == INVALID_SOCKET)
                return false;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - SteadyClock::now());
            if (left.count() <= 0)
                return false;
            // Short slices so that Stop is noticed.
            const int r = PollFor(fd_, POLLIN, std::min(left, std::chrono::milliseconds(50)));
            if (r < 0)
                return false;
            if (r > 0)
                break;
        }
        budget_ = limits_.request_bytes;
        deadline_ = SteadyClock::now() + limits_.request_timeout;
        return true;
    }

    bool is_readable() const override {
        return pos_ < end_ || PollFor(fd_, POLLIN, ReadWait()) > 0;
    }
    bool is_writable() const override { return PollFor(fd_, POLLOUT, limits_.write_timeout) > 0; }

    ssize_t read(char* ptr, size_t size) override {
        if (pos_ == end_) {
            if (budget_ == 0 || ReadWait().count() <= 0 || PollFor(fd_, POLLIN, ReadWait()) <= 0)
                return -1;
            ssize_t n;
            do
                n = ::recv(fd_, buffer_, std::min(sizeof buffer_, budget_), 0);
            while (n < 0 && errno == EINTR);
            if (n <= 0)
                return n;
            budget_ -= static_cast<std::size_t>(n);
            pos_ = 0;
            end_ = static_cast<std::size_t>(n);
        }
        const std::size_t n = std::min(size, end_ - pos_);
        std::memcpy(ptr, buffer_ + pos_, n);
        pos_ += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* ptr, size_t size) override {
        if (!is_writable())
            return -1;
        ssize_t n;
        do
            n = ::send(fd_, ptr, size, MSG_NOSIGNAL);
        while (n < 0 && errno == EINTR);
        return n;
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        AddressOf(true, fd_, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        AddressOf(false, fd_, ip, port);
    }
    socket_t socket() const override { return fd_; }

  private:
    std::chrono::milliseconds ReadWait() const {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - SteadyClock::now());
        return std::min(left, limits_.read_timeout);
    }

    int fd_;
    const ServerLimits& limits_;
    char buffer_[4096];
    std::size_t pos_ = 0, end_ = 0;
    std::size_t budget_ = 0;
    SteadyClock::time_point deadline_;
};

// httplib's own connection loop knows only per-read timeouts; this one adds the request
// budget and deadline of GuardedStream.
class GuardedHttp final : public httplib::Server {
  public:
    explicit GuardedHttp(const ServerLimits& limits) : limits_(limits) {
        const std::size_t threads = std::max<std::size_t>(1, limits.threads);
        new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    }

  private:
    bool process_and_close_socket(socket_t sock) override {
        // Headers and body leave in separate writes: without this, Nagle holds the second
        // until the client's delayed ACK, 40 ms on every answer.
        const int on = 1;
        ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        GuardedStream stream(sock, limits_);
        bool ok = false;
        for (std::size_t left = std::max<std::size_t>(1, limits_.keep_alive_requests);
             left > 0 && stream.WaitForRequest(svr_sock_); --left) {
            bool closed = false;
            ok = process_request(stream, left == 1, closed, nullptr);
            if (!ok || closed)
                break;
        }
        ::shutdown(sock, SHUT_RDWR);
        ::close(sock);
        return ok;
    }

    const ServerLimits& limits_;
};

// The value of key when the query holds it exactly once.
std::optional<std::string> Single(const httplib::Request& req, const char* key) {
    if (req.get_param_value_count(key) != 1)
        return std::nullopt;
    return req.get_param_value(key);
}

std::string OneLine(std::string text) {
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    return text;
}

constexpr const char* kHtml = "text/html; charset=utf-8";
constexpr const char* kGbk = "text/html; charset=gb2312";

} // namespace

struct Server::Impl {
    const Config& config;
    Engine& engine;
    Store& store;
    ServerLimits limits;
    Clock& clock;
    std::vector<Network> allow;
    GuardedHttp http{limits};
    Alerts* alerts = nullptr;
    std::thread thread;
    int port = 0;

    Impl(const Config& c, Engine& e, Store& s, ServerLimits l, Clock& k)
        : config(c), engine(e), store(s), limits(l), clock(k) {}

    void Route(const httplib::Request& req, httplib::Response& res);
    void Protocol(Page page, const httplib::Request& req, httplib::Response& res);
    void Update(httplib::Response& res);
    void Detail(const httplib::Request& req, httplib::Response& res);
    void Home(httplib::Response& res);
    void CellState(const httplib::Request& req, httplib::Response& res);
};

void Server::Impl::Route(const httplib::Request& req, httplib::Response& res) {
    const std::string_view path = req.path;
    res.set_header("X-Content-Type-Options", "nosniff");
    if (path.substr(0, kServiceFolder.size()) == kServiceFolder) {
        const std::string_view file = path.substr(kServiceFolder.size());
        if (file == "Update.txt")
            return Update(res);
        if (auto page = PageFromFile(file))
            return Protocol(*page, req, res);
    } else if (path == "/") {
        return Home(res);
    } else if (path == "/state.json") {
        return CellState(req, res);
    } else if (constexpr std::string_view seo = "/ostrem/seo/"; path.substr(0, seo.size()) == seo) {
        const std::string_view file = path.substr(seo.size());
        if (file == "show.asp")
            return Detail(req, res);
        for (Page page : {Page::Sites, Page::Links, Page::Ranks}) {
            const std::string name(OverviewName(page));
            const TableOrder order =
                ParseOrder(page, req.get_param_value("sort"), req.get_param_value("order"));
            if (file == name + ".htm") {
                res.set_content(OverviewPage(page, store.Overview(page), order, clock.NowMs()),
                                kHtml);
                return;
            }
            if (file == name + ".csv") {
                res.set_header("Content-Disposition", "attachment; filename=\"" + name + ".csv\"");
                res.set_content(OverviewCsv(page, store.Overview(page), order),
                                "text/csv; charset=utf-8");
                return;
            }
        }
    }
    res.status = 404;
    res.set_content(ErrorPage(404, path), kHtml);
}

void Server::Impl::Protocol(Page page, const httplib::Request& req, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    std::optional<std::string> payload;
    // The program sends exactly these three; anything else (an "&" inside its target splits
    // the target into a second parameter) is not a question we can answer faithfully.
    const std::optional<std::string> site = Single(req, "sUrl");
    if (site && Single(req, "sFrom") && Single(req, "Key") && req.params.size() == 3)
        payload = engine.Answer(page, *site);
    res.set_content(Envelope(payload.value_or("false")), kGbk);
}

void Server::Impl::Update(httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    res.set_content(Envelope("[ConFig]\r\nVersion=" + OneLine(config.update.version) + "\r\nName=" +
                             OneLine(config.update.name) + "\r\nUrl=" + OneLine(config.update.url)),
                    kGbk);
}

void Server::Impl::Detail(const httplib::Request& req, httplib::Response& res) {
    const std::optional<Page> page = PageFromKind(req.get_param_value("t"));
    if (!page) {
        res.status = 404;
        res.set_content(ErrorPage(404, req.path), kHtml);
        return;
    }
    const std::string word = req.get_param_value("word");
    DetailView view{*page, NormalizeSite(*page, word).value_or(""), {}, clock.NowMs()};
    bool any = false;
    if (!view.site.empty())
        for (int c = 0; c < ColumnCount(*page); ++c) {
            view.history.push_back(store.History(view.site, *page, c, 0));
            any = any || !view.history.back().empty();
        }
    if (!any) {
        res.status = 404;
        res.set_content(UnknownSitePage(*page, word), kHtml);
    } else if (req.get_param_value("format") == "csv") {
        std::string file = view.site + "-" + std::string(KindOf(*page)) + ".csv";
        std::replace(file.begin(), file.end(), '/', '_');
        res.set_header("Content-Disposition", "attachment; filename=\"" + file + "\"");
        res.set_content(DetailCsv(view), "text/csv; charset=utf-8");
    } else {
        res.set_content(DetailPage(view), kHtml);
    }
}

void Server::Impl::Home(httplib::Response& res) {
    HomeView view;
    view.now_ms = clock.NowMs();
    view.columns = config.columns;
    view.providers = engine.Health();
    view.sources = SourcesOf(config);
    view.notices = store.Notices();
    view.config_file = config.source_file.string();
    view.default_config_file = DefaultConfigPath().string();
    view.data_dir = config.data_dir.string();
    view.command = CommandLine(config);
    view.fresh_ms = config.fresh_ms;
    view.deadline_ms = config.deadline_ms;
    view.alert_rules = config.alert_rules.size();
    if (alerts) {
        view.alerts = alerts->Recent(20);
        view.failing_channels = alerts->FailingChannels();
    }
    res.set_content(HomePage(view), kHtml);
}

void Server::Impl::CellState(const httplib::Request& req, httplib::Response& res) {
    constexpr const char* kJson = "application/json; charset=utf-8";
    res.set_header("Cache-Control", "no-store");
    CellStateView view;
    view.now_ms = clock.NowMs();
    // The site as the protocol pages take it: the three tracked pages normalise alike.
    const std::optional<std::string> sUrl = Single(req, "sUrl");
    const std::optional<std::string> site = sUrl ? NormalizeSite(Page::Sites, *sUrl) : std::nullopt;
    auto refuse = [&](int status, std::string_view why) {
        res.status = status;
        res.set_content(CellStateError(why), kJson);
    };
    if (!site)
        return refuse(404, "不是有效的网址");
    view.site = *site;
    for (Page page : {Page::Sites, Page::Links, Page::Ranks}) {
        auto answers = engine.State(page, *sUrl);
        auto stored = store.LatestRow(*site, page);
        if (!answers || !stored)
            return refuse(503, "存储无法读取");
        view.answers[page] = std::move(*answers);
        view.stored[page] = std::move(*stored);
    }
    view.providers = engine.Health();
    view.sources = SourcesOf(config);
    res.set_content(CellStateJson(view), kJson);
}

Server::Server(const Config& config, Engine& engine, Store& store, ServerLimits limits,
               Clock* clock)
    : impl_(std::make_unique<Impl>(config, engine, store, limits,
                                   clock ? *clock : DefaultEnv().clock)) {
    Impl& impl = *impl_;
    impl.http.set_pre_routing_handler([&impl](const httplib::Request& req, httplib::Response& res) {
        if (std::any_of(impl.allow.begin(), impl.allow.end(),
                        [&](const Network& net) { return NetworkContains(net, req.remote_addr); }))
            return httplib::Server::HandlerResponse::Unhandled;
        res.status = 403;
        res.set_content(ErrorPage(403, req.path), kHtml);
        return httplib::Server::HandlerResponse::Handled;
    });
    impl.http.Get(".*", [&impl](const httplib::Request& req, httplib::Response& res) {
        impl.Route(req, res);
    });
    // httplib's own refusals (bad request line, unknown method, ...) get a page too.
    impl.http.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        if (res.body.empty())
            res.set_content(ErrorPage(res.status, req.path), kHtml);
    });
    impl.http.set_payload_max_length(0);
}

Server::~Server() {
    Stop();
}

bool Server::Start(const std::string& listen, std::string* error) {
    const std::optional<ListenAddress> address = ParseListen(listen);
    if (!address) {
        if (error)
            *error = "listen: expected ADDR:PORT ([::1]:PORT for IPv6), got " + listen;
        return false;
    }
    return Start(*address, error);
}

bool Server::Start(const ListenAddress& address, std::string* error) {
    auto fail = [&](std::string why) {
        if (error)
            *error = std::move(why);
        return false;
    };
    impl_->allow.clear();
    for (const std::string& text : impl_->config.allow) {
        const std::optional<Network> net = ParseNetwork(text);
        if (!net)
            return fail("allow: not a network: " + text);
        impl_->allow.push_back(*net);
    }
    const int port = address.port;
    impl_->port = port == 0 ? impl_->http.bind_to_any_port(address.host)
                            : (impl_->http.bind_to_port(address.host, port) ? port : -1);
    if (impl_->port <= 0)
        return fail("cannot listen on " + address.host + " port " + std::to_string(port) + ": " +
                    std::strerror(errno));
    // The socket already listens: clients may connect before the thread runs.
    impl_->thread = std::thread([this] { impl_->http.listen_after_bind(); });
    return true;
}

int Server::port() const {
    return impl_->port;
}

void Server::SetAlerts(Alerts* alerts) {
    impl_->alerts = alerts;
}

void Server::Stop() {
    impl_->http.stop();
    Wait();
}

void Server::Wait() {
    if (impl_->thread.joinable())
        impl_->thread.join();
}

} // namespace valdane::svc
