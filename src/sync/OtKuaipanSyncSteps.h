#pragma once
// Shared by the files of the engine, one per step of a pass: the state of a
// pass and the small rules the steps apply to queue rows and cloud names.

#include "sync/OtKuaipanSyncUtility.h"
#include "sync/OtSyncBase.h"
#include "syncqueue/OtSyncQueueDBModel.h"

#include <cmath>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace ot {

// Cloud and queue times are compared as whole seconds: both come from texts
// without fractions, but through different conversions.
inline long long WholeSeconds(TDateTime dt) {
    return std::llround(dt * 86400.0);
}

inline bool SameRow(const TOtSyncQueueDB& a, const TOtSyncQueueDB& b) {
    return a.TaskItemID() == b.TaskItemID() && a.TaskItemPath() == b.TaskItemPath() &&
           a.TaskClassPath() == b.TaskClassPath() && a.TaskItemPath_Old() == b.TaskItemPath_Old() &&
           a.TaskClassPath_Old() == b.TaskClassPath_Old() &&
           a.KuaipanFileID() == b.KuaipanFileID() &&
           WholeSeconds(a.KuaipanModifyTime()) == WholeSeconds(b.KuaipanModifyTime()) &&
           a.SyncType() == b.SyncType() && a.IsDelete() == b.IsDelete() &&
           WholeSeconds(a.UpdateDateTime()) == WholeSeconds(b.UpdateDateTime());
}

// Linked to its cloud copy with nothing left to push.
inline bool IsSettled(const TOtSyncQueueDB& row) {
    return !row.KuaipanFileID().empty() && row.SyncType() == 0 && row.IsDelete() == 0;
}

// A name that can only stand for one entry of one directory.
inline bool IsPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

// The bytes of a file, or nullopt when it cannot be read.
inline std::optional<std::string> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return std::nullopt;
    return bytes;
}

// What tells whether a file was written again: every write here replaces
// the file (a new inode) or at least moves its times.
struct TFileStamp {
    std::uint64_t Device = 0, Inode = 0;
    std::int64_t Size = 0, Modified = 0, Changed = 0; // times in ns
    bool operator==(const TFileStamp&) const = default;
};

inline std::optional<TFileStamp> FileStampOf(const std::string& path) {
    struct stat s {};
    if (::stat(path.c_str(), &s) != 0)
        return std::nullopt;
    constexpr std::int64_t ns = 1000000000;
    return TFileStamp{static_cast<std::uint64_t>(s.st_dev), static_cast<std::uint64_t>(s.st_ino),
                      static_cast<std::int64_t>(s.st_size),
                      s.st_mtim.tv_sec * ns + s.st_mtim.tv_nsec,
                      s.st_ctim.tv_sec * ns + s.st_ctim.tv_nsec};
}

// A local task file as a push read it, once: its bytes, and its stamp then.
struct TLocalCopy {
    std::optional<std::string> Bytes;
    std::optional<TFileStamp> Stamp;
};

inline std::string ItemCloudPath(const std::string& dirName, const std::string& fileName) {
    return "/" + dirName + "/" + fileName + ".tsk";
}

struct TKuaipanSyncUtility::TPass {
    std::unique_ptr<TOtSyncQueueDBUtility> DB;
    // The last synchronized state of each task (may be unavailable).
    std::unique_ptr<TOtSyncBase> Base;
    // The cloud's data was restored from an older copy since the last pass:
    // what it lacks is uploaded again, nothing is deleted here.
    bool Restored = false;
    // A row is being decided again after a refused conditional push.
    bool Retrying = false;
    int Errors1 = 0;
    int Errors2 = 0;
    bool Step1ListLoaded = false;
    bool QueueRead = false;
    int R = 0;
    bool Step2ListLoaded = false;
    // A row was passed over without an error: the watermark must stay
    // below it.
    bool RowSkipped = false;
    long long OpsAfterListing = -1;
    // Deletions the guard would hold back may be applied (all, or only the
    // set of this key).
    bool AllowMassDeletions = false;
    std::string AllowedDeletionsKey;
    TSyncSummary Summary;
};

} // namespace ot
