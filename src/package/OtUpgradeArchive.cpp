#include "package/OtUpgradeArchive.h"

#include "common/FileUtil.h"
#include "common/Random.h"

#include <zip.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string_view>
#include <vector>

namespace ot {

namespace fs = std::filesystem;

namespace {

using ZipPtr = std::unique_ptr<zip_t, decltype(&zip_discard)>;

ZipPtr OpenZip(const std::string& file) {
    int error = 0;
    return ZipPtr(zip_open(file.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error), &zip_discard);
}

bool IsSafeEntryName(std::string_view name) {
    if (name.empty() || name.front() == '/' || name.find('\\') != std::string_view::npos)
        return false;
    // No control characters (a line break would not survive the install journal).
    for (const char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return false;
    for (const auto& part : fs::path(name))
        if (part == "..")
            return false;
    return true;
}

// The Unix mode bits of an entry, 0 when the archive does not record them.
zip_uint32_t UnixMode(zip_t* archive, zip_uint64_t index) {
    zip_uint8_t os = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(archive, index, 0, &os, &attributes) != 0 ||
        os != ZIP_OPSYS_UNIX)
        return 0;
    return attributes >> 16;
}

bool IsLinkEntry(zip_t* archive, zip_uint64_t index) {
    constexpr zip_uint32_t kTypeMask = 0170000, kLink = 0120000;
    return (UnixMode(archive, index) & kTypeMask) == kLink;
}

// An entry's path below the destination, without a trailing separator.
fs::path RelativePath(std::string_view name) {
    fs::path rel = fs::path(name).lexically_normal();
    return rel.has_filename() ? rel : rel.parent_path();
}

bool AllEntriesSafe(zip_t* archive) {
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    if (count < 0)
        return false;
    std::set<std::string> seen;
    for (zip_int64_t i = 0; i < count; ++i) {
        const auto index = static_cast<zip_uint64_t>(i);
        const char* name = zip_get_name(archive, index, 0);
        if (!name || !IsSafeEntryName(name) || IsLinkEntry(archive, index))
            return false;
        // Two entries for one path would make the result depend on their order.
        if (!seen.insert(RelativePath(name).string()).second)
            return false;
    }
    return true;
}

// A new directory beside the program for one install's files.
fs::path MakeWorkDir(const fs::path& dest, std::string_view kind) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        fs::path dir = dest / ("." + std::string(kind) + "-" +
                               RandomString("abcdefghijklmnopqrstuvwxyz0123456789", 8));
        std::error_code ec;
        if (fs::create_directory(dir, ec))
            return dir;
    }
    return {};
}

bool WriteNewFile(const fs::path& file, std::string_view data, unsigned mode) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    bool ok = true;
    while (ok && !data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            data.remove_prefix(static_cast<std::size_t>(n));
    }
    ok = ::fchmod(fd, mode) == 0 && ok;
    ok = ::fsync(fd) == 0 && ok;
    return ::close(fd) == 0 && ok;
}

enum class TStage { Ok, Corrupt, WriteFailed };

// Unpacks every entry below staging; the files (relative paths) in archive order.
TStage Stage(zip_t* archive, const fs::path& staging, std::vector<fs::path>& files,
             std::vector<fs::path>& dirs) {
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        const auto index = static_cast<zip_uint64_t>(i);
        const std::string name = zip_get_name(archive, index, 0);
        const fs::path rel = RelativePath(name);
        std::error_code ec;
        if (name.back() == '/') {
            fs::create_directories(staging / rel, ec);
            if (ec)
                return TStage::WriteFailed;
            dirs.push_back(rel);
            continue;
        }
        std::unique_ptr<zip_file_t, decltype(&zip_fclose)> file(zip_fopen_index(archive, index, 0),
                                                                &zip_fclose);
        if (!file)
            return TStage::Corrupt;
        std::string data;
        char buffer[65536];
        zip_int64_t n;
        while ((n = zip_fread(file.get(), buffer, sizeof buffer)) > 0)
            data.append(buffer, static_cast<std::size_t>(n));
        if (n < 0)
            return TStage::Corrupt; // a bad checksum shows here
        fs::create_directories((staging / rel).parent_path(), ec);
        // Programs of the package stay executable.
        const unsigned mode = (UnixMode(archive, index) & 0111) ? 0755 : 0644;
        if (ec || !WriteNewFile(staging / rel, data, mode))
            return TStage::WriteFailed;
        files.push_back(rel);
    }
    return TStage::Ok;
}

