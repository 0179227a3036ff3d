#pragma once
// A thin RAII layer over the sqlite3 C API: one connection, prepared
// statements with bound parameters, errors as exceptions that name the file.

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace ot {

// A database error; the message names the database file.
class ESyncQueueDBError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A value bound to a "?" placeholder.
using TSQLValue = std::variant<std::nullptr_t, std::int64_t, double, std::string>;
using TSQLParams = std::vector<TSQLValue>;

// Called before every statement runs on a TSQLiteDB connection; answering
// true makes the statement fail as a database error would. Lets tests make
// the N-th statement of a run fail. An empty function removes the hook.
using TSQLFaultHook = std::function<bool(std::string_view sql)>;
void SetSQLFaultHook(TSQLFaultHook hook);

class TSQLiteStatement;

class TSQLiteDB {
public:
    // Opens an existing database file for reading and writing; never creates
    // one. Reads the header at once, so a file that is not an SQLite
    // database raises here. A busy timeout makes concurrent writers wait.
    explicit TSQLiteDB(const std::string& fileName, int busyTimeoutMs = 5000);
    ~TSQLiteDB();
    TSQLiteDB(const TSQLiteDB&) = delete;
    TSQLiteDB& operator=(const TSQLiteDB&) = delete;

    const std::string& FileName() const { return FFileName; }
    sqlite3* Handle() const { return FDB; }

    // Runs one statement to its end (result rows are discarded); answers the
    // number of rows it changed. Raises on any error.
    int Execute(std::string_view sql, const TSQLParams& params = {});

    // Throws an ESyncQueueDBError naming what failed, the file and the
    // detail (the connection's last error message when detail is empty).
    [[noreturn]] void Raise(std::string_view what, std::string_view detail = {}) const;

private:
    sqlite3* FDB = nullptr;
    std::string FFileName;
};

class TSQLiteStatement {
public:
    TSQLiteStatement(TSQLiteDB& db, std::string_view sql, const TSQLParams& params = {});
    ~TSQLiteStatement();
    TSQLiteStatement(const TSQLiteStatement&) = delete;
    TSQLiteStatement& operator=(const TSQLiteStatement&) = delete;

    // Advances to the next result row; false when the statement is done.
    bool Step();

    int ColumnCount() const;
    std::string ColumnName(int i) const;
    // The column's declared type as written in the table definition; empty
    // for an expression.
    std::string ColumnDeclType(int i) const;
    bool IsNull(int i) const;
    std::int64_t ColumnInt64(int i) const;
    std::string ColumnText(int i) const;

private:
    TSQLiteDB& FDB;
    sqlite3_stmt* FStmt = nullptr;
};

} // namespace ot
