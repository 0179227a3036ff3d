// The sync thread's loop: when it runs a pass, what it logs, how it waits
// and how it ends. The pass is a plain function here; the engine is tested
// elsewhere.

#include "RecordingObserver.h"
#include "sync/OtKuaipanSyncModel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace ot;
using namespace std::chrono_literals;

namespace {

using RecordingObserver = test::TRecordingObserver;

template <class Pred> bool WaitUntil(Pred pred, std::chrono::seconds timeout = 20s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

struct ThreadFixture : ::testing::Test {
    std::shared_ptr<RecordingObserver> observer = std::make_shared<RecordingObserver>();
    std::shared_ptr<TSyncSettings> settings = std::make_shared<TSyncSettings>();
    TSyncFlags flags;
};

} // namespace

TEST(SyncThreadStatus, Formats) {
    auto observer = std::make_shared<RecordingObserver>();
    TKuaipanSyncThread thread(observer, nullptr); // never started
    thread.UpdateSyncStatusBar(3, 10, "Synchronizing - Step 1");
    thread.UpdateSyncStatusBar(3, 10, "");
    thread.UpdateSyncStatusBar("Synchronization finished with 2 error(s).");
    thread.OutputSyncLog("as is");
    EXPECT_EQ(observer->Events(),
              (std::vector<std::string>{"status:Synchronizing - Step 1:  3/10", "status:3/10",
                                        "status:Synchronization finished with 2 error(s).",
                                        "log:as is"}));
}

TEST_F(ThreadFixture, FirstPassRunsAtStartThenWaitsForTheInterval) {
    int passes = 0;
    {
        TKuaipanSyncThread thread(observer, settings, flags);
        thread.SetTickLength(1h);
        thread.SetSyncPass([&] {
            ++passes;
            EXPECT_TRUE(flags.IsSyncRunning);
            thread.OutputSyncLog("pass");
        });
        thread.Start();
        ASSERT_TRUE(observer->WaitFor("log:", 1));
    }
    EXPECT_EQ(passes, 1);
    EXPECT_FALSE(flags.IsSyncRunning);
    EXPECT_EQ(observer->Events(),
              (std::vector<std::string>{"log:Sync Count: 1", "show", "log:pass", "hide",
                                        "log:The next sync will be in 5 minutes.", "log:"}));
}

TEST_F(ThreadFixture, ManualRequestDuringAPassRunsExactlyOneMorePass) {
    settings->IsOpenKuaipanSync = false; // only manual passes
    flags.IsManualSyncRequested = true;
    TKuaipanSyncThread thread(observer, settings, flags);
    thread.SetTickLength(1h);
    std::vector<bool> flagSeenInPass;
    thread.SetSyncPass([&] {
        flagSeenInPass.push_back(flags.IsManualSyncRequested);
        if (flagSeenInPass.size() == 1)
            thread.RequestManualSync();
    });
    thread.Start();
    ASSERT_TRUE(observer->WaitFor("log:", 2));
    ASSERT_TRUE(WaitUntil([&] { return !flags.IsSyncRunning; }));
    thread.Terminate();
    thread.WaitFor();
    EXPECT_EQ(thread.SyncCount(), 2);
    EXPECT_EQ(flagSeenInPass, (std::vector<bool>{false, false}));
    EXPECT_FALSE(flags.IsManualSyncRequested);
    // Automatic sync is off: no announcement of the next pass.
    EXPECT_EQ(observer->Events(),
              (std::vector<std::string>{"log:Sync Count: 1", "show", "hide",
                                        "log:", "log:Sync Count: 2", "show", "hide", "log:"}));
}

TEST_F(ThreadFixture, ManualRequestEndsTheWaitAtOnce) {
    TKuaipanSyncThread thread(observer, settings, flags);
    thread.SetTickLength(1h);
    thread.Start();
    ASSERT_TRUE(observer->WaitFor("log:", 1));
    thread.RequestManualSync();
    ASSERT_TRUE(observer->WaitFor("log:", 2));
    EXPECT_EQ(thread.SyncCount(), 2);
}

TEST_F(ThreadFixture, TerminationIsSeenWithinOneTick) {
    TKuaipanSyncThread thread(observer, settings, flags);
    const auto tick = 60s;
    thread.SetTickLength(tick);
    thread.Start();
    ASSERT_TRUE(observer->WaitFor("log:", 1)); // waiting now
    const auto start = std::chrono::steady_clock::now();
    thread.Terminate();
    thread.WaitFor();
    EXPECT_LT(std::chrono::steady_clock::now() - start, tick / 2);
    EXPECT_EQ(thread.SyncCount(), 1);
}

TEST_F(ThreadFixture, NothingIsShownOnceTerminationWasRequested) {
    TKuaipanSyncThread thread(observer, settings, flags);
    thread.SetTickLength(1h);
    thread.SetSyncPass([&] {
        thread.OutputSyncLog("before");
        thread.Terminate();
        thread.OutputSyncLog("after");
        thread.UpdateSyncStatusBar("after");
    });
    thread.Start();
    thread.WaitFor(); // ends by itself: no wait follows a terminated round
    EXPECT_EQ(observer->Events(),
              (std::vector<std::string>{"log:Sync Count: 1", "show", "log:before"}));
    EXPECT_FALSE(flags.IsSyncRunning);
}

TEST_F(ThreadFixture, AnExceptionIsLoggedAndTheThreadGoesOn) {
    TKuaipanSyncThread thread(observer, settings, flags);
    thread.SetTickLength(1h);
    int passes = 0;
    thread.SetSyncPass([&] {
        if (++passes == 1) {
            thread.OutputSyncLog("step line");
            throw std::runtime_error("Connection refused");
        }
    });
    thread.Start();
    ASSERT_TRUE(observer->WaitFor("log:", 1));
    thread.RequestManualSync();
    ASSERT_TRUE(observer->WaitFor("log:", 2));
    thread.Terminate();
    thread.WaitFor();
    EXPECT_EQ(passes, 2);
    EXPECT_EQ(observer->Events(),
              (std::vector<std::string>{
                  "log:Sync Count: 1", "show", "log:step line",
                  "log:An error occurred. Connection refused", "status:An error occurred.", "hide",
                  "log:The next sync will be in 5 minutes.", "log:", "log:Sync Count: 2", "show",
                  "hide", "log:The next sync will be in 5 minutes.", "log:"}));
}

TEST_F(ThreadFixture, AutomaticPassesStopWhileTheAccountIsCleared) {
    settings->SyncTimeInterval = 1;
    flags.IsKuaipanAccountCleared = true;
    TKuaipanSyncThread thread(observer, settings, flags);
    thread.SetTickLength(1ms); // a round is 60 ticks
    std::atomic<int> passes{0};
    thread.SetSyncPass([&] { ++passes; });
    thread.Start();
    // Rounds go by without a pass.
    ASSERT_TRUE(WaitUntil([&] { return thread.RoundCount() >= 3; }));
    EXPECT_EQ(passes, 0);
    // Binding an account again lets automatic passes run.
    flags.IsKuaipanAccountCleared = false;
    ASSERT_TRUE(WaitUntil([&] { return passes > 0; }));
    // A manual request runs a pass while the account is cleared.
    flags.IsKuaipanAccountCleared = true;
    ASSERT_TRUE(observer->WaitFor("log:", 1));
    const int before = thread.SyncCount();
    thread.RequestManualSync();
    ASSERT_TRUE(WaitUntil([&] { return thread.SyncCount() > before; }));
}

TEST_F(ThreadFixture, AnIntervalBelowOneMinuteFallsBackToTheDefault) {
    settings->SyncTimeInterval = 0;
    TKuaipanSyncThread thread(observer, settings, flags);
    thread.SetTickLength(1h);
    thread.Start();
    ASSERT_TRUE(observer->WaitFor("log:", 1));
    thread.Terminate();
    thread.WaitFor();
    EXPECT_EQ(thread.SyncCount(), 1);
    EXPECT_EQ(observer->Events().at(3), "log:The next sync will be in 5 minutes.");
}
