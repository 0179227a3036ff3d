#include "syncqueue/OtTaskDataCheckUtility.h"

#include "common/AppPaths.h"
#include "syncqueue/OtSyncQueueUtility.h"
#include "tasks/OtTaskUtility.h"

#include <filesystem>
#include <system_error>

namespace ot {

namespace fs = std::filesystem;

namespace {

enum class TPresence { Present, Absent, Unknown };

// Only a definite "not there" counts as absent: a path that cannot be
// examined (no permission, I/O error) must not cost the object its row.
TPresence Presence(const std::string& path, fs::file_type wanted) {
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (ec && ec != std::errc::no_such_file_or_directory && ec != std::errc::not_a_directory)
        return TPresence::Unknown;
    return st.type() == wanted ? TPresence::Present : TPresence::Absent;
}

// The lines name the item below its class with a backslash on every
// platform; they are texts for the user, not paths.
std::string ItemText(const std::string& classDir, const std::string& itemName) {
    return classDir + "\\" + itemName;
}

} // namespace

TOtTaskDataCheck::TOtTaskDataCheck(const TAppPaths& APaths, std::function<void()> AProcessEvents)
    : FPaths(APaths), FSyncQueueDB(APaths.DBFileName), FProcessEvents(std::move(AProcessEvents)) {}

void TOtTaskDataCheck::DoDataCheck() {
    FLogs.clear();
    AddMissingRows();
    RemoveRowsWithoutFiles();
    // Entries made by hand that the program does not take as tasks: named,
    // never synchronized, never removed.
    for (const auto& entry : TOtTaskUtility::ListLeftAloneEntries(FPaths.TaskDataPath))
        FLogs.push_back("Left alone: " + entry);
}

void TOtTaskDataCheck::AddMissingRows() {
    TOtTaskUtility::LoadTaskClassList(FPaths.TaskDataPath, FTaskClassList);
    for (const auto& cls : FTaskClassList) {
        bool classFine = FSyncQueueDB.GetSyncQueueItem(cls->ID()).has_value();
        if (!classFine) {
            classFine = TOtSyncQueueUtility::WriteToSyncQueue(FPaths.DBFileName, sqClassCreated,
                                                              {cls->ID(), cls->DirName()});
            FLogs.push_back("Add task class \"" + cls->DiskDirName() + "\" to \"SyncQueue\".");
        }
        // Items of a class that has no row would be rows without a class.
        if (classFine) {
            for (const auto& item : cls->TaskList()) {
                if (FSyncQueueDB.GetSyncQueueItem(item->ID()))
                    continue;
                // The row names the file as it lies, so the second phase
                // finds it and the check settles.
                TOtSyncQueueUtility::WriteToSyncQueue(
                    FPaths.DBFileName, sqItemCreated,
                    {item->ID(), item->DiskFileName(), cls->DirName()});
                FLogs.push_back("Add task item \"" +
                                ItemText(cls->DiskDirName(), item->DiskFileName()) +
                                "\" to \"SyncQueue\".");
            }
        }
        if (FProcessEvents)
            FProcessEvents();
    }
}

std::string TOtTaskDataCheck::DiskDirOf(const std::string& ADirName) const {
    // A directory spelled as the row has it is that row's, even when a
    // hand-made twin of the same ID exists beside it.
    for (const auto& cls : FTaskClassList)
        if (cls->DiskDirName() == ADirName)
            return ADirName;
    for (const auto& cls : FTaskClassList)
        if (cls->DirName() == ADirName)
            return cls->DiskDirName();
    return ADirName;
}

void TOtTaskDataCheck::RemoveRowsWithoutFiles() {
    FSyncQueueDB.ListSyncQueue(FSyncQueueList, "");
    const std::string root = FPaths.TaskDataPath;
    for (const auto& row : FSyncQueueList) {
        if (row.IsDelete() == 0) {
            if (!row.TaskClassPath().empty()) {
                const std::string file =
                    root + DiskDirOf(row.TaskClassPath()) + "/" + row.TaskItemPath() + ".tsk";
                if (Presence(file, fs::file_type::regular) == TPresence::Absent) {
                    FSyncQueueDB.DeleteSyncQueue(row.TaskItemID());
                    FLogs.push_back("Delete task item \"" +
                                    ItemText(row.TaskClassPath(), row.TaskItemPath()) +
                                    "\" from \"SyncQueue\".");
                }
            } else if (Presence(root + DiskDirOf(row.TaskItemPath()), fs::file_type::directory) ==
                       TPresence::Absent) {
                FSyncQueueDB.DeleteSyncQueue(row.TaskItemID());
                FLogs.push_back("Delete task class \"" + row.TaskItemPath() +
                                "\" from \"SyncQueue\".");
            }
        }
        if (FProcessEvents)
            FProcessEvents();
    }
}

} // namespace ot
