#include "section.h"

#include <toml++/toml.h>

namespace valdane::svc {

SectionReader::SectionReader(std::string name, const toml::table& section)
    : name_(std::move(name)), section_(section) {}

void SectionReader::Fail(std::string_view key, std::string_view why) {
    if (error_.empty())
        error_ = "key 'providers." + name_ + "." + std::string(key) + "': " + std::string(why);
}

void SectionReader::String(std::string_view key, std::string* out) {
    read_.emplace(key);
    if (const toml::node* node = section_.get(key)) {
        if (node->is_string())
            *out = node->as_string()->get();
        else
            Fail(key, "expected a string");
    }
}

void SectionReader::Int(std::string_view key, std::int64_t min, std::int64_t max,
                        std::int64_t* out) {
    read_.emplace(key);
    const toml::node* node = section_.get(key);
    if (!node)
        return;
    if (!node->is_integer() || node->as_integer()->get() < min || node->as_integer()->get() > max)
        Fail(key, "expected an integer from " + std::to_string(min) + " to " + std::to_string(max));
    else
        *out = node->as_integer()->get();
}

void SectionReader::Bool(std::string_view key, bool* out) {
    read_.emplace(key);
    if (const toml::node* node = section_.get(key)) {
        if (node->is_boolean())
            *out = node->as_boolean()->get();
        else
            Fail(key, "expected true or false");
    }
}

void SectionReader::Strings(std::string_view key, std::vector<std::string>* out) {
    read_.emplace(key);
    const toml::node* node = section_.get(key);
    if (!node)
        return;
    const toml::array* array = node->as_array();
    std::vector<std::string> values;
    if (array)
        for (const toml::node& item : *array)
            if (item.is_string())
                values.push_back(item.as_string()->get());
    if (!array || values.size() != array->size())
        Fail(key, "expected a list of strings");
    else
        *out = std::move(values);
}

bool SectionReader::Done(std::string* error) {
    for (auto&& [key, node] : section_)
        if (!read_.count(key.str()))
            Fail(key.str(), "unknown key");
    if (error_.empty())
        return true;
    *error = error_;
    return false;
}

} // namespace valdane::svc
