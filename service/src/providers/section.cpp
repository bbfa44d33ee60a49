#include "section.h"

#include <toml++/toml.h>

namespace valdane::svc {
namespace {

bool Wrong(std::string_view key, std::string_view want, std::string* error) {
    if (error)
        *error = std::string(key) + ": " + std::string(want);
    return false;
}

} // namespace

bool ReadString(const toml::table& section, std::string_view key, std::string* out,
                std::string* error) {
    const toml::node* node = section.get(key);
    if (!node)
        return true;
    if (!node->is_string())
        return Wrong(key, "需要文本", error);
    *out = node->as_string()->get();
    return true;
}

bool ReadInt(const toml::table& section, std::string_view key, std::int64_t min, std::int64_t max,
             std::int64_t* out, std::string* error) {
    const toml::node* node = section.get(key);
    if (!node)
        return true;
    if (!node->is_integer())
        return Wrong(key, "需要整数", error);
    const std::int64_t value = node->as_integer()->get();
    if (value < min || value > max)
        return Wrong(key, "应在 " + std::to_string(min) + " 到 " + std::to_string(max) + " 之间",
                     error);
    *out = value;
    return true;
}

bool ReadBool(const toml::table& section, std::string_view key, bool* out, std::string* error) {
    const toml::node* node = section.get(key);
    if (!node)
        return true;
    if (!node->is_boolean())
        return Wrong(key, "需要 true 或 false", error);
    *out = node->as_boolean()->get();
    return true;
}

bool ReadStrings(const toml::table& section, std::string_view key, std::vector<std::string>* out,
                 std::string* error) {
    const toml::node* node = section.get(key);
    if (!node)
        return true;
    const toml::array* array = node->as_array();
    if (!array)
        return Wrong(key, "需要文本列表", error);
    std::vector<std::string> values;
    for (const toml::node& item : *array) {
        if (!item.is_string())
            return Wrong(key, "需要文本列表", error);
        values.push_back(item.as_string()->get());
    }
    *out = std::move(values);
    return true;
}

} // namespace valdane::svc
