#include "ServerDb.h"

#include <sqlite3.h>

namespace ot::server {

Db::Db(const std::string& file, bool readOnly) {
    int flags = readOnly ? SQLITE_OPEN_READONLY : (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    flags |= SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(file.c_str(), &FDb, flags, nullptr) != SQLITE_OK) {
        std::string msg = FDb ? sqlite3_errmsg(FDb) : "out of memory";
        sqlite3_close(FDb);
        FDb = nullptr;
        throw DbError("cannot open " + file + ": " + msg);
    }
    sqlite3_busy_timeout(FDb, 10000);
    sqlite3_extended_result_codes(FDb, 1);
    if (!readOnly)
        Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA synchronous=FULL");
    Exec("PRAGMA foreign_keys=ON");
}

Db::~Db() {
    for (auto& [sql, list] : FCache)
        for (sqlite3_stmt* s : list)
            sqlite3_finalize(s);
    sqlite3_close(FDb);
}

sqlite3_stmt* Db::TakeStatement(const std::string& sql) {
    auto it = FCache.find(sql);
    if (it != FCache.end() && !it->second.empty()) {
        sqlite3_stmt* s = it->second.back();
        it->second.pop_back();
        return s;
    }
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(FDb, sql.c_str(), static_cast<int>(sql.size()), &s, nullptr) !=
        SQLITE_OK)
        Fail("prepare " + sql);
    return s;
}

void Db::ReturnStatement(const std::string& sql, sqlite3_stmt* stmt) {
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    FCache[sql].push_back(stmt);
}

void Db::Fail(const std::string& what) const {
    throw DbError(what + ": " + sqlite3_errmsg(FDb));
}

void Db::Exec(std::string_view sql) {
    char* err = nullptr;
    std::string text(sql);
    if (sqlite3_exec(FDb, text.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        std::string msg = err ? err : "unknown error";
        sqlite3_free(err);
        throw DbError(msg + " in: " + text);
    }
}

std::int64_t Db::LastInsertId() const {
    return sqlite3_last_insert_rowid(FDb);
}
int Db::Changes() const {
    return sqlite3_changes(FDb);
}

Stmt::Stmt(Db& db, std::string_view sql) : FDb(db), FSql(sql) {
    FStmt = db.TakeStatement(FSql);
}

Stmt::~Stmt() {
    FDb.ReturnStatement(FSql, FStmt);
}

Stmt& Stmt::Bind(int index, std::int64_t value) {
    if (sqlite3_bind_int64(FStmt, index, value) != SQLITE_OK)
        FDb.Fail("bind");
    return *this;
}

Stmt& Stmt::Bind(int index, std::string_view value) {
    if (sqlite3_bind_text(FStmt, index, value.data(), static_cast<int>(value.size()),
                          SQLITE_TRANSIENT) != SQLITE_OK)
        FDb.Fail("bind");
    return *this;
}

Stmt& Stmt::BindNull(int index) {
    if (sqlite3_bind_null(FStmt, index) != SQLITE_OK)
        FDb.Fail("bind");
    return *this;
}

bool Stmt::Step() {
    int rc = sqlite3_step(FStmt);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    FDb.Fail("step");
}

void Stmt::Exec() {
    while (Step()) {
    }
}

void Stmt::Reset() {
    sqlite3_reset(FStmt);
    sqlite3_clear_bindings(FStmt);
}

std::int64_t Stmt::Int(int column) const {
    return sqlite3_column_int64(FStmt, column);
}

std::string Stmt::Text(int column) const {
    const unsigned char* p = sqlite3_column_text(FStmt, column);
    int n = sqlite3_column_bytes(FStmt, column);
    return p ? std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n))
             : std::string();
}

bool Stmt::IsNull(int column) const {
    return sqlite3_column_type(FStmt, column) == SQLITE_NULL;
}

Transaction::Transaction(Db& db) : FDb(db) {
    FDb.Exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
    if (!FDone) {
        try {
            FDb.Exec("ROLLBACK");
        } catch (...) {
        }
    }
}

void Transaction::Commit() {
    FDb.Exec("COMMIT");
    FDone = true;
}

} // namespace ot::server
