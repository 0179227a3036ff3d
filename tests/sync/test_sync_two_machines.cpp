// Two computers syncing one account through a real otCloudServer: every kind
// of change made on one side reaches the other, the exact log of
// representative passes, and who wins when both sides changed.

#include "SyncSide.h"

#include "common/Clock.h"
#include "syncqueue/OtTaskDataCheckUtility.h"
#include "tasks/OtTaskUtility.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

using namespace ot;
using namespace ot::test;
namespace fs = std::filesystem;

namespace {

struct TwoMachines : ::testing::Test {
    CloudServerProcess& server = SharedServer();
    std::string user = FreshUser();
    TSyncSide A{"ot-sync-a", server, user};
    TSyncSide B{"ot-sync-b", server, user};

    // Both sides and the cloud hold the same tree, every row is settled.
    void ExpectConverged() { ot::test::ExpectConverged(server, user, A, B); }
    // A pass on `from`, then one on `to`; both without errors.
    void Carry(TSyncSide& from, TSyncSide& to) {
        EXPECT_TRUE(from.SyncClean());
        EXPECT_TRUE(to.SyncClean());
    }
};

std::vector<std::string> Statuses(TRecordingObserver& observer) {
    std::vector<std::string> out;
    for (const auto& e : observer.Events())
        if (e.rfind("status:", 0) == 0)
            out.push_back(e.find("finished. [") != std::string::npos
                              ? "status:Synchronization finished. [T]"
                              : e);
    return out;
}

} // namespace

TEST_F(TwoMachines, RepresentativePassesLogExactly) {
    auto home = A.AddClass("Home");
    auto milk = A.AddItem(home, "Buy milk", 5, "2 litres");
    const std::string dir = home->DirName();
    const std::string file = milk->FileName();

    EXPECT_TRUE(A.SyncClean());
    EXPECT_EQ(
        LogLines(*A.Observer),
        (std::vector<std::string>{
            ">> Step 1:  [T]",
            ">> Loading Kuaipan task class ...  [T]",
            ">> Load Kuaipan task class successfully!  [T]",
            ">> Sync queue contains 2 records!  [T]",
            ">> Create task class \"" + dir + "\" in Kuaipan successfully!  [T]",
            ">> Create task item \"" + file + "\" in Kuaipan successfully!  [T]",
            ">> Step 1 finished.  [T]",
            ">> ",
            ">> Step 2:  [T]",
            ">> Loading Kuaipan task class ...  [T]",
            ">> Load Kuaipan task class successfully!  [T]",
            ">> Does not require to update local task item \"Buy milk\" in class \"Home\".  [T]",
            ">> Step 2 finished.  [T]",
        }));
    EXPECT_EQ(Statuses(*A.Observer),
              (std::vector<std::string>{
                  "status:Synchronizing - Step 1", "status:Synchronizing - Step 1:  1/2",
                  "status:Synchronizing - Step 1:  2/2", "status:Synchronizing - Step 2",
                  "status:Synchronizing - Step 2:  1/1", "status:Synchronization finished. [T]"}));

    server.ResetCounters();
    EXPECT_TRUE(B.SyncClean());
    // Nothing was queued on B: step 2 used step 1's listing of the root
    // and the one class.
    EXPECT_EQ(server.Counter("metadata"), 2);
    EXPECT_EQ(LogLines(*B.Observer),
              (std::vector<std::string>{
                  ">> Step 1:  [T]",
                  ">> Loading Kuaipan task class ...  [T]",
                  ">> Load Kuaipan task class successfully!  [T]",
                  ">> Sync queue contains 0 records!  [T]",
                  ">> Step 1 finished.  [T]",
                  ">> ",
                  ">> Step 2:  [T]",
                  ">> Loading Kuaipan task class ...  [T]",
                  ">> Load Kuaipan task class successfully!  [T]",
                  ">> Create local task class \"Home\" successfully!  [T]",
                  ">> Create local task item \"Buy milk\" in class \"Home\" successfully!  [T]",
                  ">> Step 2 finished.  [T]",
              }));
    ExpectConverged();
    EXPECT_EQ(B.FindItem("Buy milk")->Remarks(), "2 litres");

    // A rename with new remarks on B: a move and an upload; A takes both.
    auto milkB = B.FindItem("Buy milk");
    B.EditItem(milkB, [](TOtTaskItem& i) {
        i.SetTitle("Buy oat milk");
        i.SetRemarks("1 litre");
    });
    const std::string newFile = milkB->FileName();
    B.Observer->Clear();
    A.Observer->Clear();
    Carry(B, A);
    const auto bLines = LogLines(*B.Observer);
    ASSERT_GE(bLines.size(), 7u);
    EXPECT_EQ(std::vector<std::string>(bLines.begin() + 3, bLines.begin() + 7),
              (std::vector<std::string>{
                  ">> Sync queue contains 1 records!  [T]",
                  ">> Update task item \"" + newFile + "\" in Kuaipan successfully! (3-a)  [T]",
                  ">> Update task item \"" + newFile + "\" in Kuaipan successfully! (3-b)  [T]",
                  ">> Step 1 finished.  [T]",
              }));
    const auto aLines = LogLines(*A.Observer);
    ASSERT_GE(aLines.size(), 12u);
    EXPECT_EQ(std::vector<std::string>(aLines.end() - 3, aLines.end()),
              (std::vector<std::string>{
                  ">> Update local task item \"Buy oat milk\" in class \"Home\" successfully!  [T]",
                  ">> Update local task item \"Buy oat milk\" remarks in class \"Home\" "
                  "successfully!  [T]",
                  ">> Step 2 finished.  [T]",
              }));
    ExpectConverged();
    EXPECT_EQ(A.FindItem("Buy oat milk")->Remarks(), "1 litre");
}

