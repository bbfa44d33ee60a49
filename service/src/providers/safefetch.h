#pragma once

#include "config.h"
#include "env.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace valdane::svc {

// False for every numeric address a request on a caller's behalf must not reach: loopback,
// private, shared (CGNAT), link-local, multicast, unspecified, documentation, benchmarking,
// reserved and broadcast blocks, and IPv6 forms that carry such an IPv4 address. False also for
// text that is no address.
bool IsPublicAddress(std::string_view address);

// Whether a request on a caller's behalf may reach this numeric address: a public one, or one in
// `allow` (a testing aid).
bool AddressAllowed(const std::string& address, const std::vector<Network>& allow);

struct SafeFetchOptions {
    std::vector<Network> allow; // reachable although not public; a testing aid
    int max_redirects = 3;
    std::size_t max_bytes = 2 * 1024 * 1024;
    std::int64_t timeout_ms = 10000; // all hops together, on the Env clock
    std::string user_agent;
    std::vector<std::pair<std::string, std::string>> headers;
};

struct SafeFetchResult {
    HttpResponse response; // the last hop's answer
    std::string url;       // the address that answered
    std::string refused;   // why no request was made (or no further hop), "" when none was refused
};

// GET of an address a caller chose, for http and https only. Each hop's host is resolved through
// Env::resolver, checked, and pinned so that curl connects to the checked address; redirects are
// followed here, each one checked again.
SafeFetchResult SafeGet(Env& env, const std::string& url, const SafeFetchOptions& options);

} // namespace valdane::svc
