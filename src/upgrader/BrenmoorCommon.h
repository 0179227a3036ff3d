#pragma once
// Helpers of the upgrade program around the program directory: the files of
// an application, the version files, the common settings file, the
// installation identity, and the version order. AAppPath is the program
// directory with its trailing '/'.

#include <string>
#include <string_view>

namespace ot {

// The executable of an application (no suffix on this platform).
std::string GetAppExeFile(const std::string& AAppPath, std::string_view AName);
// Its version file, or empty when that file does not exist.
std::string GetAppVerFile(const std::string& AAppPath, std::string_view AName);
// The first line of a text file; empty for an empty or unreadable file.
std::string ReadVerFile(const std::string& AFileName);
// Replaces a text file's whole content; false on any failure, including a
// missing file.
bool WriteVerFile(const std::string& AFileName, std::string_view AText);

// A setting of AAppPath + "appdata/otCommonSettings.xml": the last element of
// "otGeneralSections" whose "name" is AName gives its "value"; ADefault when
// the file, the section or the name is missing or the file does not parse.
std::string ReadCommonSetting(const std::string& AAppPath, std::string_view AName,
                              const std::string& ADefault);

// The identity of this installation of an application: the trimmed content of
// AAppPath + AName + ".uid", made with a new GUID when missing. Empty when no
// GUID could be made or written.
std::string GetAppGuid(const std::string& AAppPath, std::string_view AName);

// Whether the upgrade program may install into the program directory AAppPath:
// never into one installed by a package manager (its files are the package
// manager's; the package says so with the file PackageManagedMarker in the
// installed data directory) or into one the user cannot write.
enum class TUpgradeInstallability { Allowed, NotWritable, PackageManaged };
inline constexpr const char* PackageManagedMarker = "package-managed";
TUpgradeInstallability UpgradeInstallability(const std::string& AAppPath);

// Compares dotted versions part by part, over the parts both have: 1 when a is
// newer, -1 when older, 0 when equal. A part that is not a whole number counts
// as 0.
int CompareVersion(std::string_view a, std::string_view b);

// The installed version of an application: the first line of its version file
// when there is one, else the file version of the executable's version record.
std::string InstalledAppVersion(const std::string& AAppPath, std::string_view AName);

} // namespace ot
