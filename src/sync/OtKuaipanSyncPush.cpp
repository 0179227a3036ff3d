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
    if (auto row = pass.DB->GetSyncQueueItem(ATaskItemID); row && IsSettled(*row))
        FRowsLeft[ATaskItemID] = std::make_unique<TOtSyncQueueDB>(std::move(*row));
    else
        FRowsLeft.erase(ATaskItemID);
}

std::optional<std::string> TKuaipanSyncUtility::LocalFileBytes(const std::string& APath) {
    std::optional<std::string> bytes;
    FLocalTree.Inspect([&] { bytes = ReadFileBytes(APath); });
    return bytes;
}

void TKuaipanSyncUtility::KeepContentIfChanged(TPass& pass, const std::string& ATaskItemID,
                                               const std::string& AName, const std::string& AFile,
                                               const std::optional<std::string>& ABefore) {
    if (LocalFileBytes(AFile) == ABefore)
        return;
    if (pass.DB->KeepContentPending(ATaskItemID))
        _OutputSyncLog(Format("Task item \"%s\" was changed during its upload; the change is "
                              "uploaded next time.",
                              AName.c_str()));
    RememberRow(pass, ATaskItemID);
}

void TKuaipanSyncUtility::Step1(TPass& pass) {
    _OutputSyncLog("Step 1:");
    _OutputSyncLog("Loading Kuaipan task class ...");
    _UpdateSyncStatusBar("Synchronizing - Step 1");
    if (!LoadKuaipanTaskClassList()) {
        _OutputSyncLog("Load Kuaipan task class failed!");
        return;
    }
    pass.Step1ListLoaded = true;
    pass.OpsAfterListing = FCloudOps;
    _OutputSyncLog("Load Kuaipan task class successfully!");

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
            if (FCloudOps != opsBefore && i + 1 < pass.R)
                PauseAfterRow();
        }
    }
    if (pass.Errors1 == 0)
        _OutputSyncLog("Step 1 finished.");
    else
        _OutputSyncLog(Format("Step 1 finished with %d error(s).", pass.Errors1));
}

void TKuaipanSyncUtility::PushClassRow(TPass& pass, const TOtSyncQueueDB& row) {
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
                                     TSyncType remainingSyncType,
                                     std::optional<TDateTime> modifyTime) {
    const TKuaipanFile info = GetKuaipanFileInfo(cloudPath);
    if (info.file_id.empty())
        return false;
    // Only the change that was read is settled: when the item changed again
    // meanwhile, the row keeps what the next pass has to push.
    const bool ok = pass.DB->SettlePushedRow(
        row.TaskItemID(), itemPath, row.TaskItemPath_Old(), row.SyncType(), info.file_id,
        modifyTime.value_or(info.modify_time), remainingSyncType);
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

void TKuaipanSyncUtility::PushItemRow(TPass& pass, const TOtSyncQueueDB& readRow) {
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
            const auto before = LocalFileBytes(L());
            TOtTaskItemPtr created;
            bool ok = CreateKuaipanTaskItem(name, cloudClass, created);
            if (ok) {
                const TKuaipanFile info = GetKuaipanFileInfo(F);
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
        // other computer may have changed.
        const bool changedThere =
            listed->FileName() !=
                (row.TaskItemPath_Old().empty() ? name : row.TaskItemPath_Old()) ||
            WholeSeconds(listed->TagDateTime()) > WholeSeconds(row.KuaipanModifyTime());
        if (changedThere)
            _OutputSyncLog(Format("Task item \"%s\" was changed in Kuaipan by another computer; "
                                  "the local deletion wins.",
                                  name.c_str()));
        if (DeleteKuaipanPath(listed->KuaipanPath())) {
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
        std::string fileID;
        const auto before = LocalFileBytes(L());
        const bool ok = UploadKuaipanFile(L(), F, fileID) && RecordPush(pass, row, F, name, stNone);
        if (ok)
            KeepContentIfChanged(pass, id, name, L(), before);
        if (ok)
            _OutputSyncLog(Format("Task item \"%s\" was deleted in Kuaipan by another computer; "
                                  "the local change wins and it is uploaded again.",
                                  name.c_str()));
        report(ok, "new");
        return;
    }
    // Changed on another computer since this side last had it: say who won.
    const bool renamedThere =
        listed->FileName() != (row.TaskItemPath_Old().empty() ? name : row.TaskItemPath_Old());
    if (renamedThere || WholeSeconds(listed->TagDateTime()) > WholeSeconds(row.KuaipanModifyTime()))
        _OutputSyncLog(Format("Task item \"%s\" was also changed in Kuaipan by another computer; "
                              "the local change wins.",
                              name.c_str()));
    bool atName = listed->FileName() == name;
    auto move = [&](const char* tag) {
        // The cloud copy is moved from the name it has there, which another
        // computer may have changed.
        bool ok = atName || MoveKuaipanFile(listed->KuaipanPath(), F);
        atName = ok;
        // After the move of a rename with new content, the content is still
        // to go: the row says so until the upload has been recorded too.
        const TSyncType remaining = row.SyncType() == stRenamedAndRewritten ? stRewritten : stNone;
        // Content written there since this side's copy stays the newer one,
        // so the pull brings it here.
        const bool contentThere = remaining == stNone && WholeSeconds(listed->TagDateTime()) >
                                                             WholeSeconds(row.KuaipanModifyTime());
        ok = ok && RecordPush(pass, row, F, name, remaining,
                              contentThere ? std::optional(row.KuaipanModifyTime()) : std::nullopt);
        if (ok) {
            row.SetTaskItemPath_Old("");
            row.SetSyncType(remaining);
        }
        return report(ok, tag);
    };
    auto upload = [&](const char* tag) {
        // Renamed there: the copy goes to the name pushed from here first, so
        // that one file per ID remains.
        bool ok = atName || MoveKuaipanFile(listed->KuaipanPath(), F);
        atName = ok;
        std::string fileID;
        const auto before = LocalFileBytes(L());
        ok = ok && UploadKuaipanFile(L(), F, fileID) && RecordPush(pass, row, F, name, stNone);
        if (ok)
            KeepContentIfChanged(pass, id, name, L(), before);
        return report(ok, tag);
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
}

} // namespace ot
