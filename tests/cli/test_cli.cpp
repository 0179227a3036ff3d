// Tests of ottodo from the outside: each runs whole command lines against a
// temporary program directory and looks at the output, the exit status, the
// task files and the queue rows they leave. Most run through the program's
// entry point in this process under a fixed clock; a few start the built
// executable to show that it behaves the same.

#include "app/OtSettingFile.h"
#include "cli/CliArgs.h"
#include "cli/CliFormat.h"
#include "cli/CliTestSupport.h"
#include "cli/CliValues.h"
#include "common/Clock.h"
#include "common/Random.h"
#include "common/Version.h"
#include "syncqueue/OtSyncQueueDBModel.h"
#include "syncqueue/SQLiteDB.h"
#include "tasks/OtTask.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <set>

namespace ot::clitest {
namespace {

using Json = nlohmann::json;
namespace fs = std::filesystem;

// The test clock: items are created at 201603051430, IDs start 1214608325.
TDateTime TestNow() {
    return EncodeDateTime(2016, 3, 5, 14, 30, 10);
}

// The one entry of the tree whose name matches pattern.
std::string Only(const std::map<std::string, std::string>& tree, const std::string& pattern) {
    std::regex re(pattern);
    std::vector<std::string> found;
    for (const auto& [name, content] : tree)
        if (std::regex_match(name, re))
            found.push_back(name);
    if (found.size() != 1) {
        std::string all;
        for (const auto& [name, content] : tree)
            all += "\n  " + name;
        ADD_FAILURE() << found.size() << " entries match " << pattern << " in:" << all;
        return {};
    }
    return found.front();
}

std::string Dir(const std::string& treeEntry) {
    return treeEntry.substr(0, treeEntry.size() - 1);
}

class CliTest : public ::testing::Test {
protected:
    ScopedClock clock{std::make_shared<FixedClock>(TestNow())};
    TProgramDir dir;

