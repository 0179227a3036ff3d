#include "syncqueue/SQLiteDB.h"

#include "common/Clock.h"
#include "common/DateTime.h"

#include <mutex>
#include <sqlite3.h>

namespace ot {

namespace {

// SQLite's datetime('now') reads the time through the VFS. Our connections
// use a VFS that forwards everything to the platform's own, except that the
// time comes from the program's clock, so a fixed test clock fixes the
// times the queue writes as well.
constexpr const char* kClockVfsName = "ot-clock";
sqlite3_vfs gClockVfs{};

sqlite3_vfs* Real(sqlite3_vfs* vfs) {
    return static_cast<sqlite3_vfs*>(vfs->pAppData);
}

int ClockCurrentTimeInt64(sqlite3_vfs* vfs, sqlite3_int64* out) {
    const auto clock = CurrentClock();
    if (dynamic_cast<const SystemClock*>(clock.get()) != nullptr)
        return Real(vfs)->xCurrentTimeInt64(Real(vfs), out);
    const TDateTime now = clock->Now();
    const auto parts = DecodeDateTime(now);
    // Julian day number of the Unix epoch, in milliseconds.
    constexpr sqlite3_int64 kUnixEpochJulianMs = 210866760000000LL;
    *out = kUnixEpochJulianMs + LocalDateTimeToUnix(now) * 1000 + parts.MilliSecond;
    return SQLITE_OK;
}

int ClockCurrentTime(sqlite3_vfs* vfs, double* out) {
    sqlite3_int64 ms = 0;
    const int rc = ClockCurrentTimeInt64(vfs, &ms);
    *out = static_cast<double>(ms) / 86400000.0;
    return rc;
}

int FwdOpen(sqlite3_vfs* v, const char* name, sqlite3_file* f, int flags, int* outFlags) {
    return Real(v)->xOpen(Real(v), name, f, flags, outFlags);
}
int FwdDelete(sqlite3_vfs* v, const char* name, int syncDir) {
    return Real(v)->xDelete(Real(v), name, syncDir);
}
int FwdAccess(sqlite3_vfs* v, const char* name, int flags, int* out) {
    return Real(v)->xAccess(Real(v), name, flags, out);
}
int FwdFullPathname(sqlite3_vfs* v, const char* name, int n, char* out) {
    return Real(v)->xFullPathname(Real(v), name, n, out);
}
void* FwdDlOpen(sqlite3_vfs* v, const char* name) {
    return Real(v)->xDlOpen(Real(v), name);
}
void FwdDlError(sqlite3_vfs* v, int n, char* msg) {
    Real(v)->xDlError(Real(v), n, msg);
}
void (*FwdDlSym(sqlite3_vfs* v, void* h, const char* sym))(void) {
    return Real(v)->xDlSym(Real(v), h, sym);
}
void FwdDlClose(sqlite3_vfs* v, void* h) {
    Real(v)->xDlClose(Real(v), h);
}
int FwdRandomness(sqlite3_vfs* v, int n, char* out) {
    return Real(v)->xRandomness(Real(v), n, out);
}
int FwdSleep(sqlite3_vfs* v, int us) {
    return Real(v)->xSleep(Real(v), us);
}
int FwdGetLastError(sqlite3_vfs* v, int n, char* out) {
    return Real(v)->xGetLastError ? Real(v)->xGetLastError(Real(v), n, out) : 0;
}
int FwdSetSystemCall(sqlite3_vfs* v, const char* name, sqlite3_syscall_ptr p) {
    return Real(v)->xSetSystemCall(Real(v), name, p);
}
sqlite3_syscall_ptr FwdGetSystemCall(sqlite3_vfs* v, const char* name) {
    return Real(v)->xGetSystemCall(Real(v), name);
}
const char* FwdNextSystemCall(sqlite3_vfs* v, const char* name) {
    return Real(v)->xNextSystemCall(Real(v), name);
}

const char* ClockVfsName() {
    static std::once_flag once;
    static bool registered = false;
    std::call_once(once, [] {
        sqlite3_vfs* real = sqlite3_vfs_find(nullptr);
        if (real == nullptr || real->iVersion < 2 || real->xCurrentTimeInt64 == nullptr)
            return;
        gClockVfs.iVersion = real->iVersion >= 3 ? 3 : 2;
        gClockVfs.szOsFile = real->szOsFile;
        gClockVfs.mxPathname = real->mxPathname;
        gClockVfs.zName = kClockVfsName;
        gClockVfs.pAppData = real;
        gClockVfs.xOpen = FwdOpen;
        gClockVfs.xDelete = FwdDelete;
        gClockVfs.xAccess = FwdAccess;
        gClockVfs.xFullPathname = FwdFullPathname;
        gClockVfs.xDlOpen = FwdDlOpen;
        gClockVfs.xDlError = FwdDlError;
        gClockVfs.xDlSym = FwdDlSym;
        gClockVfs.xDlClose = FwdDlClose;
        gClockVfs.xRandomness = FwdRandomness;
        gClockVfs.xSleep = FwdSleep;
        gClockVfs.xCurrentTime = ClockCurrentTime;
        gClockVfs.xGetLastError = FwdGetLastError;
        gClockVfs.xCurrentTimeInt64 = ClockCurrentTimeInt64;
        if (gClockVfs.iVersion >= 3) {
            gClockVfs.xSetSystemCall = FwdSetSystemCall;
            gClockVfs.xGetSystemCall = FwdGetSystemCall;
            gClockVfs.xNextSystemCall = FwdNextSystemCall;
        }
        registered = sqlite3_vfs_register(&gClockVfs, 0) == SQLITE_OK;
    });
    return registered ? kClockVfsName : nullptr;
}

std::mutex gHookMutex;
TSQLFaultHook& HookSlot() {
    static TSQLFaultHook hook;
    return hook;
}

bool FaultInjected(std::string_view sql) {
    TSQLFaultHook hook;
    {
        std::lock_guard lock(gHookMutex);
        hook = HookSlot();
    }
    return hook && hook(sql);
}

} // namespace

void SetSQLFaultHook(TSQLFaultHook hook) {
    std::lock_guard lock(gHookMutex);
    HookSlot() = std::move(hook);
}

TSQLiteDB::TSQLiteDB(const std::string& fileName, int busyTimeoutMs) : FFileName(fileName) {
    const int rc = sqlite3_open_v2(fileName.c_str(), &FDB, SQLITE_OPEN_READWRITE, ClockVfsName());
    if (rc != SQLITE_OK) {
        std::string message = "Cannot open the database \"" + FFileName +
                              "\": " + (FDB ? sqlite3_errmsg(FDB) : sqlite3_errstr(rc));
        sqlite3_close(FDB);
        FDB = nullptr;
        throw ESyncQueueDBError(message);
    }
    sqlite3_busy_timeout(FDB, busyTimeoutMs);
    // SQLite reads the file lazily; make a file that is not a database fail
    // now rather than at the first statement.
    const int check =
        sqlite3_exec(FDB, "select count(*) from sqlite_master", nullptr, nullptr, nullptr);
    if (check != SQLITE_OK) {
        std::string message =
            "Cannot open the database \"" + FFileName + "\": " + sqlite3_errmsg(FDB);
        sqlite3_close(FDB);
        FDB = nullptr;
        throw ESyncQueueDBError(message);
    }
}

TSQLiteDB::~TSQLiteDB() {
    sqlite3_close(FDB);
}

void TSQLiteDB::Raise(std::string_view what, std::string_view detail) const {
    const std::string text =
        detail.empty() ? std::string(sqlite3_errmsg(FDB)) : std::string(detail);
    throw ESyncQueueDBError(std::string(what) + " (database \"" + FFileName + "\"): " + text);
}

int TSQLiteDB::Execute(std::string_view sql, const TSQLParams& params) {
    const auto before = sqlite3_total_changes64(FDB);
    TSQLiteStatement statement(*this, sql, params);
    while (statement.Step()) {
    }
    // sqlite3_changes keeps the count of the last changing statement, so a
    // statement that changed nothing must not report it.
    return sqlite3_total_changes64(FDB) == before ? 0 : static_cast<int>(sqlite3_changes64(FDB));
}

TSQLiteStatement::TSQLiteStatement(TSQLiteDB& db, std::string_view sql, const TSQLParams& params)
    : FDB(db) {
    if (FaultInjected(sql))
        db.Raise("Cannot prepare \"" + std::string(sql) + "\"", "injected fault");
    int rc =
        sqlite3_prepare_v2(db.Handle(), sql.data(), static_cast<int>(sql.size()), &FStmt, nullptr);
    if (rc != SQLITE_OK || FStmt == nullptr) {
        sqlite3_finalize(FStmt);
        FStmt = nullptr;
        db.Raise("Cannot prepare \"" + std::string(sql) + "\"",
                 rc == SQLITE_OK ? "no statement" : "");
    }
    for (std::size_t i = 0; i < params.size() && rc == SQLITE_OK; ++i) {
        const int index = static_cast<int>(i) + 1;
        const auto& v = params[i];
        if (std::holds_alternative<std::int64_t>(v))
            rc = sqlite3_bind_int64(FStmt, index, std::get<std::int64_t>(v));
        else if (std::holds_alternative<double>(v))
            rc = sqlite3_bind_double(FStmt, index, std::get<double>(v));
        else if (std::holds_alternative<std::string>(v)) {
            const auto& s = std::get<std::string>(v);
            rc = sqlite3_bind_text(FStmt, index, s.data(), static_cast<int>(s.size()),
                                   SQLITE_TRANSIENT);
        } else
            rc = sqlite3_bind_null(FStmt, index);
    }
    if (rc != SQLITE_OK) {
        sqlite3_finalize(FStmt);
        FStmt = nullptr;
        db.Raise("Cannot bind the values of \"" + std::string(sql) + "\"");
    }
}

TSQLiteStatement::~TSQLiteStatement() {
    sqlite3_finalize(FStmt);
}

bool TSQLiteStatement::Step() {
    const int rc = sqlite3_step(FStmt);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    FDB.Raise("Cannot run \"" + std::string(sqlite3_sql(FStmt)) + "\"");
}

int TSQLiteStatement::ColumnCount() const {
    return sqlite3_column_count(FStmt);
}

std::string TSQLiteStatement::ColumnName(int i) const {
    const char* name = sqlite3_column_name(FStmt, i);
    return name ? name : "";
}

std::string TSQLiteStatement::ColumnDeclType(int i) const {
    const char* type = sqlite3_column_decltype(FStmt, i);
    return type ? type : "";
}

bool TSQLiteStatement::IsNull(int i) const {
    return sqlite3_column_type(FStmt, i) == SQLITE_NULL;
}

std::int64_t TSQLiteStatement::ColumnInt64(int i) const {
    return sqlite3_column_int64(FStmt, i);
}

std::string TSQLiteStatement::ColumnText(int i) const {
    const auto* text = sqlite3_column_text(FStmt, i);
    if (text == nullptr)
        return {};
    return std::string(reinterpret_cast<const char*>(text),
                       static_cast<std::size_t>(sqlite3_column_bytes(FStmt, i)));
}

} // namespace ot
