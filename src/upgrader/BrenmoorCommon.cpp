#include "upgrader/BrenmoorCommon.h"

#include "common/AppPaths.h"
#include "common/FileUtil.h"
#include "common/Text.h"
#include "platform/OtVersionInfo.h"

#include <pugixml.hpp>
#include <sodium.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

namespace ot {

namespace fs = std::filesystem;

std::string GetAppExeFile(const std::string& AAppPath, std::string_view AName) {
    return AAppPath + std::string(AName);
}

std::string GetAppVerFile(const std::string& AAppPath, std::string_view AName) {
    const std::string file = AAppPath + std::string(AName) + ".ver";
    std::error_code ec;
    return fs::is_regular_file(file, ec) ? file : std::string();
}

std::string ReadVerFile(const std::string& AFileName) {
    std::string text;
    if (!ReadWholeFile(AFileName, text))
        return {};
    const auto eol = text.find_first_of("\r\n");
    return eol == std::string::npos ? text : text.substr(0, eol);
}

bool WriteVerFile(const std::string& AFileName, std::string_view AText) {
    std::error_code ec;
    return fs::is_regular_file(AFileName, ec) && WriteFileAtomic(AFileName, AText);
}

std::string ReadCommonSetting(const std::string& AAppPath, std::string_view AName,
                              const std::string& ADefault) {
    pugi::xml_document doc;
    const std::string file = AAppPath + "appdata/otCommonSettings.xml";
    if (!doc.load_file(file.c_str()))
        return ADefault;
    std::string value = ADefault;
    const auto section = doc.child("otContactsSettings").child("otGeneralSections");
    for (const auto& node : section.children()) {
        if (node.type() == pugi::node_element && AName == node.attribute("name").value())
            value = node.attribute("value").value();
    }
    return value;
}

std::string GetAppGuid(const std::string& AAppPath, std::string_view AName) {
    const std::string file = AAppPath + std::string(AName) + ".uid";
    std::error_code ec;
    if (fs::exists(file, ec)) {
        std::string text;
        ReadWholeFile(file, text);
        return Trim(text);
    }
    if (sodium_init() < 0)
        return {};
    unsigned char b[16];
    randombytes_buf(b, sizeof b);
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40); // version 4, random
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
    std::string guid = "{";
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            guid += '-';
        guid += Format("%02X", b[i]);
    }
    guid += '}';
    // Never replace an identity another start wrote meanwhile.
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return {};
    const std::string line = guid + "\n";
    const bool ok = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    if (::close(fd) != 0 || !ok) {
        fs::remove(file, ec);
        return {};
    }
    return guid;
}

int CompareVersion(std::string_view a, std::string_view b) {
    const auto pa = Split(a, '.'), pb = Split(b, '.');
    const std::size_t n = std::min(pa.size(), pb.size());
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t x = ParseInt64(Trim(pa[i])).value_or(0);
        const std::int64_t y = ParseInt64(Trim(pb[i])).value_or(0);
        if (x != y)
            return x > y ? 1 : -1;
    }
    return 0;
}

TUpgradeInstallability UpgradeInstallability(const std::string& AAppPath) {
    std::error_code ec;
    if (std::filesystem::exists(InstalledShareDir(AAppPath) + PackageManagedMarker, ec))
        return TUpgradeInstallability::PackageManaged;
    if (::access(AAppPath.c_str(), W_OK | X_OK) != 0)
        return TUpgradeInstallability::NotWritable;
    return TUpgradeInstallability::Allowed;
}

std::string InstalledAppVersion(const std::string& AAppPath, std::string_view AName) {
    const std::string verFile = GetAppVerFile(AAppPath, AName);
    if (!verFile.empty())
        return ReadVerFile(verFile);
    TFileVersionInfo info;
    return GetAppVersionInfo(GetAppExeFile(AAppPath, AName), info) ? info.fFileVersion
                                                                   : std::string();
}

} // namespace ot
