#pragma once

// Providers that read search engines, rank APIs and imported rank lists.

#include "provider.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace valdane::svc {

using ProviderFactory = std::unique_ptr<Provider> (*)(const std::string& name,
                                                      const toml::table& section,
                                                      ProviderContext& context, std::string* error);

// The factory for a provider type of this family ("serp", "google-cse", "openpagerank",
// "tranco", "cc-graph", "trend"), or null for a type it does not know.
ProviderFactory FindEngineProviderType(std::string_view type);

// The [providers.*] sections of these types as the built-in configuration ships them.
extern const std::string_view kEngineDefaultsToml;

// "约1,234,000", "1.2万", "3亿", "12 300" -> the count; nullopt when no number is there.
std::optional<std::int64_t> ParseResultCount(std::string_view text);
// RFC 3986 percent-encoding of everything but the unreserved characters.
std::string PercentEncode(std::string_view text);
// The host part of a normalised site ("example.com/path" -> "example.com").
std::string_view SiteHost(std::string_view site);

} // namespace valdane::svc
