// The program's flags and --check, run as the program itself.
#include "quietcolumns.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

struct Outcome {
    int rc = -1;
    std::string out; // stdout and stderr together
};

Outcome Service(const std::string& args, const fs::path& home) {
    const char* bin = std::getenv("VALDANE_SERVICE_BIN");
    Outcome r;
    if (!bin)
        return r;
    const std::string command = "XDG_CONFIG_HOME=" + (home / "cfg").string() +
                                " XDG_DATA_HOME=" + (home / "data").string() + " '" + bin + "' " +
                                args + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        r.out.append(buffer, n);
    const int status = ::pclose(pipe);
    r.rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

TEST(Program, FlagsAndCheck) {
    ASSERT_TRUE(std::getenv("VALDANE_SERVICE_BIN")) << "run through ctest";
    const valdane::svc::test::TempDir tmp;
    const fs::path& home = tmp.path;
    fs::create_directories(home / "cfg" / "valdane");
    // The per-user file is read without --config. No column reaches outside.
    std::ofstream(home / "cfg" / "valdane" / "service.toml") << valdane::svc::test::kQuietColumns;
    Outcome r = Service("--check www.example.com", home);
    EXPECT_EQ(r.rc, 0) << r.out;
    EXPECT_NE(r.out.find("ranks  谷歌      4 "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ranks  搜狗      -1"), std::string::npos) << r.out;
    EXPECT_TRUE(fs::exists(home / "data" / "valdane" / "measurements.db"));

    const std::pair<std::string, int> refused[] = {
        {"--check", 2},
        {"--bogus", 2},
        {"--check a..b", 1},
        {"--listen 0.0.0.0:8936 --check example.com", 1},
        {"--config " + (home / "absent.toml").string(), 1},
        {"--data /dev/null/x --check example.com", 1},
    };
    for (const auto& [args, rc] : refused)
        EXPECT_EQ(Service(args, home).rc, rc) << args;
    EXPECT_EQ(Service("--version", home).rc, 0);
}

} // namespace
