// Step 1 of a pass: the push of the queued local changes to the cloud.

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
#include <set>
#include <thread>
#include <unordered_map>

namespace ot {

namespace fs = std::filesystem;

void TKuaipanSyncUtility::RememberRow(TPass& pass, const std::string& ATaskItemID) {
    if (auto row = pass.DB->GetSyncQueueItem(ATaskItemID); row && IsSettled(*row)) {
        // Both sides agree on the task now: that is the base the next
        // change on either side is measured from.
        if (pass.Base && !row->TaskClassPath().empty()) {
            const std::string path = ItemCloudPath(row->TaskClassPath(), row->TaskItemPath());
            pass.Base->Record(ATaskItemID, {{row->TaskClassPath(), row->TaskItemPath(),
                                             CloudHash(path), row->KuaipanModifyTime()},
                                            CloudRev(path)});
        }
        FRowsLeft[ATaskItemID] = std::make_unique<TOtSyncQueueDB>(std::move(*row));
    } else {
        FRowsLeft.erase(ATaskItemID);
    }
}

std::optional<std::string> TKuaipanSyncUtility::LocalFileBytes(const std::string& APath) {
    std::optional<std::string> bytes;
    FLocalTree.Inspect([&] { bytes = ReadFileBytes(APath); });
    return bytes;
}

TLocalCopy TKuaipanSyncUtility::LocalCopy(const std::string& APath) {
    TLocalCopy copy;
    FLocalTree.Inspect([&] {
        copy.Stamp = FileStampOf(APath);
        copy.Bytes = ReadFileBytes(APath);
    });
    return copy;
}

void TKuaipanSyncUtility::KeepContentIfChanged(TPass& pass, const std::string& ATaskItemID,
                                               const std::string& AName, const std::string& AFile,
                                               const TLocalCopy& ABefore) {
    // The stamp alone says it: the file is not read again.
    std::optional<TFileStamp> now;
    FLocalTree.Inspect([&] { now = FileStampOf(AFile); });
    if (ABefore.Bytes && now == ABefore.Stamp)
        return;
    if (pass.DB->KeepContentPending(ATaskItemID))
        _OutputSyncLog(Format("Task item \"%s\" was changed during its upload; the change is "
                              "uploaded next time.",
                              AName.c_str()));
    RememberRow(pass, ATaskItemID);
}

void TKuaipanSyncUtility::Step1(TPass& pass) {
    _OutputSyncLog("Step 1:");
    // Before anything is compared: two files here with one ID would each
    // pass for the other.
    EnsureOneLocalFilePerID(pass);
    _OutputSyncLog("Loading Kuaipan task class ...");
    _UpdateSyncStatusBar("Synchronizing - Step 1");
    if (!LoadKuaipanTaskClassList()) {
        _OutputSyncLog("Load Kuaipan task class failed!");
        // Nothing could be compared with the cloud: the pass is no success.
        ++pass.Errors1;
        return;
    }
    pass.Step1ListLoaded = true;
    _OutputSyncLog("Load Kuaipan task class successfully!");
    CheckCloudFingerprint(pass);
    RepairCloudDuplicates(pass, pass.Errors1);
    if (FAfterListing)
        FAfterListing();
    ReviveClassesDeletedThere(pass);
    PushRenamedClasses(pass);
    // Lists renamed on another computer take their names here before any
    // row of theirs is pushed under the old name.
    for (const auto& cloudClass : TOtTaskClassList(FKuaipanTaskClassList))
        TakeClassRename(pass, cloudClass);
    pass.OpsAfterListing = FCloudOps;

    TOtSyncQueueList rows;
    try {
        pass.DB->ListRowsChangedSince(rows, FLastDateTimeSyncSuccess.load());
        pass.QueueRead = true;
    } catch (const ESyncQueueDBError&) {
        // Nothing was pushed: the watermark must stay.
        ++pass.Errors1;
    }
    if (pass.QueueRead) {
        // The watermark is the start of the last pass, so the rows that pass
        // wrote itself come back; those nobody touched since need nothing.
        std::erase_if(rows, [this](const TOtSyncQueueDB& row) {
            auto it = FRowsLeft.find(row.TaskItemID());
            if (it == FRowsLeft.end())
                return false;
            if (IsSettled(row) && SameRow(row, *it->second))
                return true;
            FRowsLeft.erase(it);
            return false;
        });
        // Class rows first, so that the items of a class created in this
        // pass find their folder whatever the order of equal times.
        std::stable_partition(rows.begin(), rows.end(), [](const TOtSyncQueueDB& row) {
            return row.TaskClassPath().empty();
        });
        // Then deletions: a move made here is a deletion and a creation, and
        // the deletion is where a change made there to the task is found and
        // taken into the new copy before that copy goes up.
        std::stable_partition(
            std::find_if(rows.begin(), rows.end(),
                         [](const TOtSyncQueueDB& row) { return !row.TaskClassPath().empty(); }),
            rows.end(), [](const TOtSyncQueueDB& row) { return row.IsDelete() != 0; });
        pass.R = static_cast<int>(rows.size());
        _OutputSyncLog(Format("Sync queue contains %d records!", pass.R));
        for (int i = 0; i < pass.R; ++i) {
            CheckStop();
            _UpdateSyncStatusBar(i + 1, pass.R, "Synchronizing - Step 1");
            const long long opsBefore = FCloudOps;
            if (rows[i].TaskClassPath().empty())
                PushClassRow(pass, rows[i]);
            else
                PushItemRow(pass, rows[i]);
            // Rows that needed no request need no pause either: a queue of
            // settled rows is read through at once.
            if (FCloudOps != opsBefore && i + 1 < pass.R && FRowPause.count() > 0)
                PauseAfterRow();
        }
    }
    if (pass.Errors1 == 0)
        _OutputSyncLog("Step 1 finished.");
    else
        _OutputSyncLog(Format("Step 1 finished with %d error(s).", pass.Errors1));
}

void TKuaipanSyncUtility::ReviveClassesDeletedThere(TPass& pass) {
    if (pass.Restored)
        return; // the pull uploads everything the restored cloud lacks
    for (const auto& local : FLocalTree.Snapshot()) {
        if (TOtTaskUtility::IndexOfTaskClassList(local.ID, FKuaipanTaskClassList) >= 0)
            continue;
        const auto classRow = pass.DB->GetSyncQueueItem(local.ID);
        if (!classRow || classRow->KuaipanFileID().empty() || classRow->IsDelete() != 0)
            continue;
        // Deleted on another computer while this one has work in it that
        // the other never saw: the list comes back in the cloud now with that
        // work, and the pull removes what the other computer deleted.
        std::vector<std::string> kept;
        for (const auto& item : local.Items) {
            const auto row = pass.DB->GetSyncQueueItem(item.ID);
            if (!row || !IsSettled(*row))
                kept.push_back(item.ID);
        }
        if (kept.empty())
            continue;
        CheckStop();
        const std::string dirName = classRow->TaskItemPath();
        std::string fileID;
        TOtTaskClassPtr created;
        if (!CreateKuaipanTaskClass(dirName, fileID, created) ||
            !pass.DB->SetKuaipanFileID(local.ID, fileID) || !pass.DB->UnlinkRows(kept)) {
            ++pass.Errors1;
            _OutputSyncLog(Format("Create task class \"%s\" in Kuaipan failed!", dirName.c_str()));
            continue;
        }
        for (const auto& id : kept)
            FRowsLeft.erase(id);
        RememberRow(pass, local.ID);
        created->SetTagString(fileID);
        created->SetIsLoadTaskList(true);
        FKuaipanTaskClassList.push_back(created);
        ++pass.Summary.Pushed;
        _OutputSyncLog(Format("Task class \"%s\" was deleted in Kuaipan by another computer; it "
                              "is created again for %d local task item(s) that are not "
                              "synchronized.",
                              local.Title.c_str(), static_cast<int>(kept.size())));
    }
}

bool TKuaipanSyncUtility::IsOwnName(const TOtSyncQueueDB& row) {
    // A row for a name made by hand (recorded by an older data check) is
    // left alone: such a file is neither uploaded nor deleted.
    if (TOtTaskUtility::IsWellFormedTaskID(row.TaskItemID()) &&
        TOtTaskUtility::IsUsableEntryName(row.TaskItemPath()) &&
        (row.TaskClassPath().empty() || TOtTaskUtility::IsUsableEntryName(row.TaskClassPath())))
        return true;
    std::string shown = row.TaskItemPath();
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20)
            c = '?';
    _OutputSyncLog(
        Format("\"%s\" is not a name this program writes; it is left alone.", shown.c_str()));
    return false;
}

