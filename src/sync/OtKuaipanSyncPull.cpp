// Step 2 of a pass: the pull of the cloud's changes into the local tree.

#include "sync/OtKuaipanSyncSteps.h"

#include "cloud/KuaipanConsumer.h"
#include "cloud/KuaipanUtility.h"
#include "common/Clock.h"
#include "common/FileUtil.h"
#include "common/Text.h"
#include "syncqueue/OtSyncQueueDBModel.h"
#include "tasks/OtTaskUtility.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace ot {

namespace fs = std::filesystem;

// ---- step 2 -----------------------------------------------------------------

void TKuaipanSyncUtility::Step2(TPass& pass) {
    _OutputSyncLog("");
    _OutputSyncLog("Step 2:");
    _OutputSyncLog("Loading Kuaipan task class ...");
    _UpdateSyncStatusBar("Synchronizing - Step 2");
    // Step 1's listing still holds when step 1 sent nothing to the cloud.
    const bool listingHolds = pass.Step1ListLoaded && FCloudOps == pass.OpsAfterListing;
    if (!listingHolds && !LoadKuaipanTaskClassList()) {
        _OutputSyncLog("Load Kuaipan task class failed!");
        if (pass.Step1ListLoaded)
            ++pass.Errors2;
        return;
    }
    pass.Step2ListLoaded = true;
    if (!pass.Step1ListLoaded)
        CheckCloudFingerprint(pass);
    _OutputSyncLog("Load Kuaipan task class successfully!");
    // A second file for one ID that appeared while step 1 ran (another
    // computer's pass raced ours) is folded now, not left to the next pass.
    RepairCloudDuplicates(pass, pass.Errors2);

    // The list may change below (nothing in the pull changes the cloud), so
    // walk a copy of the pointers.
    const TOtTaskClassList cloudClasses = FKuaipanTaskClassList;
    const int count = static_cast<int>(cloudClasses.size());
    for (int i = 0; i < count; ++i) {
        CheckStop();
        _UpdateSyncStatusBar(i + 1, count, "Synchronizing - Step 2");
        PullClass(pass, cloudClasses[i]);
    }
    PruneLocal(pass);
    // The pass ends as it began: one file here per ID, and a queue row for
    // every object of the tree.
    EnsureOneLocalFilePerID(pass);
    RecordObjectsWithoutRow(pass);

    if (pass.Errors2 == 0)
        _OutputSyncLog("Step 2 finished.");
    else
        _OutputSyncLog(Format("Step 2 finished with %d error(s).", pass.Errors2));
}

void TKuaipanSyncUtility::RecordObjectsWithoutRow(TPass& pass) {
    // The queue must cover the tree: an object without a row (its recording
    // was lost, or the database was replaced) is never pushed. Those the
    // cloud holds were recorded by the pull above; the rest are recorded as
    // new here and go up next pass.
    std::unordered_map<std::string, TOtTaskClassPtr> cloudByID;
    for (const auto& c : FKuaipanTaskClassList)
        cloudByID.emplace(c->ID(), c);
    try {
        RecordObjectsWithoutRow(pass, cloudByID);
    } catch (const ESyncQueueDBError&) {
        ++pass.Errors2;
        _OutputSyncLog("Read the sync queue failed!");
    }
}

