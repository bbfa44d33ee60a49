#include "server.h"

#include "pages.h"
#include "providers/charset.h"
#include "routes.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace valdane::svc {
namespace {

std::string NumericAddress(const sockaddr* addr) {
    char text[INET6_ADDRSTRLEN] = {};
    if (addr->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(addr)->sin_addr, text,
                  sizeof text);
    else if (addr->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr, text,
                  sizeof text);
    return text;
}

// Threads running jobs from a bounded queue. Post refuses rather than letting the queue grow:
// a client told 503 now is better served than one answered after its own time limit.
class Lane {
  public:
    // A thread counts as idle from its creation: a job posted before it first waits is its.
    Lane(std::size_t threads, std::size_t queue)
        : cap_(queue), idle_(std::max<std::size_t>(1, threads)) {
        for (std::size_t i = 0; i < idle_; ++i)
            threads_.emplace_back([this] { Run(); });
    }
    ~Lane() { Close(); }

    bool Post(std::function<void()> job) {
        std::lock_guard<std::mutex> guard(mutex_);
        if (closed_ || jobs_.size() >= idle_ + cap_)
            return false;
        jobs_.push_back(std::move(job));
        cv_.notify_one();
        return true;
    }

    // Runs what was accepted, then ends the threads.
    void Close() {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            closed_ = true;
        }
        cv_.notify_all();
        for (std::thread& t : threads_)
            if (t.joinable())
                t.join();
    }

  private:
    void Run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            cv_.wait(lock, [this] { return closed_ || !jobs_.empty(); });
            if (jobs_.empty())
                return;
            std::function<void()> job = std::move(jobs_.front());
            jobs_.pop_front();
            --idle_;
            lock.unlock();
            job();
            lock.lock();
            ++idle_;
        }
    }

    const std::size_t cap_;
    std::mutex mutex_; // guards jobs_, idle_, closed_
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    std::size_t idle_;
    bool closed_ = false;
    std::vector<std::thread> threads_;
};

// One request from its first line to its response. Owned by libmicrohttpd's request context:
// made when the request line arrives, deleted when the request completes.
struct Exchange {
    std::string target;
    std::int64_t arrived_ms = 0;
    bool checked = false;            // passed or refused by the checks (event thread only)
    bool started = false;            // handed to a lane (event thread only)
    std::atomic<bool> ready = false; // set by the lane before it resumes the connection
    WebResponse response;
};

// Per connection. `served` is the event thread's alone; the rest is read by the thread that
// cuts late connections.
struct ConnectionState {
    std::size_t served = 0; // responses given, for the keep-alive limit
    int fd = -1;
    std::size_t loop = 0;                  // the event loop holding it
    std::string address;                   // the client's, numeric
    std::atomic<std::int64_t> since_ms{0}; // when its current request may have begun (mono)
    std::atomic<bool> reading{true};       // its request's headers are not all in yet
    bool cut = false;                      // shut down for being late (under the list's mutex)
};

// The body of a streamed response: the first piece, then what `next` makes.
struct Stream {
    std::string piece;
    std::size_t at = 0;
    std::function<WebResponse::Piece(std::string*)> next;
    bool ended = false;
};

ssize_t ReadStream(void* cls, std::uint64_t, char* buf, std::size_t max) {
    auto* s = static_cast<Stream*>(cls);
    while (s->at == s->piece.size()) {
        if (s->ended)
            return MHD_CONTENT_READER_END_OF_STREAM;
        s->piece.clear();
        s->at = 0;
        switch (s->next(&s->piece)) {
        case WebResponse::Piece::Failed:
            return MHD_CONTENT_READER_END_WITH_ERROR;
        case WebResponse::Piece::End:
            s->ended = true;
            break;
        case WebResponse::Piece::More:
            break;
        }
    }
    const std::size_t n = std::min(max, s->piece.size() - s->at);
    std::memcpy(buf, s->piece.data() + s->at, n);
    s->at += n;
    return static_cast<ssize_t>(n);
}

