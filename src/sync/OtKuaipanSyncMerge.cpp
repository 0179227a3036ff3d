// The pass's view of what both sides changed: the base each task was last
// synchronized in, the merge of a task changed on both sides, the repair of
// two cloud files with one ID, and a cloud restored from a backup.

#include "sync/OtKuaipanSyncSteps.h"

#include "common/FileUtil.h"
#include "common/Text.h"
#include "syncqueue/OtSyncQueueDBModel.h"
#include "tasks/OtTaskUtility.h"

#include <filesystem>
#include <utility>

namespace ot {

namespace fs = std::filesystem;

namespace {

// The name the cloud copy of a linked item has, as its row tells.
std::string RowCloudName(const TOtSyncQueueDB& row) {
    return row.TaskItemPath_Old().empty() ? row.TaskItemPath() : row.TaskItemPath_Old();
}

// The remarks held by file content; nullopt when it is not a task file.
std::optional<std::string> RemarksOf(const std::optional<std::string>& bytes) {
    if (!bytes)
        return std::nullopt;
    std::string remarks;
    bool found = false;
    if (!TOtTaskUtility::ParseTaskFileContent(*bytes, remarks, found))
        return std::nullopt;
    return remarks;
}

} // namespace

TSyncTaskState TKuaipanSyncUtility::BaseState(TPass& pass, const TOtSyncQueueDB& row) {
    const std::string cloudName = RowCloudName(row);
    if (pass.Base) {
        // A base that does not name the file and time the row links to was
        // written before a change the row settled otherwise (or its write was
        // lost): the row is the truth.
        if (auto base = pass.Base->Find(row.TaskItemID());
            base && base->State.FileName == cloudName &&
            base->State.ClassPath == row.TaskClassPath() &&
            WholeSeconds(base->State.ModifyTime) == WholeSeconds(row.KuaipanModifyTime()))
            return base->State;
    }
    return TSyncTaskState{row.TaskClassPath(), cloudName, {}, row.KuaipanModifyTime()};
}

std::string TKuaipanSyncUtility::BaseRev(TPass& pass, const std::string& AID) {
    if (pass.Base)
        if (auto base = pass.Base->Find(AID))
            return base->Rev;
    return {};
}

TSyncPlanInput TKuaipanSyncUtility::PlanInputFor(TPass& pass, const TOtSyncQueueDB& row,
                                                 const TOtTaskItemPtr& listed,
                                                 const std::optional<std::string>& localBytes) {
    TSyncPlanInput in;
    if (!row.KuaipanFileID().empty())
        in.Base = BaseState(pass, row);
    if (row.IsDelete() == 0 && localBytes)
        in.Local =
            TSyncTaskState{row.TaskClassPath(), row.TaskItemPath(), ContentHash(*localBytes), 0};
    if (listed)
        in.Cloud = TSyncTaskState{row.TaskClassPath(), listed->FileName(),
                                  CloudHash(listed->KuaipanPath()), listed->TagDateTime()};
    in.LocalNamePending = row.SyncType() == 1 || row.SyncType() == 3;
    in.LocalContentPending = row.SyncType() == 2 || row.SyncType() == 3;
    in.LocalDeletePending = row.IsDelete() != 0;
    in.CloudRestored = pass.Restored;
    return in;
}

bool TKuaipanSyncUtility::MergeWithCloud(TPass& pass, const TOtSyncQueueDB& row,
                                         const TOtTaskClassPtr& ACloudClass,
                                         const TOtTaskItemPtr& listed,
                                         const TOtTaskClassPtr& ATargetClass,
                                         const TOtTaskItemPtr& ATarget) {
    const std::string& id = row.TaskItemID();
    const std::string name = row.TaskItemPath();
    // The local item as it is now.
    TOtTaskClassPtr localClass;
    TOtTaskItemPtr localItem;
    std::string localName;
    for (const auto& c : FLocalTree.Snapshot())
        for (const auto& item : c.Items)
            if (item.ID == id) {
                localClass = c.Class;
                localItem = item.Item;
                localName = item.FileName;
            }
    if (!localItem || localName != name)
        return false; // changed again meanwhile: the next pass decides anew
    const std::string localFile =
        Paths().TaskDataPath + FLocalTree.DiskDirName(row.TaskClassPath()) + "/" + name + ".tsk";
    const auto localBytes = LocalFileBytes(localFile);
    const auto localRemarks = RemarksOf(localBytes);

    // The cloud's version, whole.
    const TOtTaskItemPtr cloud = ATarget ? ATarget : listed;
    const auto temp = DownloadKuaipanFile(localFile, cloud->KuaipanPath());
    if (!temp)
        return false;
    const auto cloudBytes = ReadFileBytes(*temp);
    std::error_code ec;
    fs::remove(*temp, ec);
    const auto cloudRemarks = RemarksOf(cloudBytes);
    if (!localRemarks || !cloudRemarks)
        return false;

    const TSyncTaskState base = BaseState(pass, row);
    const auto baseItem = TOtTaskUtility::ParseTaskItem(localClass, base.FileName + ".tsk");
    auto localParsed = TOtTaskUtility::ParseTaskItem(localClass, name + ".tsk");
    const TOtTaskClassPtr cloudClass = ATargetClass ? ATargetClass : localClass;
    auto cloudParsed = TOtTaskUtility::ParseTaskItem(cloudClass, cloud->FileName() + ".tsk");
    if (!localParsed || !cloudParsed)
        return false;
    localParsed->SetRemarks(*localRemarks);
    cloudParsed->SetRemarks(*cloudRemarks);
    // A moved copy carries its own ID; the fields are what is merged.
    cloudParsed->SetID(localParsed->ID());

    TMergeSide localSide{localParsed, row.TaskClassPath(), row.UpdateDateTime(),
                         !base.Hash.empty() ? ContentHash(*localBytes) != base.Hash
                                            : row.SyncType() == 2 || row.SyncType() == 3};
    TMergeSide cloudSide{cloudParsed, cloudClass->DirName(), cloud->TagDateTime(),
                         !base.Hash.empty()
                             ? ContentHash(*cloudBytes) != base.Hash
                             : WholeSeconds(cloud->TagDateTime()) > WholeSeconds(base.ModifyTime)};
    const TMergeResult merged =
        MergeTaskItems(baseItem.get(), row.TaskClassPath(), localSide, cloudSide);
    const char* title = localParsed->Title().c_str();

    if (ATarget) {
        // Moved to another list on another computer: the merged task goes to
        // the moved copy (its ID and list), and this one goes.
        auto item = merged.Item;
        item->SetID(ATarget->ID());
        item->SetTaskClass(cloudClass);
        const std::string content = TOtTaskUtility::TaskFileContent(item->Remarks());
        const std::string targetPath = ItemCloudPath(cloudClass->DirName(), item->FileName());
        const fs::path stage = TempNameBeside(localFile);
        bool ok = WriteFileAtomic(stage, content);
        std::string rev = CloudRev(ATarget->KuaipanPath());
        bool conflict = false;
        if (ok && targetPath != ATarget->KuaipanPath()) {
            ok = MoveKuaipanFile(ATarget->KuaipanPath(), targetPath, rev, &conflict);
            rev = ok ? GetKuaipanFileInfo(targetPath).rev : rev;
        }
        std::string fileID;
        ok = ok && UploadKuaipanFile(stage.string(), targetPath, fileID, rev, &conflict);
        fs::remove(stage, ec);
        if (!ok)
            return false;
        if (ATargetClass)
            for (auto& c : ATargetClass->TaskList())
                if (c == ATarget) {
                    c = std::make_shared<TOtTaskItem>(ATargetClass);
                    TOtTaskUtility::AssignTaskItem(item, c, 3);
                    c->SetTaskClass(ATargetClass);
                    c->SetTagString(fileID);
                    // Its content is newer than any copy here: the pull takes it.
                    c->SetTagDateTime(GetKuaipanFileInfo(targetPath).modify_time);
                }
        ReportMerge(title, merged);
        return true;
    }

    const std::string mergedName = merged.Item->FileName();
    const fs::path stage = TempNameBeside(localFile);
    if (!WriteFileAtomic(stage, TOtTaskUtility::TaskFileContent(merged.Item->Remarks())))
        return false;
    // Here first: the merged task replaces the local one.
    if (mergedName != name &&
        !FLocalTree.RenameTaskItem(localClass, localItem, name, merged.Item)) {
        fs::remove(stage, ec);
        return false;
    }
    if (!FLocalTree.ReplaceTaskItemFile(localClass, localItem, mergedName, stage.string()))
        return false;
    // Then the cloud, conditional on the version merged with.
    const std::string from = listed->KuaipanPath();
    const std::string to = ItemCloudPath(row.TaskClassPath(), mergedName);
    std::string rev = CloudRev(from);
    bool conflict = false;
    if (from != to) {
        if (!MoveKuaipanFile(from, to, rev, &conflict))
            return false;
        rev = GetKuaipanFileInfo(to).rev;
    }
    const std::string mergedFile = Paths().TaskDataPath +
                                   FLocalTree.DiskDirName(row.TaskClassPath()) + "/" + mergedName +
                                   ".tsk";
    std::string fileID;
    if (!UploadKuaipanFile(mergedFile, to, fileID, rev, &conflict))
        return false;
    const TKuaipanFile info = GetKuaipanFileInfo(to);
    if (info.file_id.empty() ||
        !pass.DB->SetSyncQueueItem(id, mergedName, "", "", info.file_id, info.modify_time, stNone))
        return false;
    // The mirror holds the merged task from now on.
    for (auto& c : ACloudClass->TaskList())
        if (c == listed) {
            c = std::make_shared<TOtTaskItem>(ACloudClass);
            TOtTaskUtility::AssignTaskItem(merged.Item, c, 3);
            c->SetTaskClass(ACloudClass);
            c->SetTagString(info.file_id);
            c->SetTagDateTime(info.modify_time);
        }
    RememberRow(pass, id);
    ReportMerge(title, merged);
    return true;
}

bool TKuaipanSyncUtility::MergeIntoMovedCopy(TPass& pass, const TOtSyncQueueDB& row,
                                             const TOtTaskItemPtr& listed) {
    const TSyncTaskState base = BaseState(pass, row);
    const auto parsedClass = TOtTaskUtility::ParseTaskClass(row.TaskClassPath());
    if (!parsedClass)
        return false;
    const auto baseItem = TOtTaskUtility::ParseTaskItem(parsedClass, base.FileName + ".tsk");
    if (!baseItem)
        return false;
    // The copy the move made here: a new ID, not yet uploaded, with the
    // title and creation time the task had when it was last synchronized.
    TOtTaskClassPtr movedClass;
    TOtTaskItemPtr moved;
    std::string movedName;
    int found = 0;
    for (const auto& c : FLocalTree.Snapshot())
        for (const auto& item : c.Items) {
            if (item.ID == row.TaskItemID() || item.Title != baseItem->Title())
                continue;
            // Compared as the file names carry them (to the minute).
            const auto named = TOtTaskUtility::ParseTaskItem(c.Class, item.FileName + ".tsk");
            if (!named ||
                WholeSeconds(named->CreateDateTime()) != WholeSeconds(baseItem->CreateDateTime()))
                continue;
            const auto itemRow = pass.DB->GetSyncQueueItem(item.ID);
            if (!itemRow || !itemRow->KuaipanFileID().empty() || itemRow->IsDelete() != 0)
                continue;
            ++found;
            movedClass = c.Class;
            moved = item.Item;
            movedName = item.FileName;
        }
    if (found != 1)
        return false;

    const std::string movedFile =
        Paths().TaskDataPath + movedClass->DiskDirName() + "/" + movedName + ".tsk";
    const auto movedBytes = LocalFileBytes(movedFile);
    const auto movedRemarks = RemarksOf(movedBytes);
    const auto temp = DownloadKuaipanFile(movedFile, listed->KuaipanPath());
    if (!temp || !movedRemarks)
        return false;
    const auto cloudBytes = ReadFileBytes(*temp);
    std::error_code ec;
    fs::remove(*temp, ec);
    const auto cloudRemarks = RemarksOf(cloudBytes);
    auto localParsed = TOtTaskUtility::ParseTaskItem(movedClass, movedName + ".tsk");
    auto cloudParsed = TOtTaskUtility::ParseTaskItem(movedClass, listed->FileName() + ".tsk");
    if (!cloudRemarks || !localParsed || !cloudParsed)
        return false;
    localParsed->SetRemarks(*movedRemarks);
    cloudParsed->SetRemarks(*cloudRemarks);
    cloudParsed->SetID(localParsed->ID());
    // Fields are compared with the base as if the task had always been in
    // its new list: the move itself is this side's change of list.
    baseItem->SetID(localParsed->ID());
    const bool hashKnown = !base.Hash.empty();
    TMergeSide localSide{localParsed, movedClass->DirName(), row.UpdateDateTime(),
                         !hashKnown || ContentHash(*movedBytes) != base.Hash};
    TMergeSide cloudSide{cloudParsed, movedClass->DirName(), listed->TagDateTime(),
                         !hashKnown || ContentHash(*cloudBytes) != base.Hash};
    const TMergeResult merged =
        MergeTaskItems(baseItem.get(), movedClass->DirName(), localSide, cloudSide);
    const std::string mergedName = merged.Item->FileName();
    const fs::path stage = TempNameBeside(movedFile);
    if (!WriteFileAtomic(stage, TOtTaskUtility::TaskFileContent(merged.Item->Remarks())))
        return false;
    if (mergedName != movedName) {
        if (!FLocalTree.RenameTaskItem(movedClass, moved, movedName, merged.Item) ||
            !pass.DB->SetSyncQueueItem(localParsed->ID(), mergedName, "", "", "", 0, stNone)) {
            fs::remove(stage, ec);
            return false;
        }
    }
    if (!FLocalTree.ReplaceTaskItemFile(movedClass, moved, mergedName, stage.string()))
        return false;
    _OutputSyncLog(Format("Task item \"%s\" was moved here and changed in Kuaipan by another "
                          "computer; the change goes with the move.",
                          localParsed->Title().c_str()));
    ReportMerge(localParsed->Title(), merged);
    return true;
}

void TKuaipanSyncUtility::ReportMerge(const std::string& ATitle, const TMergeResult& AMerged) {
    _OutputSyncLog(Format("Task item \"%s\" was changed here and in Kuaipan by another computer; "
                          "the changes were merged.",
                          ATitle.c_str()));
    for (const auto& lost : AMerged.Lost)
        _OutputSyncLog(Format("Task item \"%s\": both computers changed it; the later change "
                              "won, the other value was %s.",
                              ATitle.c_str(), lost.c_str()));
    if (AMerged.RemarksJoined)
        _OutputSyncLog(Format("Task item \"%s\": both computers changed its remarks; both texts "
                              "are kept.",
                              ATitle.c_str()));
}

// ---- invariants ---------------------------------------------------------------

void TKuaipanSyncUtility::RepairCloudDuplicates(TPass& pass, int& AErrors) {
    const auto duplicates = std::exchange(FCloudDuplicates, {});
    for (const auto& d : duplicates) {
        CheckStop();
        if (KeepCollidingTasksApart(pass, d, AErrors))
            continue;
        const std::string keptPath = d.Kept->KuaipanPath();
        const std::string otherPath = d.Other->KuaipanPath();
        std::string targetPath = keptPath;
        std::string removedPath = otherPath;
        const std::string title = d.Kept->Title();
        // Both files are versions of one task: they are merged field by
        // field from the last synchronized state (when known), the newer
        // file standing for the later change, so nothing typed is lost.
        const std::string probe = Paths().TaskDataPath + d.Class->DirName() + ".dup";
        const auto keptTemp = DownloadKuaipanFile(probe, keptPath);
        const auto otherTemp = keptTemp ? DownloadKuaipanFile(probe, otherPath) : std::nullopt;
        const auto keptBytes = keptTemp ? ReadFileBytes(*keptTemp) : std::nullopt;
        const auto otherBytes = otherTemp ? ReadFileBytes(*otherTemp) : std::nullopt;
        std::error_code ec;
        if (otherTemp)
            fs::remove(*otherTemp, ec);
        const auto keptRemarks = RemarksOf(keptBytes);
        const auto otherRemarks = RemarksOf(otherBytes);
        bool ok = keptRemarks && otherRemarks;
        if (ok) {
            const auto base = pass.Base ? pass.Base->Find(d.Kept->ID()) : std::nullopt;
            const auto baseItem =
                base ? TOtTaskUtility::ParseTaskItem(d.Class, base->State.FileName + ".tsk")
                     : nullptr;
            const std::string baseHash = base ? base->State.Hash : std::string();
            auto kept = TOtTaskUtility::ParseTaskItem(d.Class, d.Kept->FileName() + ".tsk");
            auto other = TOtTaskUtility::ParseTaskItem(d.Class, d.Other->FileName() + ".tsk");
            ok = kept && other;
            if (ok) {
                kept->SetRemarks(*keptRemarks);
                other->SetRemarks(*otherRemarks);
                const TMergeSide keptSide{kept, d.Class->DirName(), d.Kept->TagDateTime(),
                                          baseHash.empty() || ContentHash(*keptBytes) != baseHash};
                const TMergeSide otherSide{other, d.Class->DirName(), d.Other->TagDateTime(),
                                           baseHash.empty() ||
                                               ContentHash(*otherBytes) != baseHash};
                const TMergeResult merged =
                    MergeTaskItems(baseItem.get(), d.Class->DirName(), otherSide, keptSide);
                const std::string mergedPath =
                    ItemCloudPath(d.Class->DirName(), merged.Item->FileName());
                // The merged task goes into the file that already has its
                // name (the other one, when its fields won), else into the
                // kept one, moved to that name.
                if (mergedPath == otherPath)
                    std::swap(targetPath, removedPath);
                std::string rev = CloudRev(targetPath);
                if (mergedPath != targetPath) {
                    ok = MoveKuaipanFile(targetPath, mergedPath, rev);
                    rev = ok ? GetKuaipanFileInfo(mergedPath).rev : rev;
                }
                std::string fileID;
                ok = ok &&
                     WriteFileAtomic(*keptTemp,
                                     TOtTaskUtility::TaskFileContent(merged.Item->Remarks())) &&
                     UploadKuaipanFile(*keptTemp, mergedPath, fileID, rev);
                if (ok) {
                    // The listing holds the merged file from now on.
                    const TKuaipanFile info = GetKuaipanFileInfo(mergedPath);
                    for (auto& c : d.Class->TaskList())
                        if (c == d.Kept) {
                            c = std::make_shared<TOtTaskItem>(d.Class);
                            TOtTaskUtility::AssignTaskItem(merged.Item, c, 3);
                            c->SetTaskClass(d.Class);
                            c->SetTagString(info.file_id);
                            c->SetTagDateTime(info.modify_time);
                        }
                    ReportMerge(title, merged);
                }
            }
        }
        if (keptTemp)
            fs::remove(*keptTemp, ec);
        ok = ok && DeleteKuaipanPath(removedPath, CloudRev(removedPath));
        if (ok) {
            ++pass.Summary.Pushed;
            const std::string removedName =
                removedPath == otherPath ? d.Other->FileName() : d.Kept->FileName();
            _OutputSyncLog(Format("Task item \"%s\" had two files in Kuaipan; \"%s\" was folded "
                                  "into the other.",
                                  title.c_str(), removedName.c_str()));
        } else {
            ++AErrors;
            _OutputSyncLog(Format("Task item \"%s\" has two files in Kuaipan; folding them into "
                                  "one failed!",
                                  title.c_str()));
        }
    }
}

bool TKuaipanSyncUtility::KeepCollidingTasksApart(TPass& pass, const TCloudDuplicate& d,
                                                  int& AErrors) {
    // This computer's task is the file its row is linked to. A version of it
    // made elsewhere keeps that file (a move or an upload to it); a second
    // file under another title is another task that drew the same ID on
    // another computer, and folding the two would lose one of them.
    const auto row = pass.DB->GetSyncQueueItem(d.Kept->ID());
    if (!row || row->KuaipanFileID().empty() || d.Kept->Title() == d.Other->Title())
        return false;
    const bool keptIsOurs = row->KuaipanFileID() == d.Kept->TagString();
    if (!keptIsOurs && row->KuaipanFileID() != d.Other->TagString())
        return false;
    const TOtTaskItemPtr& ours = keptIsOurs ? d.Kept : d.Other;
    const TOtTaskItemPtr& theirs = keptIsOurs ? d.Other : d.Kept;
    const std::string newName = theirs->FileNameWithID(FLocalTree.Repository().NewUniqueTaskID());
    const std::string from = theirs->KuaipanPath();
    TKuaipanFile moved;
    if (!MoveKuaipanFile(from, ItemCloudPath(d.Class->DirName(), newName), CloudRev(from),
                         nullptr, &moved)) {
        ++AErrors;
        _OutputSyncLog(Format("Task items \"%s\" and \"%s\" drew the same ID in Kuaipan; giving "
                              "\"%s\" a new ID failed!",
                              ours->Title().c_str(), theirs->Title().c_str(),
                              theirs->Title().c_str()));
        return true;
    }
    // The listing holds both from now on: ours under the ID, theirs under
    // its new one, which the pull takes as a task of its own.
    auto renamed = ParseCloudTaskItem(d.Class, newName + ".tsk");
    if (renamed) {
        renamed->SetTagString(moved.file_id.empty() ? theirs->TagString() : moved.file_id);
        renamed->SetTagDateTime(moved.modify_time != 0 ? moved.modify_time
                                                        : theirs->TagDateTime());
    }
    auto& listed = d.Class->TaskList();
    for (auto& c : listed)
        if (c == d.Kept)
            c = ours;
    if (renamed)
        listed.push_back(renamed);
    ++pass.Summary.Pushed;
    _OutputSyncLog(Format("Task items \"%s\" and \"%s\" drew the same ID in Kuaipan; \"%s\" was "
                          "given a new ID.",
                          ours->Title().c_str(), theirs->Title().c_str(), theirs->Title().c_str()));
    return true;
}

void TKuaipanSyncUtility::CheckCloudFingerprint(TPass& pass) {
    if (!pass.Base || FCloudFingerprint.empty())
        return;
    const std::string seen = pass.Base->Value("DataFingerprint");
    if (seen == FCloudFingerprint)
        return;
    if (!seen.empty()) {
        pass.Restored = true;
        _OutputSyncLog("The Kuaipan data was restored from a backup: task items missing there are "
                       "uploaded again, and nothing is deleted here in this pass.");
    }
}

void TKuaipanSyncUtility::SaveCloudFingerprint(TPass& pass) {
    if (pass.Base && !FCloudFingerprint.empty())
        pass.Base->SetValue("DataFingerprint", FCloudFingerprint);
}

} // namespace ot
