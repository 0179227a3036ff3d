// Two computers on one account changing the same tasks in the orders users
// really meet: an edit against a later move, a change landing inside the
// other computer's pass, an old backup replaying its queue, a restored
// server, a list deleted under unsynchronized work, a wrong clock and a
// server that is down. Each ends in whole states: both sides and the cloud
// agree, one file per task, nothing a user typed lost.

#include "SyncSide.h"

#include "cloud/KuaipanException.h"
#include "common/FileUtil.h"
#include "common/Text.h"
#include "sync/OtSyncPlanner.h"
#include "syncqueue/OtTaskDataCheckUtility.h"
#include "tasks/OtTaskUtility.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

using namespace ot;
using namespace ot::test;
namespace fs = std::filesystem;

namespace {

struct Sequences : ::testing::Test {
    CloudServerProcess& server = SharedServer();
    std::string user = FreshUser();
    TSyncSide A{"ot-seq-a", server, user};
    TSyncSide B{"ot-seq-b", server, user};

    ~Sequences() override {
        server.ClearFaults();
        server.SetClockOffset(0);
    }

    void ExpectConverged() { ot::test::ExpectConverged(server, user, A, B); }
    // Rounds of passes until nothing changes any more (at most three), then
    // one more that must change nothing on either side: no task flips.
    void Settle() {
        for (int round = 0; round < 3; ++round) {
            EXPECT_TRUE(A.SyncClean());
            EXPECT_TRUE(B.SyncClean());
        }
        const std::string before = A.DiskState() + B.DiskState() + CloudState(server, user);
        EXPECT_TRUE(A.SyncClean());
        EXPECT_TRUE(B.SyncClean());
        EXPECT_EQ(A.DiskState() + B.DiskState() + CloudState(server, user), before);
        ExpectConverged();
    }
    std::map<std::string, int> CloudFilesByID() { return ot::test::CloudFilesByID(server, user); }
    void ExpectOneFilePerID() {
        for (const auto& [id, files] : CloudFilesByID())
            EXPECT_EQ(files, 1) << id;
    }
    // A shared task, on both sides and in the cloud.
    void Shared(const std::string& remarks = "base") {
        auto home = A.AddClass("Home");
        A.AddClass("Work");
        A.AddItem(home, "Task", 5, remarks);
        EXPECT_TRUE(A.SyncClean());
        EXPECT_TRUE(B.SyncClean());
    }
};

bool HasStatusWith(TRecordingObserver& o, const std::string& part) {
    const auto& events = o.Events();
    return std::any_of(events.begin(), events.end(), [&](const std::string& e) {
        return e.rfind("status:", 0) == 0 && e.find(part) != std::string::npos;
    });
}

void MoveTo(TSyncSide& side, const std::string& title, const std::string& list) {
    side.EditItem(side.FindItem(title),
                  [&](TOtTaskItem& i) { i.SetTaskClass(side.FindClass(list)); });
}

} // namespace

// B edits the remarks and syncs; A, not synchronized since, moves the task.
TEST_F(Sequences, AnEditSurvivesALaterMoveFromAStaleSide) {
    Shared();
    B.EditItem(B.FindItem("Task"), [](TOtTaskItem& i) { i.SetRemarks("edited on B"); });
    EXPECT_TRUE(B.SyncClean());
    MoveTo(A, "Task", "Work");
    A.Observer->Clear();
    EXPECT_TRUE(A.SyncClean());
    EXPECT_TRUE(HasLineWith(*A.Observer, "the change goes with the move"));
    Settle();
    EXPECT_EQ(A.UserState(), "Home/\nWork/\nWork/Task s0 p5 | edited on B\n");
    ExpectOneFilePerID();
}

// The other way round: B moves, A edits, B syncs first.
TEST_F(Sequences, AnEditAfterAMoveElsewhereGoesWithTheMove) {
    Shared();
    MoveTo(B, "Task", "Work");
    EXPECT_TRUE(B.SyncClean());
    A.EditItem(A.FindItem("Task"), [](TOtTaskItem& i) { i.SetRemarks("edited on A"); });
    EXPECT_TRUE(A.SyncClean());
    Settle();
    EXPECT_EQ(A.UserState(), "Home/\nWork/\nWork/Task s0 p5 | edited on A\n");
    ExpectOneFilePerID();
}

