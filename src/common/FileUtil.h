#pragma once
// File helpers shared by every layer.

#include <filesystem>
#include <string>
#include <string_view>

namespace ot {

// Writes data to a temporary file in the target's directory, flushes it to
// disk and renames it over the target, so readers see the old or the new
// content and never a torn file. mode is applied to the new file (0600 for
// secrets). Answers false (and leaves the target as it was) on any failure.
bool WriteFileAtomic(const std::filesystem::path& target, std::string_view data,
                     unsigned mode = 0644, std::string* error = nullptr);

// Flushes a file's content to disk (before it is renamed over another).
bool FsyncFile(const std::filesystem::path& file);

// Reads a whole file; false when it cannot be opened or read.
bool ReadWholeFile(const std::filesystem::path& file, std::string& out);

// A unique name for a temporary file in the directory of target (not created).
std::filesystem::path TempNameBeside(const std::filesystem::path& target);

// The directory of the running executable, with a trailing '/'.
std::string ExecutableDir();

} // namespace ot
