#include "pg.h"

#include <algorithm>
#include <charconv>

namespace valdane::svc::pg {

bool Result::ok() const {
    if (!result_)
        return false;
    auto status = PQresultStatus(result_.get());
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

std::string Result::error() const {
    if (!result_)
        return "no connection";
    if (ok())
        return {};
    std::string text = PQresultErrorMessage(result_.get());
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

std::string Result::state() const {
    const char* state = result_ ? PQresultErrorField(result_.get(), PG_DIAG_SQLSTATE) : nullptr;
    return state ? state : "";
}

std::string_view Result::text(int row, int col) const {
    return {PQgetvalue(result_.get(), row, col),
            static_cast<std::size_t>(PQgetlength(result_.get(), row, col))};
}

std::int64_t Result::integer(int row, int col) const {
    std::int64_t value = 0;
    auto digits = text(row, col);
    std::from_chars(digits.data(), digits.data() + digits.size(), value);
    return value;
}

std::int64_t Result::affected() const {
    std::int64_t value = 0;
    if (result_) {
        std::string_view digits = PQcmdTuples(result_.get());
        std::from_chars(digits.data(), digits.data() + digits.size(), value);
    }
    return value;
}

std::unique_ptr<Connection> Connection::Open(const std::string& conninfo, std::string* error) {
    PGconn* conn = PQconnectdb(conninfo.c_str());
    if (PQstatus(conn) != CONNECTION_OK) {
        if (error)
            *error = conn ? PQerrorMessage(conn) : "out of memory";
        if (error)
            while (!error->empty() && error->back() == '\n')
                error->pop_back();
        PQfinish(conn);
        return nullptr;
    }
    // Notices (a table that already exists) are for a console, not our log.
    PQsetNoticeProcessor(
        conn, [](void*, const char*) {}, nullptr);
    return std::unique_ptr<Connection>(new Connection(conn));
}

Connection::~Connection() {
    PQfinish(conn_);
}

namespace {
struct TextParams {
    std::vector<const char*> values;
    explicit TextParams(const std::vector<Param>& params) {
        values.reserve(params.size());
        for (const auto& p : params)
            values.push_back(p ? p->c_str() : nullptr);
    }
};
} // namespace

Result Connection::Exec(const std::string& sql, const std::vector<Param>& params) {
    TextParams text(params);
    return Result(PQexecParams(conn_, sql.c_str(), static_cast<int>(params.size()), nullptr,
                               text.values.data(), nullptr, nullptr, 0));
}

Result Connection::Prepared(const std::string& name, const std::string& sql,
                            const std::vector<Param>& params) {
    if (std::find(prepared_.begin(), prepared_.end(), name) == prepared_.end()) {
        Result prepared(
            PQprepare(conn_, name.c_str(), sql.c_str(), static_cast<int>(params.size()), nullptr));
        if (!prepared.ok())
            return prepared;
        prepared_.push_back(name);
    }
    TextParams text(params);
    return Result(PQexecPrepared(conn_, name.c_str(), static_cast<int>(params.size()),
                                 text.values.data(), nullptr, nullptr, 0));
}

bool Connection::Broken() const {
    return PQstatus(conn_) != CONNECTION_OK;
}

bool Connection::Reset() {
    PQreset(conn_);
    prepared_.clear();
    if (Broken())
        return false;
    PQsetNoticeProcessor(
        conn_, [](void*, const char*) {}, nullptr);
    return true;
}

std::string Connection::Error() const {
    std::string text = PQerrorMessage(conn_);
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

Transaction::Transaction(Connection& connection, const char* begin) : connection_(connection) {
    began_ = connection_.Exec(begin).ok();
}

Transaction::~Transaction() {
    if (began_ && !done_)
        connection_.Exec("ROLLBACK");
}

bool Transaction::Commit() {
    if (!began_ || done_)
        return false;
    done_ = true;
    return connection_.Exec("COMMIT").ok();
}

bool IsConnectionUri(std::string_view setting) {
    return setting.starts_with("postgresql://") || setting.starts_with("postgres://");
}

std::string MaskedUri(std::string_view uri) {
    std::string out(uri);
    auto scheme = out.find("://");
    if (scheme == std::string::npos)
        return out;
    auto at = out.find('@', scheme + 3);
    auto slash = out.find('/', scheme + 3);
    auto colon = out.find(':', scheme + 3);
    if (at != std::string::npos && (slash == std::string::npos || at < slash) &&
        colon != std::string::npos && colon < at)
        out.replace(colon + 1, at - colon - 1, "***");
    // The password may also come as a query parameter.
    for (auto key = out.find("password="); key != std::string::npos;
         key = out.find("password=", key + 1)) {
        auto begin = key + 9;
        out.replace(begin, out.find('&', begin) - begin, "***");
    }
    return out;
}

} // namespace valdane::svc::pg
