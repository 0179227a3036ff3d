// The operations that change the task tree on disk and record each change in
// the sync queue.

#include "repository/OtTaskRepository.h"

#include "repository/OtTaskIDIndex.h"

#include "common/AppPaths.h"
#include "common/FileUtil.h"
#include "common/Text.h"
#include "syncqueue/OtSyncQueueDBModel.h"
#include "syncqueue/OtSyncQueueUtility.h"
#include "tasks/OtTaskUtility.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <unistd.h>

namespace ot {

namespace fs = std::filesystem;

namespace {

bool Exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

bool IsDirectory(const std::string& path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
}

} // namespace

TOtTaskRepository::TOtTaskRepository(TAppPaths APaths) : FPaths(std::move(APaths)) {}

bool TOtTaskRepository::Record(unsigned AOperation, const std::vector<TSyncQueueArg>& AArgs) const {
    return TOtSyncQueueUtility::WriteToSyncQueue(FPaths.DBFileName, AOperation, AArgs);
}

std::string TOtTaskRepository::NewUniqueTaskID() const {
    TOtSyncQueueDBUtility db(FPaths.DBFileName);
    TOtTaskIDIndex onDisk(FPaths.TaskDataPath,
                          FPaths.UserDataPath.empty()
                              ? std::string()
                              : FPaths.UserDataPath + TOtTaskIDIndex::CacheFileName);
    onDisk.Refresh();
    for (;;) {
        std::string id = NewTaskID();
        if (!db.GetSyncQueueItem(id) && !onDisk.Holds(id))
            return id;
    }
}

bool TOtTaskRepository::CreateTaskClass(const TOtTaskClassPtr& ATaskClass) const {
    if (!ATaskClass)
        return false;
    const std::string dir = FPaths.TaskDataPath + ATaskClass->Path();
    if (Exists(dir))
        return true;
    // A name the file system cannot hold is refused before anything is made.
    if (!TOtTaskUtility::IsTaskClassStorable(*ATaskClass, FPaths.TaskDataPath))
        return false;
    MakeDirectories(dir);
    // A directory that could not be made is no creation to carry to the cloud.
    if (!IsDirectory(dir))
        return false;
    Record(0, {ATaskClass->ID(), ATaskClass->DirName()});
    return true;
}

bool TOtTaskRepository::DeleteTaskClass(const TOtTaskClassPtr& ATaskClass) const {
    if (!ATaskClass)
        return false;
    const std::string dir = FPaths.TaskDataPath + ATaskClass->Path();
    if (!Exists(dir))
        return false;
    DeleteDir(dir);
    Record(1, {ATaskClass->ID()});
    return !Exists(dir);
}

void TOtTaskRepository::DeleteDir(const std::string& sDirectory) {
    std::string dir = sDirectory;
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    std::vector<fs::path> entries;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        entries.push_back(it->path());
    for (const fs::path& entry : entries) {
        // A link is removed, never followed: deleting a class must not reach
        // outside its directory.
        std::error_code typeEc;
        if (fs::symlink_status(entry, typeEc).type() == fs::file_type::directory)
            DeleteDir(entry.string());
        else
            RemoveFile(entry);
    }
    dir.pop_back();
    RemoveEmptyDirectory(dir);
}

bool TOtTaskRepository::CreateTaskItem(const TOtTaskItemPtr& ATaskItem) const {
    if (!ATaskItem)
        return false;
    const std::string file = FPaths.TaskDataPath + ATaskItem->Path();
    if (Exists(file))
        return true;
    if (!TOtTaskUtility::IsTaskItemStorable(*ATaskItem, FPaths.TaskDataPath))
        return false;
    const bool saved = ATaskItem->SaveToFile(file);
    ATaskItem->ResetDirty();
    // Only a file that was written is a creation for the cloud.
    if (saved) {
        const TOtTaskClassPtr cls = ATaskItem->TaskClass();
        Record(2, {ATaskItem->ID(), ATaskItem->FileName(), cls ? cls->DirName() : std::string()});
    }
    return saved;
}

bool TOtTaskRepository::StoreUnderNewID(TOtTaskItem& AItem, const TOtTaskClassPtr& ATaskClass,
                                        const std::string& AOldFile) const {
    // The copy under the new ID is written first and the old file goes only
    // once that worked, so a full disk or a locked directory leaves the item
    // where it was, with its old ID and queue row.
    const std::string newID = NewUniqueTaskID();
    const std::string newName = AItem.FileNameWithID(newID) + ".tsk";
    const std::string newFile = FPaths.TaskDataPath + ATaskClass->Path() + newName;
    if (newName.size() > TOtTaskUtility::NameLimit(FPaths.TaskDataPath) ||
        !AItem.SaveToFile(newFile))
        return false;
    if (!RemoveFile(AOldFile)) {
        RemoveFile(newFile);
        return false;
    }
    const std::string oldID = AItem.ID();
    AItem.SetID(newID);
    AItem.ResetDirty();
    // The deletion of the old ID is recorded, but the creation is recorded
    // whatever the queue answers: an item that never reached the queue has
    // no row to mark.
    Record(4, {oldID});
    Record(2, {AItem.ID(), AItem.FileName(), ATaskClass->DirName()});
    return true;
}

bool TOtTaskRepository::RenewTaskItemID(const TOtTaskItemPtr& ATaskItem) const {
    if (!ATaskItem || !ATaskItem->TaskClass() || ATaskItem->IsDirty())
        return false;
    return StoreUnderNewID(*ATaskItem, ATaskItem->TaskClass(),
                           FPaths.TaskDataPath + ATaskItem->DiskPath());
}

bool TOtTaskRepository::EditTaskItem(const TOtTaskItemPtr& ATaskItem) const {
    if (!ATaskItem)
        return false;
    TOtTaskItem& item = *ATaskItem;
    // A new name the file system cannot hold is refused before anything is
    // written or removed.
    if (!TOtTaskUtility::IsTaskItemStorable(item, FPaths.TaskDataPath))
        return false;
    // The file is where it was loaded or last stored, which for a hand-made
    // name is not the name the old values build.
    const std::string oldFile = FPaths.TaskDataPath + item.DiskPath();
    const TOtTaskClassPtr cls = item.TaskClass();

    if (item.IsTaskClassChange()) {
        // Without a class to move to, the old file must stay where it is.
        if (!cls)
            return false;
        return StoreUnderNewID(item, cls, oldFile);
    }

    const std::string dirName = cls ? cls->DirName() : std::string();
    const std::string newFile = FPaths.TaskDataPath + item.Path();
    if (oldFile == newFile) {
        const bool saved = item.SaveToFile(newFile);
        Record(3, {item.FileName(), dirName, std::string(), std::string(), 2, item.ID()});
        item.ResetDirty();
        return saved;
    }

    if (!RenameFile(oldFile, newFile))
        return false;
    bool result = true;
    int kind = 1;
    if (item.IsTaskRemarksChange()) {
        result = item.SaveToFile(newFile);
        kind = 3;
    }
    Record(3, {item.FileName(), dirName, item.DiskFileName(), std::string(), kind, item.ID()});
    item.ResetDirty();
    return result;
}

bool TOtTaskRepository::DeleteTaskItem(const TOtTaskItemPtr& ATaskItem) const {
    if (!ATaskItem)
        return false;
    const std::string file = FPaths.TaskDataPath + ATaskItem->DiskPath();
    // A file that could not be removed is still the task: its row stays.
    if (Exists(file) && !RemoveFile(file))
        return false;
    Record(4, {ATaskItem->ID()});
    return true;
}

} // namespace ot
