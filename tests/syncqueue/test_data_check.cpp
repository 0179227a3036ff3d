// The data check repairs the queue against the task tree on disk.

#include "common/Clock.h"
#include "common/FileUtil.h"
#include "support/QueueTestDir.h"
#include "syncqueue/OtSyncQueueDBModel.h"
#include "syncqueue/OtSyncQueueUtility.h"
#include "syncqueue/OtTaskDataCheckUtility.h"
#include "tasks/OtTaskUtility.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

using namespace ot;
namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class DataCheck : public ::testing::Test {
protected:
    // A class as the repository makes it: directory and row.
    TOtTaskClassPtr Class(const std::string& id, const std::string& title) {
        auto cls = std::make_shared<TOtTaskClass>(id, title);
        EXPECT_TRUE(fs::create_directories(TaskDataPath() + cls->Path()));
        EXPECT_TRUE(TOtSyncQueueUtility::WriteToSyncQueue(DBFileName(), sqClassCreated,
                                                          {cls->ID(), cls->DirName()}));
        FClock->AdvanceSeconds(1);
        return cls;
    }
    // An item as the repository makes it: file and row.
    TOtTaskItemPtr Item(const TOtTaskClassPtr& cls, const std::string& id) {
        auto item = HandItem(cls, id);
        EXPECT_TRUE(TOtSyncQueueUtility::WriteToSyncQueue(
            DBFileName(), sqItemCreated, {item->ID(), item->FileName(), cls->DirName()}));
        FClock->AdvanceSeconds(1);
        return item;
    }
    // An item file put there by hand: no row.
    TOtTaskItemPtr HandItem(const TOtTaskClassPtr& cls, const std::string& id) {
        auto item = std::make_shared<TOtTaskItem>("Task " + id, cls);
        item->SetID(id);
        item->ResetDirty();
        fs::create_directories(TaskDataPath() + cls->Path());
        EXPECT_TRUE(item->SaveToFile(TaskDataPath() + item->Path()));
        return item;
    }
    std::string File(const TOtTaskItemPtr& item) { return TaskDataPath() + item->Path(); }

    std::vector<std::string> Check(int* events = nullptr) {
        TOtTaskDataCheck check(FDir.Paths(), [events] {
            if (events)
                ++*events;
        });
        check.DoDataCheck();
        return check.Logs();
    }
    std::optional<TOtSyncQueueDB> Row(const std::string& id) {
        return TOtSyncQueueDBUtility(DBFileName()).GetSyncQueueItem(id);
    }
    std::size_t RowCount() {
        TOtSyncQueueList rows;
        TOtSyncQueueDBUtility(DBFileName()).ListSyncQueue(rows, "");
        return rows.size();
    }
    // Every directory and file of the task tree, with the files' content.
    std::map<std::string, std::string> Tree() {
        std::map<std::string, std::string> out;
        for (const auto& e : fs::recursive_directory_iterator(TaskDataPath())) {
            std::string content;
            if (e.is_regular_file())
                ReadWholeFile(e.path(), content);
            out[e.path().string()] = content;
        }
        return out;
    }

    test::TQueueTestDir FDir;
    std::string TaskDataPath() const { return FDir.Paths().TaskDataPath; }
    std::string DBFileName() const { return FDir.Paths().DBFileName; }
    std::shared_ptr<FixedClock> FClock =
        std::make_shared<FixedClock>(EncodeDateTime(2016, 3, 5, 14, 30, 10));
    ScopedClock FScope{FClock};
};

TEST_F(DataCheck, NothingOnDiskAndNoRowsGivesNoLine) {
    EXPECT_THAT(Check(), IsEmpty());
    EXPECT_EQ(RowCount(), 0u);
}

