#pragma once
// Installing an upgrade package: a zip archive unpacked into the program
// directory. The upgrade program and the task-list program (for the upgrade
// program's own package) both install through here.
//
// An archive is checked whole before anything is written: an entry with an
// absolute path, a ".." component or a backslash, a link, or an archive that
// libzip cannot read makes the whole package damaged. A readable package is
// unpacked into a staging directory beside the program first and only then
// moved into place, so a failure on the way puts the previous files back.

#include <string>

namespace ot {

enum class TPackageInstall {
    Installed,
    Damaged, // not a zip archive, an unsafe entry, or a corrupt entry: nothing written
    Failed,  // a file could not be written or moved: the previous files are back
};

// Whether the file is a zip archive whose every entry may be unpacked.
bool IsSafeUpgradeArchive(const std::string& AZipFile);

// Unpacks AZipFile into ADestDir (which must exist), replacing existing files.
TPackageInstall InstallUpgradeArchive(const std::string& AZipFile, const std::string& ADestDir);

// The task-list program's start-up step: when AAppPath + "apptemp/otUpgrade.zip"
// exists it is installed into AAppPath and deleted. Failures are swallowed; a
// package that could not be installed stays for the next start.
void FinishPendingUpgrade(const std::string& AAppPath);

} // namespace ot
