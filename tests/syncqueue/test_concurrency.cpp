// The user interface records changes through short-lived connections while
// the engine works through its own: neither may see a statement fail.

#include "common/DateTime.h"
#include "support/QueueTestDir.h"
#include "syncqueue/OtSyncQueueDBModel.h"
#include "syncqueue/OtSyncQueueUtility.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

using namespace ot;

TEST(QueueConcurrency, TwoWritersWaitForEachOtherInsteadOfFailing) {
    test::TQueueTestDir dir;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    std::atomic<int> failures{0};
    int recorderRounds = 0;
    int engineRounds = 0;

    std::thread recorder([&] {
        try {
            for (int i = 0; std::chrono::steady_clock::now() < deadline; ++i, ++recorderRounds) {
                const std::string id = "U" + std::to_string(i);
                const std::vector<std::vector<TSyncQueueArg>> calls = {
                    {id, "name" + id, "C#x"}, {"renamed" + id, "C#x", "name" + id, "", 3, id}};
                failures += !TOtSyncQueueUtility::WriteToSyncQueue(dir.Paths().DBFileName,
                                                                   sqItemCreated, calls[0]);
                failures += !TOtSyncQueueUtility::WriteToSyncQueue(dir.Paths().DBFileName,
                                                                   sqItemChanged, calls[1]);
                if (i % 2 == 0)
                    failures += !TOtSyncQueueUtility::WriteToSyncQueue(dir.Paths().DBFileName,
                                                                       sqItemDeleted, {id});
            }
        } catch (const std::exception& e) {
            ADD_FAILURE() << "recorder: " << e.what();
            ++failures;
        }
    });
    std::thread engine([&] {
        try {
            TOtSyncQueueDBUtility db(dir.Paths().DBFileName);
            TOtSyncQueueList rows;
            for (int i = 0; std::chrono::steady_clock::now() < deadline; ++i, ++engineRounds) {
                const std::string id = "E" + std::to_string(i);
                failures += !db.ExeSQL("insert into [SyncQueue] ([TaskItemID], [TaskItemPath]) "
                                       "values (?, ?)",
                                       {id, id});
                failures += !db.SetKuaipanFileID(id, "F" + id, EncodeDate(2016, 3, 5));
                db.ListSyncQueue(rows, "[UpdateDateTime] >= ?", {std::string("2000-01-01")});
            }
        } catch (const std::exception& e) {
            ADD_FAILURE() << "engine: " << e.what();
            ++failures;
        }
    });
    recorder.join();
    engine.join();

    EXPECT_EQ(failures.load(), 0);
    ASSERT_GT(recorderRounds, 0);
    ASSERT_GT(engineRounds, 0);
    TOtSyncQueueDBUtility db(dir.Paths().DBFileName);
    TOtSyncQueueList rows;
    db.ListSyncQueue(rows, "[TaskItemID] like 'U%'");
    EXPECT_EQ(static_cast<int>(rows.size()), recorderRounds / 2);
    db.ListSyncQueue(rows, "[KuaipanFileID] like 'FE%'");
    EXPECT_EQ(static_cast<int>(rows.size()), engineRounds);
}
