// Build and installation step: creates the empty queue database the
// programs expect beside them, and leaves an existing one alone.
//   ot_makedb <database file>

#include "syncqueue/SyncQueueDatabase.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: ot_makedb <database file>\n");
        return 2;
    }
    const std::string file = argv[1];
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::symlink_status(file, ec)))
        return 0; // never replace the user's queue
    std::string error;
    if (!ot::CreateSyncQueueDatabase(file, &error)) {
        if (std::filesystem::exists(std::filesystem::symlink_status(file, ec)))
            return 0; // made by someone else meanwhile
        std::fprintf(stderr, "ot_makedb: %s\n", error.c_str());
        return 1;
    }
    std::printf("ot_makedb: created %s\n", file.c_str());
    return 0;
}