    // The directory of the one list of a fresh tree.
    std::string FirstListDir() { return Dir(Only(dir.Tree(), "[^/]*/")); }
};

TEST_F(CliTest, FirstAddCreatesTheDefaultListAndRecordsListAndItem) {
    std::string id = dir.RunOk({"add", "--priority", "7", "--due", "2016-03-07", "--alert", "09:15",
                                "--remarks", "a<b & c", "Buy milk"});
    ASSERT_TRUE(std::regex_match(id, std::regex("1214608325[A-Z][0-9A-Z]"))) << id;

    auto tree = dir.Tree();
    ASSERT_EQ(tree.size(), 2u);
    std::string listDir = Dir(Only(tree, "1214608325[A-Z][0-9A-Z]#Default\\[SP\\]List/"));
    std::string listId = listDir.substr(0, 12);
    std::string name = id + "#0#Buy[SP]milk#7#201603051430#20160307#0915#";
    ASSERT_EQ(tree.count(listDir + "/" + name + ".tsk"), 1u);
    EXPECT_EQ(tree[listDir + "/" + name + ".tsk"],
              "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<TaskItem>\r\n"
              "  <Remarks>a&lt;b &amp; c</Remarks>\r\n</TaskItem>\r\n");

    auto rows = dir.Rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[listId].TaskItemPath(), listDir);
    EXPECT_EQ(rows[listId].TaskClassPath(), "");
    EXPECT_EQ(rows[id].TaskItemPath(), name);
    EXPECT_EQ(rows[id].TaskClassPath(), listDir);
    EXPECT_EQ(rows[id].KuaipanFileID(), "");
    EXPECT_EQ(rows[id].SyncType(), 0);
    EXPECT_EQ(rows[id].IsDelete(), 0);
}

TEST_F(CliTest, ReadCommandsOnAnEmptyTreeCreateNothing) {
    EXPECT_EQ(dir.RunOk({"lists"}), "ID  ITEMS  TITLE");
    EXPECT_EQ(dir.RunOk({"list"}), "");
    EXPECT_EQ(dir.RunOk({"lists", "--json"}), "[]");
    EXPECT_TRUE(dir.Rows().empty());
    EXPECT_TRUE(dir.Tree().empty());
}

TEST_F(CliTest, ANewListNeverTakesAnIdThatAnotherProcessAlreadyRecorded) {
    // Another process drew an ID in the same two seconds and recorded it.
    // Replay that draw: the same seed and packed time give the same ID, and
    // a draw at another time makes this process forget it drew it.
    SeedRandom(7);
    const std::string taken = NewTaskIDAt(TestNow());
    NewTaskIDAt(TestNow() + 1);
    {
        TOtSyncQueueDBUtility db(dir.Database());
        ASSERT_TRUE(db.ExeSQL("insert into [SyncQueue] ([TaskItemID], [TaskItemPath], "
                              "[TaskClassPath]) values ('" +
                              taken + "', 'a', 'b')"));
    }
    SeedRandom(7);
    const std::string list = dir.RunOk({"addlist", "Work"});
    auto rows = dir.Rows();
    EXPECT_EQ(rows.size(), 3u); // the other process's row, the default list, Work
    EXPECT_EQ(rows.at(taken).TaskItemPath(), "a");
    for (const auto& [id, row] : rows)
        EXPECT_EQ(id == taken, row.TaskItemPath() == "a") << id;
    EXPECT_TRUE(rows.count(list));
}

TEST_F(CliTest, AddListBeforeAnyOtherChangeAlsoCreatesTheDefaultList) {
    std::string work = dir.RunOk({"addlist", "Home", "&", "work"});
    auto lists = Json::parse(dir.RunOk({"lists", "--json"}));
    ASSERT_EQ(lists.size(), 2u);
    std::set<std::string> titles = {lists[0]["title"], lists[1]["title"]};
    EXPECT_EQ(titles, (std::set<std::string>{"Default List", "Home & work"}));
    EXPECT_EQ(dir.Tree().count(work + "#Home[SP]&[SP]work/"), 1u);
    EXPECT_EQ(dir.Rows().size(), 2u);
}

TEST_F(CliTest, ListShowsItemsInPageOrderWithTheirValues) {
    dir.RunOk({"addlist", "Work"});
    std::string low = dir.RunOk({"add", "--list", "Work", "--priority", "3", "low"});
    std::string high = dir.RunOk({"add", "--list", "Work", "--priority", "9", "high"});
    std::string mid = dir.RunOk({"add", "--list", "Work", "--due", "2030-01-02", "mid"});
    dir.RunOk({"done", high});

    auto list = Json::parse(dir.RunOk({"list", "Work", "--json"}));
    EXPECT_EQ(list["title"], "Work");
    EXPECT_EQ(list["count"], 3);
    ASSERT_EQ(list["items"].size(), 3u);
    EXPECT_EQ(list["items"][0]["id"], high);
    EXPECT_EQ(list["items"][1]["id"], mid);
    EXPECT_EQ(list["items"][2]["id"], low);
    EXPECT_EQ(list["items"][0]["status"], "Completed");
    EXPECT_EQ(list["items"][1]["priority"], 5);
    EXPECT_EQ(list["items"][1]["due"], "2030-01-02");
    EXPECT_TRUE(list["items"][1]["alert"].is_null());

    std::string text = dir.RunOk({"list", "Work"});
    std::regex row(high + " +done +9 +- +- +high\n" + mid + " +open +5 +2030-01-02 +- +mid\n" +
                   low + " +open +3 +- +- +low");
    EXPECT_TRUE(std::regex_search(text, row)) << text;
}

TEST_F(CliTest, DoneStampsAndUndoneClearsTheFinishTime) {
    std::string id = dir.RunOk({"add", "task"});
    std::string listDir = FirstListDir();
    {
        ScopedClock atFinish(std::make_shared<FixedClock>(EncodeDateTime(2016, 3, 6, 8, 2, 0)));
        dir.RunOk({"done", id});
    }
    auto item = Json::parse(dir.RunOk({"show", id, "--json"}));
    EXPECT_EQ(item["status"], "Completed");
    EXPECT_EQ(item["finished"], "2016-03-06 08:02");
    std::string done = listDir + "/" + id + "#1#task#5#201603051430###201603060802.tsk";
    EXPECT_EQ(dir.Tree().count(done), 1u);

    dir.RunOk({"done", id}); // already completed: left as it is, not stamped again
    EXPECT_EQ(dir.Tree().count(done), 1u);

    dir.RunOk({"undone", id});
    item = Json::parse(dir.RunOk({"show", id, "--json"}));
    EXPECT_EQ(item["status"], "NotCompleted");
    EXPECT_TRUE(item["finished"].is_null());
    EXPECT_EQ(dir.Tree().count(listDir + "/" + id + "#0#task#5#201603051430###.tsk"), 1u);
}

// The changing commands read only the item they touch, yet what they write
// back keeps everything the file held.
TEST_F(CliTest, ChangesOfOneItemKeepItsRemarks) {
    std::string work = dir.RunOk({"addlist", "Work"});
    std::string id = dir.RunOk({"add", "--remarks", "first\nsecond & <third>", "task"});
    dir.RunOk({"add", "--remarks", "other", "neighbour"});
    dir.RunOk({"done", id});
    dir.RunOk({"edit", id, "--title", "renamed", "--priority", "7"});
    auto item = Json::parse(dir.RunOk({"show", id, "--json"}));
    EXPECT_EQ(item["title"], "renamed");
    EXPECT_EQ(item["remarks"], "first\nsecond & <third>");
    EXPECT_EQ(dir.RunOk({"show", id}).find("second & <third>") != std::string::npos, true);

    std::string moved = dir.RunOk({"edit", id, "--move-to", "Work"});
    item = Json::parse(dir.RunOk({"show", moved, "--json"}));
    EXPECT_EQ(item["listId"], work);
    EXPECT_EQ(item["remarks"], "first\nsecond & <third>");
    EXPECT_EQ(item["status"], "Completed");
}

// The whole tree as JSON: every list with its items, each item with its
// values and file name; the absolute path is left to "show".
TEST_F(CliTest, ListOfTheWholeTreeAsJson) {
    EXPECT_EQ(Json::parse(dir.RunOk({"list", "--json"})), Json::array());
    std::string a = dir.RunOk({"add", "--remarks", "r1", "one"});
    std::string work = dir.RunOk({"addlist", "Work"});
    std::string b = dir.RunOk({"add", "--list", "Work", "two"});
    std::string c = dir.RunOk({"add", "--list", "Work", "--priority", "9", "three"});

    auto all = Json::parse(dir.RunOk({"list", "--json"}));
    ASSERT_EQ(all.size(), 2u);
    const Json& def = all[0]["id"] == work ? all[1] : all[0];
    const Json& w = all[0]["id"] == work ? all[0] : all[1];
    EXPECT_EQ(def["count"], 1);
    ASSERT_EQ(def["items"].size(), 1u);
    EXPECT_EQ(def["items"][0]["id"], a);
    EXPECT_EQ(def["items"][0]["remarks"], "r1");
    EXPECT_EQ(def["items"][0]["fileName"], a + "#0#one#5#201603051430###.tsk");
    EXPECT_FALSE(def["items"][0].contains("path"));
    EXPECT_EQ(w["count"], 2);
    ASSERT_EQ(w["items"].size(), 2u);
    EXPECT_EQ(w["items"][0]["id"], c);
    EXPECT_EQ(w["items"][1]["id"], b);
    EXPECT_EQ(w["items"][1]["listId"], work);
    EXPECT_EQ(w["dirName"], work + "#Work");

    auto one = Json::parse(dir.RunOk({"show", a, "--json"}));
    EXPECT_EQ(one["path"], dir.TaskData() + def["dirName"].get<std::string>() + "/" +
                               def["items"][0]["fileName"].get<std::string>());
}

// An item that already reached the cloud: the queue row remembers the cloud
// name across renames, as it does for changes made in the desktop program.
TEST_F(CliTest, EditOfAnItemInTheCloudRecordsRenameAndContentChange) {
    std::string id = dir.RunOk({"add", "old title"});
    dir.SetCloudFileID(id, "cloud-1");
    std::string listDir = FirstListDir();
    std::string cloudName = id + "#0#old[SP]title#5#201603051430###";

    EXPECT_EQ(dir.RunOk({"edit", id, "--title", "new title", "--priority", "2"}), id);
    std::string newName = id + "#0#new[SP]title#2#201603051430###";
    auto row = dir.Rows()[id];
    EXPECT_EQ(row.TaskItemPath(), newName);
    EXPECT_EQ(row.SyncType(), 1);
    EXPECT_EQ(row.TaskItemPath_Old(), cloudName);
    auto tree = dir.Tree();
    EXPECT_EQ(tree.size(), 2u);
    EXPECT_EQ(tree.count(listDir + "/" + newName + ".tsk"), 1u);

    dir.RunOk({"edit", id, "--remarks", "line 1\nline 2"});
    row = dir.Rows()[id];
    EXPECT_EQ(row.SyncType(), 3);
    EXPECT_EQ(row.TaskItemPath_Old(), cloudName);
    EXPECT_NE(
        dir.Tree()[listDir + "/" + newName + ".tsk"].find("<Remarks>line 1\nline 2</Remarks>"),
        std::string::npos);

    // Removing the due date removes the alert time with it.
    dir.RunOk({"edit", id, "--due", "2030-05-06", "--alert", "18:30"});
    EXPECT_EQ(
        dir.Tree().count(listDir + "/" + id + "#0#new[SP]title#2#201603051430#20300506#1830#.tsk"),
        1u);
    dir.RunOk({"edit", id, "--due", "none"});
    EXPECT_EQ(dir.Tree().count(listDir + "/" + newName + ".tsk"), 1u);
}

TEST_F(CliTest, EditWithoutAnyChangeWritesNothing) {
    std::string id = dir.RunOk({"add", "--priority", "4", "same"});
    auto tree = dir.Tree();
    auto before = dir.Rows()[id].UpdateDateTime();
    EXPECT_EQ(dir.RunOk({"edit", id, "--priority", "4", "--title", "same"}), id);
    EXPECT_EQ(dir.Tree(), tree);
    EXPECT_EQ(dir.Rows()[id].UpdateDateTime(), before);
}

TEST_F(CliTest, MoveGivesANewIdAndRecordsDeletionAndCreation) {
    std::string id = dir.RunOk({"add", "--remarks", "keep me", "wander"});
    std::string work = dir.RunOk({"addlist", "Work"});
    dir.SetCloudFileID(id, "cloud-7");

    std::string moved = dir.RunOk({"edit", id, "--move-to", "Work"});
    EXPECT_NE(moved, id);
    auto tree = dir.Tree();
    EXPECT_EQ(tree.size(), 3u); // two list directories and the moved file
    std::string file = work + "#Work/" + moved + "#0#wander#5#201603051430###.tsk";
    ASSERT_EQ(tree.count(file), 1u);
    EXPECT_NE(tree[file].find("keep me"), std::string::npos);

    auto rows = dir.Rows();
    EXPECT_EQ(rows[id].IsDelete(), 1); // the cloud copy is still to be deleted
    EXPECT_EQ(rows[moved].TaskClassPath(), work + "#Work");
    EXPECT_EQ(rows[moved].KuaipanFileID(), "");

    EXPECT_EQ(dir.Run({"show", id}).ExitCode, 1);
}

TEST_F(CliTest, RemoveItemAndList) {
    std::string kept = dir.RunOk({"add", "local only"});
    std::string synced = dir.RunOk({"add", "in the cloud"});
    dir.SetCloudFileID(synced, "cloud-2");
    dir.RunOk({"rm", kept});
    dir.RunOk({"rm", synced});
    auto rows = dir.Rows();
    EXPECT_EQ(rows.count(kept), 0u);
    EXPECT_EQ(rows[synced].IsDelete(), 1);
    EXPECT_EQ(dir.Tree().size(), 1u); // the list directory alone

    std::string work = dir.RunOk({"addlist", "Work"});
    std::string item = dir.RunOk({"add", "--list", work, "x"});
    dir.RunOk({"rmlist", "Work"});
    rows = dir.Rows();
    EXPECT_EQ(rows.count(work), 0u);
    EXPECT_EQ(rows.count(item), 0u);
    EXPECT_EQ(dir.Tree().count(work + "#Work/"), 0u);
}

// A list title of several words names the list wherever a list is named,
// as addlist made it.
TEST_F(CliTest, ListTitlesOfSeveralWordsNameTheListEverywhere) {
    const std::string shopping = dir.RunOk({"addlist", "Shopping", "list"});
    const std::string other = dir.RunOk({"addlist", "Other", "things"});
    const std::string milk = dir.RunOk({"add", "--list", "Shopping list", "milk"});
    EXPECT_EQ(dir.Rows()[milk].TaskClassPath(), shopping + "#Shopping[SP]list");
    const std::string moved = dir.RunOk({"edit", milk, "--move-to", "Other things"});
    EXPECT_EQ(dir.Rows()[moved].TaskClassPath(), other + "#Other[SP]things");
    EXPECT_NE(dir.RunOk({"list", "Other", "things"}).find(moved), std::string::npos);
    dir.RunOk({"rmlist", "Shopping", "list"});
    EXPECT_EQ(dir.Tree().count(shopping + "#Shopping[SP]list/"), 0u);
    EXPECT_EQ(dir.Rows().count(shopping), 0u);
}

// A list directory copied by hand under another title holds the same ID:
// naming the list by that ID is refused with both real directories, and
// nothing changes.
TEST_F(CliTest, AListIDHeldByTwoDirectoriesIsReportedWithBothDirectories) {
    const std::string work = dir.RunOk({"addlist", "Work"});
    fs::create_directory(dir.TaskData() + work + "#Work (copy)");
    const auto tree = dir.Tree();
    const auto rows = dir.Rows();
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"rmlist", work}, {"add", "--list", work, "x"}, {"list", work}}) {
        TRunResult r = dir.Run(args);
        EXPECT_EQ(r.ExitCode, 1);
        EXPECT_EQ(r.Err, "ottodo: the task list ID \"" + work +
                             "\" is held by several directories:\n  " + dir.TaskData() + work +
                             "#Work\n  " + dir.TaskData() + work + "#Work (copy)\n");
        EXPECT_EQ(dir.Tree(), tree);
        EXPECT_EQ(dir.Rows().size(), rows.size());
    }
}

