// The configuration file as a user may write it: loading never crashes, and a file that loads
// passes the rules the service checks again after its flags.

#include "servicefuzz.h"

#include "config.h"

#include <fstream>

using namespace valdane::svc;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::filesystem::path file = ScratchPath("service.toml");
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        FUZZ_CHECK(out.good());
    }
    Config config;
    std::string error;
    if (LoadConfig(file, &config, &error))
        FUZZ_CHECK(CheckConfig(config, &error));
    else
        FUZZ_CHECK(!error.empty());
    return 0;
}
