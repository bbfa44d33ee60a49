#pragma once

// Helpers the search engine and rank providers share.

#include "protocol.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace valdane::svc {

// "约1,234,000", "1.2万", "3亿", "12 300" -> the count; nullopt when no number is there.
std::optional<std::int64_t> ParseResultCount(std::string_view text);
// The host part of a normalised site ("example.com/path" -> "example.com").
std::string_view SiteHost(std::string_view site);
// Every `key` in `text` replaced by `value` (a URL template's {site}, {query}, {key}).
std::string Replace(std::string text, std::string_view key, const std::string& value);

} // namespace valdane::svc