TEST_F(CliTest, AddWithoutListUsesThePageTheDesktopShowsFirst) {
    std::string first = dir.RunOk({"addlist", "A"}); // after the default list
    std::ofstream(dir.Path() + "/userdata/1/otTodolistSettings.xml")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<otTodolistSettings>\n<otGeneralSections>\n"
           "<section name=\"DefaultTaskClassIndex\" value=\"1\"/>\n</otGeneralSections>\n"
           "</otTodolistSettings>\n";
    auto lists = Json::parse(dir.RunOk({"lists", "--json"}));
    std::string id = dir.RunOk({"add", "here"});
    EXPECT_EQ(Json::parse(dir.RunOk({"show", id, "--json"}))["listId"], lists[1]["id"]);
}

// Titles are stored without the blanks around them, as by every program.
TEST_F(CliTest, TitleLimitsCountUtf16UnitsAndTrimBlanks) {
    std::string clef = "\xF0\x9D\x84\x9E"; // two UTF-16 code units
    std::string fifty;
    for (int i = 0; i < 50; ++i)
        fifty += clef;
    std::string id = dir.RunOk({"add", fifty});
    EXPECT_EQ(Json::parse(dir.RunOk({"show", id, "--json"}))["title"], fifty);
    auto r = dir.Run({"add", fifty + "x"});
    EXPECT_EQ(r.ExitCode, 2);
    EXPECT_EQ(r.Err, "ottodo: The length of task title cannot be longer than 100!\n");

    id = dir.RunOk({"add", "  padded  "});
    EXPECT_EQ(Json::parse(dir.RunOk({"show", id, "--json"}))["title"], "padded");
    dir.RunOk({"edit", id, "--title", " " + fifty + " "});
    EXPECT_EQ(Json::parse(dir.RunOk({"show", id, "--json"}))["title"], fifty);
    std::string list50(50, 'L');
    EXPECT_EQ(dir.Run({"addlist", list50}).ExitCode, 0);
}

// What the queue holds, row by row, as text.
std::string RowsText(const TProgramDir& dir) {
    std::string out;
    for (const auto& [id, r] : dir.Rows())
        out += id + " " + r.TaskItemPath() + " " + r.TaskClassPath() + " " + r.TaskItemPath_Old() +
               " " + r.KuaipanFileID() + " " + std::to_string(r.SyncType()) + " " +
               std::to_string(r.IsDelete()) + "\n";
    return out;
}

