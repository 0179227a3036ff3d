#pragma once
// A temporary program directory with a fresh queue database. Several may
// exist at once (one per simulated computer); Activate makes one the
// program's layout, which the repository, the change recorder and the
// engine read when they run.

#include "common/AppPaths.h"
#include "syncqueue/SyncQueueDatabase.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace ot::test {

class TSyncTestDir {
public:
    explicit TSyncTestDir(const std::string& name = "ot-sync") {
        std::string tmpl = (std::filesystem::temp_directory_path() / (name + "-XXXXXX")).string();
        if (::mkdtemp(tmpl.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        FRoot = tmpl;
        FPaths = TAppPaths::FromProgramDir(FRoot.string());
        Activate();
        std::filesystem::create_directories(FPaths.TaskDataPath);
        std::string error;
        if (!CreateSyncQueueDatabase(FPaths.DBFileName, &error))
            throw std::runtime_error(error);
    }
    ~TSyncTestDir() {
        std::error_code ec;
        std::filesystem::remove_all(FRoot, ec);
    }
    TSyncTestDir(const TSyncTestDir&) = delete;
    TSyncTestDir& operator=(const TSyncTestDir&) = delete;

    void Activate() const { SetAppPaths(FPaths); }
    const std::filesystem::path& Root() const { return FRoot; }
    const TAppPaths& Paths() const { return FPaths; }

private:
    std::filesystem::path FRoot;
    TAppPaths FPaths;
};

} // namespace ot::test