std::string FullStatusPage(int status) {
    return ErrorPage(status, "");
}

} // namespace

struct Server::Impl {
    const Config& config;
    Engine& engine;
    Store& store;
    ServerLimits limits;
    Clock& clock;
    Routes routes;
    std::vector<Network> allow;
    std::vector<std::string> host_names; // lower case, without brackets
    // One event thread: a libmicrohttpd daemon without a listening socket of its own. The
    // acceptor hands each connection to the loop holding the fewest, so that the threads share
    // the load evenly (libmicrohttpd's own pool lets whichever thread wakes first take a burst
    // of up to ten).
    struct Loop {
        Impl* impl = nullptr;
        std::size_t index = 0;
        MHD_Daemon* daemon = nullptr;
        std::size_t open = 0; // connections handed to it and not yet closed
    };
    std::vector<std::unique_ptr<Loop>> loops;
    std::unique_ptr<Lane> answers, pages;
    int port = 0;
    int listening = -1;
    std::atomic<bool> stopping = false;
    std::thread acceptor;

    // Guards connections, stop_cutting, per_address, open and each loop's `open`.
    std::mutex connections_mutex;
    std::condition_variable connections_cv;
    std::unordered_set<ConnectionState*> connections;
    bool stop_cutting = false;
    std::thread cutter;
    // Counted from accept to close, so that a burst cannot pass a limit before its
    // connections are started.
    std::unordered_map<std::string, std::size_t> per_address;
    std::size_t open = 0;

    Impl(const Config& c, Engine& e, Store& s, ServerLimits l, Clock& k)
        : config(c), engine(e), store(s), limits(l), clock(k), routes(c, e, s, k) {}

    // The one place a request's arrival time is read.
    Exchange* Arrive(const char* uri) {
        auto* x = new Exchange;
        x->target = uri ? uri : "";
        x->arrived_ms = clock.MonoMs();
        return x;
    }

