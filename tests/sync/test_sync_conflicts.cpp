// Both computers changed the same objects between two passes: nothing that
// either side created or still has to push is lost, one file per ID remains
// in the cloud, and the log says who won.

#include "SyncSide.h"

#include "sync/OtSyncPlanner.h"

#include "common/Text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>

using namespace ot;
using namespace ot::test;

namespace {

struct Conflicts : ::testing::Test {
    CloudServerProcess& server = SharedServer();
    std::string user = FreshUser();
    TSyncSide A{"ot-conflict-a", server, user};
    TSyncSide B{"ot-conflict-b", server, user};

    ~Conflicts() override { server.ClearFaults(); }

    void ExpectConverged() { ot::test::ExpectConverged(server, user, A, B); }
    // Cloud files per item ID.
    std::map<std::string, int> CloudFilesByID() {
        std::map<std::string, TCloudEntry> entries;
        CloudState(server, user, &entries);
        std::map<std::string, int> byID;
        for (const auto& [path, entry] : entries)
            if (EndsWith(path, ".tsk")) {
                const auto name = path.substr(path.rfind('/') + 1);
                ++byID[name.substr(0, name.find('#'))];
            }
        return byID;
    }
};

bool HasLineWith(TRecordingObserver& o, const std::string& part) {
    const auto lines = LogLines(o);
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(part) != std::string::npos; });
}

} // namespace

TEST_F(Conflicts, AListDeletedThereKeepsWhatExistsOnlyOrChangedHere) {
    auto list = A.AddClass("Groceries");
    A.AddItem(list, "Bread");
    A.AddItem(list, "Milk");
    A.AddClass("Other");
    EXPECT_TRUE(A.SyncClean());
    EXPECT_TRUE(B.SyncClean());

    A.DeleteClass(A.FindClass("Groceries"));
    EXPECT_TRUE(A.SyncClean());
    B.AddItem(B.FindClass("Groceries"), "Eggs");
    B.EditItem(B.FindItem("Milk"), [](TOtTaskItem& i) { i.SetRemarks("oat"); });

    EXPECT_TRUE(B.SyncClean());
    EXPECT_TRUE(HasLineWith(*B.Observer, "Task class \"Groceries\" was deleted in Kuaipan by "
                                         "another computer; it is created again for 2 local task "
                                         "item(s)"));
    // The synchronized, unchanged task went with the list.
    EXPECT_EQ(B.UserState(),
              "Groceries/\nGroceries/Eggs s0 p5 | \nGroceries/Milk s0 p5 | oat\nOther/\n");

    EXPECT_TRUE(B.SyncClean());
    EXPECT_TRUE(A.SyncClean());
    EXPECT_EQ(A.UserState(), B.UserState());
    ExpectConverged();
}

TEST_F(Conflicts, ARenameThereAndAnEditHereLeaveOneFilePerID) {
    auto list = A.AddClass("List");
    A.AddItem(list, "Task", 5, "old");
    EXPECT_TRUE(A.SyncClean());
    EXPECT_TRUE(B.SyncClean());

    A.EditItem(A.FindItem("Task"), [](TOtTaskItem& i) { i.SetTitle("Task renamed by A"); });
    EXPECT_TRUE(A.SyncClean());
    B.EditItem(B.FindItem("Task"), [](TOtTaskItem& i) { i.SetRemarks("new from B"); });
    EXPECT_TRUE(B.SyncClean());
    // Each side changed another field: both changes are kept.
    EXPECT_TRUE(HasLineWith(*B.Observer, "the changes were merged."));
    EXPECT_EQ(B.UserState(), "List/\nList/Task renamed by A s0 p5 | new from B\n");
    for (const auto& [id, files] : CloudFilesByID())
        EXPECT_EQ(files, 1) << id;

    for (int round = 0; round < 2; ++round) {
        EXPECT_TRUE(A.SyncClean());
        EXPECT_TRUE(B.SyncClean());
    }
    EXPECT_EQ(A.UserState(), "List/\nList/Task renamed by A s0 p5 | new from B\n");
    ExpectConverged();
    // Settled: another round changes nothing on either side.
    const std::string before = A.State() + B.State();
    EXPECT_TRUE(A.SyncClean());
    EXPECT_TRUE(B.SyncClean());
    EXPECT_EQ(A.State() + B.State(), before);
}

TEST_F(Conflicts, ARowPassedOverForAFailedListingKeepsThePassFromSucceeding) {
    auto list = A.AddClass("List");
    A.AddItem(list, "Task", 5, "first");
    EXPECT_TRUE(A.SyncClean());
    A.EditItem(A.FindItem("Task"), [](TOtTaskItem& i) { i.SetRemarks("second"); });

    // The root lists; the class's listing fails in step 1 (twice three tries).
    const TDateTime watermark = A.Engine().LastDateTimeSyncSuccess();
    server.AddFault({.Kind = "metadata", .Skip = 1, .Count = 6});
    EXPECT_FALSE(A.SyncClean());
    EXPECT_EQ(A.Engine().LastDateTimeSyncSuccess(), watermark);
    server.ClearFaults();

    EXPECT_TRUE(A.SyncClean());
    EXPECT_EQ(CloudUserState(server, user), "List/\nList/Task s0 p5 | second\n");
}

