#pragma once
// Every operation that changes the task tree on disk; each change is also
// recorded in the sync queue.

#include "tasks/OtTask.h"

#include <string>

namespace ot {

class TOtTaskRepository {
public:
    TOtTaskRepository() = delete;

    // Each operation does its file work first and then records the change
    // with TOtSyncQueueUtility::WriteToSyncQueue; errors raised by the queue
    // database reach the caller. Objects are never taken over, freed or moved
    // between lists: the caller does that.

    // An ID from NewTaskID that no class directory, no item file below the
    // task data directory and no queue row holds: another process, or a copy
    // made by hand, may have drawn the same ID within the same two seconds.
    // Every new class and item, and every move, takes its ID from here.
    static std::string NewUniqueTaskID();
    // Creates the class directory; true when it exists afterwards (an
    // existing directory answers true and records nothing).
    static bool CreateTaskClass(const TOtTaskClassPtr& ATaskClass);
    // Removes the class directory with everything in it; false when there
    // was none, or when something could not be removed.
    static bool DeleteTaskClass(const TOtTaskClassPtr& ATaskClass);
    // Removes a directory tree; whatever cannot be removed stays.
    static void DeleteDir(const std::string& sDirectory);
    // Writes the item file; an existing file answers true and is left alone.
    static bool CreateTaskItem(const TOtTaskItemPtr& ATaskItem);
    // Stores the changes made since the last ResetDirty: a move to another
    // class (the item gets a new ID), a rewrite under the same name, or a
    // rename with or without rewrite.
    static bool EditTaskItem(const TOtTaskItemPtr& ATaskItem);
    // Deletes the item file (a missing file is no failure) and records it.
    static bool DeleteTaskItem(const TOtTaskItemPtr& ATaskItem);

};

} // namespace ot
