#include "upgrader/OtUpgradeList.h"

#include "common/Text.h"
#include "upgrader/BrenmoorCommon.h"

#include <pugixml.hpp>

#include <filesystem>

namespace ot {

std::string UpgradeAppListUrl(std::string_view AHost, std::string_view ALang) {
    return std::string(AHost) + std::string(kUpdateListFolder) + UpgradeAppListFileName(ALang);
}

bool AppListEntryTaken(std::string_view AAppName, std::string_view AName,
                       std::string_view ADependence) {
    return AAppName == kAllApps || AName == AAppName ||
           ADependence.find(AAppName) != std::string_view::npos;
}

std::vector<TAppInfo> LoadOfferedApps(const std::string& AFileName, std::string_view AAppName,
                                      const std::string& AAppPath) {
    std::vector<TAppInfo> offered;
    pugi::xml_document doc;
    if (!doc.load_file(AFileName.c_str()))
        return offered;
    for (const auto& node : doc.child("otUpgradeAppList").child("otAppList").children()) {
        if (node.type() != pugi::node_element || !node.attribute("name"))
            continue;
        TAppInfo app;
        app.fName = node.attribute("name").value();
        app.fDependence = node.attribute("dependence").value();
        if (!AppListEntryTaken(AAppName, app.fName, app.fDependence))
            continue;
        app.fTitle = node.attribute("title").value();
        app.fVersion = node.attribute("version").value();
        app.fUpgradeDate = node.attribute("upgradedate").value();
        app.fSize = ParseInt32(node.attribute("size").value()).value_or(0);
        app.fUrl = node.attribute("url").value();
        app.fUpgradeDetail = node.attribute("upgradedetail").value();
        app.fSha256 = node.attribute("sha256").value();
        app.fSignature = node.attribute("signature").value();
        std::error_code ec;
        const bool installed = std::filesystem::exists(GetAppExeFile(AAppPath, app.fName), ec);
        if (!installed ||
            CompareVersion(app.fVersion, InstalledAppVersion(AAppPath, app.fName)) > 0)
            offered.push_back(std::move(app));
    }
    return offered;
}

std::string FormatPackageSize(long long ABytes) {
    return Format("%.1f M", static_cast<double>(ABytes) / 1024.0 / 1024.0);
}

} // namespace ot