bool TKuaipanSyncUtility::RecordClassRename(TPass& pass, const std::string& AID,
                                            const std::string& AFrom, const std::string& ATo) {
    const bool ok =
        pass.DB->ExeSQL("update [SyncQueue] set [TaskItemPath] = ? where [TaskItemID] = ?",
                        {ATo, AID}) &&
        pass.DB->ExeSQL("update [SyncQueue] set [TaskClassPath] = ? where [TaskClassPath] = ?",
                        {ATo, AFrom});
    if (pass.Base)
        pass.Base->RenameClassPath(AFrom, ATo);
    for (auto it = FRowsLeft.begin(); it != FRowsLeft.end();)
        it = it->second->TaskClassPath() == AFrom ? FRowsLeft.erase(it) : std::next(it);
    FRowsLeft.erase(AID);
    return ok;
}

void TKuaipanSyncUtility::PushRenamedClasses(TPass& pass) {
    bool renamed = false;
    for (const auto& local : FLocalTree.Snapshot()) {
        const std::string dirName = local.Class->DirName();
        const int index = TOtTaskUtility::IndexOfTaskClassList(local.ID, FKuaipanTaskClassList);
        if (index < 0)
            continue;
        auto classRow = pass.DB->GetSyncQueueItem(local.ID);
        const auto& cloudClass = FKuaipanTaskClassList[index];
        const std::string cloudName = cloudClass->DirName();
        if (cloudName == dirName)
            continue;
        if (!classRow) {
            // A data check dropped the row of the old name: the directory
            // here is what the user made.
            pass.DB->ExeSQL("insert or ignore into [SyncQueue] ([TaskItemID], [TaskItemPath]) "
                            "values (?, ?)",
                            {local.ID, dirName});
            classRow = pass.DB->GetSyncQueueItem(local.ID);
        }
        if (!classRow || classRow->IsDelete() != 0)
            continue;
        // Renamed here (its directory, by hand): the cloud still has the
        // name the row recorded, or, after a data check that recorded the
        // directory anew, the row knows only the new name.
        const bool linked = !classRow->KuaipanFileID().empty();
        if (linked && (!IsSettled(*classRow) || classRow->TaskItemPath() == dirName ||
                       classRow->TaskItemPath() != cloudName))
            continue;
        if (!linked && classRow->TaskItemPath() != dirName)
            continue;
        CheckStop();
        if (MoveKuaipanFile("/" + cloudName, "/" + dirName) &&
            (linked || pass.DB->SetKuaipanFileID(local.ID, cloudClass->TagString())) &&
            RecordClassRename(pass, local.ID, cloudName, dirName)) {
            renamed = true;
            ++pass.Summary.Pushed;
            _OutputSyncLog(Format("Task class \"%s\" was renamed here; it is renamed in Kuaipan "
                                  "too.",
                                  local.Title.c_str()));
        } else {
            ++pass.Errors1;
            _OutputSyncLog(
                Format("Rename task class \"%s\" in Kuaipan failed!", local.Title.c_str()));
        }
    }
    // The folders moved: the listing is taken again under their new names.
    if (renamed && !LoadKuaipanTaskClassList())
        ++pass.Errors1;
}

