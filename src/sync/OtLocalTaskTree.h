#pragma once
// The local task tree as the synchronization engine changes it: the
// program's class list, each class's item list, and the pages that show
// them beside the list.
//
// The engine runs on the sync thread while the user interface reads and
// changes the same lists. Every operation here therefore runs inside
// Access(), which the desktop program overrides to run the call on its
// user-interface thread and wait for it; the base implementation runs it at
// once under a mutex (command line, tests). What happens to the pages goes
// through the hooks, which the desktop program implements and which run
// inside Access as well. Exceptions raised inside (by the queue database,
// through the repository) reach the caller on its own thread.

#include "repository/OtTaskOperations.h"
#include "repository/OtTaskRepository.h"
#include "tasks/OtTask.h"

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ot {

// ---- the list logic that the pages and the engine share ----------------

// (GetRightIndex is in repository/OtTaskOperations.h.)

// Creates the item through the operations (file and queue row) and inserts
// it into ATaskList, its class's list, at GetRightIndex. Answers the index,
// or -1 when refused (the item then stays with the caller, not inserted).
int DoAddTaskItem(const TOtTaskRepository& ARepository, TOtTaskItemList& ATaskList,
                  const TOtTaskItemPtr& ATaskItem);

// ---- the tree ----------------------------------------------------------

// Copies of what the engine reads, taken inside Access.
struct TLocalTaskItemInfo {
    TOtTaskItemPtr Item;
    std::string ID;
    std::string Title;
    std::string FileName;
    std::string Path; // relative to the task data directory
};

struct TLocalTaskClassInfo {
    TOtTaskClassPtr Class;
    std::string ID;
    std::string Title;
    std::vector<TLocalTaskItemInfo> Items;
};

class TOtLocalTaskTree {
public:
    // ATaskClassList is the program-wide class list; it must outlive the tree.
    // ARepository makes every change of the tree on disk, below its paths.
    TOtLocalTaskTree(TOtTaskClassList& ATaskClassList, TOtTaskRepository ARepository);
    virtual ~TOtLocalTaskTree() = default;

    // The program directory the tree lives in.
    const TAppPaths& Paths() const { return FRepository.Paths(); }
    const TOtTaskRepository& Repository() const { return FRepository; }
    // The changes a user makes, as the pages and ottodo make them.
    const TOtTaskOperations& Operations() const { return FOperations; }
    TOtLocalTaskTree(const TOtLocalTaskTree&) = delete;
    TOtLocalTaskTree& operator=(const TOtLocalTaskTree&) = delete;

    // The classes in list order with their items.
    std::vector<TLocalTaskClassInfo> Snapshot();
    // The directory below the task data directory of the class that the
    // queue and the cloud name ADirName: the name it really has, which for a
    // directory made by hand differs; ADirName when no class has that name.
    std::string DiskDirName(const std::string& ADirName);
    // Runs fn inside Access: what the engine reads of an item beyond the
    // snapshot is read there, never while the user interface changes it.
    void Inspect(const std::function<void()>& fn);

    // Creates a class with this ID and title through the repository (its
    // directory and queue row), appends it to the class list and adds its
    // page. nullptr when the repository refused.
    TOtTaskClassPtr AddTaskClass(const std::string& AID, const std::string& ATitle);
    // Deletes the class through the repository (directory, items, their
    // rows); on success removes its page and takes it out of the list.
    bool DeleteTaskClass(const TOtTaskClassPtr& ATaskClass);

    // Gives the class another title: its directory is renamed to the name
    // of the new title (the queue is the caller's). False when the class is
    // gone or the directory cannot be renamed.
    bool RenameTaskClass(const TOtTaskClassPtr& ATaskClass, const std::string& ATitle);

    // Adds a new item to the class through the repository and inserts it at
    // its sorted position with its row. False when the class is no longer in
    // the list or the repository refused.
    bool AddTaskItem(const TOtTaskClassPtr& ATaskClass, const TOtTaskItemPtr& ATaskItem);
    // Renames the item's file to the name of ASource and takes every
    // attribute of ASource but the remarks; the item keeps its own class.
    // Refreshes its row. False when the item is gone, its file name is no
    // longer AFileName (it was changed meanwhile) or the rename failed.
    bool RenameTaskItem(const TOtTaskClassPtr& ATaskClass, const TOtTaskItemPtr& ATaskItem,
                        const std::string& AFileName, const TOtTaskItemPtr& ASource);
    // Moves AFile over the item's file and reloads the remarks from it;
    // refreshes its row. False (and AFile removed) when the item is gone,
    // its file name is no longer AFileName, AUnchanged (run inside Access,
    // just before the move) answers false, or the move failed.
    bool ReplaceTaskItemFile(const TOtTaskClassPtr& ATaskClass, const TOtTaskItemPtr& ATaskItem,
                             const std::string& AFileName, const std::string& AFile,
                             const std::function<bool()>& AUnchanged = nullptr);
    // Deletes the item through the repository; on success removes its row
    // and takes it out of the class's list.
    bool DeleteTaskItem(const TOtTaskClassPtr& ATaskClass, const TOtTaskItemPtr& ATaskItem);
    // Gives the item a new ID through the repository (a new file, the old
    // ID's row gone, a row for the new one). False when the item is gone, its
    // file name is no longer AFileName or the repository refused.
    bool RenewTaskItemID(const TOtTaskClassPtr& ATaskClass, const TOtTaskItemPtr& ATaskItem,
                         const std::string& AFileName);

protected:
    // Runs fn where the lists and pages may be read and changed, and returns
    // when it has run. fn never throws. An implementation that cannot run it
    // (its user interface is closing and waits for the sync thread) returns
    // without calling it; the operation then raises, which ends the pass.
    virtual void Access(const std::function<void()>& fn);

    // Page hooks, called inside Access.
    // After the class was appended to the class list: add its page.
    virtual void TaskClassAdded(const TOtTaskClassPtr& ATaskClass) {}
    // After the class got another title: show it.
    virtual void TaskClassUpdated(const TOtTaskClassPtr& ATaskClass) {}
    // While the class is still in the list at AIndex: remove its page.
    virtual void TaskClassRemoving(const TOtTaskClassPtr& ATaskClass, int AIndex) {}
    // After the item was inserted into its class's list at AIndex: add its row there.
    virtual void TaskItemInserted(const TOtTaskClassPtr& ATaskClass,
                                  const TOtTaskItemPtr& ATaskItem, int AIndex) {}
    // Refill the item's row.
    virtual void TaskItemUpdated(const TOtTaskClassPtr& ATaskClass,
                                 const TOtTaskItemPtr& ATaskItem) {}
    // Before the item leaves its class's list: remove its row.
    virtual void TaskItemRemoving(const TOtTaskClassPtr& ATaskClass,
                                  const TOtTaskItemPtr& ATaskItem) {}

    TOtTaskClassList& TaskClassList() { return FTaskClassList; }

private:
    // Runs fn inside Access and hands its result or exception back here.
    template <class R> R Run(const std::function<R()>& fn);
    int IndexOfClass(const TOtTaskClassPtr& ATaskClass) const;

    TOtTaskClassList& FTaskClassList;
    const TOtTaskRepository FRepository;
    const TOtTaskOperations FOperations;
    std::mutex FMutex;
};

} // namespace ot
