// ottodo against a real otCloudServer on loopback: binding accounts, and two
// program directories (two machines) kept equal through the cloud by
// "ottodo sync".

#include "app/OtSettingFile.h"
#include "cli/CliTestSupport.h"
#include "support/CloudServerProcess.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace ot::clitest {
namespace {

namespace fs = std::filesystem;
using test::CloudServerProcess;

// A program directory whose cloud hosts file points at the server.
class TMachine : public TProgramDir {
public:
    explicit TMachine(const CloudServerProcess& server) { server.WriteHostsFile(Path()); }
    std::string AuthFile() const { return Path() + "/userdata/1/MyAuth.adb"; }
    void BindToken(const std::pair<std::string, std::string>& token) const {
        std::ofstream(AuthFile()) << token.first << "\r\n" << token.second << "\r\n";
    }
};

// After a clean pass on both sides every object is linked to its cloud copy
// and nothing is pending.
void ExpectAllSynced(const TProgramDir& dir) {
    auto rows = dir.Rows();
    EXPECT_EQ(rows.size(), dir.Tree().size()); // one row per list and per item
    for (const auto& [id, row] : rows) {
        SCOPED_TRACE(id);
        EXPECT_NE(row.KuaipanFileID(), "");
        EXPECT_EQ(row.SyncType(), 0);
        EXPECT_EQ(row.IsDelete(), 0);
    }
}

// Passes inside the test process and spawned ones alike read the machine's
// cloudhosts.conf.
class CliSyncTest : public ::testing::Test {
protected:
    CloudServerProcess server;
};

TEST_F(CliSyncTest, LoginBindsTheAccountAndAWrongPasswordBindsNothing) {
    TMachine a(server);
    TRunResult bad = a.Spawn({"login", server.User()}, "not the password\n");
    EXPECT_EQ(bad.ExitCode, 1);
    EXPECT_NE(bad.Err.find("ottodo: Authorization failed:"), std::string::npos) << bad.Err;
    EXPECT_FALSE(fs::exists(a.AuthFile()));

    TRunResult ok = a.Spawn({"login", " " + server.User()}, " " + server.Password() + " \n");
    EXPECT_EQ(ok.ExitCode, 0) << ok.Err;
    EXPECT_EQ(ok.Out, "Authorized success!\n");
    EXPECT_TRUE(fs::exists(a.AuthFile()));
    TOtSettingFile settings(a.Path() + "/userdata/1/otTodolistSettings.xml");
    EXPECT_EQ(settings.ReadString("KuaipanAccount", ""), " " + server.User()); // as typed
}

TEST_F(CliSyncTest, TwoMachinesStayEqualThroughTheCloud) {
    TMachine a(server), b(server);
    a.BindToken(server.IssueAccessToken());
    b.BindToken(server.IssueAccessToken());

    std::string milk = a.RunOk({"add", "--priority", "7", "--remarks", "two litres", "Buy milk"});
    std::string work = a.RunOk({"addlist", "Work"});
    std::string report = a.RunOk({"add", "--list", "Work", "--due", "2030-01-02", "Report"});
    std::string old = a.RunOk({"add", "--list", "Work", "Old"});
    a.RunOk({"done", report});

    // The first passes run the built program, the later ones the same entry
    // point in this process.
    TRunResult pass = a.Spawn({"sync", "--pause", "0"});
    ASSERT_EQ(pass.ExitCode, 0) << pass.Out << pass.Err;
    EXPECT_NE(pass.Out.find(">> Step 1 finished.  ["), std::string::npos) << pass.Out;
    EXPECT_NE(pass.Out.find(">> Step 2 finished.  ["), std::string::npos) << pass.Out;
    ASSERT_EQ(b.Spawn({"sync", "--pause", "0"}).ExitCode, 0);
    EXPECT_EQ(b.Tree(), a.Tree());
    ExpectAllSynced(a);
    ExpectAllSynced(b);

    // Changes on the second machine: rename, complete, delete, move, new list.
    b.RunOk({"edit", milk, "--title", "Buy oat milk", "--remarks", "one litre"});
    b.RunOk({"done", milk});
    b.RunOk({"rm", old});
    std::string moved = b.RunOk({"edit", report, "--move-to", "Default List"});
    b.RunOk({"addlist", "Home"});
    ASSERT_EQ(b.Run({"sync", "--pause", "0"}).ExitCode, 0);
    ASSERT_EQ(a.Run({"sync", "--pause", "0"}).ExitCode, 0);
    EXPECT_EQ(a.Tree(), b.Tree());
    ExpectAllSynced(a);
    ExpectAllSynced(b);
    EXPECT_EQ(a.Run({"show", old}).ExitCode, 1);
    EXPECT_EQ(a.Run({"show", report}).ExitCode, 1);
    EXPECT_NE(a.RunOk({"show", moved}).find("Status:    done"), std::string::npos);

    // A deleted list goes on the other machine too.
    a.RunOk({"rmlist", work});
    ASSERT_EQ(a.Run({"sync", "--pause", "0"}).ExitCode, 0);
    ASSERT_EQ(b.Run({"sync", "--pause", "0"}).ExitCode, 0);
    EXPECT_EQ(b.Tree(), a.Tree());
    EXPECT_EQ(b.Tree().count(work + "#Work/"), 0u);
}

TEST_F(CliSyncTest, HeldBackDeletionsAreAppliedWhenConfirmedAndEveryPassSumsUp) {
    TMachine a(server), b(server);
    a.BindToken(server.IssueAccessToken());
    b.BindToken(server.IssueAccessToken());
    std::string old = a.RunOk({"addlist", "Old", "things"});
    for (int i = 1; i <= 7; ++i)
        a.RunOk({"add", "--list", "Old things", "Item " + std::to_string(i)});
    a.RunOk({"add", "--list", "Default List", "Kept"});
    TRunResult r = a.Run({"sync", "--pause", "0"});
    ASSERT_EQ(r.ExitCode, 0) << r.Out << r.Err;
    EXPECT_NE(r.Out.find("\nPushed 10, pulled 0, deleted 0, errors 0.\n"), std::string::npos)
        << r.Out;
    ASSERT_EQ(b.Run({"sync", "--pause", "0"}).ExitCode, 0);

    a.RunOk({"rmlist", old});
    ASSERT_EQ(a.Run({"sync", "--pause", "0"}).ExitCode, 0);
    const auto before = b.Tree();
    r = b.Run({"sync", "--pause", "0"});
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_NE(r.Out.find("Held back: 7 task item(s) in \"Old things\"; confirm to apply them."),
              std::string::npos)
        << r.Out;
    EXPECT_NE(r.Out.find("\nPushed 0, pulled 0, deleted 0, errors 1.\n"), std::string::npos)
        << r.Out;
    EXPECT_EQ(b.Tree(), before);

    r = b.Run({"sync", "--pause", "0", "--allow-deletions"});
    EXPECT_EQ(r.ExitCode, 0) << r.Out << r.Err;
    // Settled tasks of the list deleted there have nothing to push.
    EXPECT_EQ(r.Out.find("waits for its task class"), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("\nPushed 0, pulled 0, deleted 8, errors 0.\n"), std::string::npos)
        << r.Out;
    EXPECT_EQ(b.Tree(), a.Tree());
    // Confirmed once: the switch does not stay on.
    ASSERT_EQ(b.Run({"sync", "--pause", "0"}).ExitCode, 0);
}

TEST_F(CliSyncTest, AFailedPassExitsNonZero) {
    TMachine a(server);
    a.BindToken(server.IssueAccessToken());
    a.RunOk({"add", "x"});

    // Every upload fails: the item's creation in the cloud is counted as an error.
    server.AddFault({.Kind = "upload_file", .Count = -1, .Status = 500});
    TRunResult r = a.Run({"sync", "--pause", "0"});
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_NE(r.Out.find(">> Step 1 finished with 1 error(s).  ["), std::string::npos) << r.Out;
    EXPECT_NE(r.Err.find("not successful"), std::string::npos) << r.Err;
    server.ClearFaults();

    // The cloud folder cannot be listed: nothing is counted, but nothing was
    // synchronized either.
    server.AddFault({.Kind = "metadata", .Count = -1, .Status = 500});
    EXPECT_EQ(a.Run({"sync", "--pause", "0"}).ExitCode, 1);
    server.ClearFaults();

    // The account's authorization was withdrawn: the pass stops with an error.
    server.RunCommand({"revoke-tokens", "--user", server.User()});
    r = a.Run({"sync", "--pause", "0"});
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_NE(r.Out.find("\nAn error occurred. "), std::string::npos) << r.Out;

    // With a fresh token the next pass repairs everything.
    a.BindToken(server.IssueAccessToken());
    r = a.Run({"sync", "--pause", "0"});
    EXPECT_EQ(r.ExitCode, 0) << r.Out << r.Err;
    ExpectAllSynced(a);
}

// Binding another account pushes the whole local tree to it: nothing local
// is deleted, no pass is held back by the guard against mass deletions, and
// a deletion still pending for the old account is not carried over.
// Binding the same account again keeps the links.
TEST_F(CliSyncTest, LoginToAnotherAccountPushesTheWholeTreeToIt) {
    server.AddUser("bob", "bob's secret");
    TMachine a(server);
    ASSERT_EQ(a.Spawn({"login", server.User()}, server.Password() + "\n").ExitCode, 0);
    const std::string milk = a.RunOk({"add", "Buy milk"});
    a.RunOk({"addlist", "Work"});
    for (const char* title : {"Report", "Slides", "Budget", "Plan", "Review", "Mail", "Call"})
        a.RunOk({"add", "--list", "Work", title});
    const std::string gone = a.RunOk({"add", "Gone soon"});
    ASSERT_EQ(a.Run({"sync", "--pause", "0"}).ExitCode, 0);
    ExpectAllSynced(a);
    a.RunOk({"rm", gone}); // pending in the queue when the account changes

    const TRunResult again = a.Spawn({"login", server.User()}, server.Password() + "\n");
    ASSERT_EQ(again.ExitCode, 0) << again.Err;
    EXPECT_EQ(again.Out, "Authorized success!\n") << "same account: links kept";
    EXPECT_EQ(a.Rows().at(gone).IsDelete(), 1);

    const auto before = a.Tree();
    const TRunResult bob = a.Spawn({"login", "bob"}, "bob's secret\n");
    ASSERT_EQ(bob.ExitCode, 0) << bob.Err;
    EXPECT_NE(bob.Out.find("uploaded to this account"), std::string::npos) << bob.Out;
    EXPECT_EQ(a.Tree(), before);
    EXPECT_EQ(a.Rows().count(gone), 0u);
    for (const auto& [id, row] : a.Rows())
        EXPECT_EQ(row.KuaipanFileID(), "") << id;

    const TRunResult pass = a.Spawn({"sync", "--pause", "0"});
    ASSERT_EQ(pass.ExitCode, 0) << pass.Out;
    EXPECT_EQ(a.Tree(), before);
    ExpectAllSynced(a);
    ASSERT_EQ(a.Spawn({"sync", "--pause", "0"}).ExitCode, 0) << "later passes run too";
    EXPECT_EQ(a.Tree(), before);

    TMachine b(server);
    b.BindToken(server.IssueAccessToken("bob"));
    ASSERT_EQ(b.Spawn({"sync", "--pause", "0"}).ExitCode, 0);
    EXPECT_EQ(b.Tree(), before);
    EXPECT_EQ(b.Run({"show", milk}).ExitCode, 0);
}

} // namespace
} // namespace ot::clitest
