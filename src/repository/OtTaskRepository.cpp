// The operations that change the task tree on disk and record each change in
// the sync queue.

#include "repository/OtTaskRepository.h"

#include "repository/OtTaskTrash.h"

#include "repository/OtTaskIDIndex.h"

#include "common/AppPaths.h"
#include "common/FileUtil.h"
#include "common/Text.h"
#include "syncqueue/OtSyncQueueDBModel.h"
#include "syncqueue/OtSyncQueueUtility.h"
#include "tasks/OtTaskUtility.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
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

namespace {

bool Fail(std::string* AError, const std::string& AText) {
    if (AError)
        *AError = AText;
    return false;
}

// After the file change was undone: what the queue database raised reaches
// the caller as before.
bool Undone(const std::exception_ptr& ARaised) {
    if (ARaised)
        std::rethrow_exception(ARaised);
    return false;
}

bool FailFile(std::string* AError, const char* AWhat, const std::string& APath) {
    return Fail(AError, Format("Cannot %s \"%s\": %s", AWhat, APath.c_str(), std::strerror(errno)));
}

void RemoveQuietly(const std::string& AFile) {
    const int saved = errno;
    RemoveFile(AFile);
    errno = saved;
}

// The new content of an item file, flushed to a temporary file beside
// ATarget; renamed over it once the change is recorded.
bool PrepareContent(const TOtTaskItem& AItem, const std::string& ATarget, std::string& ATemp,
                    std::string* AError) {
    ATemp = TempNameBeside(ATarget).string();
    std::string error;
    if (!WriteFileAtomic(ATemp, TOtTaskUtility::TaskFileContent(AItem.Remarks()), 0644, &error))
        return Fail(AError, error);
    return true;
}

} // namespace

