// The program's flags and --check, run as the program itself.
#include "program.h"
#include "quietcolumns.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <fstream>

namespace fs = std::filesystem;
using namespace valdane::svc::test;

namespace {

TEST(Program, FlagsAndCheck) {
    ASSERT_TRUE(std::getenv("VALDANE_SERVICE_BIN")) << "run through ctest";
    const TempDir tmp;
    const fs::path& home = tmp.path;
    fs::create_directories(home / "cfg" / "valdane");
    // The per-user file is read without --config. No column reaches outside.
    std::ofstream(home / "cfg" / "valdane" / "service.toml") << kQuietColumns;
    Outcome r = RunService("--check www.example.com", home);
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
        EXPECT_EQ(RunService(args, home).rc, rc) << args;
    EXPECT_EQ(RunService("--version", home).rc, 0);
}

} // namespace
