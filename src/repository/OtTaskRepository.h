#pragma once
// Every operation that changes the task tree on disk; each change is also
// recorded in the sync queue.

#include "common/AppPaths.h"
#include "syncqueue/OtSyncQueueUtility.h"
#include "tasks/OtTask.h"

#include <exception>
#include <string>

namespace ot {

class TOtTaskRepository {
public:
    // The tree below APaths.TaskDataPath, its changes recorded in the queue
    // database APaths.DBFileName.
    explicit TOtTaskRepository(TAppPaths APaths);

    const TAppPaths& Paths() const { return FPaths; }

    // Each operation changes the files and records the change in the queue
    // (TOtSyncQueueUtility::RecordChanges). A change that cannot be recorded
    // is not made: the file change is undone and the operation answers false
    // with the reason in AError, so the queue never misses a change of the
    // tree (the next pass would revert it). An error the queue database
    // raises (it cannot be opened) reaches the caller once the file change is
    // undone. A refused edit leaves the item
    // dirty, as it was; a stored one is clean. Objects are never taken over,
    // freed or moved between lists: the caller does that (TOtTaskOperations
    // does all of it).

    // An ID from NewTaskID that no class directory, no item file below the
    // task data directory and no queue row holds: another process, or a copy
    // made by hand, may have drawn the same ID within the same two seconds.
    // Every new class and item, and every move, takes its ID from here: an
    // object whose ID is still its constructor's provisional draw gets one
    // when it is created. The
    // names of directories unchanged since an earlier call come from the
    // cache file TOtTaskIDIndex keeps in the user data directory.
    std::string NewUniqueTaskID() const;
    // Creates the class directory; true when it exists afterwards (an
    // existing directory answers true and records nothing).
    bool CreateTaskClass(const TOtTaskClassPtr& ATaskClass, std::string* AError = nullptr) const;
    // Removes the class directory with everything in it; false when there
    // was none, or when something could not be removed.
    bool DeleteTaskClass(const TOtTaskClassPtr& ATaskClass, std::string* AError = nullptr) const;
    // Removes a directory tree; whatever cannot be removed stays.
    static void DeleteDir(const std::string& sDirectory);
    // Writes the item file; an existing file answers true and is left alone.
    bool CreateTaskItem(const TOtTaskItemPtr& ATaskItem, std::string* AError = nullptr) const;
    // Stores the changes made since the last ResetDirty: a move to another
    // class (the item gets a new ID), a rewrite under the same name, or a
    // rename with or without rewrite.
    bool EditTaskItem(const TOtTaskItemPtr& ATaskItem, std::string* AError = nullptr) const;
    // Deletes the item file (a missing file is no failure) and records it.
    bool DeleteTaskItem(const TOtTaskItemPtr& ATaskItem, std::string* AError = nullptr) const;
    // Gives the item a new unique ID in its own class, as a move does: for
    // the queue the old ID is deleted and the new one created.
    bool RenewTaskItemID(const TOtTaskItemPtr& ATaskItem, std::string* AError = nullptr) const;

private:
    bool Record(const std::vector<TSyncQueueChange>& AChanges, std::string* AError,
                std::exception_ptr& ARaised) const;
    // Writes the item under a new ID into ATaskClass's directory, then
    // removes AOldFile and records the change. A failure leaves the item
    // where it was, with its old ID and queue row.
    bool StoreUnderNewID(TOtTaskItem& AItem, const TOtTaskClassPtr& ATaskClass,
                         const std::string& AOldFile, std::string* AError) const;

    TAppPaths FPaths;
};

} // namespace ot
