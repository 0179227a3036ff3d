// The task model: IDs, status texts, names derived from the fields and the
// old-value snapshot.

#include "common/Clock.h"
#include "tasks/OtTask.h"
#include "tasks/OtTaskUtility.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

using namespace ot;

namespace {

TDateTime At(int y, int m, int d, int h = 0, int n = 0, int s = 0) {
    return EncodeDateTime(y, m, d, h, n, s);
}

} // namespace

TEST(NewTaskID, PacksTheClockIntoDigitsAndAddsTwoRandomCharacters) {
    struct Case {
        TDateTime now;
        const char* pattern;
    } cases[] = {
        {At(2016, 3, 5, 14, 30, 10), "1214608325[A-Z][0-9A-Z]"},
        {At(2016, 3, 5, 14, 30, 11), "1214608325[A-Z][0-9A-Z]"}, // seconds / 2
        {At(2012, 1, 1), "\\d{10}[A-Z][0-9A-Z]"},
        {At(2043, 12, 31, 23, 59, 59), "\\d{10}[A-Z][0-9A-Z]"},
        {At(2044, 1, 1), "N2145320960[A-Z][0-9A-Z]"},
        {At(2107, 12, 31, 23, 59, 58), "N6307971[A-Z][0-9A-Z]"},
        {At(1979, 12, 31, 23, 59, 59), "0[A-Z][0-9A-Z]"},
        {At(2108, 1, 1), "0[A-Z][0-9A-Z]"},
    };
    for (const auto& c : cases) {
        ScopedClock clock(std::make_shared<FixedClock>(c.now));
        const std::string id = NewTaskID();
        EXPECT_TRUE(std::regex_match(id, std::regex(c.pattern)))
            << id << " at " << FormatIsoDateTime(c.now);
        EXPECT_TRUE(TOtTaskUtility::IsWellFormedTaskID(id)) << id;
    }
}

TEST(NewTaskID, OneProcessNeverDrawsTheSameIdTwice) {
    // With the clock standing still every ID shares the packed time; by
    // chance alone 500 draws would repeat one almost surely.
    ScopedClock clock(std::make_shared<FixedClock>(At(2016, 3, 5, 14, 30, 10)));
    std::set<std::string> ids;
    for (int i = 0; i < 500; ++i)
        ids.insert(NewTaskID());
    EXPECT_EQ(ids.size(), 500u);
}

TEST(NewTaskID, IdsFrom2012To2043HaveTwelveCharacters) {
    for (int year = 2012; year <= 2043; ++year)
        for (TDateTime t : {At(year, 1, 1), At(year, 12, 31, 23, 59, 59)})
            EXPECT_EQ(NewTaskIDAt(t).size(), 12u) << year;
}

TEST(TaskStatus, TextsBothWays) {
    EXPECT_EQ(TaskStatusToStr(tsNotCompleted), "NotCompleted");
    EXPECT_EQ(TaskStatusToStr(tsCompleted), "Completed");
    EXPECT_EQ(TaskStatusToStr(tsCleared), "Cleared");
    struct Case {
        const char* text;
        TTaskStatus status;
    } cases[] = {{"NotCompleted", tsNotCompleted},
                 {"0", tsNotCompleted},
                 {"Completed", tsCompleted},
                 {"1", tsCompleted},
                 {"Cleared", tsCleared},
                 {"2", tsCleared},
                 {"completed", tsNotCompleted},
                 {"", tsNotCompleted},
                 {"3", tsNotCompleted}};
    for (const auto& c : cases)
        EXPECT_EQ(StrToTaskStatus(c.text), c.status) << c.text;
}

TEST(TaskClass, NamesAndDiagnostics) {
    TOtTaskClass cls("1214608325K7", "Home & work");
    EXPECT_EQ(cls.DirName(), "1214608325K7#Home[SP]&[SP]work");
    EXPECT_EQ(cls.Path(), "1214608325K7#Home[SP]&[SP]work/");
    EXPECT_FALSE(cls.IsLoadTaskList());
    EXPECT_EQ(
        cls.ToString(),
        "ID=1214608325K7Title=Home & workPath=1214608325K7#Home[SP]&[SP]work/TaskListCount=0");

    ScopedClock clock(std::make_shared<FixedClock>(At(2016, 3, 5, 14, 30, 10)));
    TOtTaskClass fresh("x#y");
    EXPECT_EQ(fresh.ID().substr(0, 10), "1214608325");
    EXPECT_EQ(fresh.DirName(), fresh.ID() + "#x[PO]y");
}

