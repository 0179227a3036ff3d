#pragma once
// The update list: where it is fetched from, which of its entries are
// offered, and how an entry's size reads.

#include "package/OtUpdateListFormat.h"

#include <string>
#include <string_view>
#include <vector>

namespace ot {

struct TAppInfo {
    std::string fName;
    std::string fTitle;
    std::string fVersion;
    std::string fUpgradeDate;
    int fSize = 0;
    std::string fUrl;
    std::string fUpgradeDetail;
    std::string fDependence;
    // The package's SHA-256 and the publisher's signature (see OtPackageSignature).
    std::string fSha256;
    std::string fSignature;
};

inline constexpr std::string_view kAllApps = "otAllApp";

// The list's address on the server AHost (scheme and host, no trailing '/').
std::string UpgradeAppListUrl(std::string_view AHost, std::string_view ALang);

// Whether the list element named AName with dependence ADependence belongs to a
// run for AAppName.
bool AppListEntryTaken(std::string_view AAppName, std::string_view AName,
                       std::string_view ADependence);

// The offered entries of the list file, in list order: those taken for
// AAppName whose version is newer than the installed one below AAppPath, or
// whose executable is missing. Empty when the file is missing or unreadable.
std::vector<TAppInfo> LoadOfferedApps(const std::string& AFileName, std::string_view AAppName,
                                      const std::string& AAppPath);

// A package size as the list box shows it: megabytes with one decimal, "1.5 M".
std::string FormatPackageSize(long long ABytes);

} // namespace ot