TEST_F(TwoMachines, EveryKindOfChangeReachesTheOtherSide) {
    auto work = A.AddClass("Work");
    A.AddItem(work, "Report", 5, "due friday");
    A.AddItem(work, "Mail", 3);
    auto home = A.AddClass("Home");
    A.AddItem(home, "Garden", 1);
    Carry(A, B);
    ExpectConverged();

    struct Step {
        const char* name;
        bool fromA; // the change is made on A (else on B)
        std::function<void(TSyncSide&)> change;
    };
    const std::vector<Step> steps = {
        {"create item", true,
         [](TSyncSide& s) { s.AddItem(s.FindClass("Work"), "Slides", 7, "ten of them"); }},
        {"rename", false,
         [](TSyncSide& s) {
             s.EditItem(s.FindItem("Mail"), [](TOtTaskItem& i) { i.SetTitle("Mail Bob"); });
         }},
        {"re-prioritise", true,
         [](TSyncSide& s) {
             s.EditItem(s.FindItem("Report"), [](TOtTaskItem& i) { i.SetPriority(9); });
         }},
        {"complete", false,
         [](TSyncSide& s) {
             s.EditItem(s.FindItem("Garden"), [](TOtTaskItem& i) {
                 i.SetStatus(tsCompleted);
                 i.SetFinishDateTime(EncodeDateTime(2016, 3, 6, 8, 2));
             });
         }},
        {"remarks", true,
         [](TSyncSide& s) {
             s.EditItem(s.FindItem("Slides"),
                        [](TOtTaskItem& i) { i.SetRemarks("twelve <now> & \"more\"\nreally"); });
         }},
        {"class move", false,
         [](TSyncSide& s) {
             s.EditItem(s.FindItem("Report"),
                        [&](TOtTaskItem& i) { i.SetTaskClass(s.FindClass("Home")); });
         }},
        {"delete item", true, [](TSyncSide& s) { s.DeleteItem(s.FindItem("Mail Bob")); }},
        {"create class", false,
         [](TSyncSide& s) { s.AddItem(s.AddClass("Shopping"), "Bread", 5, "rye"); }},
        {"delete class", true, [](TSyncSide& s) { s.DeleteClass(s.FindClass("Work")); }},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        TSyncSide& from = step.fromA ? A : B;
        TSyncSide& to = step.fromA ? B : A;
        step.change(from);
        const std::string wanted = from.UserState();
        Carry(from, to);
        EXPECT_EQ(to.UserState(), wanted);
        EXPECT_EQ(from.UserState(), wanted);
        ExpectConverged();
    }
    EXPECT_EQ(A.UserState(), "Home/\n"
                             "Home/Garden s1 p1 | \n"
                             "Home/Report s0 p9 | due friday\n"
                             "Shopping/\n"
                             "Shopping/Bread s0 p5 | rye\n");
}

