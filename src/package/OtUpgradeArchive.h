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
//
// Before the first file is moved the install writes a journal beside the
// programs (.upgrade-journal). A program killed half-way leaves it, and the
// next start of the upgrade or the task-list program completes that install
// (RecoverInterruptedUpgrade): the program directory is then wholly new, or,
// when completing is impossible, wholly old; the staging and backup
// directories and the partial downloads in apptemp/ are removed.

#include <functional>
#include <string>

namespace ot {

enum class TPackageInstall {
    Installed,
    Damaged, // not a zip archive, an unsafe entry, or a corrupt entry: nothing written
    Failed,  // a file could not be written or moved: the previous files are back
};

// Whether the file is a zip archive whose every entry may be unpacked.
bool IsSafeUpgradeArchive(const std::string& AZipFile);

// A version file to write when the install is complete (only when it exists).
struct TVersionFileUpdate {
    std::string File;
    std::string Version;
};

// Unpacks AZipFile into ADestDir (which must exist), replacing existing files,
// and then writes AVersion.
TPackageInstall InstallUpgradeArchive(const std::string& AZipFile, const std::string& ADestDir,
                                      const TVersionFileUpdate& AVersion = {});

// Completes (or undoes) an install into AAppPath that was killed half-way and
// removes what it left: staging and backup directories, and the partial
// downloads in AAppPath + "apptemp/" unless an upgrade program is running.
// Nothing happens while another program is installing, or in a directory
// the user cannot write.
void RecoverInterruptedUpgrade(const std::string& AAppPath);

// Held by a running upgrade program for its whole run: its downloads in
// AAppTempPath are then not taken for leftovers by another program's start.
class TDownloadLease {
public:
    explicit TDownloadLease(const std::string& AAppTempPath);
    ~TDownloadLease();
    TDownloadLease(const TDownloadLease&) = delete;
    TDownloadLease& operator=(const TDownloadLease&) = delete;

private:
    int FFd = -1;
};

// For tests: called with the name of each step of an install as it is
// reached ("staging", "staged", "journal", "backup", "move:N", "moved",
// "version", "committed"), so that a test can kill the process there.
void SetUpgradeStepHook(std::function<void(const std::string&)> AHook);

// The task-list program's start-up step: an interrupted install is recovered
// first; then, when AAppPath + "apptemp/otUpgrade.zip" exists, it is installed
// into AAppPath and deleted. Failures are swallowed; a package that could not
// be installed stays for the next start.
void FinishPendingUpgrade(const std::string& AAppPath);

} // namespace ot
