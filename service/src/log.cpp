#include "log.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

namespace valdane::svc {

void LogLine(std::string_view line) {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm tm{};
    gmtime_r(&now, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ ", &tm);
    std::string text = stamp;
    text.append(line);
    for (char& c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    text += '\n';
    // One write per line keeps lines from different threads whole.
    std::fwrite(text.data(), 1, text.size(), stderr);
}

} // namespace valdane::svc
