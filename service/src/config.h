#pragma once

#include "measurement.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace toml {
inline namespace v3 {
class table;
}
} // namespace toml

namespace valdane::svc {

struct UpdateInfo {
    std::string version = "V1.3 Beta"; // the program's own: no update is announced
    std::string name;
    std::string url;
};

struct Config {
    std::string listen = "127.0.0.1:8936";
    std::filesystem::path data_dir;             // default $XDG_DATA_HOME/valdane
    std::int64_t fresh_ms = 24LL * 3600 * 1000; // answers come from the store while fresher
    std::int64_t deadline_ms = 45000;           // answer within this, finish in background
    std::vector<std::string> allow = {"127.0.0.0/8", "::1/128"}; // client networks (CIDR)
    UpdateInfo update;
    // The provider name behind each column of each page, in column order.
    std::map<Page, std::vector<std::string>> columns;
    // [providers.NAME] sections as written; "type" picks the implementation.
    std::map<std::string, std::shared_ptr<const toml::table>> providers;
    std::filesystem::path source_file; // "" when built-in defaults
};

// Built-in defaults, then the file (when given), in that order. Returns false with *error
// naming the key when the file cannot be used.
bool LoadConfig(const std::filesystem::path& file, Config* config, std::string* error);

} // namespace valdane::svc
