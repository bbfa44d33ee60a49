#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <fstream>
#include <string>
#include <string_view>

// The process's resident memory in kB as the kernel counts it; -1 where it cannot be read.
inline long RssKb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// Time on a CPU, in ns, of the threads of process pid whose name starts with prefix,
// as /proc/PID/task/TID/schedstat counts it; 0 for a process that is gone.
inline long long ThreadsCpuNs(pid_t pid, std::string_view prefix = {}) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (!dir)
        return 0;
    long long total = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const std::string task = tasks + "/" + entry->d_name;
        std::string name;
        std::getline(std::ifstream(task + "/comm"), name);
        long long ns = 0;
        if (name.rfind(prefix, 0) == 0 && (std::ifstream(task + "/schedstat") >> ns))
            total += ns;
    }
    closedir(dir);
    return total;
}

// The same for a process and its children (nginx's master and its workers).
inline long long ProcessTreeCpuNs(pid_t pid) {
    long long total = ThreadsCpuNs(pid);
    std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                           "/children");
    for (pid_t child; children >> child;)
        total += ThreadsCpuNs(child);
    return total;
}