void TKuaipanSyncUtility::RecordObjectsWithoutRow(
    TPass& pass, const std::unordered_map<std::string, TOtTaskClassPtr>& cloudByID) {
    for (const auto& local : FLocalTree.Snapshot()) {
        const auto cloud = cloudByID.find(local.ID);
        const bool classInCloud = cloud != cloudByID.end();
        if (classInCloud && !cloud->second->IsLoadTaskList())
            continue; // its listing failed: nothing is known about its items
        const auto classRow = pass.DB->GetSyncQueueItem(local.ID);
        if (!classRow && !classInCloud) {
            int rows = 0;
            if (pass.DB->ExeSQL("insert or ignore into [SyncQueue] ([TaskItemID], [TaskItemPath]) "
                                "values (?, ?)",
                                {local.ID, local.Class->DirName()}, &rows) &&
                rows == 1)
                _OutputSyncLog(Format("Task class \"%s\" had no queue record: it was recorded "
                                      "and will be uploaded.",
                                      local.Title.c_str()));
        }
        if (!classRow && classInCloud)
            continue;
        std::unordered_set<std::string> inCloud;
        if (classInCloud)
            for (const auto& c : cloud->second->TaskList())
                inCloud.insert(c->ID());
        for (const auto& item : local.Items) {
            if (inCloud.count(item.ID) != 0 || pass.DB->GetSyncQueueItem(item.ID))
                continue;
            int rows = 0;
            if (pass.DB->ExeSQL("insert or ignore into [SyncQueue] ([TaskItemID], [TaskItemPath], "
                                "[TaskClassPath]) values (?, ?, ?)",
                                {item.ID, item.FileName, local.Class->DirName()}, &rows) &&
                rows == 1)
                _OutputSyncLog(Format("Task item \"%s\" in class \"%s\" had no queue record: it "
                                      "was recorded and will be uploaded.",
                                      item.Title.c_str(), local.Title.c_str()));
        }
    }
}

void TKuaipanSyncUtility::EnsureOneLocalFilePerID(TPass& pass) {
    // Two files here with one ID (a copy made by hand, or a move cut short):
    // the one the queue names keeps the ID, every other becomes a task of
    // its own, so neither overwrites the other anywhere.
    std::map<std::string, std::vector<std::pair<TOtTaskClassPtr, TLocalTaskItemInfo>>> byID;
    for (const auto& c : FLocalTree.Snapshot())
        for (const auto& item : c.Items)
            byID[item.ID].emplace_back(c.Class, item);
    for (const auto& [id, copies] : byID) {
        if (copies.size() < 2)
            continue;
        const auto row = pass.DB->GetSyncQueueItem(id);
        std::size_t keep = 0;
        for (std::size_t i = 0; i < copies.size(); ++i)
            if (row && copies[i].first->DirName() == row->TaskClassPath() &&
                copies[i].second.FileName == row->TaskItemPath())
                keep = i;
        for (std::size_t i = 0; i < copies.size(); ++i) {
            if (i == keep)
                continue;
            const auto& [cls, item] = copies[i];
            CheckStop();
            // The new ID is recorded as a deletion of the old one and a new
            // task; the old ID still has its kept copy, so its row is put
            // back as it was.
            const auto before = pass.DB->GetSyncQueueItem(id);
            const bool renewed = FLocalTree.RenewTaskItemID(cls, item.Item, item.FileName);
            if (renewed && before && before->KuaipanFileID().empty())
                pass.DB->ExeSQL("insert or ignore into [SyncQueue] ([TaskItemID], [TaskItemPath], "
                                "[TaskClassPath]) values (?, ?, ?)",
                                {id, before->TaskItemPath(), before->TaskClassPath()});
            else if (renewed && before)
                pass.DB->ExeSQL("update [SyncQueue] set [TaskItemPath] = ?, [SyncType] = ?, "
                                "[IsDelete] = ? where [TaskItemID] = ?",
                                {before->TaskItemPath(), std::int64_t{before->SyncType()},
                                 std::int64_t{before->IsDelete()}, id});
            if (renewed) {
                FRowsLeft.erase(id);
                _OutputSyncLog(Format("Task item \"%s\" had two files here with one ID; the one "
                                      "in class \"%s\" was given a new ID and will be uploaded.",
                                      item.Title.c_str(), cls->Title().c_str()));
            } else {
                ++pass.Errors2;
                _OutputSyncLog(Format("Task item \"%s\" has two files here with one ID; giving "
                                      "one a new ID failed!",
                                      item.Title.c_str()));
            }
        }
    }
}