// ---- the journal ----------------------------------------------------------
//
// An install moves the staged files over the program's one by one. Before the
// first move it writes the journal: what is staged where, which files it
// replaces and which directories it makes. A kill at any moment leaves either
// no journal (nothing of the program directory has changed yet; only work
// directories to remove) or a journal from which the next start completes
// the install, file by file, whatever was done already:
//   staging/F present          F not yet in place (its old file may be in backup/)
//   staging/F gone             F in place (moved by the one rename that removes it)

constexpr const char* kJournalName = ".upgrade-journal";
constexpr std::string_view kJournalHead = "otUpgrade install journal 1";

std::function<void(const std::string&)>& StepHook() {
    static std::function<void(const std::string&)> hook;
    return hook;
}

void Step(const std::string& AStep) {
    if (StepHook())
        StepHook()(AStep);
}

struct TJournalFile {
    fs::path Rel;
    bool Replaces = false; // an old file of that name is kept in backup/
};

struct TJournal {
    std::string Staging, Backup; // names of the work directories in dest
    std::vector<fs::path> MadeDirs; // relative, parents first
    std::vector<TJournalFile> Files;
    std::string VersionFile, Version; // written once every file is in place
};

bool SyncDirectory(const fs::path& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool WriteJournal(const fs::path& dest, const TJournal& j) {
    std::string text = std::string(kJournalHead) + "\n";
    text += "staging " + j.Staging + "\n";
    text += "backup " + j.Backup + "\n";
    if (!j.VersionFile.empty())
        text += "version " + j.Version + "\t" + j.VersionFile + "\n";
    for (const auto& d : j.MadeDirs)
        text += "dir " + d.string() + "\n";
    for (const auto& f : j.Files)
        text += std::string("file ") + (f.Replaces ? "1 " : "0 ") + f.Rel.string() + "\n";
    text += "end\n";
    return WriteFileAtomic(dest / kJournalName, text, 0600) && SyncDirectory(dest);
}

bool ReadJournal(const fs::path& dest, TJournal& j) {
    std::string text;
    if (!ReadWholeFile(dest / kJournalName, text))
        return false;
    std::size_t pos = 0;
    auto next = [&](std::string& line) {
        if (pos >= text.size())
            return false;
        const std::size_t nl = text.find('\n', pos);
        if (nl == std::string::npos)
            return false;
        line = text.substr(pos, nl - pos);
        pos = nl + 1;
        return true;
    };
    std::string line;
    if (!next(line) || line != kJournalHead)
        return false;
    auto safeRel = [](const std::string& rel) { return IsSafeEntryName(rel); };
    while (next(line)) {
        if (line == "end")
            return !j.Staging.empty() && !j.Backup.empty();
        const std::size_t sp = line.find(' ');
        if (sp == std::string::npos)
            return false;
        const std::string key = line.substr(0, sp), value = line.substr(sp + 1);
        if (key == "staging" || key == "backup") {
            // Only the work directories an install makes.
            if (value.rfind(".upgrade-", 0) != 0 || value.find('/') != std::string::npos)
                return false;
            (key == "staging" ? j.Staging : j.Backup) = value;
        } else if (key == "version") {
            const std::size_t tab = value.find('\t');
            if (tab == std::string::npos)
                return false;
            j.Version = value.substr(0, tab);
            j.VersionFile = value.substr(tab + 1);
        } else if (key == "dir" && safeRel(value)) {
            j.MadeDirs.emplace_back(value);
        } else if (key == "file" && value.size() > 2 && (value[0] == '0' || value[0] == '1') &&
                   value[1] == ' ' && safeRel(value.substr(2))) {
            j.Files.push_back({value.substr(2), value[0] == '1'});
        } else {
            return false;
        }
    }
    return false; // cut short: written by nobody but WriteFileAtomic, so not ours
}

bool Exists(const fs::path& p) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(p, ec));
}

// Puts every journaled file in place; each step can be repeated after a kill.
bool RollForward(const fs::path& dest, const TJournal& j, int& moved) {
    const fs::path staging = dest / j.Staging, backup = dest / j.Backup;
    for (const auto& d : j.MadeDirs) {
        std::error_code ec;
        if (!fs::is_directory(dest / d, ec) && !fs::create_directory(dest / d, ec))
            return false;
    }
    for (const auto& f : j.Files) {
        if (!Exists(staging / f.Rel))
            continue; // in place already
        std::error_code ec;
        if (f.Replaces && Exists(dest / f.Rel) && !Exists(backup / f.Rel)) {
            fs::create_directories((backup / f.Rel).parent_path(), ec);
            fs::rename(dest / f.Rel, backup / f.Rel, ec);
            if (ec)
                return false;
            Step("backup");
        }
        fs::rename(staging / f.Rel, dest / f.Rel, ec);
        if (ec)
            return false;
        Step("move:" + std::to_string(++moved));
    }
    return true;
}