    void Opened(MHD_Connection* c, const Loop& loop, ConnectionState* state) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
        state->fd = info ? info->connect_fd : -1;
        const MHD_ConnectionInfo* client =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        state->address = client ? NumericAddress(client->client_addr) : "";
        state->loop = loop.index;
        state->since_ms = clock.MonoMs();
        std::lock_guard<std::mutex> guard(connections_mutex);
        connections.insert(state);
    }

    // Called before libmicrohttpd closes the socket.
    void Closed(ConnectionState* state) {
        std::lock_guard<std::mutex> guard(connections_mutex);
        connections.erase(state);
        Release(state->loop, state->address);
    }

    // Under connections_mutex.
    void Release(std::size_t loop, const std::string& address) {
        --loops[loop]->open;
        --open;
        if (const auto it = per_address.find(address); it != per_address.end() && --it->second == 0)
            per_address.erase(it);
    }

    // Takes the connections: outside `allow`, past the limits for all or for one address, they
    // are closed before a byte is read.
    void Accept() {
        pthread_setname_np(pthread_self(), "svc-accept");
        while (!stopping.load(std::memory_order_acquire)) {
            sockaddr_storage addr{};
            socklen_t len = sizeof addr;
            const int fd = ::accept4(listening, reinterpret_cast<sockaddr*>(&addr), &len,
                                     SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0) {
                // Out of descriptors or memory: the backlog waits until some are free.
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                    ::poll(nullptr, 0, 50);
                continue;
            }
            const auto* from = reinterpret_cast<const sockaddr*>(&addr);
            const std::string ip = NumericAddress(from);
            Loop* loop = Admit(ip);
            if (!loop) {
                ::close(fd);
                continue;
            }
            // Refused (out of memory), the socket is closed and never started: its place is
            // given back here, as Closed does for the others.
            if (MHD_add_connection(loop->daemon, fd, from, len) != MHD_YES) {
                std::lock_guard<std::mutex> guard(connections_mutex);
                Release(loop->index, ip);
            }
        }
    }

    // The loop to take a new connection from ip, counted as open; null to refuse it.
    Loop* Admit(const std::string& ip) {
        if (!Allowed(ip))
            return nullptr;
        std::lock_guard<std::mutex> guard(connections_mutex);
        std::size_t& mine = per_address[ip];
        if (open >= limits.connections || mine >= limits.per_address) {
            if (mine == 0)
                per_address.erase(ip);
            return nullptr;
        }
        ++mine;
        ++open;
        Loop* least = loops.front().get();
        for (const auto& loop : loops)
            if (loop->open < least->open)
                least = loop.get();
        ++least->open;
        return least;
    }

    // libmicrohttpd's timeout is reset by every byte: a client trickling its headers would
    // hold the connection for ever. Shutting the socket down makes its event thread close it.
    void CutLateConnections() {
        const std::int64_t limit =
            std::chrono::duration_cast<std::chrono::milliseconds>(limits.header_timeout).count();
        std::unique_lock<std::mutex> lock(connections_mutex);
        while (!stop_cutting) {
            const std::int64_t now = clock.MonoMs();
            // A connection opened or answered later is due later than this.
            std::int64_t wake = now + limit;
            for (ConnectionState* state : connections) {
                if (!state->reading.load(std::memory_order_acquire) || state->cut)
                    continue;
                const std::int64_t due = state->since_ms.load(std::memory_order_acquire) + limit;
                if (due > now) {
                    wake = std::min(wake, due);
                } else if (state->fd >= 0) {
                    ::shutdown(state->fd, SHUT_RDWR);
                    state->cut = true;
                }
            }
            clock.WaitUntil(lock, connections_cv, wake, [this] { return stop_cutting; });
        }
    }

    bool Allowed(const std::string& ip) const {
        return std::any_of(allow.begin(), allow.end(),
                           [&](const Network& net) { return NetworkContains(net, ip); });
    }

    // A Host naming this service: a name the configuration lists, or the address the client
    // connected to. Any other name may be a stranger's, pointed at us (DNS rebinding).
    bool NamesUs(MHD_Connection* c, std::string_view host) const {
        std::string name;
        if (!host.empty() && host.front() == '[') {
            const std::size_t close = host.find(']');
            if (close == std::string_view::npos)
                return false;
            name = Lowered(host.substr(1, close - 1));
            host.remove_prefix(close + 1);
        } else {
            const std::size_t colon = host.find(':');
            name = Lowered(host.substr(0, colon));
            host.remove_prefix(colon == std::string_view::npos ? host.size() : colon);
        }
        if (!host.empty() && (host.front() != ':' ||
                              host.find_first_not_of("0123456789", 1) != std::string_view::npos))
            return false;
        if (!name.empty() && name.back() == '.')
            name.pop_back();
        if (std::find(host_names.begin(), host_names.end(), name) != host_names.end())
            return true;
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
        sockaddr_storage local{};
        socklen_t len = sizeof local;
        if (!info || getsockname(info->connect_fd, reinterpret_cast<sockaddr*>(&local), &len) != 0)
            return false;
        std::string ours = NumericAddress(reinterpret_cast<sockaddr*>(&local));
        // A client of an IPv6 socket that reached it over IPv4 names the IPv4 address.
        if (ours.rfind("::ffff:", 0) == 0 && ours.find('.') != std::string::npos)
            ours.erase(0, 7);
        return name == ours;
    }

    // The checks before routing; a status to refuse with, or 0.
    int Refusal(MHD_Connection* c, const Exchange& x, std::string_view method,
                std::string_view version, bool* close) const {
        int hosts = 0, lengths = 0;
        bool body = false;
        std::string host;
        struct Seen {
            int* hosts;
            int* lengths;
            bool* body;
            std::string* host;
        } seen{&hosts, &lengths, &body, &host};
        MHD_get_connection_values(
            c, MHD_HEADER_KIND,
            [](void* cls, MHD_ValueKind, const char* key, const char* value) -> MHD_Result {
                auto* s = static_cast<Seen*>(cls);
                if (strcasecmp(key, "host") == 0) {
                    ++*s->hosts;
                    *s->host = value ? value : "";
                } else if (strcasecmp(key, "content-length") == 0) {
                    ++*s->lengths;
                    *s->body = *s->body || !value || std::string_view(value) != "0";
                } else if (strcasecmp(key, "transfer-encoding") == 0) {
                    *s->body = true;
                }
                return MHD_YES;
            },
            &seen);
        // Whatever follows an unread or ambiguous body must never be taken for a request.
        *close = body || lengths > 1 || hosts > 1;
        if (lengths > 1 || hosts > 1)
            return MHD_HTTP_BAD_REQUEST;
        if (body)
            return MHD_HTTP_CONTENT_TOO_LARGE;
        if (method != MHD_HTTP_METHOD_GET && method != MHD_HTTP_METHOD_HEAD)
            return MHD_HTTP_METHOD_NOT_ALLOWED;
        if (x.target.size() > limits.target_bytes)
            return MHD_HTTP_URI_TOO_LONG;
        if (x.target.empty() || x.target.front() != '/') {
            *close = true;
            return MHD_HTTP_BAD_REQUEST;
        }
        // Only an HTTP/1.0 client may leave Host out.
        if (hosts == 0) {
            *close = version != MHD_HTTP_VERSION_1_0;
            return *close ? MHD_HTTP_BAD_REQUEST : 0;
        }
        return NamesUs(c, host) ? 0 : MHD_HTTP_MISDIRECTED_REQUEST;
    }

    MHD_Result Queue(MHD_Connection* c, void* connection_context, WebResponse r, bool close,
                     std::string_view version) {
        MHD_Response* response;
        if (r.next) {
            auto* s = new Stream{std::move(r.body), 0, std::move(r.next), false};
            response = MHD_create_response_from_callback(
                MHD_SIZE_UNKNOWN, 64 * 1024, ReadStream, s,
                [](void* cls) { delete static_cast<Stream*>(cls); });
        } else {
            auto* body = new std::string(std::move(r.body));
            response = MHD_create_response_from_buffer_with_free_callback_cls(
                body->size(), body->data(),
                [](void* cls) { delete static_cast<std::string*>(cls); }, body);
        }
        if (!response)
            return MHD_NO;
        if (!r.content_type.empty())
            MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, r.content_type.c_str());
        for (const auto& [name, value] : r.headers)
            MHD_add_response_header(response, name.c_str(), value.c_str());
        auto* state = static_cast<ConnectionState*>(connection_context);
        const std::size_t served = state ? ++state->served : limits.keep_alive_requests;
        if (close || served >= limits.keep_alive_requests) {
            MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
        } else if (version == MHD_HTTP_VERSION_1_1) {
            const std::string keep = "timeout=" + std::to_string(limits.idle_timeout.count()) +
                                     ", max=" + std::to_string(limits.keep_alive_requests - served);
            MHD_add_response_header(response, "Keep-Alive", keep.c_str());
        }
        const MHD_Result ok = MHD_queue_response(c, static_cast<unsigned>(r.status), response);
        MHD_destroy_response(response);
        return ok;
    }

    MHD_Result Handle(MHD_Connection* c, const char* method, const char* version, Exchange* x,
                      std::size_t* upload_size) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        auto* state = static_cast<ConnectionState*>(info ? info->socket_context : nullptr);
        if (state)
            state->reading.store(false, std::memory_order_release);
        if (x->ready.load(std::memory_order_acquire))
            return Queue(c, state, std::move(x->response), false, version);
        // Body bytes are never ours to read: a request announcing them was refused below, and
        // the connection closes after that answer.
        *upload_size = 0;
        // A response queued before the request is complete makes libmicrohttpd close the
        // connection after it: wanted after a refused body, not otherwise.
        if (!x->checked) {
            x->checked = true;
            bool close = false;
            if (const int status = Refusal(c, *x, method, version, &close)) {
                WebResponse& r = x->response;
                r.status = status;
                r.content_type = "text/html; charset=utf-8";
                r.body = FullStatusPage(status);
                if (status == MHD_HTTP_METHOD_NOT_ALLOWED)
                    r.headers.emplace_back(MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
                if (close)
                    return Queue(c, state, std::move(r), true, version);
                x->ready.store(true, std::memory_order_relaxed);
            }
            return MHD_YES;
        }
        if (x->started)
            return MHD_YES;
        // Most answers come fresh from the store: made here, they spare two thread switches.
        if (std::optional<WebResponse> now = routes.ServeNow(WebRequest{x->target, x->arrived_ms}))
            return Queue(c, state, std::move(*now), false, version);
        x->started = true;
        Lane& lane = AsksEngine(x->target) ? *answers : *pages;
        MHD_suspend_connection(c);
        const bool posted = lane.Post([this, c, x] {
            x->response = routes.Serve(WebRequest{x->target, x->arrived_ms});
            x->ready.store(true, std::memory_order_release);
            MHD_resume_connection(c);
        });
        if (!posted) {
            WebResponse& r = x->response;
            r.status = MHD_HTTP_SERVICE_UNAVAILABLE;
            r.content_type = "text/html; charset=utf-8";
            r.body = FullStatusPage(r.status);
            r.headers.emplace_back(MHD_HTTP_HEADER_RETRY_AFTER, "2");
            x->ready.store(true, std::memory_order_release);
            MHD_resume_connection(c);
        }
        return MHD_YES;
    }
};

