#pragma once
// Recently deleted tasks. Every task file the repository deletes (one task,
// or a list with all of its tasks, whether the user deleted it here or a
// pass applied a deletion made on another computer) is kept for 30 days in
// the user data directory's "trash/", outside the task tree: no loader,
// data check or pass ever reads it, and it is never synchronized.
//
// One deletion is one entry, a directory named by the time of the deletion
// ("yyyymmddhhnnsszzz", local time, then "-" and a number when two share a
// millisecond), holding the deleted files under their own names below their
// list's directory name: "trash/<entry>/<list dir>/<task file>.tsk". A task
// taken back is given a new ID and stored as a new task (TOtTaskOperations),
// so it synchronizes like any new one.

#include "common/AppPaths.h"
#include "common/DateTime.h"
#include "tasks/OtTask.h"

#include <optional>
#include <string>
#include <vector>

namespace ot {

struct TTrashedTask {
    std::string Entry;     // the entry's directory name
    TDateTime Deleted = 0; // when it was deleted (from the entry's name)
    std::string ClassDirName;
    std::string FileName;   // with ".tsk"
    std::string File;       // the whole path
    TOtTaskClassPtr Class;  // parsed from ClassDirName (ID and title)
    TOtTaskItemPtr Item;    // parsed from the file, remarks read
};

class TOtTaskTrash {
public:
    static constexpr int KeepDays = 30;

    explicit TOtTaskTrash(const TAppPaths& APaths);

    const std::string& Dir() const { return FDir; }

    // Keeps the bytes of one deleted task file. False when they could not be
    // written (the deletion itself stands).
    bool KeepFile(const std::string& AClassDirName, const std::string& AFileName,
                  const std::string& ABytes) const;
    // Keeps a deleted list's directory, moved here whole (a rename: no copy).
    bool KeepDirectory(const std::string& AClassDirName, const std::string& ADirectory) const;

    // The tasks kept, newest deletion first; entries older than KeepDays
    // are removed first.
    std::vector<TTrashedTask> List() const;
    // Removes one kept task file (and its entry once empty).
    bool Forget(const TTrashedTask& ATask) const;
    // Removes the entries deleted before ABefore.
    void Purge(TDateTime ABefore) const;

private:
    // A new entry directory (created), or empty when none can be made.
    std::string NewEntry() const;

    std::string FDir;
};

} // namespace ot
