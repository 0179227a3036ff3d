#pragma once
// A small RAII layer over libpq for the PostgreSQL store: a connection with its
// prepared statements, results, a pool of connections, and transactions that are run
// again when PostgreSQL gives up one of two conflicting ones (a serialization failure
// or a deadlock). Every value goes in as a parameter; contents travel as binary.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct pg_conn;
struct pg_result;

namespace ot::server {

class PgError : public std::runtime_error {
public:
    PgError(const std::string& what, std::string state)
        : std::runtime_error(what), FState(std::move(state)) {}
    // The SQLSTATE, e.g. "40001"; empty when the connection failed.
    const std::string& State() const { return FState; }
    // A conflict with another transaction that is worth running again.
    bool Retryable() const { return FState == "40001" || FState == "40P01"; }
    bool UniqueViolation() const { return FState == "23505"; }

private:
    std::string FState;
};

// One parameter: text, binary bytes (bytea) or NULL.
struct PgParam {
    std::string Value;
    bool Binary = false;
    bool Null = false;
};
PgParam P(std::int64_t value);
PgParam P(std::string_view value);
inline PgParam P(const char* value) {
    return P(std::string_view(value));
}
inline PgParam P(const std::string& value) {
    return P(std::string_view(value));
}
PgParam Bytes(std::string value);
PgParam Null();
// A one-dimensional array, as "$1::text[]" or "$1::bigint[]" reads it.
PgParam Array(const std::vector<std::string>& values);
PgParam Array(const std::vector<std::int64_t>& values);

class PgResult {
public:
    explicit PgResult(pg_result* r = nullptr) : FRes(r) {}
    ~PgResult();
    PgResult(PgResult&& o) noexcept : FRes(o.FRes) { o.FRes = nullptr; }
    PgResult& operator=(PgResult&& o) noexcept;
    PgResult(const PgResult&) = delete;
    PgResult& operator=(const PgResult&) = delete;

    int Rows() const;
    // Rows an INSERT, UPDATE or DELETE changed.
    std::int64_t Affected() const;
    bool IsNull(int row, int column) const;
    std::string Text(int row, int column) const;
    std::int64_t Int(int row, int column) const;
    // A bytea column of a result asked for in binary.
    std::string Bytes(int row, int column) const;

private:
    pg_result* FRes;
};

class PgConn {
public:
    // Throws PgError when the server cannot be reached. The application name is what
    // PostgreSQL shows of the connection (pg_stat_activity).
    PgConn(const std::string& conninfo, const std::string& applicationName);
    ~PgConn();
    PgConn(const PgConn&) = delete;
    PgConn& operator=(const PgConn&) = delete;

    // A statement with parameters, prepared once per connection.
    PgResult Exec(const std::string& sql, const std::vector<PgParam>& params = {},
                  bool binaryResult = false);
    // Statements without parameters, several at once (the schema, BEGIN, COMMIT).
    void Run(const std::string& sql);
    bool Broken() const;
    // Connected and outside any transaction.
    bool Idle() const;
    // Reads what the server sent meanwhile without waiting: a connection it closed (a
    // restart of PostgreSQL) is then seen as broken before a statement fails on it.
    bool Alive();

private:
    [[noreturn]] void Fail(const std::string& what, pg_result* r);

    pg_conn* FConn = nullptr;
    std::unordered_map<std::string, std::string> FPrepared; // SQL -> statement name
};

class PgPool {
public:
    // setup runs on every new connection (session settings).
    PgPool(std::string conninfo, std::string applicationName, std::string setup = {});
    ~PgPool();

    class Lease {
    public:
        Lease(PgPool& pool, std::unique_ptr<PgConn> conn) : FPool(pool), FConn(std::move(conn)) {}
        ~Lease();
        Lease(Lease&&) = default;
        PgConn& operator*() { return *FConn; }
        PgConn* operator->() { return FConn.get(); }

    private:
        PgPool& FPool;
        std::unique_ptr<PgConn> FConn;
    };
    Lease Take();

    // Runs body in one transaction (begin is its BEGIN statement) and commits it; a
    // transaction PostgreSQL broke off for a conflict runs again, a few times. body must
    // change nothing but the database.
    template <class F> auto Transact(F&& body, const char* begin = "BEGIN") {
        for (int attempt = 0;; ++attempt) {
            Lease c = Take();
            try {
                c->Run(begin);
                auto result = body(*c);
                c->Run("COMMIT");
                return result;
            } catch (const PgError& e) {
                try {
                    if (!c->Broken())
                        c->Run("ROLLBACK");
                } catch (...) {
                }
                if (!e.Retryable() || attempt >= 20)
                    throw;
                Backoff(attempt);
            } catch (...) {
                try {
                    if (!c->Broken())
                        c->Run("ROLLBACK");
                } catch (...) {
                }
                throw;
            }
        }
    }

private:
    static void Backoff(int attempt);
    void GiveBack(std::unique_ptr<PgConn> conn);

    std::string FConninfo;
    std::string FApplicationName;
    std::string FSetup;
    std::mutex FMutex;
    std::vector<std::unique_ptr<PgConn>> FIdle;
};

} // namespace ot::server