bool TKuaipanSyncUtility::TakeClassRename(TPass& pass, const TOtTaskClassPtr& cloudClass) {
    TOtTaskClassPtr localClass;
    for (const auto& c : FLocalTree.Snapshot())
        if (c.ID == cloudClass->ID())
            localClass = c.Class;
    if (!localClass || localClass->DirName() == cloudClass->DirName())
        return true;
    // Renamed on another computer: the list takes the new name here too,
    // unless it was renamed here as well (then this side's name was pushed).
    const auto classRow = pass.DB->GetSyncQueueItem(cloudClass->ID());
    const std::string from = localClass->DirName();
    const std::string title = localClass->Title();
    if (!classRow || !IsSettled(*classRow) || classRow->TaskItemPath() != from)
        return true;
    if (FLocalTree.RenameTaskClass(localClass, cloudClass->Title()) &&
        RecordClassRename(pass, cloudClass->ID(), from, cloudClass->DirName())) {
        ++pass.Summary.Pulled;
        _OutputSyncLog(Format("Rename local task class \"%s\" to \"%s\" successfully!",
                              title.c_str(), cloudClass->Title().c_str()));
        return true;
    }
    ++pass.Errors2;
    _OutputSyncLog(Format("Rename local task class \"%s\" failed!", title.c_str()));
    return false;
}

bool TKuaipanSyncUtility::IsDeletionPending(TPass& pass, const std::string& AID) {
    const auto row = pass.DB->GetSyncQueueItem(AID);
    return row && row->IsDelete() != 0;
}

void TKuaipanSyncUtility::PullClass(TPass& pass, const TOtTaskClassPtr& cloudClass) {
    auto findLocal = [&](std::vector<TLocalTaskClassInfo>& tree) -> TLocalTaskClassInfo* {
        for (auto& c : tree)
            if (c.ID == cloudClass->ID())
                return &c;
        return nullptr;
    };
    auto tree = FLocalTree.Snapshot();
    TLocalTaskClassInfo* local = findLocal(tree);
    if (!local) {
        // Deleted here, and the deletion not yet pushed: the local change wins.
        if (IsDeletionPending(pass, cloudClass->ID()))
            return;
        const char* title = cloudClass->Title().c_str();
        if (FLocalTree.AddTaskClass(cloudClass->ID(), cloudClass->Title())) {
            if (pass.DB->SetKuaipanFileID(cloudClass->ID(), cloudClass->TagString()))
                RememberRow(pass, cloudClass->ID());
            else
                ++pass.Errors2;
            ++pass.Summary.Pulled;
            _OutputSyncLog(Format("Create local task class \"%s\" successfully!", title));
        } else {
            ++pass.Errors2;
            _OutputSyncLog(Format("Create local task class \"%s\" failed!", title));
        }
        tree = FLocalTree.Snapshot();
        local = findLocal(tree);
        if (!local)
            return;
    }
    if (local->Class->DirName() != cloudClass->DirName()) {
        if (!TakeClassRename(pass, cloudClass))
            return;
        tree = FLocalTree.Snapshot();
        local = findLocal(tree);
        if (!local)
            return;
    }
    // A class whose listing failed has an empty list only because of the
    // failure: pulling it would find nothing, and nothing may be taken from
    // it.
    if (!cloudClass->IsLoadTaskList())
        return;

    std::unordered_map<std::string, const TLocalTaskItemInfo*> localItems;
    for (const auto& item : local->Items)
        localItems.emplace(item.ID, &item);
    const TOtTaskItemList cloudItems = cloudClass->TaskList();
    for (const auto& cloudItem : cloudItems) {
        CheckStop();
        auto it = localItems.find(cloudItem->ID());
        PullItem(pass, cloudClass, local->Class, cloudItem,
                 it == localItems.end() ? nullptr : it->second);
    }
}