TEST_F(Conflicts, ANeverRecordedLocalEditIsPushedNotReplaced) {
    auto list = A.AddClass("List");
    auto task = A.AddItem(list, "Task", 5, "synced");
    EXPECT_TRUE(A.SyncClean());
    EXPECT_TRUE(B.SyncClean());

    // The edit reached the file, its recording did not (the row is gone).
    task->SetRemarks("never recorded");
    ASSERT_TRUE(task->SaveToFile(A.Dir().Paths().TaskDataPath + task->Path()));
    {
        TOtSyncQueueDBUtility db(A.Dir().Paths().DBFileName);
        ASSERT_TRUE(db.DeleteSyncQueue(task->ID()));
    }
    A.Engine().SetLastDateTimeSyncSuccess(0);
    EXPECT_TRUE(A.SyncClean());
    EXPECT_TRUE(HasLineWith(*A.Observer, "had no queue record: the local copy wins"));
    EXPECT_EQ(A.FindItem("Task")->Remarks(), "never recorded");

    EXPECT_TRUE(A.SyncClean());
    EXPECT_TRUE(B.SyncClean());
    EXPECT_EQ(B.FindItem("Task")->Remarks(), "never recorded");
    ExpectConverged();
}

TEST_F(Conflicts, AHeldBackMassDeletionIsAppliedOnceConfirmed) {
    auto list = A.AddClass("Archive");
    for (int i = 1; i <= 8; ++i)
        A.AddItem(list, "Old " + std::to_string(i));
    A.AddItem(A.AddClass("Keep"), "Current");
    EXPECT_TRUE(A.SyncClean());
    EXPECT_TRUE(B.SyncClean());
    for (int i = 1; i <= 8; ++i)
        A.DeleteItem(A.FindItem("Old " + std::to_string(i)));
    EXPECT_TRUE(A.SyncClean());

    const std::string before = B.UserState();
    EXPECT_FALSE(B.SyncClean());
    EXPECT_EQ(B.UserState(), before);
    EXPECT_TRUE(HasLineWith(*B.Observer, "Held back: 8 task item(s) in \"Archive\""));

    B.Engine().AllowMassDeletionsOnce();
    EXPECT_TRUE(B.SyncClean());
    EXPECT_EQ(B.UserState(), A.UserState());
    EXPECT_EQ(B.Engine().LastSummary().Deleted, 8);
    ExpectConverged();
}

TEST_F(Conflicts, AServerThatStopsAnsweringEndsThePassEarly) {
    auto list = A.AddClass("List");
    for (int i = 1; i <= 8; ++i)
        A.AddItem(list, "Task " + std::to_string(i));
    EXPECT_TRUE(A.SyncClean());
    for (int i = 1; i <= 8; ++i)
        A.EditItem(A.FindItem("Task " + std::to_string(i)),
                   [](TOtTaskItem& t) { t.SetPriority(1); });

    // Both listings of step 1 answer, then nothing does.
    server.AddFault({.Kind = "metadata", .Skip = 2, .Count = -1});
    server.AddFault({.Kind = "move", .Count = -1});
    server.ResetCounters();
    A.Observer->Clear();
    EXPECT_FALSE(A.SyncClean());
    EXPECT_LE(server.Counter("move"), 3 * TKuaipanSyncUtility::UnreachableAfterFailures);
    EXPECT_TRUE(HasLineWith(*A.Observer, "The Kuaipan server cannot be reached"));
    EXPECT_TRUE(A.Engine().LastSummary().Unreachable);
    // The count agrees with the lines: each failed row and the stop.
    const auto lines = LogLines(*A.Observer);
    const auto failed = std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find("failed!") != std::string::npos ||
               l.find("cannot be reached") != std::string::npos;
    });
    EXPECT_EQ(A.Engine().LastSummary().Errors, failed);
    server.ClearFaults();

    EXPECT_TRUE(A.SyncClean());
    EXPECT_TRUE(B.SyncClean());
    ExpectConverged();
}

TEST_F(Conflicts, APassOverSettledRowsPausesNowhere) {
    auto list = A.AddClass("List");
    for (int i = 1; i <= 5; ++i)
        A.AddItem(list, "Task " + std::to_string(i));
    EXPECT_TRUE(A.SyncClean());

    // A new engine (the next program start) reads every row again; none of
    // them needs a request, so an hour's pause must never begin.
    TKuaipanSyncUtility fresh(&A.Thread(), A.Tree(), server.Hosts(), A.Settings);
    fresh.SetRowPause(std::chrono::hours(1));
    auto pass = std::async(std::launch::async, [&] { return fresh.SyncToKuaipan(); });
    const bool done = pass.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    if (!done)
        fresh.RequestStop();
    EXPECT_TRUE(done) << "the pass paused after a row that sent no request";
    try {
        EXPECT_TRUE(pass.get());
    } catch (const ESyncStopped&) {
    }
}