TEST_F(TwoMachines, WhoWins) {
    auto list = A.AddClass("List");
    A.AddItem(list, "Shared", 5, "base");
    A.AddItem(list, "Doomed", 5);
    A.AddItem(list, "Edited and gone", 5);
    Carry(A, B);

    {
        SCOPED_TRACE("a pending local change wins over the cloud");
        A.EditItem(A.FindItem("Shared"), [](TOtTaskItem& i) { i.SetTitle("Shared by A"); });
        EXPECT_TRUE(A.SyncClean());
        B.EditItem(B.FindItem("Shared"), [](TOtTaskItem& i) {
            i.SetTitle("Shared by B");
            i.SetRemarks("from B");
        });
        EXPECT_TRUE(B.SyncClean()); // pushes over A's change, leaves its item alone
        EXPECT_TRUE(B.FindItem("Shared by B"));
        EXPECT_TRUE(A.SyncClean());
        ASSERT_TRUE(A.FindItem("Shared by B"));
        EXPECT_EQ(A.FindItem("Shared by B")->Remarks(), "from B");
        ExpectConverged();
    }
    {
        SCOPED_TRACE("nothing pending here: the cloud's attributes and newer content win");
        A.EditItem(A.FindItem("Shared by B"), [](TOtTaskItem& i) {
            i.SetPriority(1);
            i.SetRemarks("the cloud's");
        });
        EXPECT_TRUE(A.SyncClean());
        EXPECT_TRUE(B.SyncClean());
        ASSERT_TRUE(B.FindItem("Shared by B"));
        EXPECT_EQ(B.FindItem("Shared by B")->Priority(), 1);
        EXPECT_EQ(B.FindItem("Shared by B")->Remarks(), "the cloud's");
        ExpectConverged();
    }
    {
        SCOPED_TRACE("a local deletion deletes the cloud copy and drops the row");
        B.DeleteItem(B.FindItem("Doomed"));
        Carry(B, A);
        EXPECT_FALSE(A.FindItem("Doomed"));
        ExpectConverged();
    }
    {
        SCOPED_TRACE("deleted there, changed here: the change wins, the pass settles it");
        A.DeleteItem(A.FindItem("Edited and gone"));
        EXPECT_TRUE(A.SyncClean());
        B.EditItem(B.FindItem("Edited and gone"), [](TOtTaskItem& i) { i.SetPriority(2); });
        EXPECT_TRUE(B.SyncClean());
        ASSERT_TRUE(B.FindItem("Edited and gone"));
        const auto lines = LogLines(*B.Observer);
        EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                               [](const std::string& l) {
                                   return l.find("was deleted in Kuaipan by another computer; the "
                                                 "local change wins") != std::string::npos;
                               }),
                  lines.end());
        EXPECT_TRUE(A.SyncClean());
        ASSERT_TRUE(A.FindItem("Edited and gone"));
        EXPECT_EQ(A.FindItem("Edited and gone")->Priority(), 2);
        ExpectConverged();
    }
    {
        SCOPED_TRACE("only here and never synchronized: created on the cloud, then on the "
                     "other side, where it was only on the cloud");
        B.AddItem(B.FindClass("List"), "Fresh", 4);
        Carry(B, A);
        EXPECT_TRUE(A.FindItem("Fresh"));
        ExpectConverged();
    }
}

