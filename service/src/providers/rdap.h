#pragma once

#include "env.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace valdane::svc {

// What a registry or registrar says about a domain, cleaned for display. An empty registrant
// field is one that was withheld or not published.
struct Registration {
    std::string domain; // as the source spells it, with its Unicode form when it has one
    std::string registrar;
    std::string registered; // "2003-03-17 12:20:05 UTC" or as the source wrote it
    std::string expires;
    std::string updated;
    std::vector<std::string> status;
    std::vector<std::string> nameservers;
    std::string registrant_name;
    std::string registrant_org;
    std::string registrant_address;
    std::string registrant_email;
    bool registrant_listed = false; // the answer holds a registrant contact at all
    std::string related; // a registrar's RDAP record of the domain, from a "related" link
};

// "yyyy-mm-dd" (ISO 8601) from the start of a date the source wrote: "2005-04-29T...",
// "2005.04.29", "2005/04/29", "29-apr-2005", "29.04.2005"; "" when it is none of these.
std::string DatePart(std::string_view when);

// Placeholders registrars put where they withhold a value ("REDACTED FOR PRIVACY", ...), and the
// names of privacy proxy services (see IsPrivacyService).
bool IsWithheld(std::string_view value);

// A privacy or proxy service standing in for the owner ("WhoisGuard Protected", "Domains By
// Proxy, LLC", "Privacy service provided by Withheld for Privacy ehf", ...): its address and
// e-mail are the service's, not the owner's.
bool IsPrivacyService(std::string_view value);

// An e-mail address, not a web form's address or a sentence pointing at one.
bool IsEmailAddress(std::string_view value);

// Applies the rule that a contact whose name is withheld, or that a privacy service fronts, is
// withheld as a whole, and drops e-mail values that are no addresses. `name` and `org` are
// the values as the source wrote them.
void WithholdContact(std::string_view name, std::string_view org, Registration* r);

// The registry's answer completed by the registrar's: the registrar's registrant contact when it
// lists one, the registry's dates, status and name servers, each filled from the other when
// missing.
Registration MergeRegistrarAnswer(Registration registry, const Registration& registrar);

// The readable Simplified Chinese text of the WHOIS page; source is the last line.
std::string RenderRegistration(const Registration& r, const std::string& source);

// RFC 9224 bootstrap file for domains -> TLD (or longer suffix) to its RDAP base URL, https
// preferred, with a trailing "/". nullopt when the file is not of that shape.
std::optional<std::map<std::string, std::string>> ParseBootstrap(std::string_view json);

// An RFC 9083 domain answer. nullopt with *why when it is not one.
std::optional<Registration> ParseRdapDomain(std::string_view json, std::string* why);

// The IANA bootstrap for domains, held in memory and in a file, fetched again once it is older
// than max_age_ms on the Env clock. A failed fetch keeps the old copy and waits an hour.
class RdapBootstrap {
  public:
    RdapBootstrap(Env& env, std::string url, std::filesystem::path cache_file,
                  std::int64_t max_age_ms, HttpRequest request_template);
    // The base URL for a domain; "" when its TLD has no RDAP service; nullopt when no bootstrap
    // file can be had (*why says why).
    std::optional<std::string> BaseFor(std::string_view domain, std::string* why);

  private:
    void LoadFile();
    bool Fetch(std::string* why);

    Env& env_;
    const std::string url_;
    const std::filesystem::path cache_file_;
    const std::int64_t max_age_ms_;
    const HttpRequest template_;
    std::mutex mutex_;
    bool file_read_ = false;
    std::map<std::string, std::string> bases_;
    std::int64_t fetched_ms_ = 0;
    std::int64_t next_try_ms_ = 0;
    std::string last_error_;
};

} // namespace valdane::svc
