#include "whois43.h"

#include "charset.h"
#include "config.h"
#include "safefetch.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <set>

namespace valdane::svc {
namespace {

using SteadyClock = std::chrono::steady_clock;

std::string_view Trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

// Calls on_field(key in lower case, value) for every "key: value" line.
template <typename F> void ForEachField(std::string_view text, F on_field) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos)
            on_field(Lowered(Trim(line.substr(0, colon))), Trim(line.substr(colon + 1)));
    }
}

int Remaining(SteadyClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

bool WaitFor(int fd, short events, SteadyClock::time_point deadline) {
    pollfd p{fd, events, 0};
    int rc;
    do
        rc = poll(&p, 1, Remaining(deadline));
    while (rc < 0 && errno == EINTR);
    return rc > 0;
}

// One RFC 3912 exchange with one address: the query and CR LF out, everything until the server
// closes back, at most max_bytes.
bool Exchange(const std::string& address, int port, const std::string& query,
              const WhoisOptions& options, std::string* answer, std::string* error) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (inet_pton(AF_INET, address.c_str(), &in4->sin_addr) == 1) {
        in4->sin_family = AF_INET;
        in4->sin_port = htons(static_cast<std::uint16_t>(port));
        length = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, address.c_str(), &in6->sin6_addr) == 1) {
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<std::uint16_t>(port));
        length = sizeof(sockaddr_in6);
    } else {
        *error = "地址无效: " + address;
        return false;
    }
    const int fd = socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = "socket 失败";
        return false;
    }
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(options.timeout_ms);
    bool ok = false;
    [&] {
        if (connect(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
            int so_error = 0;
            socklen_t size = sizeof so_error;
            if (errno != EINPROGRESS || !WaitFor(fd, POLLOUT, deadline) ||
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &size) != 0 || so_error != 0) {
                *error = "连接失败: " + address + ":" + std::to_string(port);
                return;
            }
        }
        const std::string line = query + "\r\n";
        for (std::size_t sent = 0; sent < line.size();) {
            if (!WaitFor(fd, POLLOUT, deadline)) {
                *error = "发送超时";
                return;
            }
            const ssize_t n = send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                *error = "发送失败";
                return;
            }
            sent += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        char buffer[8192];
        for (;;) {
            if (!WaitFor(fd, POLLIN, deadline)) {
                *error = "等待回答超时";
                return;
            }
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n == 0)
                break;
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR)
                    continue;
                break; // a reset after the answer: keep what came
            }
            const std::size_t room = options.max_bytes - answer->size();
            answer->append(buffer, std::min(room, static_cast<std::size_t>(n)));
            if (answer->size() >= options.max_bytes)
                break; // enough: a longer answer is no WHOIS record
        }
        ok = true;
    }();
    close(fd);
    return ok;
}

constexpr int kWhoisPort = 43, kRwhoisPort = 4321;

// `server` is "host" or "host:port"; a bracketed or bare IPv6 literal has more than one colon.
// A referral (named by an answer, not by the configuration) must pass the address rules.
bool Query(Env& env, const std::string& server, bool referral, const std::string& query,
           const WhoisOptions& options, std::string* answer, std::string* error) {
    std::string host = server;
    int port = referral ? kWhoisPort : options.port;
    const std::size_t colon = server.rfind(':');
    if (colon != std::string::npos && server.find(':') == colon) {
        host = server.substr(0, colon);
        port = std::atoi(server.c_str() + colon + 1);
    }
    if (port <= 0 || port > 65535) {
        *error = "端口无效: " + server;
        return false;
    }
    const std::vector<std::string> addresses =
        ParseNetwork(host) ? std::vector<std::string>{host} : env.resolver.Resolve(host);
    if (addresses.empty()) {
        *error = "域名无法解析: " + host;
        return false;
    }
    if (referral) {
        // Every address must pass: a name that also points inward is not asked at all.
        for (const std::string& address : addresses) {
            const bool listed =
                std::any_of(options.allow.begin(), options.allow.end(),
                            [&](const Network& n) { return NetworkContains(n, address); });
            if (!AddressAllowed(address, options.allow)) {
                *error = "转介被拒绝: " + host + " 指向内部地址 " + address;
                return false;
            }
            if (!listed && port != kWhoisPort && port != kRwhoisPort) {
                *error = "转介被拒绝: 端口 " + std::to_string(port);
                return false;
            }
        }
    }
    for (const std::string& address : addresses) {
        answer->clear();
        if (Exchange(address, port, query, options, answer, error))
            return true;
    }
    return false;
}

bool SaysNotFound(std::string_view text) {
    const std::string t = Lowered(text.substr(0, 4096));
    for (const char* mark : {"no match for", "not found", "no data found", "no entries found",
                             "no matching record", "status: free", "status: available",
                             "is available for registration", "object does not exist"})
        if (t.find(mark) != std::string::npos)
            return true;
    return false;
}

std::string Tld(const std::string& domain) {
    const std::size_t dot = domain.rfind('.');
    return dot == std::string::npos ? domain : domain.substr(dot + 1);
}

