#pragma once

// Typed reads of a [providers.NAME] section. Each leaves *out alone when the key is absent and
// returns false with *error naming the key when it is present but unusable.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace toml {
inline namespace v3 {
class table;
}
} // namespace toml

namespace valdane::svc {

bool ReadString(const toml::table& section, const char* key, std::string* out, std::string* error);
bool ReadInt(const toml::table& section, const char* key, std::int64_t* out, std::string* error);
// A non-negative number (integer or float) times `unit_ms`, e.g. seconds or hours -> ms.
bool ReadSeconds(const toml::table& section, const char* key, std::int64_t unit_ms,
                 std::int64_t* out, std::string* error);
// A string or an array of strings.
bool ReadStrings(const toml::table& section, const char* key, std::vector<std::string>* out,
                 std::string* error);
// An inline table of string values: request headers.
bool ReadHeaders(const toml::table& section, const char* key,
                 std::vector<std::pair<std::string, std::string>>* out, std::string* error);

} // namespace valdane::svc