bool TKuaipanSyncUtility::TakeIDHeldInAnotherClass(TPass& pass, const TOtTaskClassPtr& cloudClass,
                                                   const TOtTaskClassPtr& localClass,
                                                   const TOtTaskItemPtr& cloudItem,
                                                   const TOtSyncQueueDB& row) {
    const std::string& id = cloudItem->ID();
    if (row.IsDelete() != 0 || row.TaskItemPath().empty())
        return false;
    // A move gives a task a new ID, so one ID in two classes is two tasks: two
    // computers drew it within the same two seconds, and each task went to a class
    // of its own. (A class renamed keeps its ID, the part before the '#'.)
    const std::string& rowClass = row.TaskClassPath();
    if (rowClass.substr(0, rowClass.find('#')) == localClass->ID())
        return false;
    TOtTaskClassPtr heldClass;
    TOtTaskItemPtr held;
    std::string heldFile, heldTitle;
    for (const auto& c : FLocalTree.Snapshot())
        if (c.Class->DirName() == rowClass)
            for (const auto& item : c.Items)
                if (item.ID == id) {
                    heldClass = c.Class;
                    held = item.Item;
                    heldFile = item.FileName;
                    heldTitle = item.Title;
                }
    if (!held)
        return false;
    // One of the two gives its task a new ID, the same one whichever computer
    // decides: the one never uploaded, else the one whose cloud file ID is the greater.
    const std::string& linked = row.KuaipanFileID();
    if (!linked.empty() && linked == cloudItem->TagString())
        return false;
    if (!linked.empty() && linked < cloudItem->TagString()) {
        _OutputSyncLog(Format("Task item \"%s\" in class \"%s\" in Kuaipan has the ID of local "
                              "task item \"%s\" in class \"%s\"; the other computer gives it a "
                              "new ID, and it comes here after that.",
                              cloudItem->Title().c_str(), cloudClass->Title().c_str(),
                              heldTitle.c_str(), heldClass->Title().c_str()));
        return true;
    }
    if (!FLocalTree.RenewTaskItemID(heldClass, held, heldFile)) {
        ++pass.Errors2;
        _OutputSyncLog(Format("Local task item \"%s\" in class \"%s\" has the ID of the task "
                              "item \"%s\" in class \"%s\" in Kuaipan; giving it a new ID failed!",
                              heldTitle.c_str(), heldClass->Title().c_str(),
                              cloudItem->Title().c_str(), cloudClass->Title().c_str()));
        return true;
    }
    FRowsLeft.erase(id);
    _OutputSyncLog(Format("Local task item \"%s\" in class \"%s\" had the ID of the task item "
                          "\"%s\" in class \"%s\" in Kuaipan: it was given a new ID and will be "
                          "uploaded.",
                          heldTitle.c_str(), heldClass->Title().c_str(), cloudItem->Title().c_str(),
                          cloudClass->Title().c_str()));
    // Its old copy in the cloud is deleted first; the other task comes down after.
    return IsDeletionPending(pass, id);
}