class TaskItemTest : public ::testing::Test {
protected:
    TaskItemTest() : FClock(std::make_shared<FixedClock>(At(2016, 3, 5, 14, 30, 10))) {}
    ScopedClock FClock;
    TOtTaskClassPtr Home = std::make_shared<TOtTaskClass>("1214608325K7", "Home");
    TOtTaskClassPtr Work = std::make_shared<TOtTaskClass>("1214608400AB", "Work");
};

TEST_F(TaskItemTest, NewItemIsCleanWithDefaults) {
    auto item = std::make_shared<TOtTaskItem>("Buy milk", Home);
    EXPECT_EQ(item->Priority(), 5);
    EXPECT_EQ(item->Level(), 1);
    EXPECT_EQ(item->Status(), tsNotCompleted);
    EXPECT_DOUBLE_EQ(item->CreateDateTime(), At(2016, 3, 5, 14, 30, 10));
    EXPECT_EQ(item->FinishDateTime(), 0);
    EXPECT_EQ(item->TaskClass(), Home);
    EXPECT_EQ(item->Parent(), nullptr);
    EXPECT_FALSE(item->IsDirty());
    EXPECT_EQ(item->OldFileName(), item->FileName());
    EXPECT_EQ(item->OldPath(), item->Path());
    EXPECT_EQ(item->Path(), "1214608325K7#Home/" + item->FileName() + ".tsk");
    EXPECT_EQ(item->KuaipanPath(), "/1214608325K7#Home/" + item->FileName() + ".tsk");
}

TEST_F(TaskItemTest, SnapshotFollowsTheLastAssignment) {
    auto item = std::make_shared<TOtTaskItem>("Buy milk", Home);
    item->SetID("1214608325K7");
    item->ResetDirty();
    const std::string original = item->FileName();

    item->SetTitle("Buy milk"); // same value: the snapshot takes it, nothing changes
    EXPECT_FALSE(item->IsDirty());

    item->SetTitle("Buy bread");
    item->SetTitle("Buy eggs");
    EXPECT_TRUE(item->IsDirty());
    EXPECT_EQ(item->Title(), "Buy eggs");
    // The snapshot holds the first new title: a name that never existed.
    EXPECT_NE(item->OldFileName(), original);
    EXPECT_NE(item->OldFileName().find("Buy[SP]bread"), std::string::npos);
    EXPECT_FALSE(item->IsTaskRemarksChange());
    EXPECT_FALSE(item->IsTaskPriorityChange());
    EXPECT_FALSE(item->IsTaskClassChange());

    item->ResetDirty();
    EXPECT_FALSE(item->IsDirty());
    EXPECT_EQ(item->OldFileName(), item->FileName());
}

TEST_F(TaskItemTest, WhichChangeTestsASetterTriggers) {
    struct Case {
        const char* what;
        void (*change)(TOtTaskItem&, const TOtTaskClassPtr& other);
        bool classChange, remarksChange, priorityChange, nameChange;
    } cases[] = {
        {"remarks", [](TOtTaskItem& i, const TOtTaskClassPtr&) { i.SetRemarks("note"); }, false,
         true, false, false},
        {"priority", [](TOtTaskItem& i, const TOtTaskClassPtr&) { i.SetPriority(9); }, false, false,
         true, true},
        {"class", [](TOtTaskItem& i, const TOtTaskClassPtr& o) { i.SetTaskClass(o); }, true, false,
         false, false},
        {"due day",
         [](TOtTaskItem& i, const TOtTaskClassPtr&) {
             i.SetExpirationDate(EncodeDate(2016, 3, 7));
         },
         false, false, false, true},
        {"status", [](TOtTaskItem& i, const TOtTaskClassPtr&) { i.SetStatus(tsCompleted); }, false,
         false, false, true},
        {"level", [](TOtTaskItem& i, const TOtTaskClassPtr&) { i.SetLevel(2); }, false, false,
         false, false},
        {"tag only", [](TOtTaskItem& i, const TOtTaskClassPtr&) { i.SetTagString("f1"); }, false,
         false, false, false},
    };
    for (const auto& c : cases) {
        auto item = std::make_shared<TOtTaskItem>("Buy milk", Home);
        c.change(*item, Work);
        const bool expectDirty = std::string(c.what) != "tag only";
        EXPECT_EQ(item->IsDirty(), expectDirty) << c.what;
        EXPECT_EQ(item->IsTaskClassChange(), c.classChange) << c.what;
        EXPECT_EQ(item->IsTaskRemarksChange(), c.remarksChange) << c.what;
        EXPECT_EQ(item->IsTaskPriorityChange(), c.priorityChange) << c.what;
        EXPECT_EQ(item->OldFileName() != item->FileName(), c.nameChange) << c.what;
    }
}

