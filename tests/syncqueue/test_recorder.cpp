// Folding changes of the task tree into the queue rows.

#include "common/Clock.h"
#include "support/QueueTestDir.h"
#include "syncqueue/OtSyncQueueDBModel.h"
#include "syncqueue/OtSyncQueueUtility.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>

using namespace ot;

namespace {

const std::string kClass = "1214608320CD";
const std::string kClassDir = kClass + "#Home";

class Recorder : public ::testing::Test {
protected:
    Recorder() {
        SetSQLFaultHook([this](std::string_view sql) {
            ++FStatements;
            return !FFailWhen.empty() && sql.find(FFailWhen) != std::string_view::npos;
        });
    }
    ~Recorder() override { SetSQLFaultHook({}); }

    // Any code, the ones outside TSyncQueueOp included.
    bool Write(unsigned op, const std::vector<TSyncQueueArg>& args) {
        return TOtSyncQueueUtility::WriteToSyncQueue(DBFileName(), static_cast<TSyncQueueOp>(op),
                                                     args);
    }
    std::optional<TOtSyncQueueDB> Row(const std::string& id) {
        return TOtSyncQueueDBUtility(DBFileName()).GetSyncQueueItem(id);
    }
    std::size_t RowCount() {
        TOtSyncQueueList rows;
        TOtSyncQueueDBUtility(DBFileName()).ListSyncQueue(rows, "");
        return rows.size();
    }
    // An item row as the engine leaves it after an upload, with a pending
    // change of the given kind.
    void ItemInCloud(const std::string& id, const std::string& name, int syncType,
                     const std::string& oldName = "") {
        ASSERT_TRUE(Write(2, {id, name, kClassDir}));
        ASSERT_TRUE(TOtSyncQueueDBUtility(DBFileName())
                        .SetSyncQueueItem(id, oldName, "", "F" + id, FClock->Now(),
                                          static_cast<TSyncType>(syncType)));
    }
    // Statements run from now on.
    int Statements() const { return FStatements.load(); }
    void ResetStatements() { FStatements = 0; }

