#include "upgrader/OtAppUseStatistics.h"

#include "common/FileUtil.h"
#include "common/Text.h"
#include "platform/OtVersionInfo.h"
#include "upgrader/BrenmoorCommon.h"
#include "upgrader/OtUpgradeHttp.h"

#include <nlohmann/json.hpp>

#include <sys/utsname.h>

#include <filesystem>
#include <sstream>

namespace ot {

TAppUseStatistics::TAppUseStatistics(std::string AHostUrl, const TAppPostInfo& AppInfo)
    : FHostUrl(std::move(AHostUrl)), FAppInfo(AppInfo) {}

bool TAppUseStatistics::Submit() {
    std::string body;
    if (!HttpPostForm(FHostUrl + std::string(kUsagePath),
                      {{"guid", FAppInfo.GUID},
                       {"appName", FAppInfo.AppName},
                       {"appVer", FAppInfo.AppVer},
                       {"authType", FAppInfo.AuthType},
                       {"osSysInfo", FAppInfo.OsSysInfo}},
                      body))
        return false;
    return ParseUsageSuccess(body);
}

TAppPostInfo GatherAppPostInfo(const std::string& AAppPath, std::string_view AAppName,
                               std::string_view AAuthType) {
    TAppPostInfo info;
    info.GUID = GetAppGuid(AAppPath, AAppName);
    info.AppName = std::string(AAppName);
    TFileVersionInfo version;
    if (GetAppVersionInfo(GetAppExeFile(AAppPath, AAppName), version))
        info.AppVer = version.fFileVersion;
    info.AuthType = AAuthType.empty() ? std::string("unknown") : std::string(AAuthType);
    info.OsSysInfo = OsDescription();
    return info;
}

bool ParseUsageSuccess(std::string_view ABody) {
    const auto json = nlohmann::json::parse(ABody, nullptr, false);
    if (!json.is_object() || !json.contains("success"))
        return false;
    const auto& v = json["success"];
    if (v.is_boolean())
        return v.get<bool>();
    if (v.is_number())
        return v.get<double>() != 0;
    return v.is_string() && ParseBoolText(v.get<std::string>()).value_or(false);
}

std::string OsDescription() {
    std::string name = "Linux";
    std::string osRelease;
    if (ReadWholeFile("/etc/os-release", osRelease)) {
        std::istringstream lines(osRelease);
        for (std::string line; std::getline(lines, line);) {
            if (StartsWith(line, "PRETTY_NAME=")) {
                name = line.substr(12);
                if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
                    name = name.substr(1, name.size() - 2);
            }
        }
    }
    utsname u{};
    if (uname(&u) == 0) {
        name += Format(" (%s %s, %s, %d-bit)", u.sysname, u.release, u.machine,
                       static_cast<int>(sizeof(void*) * 8));
    }
    return name;
}

} // namespace ot