TEST_F(TaskItemTest, ClassChangeKeepsTheOldDirectoryInOldPath) {
    auto item = std::make_shared<TOtTaskItem>("Buy milk", Home);
    item->SetTaskClass(Work);
    EXPECT_TRUE(item->IsTaskClassChange());
    EXPECT_EQ(item->OldTaskClass(), Home);
    EXPECT_EQ(item->OldPath(), Home->Path() + item->FileName() + ".tsk");
    EXPECT_EQ(item->Path(), Work->Path() + item->FileName() + ".tsk");
}

TEST_F(TaskItemTest, ClassIdentityNotEqualNames) {
    // Another object with the same ID and title is still another class.
    auto twin = std::make_shared<TOtTaskClass>(Home->ID(), Home->Title());
    auto item = std::make_shared<TOtTaskItem>("Buy milk", Home);
    item->SetTaskClass(twin);
    EXPECT_TRUE(item->IsTaskClassChange());
    EXPECT_EQ(item->OldPath(), item->Path());
}

TEST_F(TaskItemTest, ItemOutlivesItsClassWithoutDangling) {
    auto cls = std::make_shared<TOtTaskClass>("1AB", "Gone");
    auto item = std::make_shared<TOtTaskItem>("x", cls);
    cls->TaskList().push_back(item);
    cls.reset();
    EXPECT_EQ(item->TaskClass(), nullptr);
    EXPECT_FALSE(item->IsTaskClassChange());
    EXPECT_EQ(item->Path(), item->FileName() + ".tsk");
}

TEST_F(TaskItemTest, EmptyIdGivesEmptyNames) {
    auto item = std::make_shared<TOtTaskItem>("x", Home);
    item->SetID("");
    EXPECT_EQ(item->FileName(), "");
    EXPECT_EQ(item->Path(), "");
    EXPECT_NE(item->OldPath(), ""); // the snapshot still has the ID
    item->ResetDirty();
    EXPECT_EQ(item->OldPath(), "");
    EXPECT_EQ(item->KuaipanPath(), "/1214608325K7#Home/.tsk");
}

TEST_F(TaskItemTest, NestedItemsCarryTheirAncestorsParentFirst) {
    auto root = std::make_shared<TOtTaskItem>("root", Home);
    root->SetID("R1");
    auto parent = std::make_shared<TOtTaskItem>("parent", Home, root);
    parent->SetID("P1");
    auto child = std::make_shared<TOtTaskItem>("child", Home, parent);
    child->SetID("C1");
    EXPECT_EQ(child->FileName().substr(0, child->FileName().find('#')), "P1_R1_C1");
    EXPECT_EQ(TOtTaskUtility::ParseTaskItem(Home, child->FileName() + ".tsk")->Level(), 3);

    // A parent chain that loops must not hang the name builder.
    root->SetParent(child);
    EXPECT_EQ(child->FileName().substr(0, child->FileName().find('#')), "P1_R1_C1");
}

TEST_F(TaskItemTest, ToStringListsTheFieldsWithCrLf) {
    auto item = std::make_shared<TOtTaskItem>(
        "Buy milk", "note", tsCompleted, EncodeDate(2016, 3, 7), EncodeTime(9, 15), Home, nullptr);
    item->SetID("1214608325K7");
    const std::string expected = "ID=1214608325K7\r\n"
                                 "Title=Buy milk\r\n"
                                 "Remarks=note\r\n"
                                 "Status=Completed\r\n"
                                 "ExpirationDate=2016-03-07\r\n"
                                 "AlertTime=1899-12-30 09:15:00\r\n"
                                 "CreateDateTime=2016-03-05 14:30:10\r\n"
                                 "FinishDateTime=1899-12-30\r\n"
                                 "Path=" +
                                 item->Path() +
                                 "\r\n"
                                 "TaskClass=1214608325K7#Home/\r\n";
    EXPECT_EQ(item->ToString(), expected);
}
