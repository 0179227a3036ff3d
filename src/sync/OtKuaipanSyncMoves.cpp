// Step 1 of a pass, its moves: a task moved to another class gets a new ID
// there, so a move made on another computer shows here only as a copy under
// an unknown ID. These find that copy and settle a change or a move made here
// against it.

#include "sync/OtKuaipanSyncSteps.h"

#include "common/Text.h"
#include "syncqueue/OtSyncQueueDBModel.h"
#include "tasks/OtTaskUtility.h"

#include <algorithm>

namespace ot {

TOtTaskItemPtr TKuaipanSyncUtility::FindMovedCopy(TPass& pass, const TOtSyncQueueDB& row,
                                                  const TOtTaskClassPtr& cloudClass) {
    // A move gives the task a new ID in its new class. The copy there is
    // unknown here and has the title and creation time the task had when this
    // side last synchronized it.
    const std::string syncedName =
        row.TaskItemPath_Old().empty() ? row.TaskItemPath() : row.TaskItemPath_Old();
    const auto synced = TOtTaskUtility::ParseTaskItem(cloudClass, syncedName + ".tsk");
    if (!synced)
        return nullptr;
    TOtTaskItemPtr moved;
    for (const auto& c : FKuaipanTaskClassList) {
        if (c == cloudClass || !c->IsLoadTaskList())
            continue;
        for (const auto& item : c->TaskList())
            if (item->Title() == synced->Title() &&
                WholeSeconds(item->CreateDateTime()) == WholeSeconds(synced->CreateDateTime()) &&
                !pass.DB->GetSyncQueueItem(item->ID())) {
                if (moved)
                    return nullptr; // not one copy: nothing to go by
                moved = item;
            }
    }
    return moved;
}

bool TKuaipanSyncUtility::DropOtherMovedCopy(TPass& pass, const TOtSyncQueueDB& row,
                                             const TOtTaskClassPtr& cloudClass) {
    // The task was moved away from here, and another computer moved it as
    // well before this side's move reached the cloud: each move made a copy
    // with a new ID. The move pushed last wins, so the other copy goes and
    // the copy made here is uploaded by its own row.
    const TOtTaskItemPtr moved = FindMovedCopy(pass, row, cloudClass);
    if (!moved)
        return true;
    bool movedHere = false;
    for (const auto& c : FLocalTree.Snapshot())
        for (const auto& item : c.Items) {
            if (movedHere || item.Title != moved->Title())
                continue;
            TDateTime created = 0;
            FLocalTree.Inspect([&] { created = item.Item->CreateDateTime(); });
            if (WholeSeconds(created) != WholeSeconds(moved->CreateDateTime()))
                continue;
            const auto itemRow = pass.DB->GetSyncQueueItem(item.ID);
            movedHere = itemRow && itemRow->KuaipanFileID().empty() && itemRow->IsDelete() == 0;
        }
    if (!movedHere)
        return true; // only deleted here: the move made there survives
    const auto movedClass = moved->TaskClass();
    const std::string there = movedClass ? movedClass->Title() : std::string();
    if (!DeleteKuaipanPath(moved->KuaipanPath())) {
        _OutputSyncLog(
            Format("Delete task item \"%s\" in Kuaipan failed!", moved->FileName().c_str()));
        return false;
    }
    if (movedClass) {
        auto& items = movedClass->TaskList();
        items.erase(std::remove(items.begin(), items.end(), moved), items.end());
    }
    ++pass.Summary.Pushed;
    _OutputSyncLog(Format("Task item \"%s\" was moved to task class \"%s\" by another computer "
                          "as well; the move made here wins.",
                          row.TaskItemPath().c_str(), there.c_str()));
    return true;
}

bool TKuaipanSyncUtility::TakeMovedCopy(TPass& pass, const TOtSyncQueueDB& row,
                                        const TOtTaskClassPtr& cloudClass,
                                        [[maybe_unused]] const std::string& localFile) {
    // A move gives the task a new ID in its new class. The copy there is
    // unknown here and has the title and creation time the task had when this
    // side last synchronized it.
    const TOtTaskItemPtr moved = FindMovedCopy(pass, row, cloudClass);
    if (!moved)
        return false;

    // The move wins; what was changed here is merged into the moved copy,
    // conditional on the version of it that was listed.
    const auto movedClass = moved->TaskClass();
    bool ok = MergeWithCloud(pass, row, cloudClass, moved, movedClass, moved);
    if (!ok) {
        ++pass.Errors1;
        _OutputSyncLog(Format("Update task item \"%s\" in Kuaipan failed! (moved)",
                              row.TaskItemPath().c_str()));
        return true;
    }
    const auto tree = FLocalTree.Snapshot();
    for (const auto& c : tree)
        for (const auto& item : c.Items)
            if (item.ID == row.TaskItemID())
                ok = ok && FLocalTree.DeleteTaskItem(c.Class, item.Item);
    FRowsLeft.erase(row.TaskItemID());
    const char* name = row.TaskItemPath().c_str();
    const std::string to = movedClass ? movedClass->Title() : std::string();
    if (ok) {
        ++pass.Summary.Pushed;
        _OutputSyncLog(Format("Task item \"%s\" was moved to task class \"%s\" by another "
                              "computer; the change made here goes with it.",
                              name, to.c_str()));
    } else {
        ++pass.Errors1;
        _OutputSyncLog(Format("Update task item \"%s\" in Kuaipan failed! (moved)", name));
    }
    return true;
}

} // namespace ot
