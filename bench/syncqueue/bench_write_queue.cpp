// Cost of recording a change: WriteToSyncQueue (open, statements, close) for
// 1,000 item creations, beside a bare sqlite3 open + insert + close of the
// same rows. Runs alternate between the two; medians are reported.
//   bench_write_queue [runs] [rows per run] [directory]
// The directory (default: the system's temporary directory) decides what is
// measured: on a disk each commit waits for the disk; on a memory file
// system (/dev/shm) only the work of the program and of SQLite remains.

#include "common/AppPaths.h"
#include "syncqueue/OtSyncQueueUtility.h"
#include "syncqueue/SyncQueueDatabase.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::string ItemID(int i) {
    return "12146083" + std::to_string(1000 + i % 9000) + "AB";
}
std::string ItemName(int i) {
    return ItemID(i) + "#0#Task[SP]" + std::to_string(i) + "#5#201603051430###";
}
const std::string kClassDir = "1214608320CD#Home";

void FreshDatabase(const std::string& file) {
    fs::remove(file);
    std::string error;
    if (!ot::CreateSyncQueueDatabase(file, &error))
        throw std::runtime_error(error);
}

double RecorderRun(const std::string& file, int rows) {
    FreshDatabase(file);
    const auto start = Clock::now();
    for (int i = 0; i < rows; ++i)
        if (!ot::TOtSyncQueueUtility::WriteToSyncQueue(file, ot::sqItemCreated,
                                                       {ItemID(i), ItemName(i), kClassDir}))
            throw std::runtime_error("WriteToSyncQueue failed");
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double BareRun(const std::string& file, int rows) {
    FreshDatabase(file);
    const auto start = Clock::now();
    for (int i = 0; i < rows; ++i) {
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
            throw std::runtime_error("open failed");
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db,
                           "insert into [SyncQueue] ([TaskItemID], [TaskItemPath], "
                           "[TaskClassPath]) values (?, ?, ?)",
                           -1, &st, nullptr);
        const std::string id = ItemID(i), name = ItemName(i);
        sqlite3_bind_text(st, 1, id.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 2, name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 3, kClassDir.c_str(), -1, SQLITE_TRANSIENT);
        const int rc = sqlite3_step(st);
        sqlite3_finalize(st);
        sqlite3_close(db);
        if (rc != SQLITE_DONE)
            throw std::runtime_error("insert failed");
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const auto n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 5;
    const int rows = argc > 2 ? std::atoi(argv[2]) : 1000;
    if (runs < 1 || rows < 1 || rows > 9000) {
        std::fprintf(stderr,
                     "usage: bench_write_queue [runs] [rows per run, at most 9000] [directory]\n");
        return 2;
    }
    const fs::path base = argc > 3 ? fs::path(argv[3]) : fs::temp_directory_path();
    std::string tmpl = (base / "ot-bench-queue-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr)
        return 1;
    const fs::path root = tmpl;
    const std::string file = ot::TAppPaths::FromProgramDir(root.string()).DBFileName;

    std::vector<double> recorder, bare;
    try {
        for (int r = 0; r < runs; ++r) {
            recorder.push_back(RecorderRun(file, rows));
            bare.push_back(BareRun(file, rows));
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_write_queue: %s\n", e.what());
        fs::remove_all(root);
        return 1;
    }
    fs::remove_all(root);

    const double mr = Median(recorder), mb = Median(bare);
    std::printf("item creations per run: %d, runs: %d, in %s\n", rows, runs, base.c_str());
    std::printf("WriteToSyncQueue        median %.3f s  (%.1f us per creation)\n", mr,
                mr / rows * 1e6);
    std::printf("bare open+insert+close  median %.3f s  (%.1f us per creation)\n", mb,
                mb / rows * 1e6);
    std::printf("ratio %.2f (target at most 2.00)\n", mr / mb);
    return 0;
}