    test::TQueueTestDir FDir;
    std::string TaskDataPath() const { return FDir.Paths().TaskDataPath; }
    std::string DBFileName() const { return FDir.Paths().DBFileName; }
    std::shared_ptr<FixedClock> FClock =
        std::make_shared<FixedClock>(EncodeDateTime(2016, 3, 5, 14, 30, 10));
    ScopedClock FScope{FClock};
    std::atomic<int> FStatements{0};
    std::string FFailWhen; // a statement containing this text fails
};

TEST_F(Recorder, CreationsInsertRowsWithTheDefaultsOnce) {
    ASSERT_TRUE(Write(0, {kClass, kClassDir}));
    ASSERT_TRUE(Write(2, {"1214608325AB", "1214608325AB#0#Milk#5#201603051430###", kClassDir}));

    const auto cls = Row(kClass);
    ASSERT_TRUE(cls);
    EXPECT_EQ(cls->TaskItemPath(), kClassDir);
    EXPECT_EQ(cls->TaskClassPath(), "");
    const auto item = Row("1214608325AB");
    ASSERT_TRUE(item);
    EXPECT_EQ(item->TaskItemPath(), "1214608325AB#0#Milk#5#201603051430###");
    EXPECT_EQ(item->TaskClassPath(), kClassDir);
    EXPECT_EQ(item->SyncType(), 0);
    EXPECT_EQ(item->IsDelete(), 0);
    EXPECT_EQ(FormatIsoDateTime(item->UpdateDateTime()), FormatIsoDateTime(FClock->Now()));

    // Recording a creation again keeps the first row.
    EXPECT_FALSE(Write(0, {kClass, "other"}));
    EXPECT_FALSE(Write(2, {"1214608325AB", "other", "other"}));
    EXPECT_EQ(Row(kClass)->TaskItemPath(), kClassDir);
    EXPECT_EQ(Row("1214608325AB")->TaskItemPath(), "1214608325AB#0#Milk#5#201603051430###");
}

TEST_F(Recorder, CallsOfTheWrongShapeDoNothing) {
    ASSERT_TRUE(Write(2, {"I1", "name", kClassDir}));
    const struct {
        const char* name;
        unsigned op;
        std::vector<TSyncQueueArg> args;
    } cases[] = {
        {"code 3 with five arguments", 3, {"new", kClassDir, "name", "", 2}},
        {"code 3 with seven arguments", 3, {"new", kClassDir, "name", "", 2, "I1", "x"}},
        {"code 3 with the kind as text", 3, {"new", kClassDir, "name", "", "2", "I1"}},
        {"code 3 with kind 0", 3, {"new", kClassDir, "name", "", 0, "I1"}},
        {"code 3 with kind 4", 3, {"new", kClassDir, "name", "", 4, "I1"}},
        {"code 0 with three arguments", 0, {"C2", "C2#x", "extra"}},
        {"code 1 without arguments", 1, {}},
        {"code 2 with an integer", 2, {"I2", 5, kClassDir}},
        {"code 4 with two arguments", 4, {"I1", "I1"}},
        {"code 5", 5, {"I1"}},
    };
    for (const auto& c : cases) {
        ResetStatements();
        EXPECT_FALSE(Write(c.op, c.args)) << c.name;
        EXPECT_EQ(Statements(), 0) << c.name;
    }
    EXPECT_EQ(RowCount(), 1u);
    EXPECT_EQ(Row("I1")->TaskItemPath(), "name");
}

TEST_F(Recorder, DeletingAClassDropsItsItemRows) {
    const std::string other = "1214608399ZZ";
    for (bool inCloud : {false, true}) {
        SCOPED_TRACE(inCloud ? "class in the cloud" : "class never uploaded");
        ASSERT_TRUE(Write(0, {kClass, kClassDir}));
        ASSERT_TRUE(Write(0, {other, other + "#Work"}));
        ItemInCloud("I1", "i1", 0); // uploaded items go as well: the folder goes
        ASSERT_TRUE(Write(2, {"I2", "i2", kClassDir}));
        ASSERT_TRUE(Write(2, {"I3", "i3", other + "#Work"}));
        if (inCloud) {
            ASSERT_TRUE(TOtSyncQueueDBUtility(DBFileName()).SetKuaipanFileID(kClass, "FC"));
        }
        FClock->AdvanceSeconds(5);

        ASSERT_TRUE(Write(1, {kClass}));
        EXPECT_FALSE(Row("I1"));
        EXPECT_FALSE(Row("I2"));
        EXPECT_TRUE(Row("I3"));
        EXPECT_TRUE(Row(other));
        const auto cls = Row(kClass);
        if (inCloud) {
            ASSERT_TRUE(cls);
            EXPECT_EQ(cls->IsDelete(), 1);
            EXPECT_EQ(FormatIsoDateTime(cls->UpdateDateTime()), FormatIsoDateTime(FClock->Now()));
            EXPECT_EQ(RowCount(), 3u);
        } else {
            EXPECT_FALSE(cls);
            EXPECT_EQ(RowCount(), 2u);
        }
        ASSERT_TRUE(TOtSyncQueueDBUtility(DBFileName()).ExeSQL("delete from [SyncQueue]"));
    }
}

TEST_F(Recorder, AClassIDPrefixMatchesLiterally) {
    // LIKE wildcards in an ID must not reach the items of other classes.
    ASSERT_TRUE(Write(2, {"I1", "i1", "12AB#x"}));
    ASSERT_TRUE(Write(2, {"I2", "i2", "1_AB#y"}));
    ASSERT_TRUE(Write(1, {"1_"}));
    EXPECT_TRUE(Row("I1"));
    EXPECT_FALSE(Row("I2"));
    ASSERT_TRUE(Write(1, {"%"}));
    EXPECT_TRUE(Row("I1"));
}

// Code 3 on an item in the cloud: SyncType and the cloud name it keeps.
TEST_F(Recorder, ChangesFoldIntoThePendingSyncType) {
    const struct {
        int syncType, kind, expectType;
        bool keepsOldName; // false: the old name becomes the name before this change
    } cases[] = {
        {0, 1, 1, false}, {0, 2, 2, false}, {0, 3, 3, false}, //
        {1, 1, 1, true},  {1, 2, 3, true},  {1, 3, 3, true},  //
        {2, 1, 3, false}, {2, 2, 2, false}, {2, 3, 3, false}, //
        {3, 1, 3, true},  {3, 2, 3, true},  {3, 3, 3, true},  //
        {7, 1, 1, false}, {7, 2, 2, false}, {7, 3, 3, false},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string id = "I" + std::to_string(n++);
        SCOPED_TRACE("SyncType " + std::to_string(c.syncType) + ", kind " + std::to_string(c.kind));
        ItemInCloud(id, "before", c.syncType, "cloudname");
        FClock->AdvanceSeconds(1);
        const std::string oldArg = c.kind == 2 ? "" : "before";
        ASSERT_TRUE(Write(3, {"after", "NEWCLASS#x", oldArg, "", c.kind, id}));
        const auto row = Row(id);
        ASSERT_TRUE(row);
        EXPECT_EQ(row->TaskItemPath(), "after");
        EXPECT_EQ(row->TaskClassPath(), "NEWCLASS#x");
        EXPECT_EQ(row->SyncType(), c.expectType);
        EXPECT_EQ(row->TaskItemPath_Old(), c.keepsOldName ? "cloudname" : oldArg);
        EXPECT_EQ(row->KuaipanFileID(), "F" + id);
        EXPECT_EQ(FormatIsoDateTime(row->UpdateDateTime()), FormatIsoDateTime(FClock->Now()));
    }
}

TEST_F(Recorder, ChangeSequencesKeepTheNameOfTheCloudCopy) {
    using Step = std::tuple<const char* /*new*/, const char* /*old arg*/, int /*kind*/,
                            int /*SyncType*/, const char* /*TaskItemPath_Old*/>;
    const struct {
        const char* name;
        std::vector<Step> steps;
    } cases[] = {
        {"rename, rename, remarks",
         {{"n1", "n0", 1, 1, "n0"}, {"n2", "n1", 1, 1, "n0"}, {"n2", "", 2, 3, "n0"}}},
        {"remarks, rename", {{"n0", "", 2, 2, ""}, {"n1", "n0", 1, 3, "n0"}}},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = "S" + std::to_string(n++);
        ItemInCloud(id, "n0", 0);
        for (const auto& [name, oldArg, kind, syncType, oldPath] : c.steps) {
            ASSERT_TRUE(Write(3, {name, kClassDir, oldArg, "", kind, id}));
            const auto row = Row(id);
            EXPECT_EQ(row->TaskItemPath(), name);
            EXPECT_EQ(row->SyncType(), syncType);
            EXPECT_EQ(row->TaskItemPath_Old(), oldPath);
        }
    }
}

TEST_F(Recorder, ChangingAnItemNeverUploadedUpdatesOnlyItsNames) {
    ASSERT_TRUE(Write(2, {"I1", "n0", kClassDir}));
    ASSERT_TRUE(TOtSyncQueueDBUtility(DBFileName())
                    .ExeSQL("update [SyncQueue] set [SyncType] = 2, [TaskItemPath_Old] = 'x', "
                            "[TaskClassPath_Old] = 'y' where [TaskItemID] = 'I1'"));
    FClock->AdvanceSeconds(3);
    ASSERT_TRUE(Write(3, {"n1", "OTHER#z", "n0", "", 3, "I1"}));
    const auto row = Row("I1");
    EXPECT_EQ(row->TaskItemPath(), "n1");
    EXPECT_EQ(row->TaskClassPath(), "OTHER#z");
    EXPECT_EQ(row->SyncType(), 2);
    EXPECT_EQ(row->TaskItemPath_Old(), "x");
    EXPECT_EQ(row->TaskClassPath_Old(), "y");
    EXPECT_EQ(row->KuaipanFileID(), "");
    EXPECT_EQ(FormatIsoDateTime(row->UpdateDateTime()), FormatIsoDateTime(FClock->Now()));
}

TEST_F(Recorder, DeletingAnItem) {
    // Not uploaded: forgotten.
    ASSERT_TRUE(Write(2, {"I1", "n0", kClassDir}));
    ASSERT_TRUE(Write(4, {"I1"}));
    EXPECT_FALSE(Row("I1"));

    // Uploaded, with a pending rename: back to the cloud name.
    ItemInCloud("I2", "n0", 0);
    ASSERT_TRUE(Write(3, {"n1", kClassDir, "n0", "", 1, "I2"}));
    FClock->AdvanceSeconds(2);
    const TDateTime stamped = FClock->Now();
    ASSERT_TRUE(Write(4, {"I2"}));
    auto row = Row("I2");
    ASSERT_TRUE(row);
    EXPECT_EQ(row->TaskItemPath(), "n0");
    EXPECT_EQ(row->SyncType(), 0);
    EXPECT_EQ(row->IsDelete(), 1);
    EXPECT_EQ(FormatIsoDateTime(row->UpdateDateTime()), FormatIsoDateTime(stamped));

    // Uploaded, content changed only: the name stays.
    ItemInCloud("I3", "n0", 2);
    ASSERT_TRUE(Write(4, {"I3"}));
    row = Row("I3");
    EXPECT_EQ(row->TaskItemPath(), "n0");
    EXPECT_EQ(row->SyncType(), 0);
    EXPECT_EQ(row->IsDelete(), 1);

    // No row: no statement beyond the lookup.
    for (unsigned op : {3u, 4u}) {
        ResetStatements();
        const std::vector<TSyncQueueArg> args =
            op == 3 ? std::vector<TSyncQueueArg>{"n", kClassDir, "", "", 2, "NONE"}
                    : std::vector<TSyncQueueArg>{"NONE"};
        EXPECT_FALSE(Write(op, args));
        EXPECT_EQ(Statements(), 1);
    }
}

TEST_F(Recorder, AFailedPreparatoryStatementStopsTheCall) {
    ASSERT_TRUE(Write(0, {kClass, kClassDir}));
    ASSERT_TRUE(Write(2, {"I1", "i1", kClassDir}));
    FFailWhen = "like";
    EXPECT_FALSE(Write(1, {kClass}));
    EXPECT_TRUE(Row(kClass));
    EXPECT_TRUE(Row("I1"));

    ItemInCloud("I2", "n0", 1, "cloud");
    FFailWhen = "[SyncType] = 0";
    EXPECT_FALSE(Write(4, {"I2"}));
    const auto row = Row("I2");
    EXPECT_EQ(row->IsDelete(), 0);
    EXPECT_EQ(row->SyncType(), 1);
    FFailWhen.clear();
}

TEST_F(Recorder, DatabaseErrors) {
    // Without the table: inserts answer false, lookups raise.
    std::filesystem::remove(DBFileName());
    { std::ofstream(DBFileName()).flush(); }
    EXPECT_FALSE(Write(0, {kClass, kClassDir}));
    EXPECT_FALSE(Write(2, {"I1", "i1", kClassDir}));
    EXPECT_THROW(Write(4, {"I1"}), ESyncQueueDBError);
    EXPECT_THROW(Write(1, {kClass}), ESyncQueueDBError);

    // Without the file: raises naming it, and no file appears.
    std::filesystem::remove(DBFileName());
    try {
        Write(0, {kClass, kClassDir});
        ADD_FAILURE() << "no error";
    } catch (const ESyncQueueDBError& e) {
        EXPECT_NE(std::string(e.what()).find(DBFileName()), std::string::npos) << e.what();
    }
    EXPECT_FALSE(std::filesystem::exists(DBFileName()));
}

} // namespace
