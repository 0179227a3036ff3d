// Rows of the queue table and the operations of one connection.

#include "common/Clock.h"
#include "support/QueueTestDir.h"
#include "syncqueue/OtSyncQueueDBModel.h"
#include "tasks/OtTask.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <memory>

using namespace ot;

namespace {

class QueueDB : public ::testing::Test {
protected:
    QueueDB() : FClock(std::make_shared<FixedClock>(EncodeDateTime(2016, 3, 5, 14, 30, 10))) {}

    void Insert(const std::string& id, const std::string& path, const std::string& classPath) {
        ASSERT_TRUE(FDB.ExeSQL("insert into [SyncQueue] ([TaskItemID], [TaskItemPath], "
                               "[TaskClassPath]) values (?, ?, ?)",
                               {id, path, classPath}));
    }
    // The value as SQLite stores it, with its storage class.
    std::string Raw(const std::string& column, const std::string& id) {
        TSQLiteDB db(DBFileName());
        TSQLiteStatement st(db,
                            "select typeof([" + column + "]) || ':' || ifnull([" + column +
                                "], '') from [SyncQueue] where [TaskItemID] = ?",
                            {id});
        return st.Step() ? st.ColumnText(0) : "no row";
    }

    test::TQueueTestDir FDir;
    std::string TaskDataPath() const { return FDir.Paths().TaskDataPath; }
    std::string DBFileName() const { return FDir.Paths().DBFileName; }
    std::shared_ptr<FixedClock> FClock;
    ScopedClock FScope{FClock};
    TOtSyncQueueDBUtility FDB{DBFileName()};
};

TEST_F(QueueDB, NewRowsReadBackWithTheDefaults) {
    Insert("1214608325AB", "1214608325AB#0#Buy[SP]milk#5#201603051430###", "1214608320CD#Home");
    ASSERT_TRUE(FDB.ExeSQL("insert into [SyncQueue] ([TaskItemID], [TaskItemPath]) values "
                           "('1214608320CD', '1214608320CD#Home')"));

    const auto item = FDB.GetSyncQueueItem("1214608325AB");
    ASSERT_TRUE(item);
    EXPECT_EQ(item->TaskItemID(), "1214608325AB");
    EXPECT_EQ(item->TaskItemPath(), "1214608325AB#0#Buy[SP]milk#5#201603051430###");
    EXPECT_EQ(item->TaskClassPath(), "1214608320CD#Home");
    EXPECT_EQ(item->TaskItemPath_Old(), "");
    EXPECT_EQ(item->TaskClassPath_Old(), "");
    EXPECT_EQ(item->KuaipanFileID(), "");
    EXPECT_EQ(item->KuaipanModifyTime(), 0);
    EXPECT_EQ(item->SyncType(), 0);
    EXPECT_EQ(item->IsDelete(), 0);
    EXPECT_EQ(FormatIsoDateTime(item->UpdateDateTime()), "2016-03-05 14:30:10");
    EXPECT_EQ(Raw("UpdateDateTime", "1214608325AB"), "text:2016-03-05 14:30:10");

    const auto cls = FDB.GetSyncQueueItem("1214608320CD");
    ASSERT_TRUE(cls);
    EXPECT_EQ(cls->TaskClassPath(), "");
    EXPECT_EQ(cls->TaskItemPath(), "1214608320CD#Home");

    EXPECT_FALSE(FDB.GetSyncQueueItem("NOSUCHID"));
    EXPECT_EQ(FDB.GetKuaipanFileID("NOSUCHID"), "");
}

TEST_F(QueueDB, UpdatesChangeExactlyTheirRowAndStampIt) {
    const TDateTime modify = EncodeDateTime(2016, 3, 1, 8, 9, 10);
    struct Case {
        const char* name;
        std::function<bool(TOtSyncQueueDBUtility&, const std::string&)> call;
        // Expected column values after the call ("typeof:value").
        std::vector<std::pair<const char*, const char*>> expect;
    } cases[] = {
        {"SetKuaipanFileID",
         [](auto& db, const auto& id) { return db.SetKuaipanFileID(id, "F'1"); },
         {{"KuaipanFileID", "text:F'1"}, {"KuaipanModifyTime", "null:"}}},
        {"SetKuaipanFileID with time",
         [&](auto& db, const auto& id) { return db.SetKuaipanFileID(id, "F2", modify); },
         {{"KuaipanFileID", "text:F2"}, {"KuaipanModifyTime", "text:2016-03-01 08:09:10"}}},
        {"SetSyncQueueItem",
         [&](auto& db, const auto& id) {
             return db.SetSyncQueueItem(id, "old'name", "oldclass", "F3", modify,
                                        stRenamedAndRewritten);
         },
         {{"TaskItemPath", "text:name"},
          {"TaskItemPath_Old", "text:old'name"},
          {"TaskClassPath_Old", "text:oldclass"},
          {"KuaipanFileID", "text:F3"},
          {"KuaipanModifyTime", "text:2016-03-01 08:09:10"},
          {"SyncType", "integer:3"}}},
        {"SetSyncQueueItem with path",
         [&](auto& db, const auto& id) {
             return db.SetSyncQueueItem(id, "new", "", "", "F4", modify, stNone);
         },
         {{"TaskItemPath", "text:new"},
          {"TaskItemPath_Old", "text:"},
          {"KuaipanFileID", "text:F4"},
          {"SyncType", "integer:0"}}},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = "ID" + std::to_string(n++);
        Insert(id, "name", "class");
        Insert(id + "X", "bystander", "class");
        FClock->AdvanceSeconds(61);
        EXPECT_FALSE(c.call(FDB, "NOSUCHID"));
        ASSERT_TRUE(c.call(FDB, id));
        for (const auto& [column, value] : c.expect)
            EXPECT_EQ(Raw(column, id), value) << column;
        EXPECT_EQ(Raw("UpdateDateTime", id), "text:" + FormatIsoDateTime(FClock->Now()));
        EXPECT_EQ(Raw("KuaipanFileID", id + "X"), "null:");
        EXPECT_NE(Raw("UpdateDateTime", id + "X"), Raw("UpdateDateTime", id));
    }
    const auto row = FDB.GetSyncQueueItem("ID2");
    ASSERT_TRUE(row);
    EXPECT_EQ(row->KuaipanModifyTime(), modify);
    EXPECT_EQ(FDB.GetKuaipanFileID("ID2"), "F3");

    EXPECT_TRUE(FDB.DeleteSyncQueue("ID2"));
    EXPECT_FALSE(FDB.DeleteSyncQueue("ID2"));
    EXPECT_FALSE(FDB.GetSyncQueueItem("ID2"));
}

TEST_F(QueueDB, ListsOldestChangeFirstWithOrWithoutACondition) {
    for (const char* id : {"A", "B", "C", "D"}) {
        Insert(id, id, "");
        FClock->AdvanceSeconds(1);
    }
    ASSERT_TRUE(FDB.SetKuaipanFileID("B", "F")); // B is now the newest
    const TDateTime bTime = FClock->Now();

    TOtSyncQueueList rows;
    rows.resize(3); // whatever the list held goes
    ASSERT_TRUE(FDB.ListSyncQueue(rows, ""));
    std::string order;
    for (const auto& r : rows)
        order += r.TaskItemID();
    EXPECT_EQ(order, "ACDB");

    ASSERT_TRUE(FDB.ListSyncQueue(rows, "[UpdateDateTime] >= ?", {FormatIsoDateTime(bTime)}));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].TaskItemID(), "B");

    // A bound value is only ever a value.
    ASSERT_TRUE(FDB.ListSyncQueue(rows, "[TaskItemID] = ?", {std::string("A' or '1'='1")}));
    EXPECT_TRUE(rows.empty());
    ASSERT_TRUE(FDB.ListSyncQueue(rows, "[TaskItemID] in ('A', 'C')"));
    EXPECT_EQ(rows.size(), 2u);
}

