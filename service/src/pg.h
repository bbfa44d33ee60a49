#pragma once

#include <libpq-fe.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace valdane::svc::pg {

// A thin owner of libpq's handles. Parameters and results travel as text, which every column
// type the service stores reads and writes exactly; a null parameter is SQL NULL.
using Param = std::optional<std::string>;

class Result {
  public:
    Result() = default;
    explicit Result(PGresult* result) : result_(result, &PQclear) {}
    // The command ran (with or without rows).
    bool ok() const;
    // Why it did not; "" when it did.
    std::string error() const;
    // The five-character SQLSTATE ("40001" serialisation failure, "23505" unique violation);
    // "" without one (a lost connection has none).
    std::string state() const;
    int rows() const { return result_ ? PQntuples(result_.get()) : 0; }
    bool null(int row, int col) const { return PQgetisnull(result_.get(), row, col) != 0; }
    std::string_view text(int row, int col) const;
    std::int64_t integer(int row, int col) const; // 0 for NULL
    // Rows touched by an INSERT, UPDATE or DELETE.
    std::int64_t affected() const;

  private:
    std::shared_ptr<PGresult> result_;
};

// One connection; not thread-safe (callers own one each, or serialise).
class Connection {
  public:
    // Null with *error when the server cannot be reached or refuses us.
    static std::unique_ptr<Connection> Open(const std::string& conninfo, std::string* error);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    Result Exec(const std::string& sql, const std::vector<Param>& params = {});
    // Prepares once per connection under name; later calls with the same name reuse it. A
    // reset connection prepares again.
    Result Prepared(const std::string& name, const std::string& sql,
                    const std::vector<Param>& params);
    // The connection went away (server restart, network); Reset tries once to reconnect.
    bool Broken() const;
    bool Reset();
    std::string Error() const;

  private:
    explicit Connection(PGconn* conn) : conn_(conn) {}
    PGconn* conn_;
    std::vector<std::string> prepared_;
};

// BEGIN on construction; ROLLBACK unless Commit() succeeded.
class Transaction {
  public:
    explicit Transaction(Connection& connection, const char* begin = "BEGIN");
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    bool began() const { return began_; }
    bool Commit();

  private:
    Connection& connection_;
    bool began_ = false;
    bool done_ = false;
};

// A store setting names PostgreSQL when it is a libpq URI.
bool IsConnectionUri(std::string_view setting);
// The URI with any password replaced by "***", for pages and logs.
std::string MaskedUri(std::string_view uri);

} // namespace valdane::svc::pg
