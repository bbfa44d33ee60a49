#pragma once

// The benches' side of loopback HTTP: one client for every server they compare, load from
// keep-alive clients, and nginx as a yardstick or as a balancer.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "fakes.h" // FreePort

extern char** environ;

namespace valdane::bench {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

inline double Ms(SteadyClock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// One keep-alive connection speaking just enough HTTP/1.1: GET, then a response read by its
// Content-Length or chunks. The bench's own client, so that both servers meet the same one.
class Connection {
  public:
    explicit Connection(int port, const char* from = "127.0.0.1") : port_(port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, from, &local.sin_addr);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
        const int on = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        timeval cap{30, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &cap, sizeof cap);
    }
    ~Connection() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    int fd() const { return fd_; }
    std::size_t received() const { return received_; }

    // The status, 0 when no whole response came; the body in *body, else only counted
    // (received()). Reconnects once when the server ended the keep-alive connection.
    int Get(const std::string& path, std::string* body = nullptr,
            SteadyClock::time_point* first_byte = nullptr) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (fd_ < 0)
                *this = Reopen();
            const std::string request = "GET " + path +
                                        " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                                        "\r\n\r\n";
            if (fd_ >= 0 && ::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) > 0)
                if (const int status = Read(body, first_byte))
                    return status;
            ::close(fd_);
            fd_ = -1;
        }
        return 0;
    }

  private:
    Connection& operator=(Connection&& other) {
        std::swap(fd_, other.fd_);
        buffer_.clear();
        return *this;
    }
    Connection Reopen() const { return Connection(port_); }

    bool Fill(SteadyClock::time_point* first_byte = nullptr) {
        char chunk[65536];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0)
            return false;
        if (first_byte && buffer_.empty())
            *first_byte = SteadyClock::now();
        buffer_.append(chunk, static_cast<std::size_t>(n));
        return true;
    }
    // n bytes of the body, taken as they come so that a large body is never held unless asked.
    bool Take(std::size_t n, std::string* out) {
        while (n > 0) {
            if (buffer_.empty() && !Fill())
                return false;
            const std::size_t part = std::min(n, buffer_.size());
            if (out)
                out->append(buffer_, 0, part);
            buffer_.erase(0, part);
            received_ += part;
            n -= part;
        }
        return true;
    }
    bool Line(std::string* line) {
        std::size_t end;
        while ((end = buffer_.find("\r\n")) == std::string::npos)
            if (!Fill())
                return false;
        *line = buffer_.substr(0, end);
        buffer_.erase(0, end + 2);
        return true;
    }
    int Read(std::string* body, SteadyClock::time_point* first_byte) {
        std::size_t end;
        while ((end = buffer_.find("\r\n\r\n")) == std::string::npos)
            if (!Fill(first_byte))
                return 0;
        const std::string head = buffer_.substr(0, end + 2);
        buffer_.erase(0, end + 4);
        std::string lower = head;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (body)
            body->clear();
        received_ = 0;
        if (const std::size_t at = lower.find("\r\ncontent-length:"); at != std::string::npos) {
            if (!Take(std::stoul(head.substr(at + 17)), body))
                return 0;
        } else if (lower.find("transfer-encoding: chunked") != std::string::npos) {
            for (std::string line;;) {
                if (!Line(&line))
                    return 0;
                const std::size_t size = std::stoul(line, nullptr, 16);
                if (!Take(size, body) || !Line(&line))
                    return 0;
                if (size == 0)
                    break;
            }
        }
        return head.size() > 12 ? std::atoi(head.c_str() + 9) : 0;
    }

    int port_;
    int fd_ = -1;
    std::string buffer_;
    std::size_t received_ = 0;
};

inline void RaiseFileLimit() {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
}

struct LoadResult {
    std::vector<double> latencies_ms;
    double seconds = 0;
    int failures = 0;
    double Percentile(double p) const {
        return latencies_ms.empty()
                   ? 0
                   : latencies_ms[static_cast<std::size_t>(p * (latencies_ms.size() - 1))];
    }
    double PerSecond() const { return latencies_ms.size() / seconds; }
};

