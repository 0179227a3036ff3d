#pragma once
// Repairs the queue against the task tree on disk: class directories and
// task files without a row get one, as if just created; rows whose directory
// or file is gone are removed, unless they stand for a deletion still to be
// carried to the cloud. Directories and task files are never changed.

#include "common/AppPaths.h"
#include "syncqueue/OtSyncQueueDBModel.h"
#include "tasks/OtTask.h"

#include <functional>
#include <string>
#include <vector>

namespace ot {

class TOtTaskDataCheck {
public:
    // Checks the tree and queue database of APaths; opens its own connection
    // on the database and raises ESyncQueueDBError when it cannot be opened.
    // AProcessEvents, when given, is called after each class and each row, so
    // that a window can stay responsive.
    explicit TOtTaskDataCheck(const TAppPaths& APaths, std::function<void()> AProcessEvents = {});

    // Runs the check; the repairs made are in Logs() afterwards, one line
    // each, in the order made. Errors of the queue lookups end the check and
    // reach the caller.
    void DoDataCheck();

    const std::vector<std::string>& Logs() const { return FLogs; }

private:
    void AddMissingRows();
    void RemoveRowsWithoutFiles();
    // The directory a class name of the queue (a DirName) really has: a
    // directory made by hand keeps its own spelling.
    std::string DiskDirOf(const std::string& ADirName) const;

    TAppPaths FPaths;
    TOtTaskClassList FTaskClassList;
    TOtSyncQueueDBUtility FSyncQueueDB;
    TOtSyncQueueList FSyncQueueList;
    std::vector<std::string> FLogs;
    std::function<void()> FProcessEvents;
};

} // namespace ot
