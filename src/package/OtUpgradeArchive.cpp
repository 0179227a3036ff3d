#include "package/OtUpgradeArchive.h"

#include "common/FileUtil.h"
#include "common/Random.h"

#include <zip.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
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
    if (name.empty() || name.front() == '/' || name.find('\\') != std::string_view::npos ||
        name.find('\0') != std::string_view::npos)
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

// Moves the staged files over the program's, keeping each replaced file in backup
// until all are in place; on a failure every step taken is undone.
bool MoveIntoPlace(const fs::path& staging, const fs::path& backup, const fs::path& dest,
                   const std::vector<fs::path>& files, const std::vector<fs::path>& dirs) {
    struct Done {
        fs::path Rel;
        bool Replaced;
    };
    std::vector<Done> done;
    std::vector<fs::path> createdDirs;
    auto makeDirs = [&](const fs::path& dir) {
        std::vector<fs::path> missing;
        for (fs::path d = dir; d != dest && !fs::exists(d); d = d.parent_path())
            missing.push_back(d);
        for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
            std::error_code ec;
            if (!fs::create_directory(*it, ec))
                return false;
            createdDirs.push_back(*it);
        }
        std::error_code ec;
        return fs::is_directory(dir, ec);
    };
    auto undo = [&] {
        std::error_code ec;
        for (auto it = done.rbegin(); it != done.rend(); ++it) {
            fs::remove(dest / it->Rel, ec);
            if (it->Replaced)
                fs::rename(backup / it->Rel, dest / it->Rel, ec);
        }
        for (auto it = createdDirs.rbegin(); it != createdDirs.rend(); ++it)
            fs::remove(*it, ec);
        return false;
    };

    for (const auto& rel : dirs)
        if (!makeDirs(dest / rel))
            return undo();
    for (const auto& rel : files) {
        const fs::path target = dest / rel;
        std::error_code ec;
        if (!makeDirs(target.parent_path()))
            return undo();
        const auto status = fs::symlink_status(target, ec);
        const bool exists = fs::exists(status);
        if (exists && fs::is_directory(status))
            return undo();
        if (exists) {
            fs::create_directories((backup / rel).parent_path(), ec);
            fs::rename(target, backup / rel, ec);
            if (ec)
                return undo();
        }
        fs::rename(staging / rel, target, ec);
        if (ec) {
            if (exists)
                fs::rename(backup / rel, target, ec);
            return undo();
        }
        done.push_back({rel, exists});
    }
    return true;
}

} // namespace

bool IsSafeUpgradeArchive(const std::string& AZipFile) {
    const ZipPtr archive = OpenZip(AZipFile);
    return archive && AllEntriesSafe(archive.get());
}

TPackageInstall InstallUpgradeArchive(const std::string& AZipFile, const std::string& ADestDir) {
    const ZipPtr archive = OpenZip(AZipFile);
    if (!archive || !AllEntriesSafe(archive.get()))
        return TPackageInstall::Damaged;
    fs::path dest = fs::path(ADestDir).lexically_normal();
    if (!dest.has_filename())
        dest = dest.parent_path();
    std::error_code ec;
    if (!fs::is_directory(dest, ec))
        return TPackageInstall::Failed;
    const fs::path staging = MakeWorkDir(dest, "upgrade-staging");
    if (staging.empty())
        return TPackageInstall::Failed;
    std::vector<fs::path> files, dirs;
    TPackageInstall result = TPackageInstall::Installed;
    switch (Stage(archive.get(), staging, files, dirs)) {
    case TStage::Corrupt:
        result = TPackageInstall::Damaged;
        break;
    case TStage::WriteFailed:
        result = TPackageInstall::Failed;
        break;
    case TStage::Ok: {
        const fs::path backup = MakeWorkDir(dest, "upgrade-backup");
        if (backup.empty() || !MoveIntoPlace(staging, backup, dest, files, dirs))
            result = TPackageInstall::Failed;
        if (!backup.empty())
            fs::remove_all(backup, ec);
        break;
    }
    }
    fs::remove_all(staging, ec);
    return result;
}

void FinishPendingUpgrade(const std::string& AAppPath) {
    const fs::path zip = fs::path(AAppPath) / "apptemp" / "otUpgrade.zip";
    std::error_code ec;
    if (!fs::is_regular_file(zip, ec))
        return;
    if (InstallUpgradeArchive(zip.string(), AAppPath) == TPackageInstall::Installed)
        fs::remove(zip, ec);
}

} // namespace ot
