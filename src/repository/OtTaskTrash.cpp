#include "repository/OtTaskTrash.h"

#include "common/Clock.h"
#include "common/FileUtil.h"
#include "common/Text.h"
#include "tasks/OtTaskUtility.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <system_error>

namespace ot {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kStampFormat = "yyyymmddhhnnsszzz";

// The time an entry's name gives, or nothing for a name that is no entry.
std::optional<TDateTime> EntryTime(const std::string& name) {
    if (name.size() < 17 || (name.size() > 17 && name[17] != '-'))
        return std::nullopt;
    const auto p = ParseCompactDateTime(std::string_view(name).substr(0, 17));
    TDateTime out = 0;
    if (!p || !TryEncodeDateTime(*p, out))
        return std::nullopt;
    return out;
}

void RemoveTree(const fs::path& dir) {
    std::error_code ec;
    fs::remove_all(dir, ec);
}

// A pass that deletes a thousand tasks keeps a thousand entries: the trash is
// looked through for old ones at most once a minute of this process, not at
// every deletion.
bool PurgeDue() {
    static std::atomic<std::int64_t> last{0};
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::steady_clock::now().time_since_epoch())
                         .count();
    std::int64_t seen = last.load();
    return (seen == 0 || now - seen >= 60) && last.compare_exchange_strong(seen, now);
}

} // namespace

TOtTaskTrash::TOtTaskTrash(const TAppPaths& APaths) : FDir(APaths.UserDataPath + "trash/") {}

std::string TOtTaskTrash::NewEntry() const {
    if (!MakeDirectories(FDir))
        return {};
    const std::string stamp = FormatDateTime(kStampFormat, Now());
    for (int n = 0; n < 1000; ++n) {
        const std::string name = n == 0 ? stamp : stamp + "-" + std::to_string(n);
        std::error_code ec;
        if (fs::create_directory(FDir + name, ec))
            return FDir + name + "/";
        if (ec)
            return {};
    }
    return {};
}

bool TOtTaskTrash::KeepFile(const std::string& AClassDirName, const std::string& AFileName,
                            const std::string& ABytes) const {
    if (PurgeDue())
        Purge(Now() - KeepDays);
    const std::string entry = NewEntry();
    if (entry.empty() || !MakeDirectories(entry + AClassDirName))
        return false;
    if (WriteFileAtomic(entry + AClassDirName + "/" + AFileName, ABytes))
        return true;
    RemoveTree(entry);
    return false;
}

bool TOtTaskTrash::KeepDirectory(const std::string& AClassDirName,
                                 const std::string& ADirectory) const {
    if (PurgeDue())
        Purge(Now() - KeepDays);
    const std::string entry = NewEntry();
    if (entry.empty())
        return false;
    if (RenameFile(ADirectory, entry + AClassDirName))
        return true;
    RemoveTree(entry);
    return false;
}

std::vector<TTrashedTask> TOtTaskTrash::List() const {
    Purge(Now() - KeepDays);
    std::vector<TTrashedTask> out;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(FDir, ec)) {
        const std::string name = entry.path().filename().string();
        const auto deleted = EntryTime(name);
        std::error_code typeEc;
        if (!deleted || !entry.is_directory(typeEc))
            continue;
        for (const auto& classDir : fs::directory_iterator(entry.path(), typeEc)) {
            std::error_code e2;
            if (!classDir.is_directory(e2) || classDir.is_symlink(e2))
                continue;
            const std::string classDirName = classDir.path().filename().string();
            const TOtTaskClassPtr cls = TOtTaskUtility::ParseTaskClass(classDirName);
            if (!cls)
                continue;
            for (const auto& file : fs::directory_iterator(classDir.path(), e2)) {
                std::error_code e3;
                const std::string fileName = file.path().filename().string();
                if (!file.is_regular_file(e3) || file.is_symlink(e3) || !EndsWith(fileName, ".tsk"))
                    continue;
                TOtTaskItemPtr item = TOtTaskUtility::ParseTaskItem(cls, file.path().string());
                if (!item)
                    continue;
                out.push_back(
                    {name, *deleted, classDirName, fileName, file.path().string(), cls, item});
            }
        }
    }
    std::sort(out.begin(), out.end(), [](const TTrashedTask& a, const TTrashedTask& b) {
        return a.Entry != b.Entry ? a.Entry > b.Entry : a.FileName < b.FileName;
    });
    return out;
}

bool TOtTaskTrash::Forget(const TTrashedTask& ATask) const {
    if (!RemoveFile(ATask.File))
        return false;
    // The list's directory and the entry go once nothing is left in them.
    const fs::path classDir = fs::path(ATask.File).parent_path();
    RemoveEmptyDirectory(classDir);
    RemoveEmptyDirectory(classDir.parent_path());
    return true;
}

void TOtTaskTrash::Purge(TDateTime ABefore) const {
    std::error_code ec;
    std::vector<fs::path> old;
    for (const auto& entry : fs::directory_iterator(FDir, ec)) {
        const auto deleted = EntryTime(entry.path().filename().string());
        if (deleted && *deleted < ABefore)
            old.push_back(entry.path());
    }
    for (const auto& p : old)
        RemoveTree(p);
}

} // namespace ot
