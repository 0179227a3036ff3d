// A busy pass that fails at its N-th cloud call, or at its N-th queue
// statement, for N = 0, 1, 2, ... until no fault fires: afterwards clean
// passes must bring both computers and the cloud to the state a pass without
// fault reaches, with no task lost or duplicated.

#include "SyncSide.h"

#include "common/FileUtil.h"
#include "common/Text.h"
#include "syncqueue/SQLiteDB.h"
#include "tasks/OtTaskUtility.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>

using namespace ot;
using namespace ot::test;

namespace {

// Two computers of one account with the base tree. Another computer then
// changed the cloud folder (a re-prioritised item and a new one, made here
// straight through the client), and A changed its tree locally, so that A's
// next pass pushes and pulls a bit of everything.
struct Scenario {
    CloudServerProcess& server;
    std::string user;
    std::unique_ptr<TSyncSide> A, B;

    Scenario(CloudServerProcess& s, const std::string& u) : server(s), user(u) {
        WipeCloud(server, user);
        A = std::make_unique<TSyncSide>("ot-fail-a", server, user);
        B = std::make_unique<TSyncSide>("ot-fail-b", server, user);
        auto work = A->AddClass("Work");
        A->AddItem(work, "Report", 5, "draft");
        A->AddItem(work, "Mail", 3);
        auto home = A->AddClass("Home");
        auto garden = A->AddItem(home, "Garden", 5);
        A->AddItem(A->AddClass("Old"), "Junk", 1);
        EXPECT_TRUE(A->SyncClean());
        EXPECT_TRUE(B->SyncClean());

        auto api = CloudClient(server, user);
        const std::string homePath = "/" + home->DirName() + "/";
        EXPECT_EQ(api->Move(homePath + garden->FileName() + ".tsk",
                            homePath + ReplaceAll(garden->FileName(), "#Garden#5#", "#Garden#2#") +
                                ".tsk")
                      .Code,
                  200);
        auto plan = std::make_shared<TOtTaskItem>("Plan", home);
        plan->SetID(UniqueTaskID());
        plan->SetPriority(7);
        const std::string planFile = (B->Dir().Root() / "plan.tsk").string();
        EXPECT_TRUE(WriteFileAtomic(planFile, TOtTaskUtility::TaskFileContent("next week")));
        EXPECT_FALSE(
            api->UploadFile(homePath + plan->FileName() + ".tsk", planFile, true).file_id.empty());

        A->AddItem(A->AddClass("Shop"), "Bread", 5, "rye");
        A->EditItem(A->FindItem("Report"), [](TOtTaskItem& i) {
            i.SetTitle("Report v2");
            i.SetRemarks("final");
        });
        A->EditItem(A->FindItem("Mail"),
                    [&](TOtTaskItem& i) { i.SetTaskClass(A->FindClass("Home")); });
        A->DeleteClass(A->FindClass("Old"));
        A->Observer->Clear();
    }

    // Clean passes, A then B, until a round without error leaves both sides
    // and the cloud equal; answers the user-visible state they agree on.
    std::string Converge() {
        std::string cloudState;
        std::map<std::string, TCloudEntry> cloud;
        for (int round = 0; round < 3; ++round) {
            const bool a = A->SyncClean();
            const bool b = B->SyncClean();
            cloudState = CloudState(server, user, &cloud);
            if (a && b && A->State() == cloudState && B->State() == cloudState)
                break;
        }
        EXPECT_EQ(A->State(), cloudState);
        EXPECT_EQ(B->State(), cloudState);
        EXPECT_EQ(A->DiskState(), cloudState);
        EXPECT_EQ(B->DiskState(), cloudState);
        ExpectQueueSettled(*A, cloud);
        ExpectQueueSettled(*B, cloud);
        return A->UserState();
    }
};

const char* const kExpected = "Home/\n"
                              "Home/Garden s0 p2 | \n"
                              "Home/Mail s0 p3 | \n"
                              "Home/Plan s0 p7 | next week\n"
                              "Shop/\n"
                              "Shop/Bread s0 p5 | rye\n"
                              "Work/\n"
                              "Work/Report v2 s0 p5 | final\n";

struct FailAtStep : ::testing::Test {
    CloudServerProcess& server = SharedServer();
    std::string user = FreshUser();

    // A and B equal the cloud (checked by Converge), so one of them stands
    // for all three.
    void ExpectFinalState(Scenario& s) { EXPECT_EQ(s.Converge(), kExpected); }
};

} // namespace

TEST_F(FailAtStep, WithoutFaultTheBusyPassReachesTheFinalState) {
    Scenario s(server, user);
    EXPECT_TRUE(s.A->SyncClean());
    ExpectFinalState(s);
}

// Fails the N-th cloud call of A's busy pass for N = 0, 1, ... until the
// pass makes fewer calls than N.
void FailEachCloudCall(FailAtStep& t, bool lostReply) {
    for (int n = 0;; ++n) {
        SCOPED_TRACE((lostReply ? "lost reply of call " : "refused call ") + std::to_string(n));
        Scenario s(t.server, t.user);
        t.server.ResetCounters();
        // Refused: every attempt of the operation. Lost reply: the server
        // carries the call out and the answer is an error.
        t.server.AddFault({.Kind = "*",
                           .Skip = n,
                           .Count = lostReply ? 1 : s.A->Engine().KuaipanOpTryCount(),
                           .Status = 500,
                           .After = lostReply});
        try {
            s.A->Sync();
        } catch (const std::exception&) {
            // An exception ends the pass; the next ones repair.
        }
        const auto requests = t.server.TotalRequests();
        t.server.ClearFaults();
        t.ExpectFinalState(s);
        if (::testing::Test::HasFailure() || requests <= n) {
            std::printf("%s: %d steps\n", lostReply ? "lost replies" : "refused calls", n);
            break;
        }
    }
}

TEST_F(FailAtStep, NthCloudCallRefused) {
    FailEachCloudCall(*this, false);
}

TEST_F(FailAtStep, NthCloudCallReplyLost) {
    FailEachCloudCall(*this, true);
}

TEST_F(FailAtStep, NthQueueStatement) {
    for (int n = 0;; ++n) {
        SCOPED_TRACE("queue statement " + std::to_string(n));
        Scenario s(server, user);
        std::atomic<int> seen{0};
        SetSQLFaultHook([&](std::string_view) { return seen++ == n; });
        try {
            s.A->Sync();
        } catch (const std::exception&) {
        }
        SetSQLFaultHook({});
        ExpectFinalState(s);
        if (HasFailure() || seen <= n) {
            std::printf("queue statements: %d steps\n", n);
            break;
        }
    }
}
