#pragma once

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace valdane::svc::test {

// A captured answer from tests/service/fixtures (see SOURCES there), as bytes.
inline std::string Fixture(const std::string& name) {
    std::ifstream in(std::string(VALDANE_SERVICE_FIXTURES) + "/" + name, std::ios::binary);
    if (!in)
        throw std::runtime_error("missing fixture " + name);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

} // namespace valdane::svc::test
