#pragma once

#include "fakes.h"
#include "pg.h"
#include "tempdir.h"

#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace valdane::svc::test {

// A PostgreSQL server of the machine's own installation (Debian's postgresql package), started
// in a temporary folder on a free loopback port and stopped with the object. initdb refuses to
// run as root, so under root the server runs as "nobody". Every database it makes is new.
class PgServer {
  public:
    PgServer() : bindir_(ServerBinDir()) {
        if (bindir_.empty()) {
            error_ = "no PostgreSQL server installed (Debian: apt-get install postgresql)";
            return;
        }
        const passwd* nobody = geteuid() == 0 ? getpwnam("nobody") : nullptr;
        if (geteuid() == 0 &&
            (!nobody || chown(dir_.path.c_str(), nobody->pw_uid, nobody->pw_gid))) {
            error_ = "cannot hand the server's folder to nobody";
            return;
        }
        if (Run({bindir_ + "/initdb", "-D", (dir_.path / "data").string(), "-U", "valdane", "-A",
                 "trust", "-E", "UTF8", "--no-locale", "--no-sync"}))
            Start();
    }
    ~PgServer() {
        if (running_)
            Stop();
    }
    PgServer(const PgServer&) = delete;
    PgServer& operator=(const PgServer&) = delete;

    // "" when the server runs; else why it could not be started.
    const std::string& error() const { return error_; }
    // A new, empty database; returns its URI ("postgresql://valdane@127.0.0.1:PORT/NAME").
    std::string NewDatabase() {
        const std::string base = "postgresql://valdane@127.0.0.1:" + std::to_string(port_) + "/";
        const std::string name = "t" + std::to_string(++databases_);
        std::string error;
        auto admin = pg::Connection::Open(base + "postgres", &error);
        return admin && admin->Exec("CREATE DATABASE " + name).ok() ? base + name : "";
    }
    // Stops the server at once (as a crash would) and starts it again, for connection loss.
    bool Stop() {
        running_ = false;
        return Run({bindir_ + "/pg_ctl", "-D", (dir_.path / "data").string(), "-m", "immediate",
                    "-w", "stop"});
    }
    bool Start() {
        if (!port_)
            port_ = FreePort(); // kept across a restart: clients reconnect to the same place
        // fsync off: a test server's data need not survive the machine, only the server.
        const std::string options = "-p " + std::to_string(port_) +
                                    " -c listen_addresses=127.0.0.1 -c fsync=off"
                                    " -c full_page_writes=off -c unix_socket_directories='" +
                                    dir_.path.string() + "'";
        if (!Run({bindir_ + "/pg_ctl", "-D", (dir_.path / "data").string(), "-l",
                  (dir_.path / "server.log").string(), "-o", options, "-w", "start"}))
            return false;
        error_.clear();
        return running_ = true;
    }

  private:
    // The newest installed server's programs; VALDANE_PG_BINDIR overrides.
    static std::string ServerBinDir() {
        if (const char* dir = getenv("VALDANE_PG_BINDIR"))
            return dir;
        std::map<int, std::string> installed; // by major version
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec))
            if (std::filesystem::exists(entry.path() / "bin" / "pg_ctl"))
                installed[std::atoi(entry.path().filename().c_str())] = entry.path() / "bin";
        return installed.empty() ? "" : installed.rbegin()->second;
    }
    // Runs argv to its end in the server's folder, as "nobody" under root.
    bool Run(const std::vector<std::string>& argv) {
        const passwd* nobody = geteuid() == 0 ? getpwnam("nobody") : nullptr;
        const pid_t pid = fork();
        if (pid == 0) {
            if ((nobody && (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)) ||
                chdir(dir_.path.c_str()) != 0)
                _exit(126);
            std::vector<char*> args;
            for (const auto& arg : argv)
                args.push_back(const_cast<char*>(arg.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        int status = 0;
        if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
            WEXITSTATUS(status) == 0)
            return true;
        error_ = argv[0] + " failed; see " + (dir_.path / "server.log").string();
        return false;
    }

    TempDir dir_;
    std::string bindir_;
    std::string error_;
    int port_ = 0;
    int databases_ = 0;
    bool running_ = false;
};

// One server for the whole test program, started on first use.
inline PgServer& SharedPgServer() {
    static PgServer server;
    return server;
}

} // namespace valdane::svc::test