// Two computers drew the same ID for two new tasks between passes (IDs drawn
// within the same two seconds differ only by chance). Whichever reaches the
// cloud second gives its task a new ID; both tasks end on both sides, also
// when the second one was changed again before its pass.
TEST_F(TwoMachines, TwoNewTasksWithOneIDBothSurvive) {
    for (const bool editedAgain : {false, true}) {
        SCOPED_TRACE(editedAgain ? "changed again before the pass" : "just created");
        const std::string listTitle = editedAgain ? "Second" : "First";
        A.AddClass(listTitle);
        Carry(A, B);
        const std::string sameID = A.Tree().Repository().NewUniqueTaskID();
        const auto addWithID = [&](TSyncSide& side, const std::string& title) {
            const auto cls = side.FindClass(listTitle);
            auto item = std::make_shared<TOtTaskItem>(title, "by " + title, tsNotCompleted, 0, 0,
                                                      cls, nullptr);
            item->SetID(sameID);
            item->ResetDirty();
            EXPECT_GE(DoAddTaskItem(side.Tree().Repository(), cls->TaskList(), item), 0);
            return item;
        };
        addWithID(A, listTitle + " by A");
        const auto onB = addWithID(B, listTitle + " by B");
        if (editedAgain)
            B.EditItem(onB, [](TOtTaskItem& i) { i.SetRemarks("changed on B"); });

        EXPECT_TRUE(A.SyncClean());
        EXPECT_TRUE(B.SyncClean());
        const auto lines = LogLines(*B.Observer);
        EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                               [](const std::string& l) {
                                   return l.find("it was given a new ID") != std::string::npos;
                               }),
                  lines.end());
        Carry(B, A);
        for (TSyncSide* side : {&A, &B}) {
            ASSERT_TRUE(side->FindItem(listTitle + " by A")) << side->UserState();
            ASSERT_TRUE(side->FindItem(listTitle + " by B")) << side->UserState();
            EXPECT_EQ(side->FindItem(listTitle + " by A")->ID(), sameID);
            EXPECT_NE(side->FindItem(listTitle + " by B")->ID(), sameID);
            EXPECT_EQ(side->FindItem(listTitle + " by B")->Remarks(),
                      editedAgain ? "changed on B" : "by " + listTitle + " by B");
        }
        ExpectConverged();
    }
}

// The same, the two tasks in two lists, each uploaded before the other computer saw
// it: the cloud holds one ID in two folders. One computer (the same whichever pass
// notices first) gives its task a new ID and deletes its old copy; then each task comes
// down to the other side.
TEST_F(TwoMachines, TwoTasksWithOneIDInTwoListsBothSurvive) {
    A.AddClass("Work");
    A.AddClass("Home");
    Carry(A, B);
    const std::string sameID = A.Tree().Repository().NewUniqueTaskID();
    const auto addWithID = [&](TSyncSide& side, const std::string& list, const std::string& title) {
        const auto cls = side.FindClass(list);
        auto item =
            std::make_shared<TOtTaskItem>(title, "by " + title, tsNotCompleted, 0, 0, cls, nullptr);
        item->SetID(sameID);
        item->ResetDirty();
        EXPECT_GE(DoAddTaskItem(side.Tree().Repository(), cls->TaskList(), item), 0);
    };
    addWithID(A, "Work", "Work by A");
    addWithID(B, "Home", "Home by B");
    for (int pass = 0; pass < 3; ++pass) {
        SCOPED_TRACE(pass);
        EXPECT_TRUE(A.SyncClean());
        EXPECT_TRUE(B.SyncClean());
    }
    for (TSyncSide* side : {&A, &B}) {
        const auto a = side->FindItem("Work by A"), b = side->FindItem("Home by B");
        ASSERT_TRUE(a) << side->UserState();
        ASSERT_TRUE(b) << side->UserState();
        EXPECT_NE(a->ID(), b->ID());
        EXPECT_EQ(a->TaskClass()->Title(), "Work");
        EXPECT_EQ(b->TaskClass()->Title(), "Home");
        EXPECT_EQ(b->Remarks(), "by Home by B");
    }
    ExpectConverged();
}

