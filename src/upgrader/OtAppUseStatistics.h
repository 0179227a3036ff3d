#pragma once
// The usage record the upgrade program sends on a silent start for one
// application: an anonymous installation identity, the application's name and
// version, its authorization type and the operating system.

#include <string>
#include <string_view>

namespace ot {

struct TAppPostInfo {
    std::string GUID;
    std::string AppName;
    std::string AppVer;
    std::string AuthType;
    std::string OsSysInfo;
};

inline constexpr std::string_view kUsagePath = "/brenmoor2012/asp/brenAppUseStatisticsDo.asp";

class TAppUseStatistics {
public:
    TAppUseStatistics(std::string AHostUrl, const TAppPostInfo& AppInfo);

    // Posts the record; true when the server's answer says "success".
    bool Submit();

private:
    std::string FHostUrl;
    TAppPostInfo FAppInfo;
};

// The record for an application below AAppPath.
TAppPostInfo GatherAppPostInfo(const std::string& AAppPath, std::string_view AAppName,
                               std::string_view AAuthType);

// Whether a reply body is a JSON object whose "success" says true: true/false in
// any letter case, or a number (0 false), also as a string.
bool ParseUsageSuccess(std::string_view ABody);

// The operating system: name and version, kernel release and machine.
std::string OsDescription();

} // namespace ot