// Undoes every move of the journal: the program directory as it was before.
void RollBack(const fs::path& dest, const TJournal& j) {
    const fs::path staging = dest / j.Staging, backup = dest / j.Backup;
    std::error_code ec;
    for (auto it = j.Files.rbegin(); it != j.Files.rend(); ++it) {
        if (!Exists(staging / it->Rel))
            fs::remove(dest / it->Rel, ec); // the new file
        if (it->Replaces && Exists(backup / it->Rel) && !Exists(dest / it->Rel))
            fs::rename(backup / it->Rel, dest / it->Rel, ec);
    }
    for (auto it = j.MadeDirs.rbegin(); it != j.MadeDirs.rend(); ++it)
        fs::remove(dest / *it, ec); // only when empty
}

// The journal is gone: the install is over. Its work directories and any an
// earlier interrupted one left are removed.
void Finish(const fs::path& dest, bool AEndOfInstall = false) {
    std::error_code ec;
    fs::remove(dest / kJournalName, ec);
    SyncDirectory(dest);
    if (AEndOfInstall)
        Step("committed");
    for (const auto& e : fs::directory_iterator(dest, ec)) {
        const std::string name = e.path().filename().string();
        if ((name.rfind(".upgrade-staging-", 0) == 0 || name.rfind(".upgrade-backup-", 0) == 0) &&
            e.is_directory(ec) && !e.is_symlink(ec))
            fs::remove_all(e.path(), ec);
    }
}

// The version file of the journal, once its files are in place (only an
// existing one, as always).
void WriteJournalVersion(const TJournal& j) {
    std::error_code ec;
    if (!j.VersionFile.empty() && fs::is_regular_file(j.VersionFile, ec))
        WriteFileAtomic(j.VersionFile, j.Version);
}

// Completes an interrupted install; when that is not possible, undoes it.
void RecoverLocked(const fs::path& dest) {
    TJournal j;
    if (Exists(dest / kJournalName)) {
        int moved = 0;
        if (ReadJournal(dest, j) && RollForward(dest, j, moved))
            WriteJournalVersion(j);
        else if (!j.Staging.empty())
            RollBack(dest, j);
    }
    Finish(dest);
}

// flock on a directory itself (so no lock file is left in it); released when
// the object goes or the process dies.
class TDirLock {
public:
    TDirLock(const fs::path& dir, int operation) {
        FFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (FFd >= 0 && ::flock(FFd, operation) != 0) {
            ::close(FFd);
            FFd = -1;
        }
    }
    ~TDirLock() {
        if (FFd >= 0)
            ::close(FFd);
    }
    TDirLock(const TDirLock&) = delete;
    TDirLock& operator=(const TDirLock&) = delete;
    bool Held() const { return FFd >= 0; }
    int Fd() const { return FFd; }

private:
    int FFd = -1;
};

fs::path DestDir(const std::string& ADestDir) {
    fs::path dest = fs::path(ADestDir).lexically_normal();
    return dest.has_filename() ? dest : dest.parent_path();
}

// Removes what downloads killed half-way left in the temporary directory,
// unless an upgrade program that may be downloading is running.
void RemovePartialDownloads(const fs::path& temp) {
    std::error_code ec;
    if (!fs::is_directory(temp, ec))
        return;
    TDirLock downloads(temp, LOCK_EX | LOCK_NB);
    if (!downloads.Held())
        return;
    for (const auto& e : fs::directory_iterator(temp, ec)) {
        const std::string name = e.path().filename().string();
        if (name.rfind(".tmp", 0) == 0 && e.is_regular_file(ec) && !e.is_symlink(ec))
            fs::remove(e.path(), ec);
    }
}

} // namespace

bool IsSafeUpgradeArchive(const std::string& AZipFile) {
    const ZipPtr archive = OpenZip(AZipFile);
    return archive && AllEntriesSafe(archive.get());
}