void TKuaipanSyncUtility::PushClassRow(TPass& pass, const TOtSyncQueueDB& row) {
    if (!IsOwnName(row))
        return;
    const std::string& id = row.TaskItemID();
    const char* path = row.TaskItemPath().c_str();
    const int index = TOtTaskUtility::IndexOfTaskClassList(id, FKuaipanTaskClassList);
    const bool listed = index >= 0;
    const bool linked = !row.KuaipanFileID().empty();

    if (!linked && row.IsDelete() == 0) {
        if (listed) {
            // Created by an earlier pass that could not record it: link it.
            const auto& cloudClass = FKuaipanTaskClassList[index];
            if (pass.DB->LinkNewRow(id, cloudClass->TagString()))
                RememberRow(pass, id);
            else
                ++pass.Errors1;
            return;
        }
        std::string fileID;
        TOtTaskClassPtr created;
        bool ok = CreateKuaipanTaskClass(row.TaskItemPath(), fileID, created);
        if (created) {
            created->SetTagString(fileID);
            created->SetIsLoadTaskList(true);
            FKuaipanTaskClassList.push_back(created);
        }
        if (ok && !pass.DB->SetKuaipanFileID(id, fileID)) {
            if (pass.DB->GetSyncQueueItem(id)) {
                ok = false;
            } else {
                // The class was deleted here while its folder was being made:
                // the folder goes too, or the next pull would bring it back.
                ok = DeleteKuaipanPath("/" + row.TaskItemPath());
                if (ok)
                    std::erase(FKuaipanTaskClassList, created);
            }
        }
        if (ok) {
            RememberRow(pass, id);
            ++pass.Summary.Pushed;
            _OutputSyncLog(Format("Create task class \"%s\" in Kuaipan successfully!", path));
        } else {
            ++pass.Errors1;
            _OutputSyncLog(Format("Create task class \"%s\" in Kuaipan failed!", path));
        }
    } else if (linked && row.IsDelete() == 1) {
        if (!listed) {
            // Gone on both sides: the row has served its purpose.
            if (!pass.DB->DeleteSyncQueue(id))
                ++pass.Errors1;
            return;
        }
        const auto cloudClass = FKuaipanTaskClassList[index];
        if (DeleteKuaipanPath("/" + cloudClass->DirName())) {
            // What the folder held goes with it, also what another computer
            // changed meanwhile: each is named.
            for (const auto& item : cloudClass->TaskList())
                _OutputSyncLog(Format("Task item \"%s\" in Kuaipan was deleted with its task "
                                      "class \"%s\".",
                                      item->FileName().c_str(), path));
            FKuaipanTaskClassList.erase(FKuaipanTaskClassList.begin() + index);
            ++pass.Summary.Pushed;
            if (pass.DB->DeleteSyncQueue(id)) {
                _OutputSyncLog(Format("Delete task class \"%s\" in Kuaipan successfully!", path));
            } else {
                ++pass.Errors1;
                _OutputSyncLog(Format(
                    "Delete task class \"%s\" in Kuaipan: its queue record could not be removed.",
                    path));
            }
        } else {
            ++pass.Errors1;
            _OutputSyncLog(Format("Delete task class \"%s\" in Kuaipan failed!", path));
        }
    } else {
        _OutputSyncLog(Format("Task class \"%s\" does not require sync.", path));
    }
}