TEST_F(QueueDB, CheckSyncQueueItemAddsAMissingRowOnce) {
    const auto cls = std::make_shared<TOtTaskClass>("1214608320CD", "Home");
    const auto item = std::make_shared<TOtTaskItem>("Milk", cls);
    const auto orphan = std::make_shared<TOtTaskItem>("No class", nullptr);
    EXPECT_FALSE(FDB.CheckSyncQueueItem(nullptr));
    EXPECT_FALSE(FDB.CheckSyncQueueItem(orphan.get()));
    EXPECT_FALSE(FDB.GetSyncQueueItem(orphan->ID()));

    ASSERT_TRUE(FDB.CheckSyncQueueItem(item.get()));
    const auto row = FDB.GetSyncQueueItem(item->ID());
    ASSERT_TRUE(row);
    EXPECT_EQ(row->TaskItemPath(), item->FileName());
    EXPECT_EQ(row->TaskClassPath(), cls->DirName());
    ASSERT_TRUE(FDB.SetKuaipanFileID(item->ID(), "F"));
    EXPECT_TRUE(FDB.CheckSyncQueueItem(item.get())); // the row stays as it is
    EXPECT_EQ(FDB.GetKuaipanFileID(item->ID()), "F");
}

// Rows map by column name without regard to case; the declared type decides
// how a value reads.
TEST(QueueDBColumns, DeclaredTypesDecideTheConversion) {
    test::TQueueTestDir dir;
    const std::string file = (dir.Root() / "other.db").string();
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &raw), SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(raw,
                     "create table SyncQueue (taskitemid TEXT, SYNCTYPE BOOLEAN, "
                     "IsDelete VARCHAR(5), KuaipanModifyTime DATE, UpdateDateTime DATETIME, "
                     "TaskItemPath INTEGER, Extra TEXT);"
                     "insert into SyncQueue values ('a', 1, '1', '2016-03-05', "
                     "'not a time', '0042', 'x');"
                     "insert into SyncQueue values ('b', null, null, null, null, null, null);",
                     nullptr, nullptr, nullptr),
        SQLITE_OK);
    sqlite3_close(raw);

    TOtSyncQueueDBUtility db(file);
    TOtSyncQueueList rows;
    ASSERT_TRUE(db.ListSyncQueue(rows, "", {}));
    ASSERT_EQ(rows.size(), 2u);
    const auto& a = rows[0].TaskItemID() == "a" ? rows[0] : rows[1];
    const auto& b = rows[0].TaskItemID() == "a" ? rows[1] : rows[0];
    EXPECT_EQ(a.SyncType(), 1);
    EXPECT_EQ(a.IsDelete(), 1);
    EXPECT_EQ(a.KuaipanModifyTime(), EncodeDate(2016, 3, 5));
    EXPECT_EQ(a.UpdateDateTime(), 0);
    EXPECT_EQ(a.TaskItemPath(), "42"); // read as an integer
    EXPECT_EQ(a.TaskClassPath(), "");  // no such column
    EXPECT_EQ(b.TaskItemID(), "b");
    EXPECT_EQ(b.SyncType(), 0);
    EXPECT_EQ(b.TaskItemPath(), "");
    EXPECT_EQ(b.UpdateDateTime(), 0);
}

