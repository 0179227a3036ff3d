#pragma once
// A temporary program directory with a fresh queue database, made the
// program's layout for the lifetime of the object.

#include "common/AppPaths.h"
#include "syncqueue/SyncQueueDatabase.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace ot::test {

class TQueueTestDir {
public:
    TQueueTestDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "ot-queue-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        FRoot = tmpl;
        SetAppPaths(TAppPaths::FromProgramDir(FRoot.string()));
        std::filesystem::create_directories(TaskDataPath());
        std::string error;
        if (!CreateSyncQueueDatabase(DBFileName(), &error))
            throw std::runtime_error(error);
    }
    ~TQueueTestDir() {
        std::error_code ec;
        std::filesystem::remove_all(FRoot, ec);
    }
    TQueueTestDir(const TQueueTestDir&) = delete;
    TQueueTestDir& operator=(const TQueueTestDir&) = delete;

    const std::filesystem::path& Root() const { return FRoot; }

private:
    std::filesystem::path FRoot;
};

} // namespace ot::test