bool TKuaipanSyncUtility::RecordPush(TPass& pass, const TOtSyncQueueDB& row,
                                     const std::string& cloudPath, const std::string& itemPath,
                                     TSyncType remainingSyncType, const TKuaipanFile* AReply) {
    const TKuaipanFile info =
        AReply ? StoredFileInfo(cloudPath, *AReply) : GetKuaipanFileInfo(cloudPath);
    if (info.file_id.empty())
        return false;
    // Only the change that was read is settled: when the item changed again
    // meanwhile, the row keeps what the next pass has to push.
    const bool ok =
        pass.DB->SettlePushedRow(row.TaskItemID(), itemPath, row.TaskItemPath_Old(),
                                 row.SyncType(), info.file_id, info.modify_time, remainingSyncType);
    if (ok)
        RememberRow(pass, row.TaskItemID());
    return ok;
}

bool TKuaipanSyncUtility::LinkCreatedItem(TPass& pass, const std::string& id,
                                          const std::string& classPath, const std::string& name,
                                          const TKuaipanFile& info) {
    if (pass.DB->LinkUploadedItem(id, name, info.file_id, info.modify_time)) {
        RememberRow(pass, id);
        return true;
    }
    const auto row = pass.DB->GetSyncQueueItem(id);
    if (!row) {
        // Deleted here while it was being uploaded: the cloud copy goes too,
        // or the next pull would bring the item back.
        return DeleteKuaipanPath(ItemCloudPath(classPath, name));
    }
    if (!row->KuaipanFileID().empty() || row->TaskItemPath() == name)
        return false;
    // Renamed (and perhaps rewritten) here while it was being uploaded: the
    // cloud copy has the old name, which the next pass moves and rewrites.
    return pass.DB->LinkRenamedWhileUploading(id, name, info.file_id, info.modify_time);
}