// The edit comes from a second thread while the pass downloads the same
// task; the pass must leave it in place for the next pass to push.
TEST_F(Conflicts, AnEditFromAnotherThreadDuringTheDownloadWins) {
    auto list = A.AddClass("List");
    A.AddItem(list, "Shared", 5, "base");
    EXPECT_TRUE(A.SyncClean());
    EXPECT_TRUE(B.SyncClean());
    A.EditItem(A.FindItem("Shared"), [](TOtTaskItem& i) { i.SetRemarks("from A"); });
    EXPECT_TRUE(A.SyncClean());

    server.AddFault({.Kind = "download_file", .Action = "delay", .DelayMs = 1500});
    server.ResetCounters();
    auto shared = B.FindItem("Shared");
    std::thread pass([&] { B.SyncClean(); });
    while (server.Counter("download_file") == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    B.EditItem(shared, [](TOtTaskItem& i) { i.SetRemarks("from B, during the download"); });
    pass.join();
    server.ClearFaults();

    EXPECT_EQ(shared->Remarks(), "from B, during the download");
    EXPECT_TRUE(HasLineWith(*B.Observer, "was changed during the download: the local change wins"));
    // Both rewrote the remarks since they last agreed: both texts are kept.
    EXPECT_TRUE(B.SyncClean());
    EXPECT_TRUE(A.SyncClean());
    const std::string merged = A.FindItem("Shared")->Remarks();
    EXPECT_NE(merged.find("from B, during the download"), std::string::npos) << merged;
    EXPECT_NE(merged.find("from A"), std::string::npos) << merged;
    EXPECT_NE(merged.find(MergedRemarksMarker), std::string::npos) << merged;
    ExpectConverged();
}

// An edit made while the item's upload is under way may not have gone with
// it: the row keeps the content to push, and the other side gets the edit.
// Both for a new item (its first upload) and for a changed one.
TEST_F(Conflicts, AnEditFromAnotherThreadDuringTheUploadIsPushedNextTime) {
    auto list = B.AddClass("List");
    B.AddItem(list, "Known", 5, "base");
    EXPECT_TRUE(B.SyncClean());
    EXPECT_TRUE(A.SyncClean());
    for (const bool isNew : {true, false}) {
        SCOPED_TRACE(isNew ? "a new item" : "a changed item");
        const std::string title = isNew ? "Fresh" : "Known";
        if (isNew)
            B.AddItem(B.FindClass("List"), title, 5, "first");
        else
            B.EditItem(B.FindItem(title), [](TOtTaskItem& i) { i.SetRemarks("first"); });

        server.AddFault({.Kind = "upload_file", .Action = "delay", .DelayMs = 1000});
        server.ResetCounters();
        auto item = B.FindItem(title);
        std::thread pass([&] { B.SyncClean(); });
        while (server.Counter("upload_file") == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        B.EditItem(item, [](TOtTaskItem& i) { i.SetRemarks("second, during the upload"); });
        pass.join();
        server.ClearFaults();

        EXPECT_TRUE(HasLineWith(*B.Observer, "was changed during its upload"));
        EXPECT_TRUE(B.SyncClean());
        EXPECT_TRUE(A.SyncClean());
        ASSERT_TRUE(A.FindItem(title));
        EXPECT_EQ(A.FindItem(title)->Remarks(), "second, during the upload");
        ExpectConverged();
    }
}

// A new item whose download failed leaves nothing behind: a copy without its
// content and link would later pass for a task made here and be kept as a
// second task once the other computer renamed the original.
TEST_F(Conflicts, AFailedDownloadOfANewItemLeavesNoHalfCopy) {
    auto list = A.AddClass("List");
    A.AddItem(list, "Pulled", 5, "its remarks");
    EXPECT_TRUE(A.SyncClean());

    server.AddFault({.Kind = "download_file", .Count = -1, .Status = 500});
    EXPECT_FALSE(B.SyncClean());
    server.ClearFaults();
    EXPECT_FALSE(B.FindItem("Pulled")) << B.UserState();

    A.EditItem(A.FindItem("Pulled"), [](TOtTaskItem& i) { i.SetTitle("Pulled, renamed"); });
    EXPECT_TRUE(A.SyncClean());
    EXPECT_TRUE(B.SyncClean());
    EXPECT_EQ(B.UserState(), "List/\nList/Pulled, renamed s0 p5 | its remarks\n");
    ExpectConverged();
}