bool TOtTaskRepository::Record(const std::vector<TSyncQueueChange>& AChanges, std::string* AError,
                               std::exception_ptr& ARaised) const {
    std::string detail;
    try {
        if (TOtSyncQueueUtility::RecordChanges(FPaths.DBFileName, AChanges, &detail))
            return true;
    } catch (const std::exception& e) {
        // Raised again once the file change is undone.
        ARaised = std::current_exception();
        detail = e.what();
    }
    return Fail(AError, Format("The change could not be recorded in the database \"%s\" (%s), "
                               "so it was not made.",
                               FPaths.DBFileName.c_str(), detail.c_str()));
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

bool TOtTaskRepository::CreateTaskClass(const TOtTaskClassPtr& ATaskClass,
                                        std::string* AError) const {
    if (!ATaskClass)
        return false;
    if (ATaskClass->IsIDProvisional())
        ATaskClass->ReplaceProvisionalID(NewUniqueTaskID());
    const std::string dir = FPaths.TaskDataPath + ATaskClass->Path();
    if (Exists(dir))
        return true;
    // A name the file system cannot hold is refused before anything is made.
    if (!TOtTaskUtility::IsTaskClassStorable(*ATaskClass, FPaths.TaskDataPath))
        return Fail(AError, "The task class title is too long to be stored.");
    MakeDirectories(dir);
    // A directory that could not be made is no creation to carry to the cloud.
    if (!IsDirectory(dir))
        return FailFile(AError, "create the directory", dir);
    std::exception_ptr raised;
    if (!Record({{sqClassCreated, {ATaskClass->ID(), ATaskClass->DirName()}}}, AError, raised)) {
        RemoveEmptyDirectory(dir);
        return Undone(raised);
    }
    return true;
}

bool TOtTaskRepository::DeleteTaskClass(const TOtTaskClassPtr& ATaskClass,
                                        std::string* AError) const {
    if (!ATaskClass)
        return false;
    const std::string dir = FPaths.TaskDataPath + ATaskClass->Path();
    if (!Exists(dir))
        return false;
    // The directory is first moved out of the tree under a name no loader
    // reads, which a failed record can move back; only then is it removed.
    std::string trimmed = dir;
    while (!trimmed.empty() && trimmed.back() == '/')
        trimmed.pop_back();
    const std::string aside = TempNameBeside(trimmed).string();
    if (!RenameFile(trimmed, aside))
        return FailFile(AError, "remove the directory", dir);
    std::exception_ptr raised;
    if (!Record({{sqClassDeleted, {ATaskClass->ID()}}}, AError, raised)) {
        RenameFile(aside, trimmed);
        return Undone(raised);
    }
    // Its tasks are kept among the recently deleted; when they cannot be,
    // the deletion still stands.
    if (!TOtTaskTrash(FPaths).KeepDirectory(fs::path(trimmed).filename().string(), aside))
        DeleteDir(aside);
    return true;
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

bool TOtTaskRepository::CreateTaskItem(const TOtTaskItemPtr& ATaskItem, std::string* AError) const {
    if (!ATaskItem)
        return false;
    if (ATaskItem->IsIDProvisional()) {
        ATaskItem->SetID(NewUniqueTaskID());
        ATaskItem->ResetDirty();
    }
    const std::string file = FPaths.TaskDataPath + ATaskItem->Path();
    if (Exists(file))
        return true;
    if (!TOtTaskUtility::IsTaskItemStorable(*ATaskItem, FPaths.TaskDataPath))
        return Fail(AError, "The task title is too long to be stored.");
    std::string error;
    if (!WriteFileAtomic(file, TOtTaskUtility::TaskFileContent(ATaskItem->Remarks()), 0644, &error))
        return Fail(AError, error);
    const TOtTaskClassPtr cls = ATaskItem->TaskClass();
    std::exception_ptr raised;
    if (!Record({{sqItemCreated,
                  {ATaskItem->ID(), ATaskItem->FileName(), cls ? cls->DirName() : std::string()}}},
                AError, raised)) {
        RemoveQuietly(file);
        return Undone(raised);
    }
    ATaskItem->ResetDirty();
    return true;
}

bool TOtTaskRepository::StoreUnderNewID(TOtTaskItem& AItem, const TOtTaskClassPtr& ATaskClass,
                                        const std::string& AOldFile, std::string* AError) const {
    // The copy under the new ID is written first and the old file goes only
    // once that worked, so a full disk or a locked directory leaves the item
    // where it was, with its old ID and queue row. A record that fails moves
    // the copy back over the old name: the content is the same.
    const std::string newID = NewUniqueTaskID();
    const std::string newName = AItem.FileNameWithID(newID) + ".tsk";
    const std::string newFile = FPaths.TaskDataPath + ATaskClass->Path() + newName;
    if (newName.size() > TOtTaskUtility::NameLimit(FPaths.TaskDataPath))
        return Fail(AError, "The task title is too long to be stored.");
    std::string error;
    if (!WriteFileAtomic(newFile, TOtTaskUtility::TaskFileContent(AItem.Remarks()), 0644, &error))
        return Fail(AError, error);
    if (!RemoveFile(AOldFile)) {
        FailFile(AError, "remove", AOldFile);
        RemoveQuietly(newFile);
        return false;
    }
    // The deletion of the old ID finds no row when the item never reached
    // the queue; the creation is recorded all the same.
    std::exception_ptr raised;
    if (!Record({{sqItemDeleted, {AItem.ID()}},
                 {sqItemCreated, {newID, AItem.FileNameWithID(newID), ATaskClass->DirName()}}},
                AError, raised)) {
        RenameFile(newFile, AOldFile);
        return Undone(raised);
    }
    AItem.SetID(newID);
    AItem.ResetDirty();
    return true;
}

bool TOtTaskRepository::RenewTaskItemID(const TOtTaskItemPtr& ATaskItem,
                                        std::string* AError) const {
    if (!ATaskItem || !ATaskItem->TaskClass() || ATaskItem->IsDirty())
        return false;
    return StoreUnderNewID(*ATaskItem, ATaskItem->TaskClass(),
                           FPaths.TaskDataPath + ATaskItem->DiskPath(), AError);
}

bool TOtTaskRepository::EditTaskItem(const TOtTaskItemPtr& ATaskItem, std::string* AError) const {
    if (!ATaskItem)
        return false;
    TOtTaskItem& item = *ATaskItem;
    // A new name the file system cannot hold is refused before anything is
    // written or removed.
    if (!TOtTaskUtility::IsTaskItemStorable(item, FPaths.TaskDataPath))
        return Fail(AError, "The task title is too long to be stored.");
    // The file is where it was loaded or last stored, which for a hand-made
    // name is not the name the old values build.
    const std::string oldFile = FPaths.TaskDataPath + item.DiskPath();
    const TOtTaskClassPtr cls = item.TaskClass();

    if (item.IsTaskClassChange()) {
        // Without a class to move to, the old file must stay where it is.
        if (!cls)
            return false;
        return StoreUnderNewID(item, cls, oldFile, AError);
    }

    const std::string dirName = cls ? cls->DirName() : std::string();
    const std::string newFile = FPaths.TaskDataPath + item.Path();
    if (oldFile == newFile) {
        // A file removed behind the program's back is not written anew: the
        // task is gone, or lies under another name now.
        if (!Exists(oldFile)) {
            errno = ENOENT;
            return FailFile(AError, "write", oldFile);
        }
        // The new content waits beside the file until the change is recorded.
        std::string temp;
        if (!PrepareContent(item, newFile, temp, AError))
            return false;
        std::exception_ptr raised;
        if (!Record({{sqItemChanged,
                      {item.FileName(), dirName, std::string(), std::string(), ekRewritten,
                       item.ID()}}},
                    AError, raised)) {
            RemoveQuietly(temp);
            return Undone(raised);
        }
        if (!ReplaceWithFlushedFile(temp, newFile)) {
            // Recorded but not written: the next pass sends the old content
            // once more, which changes nothing.
            FailFile(AError, "write", newFile);
            RemoveQuietly(temp);
            return false;
        }
        item.ResetDirty();
        return true;
    }

    const bool rewrite = item.IsTaskRemarksChange();
    std::string temp;
    if (rewrite && !PrepareContent(item, newFile, temp, AError))
        return false;
    if (!RenameFile(oldFile, newFile)) {
        FailFile(AError, "rename", oldFile);
        if (rewrite)
            RemoveQuietly(temp);
        return false;
    }
    std::exception_ptr raised;
    if (!Record({{sqItemChanged,
                  {item.FileName(), dirName, item.DiskFileName(), std::string(),
                   rewrite ? ekRenamedAndRewritten : ekRenamed, item.ID()}}},
                AError, raised)) {
        RenameFile(newFile, oldFile);
        if (rewrite)
            RemoveQuietly(temp);
        return Undone(raised);
    }
    if (rewrite && !ReplaceWithFlushedFile(temp, newFile)) {
        // The new name is stored and recorded, the remarks are not: the item
        // takes back the remarks its file holds, so it says what is on disk.
        FailFile(AError, "write", newFile);
        RemoveQuietly(temp);
        item.LoadFromFile(newFile);
        item.ResetDirty();
        return false;
    }
    item.ResetDirty();
    return true;
}

bool TOtTaskRepository::DeleteTaskItem(const TOtTaskItemPtr& ATaskItem, std::string* AError) const {
    if (!ATaskItem)
        return false;
    const std::string file = FPaths.TaskDataPath + ATaskItem->DiskPath();
    // A record that fails puts the file back as it was: its bytes are kept
    // until then, and removing it freed at least the room they need. A file
    // that cannot be removed is still the task, and its row stays.
    std::string bytes;
    const bool existed = Exists(file);
    if (existed && (!ReadWholeFile(file, bytes) || !RemoveFile(file)))
        return FailFile(AError, "delete", file);
    std::exception_ptr raised;
    if (!Record({{sqItemDeleted, {ATaskItem->ID()}}}, AError, raised)) {
        if (existed)
            WriteFileAtomic(file, bytes);
        return Undone(raised);
    }
    if (existed) {
        const fs::path lies(ATaskItem->DiskPath());
        TOtTaskTrash(FPaths).KeepFile(lies.parent_path().string(), lies.filename().string(), bytes);
    }
    return true;
}

} // namespace ot
