#pragma once
// Unpacking of the upgrade package that the upgrade program leaves for the
// task-list program.

#include <string>

namespace ot {

// Extracts every file of the zip archive AZipFile below ADestDir, replacing
// existing files. An entry with an absolute path, a ".." component, or that
// is a link is skipped: nothing is written outside ADestDir. False when the
// archive cannot be opened or a file cannot be written.
bool ExtractUpgradeArchive(const std::string& AZipFile, const std::string& ADestDir);

} // namespace ot