void TKuaipanSyncUtility::PushItemRow(TPass& pass, const TOtSyncQueueDB& AListedRow) {
    // The row as it is now: the one read at the start of the pass may have
    // been changed since, here (an edit, a list renamed) or by an earlier row.
    const auto fresh = pass.DB->GetSyncQueueItem(AListedRow.TaskItemID());
    if (!fresh)
        return;
    const TOtSyncQueueDB& readRow = *fresh;
    if (!IsOwnName(readRow))
        return;
    const char* classPath = readRow.TaskClassPath().c_str();
    const auto parsedClass = TOtTaskUtility::ParseTaskClass(readRow.TaskClassPath());
    const int classIndex =
        parsedClass ? TOtTaskUtility::IndexOfTaskClassList(parsedClass->ID(), FKuaipanTaskClassList)
                    : -1;
    if (classIndex < 0) {
        if (readRow.IsDelete() != 0) {
            // Deleted here, its class gone there: nothing is left to push.
            if (!pass.DB->DeleteSyncQueue(readRow.TaskItemID()))
                ++pass.Errors1;
            return;
        }
        if (IsSettled(readRow))
            return; // nothing to push; the pull decides about it
        // Its class is not in the cloud (deleted on another computer): the
        // pull keeps the class for this item and the next pass pushes both.
        // Until then the watermark must not pass this row.
        pass.RowSkipped = true;
        _OutputSyncLog(Format("Task item \"%s\" waits for its task class \"%s\" in Kuaipan.",
                              readRow.TaskItemPath().c_str(), classPath));
        return;
    }
    const TOtTaskClassPtr cloudClass = FKuaipanTaskClassList[classIndex];
    if (!cloudClass->IsLoadTaskList()) {
        if (LoadKuaipanTaskItemList("/" + readRow.TaskClassPath(), cloudClass,
                                    cloudClass->TaskList())) {
            cloudClass->SetIsLoadTaskList(true);
            _OutputSyncLog(Format("Load task list \"%s\" in Kuaipan successfully!", classPath));
        } else {
            // The row was not pushed: the pass must not count as a success.
            ++pass.Errors1;
            _OutputSyncLog(Format("Load task list \"%s\" in Kuaipan failed!", classPath));
            return;
        }
    }

    TOtSyncQueueDB row = readRow;
    const std::string& id = row.TaskItemID();
    const std::string name = row.TaskItemPath();
    auto& cloudItems = cloudClass->TaskList();
    const int itemIndex = TOtTaskUtility::IndexOfTaskItemList(id, cloudItems);
    const TOtTaskItemPtr listed = itemIndex >= 0 ? cloudItems[itemIndex] : nullptr;
    const std::string F = ItemCloudPath(row.TaskClassPath(), name);
    // The local file lies in the class's directory as it is really named
    // (asked only when the file is needed).
    const auto L = [&] {
        return Paths().TaskDataPath + FLocalTree.DiskDirName(row.TaskClassPath()) + "/" + name +
               ".tsk";
    };

    if (row.KuaipanFileID().empty() && row.IsDelete() == 0) {
        if (!listed) {
            const TLocalCopy before = LocalCopy(L());
            TOtTaskItemPtr created;
            TKuaipanFile stored;
            bool ok = before.Bytes &&
                      CreateKuaipanTaskItem(name, cloudClass, *before.Bytes, created, stored);
            if (ok) {
                const TKuaipanFile info = StoredFileInfo(F, stored);
                created->SetTagDateTime(info.modify_time);
                cloudItems.push_back(created);
                ok = !info.file_id.empty() &&
                     LinkCreatedItem(pass, id, row.TaskClassPath(), name, info);
            }
            if (ok)
                KeepContentIfChanged(pass, id, name, L(), before);
            if (ok) {
                ++pass.Summary.Pushed;
                _OutputSyncLog(
                    Format("Create task item \"%s\" in Kuaipan successfully!", name.c_str()));
            } else {
                ++pass.Errors1;
                _OutputSyncLog(Format("Create task item \"%s\" in Kuaipan failed!", name.c_str()));
            }
            return;
        }
        // On the cloud already but not linked here (an earlier pass stopped
        // after the upload, or its download failed): step 2 links it to the
        // cloud copy, or gives the local item a new ID when the cloud's is
        // another task that drew the same ID.
        return;
    }

    if (!row.KuaipanFileID().empty() && row.IsDelete() == 1) {
        if (!listed) {
            // Gone on both sides: the row has served its purpose.
            if (!DropOtherMovedCopy(pass, row, cloudClass) || !pass.DB->DeleteSyncQueue(id))
                ++pass.Errors1;
            return;
        }
        // The cloud copy is deleted under the name it has there, which an
        // other computer may have changed, and only in the version this
        // side's deletion is based on.
        const TSyncPlan plan = PlanTask(PlanInputFor(pass, row, listed, std::nullopt));
        if (plan.DeletionWinsOverChange && !MergeIntoMovedCopy(pass, row, listed))
            _OutputSyncLog(Format("Task item \"%s\" was changed in Kuaipan by another computer; "
                                  "the local deletion wins.",
                                  name.c_str()));
        bool conflict = false;
        if (DeleteKuaipanPath(listed->KuaipanPath(), CloudRev(listed->KuaipanPath()), &conflict)) {
            cloudItems.erase(cloudItems.begin() + itemIndex);
            FRowsLeft.erase(id);
            ++pass.Summary.Pushed;
            if (pass.DB->DeleteSyncQueue(id)) {
                _OutputSyncLog(
                    Format("Delete task item \"%s\" in Kuaipan successfully!", name.c_str()));
            } else {
                ++pass.Errors1;
                _OutputSyncLog(Format("Delete task item \"%s\" in Kuaipan: its queue record "
                                      "could not be removed.",
                                      name.c_str()));
            }
        } else if (conflict) {
            LookAgainAfterConflict(pass, readRow);
        } else {
            ++pass.Errors1;
            _OutputSyncLog(Format("Delete task item \"%s\" in Kuaipan failed!", name.c_str()));
        }
        return;
    }

    if (row.KuaipanFileID().empty() || row.IsDelete() != 0) {
        _OutputSyncLog(Format("Task item \"%s\" does not require sync.", name.c_str()));
        return;
    }

    // Linked, not deleted: carry a rename and/or a rewrite. Failures count,
    // so the watermark stays and the next pass tries again.
    auto report = [&](bool ok, const char* tag) {
        _OutputSyncLog(Format(ok ? "Update task item \"%s\" in Kuaipan successfully! (%s)"
                                 : "Update task item \"%s\" in Kuaipan failed! (%s)",
                              name.c_str(), tag));
        if (ok)
            ++pass.Summary.Pushed;
        else
            ++pass.Errors1;
        return ok;
    };

    const bool pending = row.SyncType() >= 1 && row.SyncType() <= 3;
    if (!pending) {
        if (row.SyncType() != 4)
            _OutputSyncLog(Format("Task item \"%s\" does not require sync.", name.c_str()));
        return;
    }
    if (!listed) {
        if (TakeMovedCopy(pass, row, cloudClass, L()))
            return;
        // Deleted on another computer while changed here: the change made
        // here wins and the item goes up again, which settles the conflict.
        const TLocalCopy before = LocalCopy(L());
        TKuaipanFile stored;
        const bool ok = before.Bytes && UploadKuaipanBytes(*before.Bytes, F, stored) &&
                        RecordPush(pass, row, F, name, stNone, &stored);
        if (ok)
            KeepContentIfChanged(pass, id, name, L(), before);
        if (ok)
            _OutputSyncLog(Format("Task item \"%s\" was deleted in Kuaipan by another computer; "
                                  "the local change wins and it is uploaded again.",
                                  name.c_str()));
        report(ok, "new");
        return;
    }

    // Decide from the three states: what changed here, what changed there.
    const TLocalCopy local = LocalCopy(L());
    const TSyncPlan plan = PlanTask(PlanInputFor(pass, row, listed, local.Bytes));
    if (plan.Action == TSyncAction::Merge) {
        report(MergeWithCloud(pass, row, cloudClass, listed), "merge");
        return;
    }
    if (plan.Action == TSyncAction::Link || plan.Action == TSyncAction::Pull) {
        // Nothing here differs from what was synchronized last (changed and
        // changed back), or both sides hold the same now: the row is settled
        // on the version it was based on, and the pull takes what the cloud
        // has.
        const bool same = plan.Action == TSyncAction::Link;
        const TKuaipanFile info = same ? GetKuaipanFileInfo(listed->KuaipanPath()) : TKuaipanFile();
        if (pass.DB->SettlePushedRow(id, name, row.TaskItemPath_Old(), row.SyncType(),
                                     same ? info.file_id : row.KuaipanFileID(),
                                     same ? info.modify_time : row.KuaipanModifyTime(), stNone) &&
            same)
            RememberRow(pass, id);
        return;
    }

    bool atName = listed->FileName() == name;
    bool conflict = false;
    auto move = [&](const char* tag) {
        // The cloud copy is moved from the name it has there, conditional on
        // the version this side's change is based on.
        TKuaipanFile moved;
        bool ok = atName || MoveKuaipanFile(listed->KuaipanPath(), F,
                                            CloudRev(listed->KuaipanPath()), &conflict, &moved);
        atName = ok;
        // After the move of a rename with new content, the content is still
        // to go: the row says so until the upload has been recorded too.
        const TSyncType remaining = row.SyncType() == stRenamedAndRewritten ? stRewritten : stNone;
        ok = ok && RecordPush(pass, row, F, name, remaining, &moved);
        if (ok) {
            row.SetTaskItemPath_Old("");
            row.SetSyncType(remaining);
        }
        return conflict ? false : report(ok, tag);
    };
    auto upload = [&](const char* tag) {
        bool ok = atName || MoveKuaipanFile(listed->KuaipanPath(), F,
                                            CloudRev(listed->KuaipanPath()), &conflict);
        atName = ok;
        // What goes up is what the plan was made from, read once.
        TKuaipanFile stored;
        ok = ok && local.Bytes &&
             UploadKuaipanBytes(*local.Bytes, F, stored, CloudRev(F), &conflict) &&
             RecordPush(pass, row, F, name, stNone, &stored);
        if (ok)
            KeepContentIfChanged(pass, id, name, L(), local);
        return conflict ? false : report(ok, tag);
    };
    switch (row.SyncType()) {
    case 1:
        move("1");
        break;
    case 2:
        upload("2");
        break;
    case 3:
    default:
        if (move("3-a"))
            upload("3-b");
        break;
    }
    if (conflict)
        LookAgainAfterConflict(pass, readRow);
}

void TKuaipanSyncUtility::LookAgainAfterConflict(TPass& pass, const TOtSyncQueueDB& row) {
    // The cloud copy changed after this pass listed it (another computer's
    // pass ran meanwhile): nothing was overwritten. The cloud is listed
    // again (a move there shows in another folder) and the row decided once
    // more from what the cloud holds now.
    const char* name = row.TaskItemPath().c_str();
    _OutputSyncLog(Format("Task item \"%s\" was changed in Kuaipan by another computer during "
                          "this pass; it is compared again.",
                          name));
    if (pass.Retrying || !LoadKuaipanTaskClassList()) {
        ++pass.Errors1;
        _OutputSyncLog(Format("Update task item \"%s\" in Kuaipan failed! (changed)", name));
        return;
    }
    pass.Retrying = true;
    PushItemRow(pass, row);
    pass.Retrying = false;
}

} // namespace ot
