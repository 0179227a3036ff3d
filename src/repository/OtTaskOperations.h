#pragma once
// The changes a user makes to the task tree, in one place: the windows'
// pages and editor, ottodo, the engine's local changes and the tests all go
// through these, so every one of them draws IDs, stamps finish times, trims
// and checks titles the same way.
//
// Each operation takes the tree lock (TTreeLock) for its length, so it never
// interleaves with a pass or a command of another process; stores the change
// through the repository (files and queue row together, nothing when the
// queue cannot take it); and keeps the class lists in step. A refused
// operation leaves the item, the lists and the tree as they were and says
// why.

#include "repository/OtTaskRepository.h"
#include "repository/OtTaskTrash.h"
#include "tasks/OtTask.h"

#include <chrono>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace ot {

// Why a title is refused: Key is the message (a translation key; a "%d" in
// it stands for Limit), empty for a good title.
struct TTitleProblem {
    std::string Key;
    int Limit = 0;
    explicit operator bool() const { return !Key.empty(); }
    // The English message with the limit filled in.
    std::string Text() const;
};

// The checks a title passes before it is stored: not empty once trimmed, at
// most the limit in UTF-16 code units once trimmed, no character the name
// rules refuse and no control character (a line break or a tab cannot be
// typed into a one-line title box, is not escaped in file names and is
// refused by the cloud in paths).
TTitleProblem CheckTaskTitle(std::string_view ATitle);
TTitleProblem CheckTaskClassTitle(std::string_view ATitle);

// Where a new item goes in a list kept in descending priority: before the
// first item whose priority is lower than or equal to its own, else at the
// end.
int GetRightIndex(const TOtTaskItemList& ATaskList, const TOtTaskItem& ATaskItem);

// The values of an item, to put back when a change of it is refused.
class TTaskItemState {
public:
    explicit TTaskItemState(const TOtTaskItem& AItem);
    // The item holds these values again and is clean, its file where it was.
    void RestoreTo(TOtTaskItem& AItem) const;
    // Sets the item's values to these through its properties (the title
    // trimmed when asked), leaving its snapshot and file name alone.
    void ApplyTo(TOtTaskItem& AItem, bool ATrimTitle = false) const;

private:
    std::string FID, FTitle, FRemarks, FDiskFileName;
    TTaskStatus FStatus;
    TDateTime FExpirationDate, FAlertTime, FCreateDateTime, FFinishDateTime;
    std::weak_ptr<TOtTaskClass> FTaskClass;
    std::weak_ptr<TOtTaskItem> FParent;
    std::int32_t FLevel, FPriority;
};

// The outcome of an operation: Message says why it was refused; Error holds
// what the queue database raised, when that was the reason (the engine ends
// its pass on it).
struct TTaskOpResult {
    bool Ok = false;
    std::string Message;
    std::exception_ptr Error;
    explicit operator bool() const { return Ok; }
    // Raises Error again, if there is one.
    void RethrowError() const {
        if (Error)
            std::rethrow_exception(Error);
    }
};

// How an operation waits while another process holds the tree lock.
struct TTreeLockWait {
    // No value: as long as it takes.
    std::optional<std::chrono::milliseconds> Limit;
    // Called once before waiting.
    std::function<void()> OnWait;
};

class TOtTaskOperations {
public:
    explicit TOtTaskOperations(TOtTaskRepository ARepository, TTreeLockWait AWait = {});

    const TOtTaskRepository& Repository() const { return FRepository; }
    const TAppPaths& Paths() const { return FRepository.Paths(); }

    // The prefix of the clipboard text of a copied task, before its file's path.
    static constexpr std::string_view TaskFilePathPrefix = "TaskFilePath:";

    // ---- new objects (not stored yet) ------------------------------------

    // A new item of ATaskClass with the default values (priority 5, not
    // completed, created now), the title trimmed and an ID from the unique
    // draw.
    TOtTaskItemPtr NewTaskItem(const TOtTaskClassPtr& ATaskClass, std::string_view ATitle) const;
    // The task a clipboard text names ("TaskFilePath:" and a task file's
    // path), as a new item of ATaskClass: its values, a new ID, created now.
    // nullptr when the text names no task file.
    TOtTaskItemPtr PastedTaskItem(const TOtTaskClassPtr& ATaskClass,
                                  std::string_view AClipboardText) const;

    // ---- values ------------------------------------------------------------

    // Completing stamps the finish time, unless the item was completed
    // already (its finish time stays); reopening clears it.
    static void SetCompleted(TOtTaskItem& AItem, bool ACompleted);

    // ---- items -------------------------------------------------------------

    // Stores a new item (its class set) and inserts it into its class's
    // list at GetRightIndex; AIndex gets the place.
    TTaskOpResult AddTaskItem(const TOtTaskItemPtr& ATaskItem, int* AIndex = nullptr) const;
    TTaskOpResult CompleteTaskItem(const TOtTaskItemPtr& ATaskItem, bool ACompleted) const;
    // AChange sets the item's values (title, priority, dates, remarks,
    // status, class); then the item is stored as StoreTaskItem does.
    TTaskOpResult EditTaskItem(const TOtTaskItemPtr& ATaskItem,
                               const std::function<void(TOtTaskItem&)>& AChange) const;
    // Stores an item its caller changed since ABefore was taken (the
    // editor's dialog). An item with nothing changed is no failure. A move
    // to another class takes it from the old class's list to the end of the
    // new one's. Refused, the item takes back the values of ABefore.
    TTaskOpResult StoreTaskItem(const TOtTaskItemPtr& ATaskItem,
                                const TTaskItemState& ABefore) const;
    // Deletes the item and takes it out of its class's list; ARemoving runs
    // once it is deleted, while it is still in the list.
    TTaskOpResult DeleteTaskItem(const TOtTaskItemPtr& ATaskItem,
                                 const std::function<void()>& ARemoving = {}) const;

    // ---- classes -----------------------------------------------------------

    // A new class with the title trimmed and an ID from the unique draw,
    // stored and appended to AList.
    TTaskOpResult AddTaskClass(TOtTaskClassList& AList, std::string_view ATitle,
                               TOtTaskClassPtr* ACreated = nullptr) const;
    // The same with a given ID and title (a class taken from the cloud).
    TTaskOpResult AddTaskClass(TOtTaskClassList& AList, const TOtTaskClassPtr& ATaskClass) const;
    // Deletes the class with its items and takes it out of AList; ARemoving
    // runs once it is deleted, while it is still in the list.
    TTaskOpResult DeleteTaskClass(TOtTaskClassList& AList, const TOtTaskClassPtr& ATaskClass,
                                  const std::function<void()>& ARemoving = {}) const;

    // ---- recently deleted --------------------------------------------------

    // Stores a kept task again as a new task with a new ID (its values and
    // remarks as they were) in its list, found by ID, else by title, else
    // made anew with the same title; then forgets it in the trash.
    TTaskOpResult RestoreTrashedTask(TOtTaskClassList& AList, const TTrashedTask& ATask,
                                     TOtTaskItemPtr* ARestored = nullptr) const;

private:
    // Runs AStore holding the tree lock; a lock that another process holds
    // for longer than the limit refuses the operation.
    TTaskOpResult Locked(const std::function<TTaskOpResult()>& AStore) const;

    TOtTaskRepository FRepository;
    TTreeLockWait FWait;
};

} // namespace ot
