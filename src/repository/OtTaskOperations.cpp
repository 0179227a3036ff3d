#include "repository/OtTaskOperations.h"

#include "common/Clock.h"
#include "common/Text.h"
#include "common/TreeLock.h"
#include "tasks/OtTaskUtility.h"

#include <algorithm>

namespace ot {

namespace {

bool HasControlChar(std::string_view s) {
    return std::any_of(s.begin(), s.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

TTitleProblem CheckTitle(std::string_view title, int maxLength, const char* emptyKey,
                         const char* lengthKey, const char* illegalKey) {
    const std::string trimmed = Trim(title);
    if (trimmed.empty())
        return {emptyKey};
    if (Utf16Length(trimmed) > static_cast<std::size_t>(maxLength))
        return {lengthKey, maxLength};
    if (TOtTaskUtility::IsContainIllegalChars(trimmed) || HasControlChar(trimmed))
        return {illegalKey};
    return {};
}

void EraseFrom(TOtTaskItemList& AList, const TOtTaskItemPtr& AItem) {
    AList.erase(std::remove(AList.begin(), AList.end(), AItem), AList.end());
}

TTaskOpResult Refused(std::string AMessage) {
    return {false, std::move(AMessage), nullptr};
}

const TTaskOpResult kDone{true, {}, nullptr};

} // namespace

std::string TTitleProblem::Text() const {
    return Key.find("%d") == std::string::npos ? Key : ReplaceAll(Key, "%d", std::to_string(Limit));
}

TTitleProblem CheckTaskTitle(std::string_view ATitle) {
    return CheckTitle(ATitle, MaxTaskTitleLength, "Task title cannot be empty!",
                      "The length of task title cannot be longer than %d!",
                      "Task title contains illegal characters!");
}

TTitleProblem CheckTaskClassTitle(std::string_view ATitle) {
    return CheckTitle(ATitle, MaxTaskClassTitleLength, "Task class title cannot be empty!",
                      "The length of task class title cannot be longer than %d!",
                      "Task class title contains illegal characters!");
}

int GetRightIndex(const TOtTaskItemList& ATaskList, const TOtTaskItem& ATaskItem) {
    for (std::size_t i = 0; i < ATaskList.size(); ++i)
        if (ATaskList[i]->Priority() <= ATaskItem.Priority())
            return static_cast<int>(i);
    return static_cast<int>(ATaskList.size());
}

// ---- item state ----------------------------------------------------------------------

TTaskItemState::TTaskItemState(const TOtTaskItem& AItem)
    : FID(AItem.ID()), FTitle(AItem.Title()), FRemarks(AItem.Remarks()),
      FDiskFileName(AItem.DiskFileName()), FStatus(AItem.Status()),
      FExpirationDate(AItem.ExpirationDate()), FAlertTime(AItem.AlertTime()),
      FCreateDateTime(AItem.CreateDateTime()), FFinishDateTime(AItem.FinishDateTime()),
      FTaskClass(AItem.TaskClass()), FParent(AItem.Parent()), FLevel(AItem.Level()),
      FPriority(AItem.Priority()) {}

void TTaskItemState::RestoreTo(TOtTaskItem& AItem) const {
    ApplyTo(AItem);
    AItem.ResetDirty();
    AItem.SetDiskFileName(FDiskFileName);
}

void TTaskItemState::ApplyTo(TOtTaskItem& AItem, bool ATrimTitle) const {
    AItem.SetID(FID);
    AItem.SetTitle(ATrimTitle ? Trim(FTitle) : FTitle);
    AItem.SetRemarks(FRemarks);
    AItem.SetStatus(FStatus);
    AItem.SetExpirationDate(FExpirationDate);
    AItem.SetAlertTime(FAlertTime);
    AItem.SetCreateDateTime(FCreateDateTime);
    AItem.SetFinishDateTime(FFinishDateTime);
    AItem.SetTaskClass(FTaskClass.lock());
    AItem.SetParent(FParent.lock());
    AItem.SetLevel(FLevel);
    AItem.SetPriority(FPriority);
}

// ---- operations ------------------------------------------------------------------------

TOtTaskOperations::TOtTaskOperations(TOtTaskRepository ARepository, TTreeLockWait AWait)
    : FRepository(std::move(ARepository)), FWait(std::move(AWait)) {}

TTaskOpResult TOtTaskOperations::Locked(const std::function<TTaskOpResult()>& AStore) const {
    const std::string& lockFile = Paths().LockFileName;
    std::optional<TTreeLock> turn;
    if (FWait.Limit)
        turn.emplace(lockFile, *FWait.Limit, FWait.OnWait);
    else
        turn.emplace(lockFile, FWait.OnWait);
    if (turn->TimedOut())
        return Refused("Another program (a synchronization pass) is changing the task lists; the "
                       "change was not made. Please try again in a moment.");
    // The queue database raises when it cannot be opened or read (the ID
    // draw reads it); nothing is changed then either.
    try {
        return AStore();
    } catch (const std::exception& e) {
        return {false, e.what(), std::current_exception()};
    }
}

TOtTaskItemPtr TOtTaskOperations::NewTaskItem(const TOtTaskClassPtr& ATaskClass,
                                              std::string_view ATitle) const {
    // Drawn before the item is made, whose constructor draws a provisional
    // ID of its own.
    std::string id = FRepository.NewUniqueTaskID();
    auto item = std::make_shared<TOtTaskItem>(Trim(ATitle), ATaskClass);
    item->SetID(std::move(id));
    item->ResetDirty();
    return item;
}

TOtTaskItemPtr TOtTaskOperations::PastedTaskItem(const TOtTaskClassPtr& ATaskClass,
                                                 std::string_view AClipboardText) const {
    if (!StartsWith(AClipboardText, TaskFilePathPrefix))
        return nullptr;
    TOtTaskItemPtr item =
        TOtTaskUtility::ParseTaskItem(ATaskClass, AClipboardText.substr(TaskFilePathPrefix.size()));
    if (!item)
        return nullptr;
    item->SetID(FRepository.NewUniqueTaskID());
    item->SetCreateDateTime(Now());
    item->ResetDirty();
    return item;
}

TTaskOpResult TOtTaskOperations::RestoreTrashedTask(TOtTaskClassList& AList,
                                                    const TTrashedTask& ATask,
                                                    TOtTaskItemPtr* ARestored) const {
    if (!ATask.Class || !ATask.Item)
        return Refused("The deleted task cannot be read.");
    TOtTaskClassPtr cls;
    for (const auto& c : AList)
        if (c && c->ID() == ATask.Class->ID())
            cls = c;
    for (const auto& c : AList)
        if (!cls && c && c->Title() == ATask.Class->Title())
            cls = c;
    if (!cls)
        if (const TTaskOpResult r = AddTaskClass(AList, ATask.Class->Title(), &cls); !r)
            return r;
    const TOtTaskItem& kept = *ATask.Item;
    auto item = std::make_shared<TOtTaskItem>(kept.Title(), kept.Remarks(), kept.Status(),
                                              kept.ExpirationDate(), kept.AlertTime(), cls,
                                              nullptr);
    item->SetID(FRepository.NewUniqueTaskID());
    item->SetPriority(kept.Priority());
    item->SetCreateDateTime(kept.CreateDateTime());
    item->SetFinishDateTime(kept.FinishDateTime());
    item->ResetDirty();
    if (const TTaskOpResult r = AddTaskItem(item); !r)
        return r;
    // Taken back: a second restore would make a second copy.
    TOtTaskTrash(FRepository.Paths()).Forget(ATask);
    if (ARestored)
        *ARestored = item;
    return kDone;
}

void TOtTaskOperations::SetCompleted(TOtTaskItem& AItem, bool ACompleted) {
    if (!ACompleted) {
        AItem.SetStatus(tsNotCompleted);
        AItem.SetFinishDateTime(0);
    } else if (AItem.Status() == tsNotCompleted) {
        AItem.SetStatus(tsCompleted);
        AItem.SetFinishDateTime(Now());
    }
}

TTaskOpResult TOtTaskOperations::AddTaskItem(const TOtTaskItemPtr& ATaskItem, int* AIndex) const {
    const TOtTaskClassPtr cls = ATaskItem ? ATaskItem->TaskClass() : nullptr;
    if (!cls)
        return Refused("The task item has no task class.");
    return Locked([&] {
        std::string error;
        if (!FRepository.CreateTaskItem(ATaskItem, &error))
            return Refused(error.empty() ? "The task item could not be created." : error);
        TOtTaskItemList& list = cls->TaskList();
        const int index = GetRightIndex(list, *ATaskItem);
        list.insert(list.begin() + index, ATaskItem);
        if (AIndex)
            *AIndex = index;
        return kDone;
    });
}

TTaskOpResult TOtTaskOperations::CompleteTaskItem(const TOtTaskItemPtr& ATaskItem,
                                                  bool ACompleted) const {
    return EditTaskItem(ATaskItem, [&](TOtTaskItem& item) { SetCompleted(item, ACompleted); });
}

TTaskOpResult
TOtTaskOperations::EditTaskItem(const TOtTaskItemPtr& ATaskItem,
                                const std::function<void(TOtTaskItem&)>& AChange) const {
    if (!ATaskItem)
        return Refused("There is no task item to change.");
    const TTaskItemState before(*ATaskItem);
    AChange(*ATaskItem);
    return StoreTaskItem(ATaskItem, before);
}

TTaskOpResult TOtTaskOperations::StoreTaskItem(const TOtTaskItemPtr& ATaskItem,
                                               const TTaskItemState& ABefore) const {
    if (!ATaskItem)
        return Refused("There is no task item to change.");
    TOtTaskItem& item = *ATaskItem;
    // The values wanted, set once each on the values before: the item's
    // snapshot then holds exactly what its file was stored with, however
    // often the caller set a value.
    const TTaskItemState wanted(item);
    ABefore.RestoreTo(item);
    wanted.ApplyTo(item, true);
    if (!item.IsDirty())
        return kDone;
    const TOtTaskClassPtr from = item.OldTaskClass();
    const TOtTaskClassPtr to = item.TaskClass();
    const bool moved = item.IsTaskClassChange();
    TTaskOpResult result = Locked([&] {
        std::string error;
        if (!FRepository.EditTaskItem(ATaskItem, &error))
            return Refused(error.empty() ? "The task item could not be saved." : error);
        return kDone;
    });
    // A refused store that changed nothing leaves the item dirty; one that
    // got half-way (a new name, but not the remarks) has stored what its
    // file now says.
    if (!result) {
        if (item.IsDirty())
            ABefore.RestoreTo(item);
        return result;
    }
    if (moved && from && to) {
        EraseFrom(from->TaskList(), ATaskItem);
        to->TaskList().push_back(ATaskItem);
    }
    return result;
}

TTaskOpResult TOtTaskOperations::DeleteTaskItem(const TOtTaskItemPtr& ATaskItem,
                                                const std::function<void()>& ARemoving) const {
    if (!ATaskItem)
        return Refused("There is no task item to delete.");
    return Locked([&] {
        std::string error;
        if (!FRepository.DeleteTaskItem(ATaskItem, &error))
            return Refused(error.empty() ? "The task item could not be deleted." : error);
        if (ARemoving)
            ARemoving();
        if (const TOtTaskClassPtr cls = ATaskItem->TaskClass())
            EraseFrom(cls->TaskList(), ATaskItem);
        return kDone;
    });
}

TTaskOpResult TOtTaskOperations::AddTaskClass(TOtTaskClassList& AList, std::string_view ATitle,
                                              TOtTaskClassPtr* ACreated) const {
    TOtTaskClassPtr cls;
    try {
        cls = std::make_shared<TOtTaskClass>(FRepository.NewUniqueTaskID(), Trim(ATitle));
    } catch (const std::exception& e) {
        return {false, e.what(), std::current_exception()};
    }
    TTaskOpResult result = AddTaskClass(AList, cls);
    if (result && ACreated)
        *ACreated = cls;
    return result;
}

TTaskOpResult TOtTaskOperations::AddTaskClass(TOtTaskClassList& AList,
                                              const TOtTaskClassPtr& ATaskClass) const {
    if (!ATaskClass)
        return Refused("There is no task class to create.");
    return Locked([&] {
        std::string error;
        if (!FRepository.CreateTaskClass(ATaskClass, &error))
            return Refused(error.empty() ? "The task class could not be created." : error);
        AList.push_back(ATaskClass);
        return kDone;
    });
}

TTaskOpResult TOtTaskOperations::DeleteTaskClass(TOtTaskClassList& AList,
                                                 const TOtTaskClassPtr& ATaskClass,
                                                 const std::function<void()>& ARemoving) const {
    if (!ATaskClass)
        return Refused("There is no task class to delete.");
    return Locked([&] {
        std::string error;
        if (!FRepository.DeleteTaskClass(ATaskClass, &error))
            return Refused(error.empty() ? "The task class could not be deleted." : error);
        if (ARemoving)
            ARemoving();
        AList.erase(std::remove(AList.begin(), AList.end(), ATaskClass), AList.end());
        return kDone;
    });
}

} // namespace ot
