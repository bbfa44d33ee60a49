#pragma once

#include "config.h"
#include "env.h"
#include "rdap.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace valdane::svc {

struct WhoisOptions {
    std::string host = "whois.iana.org";
    int port = 43;
    std::int64_t timeout_ms = 10000; // per connection
    std::size_t max_bytes = 256 * 1024;
    int max_referrals = 3;
    // Referrals come from the answers, so they obey the address rules of home pages: public
    // addresses only, on port 43 or rwhois's 4321. Addresses in `allow` (a testing aid) pass
    // on any port.
    std::vector<Network> allow;
};

struct WhoisAnswer {
    bool ok = false;         // some server answered
    std::string text;        // the last answer, UTF-8, lines ending in CR LF
    std::string server;      // who gave it
    std::string error;       // why nothing came, when !ok
    bool not_found = false;  // the answer says the name is not registered
    bool no_service = false; // IANA knows no WHOIS server for the TLD
};

// RFC 3912 look-up: IANA first, then its "refer:", then the registry's registrar referral, at
// most max_referrals hops and never the same server twice. A registrar referral that fails
// leaves the registry's answer standing; a TLD's own record (IANA's) never stands for the
// domain's, so without the registry's answer the look-up fails.
WhoisAnswer WhoisLookup(Env& env, const std::string& domain, const WhoisOptions& options);

// A raw answer as the text shown: UTF-8 (or GBK) with CR LF line ends and no control
// characters but tabs.
std::string ReadableWhois(std::string_view raw);

// The server an answer refers to ("host" or "host:port"), "" when none.
std::string WhoisReferral(std::string_view text);

// The fields of a free-text answer that the ranking page uses ("Creation Date:",
// "Registration Time:", "Registrant:", ...).
Registration ParseWhoisText(std::string_view text);

} // namespace valdane::svc
