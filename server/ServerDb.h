#pragma once
// A small RAII layer over the sqlite3 C API for the cloud server's metadata.
// Every value goes in as a bound parameter.

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace ot::server {

class DbError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Db;

// A prepared statement borrowed from its connection's cache for one use.
class Stmt {
public:
    Stmt(Db& db, std::string_view sql);
    ~Stmt();
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    // Binding is by 1-based position; Bind() calls chain.
    Stmt& Bind(int index, std::int64_t value);
    Stmt& Bind(int index, std::string_view value);
    Stmt& Bind(int index, const char* value) { return Bind(index, std::string_view(value)); }
    Stmt& Bind(int index, const std::string& value) { return Bind(index, std::string_view(value)); }
    Stmt& BindNull(int index);

    // Steps once: true while a row is available.
    bool Step();
    // Runs a statement that returns no rows.
    void Exec();
    void Reset();

    std::int64_t Int(int column) const;
    std::string Text(int column) const;
    bool IsNull(int column) const;

private:
    Db& FDb;
    std::string FSql;
    sqlite3_stmt* FStmt = nullptr;
};

class Db {
public:
    // Opens (creating when missing) the database file with WAL journaling, a busy
    // timeout and full synchronous commits: an answered write survives a crash.
    explicit Db(const std::string& file, bool readOnly = false);
    ~Db();
    Db(const Db&) = delete;
    Db& operator=(const Db&) = delete;

    void Exec(std::string_view sql);
    std::int64_t LastInsertId() const;
    int Changes() const;
    sqlite3* Handle() const { return FDb; }
    [[noreturn]] void Fail(const std::string& what) const;

private:
    friend class Stmt;
    // Prepared statements kept for reuse; one connection serves one thread at a time.
    sqlite3_stmt* TakeStatement(const std::string& sql);
    void ReturnStatement(const std::string& sql, sqlite3_stmt* stmt);

    sqlite3* FDb = nullptr;
    std::map<std::string, std::vector<sqlite3_stmt*>, std::less<>> FCache;
};

// BEGIN IMMEDIATE on construction, ROLLBACK on destruction unless committed.
class Transaction {
public:
    explicit Transaction(Db& db);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void Commit();

private:
    Db& FDb;
    bool FDone = false;
};

} // namespace ot::server
