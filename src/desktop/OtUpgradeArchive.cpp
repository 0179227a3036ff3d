#include "desktop/OtUpgradeArchive.h"

#include "common/FileUtil.h"

#include <zip.h>

#include <filesystem>
#include <memory>
#include <string_view>

namespace ot {

namespace fs = std::filesystem;

namespace {
bool IsSafeEntryName(std::string_view name) {
    if (name.empty() || name.front() == '/' || name.find('\\') != std::string_view::npos)
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
} // namespace

bool ExtractUpgradeArchive(const std::string& AZipFile, const std::string& ADestDir) {
    int error = 0;
    std::unique_ptr<zip_t, decltype(&zip_discard)> archive(
        zip_open(AZipFile.c_str(), ZIP_RDONLY, &error), &zip_discard);
    if (!archive)
        return false;
    bool ok = true;
    const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        const auto index = static_cast<zip_uint64_t>(i);
        const char* rawName = zip_get_name(archive.get(), index, 0);
        if (!rawName || !IsSafeEntryName(rawName) || IsLinkEntry(archive.get(), index))
            continue;
        const std::string name = rawName;
        const fs::path target = fs::path(ADestDir) / name;
        std::error_code ec;
        if (name.back() == '/') {
            fs::create_directories(target, ec);
            continue;
        }
        std::unique_ptr<zip_file_t, decltype(&zip_fclose)> file(
            zip_fopen_index(archive.get(), index, 0), &zip_fclose);
        if (!file) {
            ok = false;
            continue;
        }
        std::string data;
        char buffer[65536];
        zip_int64_t n;
        while ((n = zip_fread(file.get(), buffer, sizeof buffer)) > 0)
            data.append(buffer, static_cast<std::size_t>(n));
        if (n < 0) {
            ok = false;
            continue;
        }
        fs::create_directories(target.parent_path(), ec);
        // Programs of the package stay executable.
        const unsigned mode = (UnixMode(archive.get(), index) & 0111) ? 0755 : 0644;
        if (!WriteFileAtomic(target, data, mode))
            ok = false;
    }
    return ok;
}

} // namespace ot