// B's pass lists the cloud; A's whole pass runs before B pushes its remarks
// edit of the same task under the name B listed.
TEST_F(Sequences, AChangeLandingInsideAnotherPassIsMerged) {
    struct Case {
        const char* What;
        std::function<void(TSyncSide&)> Change;
        std::string Expected;
    };
    const Case cases[] = {
        {"move", [](TSyncSide& a) { MoveTo(a, "Task", "Work"); },
         "Home/\nWork/\nWork/Task s0 p5 | edited on B\n"},
        {"complete",
         [](TSyncSide& a) {
             a.EditItem(a.FindItem("Task"), [](TOtTaskItem& i) { i.SetStatus(tsCompleted); });
         },
         "Home/\nHome/Task s1 p5 | edited on B\nWork/\n"},
        {"rename",
         [](TSyncSide& a) {
             a.EditItem(a.FindItem("Task"), [](TOtTaskItem& i) { i.SetTitle("Task renamed"); });
         },
         "Home/\nHome/Task renamed s0 p5 | edited on B\nWork/\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        const std::string u = FreshUser();
        TSyncSide a{"ot-seq-in-a", server, u};
        TSyncSide b{"ot-seq-in-b", server, u};
        auto home = a.AddClass("Home");
        a.AddClass("Work");
        a.AddItem(home, "Task", 5, "base");
        EXPECT_TRUE(a.SyncClean());
        EXPECT_TRUE(b.SyncClean());

        b.EditItem(b.FindItem("Task"), [](TOtTaskItem& i) { i.SetRemarks("edited on B"); });
        c.Change(a);
        bool ran = false;
        b.Engine().SetAfterListingHook([&] {
            if (!std::exchange(ran, true)) {
                EXPECT_TRUE(a.SyncClean());
            }
        });
        EXPECT_TRUE(b.SyncClean());
        EXPECT_TRUE(ran);
        b.Engine().SetAfterListingHook(nullptr);

        for (int round = 0; round < 3; ++round) {
            EXPECT_TRUE(a.SyncClean());
            EXPECT_TRUE(b.SyncClean());
        }
        const std::string before = a.DiskState() + b.DiskState() + CloudState(server, u);
        EXPECT_TRUE(a.SyncClean());
        EXPECT_TRUE(b.SyncClean());
        EXPECT_EQ(a.DiskState() + b.DiskState() + CloudState(server, u), before)
            << "a task flips between two versions";
        EXPECT_EQ(a.UserState(), c.Expected);
        EXPECT_EQ(b.UserState(), c.Expected);
        ot::test::ExpectConverged(server, u, a, b);
    }
}

// A restored from a backup taken while an edit was still queued: the replay
// of that old edit must not overwrite what B wrote later.
TEST_F(Sequences, AStaleReplayFromABackupOverwritesNothing) {
    Shared();
    A.EditItem(A.FindItem("Task"), [](TOtTaskItem& i) {
        i.SetRemarks("old edit on A");
        i.SetPriority(3);
    });
    const fs::path backup = A.Dir().Root().string() + "-backup";
    A.SaveCopy(backup);
    EXPECT_TRUE(A.SyncClean());
    EXPECT_TRUE(B.SyncClean());
    B.EditItem(B.FindItem("Task"), [](TOtTaskItem& i) {
        i.SetRemarks("newer on B");
        i.SetPriority(9);
    });
    EXPECT_TRUE(B.SyncClean());

    A.RestoreCopy(backup, server);
    fs::remove_all(backup);
    EXPECT_TRUE(A.SyncClean());
    Settle();
    const auto task = A.FindItem("Task");
    ASSERT_TRUE(task);
    // B's later values win each field both changed; A's text is kept.
    EXPECT_EQ(task->Priority(), 9);
    EXPECT_EQ(task->Remarks().rfind("newer on B", 0), 0u) << task->Remarks();
    EXPECT_NE(task->Remarks().find("old edit on A"), std::string::npos);
    ExpectOneFilePerID();
}

// A list deleted on A while B has work in it that A never saw: after B's
// next pass, A's next pass has it.
TEST_F(Sequences, AListDeletedUnderUnsyncedWorkConvergesInOneRound) {
    auto list = A.AddClass("Groceries");
    A.AddClass("Other");
    A.AddItem(list, "Bread");
    A.AddItem(list, "Milk");
    EXPECT_TRUE(A.SyncClean());
    EXPECT_TRUE(B.SyncClean());
    A.DeleteClass(A.FindClass("Groceries"));
    EXPECT_TRUE(A.SyncClean());
    B.AddItem(B.FindClass("Groceries"), "Eggs");
    B.EditItem(B.FindItem("Milk"), [](TOtTaskItem& i) { i.SetRemarks("oat"); });

    EXPECT_TRUE(B.SyncClean());
    EXPECT_TRUE(A.SyncClean());
    const std::string expected =
        "Groceries/\nGroceries/Eggs s0 p5 | \nGroceries/Milk s0 p5 | oat\nOther/\n";
    EXPECT_EQ(B.UserState(), expected);
    EXPECT_EQ(A.UserState(), expected);
    ExpectConverged();
}

// The server's clock runs an hour ahead of this computer's.
TEST_F(Sequences, AWrongClockIsNamed) {
    Shared();
    server.SetClockOffset(3600);
    std::optional<TKuaipanClockSkewException> refused;
    try {
        B.Sync();
    } catch (const TKuaipanClockSkewException& e) {
        refused = e;
    }
    server.SetClockOffset(0);
    ASSERT_TRUE(refused) << "the refusal was not told apart from other failures";
    EXPECT_NE(ClockSkewText(*refused).find("its clock is 60 minute(s) behind the server's"),
              std::string::npos)
        << ClockSkewText(*refused);
    Settle();
}

// The server does not answer at all when the pass starts.
TEST_F(Sequences, AServerThatIsDownIsNoFinishedPass) {
    Shared();
    B.EditItem(B.FindItem("Task"), [](TOtTaskItem& i) { i.SetRemarks("while down"); });
    const TDateTime watermark = B.Engine().LastDateTimeSyncSuccess();
    B.Observer->Clear();
    server.AddFault({.Kind = "metadata", .Count = -1});
    EXPECT_FALSE(B.Sync());
    server.ClearFaults();
    EXPECT_FALSE(HasStatusWith(*B.Observer, "Synchronization finished. ["));
    EXPECT_TRUE(HasStatusWith(*B.Observer, "error(s)"));
    EXPECT_EQ(B.Engine().LastDateTimeSyncSuccess(), watermark);
    Settle();
    EXPECT_EQ(A.FindItem("Task")->Remarks(), "while down");
}

namespace {

// A server of its own, whose data directory the test backs up and restores.
struct RestoredServer : ::testing::Test {
    CloudServerProcess server;
    TSyncSide A{"ot-restore-a", server, server.User()};
    TSyncSide B{"ot-restore-b", server, server.User()};
    fs::path backup = server.Dir() / "data-backup";

    // One task synchronized, the backup taken, then five more tasks made on
    // A and synchronized to B: the backup lacks five of B's six.
    void BackUpThenAddFive() {
        auto list = A.AddClass("List");
        A.AddItem(list, "Old");
        EXPECT_TRUE(A.SyncClean());
        EXPECT_TRUE(B.SyncClean());
        server.Stop();
        fs::copy(server.DataDir(), backup, fs::copy_options::recursive);
        server.Restart();
        for (int i = 1; i <= 5; ++i)
            A.AddItem(A.FindClass("List"), "New " + std::to_string(i));
        EXPECT_TRUE(A.SyncClean());
        EXPECT_TRUE(B.SyncClean());
    }
    // Marked: the data directory replaced and the administrator's command
    // run. Unmarked: the old bytes written back into the files in place, which
    // the server cannot tell from its own writes.
    void RestoreBackup(bool markRestored) {
        server.Stop();
        if (markRestored) {
            fs::remove_all(server.DataDir());
            fs::copy(backup, server.DataDir(), fs::copy_options::recursive);
            EXPECT_EQ(server.RunCommand({"mark-restored"}), 0);
        } else {
            for (const auto& e : fs::recursive_directory_iterator(backup))
                if (e.is_regular_file()) {
                    std::ifstream in(e.path(), std::ios::binary);
                    std::ofstream out(server.DataDir() / fs::relative(e.path(), backup),
                                      std::ios::binary | std::ios::trunc);
                    out << in.rdbuf();
                }
        }
        server.Restart();
    }
    static int Items(TSyncSide& side) {
        int n = 0;
        for (const auto& c : side.Classes)
            n += static_cast<int>(c->TaskList().size());
        return n;
    }
};

} // namespace

TEST_F(RestoredServer, AMarkedRestoreDeletesNothingAndUploadsAgain) {
    BackUpThenAddFive();
    RestoreBackup(true);
    B.Observer->Clear();
    EXPECT_TRUE(B.SyncClean());
    EXPECT_TRUE(HasLineWith(*B.Observer, "restored from a backup"));
    EXPECT_EQ(Items(B), 6);
    for (int round = 0; round < 2; ++round) {
        EXPECT_TRUE(A.SyncClean());
        EXPECT_TRUE(B.SyncClean());
    }
    EXPECT_EQ(Items(A), 6);
    EXPECT_EQ(Items(B), 6);
    ot::test::ExpectConverged(server, server.User(), A, B);
}

TEST_F(RestoredServer, AnUnmarkedRestoreIsHeldBackEvenInASmallTree) {
    BackUpThenAddFive();
    RestoreBackup(false);
    EXPECT_FALSE(B.Sync());
    EXPECT_EQ(B.Engine().LastSummary().HeldBack.Count, 5);
    EXPECT_EQ(Items(B), 6);
}

// Files made by hand in the task tree: names this program would not write and
// links are named by the data check and left alone by every pass.
TEST_F(Sequences, HandMadeEntriesAreLeftAlone) {
    Shared();
    const fs::path dir = A.Dir().Paths().TaskDataPath + A.FindClass("Home")->DirName();
    const fs::path secret = A.Dir().Root() / "secret.txt";
    {
        std::ofstream(secret) << "not a task";
        std::ofstream(dir / "1300000abcQA#0#Lower#5#202612101219###.tsk") << "<x/>";
        std::ofstream(dir / ".1300000099QA#0#Dot#5#202612101219###.tsk") << "<x/>";
        std::ofstream(dir / "1300000098QA#0#Line\nbreak#5#202612101219###.tsk") << "<x/>";
    }
    fs::create_symlink(secret, dir / "1300000097QA#0#Link#5#202612101219###.tsk");
    A.Restart(server);

    TOtTaskDataCheck check(A.Dir().Paths());
    check.DoDataCheck();
    int leftAlone = 0;
    for (const auto& line : check.Logs())
        leftAlone += StartsWith(line, "Left alone: ") ? 1 : 0;
    EXPECT_EQ(leftAlone, 4);

    for (int round = 0; round < 2; ++round) {
        EXPECT_TRUE(A.SyncClean());
        EXPECT_TRUE(B.SyncClean());
    }
    const std::string cloud = CloudState(server, user);
    EXPECT_EQ(cloud.find("not a task"), std::string::npos);
    EXPECT_EQ(B.UserState(), "Home/\nHome/Task s0 p5 | base\nWork/\n");
    for (const char* name :
         {"1300000abcQA#0#Lower#5#202612101219###.tsk", ".1300000099QA#0#Dot#5#202612101219###.tsk",
          "1300000098QA#0#Line\nbreak#5#202612101219###.tsk"})
        EXPECT_TRUE(fs::exists(dir / name)) << name;
    EXPECT_TRUE(fs::is_symlink(dir / "1300000097QA#0#Link#5#202612101219###.tsk"));
}

// The queue covers the tree: a list and a task whose rows were lost (an old
// database put back, a write that never landed) still reach the cloud.
TEST_F(Sequences, ObjectsWithoutQueueRowsAreRecordedAndGoUp) {
    Shared();
    auto lost = A.AddClass("Lost");
    const auto inLost = A.AddItem(lost, "In lost list");
    const auto inHome = A.AddItem(A.FindClass("Home"), "Row lost");
    {
        TOtSyncQueueDBUtility db(A.Dir().Paths().DBFileName);
        for (const auto& id : {lost->ID(), inLost->ID(), inHome->ID()})
            EXPECT_TRUE(db.DeleteSyncQueue(id)) << id;
    }
    A.Observer->Clear();
    EXPECT_TRUE(A.SyncClean());
    EXPECT_TRUE(HasLineWith(*A.Observer, "\"Row lost\" in class \"Home\" had no queue record"));
    Settle();
    ASSERT_TRUE(B.FindItem("In lost list"));
    EXPECT_EQ(B.FindItem("In lost list")->TaskClass()->Title(), "Lost");
    EXPECT_TRUE(B.FindItem("Row lost"));
}

// A list directory renamed by hand is a rename of the list.
TEST_F(Sequences, AListRenamedByHandIsRenamedEverywhere) {
    Shared();
    const auto home = A.FindClass("Home");
    const std::string root = A.Dir().Paths().TaskDataPath;
    fs::rename(root + home->DirName(), root + home->ID() + "#House");
    A.Restart(server);
    {
        TOtTaskDataCheck check(A.Dir().Paths());
        check.DoDataCheck();
    }
    EXPECT_TRUE(A.SyncClean());
    B.EditItem(B.FindItem("Task"), [](TOtTaskItem& i) { i.SetRemarks("edited on B"); });
    EXPECT_TRUE(B.SyncClean());
    EXPECT_TRUE(HasLineWith(*B.Observer, "Rename local task class \"Home\" to \"House\""));
    Settle();
    EXPECT_EQ(B.UserState(), "House/\nHouse/Task s0 p5 | edited on B\nWork/\n");
    EXPECT_EQ(A.UserState(), B.UserState());
    ExpectOneFilePerID();
}

// A task file copied by hand into another list: two files here with one ID.
TEST_F(Sequences, TwoLocalFilesWithOneIDBecomeTwoTasks) {
    Shared("the original");
    const auto task = A.FindItem("Task");
    const std::string root = A.Dir().Paths().TaskDataPath;
    fs::copy_file(root + task->Path(),
                  root + A.FindClass("Work")->DirName() + "/" + task->FileName() + ".tsk");
    A.Restart(server);
    EXPECT_TRUE(A.SyncClean());
    EXPECT_TRUE(HasLineWith(*A.Observer, "had two files here with one ID"));
    Settle();
    EXPECT_EQ(B.UserState(),
              "Home/\nHome/Task s0 p5 | the original\nWork/\nWork/Task s0 p5 | the original\n");
    ExpectOneFilePerID();
}

// A second cloud file that appears while a pass runs (another computer's
// pass raced it) is dealt with by that same pass, not the next one: a second
// version of the task (the same title) is folded into one file, and a file
// under another title, another task that drew the same ID elsewhere, is
// given a new ID so that both tasks stay.
TEST_F(Sequences, ASecondCloudFileMadeDuringAPassIsDealtWithByIt) {
    Shared();
    const struct {
        const char* From;
        const char* To;
        const char* Line;
        const char* State;
    } cases[] = {
        {"#Task#5#", "#Task#7#", "had two files in Kuaipan",
         "Home/\nHome/Task s0 p7 | written elsewhere\nWork/\nWork/Other 1 s0 p5 | \n"},
        {"#Task#", "#Elsewhere#", "drew the same ID in Kuaipan; \"Elsewhere\" was given a new ID",
         "Home/\nHome/Elsewhere s0 p7 | written elsewhere\nHome/Task s0 p7 | written elsewhere\n"
         "Work/\nWork/Other 1 s0 p5 | \nWork/Other 2 s0 p5 | \n"},
    };
    int round = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.To);
        // Something to push, so the pass lists the cloud again after step 1.
        A.AddItem(A.FindClass("Work"), "Other " + std::to_string(++round));
        const std::string name = A.FindItem("Task")->FileName();
        bool ran = false;
        A.Engine().SetAfterListingHook([&] {
            if (std::exchange(ran, true))
                return;
            auto api = CloudClient(server, user);
            const std::string local = (B.Dir().Root() / "upload.tmp").string();
            ASSERT_TRUE(
                WriteFileAtomic(local, TOtTaskUtility::TaskFileContent("written elsewhere")));
            std::string other = name;
            other.replace(other.find(c.From), std::strlen(c.From), c.To);
            EXPECT_FALSE(api->UploadFile("/" + A.FindClass("Home")->DirName() + "/" + other +
                                             ".tsk",
                                         local, true)
                             .file_id.empty());
        });
        A.Observer->Clear();
        EXPECT_TRUE(A.SyncClean());
        A.Engine().SetAfterListingHook(nullptr);
        EXPECT_TRUE(ran);
        EXPECT_TRUE(HasLineWith(*A.Observer, c.Line));
        ExpectOneFilePerID();
        Settle();
        ExpectOneFilePerID();
        EXPECT_EQ(B.UserState(), c.State);
        EXPECT_EQ(A.UserState(), B.UserState());
    }
}
