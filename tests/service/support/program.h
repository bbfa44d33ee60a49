#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace valdane::svc::test {

// Columns for running the service program itself: none reaches outside, nor does the rank
// list's download; the ranks page's first is a fixed 4 (second 3, unused), so an answer shows
// it came from this configuration.
inline constexpr const char* kQuietColumns = R"([columns]
sites = ["none", "none", "none", "none", "none", "none", "none"]
links = ["none", "none", "none", "none", "none", "none", "none"]
ranks = ["demo", "none"]
whois = ["none"]
alexa = ["none", "none", "none", "none", "none", "none", "none", "none", "none"]
[providers.demo]
type = "fixed"
values.ranks = [4, 3]
[providers.tranco]
refresh_hours = 0
)";

struct Outcome {
    int rc = -1;     // the exit status; -1 when it did not exit by itself
    std::string out; // stdout and stderr together
};

// The service program (VALDANE_SERVICE_BIN, set by ctest) run to its end with `args` (shell
// words), its XDG folders under `home` so that no user's files are read.
inline Outcome RunService(const std::string& args, const std::filesystem::path& home) {
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

} // namespace valdane::svc::test
