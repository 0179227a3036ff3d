// The engine's own rules against a real otCloudServer: names from the cloud
// are checked, deletions pulled from the cloud are guarded, a failed listing
// takes nothing away, no change is skipped by the watermark, a pass stops
// when asked, and the account binding.

#include "SyncSide.h"

#include "cloud/KuaipanAuthorise.h"
#include "cloud/KuaipanException.h"
#include "cloud/KuaipanUtility.h"
#include "common/FileUtil.h"
#include "repository/OtTaskOperations.h"
#include "repository/OtTaskTrash.h"
#include "repository/OtTaskUndo.h"
#include "tasks/OtTaskUtility.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>

using namespace ot;
using namespace ot::test;
namespace fs = std::filesystem;

namespace {

struct Engine : ::testing::Test {
    CloudServerProcess& server = SharedServer();
    std::string user = FreshUser();
    TSyncSide A{"ot-engine-a", server, user};
    TSyncSide B{"ot-engine-b", server, user};

    ~Engine() override { server.ClearFaults(); }

    // Uploads a file with the given content under an arbitrary cloud path.
    void PutCloudFile(TKuaipanAPI& api, const std::string& path, const std::string& remarks) {
        const std::string local = (A.Dir().Root() / "upload.tmp").string();
        ASSERT_TRUE(WriteFileAtomic(local, TOtTaskUtility::TaskFileContent(remarks)));
        EXPECT_FALSE(api.UploadFile(path, local, true).file_id.empty()) << path;
    }
};

bool HasLine(TRecordingObserver& o, const std::string& line) {
    const auto lines = LogLines(o);
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Every file and directory below root, relative to it.
std::vector<std::string> Listing(const fs::path& root) {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root))
        out.push_back(fs::relative(e.path(), root).string());
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

TEST_F(Engine, NamesFromTheCloudThatThisProgramWouldNotWriteAreSkipped) {
    auto api = CloudClient(server, user);
    const std::string created = "#0#t#5#201603051430###.tsk";
    // Folders that are not classes of ours: a lower-case ID, an unescaped
    // blank, an ID with a sign in it.
    for (const char* folder : {"abc123#Lower", "1300000900QA#a b", "13-00#Dash"})
        EXPECT_FALSE(api->CreateFolder(folder).file_id.empty()) << folder;
    PutCloudFile(*api, "/abc123#Lower/1300000901QA" + std::string(created), "x");
    ASSERT_FALSE(api->CreateFolder("1300000902QA#Good").file_id.empty());
    const std::string good = "/1300000902QA#Good/";
    PutCloudFile(*api, good + "1300000903QA#0#Fine#5#201603051430###.tsk", "fine");
    PutCloudFile(*api, good + "lower1#0#t#5#201603051430###.tsk", "x");           // ID
    PutCloudFile(*api, good + "1300000904QA#0#NoExt#5#201603051430###", "x");     // no ".tsk"
    PutCloudFile(*api, good + "1300000905QA#0#a\\b#5#201603051430###.tsk", "x");  // backslash
    PutCloudFile(*api, good + "1300000906QA#0#Bad#99x#201603051430###.tsk", "x"); // priority
    PutCloudFile(*api, good + "1300000907QA_1300000908QA#0#Nested#5#201603051430###.tsk", "x");
    ASSERT_FALSE(api->CreateFolder(good + "1300000909QA#Sub").file_id.empty()); // a folder

    EXPECT_TRUE(B.SyncClean());
    EXPECT_EQ(B.UserState(), "Good/\nGood/Fine s0 p5 | fine\n");
    EXPECT_EQ(
        Listing(B.Dir().Paths().TaskDataPath),
        (std::vector<std::string>{"1300000902QA#Good",
                                  "1300000902QA#Good/1300000903QA#0#Fine#5#201603051430###.tsk"}));
    // Nothing was written outside the task data directory either (the lock
    // file is the pass's own).
    EXPECT_EQ(Listing(B.Dir().Root() / "userdata" / "1"),
              (std::vector<std::string>{"MyAuth.adb", "otTodolist.db", "otTodolist.lock",
                                        "taskdata", "taskdata/1300000902QA#Good",
                                        "taskdata/1300000902QA#Good/"
                                        "1300000903QA#0#Fine#5#201603051430###.tsk"}));
}

TEST_F(Engine, DeletionsThatWouldEmptyTheTreeAreRefused) {
    auto list = A.AddClass("List");
    for (int i = 1; i <= 8; ++i)
        A.AddItem(list, "Item " + std::to_string(i));
    EXPECT_TRUE(A.SyncClean());
    EXPECT_TRUE(B.SyncClean());
    const std::string before = B.State();
    auto api = CloudClient(server, user);

    {
        SCOPED_TRACE("most items gone");
        for (int i = 1; i <= 7; ++i)
            EXPECT_EQ(
                api->Delete(A.FindItem("Item " + std::to_string(i))->KuaipanPath(), false).Code,
                200);
        EXPECT_FALSE(B.Sync());
        EXPECT_TRUE(HasLine(*B.Observer, ">> Local deletions were not applied: 7 of 8 "
                                         "synchronized local task items would be deleted.  [T]"));
        EXPECT_TRUE(HasLine(*B.Observer, ">> Step 2 finished with 1 error(s).  [T]"));
        EXPECT_EQ(B.State(), before);
    }
    {
        SCOPED_TRACE("no class at all");
        WipeCloud(server, user);
        B.Observer->Clear();
        EXPECT_FALSE(B.Sync());
        EXPECT_TRUE(HasLine(*B.Observer, ">> Local deletions were not applied: the Kuaipan folder "
                                         "lists no task class.  [T]"));
        EXPECT_EQ(B.State(), before);
        EXPECT_EQ(B.DiskState(), before);
    }
}

TEST_F(Engine, HeldBackDeletionsAreAskedAboutOnceAndAppliedOnlyAsConfirmed) {
    auto list = A.AddClass("List");
    for (int i = 1; i <= 8; ++i)
        A.AddItem(list, "Item " + std::to_string(i));
    A.AddItem(A.AddClass("Other"), "Kept");
    EXPECT_TRUE(A.SyncClean());
    EXPECT_TRUE(B.SyncClean());
    const std::string before = B.State();
    auto api = CloudClient(server, user);
    const auto deleteInCloud = [&](int i) {
        EXPECT_EQ(api->Delete(A.FindItem("Item " + std::to_string(i))->KuaipanPath(), false).Code,
                  200);
    };
    for (int i = 1; i <= 6; ++i)
        deleteInCloud(i);
    const auto asked = [&] {
        const auto events = B.Observer->Events();
        std::vector<std::string> out;
        std::copy_if(events.begin(), events.end(), std::back_inserter(out),
                     [](const std::string& e) { return e.rfind("confirm:", 0) == 0; });
        return out;
    };

    // Declined: nothing changes, and the same set is not asked about again.
    EXPECT_FALSE(B.Engine().SyncToKuaipanConfirmingDeletions());
    const THeldBackDeletions held = B.Engine().LastSummary().HeldBack;
    EXPECT_EQ(held.Count, 6);
    EXPECT_EQ(held.ListTitles, std::vector<std::string>{"List"});
    EXPECT_EQ(asked(), std::vector<std::string>{"confirm:6 in List"});
    EXPECT_FALSE(B.Engine().SyncToKuaipanConfirmingDeletions());
    EXPECT_EQ(B.Engine().LastSummary().HeldBack.Key, held.Key);
    EXPECT_EQ(asked().size(), 1u);
    EXPECT_EQ(B.State(), before);

    // A confirmation covers the set it was given, not one that grew since.
    deleteInCloud(7);
    B.Engine().AllowMassDeletionsOnce(held.Key);
    EXPECT_FALSE(B.Sync());
    EXPECT_EQ(B.Engine().LastSummary().HeldBack.Count, 7);
    EXPECT_EQ(B.State(), before);

    // The new set is asked about; yes applies it in one more pass.
    B.Observer->OnConfirm = [] { return true; };
    EXPECT_TRUE(B.Engine().SyncToKuaipanConfirmingDeletions());
    EXPECT_EQ(asked(), (std::vector<std::string>{"confirm:6 in List", "confirm:7 in List"}));
    EXPECT_TRUE(B.Engine().LastSummary().HeldBack.Empty());
    EXPECT_EQ(B.Engine().LastSummary().Deleted, 7);
    EXPECT_EQ(B.UserState(), "List/\nList/Item 8 s0 p5 | \nOther/\nOther/Kept s0 p5 | \n");
    EXPECT_EQ(CloudUserState(server, user), B.UserState());
}

TEST_F(Engine, AFewDeletionsFromTheCloudAreApplied) {
    auto list = A.AddClass("List");
    for (int i = 1; i <= 8; ++i)
        A.AddItem(list, "Item " + std::to_string(i));
    EXPECT_TRUE(A.SyncClean());
    EXPECT_TRUE(B.SyncClean());
    // Two neighbours in the list, deleted in one pass.
    A.DeleteItem(A.FindItem("Item 3"));
    A.DeleteItem(A.FindItem("Item 4"));
    EXPECT_TRUE(A.SyncClean());
    EXPECT_TRUE(B.SyncClean());
    EXPECT_TRUE(HasLine(
        *B.Observer, ">> Delete local task item \"Item 3\" in class \"List\" successfully!  [T]"));
    EXPECT_TRUE(HasLine(
        *B.Observer, ">> Delete local task item \"Item 4\" in class \"List\" successfully!  [T]"));
    EXPECT_EQ(B.UserState(), A.UserState());
    EXPECT_EQ(B.Queue().size(), 7u); // the class and six items
}

TEST_F(Engine, AClassWhoseListingFailedIsNeitherPulledNorPruned) {
    auto list = A.AddClass("List");
    for (int i = 1; i <= 3; ++i)
        A.AddItem(list, "Item " + std::to_string(i));
    EXPECT_TRUE(A.SyncClean());
    EXPECT_TRUE(B.SyncClean());
    A.DeleteItem(A.FindItem("Item 1"));
    A.AddItem(list, "Item 4");
    EXPECT_TRUE(A.SyncClean());

    // The listing of the root answers, the listing of the class fails.
    server.AddFault({.Kind = "metadata", .Skip = 1, .Count = 3});
    const std::string before = B.UserState();
    B.Sync();
    EXPECT_EQ(B.UserState(), before);
    server.ClearFaults();

    EXPECT_TRUE(B.SyncClean());
    EXPECT_EQ(B.UserState(), A.UserState());
}

TEST_F(Engine, AChangeMadeWhileAPassRunsIsPushedByTheNextPass) {
    auto list = A.AddClass("List");
    A.AddItem(list, "First");
    EXPECT_TRUE(A.SyncClean());

    // After the pass has read the queue, within the same second or later.
    A.Observer->OnLog = [&](const std::string& line) {
        if (line.find("Sync queue contains") != std::string::npos)
            A.AddItem(list, "Made during the pass");
    };
    EXPECT_TRUE(A.SyncClean());
    A.Observer->OnLog = nullptr;
    EXPECT_EQ(CloudUserState(server, user), "List/\nList/First s0 p5 | \n");

    EXPECT_TRUE(A.SyncClean());
    EXPECT_EQ(CloudUserState(server, user),
              "List/\nList/First s0 p5 | \nList/Made during the pass s0 p5 | \n");
}

TEST_F(Engine, APassStopsBetweenTwoRowsWhenAsked) {
    auto list = A.AddClass("List");
    for (int i = 1; i <= 3; ++i)
        A.AddItem(list, "Item " + std::to_string(i));
    A.Observer->OnLog = [&](const std::string& line) {
        if (line.find("Create task item") != std::string::npos)
            A.Engine().RequestStop();
    };
    EXPECT_THROW(A.Sync(), ESyncStopped);
    A.Observer->OnLog = nullptr;
    EXPECT_EQ(A.Engine().LastDateTimeSyncSuccess(), 0);
    // The class and one item went out; the pass stopped before the next row.
    const std::string cloud = CloudUserState(server, user);
    EXPECT_EQ(std::count(cloud.begin(), cloud.end(), '\n'), 2) << cloud;

    A.Engine().ClearStop();
    EXPECT_TRUE(A.SyncClean());
    EXPECT_EQ(CloudUserState(server, user),
              "List/\nList/Item 1 s0 p5 | \nList/Item 2 s0 p5 | \nList/Item 3 s0 p5 | \n");
}

TEST_F(Engine, ThePassShowsTheLogWindowWhenTheSettingAsks) {
    A.Settings->IsShowAppLogFormOnSyncing = true;
    EXPECT_TRUE(A.SyncClean());
    EXPECT_EQ(A.Observer->Events().front(), "showlog");
}

TEST(EngineAccount, BindingAnAccountSavesTheTokenForTheNextStart) {
    CloudServerProcess& server = SharedServer();
    const std::string user = FreshUser();
    TQueueTestDir dir("ot-engine-bind");
    TOtTaskClassList classes;
    TOtLocalTaskTree tree(classes, TOtTaskRepository(dir.Paths()));
    auto observer = std::make_shared<TRecordingObserver>();
    TKuaipanSyncThread thread(observer, nullptr);
    {
        TKuaipanSyncUtility engine(&thread, tree, server.Hosts());
        // Without a token a pass fails inside the cloud client.
        EXPECT_THROW(engine.SyncToKuaipan(), TKuaipanAuthExpiredException);

        const std::string url = engine.GetAuthorizeURL();
        ASSERT_FALSE(url.empty());
        EXPECT_FALSE(engine.SetVerifier("wrong"));

        std::string verifier;
        TKuaipanAuthorise login(server.Hosts(), engine.GetAuthorizeURL());
        ASSERT_TRUE(login.LoginAndAuthorise(user, "password " + user, verifier)) << verifier;
        EXPECT_TRUE(engine.SetVerifier(verifier));
        EXPECT_TRUE(engine.SyncToKuaipan());
    }
    ASSERT_TRUE(TKuaipanUtility::LoadAuthFile(dir.Paths().AuthFileName));
    TKuaipanSyncUtility next(&thread, tree, server.Hosts());
    EXPECT_TRUE(next.SyncToKuaipan());

    // The service out of reach: no address, no exception.
    TKuaipanHosts dead = server.Hosts();
    dead.Api = {"127.0.0.1:1", "localhost:1"};
    TKuaipanSyncUtility unreachable(&thread, tree, dead);
    EXPECT_EQ(unreachable.GetAuthorizeURL(), "");
    EXPECT_FALSE(unreachable.SetVerifier("x"));
}

TEST_F(Engine, APassAfterTheAccountWasRemovedSendsNothingUntilOneIsBoundAgain) {
    auto list = A.AddClass("List");
    A.AddItem(list, "first");
    EXPECT_TRUE(A.SyncClean());
    A.AddItem(list, "second");
    // The user removes the account; the engine has the token in memory.
    ASSERT_TRUE(fs::remove(A.Dir().Paths().AuthFileName));
    server.ResetCounters();
    A.Observer->Clear();
    EXPECT_THROW(A.Sync(), TKuaipanAuthExpiredException);
    EXPECT_EQ(server.TotalRequests(), 0) << "no request with the removed token";
    EXPECT_TRUE(
        HasLine(*A.Observer, ">> No Kuaipan account is bound: nothing was synchronized.  [T]"));
    EXPECT_FALSE(A.Engine().Session().IsAuth());
    EXPECT_EQ(CloudUserState(server, user), "List/\nList/first s0 p5 | \n");

    // Bound again from elsewhere (the command line): the next pass takes it up.
    const auto token = server.IssueAccessToken(user);
    ASSERT_TRUE(TKuaipanUtility::SaveAuthFile(TAccessToken(token.first, token.second),
                                              A.Dir().Paths().AuthFileName));
    EXPECT_TRUE(A.SyncClean());
    EXPECT_EQ(CloudUserState(server, user), A.UserState());
}

TEST_F(Engine, EndingTheThreadStopsThePassUnderWay) {
    auto list = A.AddClass("List");
    for (int i = 1; i <= 3; ++i)
        A.AddItem(list, "Item " + std::to_string(i));
    A.Engine().SetRowPause(std::chrono::milliseconds(500)); // the default pacing
    A.Observer->OnLog = [&](const std::string& line) {
        if (line.find("Create task item") != std::string::npos)
            A.Thread().Terminate(); // the program is closing
    };
    A.Thread().SetTickLength(std::chrono::hours(1));
    A.Thread().SetSyncPass([&] { A.Engine().SyncToKuaipan(); });
    A.Thread().Start();
    A.Thread().WaitFor(); // ends without waiting for the rest of the pass
    A.Observer->OnLog = nullptr;
    EXPECT_EQ(A.Engine().LastDateTimeSyncSuccess(), 0);
    const std::string cloud = CloudUserState(server, user);
    EXPECT_EQ(std::count(cloud.begin(), cloud.end(), '\n'), 2) << cloud;
    // Nothing was shown after the request to end.
    EXPECT_EQ(LogLines(*A.Observer).back().find("Create task item"), 3u);
}

// What a push costs: one request per task. The upload's and the move's
// replies name the stored file, so no request asks for it again; the only
// other requests are the listings.
TEST_F(Engine, APushCostsOneRequestPerTask) {
    auto list = A.AddClass("List");
    for (int i = 1; i <= 5; ++i)
        A.AddItem(list, "Item " + std::to_string(i));
    server.ResetCounters();
    EXPECT_TRUE(A.SyncClean());
    EXPECT_EQ(server.Counter("upload_file"), 5);
    EXPECT_EQ(server.Counter("create_folder"), 1);
    // The root before the push; the root and the new list after it.
    EXPECT_EQ(server.Counter("metadata"), 3);

    A.EditItem(A.FindItem("Item 2"), [](TOtTaskItem& t) { t.SetTitle("Item 2 renamed"); });
    A.EditItem(A.FindItem("Item 3"), [](TOtTaskItem& t) { t.SetRemarks("new remarks"); });
    server.ResetCounters();
    EXPECT_TRUE(A.SyncClean());
    EXPECT_EQ(server.Counter("move"), 1);
    EXPECT_EQ(server.Counter("upload_file"), 1);
    EXPECT_EQ(server.Counter("metadata"), 4); // root and list, before and after
    EXPECT_TRUE(B.SyncClean());
    EXPECT_EQ(B.UserState(), A.UserState());
    EXPECT_EQ(CloudUserState(server, user), A.UserState());
    // Settled on what the cloud holds: nothing is sent again.
    server.ResetCounters();
    EXPECT_TRUE(A.SyncClean());
    EXPECT_EQ(server.Counter("upload_file") + server.Counter("move"), 0);
}

// A server that asks for a slower pace gets it: the pass waits as told,
// says so in its log, and ends clean with everything pushed.
TEST(EnginePacing, APassWaitsWhenTheServerAsksItToSlowDown) {
    CloudServerProcess::Options options;
    options.ExtraArgs = {"--user-rate", "4"};
    CloudServerProcess server(options);
    server.AddUser("pace", "secret");
    TSyncSide A{"ot-engine-pace", server, "pace"};
    auto list = A.AddClass("List");
    for (int i = 1; i <= 12; ++i)
        A.AddItem(list, "Item " + std::to_string(i));
    EXPECT_TRUE(A.SyncClean());
    EXPECT_TRUE(HasLineWith(*A.Observer, "The server asks to slow down: waiting 1 s."));
    EXPECT_EQ(CloudUserState(server, "pace"), A.UserState());
    // Refused uploads were sent again (the counter sees every request).
    EXPECT_GT(server.Counter("upload_file"), 12);
}

// A deletion made on one computer, applied to the other by its pass, is
// kept there among the recently deleted; brought back there, the task is a
// new change that reaches the first computer again.
TEST_F(Engine, ATaskDeletedElsewhereComesBackFromTheTrashEverywhere) {
    auto list = A.AddClass("List");
    A.AddItem(list, "Keep me", 6, "my notes");
    ASSERT_TRUE(A.SyncClean());
    ASSERT_TRUE(B.SyncClean());
    A.DeleteItem(A.FindItem("Keep me"));
    ASSERT_TRUE(A.SyncClean());
    ASSERT_TRUE(B.SyncClean());
    ASSERT_FALSE(B.FindItem("Keep me"));

    const auto kept = TOtTaskTrash(B.Dir().Paths()).List();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].Item->Title(), "Keep me");
    TOtTaskItemPtr restored;
    B.Tree().Locked([&] {
        const TOtTaskOperations ops(B.Tree().Repository());
        EXPECT_TRUE(ops.RestoreTrashedTask(B.Classes, kept[0], &restored));
    });
    ASSERT_TRUE(restored);
    EXPECT_TRUE(B.SyncClean());
    EXPECT_TRUE(A.SyncClean());
    const auto back = A.FindItem("Keep me");
    ASSERT_TRUE(back);
    EXPECT_EQ(back->Remarks(), "my notes");
    EXPECT_EQ(back->Priority(), 6);
    ExpectConverged(server, user, A, B);
}

