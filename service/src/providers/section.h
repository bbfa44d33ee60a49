#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace toml {
inline namespace v3 {
class table;
}
} // namespace toml

namespace valdane::svc {

// Reading one [providers.NAME] section. An absent key leaves *out as it is; a key of the wrong
// type or out of range returns false with *error naming it.
bool ReadString(const toml::table& section, std::string_view key, std::string* out,
                std::string* error);
bool ReadInt(const toml::table& section, std::string_view key, std::int64_t min, std::int64_t max,
             std::int64_t* out, std::string* error);
bool ReadBool(const toml::table& section, std::string_view key, bool* out, std::string* error);
bool ReadStrings(const toml::table& section, std::string_view key, std::vector<std::string>* out,
                 std::string* error);

} // namespace valdane::svc
