#pragma once
// Names the update list and its server share between the upgrade program and
// the update server's publisher.

#include <string>
#include <string_view>

namespace ot {

// The folder of the update lists and packages on the server.
inline constexpr std::string_view kUpdateListFolder = "/brenmoor/Update/Win32/";
// Where the server keeps the packages, below kUpdateListFolder.
inline constexpr std::string_view kUpdatePackageFolder = "packages/";

// The list's file name for a language ("otUpgradeAppList.xml" for "en").
inline std::string UpgradeAppListFileName(std::string_view ALang) {
    if (ALang == "en")
        return "otUpgradeAppList.xml";
    return "otUpgradeAppList_" + std::string(ALang) + ".xml";
}

} // namespace ot