// A change the queue cannot record (a full disk, a read-only or locked
// database) is not made: the command fails with the reason, the files and
// the rows stay as they were, and the same command works once the queue
// does. Before, "edit --title" and "done" answered 0 and renamed the file
// while the row kept the old name, so the next pass took the change back.
TEST_F(CliTest, AChangeTheQueueCannotRecordIsNotMade) {
    const std::string id = dir.RunOk({"add", "call Bob", "--remarks", "notes"});
    const std::string other = dir.RunOk({"add", "other"});
    dir.RunOk({"addlist", "Work"});
    dir.SetCloudFileID(id, "cloud-1");
    dir.SetCloudFileID(other, "cloud-2");
    const std::vector<std::vector<std::string>> commands = {
        {"edit", id, "--title", "call Bob again"},
        {"done", id},
        {"edit", id, "--remarks", "other notes"},
        {"edit", id, "--title", "x", "--remarks", "y"},
        {"edit", id, "--priority", "9"},
        {"edit", id, "--move-to", "Work"},
        {"rm", other},
        {"add", "new"},
        {"addlist", "Home"},
        {"rmlist", "Work"},
    };
    struct Fault {
        const char* name;
        std::function<void()> make, repair;
    };
    const std::vector<Fault> faults = {
        {"no row can be written", // reads still work, as on a read-only file
         [] {
             SetSQLFaultHook([](std::string_view sql) {
                 return sql.starts_with("insert") || sql.starts_with("update") ||
                        sql.starts_with("delete");
             });
         },
         [] { SetSQLFaultHook({}); }},
        {"the disk is full when the change commits",
         [] { SetSQLFaultHook([](std::string_view sql) { return sql == "commit"; }); },
         [] { SetSQLFaultHook({}); }},
    };
    for (const auto& fault : faults) {
        for (const auto& args : commands) {
            std::string cmd;
            for (const auto& a : args)
                cmd += " " + a;
            SCOPED_TRACE(std::string(fault.name) + ": ottodo" + cmd);
            const auto tree = dir.Tree();
            const std::string rows = RowsText(dir);
            fault.make();
            const TRunResult r = dir.Run(args);
            fault.repair();
            EXPECT_EQ(r.ExitCode, 1);
            EXPECT_NE(r.Err.find("could not be recorded in the database \"" + dir.Database()),
                      std::string::npos)
                << r.Err;
            EXPECT_EQ(dir.Tree(), tree);
            EXPECT_EQ(RowsText(dir), rows);
        }
    }
    // Once the queue works, the same commands go through.
    for (const auto& args : commands)
        EXPECT_EQ(dir.Run(args).ExitCode, 0) << args[0];
}

struct BadInput {
    std::vector<std::string> Args;
    int ExitCode;
    std::string Message;
};

// Every refused command line leaves the files and the queue exactly as they were.
TEST_F(CliTest, BadInputIsRefusedWithAMessageAndChangesNothing) {
    std::string id = dir.RunOk({"add", "existing"});
    dir.RunOk({"addlist", "Twin"});
    dir.RunOk({"addlist", "Twin"});
    std::string hundredCJK; // fits the length limit, not a file name
    for (int i = 0; i < 100; ++i)
        hundredCJK += "\xE4\xBB\xBB";
    const std::vector<BadInput> cases = {
        {{"add", hundredCJK}, 2, "Task title is too long to be stored"},
        {{"edit", id, "--title", hundredCJK}, 2, "Task title is too long to be stored"},
        {{"addlist", std::string(50, '(')}, 2, "Task class title is too long to be stored"},
        {{"add", "   "}, 2, "Task title cannot be empty!"},
        {{"add", std::string(101, 'x')}, 2, "The length of task title cannot be longer than 100!"},
        {{"edit", id, "--title", ""}, 2, "Task title cannot be empty!"},
        {{"add", "two\nlines"}, 2, "Task title contains illegal characters!"},
        {{"addlist", "tab\there"}, 2, "Task class title contains illegal characters!"},
        {{"addlist", " "}, 2, "Task class title cannot be empty!"},
        {{"addlist", std::string(51, 'x')},
         2,
         "The length of task class title cannot be longer than 50!"},
        {{"add", "--priority", "10", "x"}, 2, "invalid priority \"10\""},
        {{"add", "--priority", "-1", "x"}, 2, "invalid priority \"-1\""},
        {{"edit", id, "--priority", "high"}, 2, "invalid priority \"high\""},
        {{"add", "--due", "2016-13-01", "x"}, 2, "invalid date \"2016-13-01\""},
        {{"add", "--due", "2016-02-30", "x"}, 2, "invalid date \"2016-02-30\""},
        {{"add", "--due", "7.3.2016", "x"}, 2, "invalid date \"7.3.2016\""},
        {{"add", "--due", "2016-03-07", "--alert", "24:00", "x"},
         2,
         "invalid alert time \"24:00\""},
        {{"add", "--due", "2016-03-07", "--alert", "00:00", "x"},
         2,
         "invalid alert time \"00:00\""},
        {{"add", "--alert", "09:00", "x"}, 2, "an alert time needs a due date"},
        {{"edit", id, "--alert", "09:00"}, 2, "an alert time needs a due date"},
        {{"edit", id}, 2, "nothing to change"},
        {{"done", "NOSUCHID"}, 1, "unknown task item ID \"NOSUCHID\""},
        {{"undone", "NOSUCHID"}, 1, "unknown task item ID \"NOSUCHID\""},
        {{"edit", "NOSUCHID", "--priority", "1"}, 1, "unknown task item ID \"NOSUCHID\""},
        {{"rm", "NOSUCHID"}, 1, "unknown task item ID \"NOSUCHID\""},
        {{"show", "NOSUCHID"}, 1, "unknown task item ID \"NOSUCHID\""},
        {{"list", "Nowhere"}, 1, "unknown task list \"Nowhere\""},
        {{"add", "--list", "Nowhere", "x"}, 1, "unknown task list \"Nowhere\""},
        {{"edit", id, "--move-to", "Nowhere"}, 1, "unknown task list \"Nowhere\""},
        {{"add", "--list", "Twin", "x"}, 1, "the task list title \"Twin\" is ambiguous"},
        {{"rmlist", "Twin"}, 1, "the task list title \"Twin\" is ambiguous"},
        {{"frobnicate"}, 2, "unknown command \"frobnicate\""},
        {{"add", "--colour", "red", "x"}, 2, "unknown option --colour"},
        {{"show", id, "--priority", "3"}, 2, "option --priority does not apply to \"show\""},
        {{"add", "--priority", "3", "--priority", "4", "x"},
         2,
         "option --priority is given more than once"},
        {{"done"}, 2, "\"done\" needs ID"},
        {{"show", id, id}, 2, "too many arguments"},
        {{"add", "x", "--due"}, 2, "option --due needs a value"},
        {{"login", " "}, 2, "Username cannot be empty!"},
        {{"login", "someone"}, 2, "Password cannot be empty!"}, // nothing on standard input
        {{"sync", "--pause", "soon"}, 2, "invalid pause \"soon\""},
        {{"sync"}, 1, "no cloud account is bound"},
    };
    const auto tree = dir.Tree();
    const auto rows = dir.Rows();
    for (const auto& c : cases) {
        std::string cmd;
        for (const auto& a : c.Args)
            cmd += " " + a;
        SCOPED_TRACE("ottodo" + cmd);
        TRunResult r = dir.Run(c.Args);
        EXPECT_EQ(r.ExitCode, c.ExitCode);
        EXPECT_EQ(r.Out, "");
        EXPECT_NE(r.Err.find("ottodo: " + c.Message), std::string::npos) << r.Err;
        EXPECT_EQ(dir.Tree(), tree);
        EXPECT_EQ(dir.Rows().size(), rows.size());
    }
    // The executable answers exactly as the entry point does: one refused
    // command line of each exit status.
    for (int status : {1, 2}) {
        auto c = std::find_if(cases.begin(), cases.end(),
                              [status](const BadInput& b) { return b.ExitCode == status; });
        TRunResult inside = dir.Run(c->Args), outside = dir.Spawn(c->Args);
        EXPECT_EQ(outside.ExitCode, inside.ExitCode);
        EXPECT_EQ(outside.Err, inside.Err);
    }
}