TEST_F(DataCheck, RepairsBothWaysAndASecondRunFindsNothing) {
    const auto home = Class("1214608320AA", "Home");
    const auto a1 = Item(home, "1214608321A1");
    const auto a2 = HandItem(home, "1214608321A2"); // copied in by hand
    const auto a3 = Item(home, "1214608321A3");
    const auto a4 = Item(home, "1214608321A4");
    ASSERT_TRUE(TOtSyncQueueDBUtility(DBFileName()).SetKuaipanFileID(a4->ID(), "F4"));
    ASSERT_TRUE(TOtSyncQueueUtility::WriteToSyncQueue(DBFileName(), sqItemDeleted,
                                                      {a4->ID()})); // deletion pending
    fs::remove(File(a3));
    fs::remove(File(a4));
    FClock->AdvanceSeconds(1);

    const auto gone = Class("1214608320BB", "Gone");
    const auto g1 = Item(gone, "1214608322G1");
    const auto g2 = Item(gone, "1214608322G2");
    fs::remove_all(TaskDataPath() + gone->Path());

    // A class directory made by hand, with its items.
    const auto hand = std::make_shared<TOtTaskClass>("1214608320CC", "By hand");
    const auto h1 = HandItem(hand, "1214608323H1");
    const auto h2 = HandItem(hand, "1214608323H2");
    // Not named as a class: named in the report, left alone.
    fs::create_directories(TaskDataPath() + "not a class");

    const auto before = Tree();
    int events = 0;
    EXPECT_THAT(
        Check(&events),
        ElementsAre(
            "Add task item \"" + home->DirName() + "\\" + a2->FileName() + "\" to \"SyncQueue\".",
            "Add task class \"" + hand->DirName() + "\" to \"SyncQueue\".",
            "Add task item \"" + hand->DirName() + "\\" + h1->FileName() + "\" to \"SyncQueue\".",
            "Add task item \"" + hand->DirName() + "\\" + h2->FileName() + "\" to \"SyncQueue\".",
            "Delete task item \"" + home->DirName() + "\\" + a3->FileName() +
                "\" from \"SyncQueue\".",
            "Delete task class \"" + gone->DirName() + "\" from \"SyncQueue\".",
            "Delete task item \"" + gone->DirName() + "\\" + g1->FileName() +
                "\" from \"SyncQueue\".",
            "Delete task item \"" + gone->DirName() + "\\" + g2->FileName() +
                "\" from \"SyncQueue\".",
            "Left alone: not a class: not a task list name this program writes"));
    // One event round per class (Home, By hand) and per row read in phase 2.
    EXPECT_EQ(events, 2 + 11);
    EXPECT_EQ(Tree(), before); // no directory or task file changed

    const auto row = Row(h1->ID());
    ASSERT_TRUE(row);
    EXPECT_EQ(row->TaskItemPath(), h1->FileName());
    EXPECT_EQ(row->TaskClassPath(), hand->DirName());
    EXPECT_TRUE(Row(hand->ID()));
    EXPECT_TRUE(Row(a1->ID()));
    EXPECT_TRUE(Row(a2->ID()));
    EXPECT_FALSE(Row(a3->ID()));
    EXPECT_EQ(Row(a4->ID())->IsDelete(), 1);
    EXPECT_FALSE(Row(gone->ID()));
    EXPECT_FALSE(Row(g1->ID()));

    // Nothing left to repair; what is left alone is named again.
    EXPECT_THAT(Check(),
                ElementsAre("Left alone: not a class: not a task list name this program writes"));
}

TEST_F(DataCheck, ARowUnderAnOldNameIsReplacedOverTwoRuns) {
    const auto home = Class("1214608320AA", "Home");
    const auto item = Item(home, "1214608321A1");
    const std::string oldName = item->FileName();
    item->SetTitle("Renamed by hand");
    fs::rename(TaskDataPath() + item->OldPath(), File(item));

    EXPECT_THAT(Check(), ElementsAre("Delete task item \"" + home->DirName() + "\\" + oldName +
                                     "\" from \"SyncQueue\"."));
    EXPECT_THAT(Check(), ElementsAre("Add task item \"" + home->DirName() + "\\" +
                                     item->FileName() + "\" to \"SyncQueue\"."));
    EXPECT_THAT(Check(), IsEmpty());
}

