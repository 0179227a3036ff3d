#pragma once
// A temporary program directory with its task data directory and a fresh
// queue database.

#include "support/ProgramTestDir.h"
#include "syncqueue/SyncQueueDatabase.h"

namespace ot::test {

class TQueueTestDir : public TProgramTestDir {
public:
    explicit TQueueTestDir(const std::string& name = "ot-queue") : TProgramTestDir(name) {
        std::filesystem::create_directories(Paths().TaskDataPath);
        std::string error;
        if (!CreateSyncQueueDatabase(Paths().DBFileName, &error))
            throw std::runtime_error(error);
    }
};

} // namespace ot::test