TEST(QueueDBErrors, WithoutTheTableQueriesRaiseAndUpdatesFail) {
    test::TQueueTestDir dir;
    const std::string file = (dir.Root() / "empty.db").string();
    { std::ofstream(file).flush(); } // an empty file is an empty database
    TOtSyncQueueDBUtility db(file);

    auto raisesNamingFile = [&](const char* what, const std::function<void()>& f) {
        try {
            f();
            ADD_FAILURE() << what << " did not raise";
        } catch (const ESyncQueueDBError& e) {
            EXPECT_NE(std::string(e.what()).find(file), std::string::npos) << e.what();
        }
    };
    raisesNamingFile("GetSyncQueueItem", [&] { db.GetSyncQueueItem("A"); });
    raisesNamingFile("GetKuaipanFileID", [&] { db.GetKuaipanFileID("A"); });
    TOtSyncQueueList rows(2);
    raisesNamingFile("ListSyncQueue", [&] { db.ListSyncQueue(rows, ""); });
    EXPECT_TRUE(rows.empty());

    EXPECT_FALSE(db.SetKuaipanFileID("A", "F"));
    EXPECT_FALSE(db.SetSyncQueueItem("A", "", "", "F", 0, stNone));
    EXPECT_FALSE(db.DeleteSyncQueue("A"));
    EXPECT_NE(db.LastError().find(file), std::string::npos) << db.LastError();
    int rowsAffected = 7;
    EXPECT_FALSE(db.ExeSQL("this is not sql", rowsAffected));
    EXPECT_EQ(rowsAffected, 0);
    // The connection stays usable.
    EXPECT_TRUE(db.ExeSQL("create table t (x)"));
    EXPECT_TRUE(db.ExeSQL("insert into t values (1), (2)", rowsAffected));
    EXPECT_EQ(rowsAffected, 2);
    EXPECT_TRUE(db.ExeSQL("select * from t", rowsAffected));
    EXPECT_EQ(rowsAffected, 0);
}

TEST_F(QueueDB, AnInjectedFaultFailsTheStatementLikeADatabaseError) {
    Insert("A", "a", "c");
    std::atomic<int> seen{0};
    struct TRemoveHook {
        ~TRemoveHook() { SetSQLFaultHook({}); }
    } removeHook;
    SetSQLFaultHook([&](std::string_view sql) {
        ++seen;
        return sql.find("update") == 0;
    });
    EXPECT_FALSE(FDB.SetKuaipanFileID("A", "F"));
    EXPECT_TRUE(FDB.GetSyncQueueItem("A"));
    SetSQLFaultHook([](std::string_view) { return true; });
    EXPECT_THROW(FDB.GetSyncQueueItem("A"), ESyncQueueDBError);
    SetSQLFaultHook({});
    EXPECT_EQ(seen.load(), 2);
    EXPECT_EQ(FDB.GetKuaipanFileID("A"), "");
    EXPECT_TRUE(FDB.SetKuaipanFileID("A", "F"));
}

} // namespace
