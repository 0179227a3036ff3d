#include "syncqueue/SyncQueueDatabase.h"

#include "common/FileUtil.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sqlite3.h>
#include <system_error>
#include <unistd.h>

namespace ot {

namespace fs = std::filesystem;

namespace {

bool BuildAt(const fs::path& file, std::string& message) {
    sqlite3* db = nullptr;
    int rc =
        sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    char* err = nullptr;
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db, SyncQueueSchemaSQL(), nullptr, nullptr, &err);
    if (rc != SQLITE_OK)
        message = err ? err : (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    sqlite3_free(err);
    if (sqlite3_close(db) != SQLITE_OK && rc == SQLITE_OK) {
        message = "cannot close";
        rc = SQLITE_ERROR;
    }
    return rc == SQLITE_OK;
}

} // namespace

bool CreateSyncQueueDatabase(const std::string& fileName, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error)
            *error = "Cannot create the database \"" + fileName + "\": " + why;
        return false;
    };
    const fs::path target(fileName);
    std::error_code ec;
    if (fs::exists(fs::symlink_status(target, ec)))
        return fail("the file exists");
    if (target.has_parent_path()) {
        fs::create_directories(target.parent_path(), ec);
        if (ec)
            return fail(ec.message());
    }
    // Build the database under a temporary name, then give it its name with
    // link(), which refuses to replace a file that appeared meanwhile.
    const fs::path tmp = TempNameBeside(target);
    std::string message;
    if (!BuildAt(tmp, message)) {
        fs::remove(tmp, ec);
        return fail(message);
    }
    bool ok = true;
    if (::link(tmp.c_str(), target.c_str()) != 0) {
        const int err = errno;
        if (err == EEXIST) {
            message = "the file exists";
            ok = false;
        } else if (!fs::exists(fs::symlink_status(target, ec))) {
            // A file system without hard links.
            fs::rename(tmp, target, ec);
            if (ec) {
                message = ec.message();
                ok = false;
            }
        } else {
            message = std::strerror(err);
            ok = false;
        }
    }
    fs::remove(tmp, ec);
    return ok ? true : fail(message);
}

} // namespace ot
