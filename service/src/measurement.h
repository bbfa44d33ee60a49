#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace valdane::svc {

// The five query pages the desktop program asks. Sites, Links and Ranks carry one number per
// column; Whois carries one text; Alexa carries nine fields, some numbers, some texts.
enum class Page { Sites, Links, Ranks, Whois, Alexa };
inline constexpr Page kPages[] = {Page::Sites, Page::Links, Page::Ranks, Page::Whois, Page::Alexa};

// "sites", "links", "ranks", "whois", "alexa": the page's name in the configuration and store.
std::string_view PageName(Page page);
std::optional<Page> PageFromName(std::string_view name);

// What became of one attempt to measure one column. Only Ok and NotFound describe the site as
// the source sees it now; every other status means "we do not know".
enum class Status {
    Ok,            // the source gave a value
    NotFound,      // the source says there is nothing: a real zero
    Blocked,       // a verification or CAPTCHA page, or the engine is suspended
    RateLimited,   // HTTP 429, or our own budget is spent
    ParseFailed,   // an answer came that we could not read (the page changed)
    NetworkError,  // no answer, a time-out, a transport error
    NotConfigured, // the source exists but needs a key, a file or an import first
    Unsupported,   // no source exists for this column
};

std::string_view StatusName(Status status); // "ok", "not-found", "blocked", ...
std::optional<Status> StatusFromName(std::string_view name);
std::string_view StatusText(Status status); // in Chinese for people: "正常", "被拦截", ...

constexpr bool IsFresh(Status status) {
    return status == Status::Ok || status == Status::NotFound;
}

struct Measurement {
    Status status = Status::Unsupported;
    std::optional<std::int64_t> number; // counts and ranks; set when the column is numeric
    std::string text;                   // WHOIS text and the text fields of the ranking page
    std::string source;                 // the provider's configured name, e.g. "baidu"
    std::string detail;                 // why it failed, in a few words, for pages and log
    std::int64_t time_ms = 0;           // when it was taken (Env clock, ms since the epoch)
};

// A measurement that says why we do not know.
Measurement Failed(Status status, std::string detail);

} // namespace valdane::svc
