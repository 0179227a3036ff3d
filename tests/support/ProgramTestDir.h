#pragma once
// A temporary program directory, removed with the object. Its paths are
// handed to whatever a test drives; several may exist side by side (one per
// simulated computer).

#include "common/AppPaths.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace ot::test {

class TProgramTestDir {
public:
    // name: the prefix of the directory's name below the temporary directory.
    explicit TProgramTestDir(const std::string& name) {
        std::string tmpl = (std::filesystem::temp_directory_path() / (name + "-XXXXXX")).string();
        if (::mkdtemp(tmpl.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        FRoot = tmpl;
        FPaths = TAppPaths::FromProgramDir(FRoot.string());
    }
    ~TProgramTestDir() {
        std::error_code ec;
        std::filesystem::remove_all(FRoot, ec);
    }
    TProgramTestDir(const TProgramTestDir&) = delete;
    TProgramTestDir& operator=(const TProgramTestDir&) = delete;

    const std::filesystem::path& Root() const { return FRoot; }
    const TAppPaths& Paths() const { return FPaths; }

private:
    std::filesystem::path FRoot;
    TAppPaths FPaths;
};

} // namespace ot::test
