#include "pgserver.h"

#include "fakes.h"
#include "pg.h"

#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

namespace valdane::svc::test {

namespace {

// The newest installed server's programs; VALDANE_PG_BINDIR overrides.
std::string ServerBinDir() {
    if (const char* dir = getenv("VALDANE_PG_BINDIR"))
        return dir;
    std::string newest;
    int version = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
        const int v = std::atoi(entry.path().filename().c_str());
        if (v > version && std::filesystem::exists(entry.path() / "bin" / "pg_ctl")) {
            version = v;
            newest = (entry.path() / "bin").string();
        }
    }
    return newest;
}

} // namespace

bool PgServer::Run(const std::vector<std::string>& argv) {
    const passwd* nobody = geteuid() == 0 ? getpwnam("nobody") : nullptr;
    pid_t pid = fork();
    if (pid == 0) {
        if (nobody && (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0))
            _exit(126);
        if (chdir(dir_.path.c_str()) != 0)
            _exit(126);
        std::vector<char*> args;
        for (const auto& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        error_ = argv[0] + " failed; see " + (dir_.path / "server.log").string();
        return false;
    }
    return true;
}

PgServer::PgServer() : bindir_(ServerBinDir()) {
    if (bindir_.empty()) {
        error_ = "no PostgreSQL server installed (Debian: apt-get install postgresql)";
        return;
    }
    if (geteuid() == 0) {
        const passwd* nobody = getpwnam("nobody");
        if (!nobody || chown(dir_.path.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) {
            error_ = "cannot hand the server's folder to nobody";
            return;
        }
    }
    auto data = (dir_.path / "data").string();
    if (Run({bindir_ + "/initdb", "-D", data, "-U", "valdane", "-A", "trust", "-E", "UTF8",
             "--no-locale", "--no-sync"}))
        Start();
}

PgServer::~PgServer() {
    if (running_)
        Stop();
}

bool PgServer::Start() {
    if (!port_)
        port_ = FreePort(); // kept across a restart: clients reconnect to the same place
    // fsync off: a test server's data need not survive the machine, only the server.
    std::string options = "-p " + std::to_string(port_) +
                          " -c listen_addresses=127.0.0.1 -c fsync=off -c full_page_writes=off"
                          " -c unix_socket_directories='" +
                          dir_.path.string() + "'";
    if (!Run({bindir_ + "/pg_ctl", "-D", (dir_.path / "data").string(), "-l",
              (dir_.path / "server.log").string(), "-o", options, "-w", "start"}))
        return false;
    error_.clear();
    running_ = true;
    return true;
}

bool PgServer::Stop() {
    running_ = false;
    return Run({bindir_ + "/pg_ctl", "-D", (dir_.path / "data").string(), "-m", "immediate", "-w",
                "stop"});
}

std::string PgServer::NewDatabase() {
    std::string base = "postgresql://valdane@127.0.0.1:" + std::to_string(port_) + "/";
    std::string name = "t" + std::to_string(++databases_);
    std::string error;
    auto admin = pg::Connection::Open(base + "postgres", &error);
    if (!admin || !admin->Exec("CREATE DATABASE " + name).ok())
        return {};
    return base + name;
}

PgServer& SharedPgServer() {
    static PgServer server;
    return server;
}

} // namespace valdane::svc::test