// Dates and times as people type them, counted from the test clock's day
// (Saturday 2016-03-05).
TEST(CliValues, DatesAndTimesAsPeopleTypeThem) {
    const TDateTime today = EncodeDate(2016, 3, 5);
    const struct {
        const char* Text;
        TDateTime Date; // 0: refused
    } dates[] = {
        {"today", today},
        {"Tomorrow", EncodeDate(2016, 3, 6)},
        {"sat", today},
        {"saturday", today},
        {"monday", EncodeDate(2016, 3, 7)},
        {"FRI", EncodeDate(2016, 3, 11)},
        {"sun", EncodeDate(2016, 3, 6)},
        {"+0d", today},
        {"+3d", EncodeDate(2016, 3, 8)},
        {"+2W", EncodeDate(2016, 3, 19)},
        {"2030-03-07", EncodeDate(2030, 3, 7)},
        {"2030-3-7", EncodeDate(2030, 3, 7)},
        {"20300307", EncodeDate(2030, 3, 7)},
        {"1900-01-01", EncodeDate(1900, 1, 1)},
        {"1899-12-31", 0},
        {"2016-13-01", 0},
        {"2016-02-30", 0},
        {"20160230", 0},
        {"7.3.2016", 0},
        {"2030-3-", 0},
        {"2030--7", 0},
        {"2030-003-07", 0},
        {"201603", 0},
        {"+3", 0},
        {"+d", 0},
        {"-3d", 0},
        {"+99999999d", 0},
        {"mond", 0},
        {"next friday", 0},
        {"", 0},
    };
    for (const auto& d : dates) {
        SCOPED_TRACE(d.Text);
        const auto parsed = cli::ParseDueDateFrom(d.Text, today + 0.6);
        if (d.Date == 0) {
            EXPECT_FALSE(parsed);
        } else {
            ASSERT_TRUE(parsed);
            EXPECT_EQ(*parsed, d.Date);
        }
    }
    const struct {
        const char* Text;
        int Hour, Minute; // -1: refused
    } times[] = {
        {"9", 9, 0},       {"9:15", 9, 15},   {"09:15", 9, 15},  {"21:30", 21, 30},
        {"23:59", 23, 59}, {"9am", 9, 0},     {"9pm", 21, 0},    {"9:15PM", 21, 15},
        {"9 pm", 21, 0},   {"12pm", 12, 0},   {"12:30am", 0, 30}, {"12am", -1, 0},
        {"0:00", -1, 0},   {"0", -1, 0},      {"24:00", -1, 0},  {"13pm", -1, 0},
        {"0am", -1, 0},    {"9:5", -1, 0},    {"9:60", -1, 0},   {"nine", -1, 0},
        {":15", -1, 0},    {"am", -1, 0},     {"", -1, 0},       {"123", -1, 0},
    };
    for (const auto& t : times) {
        SCOPED_TRACE(t.Text);
        const auto parsed = cli::ParseAlertTime(t.Text);
        if (t.Hour < 0) {
            EXPECT_FALSE(parsed);
        } else {
            ASSERT_TRUE(parsed);
            EXPECT_EQ(*parsed, EncodeTime(t.Hour, t.Minute));
        }
    }
}

// The start of an ID names its task when no other ID starts so; a start
// that several share is refused with their IDs and titles.
TEST_F(CliTest, AnIdPrefixNamesTheOneTaskItStarts) {
    const std::string a = dir.RunOk({"add", "Buy milk"});
    const std::string b = dir.RunOk({"add", "Call Bob"});
    ASSERT_NE(a, b);
    std::size_t n = 4;
    while (n < a.size() && a.compare(0, n, b, 0, n) == 0)
        ++n;
    const std::string prefix = a.substr(0, n);
    EXPECT_NE(dir.RunOk({"show", prefix}).find("Buy milk"), std::string::npos);
    dir.RunOk({"done", prefix});
    EXPECT_NE(dir.RunOk({"list"}).find("Buy milk"), std::string::npos);

    if (a.compare(0, 4, b, 0, 4) == 0) {
        const TRunResult r = dir.Run({"show", a.substr(0, 4)});
        EXPECT_EQ(r.ExitCode, 1);
        EXPECT_NE(r.Err.find("is ambiguous; it begins 2 IDs:"), std::string::npos) << r.Err;
        EXPECT_NE(r.Err.find(a + "  Buy milk"), std::string::npos) << r.Err;
        EXPECT_NE(r.Err.find(b + "  Call Bob"), std::string::npos) << r.Err;
    }
    const TRunResult shortOne = dir.Run({"rm", a.substr(0, 3)});
    EXPECT_EQ(shortOne.ExitCode, 1);
    EXPECT_NE(shortOne.Err.find("at least its first 4 characters"), std::string::npos)
        << shortOne.Err;
    EXPECT_EQ(dir.Run({"show", a + "X"}).ExitCode, 1) << "a longer text is no prefix";
}

