#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace valdane::svc::test {

// A file's bytes; "" when it cannot be read.
inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

// A captured answer from tests/service/fixtures (see SOURCES there), as bytes.
inline std::string Fixture(const std::string& name) {
    std::string bytes = ReadFile(std::string(VALDANE_SERVICE_FIXTURES) + "/" + name);
    if (bytes.empty())
        throw std::runtime_error("missing fixture " + name);
    return bytes;
}

} // namespace valdane::svc::test