// IANA's answer: the record of the TLD itself ("domain: COM").
bool IsTldRecord(std::string_view text, const std::string& domain) {
    bool tld = false;
    ForEachField(text, [&](const std::string& key, std::string_view value) {
        tld = tld || (key == "domain" && Lowered(value) == Tld(domain));
    });
    return tld;
}

} // namespace

std::string ReadableWhois(std::string_view raw) {
    const std::string text = Utf8OrGbk(raw);
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\r')
            continue;
        if (c == '\n')
            out += "\r\n";
        else if (c >= 0x20 || c == '\t')
            out += static_cast<char>(c);
    }
    while (out.size() >= 2 && out.compare(out.size() - 2, 2, "\r\n") == 0)
        out.resize(out.size() - 2);
    return out;
}

std::string WhoisReferral(std::string_view text) {
    std::string found;
    ForEachField(text, [&](const std::string& key, std::string_view value) {
        if (!found.empty() ||
            (key != "refer" && key != "whois" && key != "registrar whois server" &&
             key != "whois server" && key != "referralserver"))
            return;
        for (std::string_view scheme : {"whois://", "rwhois://", "http://", "https://"})
            if (Lowered(value.substr(0, scheme.size())) == scheme)
                value.remove_prefix(scheme.size());
        while (!value.empty() && value.back() == '/')
            value.remove_suffix(1);
        const bool plain = !value.empty() && std::all_of(value.begin(), value.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' ||
                   c == ':' || c == '[' || c == ']';
        });
        if (plain)
            found = Lowered(value);
    });
    return found;
}

WhoisAnswer WhoisLookup(Env& env, const std::string& domain, const WhoisOptions& options) {
    WhoisAnswer result;
    std::set<std::string> asked;
    std::string server = options.host + ":" + std::to_string(options.port);
    bool tld_record = false; // the answer standing describes the TLD, not the domain
    for (int hop = 0;; ++hop) {
        std::string raw, error;
        asked.insert(server);
        if (!Query(env, server, hop > 0, domain, options, &raw, &error)) {
            if (!result.ok || tld_record) {
                result = {};
                result.error = error;
            }
            break;
        }
        result.ok = true;
        result.text = ReadableWhois(raw);
        result.server = server;
        tld_record = IsTldRecord(result.text, domain);
        std::string next = WhoisReferral(result.text);
        if (tld_record && next.empty()) {
            result.no_service = true; // IANA knows no server for the TLD
            break;
        }
        if (!next.empty() && next.find(':') == std::string::npos)
            next += ":" + std::to_string(kWhoisPort);
        if (next.empty() || asked.count(next) || hop >= options.max_referrals) {
            if (tld_record) {
                result = {};
                result.error =
                    "未能取得注册局的回答（转介 " + (next.empty() ? server : next) + "）";
            }
            break;
        }
        server = next;
    }
    result.not_found = result.ok && !result.no_service && SaysNotFound(result.text);
    return result;
}

Registration ParseWhoisText(std::string_view text) {
    Registration r;
    std::vector<std::string> address(5);
    std::string name, org; // as written, placeholders included
    auto take = [](std::string* field, std::string_view value) {
        if (field->empty() && !value.empty() && !IsWithheld(value))
            *field = CleanField(value, 200);
    };
    ForEachField(text, [&](const std::string& key, std::string_view value) {
        if (key == "domain name" || key == "domain")
            take(&r.domain, Lowered(value));
        else if (key == "registrar" || key == "sponsoring registrar")
            take(&r.registrar, value);
        else if (key == "creation date" || key == "registration time" || key == "created" ||
                 key == "created on" || key == "registered" || key == "registered on" ||
                 key == "registration date")
            take(&r.registered, value);
        else if (key == "registry expiry date" || key == "expiration time" ||
                 key == "expiration date" || key == "expires" || key == "expiry date" ||
                 key == "registrar registration expiration date")
            take(&r.expires, value);
        else if (key == "updated date" || key == "update date" || key == "last updated" ||
                 key == "changed")
            take(&r.updated, value);
        else if (key == "registrant name" || key == "registrant") {
            name = name.empty() ? std::string(value) : name;
            take(&r.registrant_name, value);
        } else if (key == "registrant organization" || key == "registrant organisation") {
            org = org.empty() ? std::string(value) : org;
            take(&r.registrant_org, value);
        } else if (key == "registrant email" || key == "registrant contact email" ||
                   key == "registrant e-mail")
            take(&r.registrant_email, value);
        else if (key == "registrant street")
            take(&address[0], value);
        else if (key == "registrant city")
            take(&address[1], value);
        else if (key == "registrant state/province")
            take(&address[2], value);
        else if (key == "registrant postal code")
            take(&address[3], value);
        else if (key == "registrant country")
            take(&address[4], value);
    });
    for (const std::string& part : address)
        if (!part.empty())
            r.registrant_address += (r.registrant_address.empty() ? "" : ", ") + part;
    r.registrant_listed = !name.empty() || !org.empty();
    WithholdContact(name, org, &r);
    return r;
}

} // namespace valdane::svc
