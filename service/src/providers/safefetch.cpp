#include "safefetch.h"

#include "protocol.h"

#include <arpa/inet.h>
#include <curl/curl.h>

#include <algorithm>
#include <memory>

namespace valdane::svc {
namespace {

// Blocks that are never public.
const std::vector<Network>& Refused() {
    static const std::vector<Network> blocks = [] {
        std::vector<Network> out;
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

struct Url {
    std::string scheme, host, port;
    std::string text; // the address with the host in the form curl connects by
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
    // A Unicode name is asked for, checked and pinned by its ASCII (punycode) form: a pin
    // naming the Unicode form would not match the name curl connects to, and curl would
    // resolve that name itself, past the check.
    else if (auto ascii = AsciiHost(url.host);
             !ascii || curl_url_set(u.get(), CURLUPART_HOST, ascii->c_str(), 0) != CURLUE_OK)
        return std::nullopt;
    else
        url.host = *ascii;
    if (!part(CURLUPART_URL, &url.text, 0))
        return std::nullopt;
    return url;
}

} // namespace

bool AddressAllowed(const std::string& address, const std::vector<Network>& allow) {
    return std::any_of(allow.begin(), allow.end(),
                       [&](const Network& n) { return NetworkContains(n, address); }) ||
           IsPublicAddress(address);
}

bool IsPublicAddress(std::string_view address) {
    const auto parsed = ParseNetwork(address);
    if (!parsed || address.find('/') != std::string_view::npos)
        return false;
    if (std::any_of(Refused().begin(), Refused().end(),
                    [&](const Network& n) { return NetworkContains(n, address); }))
        return false;
    // NAT64 (64:ff9b::/96) and 6to4 (2002::/16) carry an IPv4 address that the check must see.
    static const Network nat64 = *ParseNetwork("64:ff9b::/96");
    static const Network six_to_four = *ParseNetwork("2002::/16");
    const std::uint8_t* embedded = nullptr;
    if (NetworkContains(nat64, address))
        embedded = parsed->bytes.data() + 12;
    else if (NetworkContains(six_to_four, address))
        embedded = parsed->bytes.data() + 2;
    if (!embedded)
        return true;
    char v4[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, embedded, v4, sizeof v4);
    return IsPublicAddress(v4);
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
        const bool literal = ParseNetwork(url->host).has_value();
        const std::vector<std::string> candidates =
            literal ? std::vector<std::string>{url->host} : env.resolver.Resolve(url->host);
        if (candidates.empty()) {
            result.response = {};
            result.response.error = "域名无法解析: " + url->host;
            return result;
        }
        // Every address must pass: a name that also points inward is not fetched at all.
        for (const std::string& c : candidates) {
            if (!AddressAllowed(c, options.allow)) {
                result.refused = url->host + " 指向内部地址 " + c;
                return result;
            }
        }
        const std::int64_t left = deadline - env.clock.NowMs();
        if (left <= 0) {
            result.response = {};
            result.response.error = "超时";
            return result;
        }
        HttpRequest request;
        request.url = url->text;
        request.headers = options.headers;
        request.user_agent = options.user_agent;
        request.timeout_ms = std::min(left, options.timeout_ms);
        request.max_bytes = options.max_bytes;
        if (!literal) {
            const std::string& address = candidates.front();
            request.resolve.push_back(
                url->host + ":" + url->port + ":" +
                (address.find(':') == std::string::npos ? address : "[" + address + "]"));
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