// Find looks through every list's titles and remarks, Latin letters in any
// case and Chinese text as it is, and shows the hits as "list" does.
TEST_F(CliTest, FindLooksThroughTitlesAndRemarksOfEveryList) {
    dir.RunOk({"add", "--remarks", "from the \xE5\x86\x9C\xE8\xB4\xB8 market\nsecond line",
               "Buy MILK"});
    dir.RunOk({"addlist", "Work"});
    dir.RunOk({"add", "--list", "Work", "\xE5\x86\x99\xE6\x8A\xA5\xE5\x91\x8A"});
    dir.RunOk({"add", "--list", "Work", "Call Bob"});
    const struct {
        const char* Text;
        std::vector<std::string> Titles;
    } cases[] = {
        {"milk", {"Buy MILK"}},
        {"Market", {"Buy MILK"}},
        {"\xE5\x86\x9C\xE8\xB4\xB8", {"Buy MILK"}},
        {"\xE6\x8A\xA5\xE5\x91\x8A", {"\xE5\x86\x99\xE6\x8A\xA5\xE5\x91\x8A"}},
        {"b", {"Buy MILK", "Call Bob"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        const Json found = Json::parse(dir.RunOk({"find", "--json", c.Text}));
        std::vector<std::string> titles;
        for (const auto& list : found)
            for (const auto& item : list["items"])
                titles.push_back(item["title"]);
        std::sort(titles.begin(), titles.end()); // the lists come in the order of their IDs
        EXPECT_EQ(titles, c.Titles);
    }
    const std::string text = dir.RunOk({"find", "bob"});
    EXPECT_NE(text.find("Work ["), std::string::npos) << text;
    EXPECT_NE(text.find("Call Bob"), std::string::npos) << text;
    EXPECT_EQ(text.find("Buy MILK"), std::string::npos) << text;
    const TRunResult none = dir.Run({"find", "nothing like it"});
    EXPECT_EQ(none.ExitCode, 1);
    EXPECT_EQ(none.Out, "");
    EXPECT_EQ(dir.Run({"find", "--json", "nothing like it"}).Out, "[]\n");
}

// A deleted task, alone or with its list, is kept and comes back as a new
// task with its values and remarks, recorded as a new change; what is older
// than 30 days is gone.
TEST_F(CliTest, DeletedTasksComeBackFromTheTrash) {
    const std::string milk =
        dir.RunOk({"add", "--priority", "7", "--due", "2016-03-07", "--remarks", "two\nlines",
                   "Buy milk"});
    dir.RunOk({"addlist", "Work"});
    const std::string report = dir.RunOk({"add", "--list", "Work", "Write report"});
    EXPECT_EQ(dir.RunOk({"trash"}), "No task was deleted in the last 30 days.");

    dir.RunOk({"rm", milk});
    dir.RunOk({"rmlist", "Work"});
    Json kept = Json::parse(dir.RunOk({"trash", "--json"}));
    ASSERT_EQ(kept.size(), 2u);
    std::set<std::string> ids;
    for (const auto& t : kept)
        ids.insert(t["id"].get<std::string>());
    EXPECT_EQ(ids, (std::set<std::string>{milk, report}));
    for (const auto& [name, content] : dir.Tree())
        EXPECT_EQ(name.find("Write"), std::string::npos) << "gone from the tree: " << name;

    std::size_t n = 4; // the shortest start of the ID that the other one lacks
    while (n < milk.size() && milk.compare(0, n, report, 0, n) == 0)
        ++n;
    const std::string back = dir.RunOk({"restore", milk.substr(0, n)});
    EXPECT_NE(back, milk);
    const Json shown = Json::parse(dir.RunOk({"show", "--json", back}));
    EXPECT_EQ(shown["title"], "Buy milk");
    EXPECT_EQ(shown["priority"], 7);
    EXPECT_EQ(shown["remarks"], "two\nlines");
    const auto row = TOtSyncQueueDBUtility(dir.Database()).GetSyncQueueItem(back);
    ASSERT_TRUE(row);
    EXPECT_TRUE(row->KuaipanFileID().empty()) << "a new change, uploaded at the next pass";

    // Its list was deleted too: it is made anew under the same title.
    dir.RunOk({"restore", report});
    EXPECT_NE(dir.RunOk({"list", "Work"}).find("Write report"), std::string::npos);
    EXPECT_EQ(Json::parse(dir.RunOk({"trash", "--json"})).size(), 0u);
    EXPECT_EQ(dir.Run({"restore", report}).ExitCode, 1) << "taken back once only";

    // Kept 30 days, not longer.
    dir.RunOk({"rm", back});
    const fs::path trash = fs::path(dir.Path()) / "userdata/1/trash";
    std::vector<fs::path> entries{fs::directory_iterator(trash), fs::directory_iterator()};
    ASSERT_EQ(entries.size(), 1u);
    fs::rename(entries[0], trash / "20160204143011000");
    EXPECT_EQ(Json::parse(dir.RunOk({"trash", "--json"})).size(), 1u) << "a second short of 30 days";
    fs::rename(trash / "20160204143011000", trash / "20160204143009000");
    EXPECT_EQ(Json::parse(dir.RunOk({"trash", "--json"})).size(), 0u);
    EXPECT_TRUE(fs::is_empty(trash));
}

// What a user sees of every task, without IDs: list, title, status,
// priority, due date, alert time, creation minute and remarks, sorted.
std::vector<std::string> Tasks(const TProgramDir& d) {
    std::vector<std::string> out;
    for (const auto& list : Json::parse(d.RunOk({"list", "--json"})))
        for (const auto& t : list["items"])
            out.push_back(list["title"].get<std::string>() + " / " + t["title"].get<std::string>() +
                          " / " + t["status"].get<std::string>() + " p" +
                          std::to_string(t["priority"].get<int>()) + " due " +
                          t["due"].dump() + " alert " + t["alert"].dump() + " created " +
                          t["created"].dump() + " | " + t["remarks"].get<std::string>());
    std::sort(out.begin(), out.end());
    return out;
}

// Every format carries every task there and back: an export imported into
// an empty tree gives the same tasks (Chinese titles, remarks over several
// lines, due and alert times, completed ones); a second import adds nothing.
TEST_F(CliTest, ExportsComeBackWhole) {
    dir.RunOk({"add", "--priority", "8", "--due", "2016-03-07", "--alert", "9:15", "--remarks",
               "first line\nsecond 100% line\n\xE4\xB8\x89", "Buy \xE7\x89\x9B\xE5\xA5\xB6"});
    dir.RunOk({"addlist", "Work stuff"});
    dir.RunOk({"add", "--list", "Work stuff", "--priority", "0", "Call Bob +home due:soon"});
    const std::string done = dir.RunOk({"add", "--list", "Work stuff", "Old thing"});
    dir.RunOk({"done", done});
    const auto before = Tasks(dir);
    ASSERT_EQ(before.size(), 3u);
    for (const char* format : {"json", "ics", "todotxt"}) {
        SCOPED_TRACE(format);
        const std::string file = dir.Path() + "/export." + format;
        {
            std::ofstream out(file, std::ios::binary);
            out << dir.RunOk({"export", "--format", format}) << "\n";
        }
        TProgramDir other;
        const std::string report = other.RunOk({"import", file});
        EXPECT_NE(report.find("imported 3 into 2 list(s), skipped 0."), std::string::npos)
            << report;
        EXPECT_EQ(Tasks(other), before);
        const std::string again = other.RunOk({"import", file});
        EXPECT_NE(again.find("imported 0 into 0 list(s), skipped 3:"), std::string::npos) << again;
        EXPECT_EQ(Tasks(other), before);
    }
    EXPECT_EQ(dir.Run({"export", "--format", "csv"}).ExitCode, 2);
}

// Taskwarrior's own export (made with Debian's taskwarrior 2.6.2):
// projects become lists, annotations remarks, H/M/L priorities 8/6/3, a due
// time the alert time; a deleted task is passed over with its reason.
TEST_F(CliTest, TaskwarriorsExportIsImported) {
    const std::string report =
        dir.RunOk({"import", std::string(OT_FIXTURES_DIR) + "/taskwarrior-export.json"});
    EXPECT_NE(report.find("Read 5 task(s) as Taskwarrior JSON: imported 4 into 3 list(s), "
                          "skipped 1:\n  Removed one: deleted in Taskwarrior"),
              std::string::npos)
        << report;
    std::vector<std::string> brief;
    for (const auto& list : Json::parse(dir.RunOk({"list", "--json"})))
        for (const auto& t : list["items"])
            brief.push_back(list["title"].get<std::string>() + "/" + t["title"].get<std::string>() +
                            " " + t["status"].get<std::string>() + " p" +
                            std::to_string(t["priority"].get<int>()) + " " + t["due"].dump() +
                            " " + t["alert"].dump() + " " + t["remarks"].get<std::string>());
    std::sort(brief.begin(), brief.end());
    // The machine's zone turns the UTC due time into a local one: its day
    // is checked to the decade.
    ASSERT_EQ(brief.size(), 4u);
    EXPECT_EQ(brief[0], "Default List/Call Bob NotCompleted p3 null null ");
    EXPECT_EQ(brief[1].substr(0, 40), "Home/Buy milk NotCompleted p8 \"2030-03-0") << brief[1];
    EXPECT_NE(brief[1].find("\" ask about the trip\nsecond note"), std::string::npos) << brief[1];
    EXPECT_EQ(brief[2], "Home/Old thing Completed p5 null null ");
    EXPECT_EQ(brief[3], "Work/\xE5\x86\x99\xE6\x8A\xA5\xE5\x91\x8A NotCompleted p6 null null ");
    EXPECT_NE(dir.RunOk({"import", std::string(OT_FIXTURES_DIR) + "/taskwarrior-export.json"})
                  .find("imported 0"),
              std::string::npos);
}

// Files written by other programs: todo.txt lines and an iCalendar to-do
// list with its own priorities, zones and an event among the to-dos.
TEST_F(CliTest, OtherProgramsFilesAreImported) {
    const struct {
        const char* Name;
        const char* Text;
        std::vector<std::string> Tasks; // "list/title status priority due alert"
        std::size_t Skipped;
    } cases[] = {
        {"todo.txt",
         "(A) 2024-01-02 Call mom +Family @phone due:2024-01-05\n"
         "x 2024-01-03 2024-01-01 Pay rent +Home\n"
         "\n"
         "Plain line without anything\n",
         {"Default List/Plain line without anything NotCompleted p5 null null",
          "Family/Call mom @phone NotCompleted p9 \"2024-01-05\" null",
          "Home/Pay rent Completed p5 null null"},
         0},
        {"todo.ics",
         "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Other//App//EN\r\n"
         "BEGIN:VTODO\r\nUID:a@other\r\nDTSTAMP:20240101T000000Z\r\nSUMMARY:Urgent report\r\n"
         "PRIORITY:1\r\nCATEGORIES:Office\r\nDUE;VALUE=DATE:20240110\r\n"
         "DESCRIPTION:line one\\nline two\r\nEND:VTODO\r\n"
         "BEGIN:VTODO\r\nUID:b@other\r\nDTSTAMP:20240101T000000Z\r\nSUMMARY:Cancelled one\r\n"
         "STATUS:CANCELLED\r\nEND:VTODO\r\n"
         "BEGIN:VTODO\r\nUID:c@other\r\nDTSTAMP:20240101T000000Z\r\nSUMMARY:Finished\r\n"
         "STATUS:COMPLETED\r\nPRIORITY:9\r\nEND:VTODO\r\n"
         "BEGIN:VEVENT\r\nUID:d@other\r\nDTSTAMP:20240101T000000Z\r\nSUMMARY:A meeting\r\n"
         "DTSTART:20240105T100000Z\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n",
         {"Default List/Finished Completed p1 null null",
          "Office/Urgent report NotCompleted p9 \"2024-01-10\" null"},
         2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TProgramDir target;
        const std::string file = target.Path() + "/" + c.Name;
        {
            std::ofstream out(file, std::ios::binary);
            out << c.Text;
        }
        const std::string report = target.RunOk({"import", file});
        EXPECT_NE(report.find("skipped " + std::to_string(c.Skipped)), std::string::npos)
            << report;
        std::vector<std::string> got;
        for (const auto& list : Json::parse(target.RunOk({"list", "--json"})))
            for (const auto& t : list["items"])
                got.push_back(list["title"].get<std::string>() + "/" +
                              t["title"].get<std::string>() + " " + t["status"].get<std::string>() +
                              " p" + std::to_string(t["priority"].get<int>()) + " " +
                              t["due"].dump() + " " + t["alert"].dump());
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, c.Tasks);
    }
    TProgramDir target;
    const std::string junk = target.Path() + "/junk.json";
    {
        std::ofstream out(junk);
        out << "{\"format\": \"something else\"}";
    }
    EXPECT_EQ(target.Run({"import", junk}).ExitCode, 1);
    EXPECT_EQ(target.Run({"import", target.Path() + "/missing.txt"}).ExitCode, 1);
}

TEST(CliDatabase, MissingOrBrokenDatabaseStopsBeforeAnythingIsWritten) {
    {
        TProgramDir dir(false);
        TRunResult r = dir.Spawn({"add", "x"});
        EXPECT_EQ(r.ExitCode, 1);
        EXPECT_EQ(r.Err, "ottodo: The database file \"" + dir.Database() +
                             "\" is missing, the program will be terminated!\n");
        EXPECT_FALSE(fs::exists(dir.TaskData()));
    }
    for (const std::string& content : {std::string("this is not a database"), std::string()}) {
        TProgramDir dir(false);
        fs::create_directories(dir.Path() + "/userdata/1");
        std::ofstream(dir.Database()) << content; // garbage, or an empty SQLite file without table
        TRunResult r = dir.Spawn({"add", "x"});
        EXPECT_EQ(r.ExitCode, 1);
        EXPECT_NE(r.Err.find("ottodo: The database file \"" + dir.Database() + "\" cannot be used"),
                  std::string::npos)
            << r.Err;
        EXPECT_FALSE(fs::exists(dir.TaskData()));
    }
}

TEST_F(CliTest, CheckAddsRowsForHandCopiedFiles) {
    std::string id = dir.RunOk({"add", "x"});
    std::string listDir = FirstListDir();
    std::string copied = "1214600000K7#0#Buy[SP]milk#5#201603051430###";
    fs::copy_file(dir.TaskData() + dir.Rows()[id].TaskClassPath() + "/" +
                      dir.Rows()[id].TaskItemPath() + ".tsk",
                  dir.TaskData() + listDir + "/" + copied + ".tsk");
    EXPECT_EQ(dir.RunOk({"check"}),
              "Add task item \"" + listDir + "\\" + copied + "\" to \"SyncQueue\".");
    EXPECT_EQ(dir.Rows()["1214600000K7"].TaskItemPath(), copied);
    EXPECT_EQ(dir.RunOk({"check", "--json"}), "[]");
}

// A task file whose name this program would write otherwise: a duplicate
// names both real files, and once the copy is gone the task can be edited and
// removed, leaving one file and then none.
TEST_F(CliTest, ItemsUnderHandMadeNamesCanBeEditedAndRemoved) {
    std::string id = dir.RunOk({"add", "x"});
    std::string listDir = FirstListDir();
    const std::string real = dir.Rows()[id].TaskItemPath();
    const std::string word = id + "#NotCompleted#x#5#201603051430";
    fs::copy_file(dir.TaskData() + listDir + "/" + real + ".tsk",
                  dir.TaskData() + listDir + "/" + word + ".tsk");
    TRunResult r = dir.Run({"show", id});
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_NE(r.Err.find("\n  " + dir.TaskData() + listDir + "/" + word + ".tsk"),
              std::string::npos)
        << r.Err;
    EXPECT_NE(r.Err.find("\n  " + dir.TaskData() + listDir + "/" + real + ".tsk"),
              std::string::npos)
        << r.Err;

    fs::remove(dir.TaskData() + listDir + "/" + real + ".tsk");
    // the row of the removed name goes, then the real name gets one
    dir.RunOk({"check"});
    dir.RunOk({"check"});
    EXPECT_EQ(dir.Rows()[id].TaskItemPath(), word);
    EXPECT_EQ(dir.RunOk({"check"}), "");
    dir.RunOk({"edit", id, "--title", "y", "--remarks", "r"});
    const auto tree = dir.Tree();
    EXPECT_EQ(tree.count(listDir + "/" + id + "#0#y#5#201603051430###.tsk"), 1u);
    EXPECT_EQ(tree.size(), 2u) << "the list and one file";
    EXPECT_EQ(dir.RunOk({"check"}), "");
    dir.RunOk({"rm", id});
    EXPECT_EQ(dir.Tree().size(), 1u);
}

// List directories whose names differ from the name their values build
// (blanks, underscores, quotes left unescaped): once the check has recorded
// them, tasks are added, renamed and moved in and out where the directory
// lies, the check stays settled, and the list goes with its directory.
TEST_F(CliTest, ListsUnderHandMadeNamesTakeEveryChange) {
    const std::string other = dir.RunOk({"addlist", "Other"});
    int n = 0;
    for (const std::string title : {"My list", "to_do", "Tom's (old)"}) {
        SCOPED_TRACE(title);
        const std::string id = "100000000" + std::to_string(++n) + "LA";
        const std::string handMade = id + "#" + title;
        ASSERT_TRUE(fs::create_directory(dir.TaskData() + handMade));
        dir.RunOk({"check"});
        const std::string added = dir.RunOk({"add", "--list", id, "Added"});
        dir.RunOk({"edit", added, "--title", "Renamed"});
        const std::string guest = dir.RunOk({"add", "--list", other, "Guest"});
        const std::string movedIn = dir.RunOk({"edit", guest, "--move-to", id});
        const std::string leaving = dir.RunOk({"add", "--list", id, "Leaving"});
        const std::string movedOut = dir.RunOk({"edit", leaving, "--move-to", other});
        EXPECT_EQ(dir.RunOk({"check"}), "");

        std::vector<std::string> inList, elsewhere;
        for (const auto& [path, content] : dir.Tree()) {
            if (path == handMade + "/")
                continue;
            if (path.starts_with(handMade + "/"))
                inList.push_back(path.substr(handMade.size() + 1, 12));
            else if (path.starts_with(id))
                elsewhere.push_back(path);
        }
        std::vector<std::string> expected = {added, movedIn};
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(inList, expected);
        EXPECT_TRUE(elsewhere.empty()) << elsewhere.front();
        EXPECT_NE(dir.RunOk({"list", other}).find(movedOut), std::string::npos);

        dir.RunOk({"rmlist", id});
        EXPECT_FALSE(fs::exists(dir.TaskData() + handMade));
        EXPECT_EQ(dir.Rows().count(id), 0u);
        EXPECT_EQ(dir.RunOk({"check"}), "");
    }
}

TEST_F(CliTest, LogoutRemovesTokenAndAccountName) {
    std::string auth = dir.Path() + "/userdata/1/MyAuth.adb";
    std::ofstream(auth) << "key\r\nsecret\r\n";
    TOtSettingFile settings(dir.Path() + "/userdata/1/otTodolistSettings.xml");
    settings.WriteString("KuaipanAccount", "someone");
    dir.RunOk({"logout"});
    EXPECT_FALSE(fs::exists(auth));
    EXPECT_EQ(settings.ReadString("KuaipanAccount", "unset"), "");
    EXPECT_EQ(dir.Run({"logout"}).ExitCode, 0); // nothing bound: nothing to do
}

// The help describes every command and, for each command, every option the
// parser accepts for it.
TEST(CliHelp, HelpNamesEveryCommandAndOption) {
    TProgramDir dir(false); // help needs no database
    TRunResult top = dir.Spawn({"--help"});
    EXPECT_EQ(top.ExitCode, 0);
    for (const auto& c : cli::Commands()) {
        EXPECT_NE(top.Out.find("\n  " + c.Name), std::string::npos) << c.Name;
        TRunResult r = dir.Run({c.Name, "--help"});
        EXPECT_EQ(r.ExitCode, 0) << c.Name;
        EXPECT_NE(r.Out.find("Usage: ottodo " + c.Name), std::string::npos) << r.Out;
        for (const auto& o : c.Options)
            EXPECT_NE(r.Out.find("--" + o.Name), std::string::npos) << c.Name << " --" << o.Name;
        EXPECT_NE(r.Out.find("--dir PROGRAM_DIRECTORY"), std::string::npos) << c.Name;
    }
    EXPECT_EQ(dir.Run({"help", "add"}).Out, dir.Run({"add", "--help"}).Out);
    TRunResult none = RunProcess(OttodoPath(), {});
    EXPECT_EQ(none.ExitCode, 2);
    EXPECT_EQ(none.Err, top.Out);
}

// --version names the data a command would use; --dir is a portable layout
// wherever it points. With a command it is a wrong command line.
TEST(CliHelp, VersionNamesTheModeAndTheDataRoot) {
    TProgramDir dir(false);
    TRunResult r = dir.Spawn({"--version"});
    EXPECT_EQ(r.ExitCode, 0);
    EXPECT_EQ(r.Out, std::string("ottodo ") + ProgramVersion() + "\ndata: portable, " + dir.Path() +
                         "/\n");
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path())) << "--version writes nothing";
    EXPECT_EQ(dir.Run({"list", "--version"}).ExitCode, 2);
    // The built program beside its userdata/ is portable too.
    TRunResult built = RunProcess(OttodoPath(), {"--version"});
    EXPECT_NE(built.Out.find("data: portable, "), std::string::npos) << built.Out;
}

} // namespace
} // namespace ot::clitest