// Two installations in one process, each bound to a server of its own, their
// passes interleaved: each server hears only its own installation and holds
// only its tree (an upload host located for one server must not be used for
// the other).
TEST(TwoServers, EachInstallationSyncsWithItsOwnServer) {
    CloudServerProcess& first = SharedServer();
    const std::string firstUser = FreshUser();
    CloudServerProcess second;
    TSyncSide a("ot-two-servers-a", first, firstUser);
    TSyncSide b("ot-two-servers-b", second, second.User());

    auto home = a.AddClass("Home");
    a.AddItem(home, "Water the plants");
    auto work = b.AddClass("Work");
    b.AddItem(work, "Write the report", 7, "due Friday");

    const auto passOn = [](TSyncSide& side, CloudServerProcess& own, CloudServerProcess& other) {
        const auto ownBefore = own.TotalRequests();
        const auto otherBefore = other.TotalRequests();
        EXPECT_TRUE(side.SyncClean());
        EXPECT_GT(own.TotalRequests(), ownBefore);
        EXPECT_EQ(other.TotalRequests(), otherBefore);
    };
    passOn(a, first, second);
    passOn(b, second, first);
    a.AddItem(home, "Feed the cat");
    b.AddItem(work, "Book the room");
    passOn(a, first, second);
    passOn(b, second, first);

    std::map<std::string, TCloudEntry> firstCloud, secondCloud;
    EXPECT_EQ(CloudState(first, firstUser, &firstCloud), a.State());
    EXPECT_EQ(CloudState(second, second.User(), &secondCloud), b.State());
    ExpectQueueSettled(a, firstCloud);
    ExpectQueueSettled(b, secondCloud);
}

// A list directory made by hand (its title not escaped) goes to the cloud and
// the other computer under the name this program writes, while here its
// items stay, arrive and change where the directory lies.
TEST_F(TwoMachines, AHandMadeListDirectoryIsSyncedWhereItLies) {
    const std::string id = UniqueTaskID();
    const std::string handMade = id + "#My list";
    const std::string taskData = A.Dir().Paths().TaskDataPath;
    ASSERT_TRUE(fs::create_directory(taskData + handMade));
    TOtTaskDataCheck(A.Dir().Paths()).DoDataCheck(); // its row
    TOtTaskUtility::LoadTaskClassList(taskData, A.Classes);
    auto list = A.FindClass("My list");
    ASSERT_TRUE(list);
    auto plants = A.AddItem(list, "Water the plants");
    Carry(A, B);
    ExpectConverged();

    B.AddItem(B.FindClass("My list"), "Feed the cat");
    B.EditItem(B.FindItem("Water the plants"), [](TOtTaskItem& i) { i.SetRemarks("twice"); });
    Carry(B, A);
    A.EditItem(plants, [](TOtTaskItem& i) { i.SetTitle("Water the garden"); });
    Carry(A, B);
    ExpectConverged();
    auto garden = A.FindItem("Water the garden");
    ASSERT_TRUE(garden);
    EXPECT_EQ(garden->Remarks(), "twice");

    std::set<std::string> dirs;
    for (const auto& e : fs::directory_iterator(taskData))
        dirs.insert(e.path().filename().string());
    EXPECT_EQ(dirs, std::set<std::string>{handMade});
}
