// Two computers synchronizing through two otCloudServer processes on one
// PostgreSQL database, as behind a load balancer: what one pushes through one
// server, the other pulls through the other, and they converge whichever
// server each pass reaches.

#include "SyncSide.h"

#include "support/CloudServerProcess.h"
#include "support/PostgresInstance.h"

#include <gtest/gtest.h>

namespace ot::test {
namespace {

TEST(EngineOnPostgreSQL, TwoComputersThroughTwoServersConverge) {
    std::string why;
    PostgresInstance* pg = PostgresInstance::Shared(why);
    if (!pg)
        GTEST_SKIP() << why;
    CloudServerProcess::Options first;
    first.Store = pg->NewDatabase();
    CloudServerProcess one(first);
    CloudServerProcess::Options second;
    second.Store = first.Store;
    second.AddUser = false; // the first made the account in the database
    CloudServerProcess two(second);

    TSyncSide A{"ot-pg-sync-a", one, first.User};
    TSyncSide B{"ot-pg-sync-b", two, first.User};
    auto home = A.AddClass("Home");
    A.AddItem(home, "milk", 4, "two litres");
    A.AddItem(home, "bread", 2);
    ASSERT_TRUE(A.SyncClean());
    ASSERT_TRUE(B.SyncClean());
    EXPECT_EQ(B.UserState(), A.UserState());

    B.EditItem(B.FindItem("milk"), [](TOtTaskItem& t) { t.SetRemarks("oat milk"); });
    B.DeleteItem(B.FindItem("bread"));
    B.AddItem(B.FindClass("Home"), "eggs", 6);
    ASSERT_TRUE(B.SyncClean());
    ASSERT_TRUE(A.SyncClean());
    EXPECT_EQ(A.UserState(), B.UserState());
    EXPECT_EQ(A.FindItem("milk")->Remarks(), "oat milk");
    EXPECT_FALSE(A.FindItem("bread"));

    // Each computer's next passes reach the other server.
    A.Restart(two);
    B.Restart(one);
    A.EditItem(A.FindItem("eggs"), [](TOtTaskItem& t) { t.SetTitle("a dozen eggs"); });
    B.AddItem(B.FindClass("Home"), "tea");
    ASSERT_TRUE(A.SyncClean());
    ASSERT_TRUE(B.SyncClean());
    ASSERT_TRUE(A.SyncClean());
    EXPECT_EQ(A.UserState(), B.UserState());
    EXPECT_TRUE(A.FindItem("tea"));
    EXPECT_TRUE(B.FindItem("a dozen eggs"));
    // Settled: another pass on either side sends nothing and changes nothing.
    const std::string settled = A.UserState();
    one.ResetCounters();
    two.ResetCounters();
    ASSERT_TRUE(B.SyncClean());
    ASSERT_TRUE(A.SyncClean());
    EXPECT_EQ(A.UserState(), settled);
    EXPECT_EQ(B.UserState(), settled);
    for (const CloudServerProcess* server : {&one, &two})
        for (const char* kind : {"upload_file", "move", "delete", "create_folder"})
            EXPECT_EQ(server->Counter(kind), 0) << kind;
}

} // namespace
} // namespace ot::test