// The window's undo, step by step back from a deletion to before the task
// was added, with passes in between: each undo is a change like any other,
// and the other computer follows every one. An undo that would throw away
// an edit made on the other computer is refused and leaves that edit.
TEST_F(Engine, UndoneChangesReachTheOtherComputer) {
    auto list = A.AddClass("List");
    auto later = A.AddClass("Later");
    const std::string empty = A.UserState();
    TOtTaskUndo undo(A.Tree().Operations());
    const auto step = [&](const std::function<void()>& change) {
        A.Tree().Locked(change);
        ASSERT_TRUE(A.SyncClean());
        ASSERT_TRUE(B.SyncClean());
        EXPECT_EQ(B.UserState(), A.UserState());
    };
    const auto undoOne = [&] {
        const TUndoResult r = undo.Undo(A.Classes);
        EXPECT_TRUE(r) << r.Key << r.Op.Message;
    };
    const auto edited = [&](const std::function<void(TOtTaskItem&)>& change) {
        auto item = A.FindItem("Plan") ? A.FindItem("Plan") : A.FindItem("Plan the trip");
        ASSERT_TRUE(item);
        const TTaskValues before = TTaskValues::Of(*item);
        ASSERT_TRUE(A.Tree().Operations().EditTaskItem(item, change));
        undo.Changed(before, *item);
    };

    step([&] { undo.Added(*A.AddItem(list, "Plan")); });
    const std::string added = A.UserState();
    step([&] {
        edited([](TOtTaskItem& t) {
            t.SetTitle("Plan the trip");
            t.SetPriority(8);
            t.SetRemarks("tickets\nhotel");
        });
    });
    const std::string edit = A.UserState();
    step([&] { edited([&](TOtTaskItem& t) { t.SetTaskClass(later); }); });
    const std::string moved = A.UserState();
    step([&] { edited([](TOtTaskItem& t) { TOtTaskOperations::SetCompleted(t, true); }); });
    const std::string completed = A.UserState();
    step([&] {
        auto item = A.FindItem("Plan the trip");
        undo.Deleted(*item);
        A.DeleteItem(item);
    });
    ASSERT_FALSE(B.FindItem("Plan the trip"));
    EXPECT_EQ(undo.Size(), 5u);

    for (const std::string& expected : {completed, moved, edit, added}) {
        step(undoOne);
        EXPECT_EQ(A.UserState(), expected);
    }
    step(undoOne);
    EXPECT_EQ(A.UserState(), empty);
    EXPECT_FALSE(undo.CanUndo());
    EXPECT_FALSE(undo.Undo(A.Classes));
    ExpectConverged(server, user, A, B);

    // Changed on the other computer after the change here: undoing it here
    // would lose that edit, so it is not undone, nor the step before it.
    step([&] { undo.Added(*A.AddItem(list, "Plan")); });
    step([&] { edited([](TOtTaskItem& t) { t.SetPriority(2); }); });
    B.EditItem(B.FindItem("Plan"), [](TOtTaskItem& t) { t.SetRemarks("from B"); });
    ASSERT_TRUE(B.SyncClean());
    ASSERT_TRUE(A.SyncClean());
    const std::string both = A.UserState();
    for (int k = 0; k < 2; ++k) {
        TUndoResult r;
        A.Tree().Locked([&] { r = undo.Undo(A.Classes); });
        EXPECT_FALSE(r);
        EXPECT_EQ(r.Key, "The task item \"%s\" was changed by a synchronization since, so it was "
                         "not undone.");
        EXPECT_EQ(r.Title, "Plan");
    }
    EXPECT_FALSE(undo.CanUndo());
    EXPECT_EQ(A.UserState(), both);
    EXPECT_EQ(A.FindItem("Plan")->Remarks(), "from B");
    ASSERT_TRUE(A.SyncClean());
    ExpectConverged(server, user, A, B);
}