// Names the loader accepts but this program would write otherwise (a status
// as a word, five fields, a ninth field): the row names the file as it lies,
// so the check settles after one run.
TEST_F(DataCheck, HandMadeItemNamesGetRowsUnderTheirRealNames) {
    auto cls = Class("1C", "Home");
    const std::vector<std::string> names = {"11A#Completed#Buy[SP]milk#5#201603051430###",
                                            "11B#0#Five[SP]fields#5#201603051430",
                                            "11C#0#Nine#5#201603051430####extra"};
    for (const auto& name : names)
        ASSERT_TRUE(WriteFileAtomic(TaskDataPath() + cls->Path() + name + ".tsk",
                                    TOtTaskUtility::TaskFileContent("r")));
    std::vector<std::string> expected;
    for (const auto& name : names)
        expected.push_back("Add task item \"" + cls->DirName() + "\\" + name +
                           "\" to \"SyncQueue\".");
    EXPECT_EQ(Check(), expected);
    EXPECT_EQ(Row("11A")->TaskItemPath(), names[0]);
    EXPECT_THAT(Check(), IsEmpty());
    EXPECT_EQ(RowCount(), 4u);
}

// List directories whose names the loader accepts but this program would
// write otherwise: their rows carry the name the list's values build (the
// cloud folder's), the lines name the directory as it lies, and the check
// settles after one run.
TEST_F(DataCheck, HandMadeListNamesSettle) {
    const std::vector<std::string> dirs = {"1L1#My list", "1L2#to_do", "1L3#Tom's (old)"};
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < dirs.size(); ++i) {
        const std::string item = "1L0" + std::to_string(i) + "#0#Task#5#201603051430###";
        ASSERT_TRUE(fs::create_directory(TaskDataPath() + dirs[i]));
        ASSERT_TRUE(WriteFileAtomic(TaskDataPath() + dirs[i] + "/" + item + ".tsk",
                                    TOtTaskUtility::TaskFileContent("r")));
        expected.push_back("Add task class \"" + dirs[i] + "\" to \"SyncQueue\".");
        expected.push_back("Add task item \"" + dirs[i] + "\\" + item + "\" to \"SyncQueue\".");
    }
    EXPECT_EQ(Check(), expected);
    const auto cls = TOtTaskUtility::ParseTaskClass(dirs[0]);
    EXPECT_EQ(Row("1L1")->TaskItemPath(), cls->DirName());
    EXPECT_EQ(Row("1L00")->TaskClassPath(), cls->DirName());
    EXPECT_THAT(Check(), IsEmpty());
    EXPECT_EQ(RowCount(), 6u);
}

TEST_F(DataCheck, ItemsOfAClassWhoseRowCannotBeAddedAreLeft) {
    const auto hand = std::make_shared<TOtTaskClass>("1214608320CC", "By hand");
    HandItem(hand, "1214608323H1");
    SetSQLFaultHook([](std::string_view sql) { return sql.find("insert") == 0; });
    struct TRemoveHook {
        ~TRemoveHook() { SetSQLFaultHook({}); }
    } removeHook;
    // The class line is written although its row could not be added.
    EXPECT_THAT(Check(),
                ElementsAre("Add task class \"" + hand->DirName() + "\" to \"SyncQueue\"."));
    EXPECT_EQ(RowCount(), 0u);
}

TEST_F(DataCheck, ADatabaseItCannotUseEndsTheCheckAndTouchesNoFile) {
    const auto home = Class("1214608320AA", "Home");
    Item(home, "1214608321A1");
    const auto before = Tree();

    fs::remove(DBFileName());
    EXPECT_THROW(TOtTaskDataCheck check(FDir.Paths()), ESyncQueueDBError);
    EXPECT_FALSE(fs::exists(DBFileName()));

    { std::ofstream(DBFileName()).flush(); } // a database without the table
    TOtTaskDataCheck check(FDir.Paths());
    EXPECT_THROW(check.DoDataCheck(), ESyncQueueDBError);
    fs::remove(DBFileName());
    EXPECT_EQ(Tree(), before);
}

} // namespace
