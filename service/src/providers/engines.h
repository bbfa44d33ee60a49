#pragma once

// Helpers the search engine and rank providers share.

#include "env.h"
#include "measurement.h"
#include "protocol.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace valdane::svc {

// "约1,234,000", "1.2万", "3亿", "12 300" -> the count; nullopt when no number is there.
std::optional<std::int64_t> ParseResultCount(std::string_view text);
// The host part of a normalised site ("example.com/path" -> "example.com").
std::string_view SiteHost(std::string_view site);
// Every `key` in `text` replaced by `value` (a URL template's {site}, {query}, {key}).
std::string Replace(std::string text, std::string_view key, const std::string& value);

class SectionReader;

// A search by address template, as result pages and JSON search APIs are asked.
struct SearchTemplate {
    std::string url;         // {query}, {site} and {key} are replaced, percent-encoded
    std::string query_sites; // per page, {site} replaced; "": the page is not offered
    std::string query_links;
    std::vector<std::pair<std::string, std::string>> headers; // {key} is replaced in values
    std::string key;
    std::string user_agent;
    std::int64_t timeout_ms = 15000;
    std::size_t max_bytes = 1 << 20;

    // The query template for `page`; "" when there is none.
    const std::string& QueryFor(Page page) const;
    // The request for the host `site` by the query template `query`; no proxy, no cookies.
    HttpRequest Request(const std::string& site, const std::string& query) const;
};

// Reads the keys both kinds share (url, query_sites, query_links, headers, timeout_s); a url
// without {query} is the reader's failure.
void ReadSearchTemplate(SectionReader& read, SearchTemplate* out);

} // namespace valdane::svc
