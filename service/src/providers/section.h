#pragma once

#include "toml_fwd.h"

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace valdane::svc {

// Reads one [providers.NAME] section. An absent key leaves its value as it is; the first key of
// the wrong type or out of range, or one that nothing reads, is the error.
class SectionReader {
  public:
    SectionReader(std::string name, const toml::table& section);
    void String(std::string_view key, std::string* out);
    void Int(std::string_view key, std::int64_t min, std::int64_t max, std::int64_t* out);
    void Bool(std::string_view key, bool* out);
    void Strings(std::string_view key, std::vector<std::string>* out);
    // A non-negative number (integer or not) of units of unit_ms, e.g. seconds or hours.
    void Duration(std::string_view key, std::int64_t unit_ms, std::int64_t* out);
    // A table of single-line strings: request headers.
    void Headers(std::string_view key, std::vector<std::pair<std::string, std::string>>* out);
    // Call after every read: false with *error set when a read failed or a key is unknown.
    bool Done(std::string* error);
    void Fail(std::string_view key, std::string_view why);

  private:
    const std::string name_;
    const toml::table& section_;
    std::set<std::string, std::less<>> read_ = {"type"};
    std::string error_;
};

} // namespace valdane::svc