Server::Server(const Config& config, Engine& engine, Store& store, ServerLimits limits,
               Clock* clock)
    : impl_(std::make_unique<Impl>(config, engine, store, limits,
                                   clock ? *clock : DefaultEnv().clock)) {}

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
    Impl& impl = *impl_;
    auto fail = [&](std::string why) {
        if (error)
            *error = std::move(why);
        return false;
    };
    impl.allow.clear();
    for (const std::string& text : impl.config.allow) {
        const std::optional<Network> net = ParseNetwork(text);
        if (!net)
            return fail("allow: not a network: " + text);
        impl.allow.push_back(*net);
    }
    impl.host_names = impl.config.server_names;
    impl.host_names.push_back("localhost");
    impl.host_names.push_back(Lowered(address.host));

    // Bound here rather than by the library: SO_REUSEADDR only (a restart need not wait for
    // old connections), never SO_REUSEPORT, so a second service on the port fails loudly
    // instead of quietly taking half the requests.
    sockaddr_storage addr{};
    socklen_t len = 0;
    if (auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
        inet_pton(AF_INET, address.host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<std::uint16_t>(address.port));
        len = sizeof *v4;
    } else if (auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
               inet_pton(AF_INET6, address.host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<std::uint16_t>(address.port));
        len = sizeof *v6;
    } else {
        return fail("listen: not a numeric address: " + address.host);
    }
    const int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    const std::string where = address.host + " port " + std::to_string(address.port);
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd, 511) != 0) {
        const int why = errno;
        if (fd >= 0)
            ::close(fd);
        return fail("cannot listen on " + where + ": " + std::strerror(why));
    }
    len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    impl.port = ntohs(addr.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                                                 : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);

    const ServerLimits& l = impl.limits;
    impl.answers = std::make_unique<Lane>(l.answer_threads, l.answer_queue);
    impl.pages = std::make_unique<Lane>(l.page_threads, l.page_queue);
    using Access = MHD_Result (*)(void*, MHD_Connection*, const char*, const char*, const char*,
                                  const char*, std::size_t*, void**);
    const Access access = [](void* cls, MHD_Connection* c, const char*, const char* method,
                             const char* version, const char*, std::size_t* upload_size,
                             void** request_context) -> MHD_Result {
        return static_cast<Impl*>(cls)->Handle(
            c, method, version, static_cast<Exchange*>(*request_context), upload_size);
    };
    using UriLog = void* (*)(void*, const char*, MHD_Connection*);
    const UriLog arrive = [](void* cls, const char* uri, MHD_Connection*) -> void* {
        return static_cast<Impl*>(cls)->Arrive(uri);
    };
    using Completed = void (*)(void*, MHD_Connection*, void**, MHD_RequestTerminationCode);
    const Completed completed = [](void* cls, MHD_Connection* c, void** request_context,
                                   MHD_RequestTerminationCode) {
        delete static_cast<Exchange*>(*request_context);
        *request_context = nullptr;
        // The next request's time starts now.
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        if (auto* state = static_cast<ConnectionState*>(info ? info->socket_context : nullptr)) {
            state->since_ms.store(static_cast<Impl*>(cls)->clock.MonoMs(),
                                  std::memory_order_release);
            state->reading.store(true, std::memory_order_release);
        }
    };
    using Notify = void (*)(void*, MHD_Connection*, void**, MHD_ConnectionNotificationCode);
    const Notify notify = [](void* cls, MHD_Connection* c, void** socket_context,
                             MHD_ConnectionNotificationCode code) {
        const Impl::Loop& loop = *static_cast<Impl::Loop*>(cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            auto* state = new ConnectionState;
            *socket_context = state;
            loop.impl->Opened(c, loop, state);
        } else {
            auto* state = static_cast<ConnectionState*>(*socket_context);
            loop.impl->Closed(state);
            delete state;
            *socket_context = nullptr;
        }
    };
    for (std::size_t i = 0; i < std::max<std::size_t>(1, l.event_threads); ++i) {
        auto loop = std::make_unique<Impl::Loop>();
        loop->impl = &impl;
        loop->index = i;
        // The acceptor keeps the limits; libmicrohttpd's are only a backstop.
        loop->daemon = MHD_start_daemon(
            MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_TURBO |
                MHD_ALLOW_SUSPEND_RESUME | MHD_USE_NO_LISTEN_SOCKET | MHD_USE_ITC,
            0, nullptr, nullptr, access, &impl, MHD_OPTION_CONNECTION_LIMIT,
            static_cast<unsigned>(l.connections), MHD_OPTION_CONNECTION_TIMEOUT,
            static_cast<unsigned>(l.idle_timeout.count()), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
            l.request_bytes, MHD_OPTION_URI_LOG_CALLBACK, arrive, &impl,
            MHD_OPTION_NOTIFY_COMPLETED, completed, &impl, MHD_OPTION_NOTIFY_CONNECTION, notify,
            loop.get(), MHD_OPTION_END);
        if (!loop->daemon) {
            ::close(fd);
            for (const auto& started : impl.loops)
                MHD_stop_daemon(started->daemon);
            impl.loops.clear();
            impl.answers.reset();
            impl.pages.reset();
            return fail("cannot serve on " + where);
        }
        impl.loops.push_back(std::move(loop));
    }
    impl.listening = fd;
    impl.stopping = false;
    impl.acceptor = std::thread([&impl] { impl.Accept(); });
    impl.stop_cutting = false;
    impl.cutter = std::thread([&impl] { impl.CutLateConnections(); });
    return true;
}

int Server::port() const {
    return impl_->port;
}

void Server::SetAlerts(Alerts* alerts) {
    impl_->routes.SetAlerts(alerts);
}

void Server::SetFleet(Fleet* fleet) {
    impl_->routes.SetFleet(fleet);
}

void Server::Stop() {
    Impl& impl = *impl_;
    if (impl.loops.empty())
        return;
    // No new connections (shutting the socket down wakes the acceptor's accept); the answers
    // under way finish and resume their connections, which stopping a daemon requires.
    impl.stopping = true;
    ::shutdown(impl.listening, SHUT_RDWR);
    impl.acceptor.join();
    ::close(impl.listening);
    impl.listening = -1;
    {
        std::lock_guard<std::mutex> guard(impl.connections_mutex);
        impl.stop_cutting = true;
    }
    impl.connections_cv.notify_all();
    impl.cutter.join();
    impl.answers->Close();
    impl.pages->Close();
    for (const auto& loop : impl.loops)
        MHD_stop_daemon(loop->daemon);
    impl.loops.clear();
    impl.answers.reset();
    impl.pages.reset();
}

} // namespace valdane::svc
