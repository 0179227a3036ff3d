// Failures of the cloud service during passes, injected into a real
// otCloudServer: retries, failures that persist, exceptions that end a pass
// on the sync thread, broken downloads, and a server killed mid-pass.

#include "SyncSide.h"

#include "common/FileUtil.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace ot;
using namespace ot::test;

namespace {

struct Faults : ::testing::Test {
    CloudServerProcess& server = SharedServer();
    std::string user = FreshUser();
    TSyncSide A{"ot-faults-a", server, user};
    TSyncSide B{"ot-faults-b", server, user};

    ~Faults() override { server.ClearFaults(); }

    void ExpectConverged() { ot::test::ExpectConverged(server, user, A, B); }
};

bool HasLine(TRecordingObserver& o, const std::string& line) {
    const auto lines = LogLines(o);
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool HasEvent(TRecordingObserver& o, const std::string& event) {
    const auto events = o.Events();
    return std::find(events.begin(), events.end(), event) != events.end();
}

} // namespace

TEST_F(Faults, ACallThatFailsTwiceIsRetriedAndSucceeds) {
    A.AddItem(A.AddClass("List"), "Retried", 5, "content");
    server.ResetCounters();
    server.AddFault({.Kind = "upload_file", .Count = 2, .Status = 503});
    EXPECT_TRUE(A.SyncClean());
    EXPECT_EQ(server.Counter("upload_file"), 3);
    EXPECT_TRUE(HasEvent(*A.Observer, "status:Synchronizing - Step 1:  2/2"));
    EXPECT_TRUE(B.SyncClean());
    ExpectConverged();
}

TEST_F(Faults, AFailureThatPersistsKeepsTheWatermarkAndTheNextPassRepairsIt) {
    auto item = A.AddItem(A.AddClass("List"), "Notes", 5, "first");
    EXPECT_TRUE(A.SyncClean());
    EXPECT_NE(A.Engine().LastDateTimeSyncSuccess(), 0);
    // An earlier watermark than any pass of this test could set, so that a
    // move would show.
    const TDateTime watermark = A.Engine().LastDateTimeSyncSuccess() - 1;
    A.Engine().SetLastDateTimeSyncSuccess(watermark);

    A.EditItem(item, [](TOtTaskItem& i) { i.SetRemarks("second"); });
    A.Observer->Clear();
    server.AddFault({.Kind = "upload_file", .Count = -1, .Status = 500});
    EXPECT_FALSE(A.Sync());
    const std::string name = item->FileName();
    EXPECT_TRUE(
        HasLine(*A.Observer, ">> Update task item \"" + name + "\" in Kuaipan failed! (2)  [T]"));
    EXPECT_TRUE(HasLine(*A.Observer, ">> Step 1 finished with 1 error(s).  [T]"));
    EXPECT_TRUE(HasEvent(*A.Observer, "status:Synchronization finished with 1 error(s)."));
    EXPECT_EQ(A.Engine().LastDateTimeSyncSuccess(), watermark);

    // In the same run, not only at the next start, the change goes out.
    server.ClearFaults();
    EXPECT_TRUE(A.SyncClean());
    EXPECT_GT(A.Engine().LastDateTimeSyncSuccess(), watermark);
    EXPECT_TRUE(B.SyncClean());
    EXPECT_EQ(B.FindItem("Notes")->Remarks(), "second");
    ExpectConverged();
}

TEST_F(Faults, AnExceptionEndsThePassOnTheThreadAndLosesNothing) {
    auto list = A.AddClass("List");
    for (int i = 1; i <= 3; ++i)
        A.AddItem(list, "Item " + std::to_string(i));
    // The reply to the second upload is not JSON: the client raises.
    server.AddFault({.Kind = "upload_file", .Skip = 1, .Action = "malformed"});

    A.Thread().SetTickLength(std::chrono::hours(1));
    A.Thread().SetSyncPass([&] { A.Engine().SyncToKuaipan(); });
    A.Thread().Start();
    ASSERT_TRUE(A.Observer->WaitFor("log:", 1)); // the first round is over
    const auto first = LogLines(*A.Observer);
    EXPECT_EQ(first.front(), "Sync Count: 1");
    EXPECT_EQ(
        std::count_if(first.begin(), first.end(),
                      [](const std::string& l) { return l.rfind("An error occurred. ", 0) == 0; }),
        1);
    EXPECT_EQ(std::find(first.begin(), first.end(), ">> Step 1 finished.  [T]"), first.end());
    EXPECT_TRUE(HasEvent(*A.Observer, "status:An error occurred."));
    EXPECT_EQ(A.Engine().LastDateTimeSyncSuccess(), 0);

    server.ClearFaults();
    A.Thread().RequestManualSync();
    ASSERT_TRUE(A.Observer->WaitFor("log:", 2));
    A.Thread().Terminate();
    A.Thread().WaitFor();
    EXPECT_NE(A.Engine().LastDateTimeSyncSuccess(), 0);

    EXPECT_TRUE(B.SyncClean());
    EXPECT_EQ(B.UserState(), A.UserState());
    ExpectConverged();
}

TEST_F(Faults, AFailedDownloadLeavesTheLocalFileAsItWas) {
    auto item = A.AddItem(A.AddClass("List"), "Doc", 5, "one");
    EXPECT_TRUE(A.SyncClean());
    EXPECT_TRUE(B.SyncClean());
    A.EditItem(item, [](TOtTaskItem& i) { i.SetRemarks("two, and much longer than before"); });
    EXPECT_TRUE(A.SyncClean());

    const std::string file = B.Dir().Paths().TaskDataPath + B.FindItem("Doc")->Path();
    std::string before;
    ASSERT_TRUE(ReadWholeFile(file, before));
    for (const char* action : {"truncate", "status"}) {
        SCOPED_TRACE(action);
        server.AddFault({.Kind = "download_file", .Count = 3, .Action = action, .Status = 500});
        B.Observer->Clear();
        EXPECT_FALSE(B.Sync());
        EXPECT_TRUE(
            HasLine(*B.Observer,
                    ">> Update local task item \"Doc\" remarks in class \"List\" failed!  [T]"));
        std::string after;
        ASSERT_TRUE(ReadWholeFile(file, after));
        EXPECT_EQ(after, before);
        EXPECT_EQ(B.FindItem("Doc")->Remarks(), "one");
        EXPECT_EQ(B.DiskState().find("? "), std::string::npos) << "a temporary file was left";
        server.ClearFaults();
    }
    EXPECT_TRUE(B.SyncClean());
    EXPECT_EQ(B.FindItem("Doc")->Remarks(), "two, and much longer than before");
    ExpectConverged();
}

TEST_F(Faults, AServerKilledMidPassAndRestartedLosesNothing) {
    auto list = A.AddClass("List");
    for (int i = 1; i <= 6; ++i)
        A.AddItem(list, "Item " + std::to_string(i), i);
    EXPECT_TRUE(A.SyncClean());
    EXPECT_TRUE(B.SyncClean());
    auto more = B.AddClass("More");
    for (int i = 1; i <= 6; ++i) {
        B.AddItem(more, "More " + std::to_string(i));
        B.EditItem(B.FindItem("Item " + std::to_string(i)),
                   [](TOtTaskItem& t) { t.SetRemarks("edited on B"); });
    }

    int created = 0;
    B.Observer->OnLog = [&](const std::string& line) {
        if (line.find("Create task item") != std::string::npos && ++created == 3)
            server.Kill();
    };
    try {
        EXPECT_FALSE(B.Sync());
    } catch (const std::exception&) {
    }
    B.Observer->OnLog = nullptr;
    EXPECT_FALSE(server.Running());
    server.Restart();

    EXPECT_TRUE(B.SyncClean());
    EXPECT_TRUE(A.SyncClean());
    EXPECT_TRUE(A.FindClass("More"));
    EXPECT_EQ(A.UserState(), B.UserState());
    EXPECT_EQ(A.FindItem("Item 4")->Remarks(), "edited on B");
    ExpectConverged();
}