void TKuaipanSyncUtility::PullItem(TPass& pass, const TOtTaskClassPtr& cloudClass,
                                   const TOtTaskClassPtr& localClass,
                                   const TOtTaskItemPtr& cloudItem,
                                   const TLocalTaskItemInfo* localItem) {
    const char* title = cloudItem->Title().c_str();
    const char* classTitle = cloudClass->Title().c_str();

    if (!localItem) {
        // Deleted here and not yet pushed: the local deletion wins.
        if (const auto row = pass.DB->GetSyncQueueItem(cloudItem->ID());
            row && (row->IsDelete() != 0 ||
                    TakeIDHeldInAnotherClass(pass, cloudClass, localClass, cloudItem, *row)))
            return;
        auto item = std::make_shared<TOtTaskItem>(localClass);
        TOtTaskUtility::AssignTaskItem(cloudItem, item, 0);
        item->SetTaskClass(localClass);
        item->SetParent(nullptr);
        item->ResetDirty();
        const std::string fileName = item->FileName();
        const std::string localFile = Paths().TaskDataPath + item->Path();
        if (!FLocalTree.AddTaskItem(localClass, item)) {
            ++pass.Errors2;
            _OutputSyncLog(
                Format("Create local task item \"%s\" in class \"%s\" failed!", title, classTitle));
            return;
        }
        const auto temp = DownloadKuaipanFile(localFile, cloudItem->KuaipanPath());
        if (temp && FLocalTree.ReplaceTaskItemFile(localClass, item, fileName, *temp)) {
            if (pass.DB->SetKuaipanFileID(cloudItem->ID(), cloudItem->TagString(),
                                          cloudItem->TagDateTime()))
                RememberRow(pass, cloudItem->ID());
            else
                ++pass.Errors2;
            ++pass.Summary.Pulled;
            _OutputSyncLog(Format("Create local task item \"%s\" in class \"%s\" successfully!",
                                  title, classTitle));
        } else {
            ++pass.Errors2;
            // The item is the cloud's and comes again next pass. Left here
            // without its content and its link, it would pass for a task
            // made on this computer.
            FLocalTree.DeleteTaskItem(localClass, item);
            _OutputSyncLog(Format("Create local task item \"%s\" in class \"%s\" failed! (dl)",
                                  title, classTitle));
        }
        return;
    }

    const std::string& id = localItem->ID;
    auto row = pass.DB->GetSyncQueueItem(id);
    if (!row) {
        // An item without a row (its recording failed) may hold an edit that
        // was never recorded: the local copy wins and goes up next pass.
        const bool renamed = localItem->FileName != cloudItem->FileName();
        bool same = !renamed;
        if (same) {
            const std::string localFile = Paths().TaskDataPath + localItem->Path;
            const auto temp = DownloadKuaipanFile(localFile, cloudItem->KuaipanPath());
            same = temp && ReadFileBytes(*temp) == ReadFileBytes(localFile);
            std::error_code ec;
            if (temp)
                fs::remove(*temp, ec);
        }
        const TSyncType syncType = same ? stNone : renamed ? stRenamedAndRewritten : stRewritten;
        bool recorded = false;
        FLocalTree.Inspect([&] { recorded = pass.DB->CheckSyncQueueItem(localItem->Item.get()); });
        if (!recorded || !pass.DB->RecordPulledItem(
                             id, renamed ? cloudItem->FileName() : std::string(),
                             cloudItem->TagString(), cloudItem->TagDateTime(), syncType)) {
            ++pass.Errors2;
            _OutputSyncLog(Format("Record local task item \"%s\" in class \"%s\" failed!",
                                  localItem->Title.c_str(), classTitle));
            return;
        }
        FRowsLeft.erase(id);
        if (same)
            RememberRow(pass, id);
        else
            _OutputSyncLog(Format("Local task item \"%s\" in class \"%s\" had no queue record: "
                                  "the local copy wins and will be uploaded.",
                                  localItem->Title.c_str(), classTitle));
        return;
    }
    if (row->KuaipanFileID().empty() && row->IsDelete() == 0 &&
        localItem->FileName != cloudItem->FileName()) {
        // Two computers drew the same ID for two different tasks (IDs drawn
        // within the same two seconds differ only by chance). The one here
        // never reached the cloud, so nobody else knows its ID: it takes a
        // new one and goes up next pass, and the cloud's comes down beside it.
        if (!FLocalTree.RenewTaskItemID(localClass, localItem->Item, localItem->FileName)) {
            ++pass.Errors2;
            _OutputSyncLog(Format("Local task item \"%s\" in class \"%s\" has the ID of the "
                                  "task item \"%s\" in Kuaipan; giving it a new ID failed!",
                                  localItem->Title.c_str(), classTitle, title));
            return;
        }
        FRowsLeft.erase(id);
        _OutputSyncLog(Format("Local task item \"%s\" in class \"%s\" had the ID of the task "
                              "item \"%s\" in Kuaipan: it was given a new ID and will be "
                              "uploaded.",
                              localItem->Title.c_str(), classTitle, title));
        PullItem(pass, cloudClass, localClass, cloudItem, nullptr);
        return;
    }
    if (row->KuaipanFileID().empty() && row->IsDelete() == 0 && row->SyncType() == 0 &&
        row->TaskItemPath() == cloudItem->FileName()) {
        // Under the same name on the cloud already but not linked here (an
        // earlier pass stopped after the upload, or a restored cloud lacked
        // the item and another computer uploaded it first). The times say
        // nothing here: the row's is from before the unlink, the cloud's may
        // fall in the same second. The contents decide: the same, the row
        // is linked; different, the local copy wins and goes up next pass.
        const std::string localFile = Paths().TaskDataPath + localItem->Path;
        const auto temp = DownloadKuaipanFile(localFile, cloudItem->KuaipanPath());
        if (!temp) {
            ++pass.Errors2;
            _OutputSyncLog(Format("Update local task item \"%s\" remarks in class \"%s\" failed!",
                                  title, classTitle));
            return;
        }
        const bool same = ReadFileBytes(*temp) == ReadFileBytes(localFile);
        std::error_code ec;
        fs::remove(*temp, ec);
        if (!pass.DB->SettleOnCloudCopy(id, row->TaskItemPath(), row->TaskItemPath(),
                                        cloudItem->TagString(), cloudItem->TagDateTime()))
            return; // changed meanwhile: the next pass decides anew
        FRowsLeft.erase(id);
        if (same) {
            RememberRow(pass, id);
            return;
        }
        if (!pass.DB->KeepContentPending(id)) {
            ++pass.Errors2;
            _OutputSyncLog(Format("Record local task item \"%s\" in class \"%s\" failed!",
                                  localItem->Title.c_str(), classTitle));
            return;
        }
        _OutputSyncLog(Format("Local task item \"%s\" in class \"%s\" differs from its copy in "
                              "Kuaipan, which was not linked here: the local copy wins and will "
                              "be uploaded.",
                              localItem->Title.c_str(), classTitle));
        return;
    }
    if (row->SyncType() != 0 || row->IsDelete() != 0) {
        _OutputSyncLog(Format("Does not require to update local task item \"%s\" in class \"%s\".",
                              title, classTitle));
        return;
    }

    // Settles the row on the cloud copy, unless the item changed meanwhile.
    auto link = [&](const std::string& fromName, const std::string& toName, TDateTime modifyTime) {
        return pass.DB->SettleOnCloudCopy(id, fromName, toName, cloudItem->TagString(), modifyTime);
    };

    const bool contentNewer =
        WholeSeconds(row->KuaipanModifyTime()) < WholeSeconds(cloudItem->TagDateTime());
    std::string currentName = localItem->FileName;
    std::string rowName = row->TaskItemPath();
    if (localItem->FileName != cloudItem->FileName()) {
        // Until the content has come too, the row keeps the old time, so a
        // failed download is repeated.
        if (FLocalTree.RenameTaskItem(localClass, localItem->Item, localItem->FileName,
                                      cloudItem) &&
            link(rowName, cloudItem->FileName(),
                 contentNewer ? row->KuaipanModifyTime() : cloudItem->TagDateTime())) {
            currentName = rowName = cloudItem->FileName();
            ++pass.Summary.Pulled;
            RememberRow(pass, id);
            _OutputSyncLog(Format("Update local task item \"%s\" in class \"%s\" successfully!",
                                  title, classTitle));
        } else {
            ++pass.Errors2;
            _OutputSyncLog(
                Format("Update local task item \"%s\" in class \"%s\" failed!", title, classTitle));
        }
    }

    if (!contentNewer) {
        _OutputSyncLog(Format("Does not require to update local task item \"%s\" in class \"%s\".",
                              title, classTitle));
        return;
    }
    const std::string localFile = Paths().TaskDataPath + localClass->Path() + currentName + ".tsk";
    const auto before = ReadFileBytes(localFile);
    const auto temp = DownloadKuaipanFile(localFile, cloudItem->KuaipanPath());
    // Checked again at the moment of the replace: an edit made here while the
    // copy came down wins, and the next pass pushes it.
    bool editedMeanwhile = false;
    const auto unchanged = [&] {
        const auto now = pass.DB->GetSyncQueueItem(id);
        editedMeanwhile = !now || now->SyncType() != 0 || now->IsDelete() != 0 ||
                          now->TaskItemPath() != currentName || ReadFileBytes(localFile) != before;
        return !editedMeanwhile;
    };
    if (temp &&
        FLocalTree.ReplaceTaskItemFile(localClass, localItem->Item, currentName, *temp,
                                       unchanged) &&
        link(rowName, currentName, cloudItem->TagDateTime())) {
        ++pass.Summary.Pulled;
        RememberRow(pass, id);
        _OutputSyncLog(Format("Update local task item \"%s\" remarks in class \"%s\" successfully!",
                              title, classTitle));
    } else if (editedMeanwhile) {
        _OutputSyncLog(Format("Local task item \"%s\" in class \"%s\" was changed during the "
                              "download: the local change wins.",
                              title, classTitle));
    } else {
        ++pass.Errors2;
        _OutputSyncLog(Format("Update local task item \"%s\" remarks in class \"%s\" failed!",
                              title, classTitle));
    }
}

} // namespace ot
