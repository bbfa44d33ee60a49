#pragma once

#include "tempdir.h"

#include <string>
#include <vector>

namespace valdane::svc::test {

// A PostgreSQL server of the machine's own installation (Debian's postgresql package), started
// in a temporary folder on a free loopback port and stopped with the object. initdb refuses to
// run as root, so under root the server runs as "nobody". Every database it makes is new.
class PgServer {
  public:
    PgServer();
    ~PgServer();
    PgServer(const PgServer&) = delete;
    PgServer& operator=(const PgServer&) = delete;

    // "" when the server runs; else why it could not be started.
    const std::string& error() const { return error_; }
    // A new, empty database; returns its URI ("postgresql://valdane@127.0.0.1:PORT/NAME").
    std::string NewDatabase();
    // Stops the server at once (as a crash would) and starts it again, for connection loss.
    bool Stop();
    bool Start();
    int port() const { return port_; }

  private:
    bool Run(const std::vector<std::string>& argv);
    TempDir dir_;
    std::string bindir_;
    std::string error_;
    int port_ = 0;
    int databases_ = 0;
    bool running_ = false;
};

// One server for the whole test program, started on first use.
PgServer& SharedPgServer();

} // namespace valdane::svc::test
