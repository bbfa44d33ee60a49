#include "safefetch.h"

#include <arpa/inet.h>
#include <curl/curl.h>

#include <algorithm>
#include <memory>

namespace valdane::svc {
namespace {

using Address = std::array<std::uint8_t, 16>;

// Blocks that are never public. IPv4 entries are written as IPv4 and mapped by ParseNetwork.
const std::vector<IpNetwork>& Refused() {
    static const std::vector<IpNetwork> blocks = [] {
        std::vector<IpNetwork> out;
        for (const char* text : {
                 "0.0.0.0/8",      "10.0.0.0/8",     "100.64.0.0/10", "127.0.0.0/8",
                 "169.254.0.0/16", "172.16.0.0/12",  "192.0.0.0/24",  "192.0.2.0/24",
                 "192.88.99.0/24", "192.168.0.0/16", "198.18.0.0/15", "198.51.100.0/24",
                 "203.0.113.0/24", "224.0.0.0/4",    "240.0.0.0/4",   "::/96",
                 "::1/128",        "64:ff9b:1::/48", "100::/64",      "2001:db8::/32",
                 "fc00::/7",       "fe80::/10",      "fec0::/10",     "ff00::/8",
             })
            out.push_back(*ParseNetwork(text));
        return out;
    }();
    return blocks;
}

bool IsMapped(const Address& a) {
    return std::all_of(a.begin(), a.begin() + 10, [](std::uint8_t b) { return b == 0; }) &&
           a[10] == 0xFF && a[11] == 0xFF;
}

Address Mapped(const std::uint8_t* v4) {
    Address a{};
    a[10] = a[11] = 0xFF;
    std::copy(v4, v4 + 4, a.begin() + 12);
    return a;
}

bool Allowed(const Address& a, const std::vector<IpNetwork>& allow) {
    return std::any_of(allow.begin(), allow.end(),
                       [&](const IpNetwork& n) { return n.Contains(a); }) ||
           IsPublicAddress(a);
}

struct Url {
    std::string scheme, host, port;
};

std::optional<Url> SplitUrl(const std::string& text) {
    std::unique_ptr<CURLU, void (*)(CURLU*)> u(curl_url(), curl_url_cleanup);
    if (!u || curl_url_set(u.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK)
        return std::nullopt;
    Url url;
    auto part = [&](CURLUPart which, std::string* out, unsigned flags) {
        char* value = nullptr;
        if (curl_url_get(u.get(), which, &value, flags) != CURLUE_OK || !value)
            return false;
        *out = value;
        curl_free(value);
        return true;
    };
    std::string zone;
    if (!part(CURLUPART_SCHEME, &url.scheme, 0) || !part(CURLUPART_HOST, &url.host, 0) ||
        !part(CURLUPART_PORT, &url.port, CURLU_DEFAULT_PORT) || part(CURLUPART_ZONEID, &zone, 0))
        return std::nullopt;
    if (url.host.size() > 2 && url.host.front() == '[' && url.host.back() == ']')
        url.host = url.host.substr(1, url.host.size() - 2);
    return url;
}

std::string Text(const Address& a) {
    char buffer[INET6_ADDRSTRLEN];
    if (IsMapped(a))
        inet_ntop(AF_INET, a.data() + 12, buffer, sizeof buffer);
    else
        inet_ntop(AF_INET6, a.data(), buffer, sizeof buffer);
    return buffer;
}

} // namespace

bool IpNetwork::Contains(const Address& a) const {
    for (int bit = 0; bit < prefix; ++bit) {
        const int mask = 0x80 >> (bit % 8);
        if ((a[bit / 8] & mask) != (address[bit / 8] & mask))
            return false;
    }
    return true;
}

std::optional<Address> ParseAddress(std::string_view text) {
    const std::string s(text);
    std::uint8_t v4[4];
    if (inet_pton(AF_INET, s.c_str(), v4) == 1)
        return Mapped(v4);
    Address a{};
    if (inet_pton(AF_INET6, s.c_str(), a.data()) == 1)
        return a;
    return std::nullopt;
}

std::optional<IpNetwork> ParseNetwork(std::string_view text) {
    const std::size_t slash = text.find('/');
    const auto address = ParseAddress(text.substr(0, slash));
    if (!address)
        return std::nullopt;
    const bool v4 = text.substr(0, slash).find(':') == std::string_view::npos;
    IpNetwork n{*address, 128};
    if (slash != std::string_view::npos) {
        const std::string_view digits = text.substr(slash + 1);
        if (digits.empty() || digits.size() > 3 ||
            !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return std::nullopt;
        const int prefix = std::stoi(std::string(digits));
        if (prefix > (v4 ? 32 : 128))
            return std::nullopt;
        n.prefix = v4 ? prefix + 96 : prefix;
    }
    return n;
}

bool IsPublicAddress(const Address& a) {
    const auto refused = [](const Address& x) {
        return std::any_of(Refused().begin(), Refused().end(),
                           [&](const IpNetwork& n) { return n.Contains(x); });
    };
    if (IsMapped(a))
        return !refused(a);
    if (refused(a))
        return false;
    // NAT64 (64:ff9b::/96) and 6to4 (2002::/16) carry an IPv4 address that the check must see.
    static const IpNetwork nat64 = *ParseNetwork("64:ff9b::/96");
    static const IpNetwork six_to_four = *ParseNetwork("2002::/16");
    if (nat64.Contains(a))
        return !refused(Mapped(a.data() + 12));
    if (six_to_four.Contains(a))
        return !refused(Mapped(a.data() + 2));
    return true;
}

SafeFetchResult SafeGet(Env& env, const std::string& start, const SafeFetchOptions& options) {
    SafeFetchResult result;
    result.url = start;
    const std::int64_t deadline = env.clock.NowMs() + options.timeout_ms;
    for (int hop = 0;; ++hop) {
        const auto url = SplitUrl(result.url);
        if (!url) {
            result.refused = "地址无法解析";
            return result;
        }
        if (url->scheme != "http" && url->scheme != "https") {
            result.refused = "只取 http 和 https 地址";
            return result;
        }
        const bool literal = ParseAddress(url->host).has_value();
        const std::vector<std::string> candidates =
            literal ? std::vector<std::string>{url->host} : env.resolver.Resolve(url->host);
        if (candidates.empty()) {
            result.response = {};
            result.response.error = "域名无法解析: " + url->host;
            return result;
        }
        // Every address must pass: a name that also points inward is not fetched at all.
        std::optional<Address> pinned;
        for (const std::string& c : candidates) {
            const auto a = ParseAddress(c);
            if (!a || !Allowed(*a, options.allow)) {
                result.refused = url->host + " 指向内部地址 " + c;
                return result;
            }
            if (!pinned)
                pinned = a;
        }
        const std::int64_t left = deadline - env.clock.NowMs();
        if (left <= 0) {
            result.response = {};
            result.response.error = "超时";
            return result;
        }
        HttpRequest request;
        request.url = result.url;
        request.headers = options.headers;
        request.user_agent = options.user_agent;
        request.timeout_ms = std::min(left, options.timeout_ms);
        request.max_bytes = options.max_bytes;
        if (!literal) {
            const std::string address = Text(*pinned);
            request.resolve.push_back(url->host + ":" + url->port + ":" +
                                      (IsMapped(*pinned) ? address : "[" + address + "]"));
        }
        result.response = env.http.Get(request);
        const int status = result.response.status;
        const bool redirect =
            status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
        if (!redirect || result.response.location.empty())
            return result;
        if (hop >= options.max_redirects) {
            result.refused = "重定向超过 " + std::to_string(options.max_redirects) + " 次";
            return result;
        }
        result.url = result.response.location;
    }
}

} // namespace valdane::svc