TPackageInstall InstallUpgradeArchive(const std::string& AZipFile, const std::string& ADestDir,
                                      const TVersionFileUpdate& AVersion) {
    const ZipPtr archive = OpenZip(AZipFile);
    if (!archive || !AllEntriesSafe(archive.get()))
        return TPackageInstall::Damaged;
    const fs::path dest = DestDir(ADestDir);
    std::error_code ec;
    if (!fs::is_directory(dest, ec))
        return TPackageInstall::Failed;
    // One install at a time; an earlier one that was killed is finished first.
    TDirLock lock(dest, LOCK_EX);
    if (!lock.Held())
        return TPackageInstall::Failed;
    RecoverLocked(dest);

    const fs::path staging = MakeWorkDir(dest, "upgrade-staging");
    if (staging.empty())
        return TPackageInstall::Failed;
    Step("staging");
    std::vector<fs::path> files, dirs;
    switch (Stage(archive.get(), staging, files, dirs)) {
    case TStage::Corrupt:
        fs::remove_all(staging, ec);
        return TPackageInstall::Damaged;
    case TStage::WriteFailed:
        fs::remove_all(staging, ec);
        return TPackageInstall::Failed;
    case TStage::Ok:
        break;
    }
    Step("staged");
    const fs::path backup = MakeWorkDir(dest, "upgrade-backup");
    if (backup.empty()) {
        fs::remove_all(staging, ec);
        return TPackageInstall::Failed;
    }

    TJournal j;
    j.Staging = staging.filename().string();
    j.Backup = backup.filename().string();
    j.VersionFile = AVersion.File;
    j.Version = AVersion.Version;
    // The directories the install makes, parents first; a directory where a
    // file is to go (or a file where a directory is) fails before any move.
    std::set<fs::path> made;
    auto plan = [&](const fs::path& relDir) {
        std::vector<fs::path> missing;
        for (fs::path d = relDir; !d.empty() && !Exists(dest / d); d = d.parent_path())
            missing.push_back(d);
        for (auto it = missing.rbegin(); it != missing.rend(); ++it)
            if (made.insert(*it).second)
                j.MadeDirs.push_back(*it);
        std::error_code e;
        return made.count(relDir) || relDir.empty() || fs::is_directory(dest / relDir, e);
    };
    bool fits = true;
    for (const auto& d : dirs)
        fits = plan(d) && fits;
    for (const auto& f : files) {
        fits = plan(f.parent_path()) && fits;
        std::error_code e;
        const auto status = fs::symlink_status(dest / f, e);
        if (fs::is_directory(status))
            fits = false;
        j.Files.push_back({f, fs::exists(status)});
    }
    if (!fits || !WriteJournal(dest, j)) {
        fs::remove(dest / kJournalName, ec);
        Finish(dest);
        return TPackageInstall::Failed;
    }
    Step("journal");

    int moved = 0;
    if (!RollForward(dest, j, moved)) {
        RollBack(dest, j);
        Finish(dest);
        return TPackageInstall::Failed;
    }
    Step("moved");
    WriteJournalVersion(j);
    Step("version");
    Finish(dest, true);
    return TPackageInstall::Installed;
}

void RecoverInterruptedUpgrade(const std::string& AAppPath) {
    const fs::path dest = DestDir(AAppPath);
    std::error_code ec;
    if (!fs::is_directory(dest, ec) || ::access(dest.c_str(), W_OK) != 0)
        return;
    // A directory no install ever touched gets not even a lock file.
    bool leftovers = Exists(dest / kJournalName) || Exists(dest / "apptemp");
    for (const auto& e : fs::directory_iterator(dest, ec)) {
        const std::string name = e.path().filename().string();
        leftovers = leftovers || name.rfind(".upgrade-staging-", 0) == 0 ||
                    name.rfind(".upgrade-backup-", 0) == 0;
    }
    if (!leftovers)
        return;
    {
        // An install under way in another program is left to it.
        TDirLock lock(dest, LOCK_EX | LOCK_NB);
        if (lock.Held())
            RecoverLocked(dest);
    }
    RemovePartialDownloads(dest / "apptemp");
}

TDownloadLease::TDownloadLease(const std::string& AAppTempPath) {
    FFd = ::open(AAppTempPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (FFd >= 0 && ::flock(FFd, LOCK_SH) != 0) {
        ::close(FFd);
        FFd = -1;
    }
}

TDownloadLease::~TDownloadLease() {
    if (FFd >= 0)
        ::close(FFd);
}

void SetUpgradeStepHook(std::function<void(const std::string&)> AHook) {
    StepHook() = std::move(AHook);
}

void FinishPendingUpgrade(const std::string& AAppPath) {
    RecoverInterruptedUpgrade(AAppPath);
    const fs::path zip = fs::path(AAppPath) / "apptemp" / "otUpgrade.zip";
    std::error_code ec;
    if (!fs::is_regular_file(zip, ec))
        return;
    if (InstallUpgradeArchive(zip.string(), AAppPath) == TPackageInstall::Installed)
        fs::remove(zip, ec);
}

} // namespace ot
