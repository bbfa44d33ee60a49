#pragma once

#include <fstream>
#include <string>

// The process's resident memory in kB as the kernel counts it; -1 where it cannot be read.
inline long RssKb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}