// `clients` threads, each on one keep-alive connection, asking `per_client` paths in turn.
inline LoadResult Load(int port, int clients, int per_client,
                       const std::function<std::string(int)>& path) {
    LoadResult result;
    std::vector<std::vector<double>> each(static_cast<std::size_t>(clients));
    std::atomic<int> failures{0};
    const auto start = SteadyClock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < clients; ++t)
        threads.emplace_back([&, t] {
            Connection connection(port);
            auto& mine = each[static_cast<std::size_t>(t)];
            mine.reserve(static_cast<std::size_t>(per_client));
            for (int i = 0; i < per_client; ++i) {
                const auto t0 = SteadyClock::now();
                if (connection.Get(path(i * clients + t)) != 200)
                    ++failures;
                mine.push_back(Ms(SteadyClock::now() - t0));
            }
        });
    for (auto& thread : threads)
        thread.join();
    result.seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
    for (auto& v : each)
        result.latencies_ms.insert(result.latencies_ms.end(), v.begin(), v.end());
    std::sort(result.latencies_ms.begin(), result.latencies_ms.end());
    result.failures = failures;
    return result;
}

// nginx on a free loopback port serving files (path -> bytes), or, given upstream ports, passing
// every request to them in turn over keep-alive connections, as a balancer in front of several
// instances does (probe: a path they answer). pid 0 when it cannot run.
struct Nginx {
    pid_t pid = 0;
    int port = 0;
    fs::path dir = fs::temp_directory_path() / ("valdane-bench-nginx-" + std::to_string(getpid()));

    explicit Nginx(const std::map<std::string, std::string>& files,
                   const std::vector<int>& upstreams = {}, const std::string& probe = "") {
        const char* binary = "/usr/sbin/nginx";
        if (!fs::exists(binary))
            return;
        for (const auto& [path, bytes] : files) {
            fs::create_directories((dir / ("www" + path)).parent_path());
            std::ofstream(dir / ("www" + path), std::ios::binary) << bytes;
        }
        port = valdane::svc::test::FreePort();
        const std::string d = dir.string();
        std::string balancer, location;
        if (!upstreams.empty()) {
            balancer = "upstream instances { keepalive 64;";
            for (int upstream : upstreams)
                balancer += " server 127.0.0.1:" + std::to_string(upstream) + ";";
            balancer += " }\n";
            location = " location / { proxy_pass http://instances; proxy_http_version 1.1; "
                       "proxy_set_header Connection \"\"; proxy_set_header Host $http_host; }";
        }
        fs::create_directories(dir);
        // keepalive_requests as the service's: both sides pay the same reconnects.
        std::ofstream(dir / "nginx.conf")
            << "worker_processes 2; daemon off; pid " << d << "/nginx.pid; error_log " << d
            << "/error.log;\nevents { worker_connections 1024; }\nhttp { access_log off; "
            << "client_body_temp_path " << d << "/body; proxy_temp_path " << d << "/proxy; "
            << "fastcgi_temp_path " << d << "/fastcgi; uwsgi_temp_path " << d << "/uwsgi; "
            << "scgi_temp_path " << d << "/scgi; keepalive_requests 1000;\n"
            << balancer << "server { listen 127.0.0.1:" << port << "; root " << d << "/www; "
            << "default_type 'text/html; charset=gb2312';" << location << " } }\n";
        const std::string conf = (dir / "nginx.conf").string(), error_log = d + "/error.log";
        const char* argv[] = {binary, "-p",         d.c_str(), "-e", error_log.c_str(),
                              "-c",   conf.c_str(), nullptr};
        if (posix_spawn(&pid, binary, nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
            pid = 0;
            return;
        }
        for (int i = 0; i < 100; ++i) { // up to 2 s for it to listen
            if (Connection(port).Get(files.empty() ? probe : files.begin()->first) == 200)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        Stop();
    }
    void Stop() {
        if (pid > 0) {
            ::kill(pid, SIGQUIT);
            ::waitpid(pid, nullptr, 0);
            pid = 0;
        }
    }
    ~Nginx() {
        Stop();
        fs::remove_all(dir);
    }
};

} // namespace valdane::bench
