#include "providers/section.h"

#include <toml++/toml.h>

namespace valdane::svc {
namespace {

bool Fail(const char* key, const char* what, std::string* error) {
    *error = std::string(key) + ": " + what;
    return false;
}

} // namespace

bool ReadString(const toml::table& section, const char* key, std::string* out, std::string* error) {
    const toml::node* node = section.get(key);
    if (!node)
        return true;
    if (!node->is_string())
        return Fail(key, "expected a string", error);
    *out = node->as_string()->get();
    return true;
}

bool ReadInt(const toml::table& section, const char* key, std::int64_t* out, std::string* error) {
    const toml::node* node = section.get(key);
    if (!node)
        return true;
    if (!node->is_integer() || node->as_integer()->get() < 0)
        return Fail(key, "expected a non-negative integer", error);
    *out = node->as_integer()->get();
    return true;
}

bool ReadSeconds(const toml::table& section, const char* key, std::int64_t unit_ms,
                 std::int64_t* out, std::string* error) {
    const toml::node* node = section.get(key);
    if (!node)
        return true;
    double value = -1;
    if (node->is_integer())
        value = static_cast<double>(node->as_integer()->get());
    else if (node->is_floating_point())
        value = node->as_floating_point()->get();
    // Beyond a year is surely a mistake, and keeps the product inside 64 bits.
    if (!(value >= 0) || value * unit_ms > 366.0 * 24 * 3600 * 1000)
        return Fail(key, "expected a non-negative number (at most a year)", error);
    *out = static_cast<std::int64_t>(value * unit_ms);
    return true;
}

bool ReadStrings(const toml::table& section, const char* key, std::vector<std::string>* out,
                 std::string* error) {
    const toml::node* node = section.get(key);
    if (!node)
        return true;
    if (node->is_string()) {
        *out = {node->as_string()->get()};
        return true;
    }
    if (!node->is_array())
        return Fail(key, "expected a string or an array of strings", error);
    std::vector<std::string> values;
    for (const toml::node& item : *node->as_array()) {
        if (!item.is_string())
            return Fail(key, "expected an array of strings", error);
        values.push_back(item.as_string()->get());
    }
    *out = std::move(values);
    return true;
}

bool ReadHeaders(const toml::table& section, const char* key,
                 std::vector<std::pair<std::string, std::string>>* out, std::string* error) {
    const toml::node* node = section.get(key);
    if (!node)
        return true;
    if (!node->is_table())
        return Fail(key, "expected a table of header = \"value\"", error);
    std::vector<std::pair<std::string, std::string>> headers;
    for (const auto& [name, value] : *node->as_table()) {
        // A line break in a header would let a definition smuggle a second request line.
        if (!value.is_string() || name.str().find_first_of("\r\n:") != std::string_view::npos ||
            value.as_string()->get().find_first_of("\r\n") != std::string::npos)
            return Fail(key, "header names and values must be single-line strings", error);
        headers.emplace_back(std::string(name.str()), value.as_string()->get());
    }
    *out = std::move(headers);
    return true;
}

} // namespace valdane::svc