namespace ot::clitest {
namespace {

// List items are written as JSON text directly: whatever a title or remarks
// hold, the text parses back to it, with bytes that are not UTF-8 replaced.
TEST(CliJson, StringsParseBackWithInvalidBytesReplaced) {
    const std::string fffd = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "plain"},
        {"quote \" backslash \\ slash /", "quote \" backslash \\ slash /"},
        {"tab\tCR\rLF\nBS\bFF\f", "tab\tCR\rLF\nBS\bFF\f"},
        {std::string("nul\0one\x01\x1f", 9), std::string("nul\0one\x01\x1f", 9)},
        {"\xE4\xBB\xBB\xE5\x8A\xA1 \xF0\x9D\x84\x9E \xC3\xA9",
         "\xE4\xBB\xBB\xE5\x8A\xA1 \xF0\x9D\x84\x9E \xC3\xA9"},
        {"bad \xFF end", "bad " + fffd + " end"},
        {"cut \xE4\xBB", "cut " + fffd + fffd},
        {"overlong \xC0\xAF", "overlong " + fffd + fffd},
        {"surrogate \xED\xA0\x80", "surrogate " + fffd + fffd + fffd},
        {"beyond \xF4\x90\x80\x80", "beyond " + fffd + fffd + fffd + fffd},
        {"lone \x80 cont", "lone " + fffd + " cont"},
    };
    for (const auto& [in, expected] : cases) {
        std::string text;
        cli::AppendJsonString(text, in);
        Json parsed;
        ASSERT_NO_THROW(parsed = Json::parse(text)) << text;
        EXPECT_EQ(parsed.get<std::string>(), expected) << text;
    }
}

} // namespace
} // namespace ot::clitest
