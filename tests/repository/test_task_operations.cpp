// The one set of task operations: what each does to the tree, the queue and
// the lists; that a change the queue cannot take is not made; and that an
// operation waits for another process's turn on the tree.

#include "common/Clock.h"
#include "common/FileUtil.h"
#include "common/TreeLock.h"
#include "repository/OtTaskOperations.h"
#include "repository/OtTaskUndo.h"
#include "support/QueueTestDir.h"
#include "syncqueue/OtSyncQueueDBModel.h"
#include "syncqueue/SQLiteDB.h"
#include "tasks/OtTaskUtility.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace ot;
namespace fs = std::filesystem;

namespace {

// A program directory with its lists in memory, changed through the operations.
struct TOpsTree {
    // Every file below the task data directory with its content, and every
    // queue row: what a refused operation must leave as it was.
    std::string TreeAndQueue() const {
        std::string out;
        std::map<std::string, std::string> files;
        for (const auto& e : fs::recursive_directory_iterator(Dir.Paths().TaskDataPath)) {
            std::string content;
            if (e.is_regular_file())
                ReadWholeFile(e.path(), content);
            files[fs::relative(e.path(), Dir.Paths().TaskDataPath).string()] = content;
        }
        for (const auto& [name, content] : files)
            out += name + " = " + content + "\n";
        TOtSyncQueueList rows;
        TOtSyncQueueDBUtility(Dir.Paths().DBFileName).ListSyncQueue(rows, "");
        for (const auto& r : rows)
            out += "row " + r.TaskItemID() + " " + r.TaskItemPath() + " " + r.TaskClassPath() +
                   " " + r.TaskItemPath_Old() + " " + std::to_string(r.SyncType()) + " " +
                   std::to_string(r.IsDelete()) + "\n";
        return out;
    }
    // What the lists in memory say.
    std::string Lists() const {
        std::string out;
        for (const auto& c : Classes) {
            out += c->DirName() + ":";
            for (const auto& i : c->TaskList())
                out += " " + i->FileName() + "|" + i->Remarks() + (i->IsDirty() ? "*" : "");
            out += "\n";
        }
        return out;
    }
    TOtTaskClassPtr AddClass(const std::string& title) {
        TOtTaskClassPtr cls;
        EXPECT_TRUE(Ops.AddTaskClass(Classes, title, &cls));
        return cls;
    }
    TOtTaskItemPtr AddItem(const TOtTaskClassPtr& cls, const std::string& title) {
        auto item = Ops.NewTaskItem(cls, title);
        EXPECT_TRUE(Ops.AddTaskItem(item)) << title;
        return item;
    }
    void MarkInCloud(const std::string& id) {
        ASSERT_TRUE(TOtSyncQueueDBUtility(Dir.Paths().DBFileName).SetKuaipanFileID(id, "f" + id));
    }

    test::TQueueTestDir Dir{"ot-ops"};
    TOtTaskOperations Ops{TOtTaskRepository(Dir.Paths())};
    TOtTaskClassList Classes;
    TOtTaskItemPtr Fresh; // drawn, not stored
};

TEST(TaskTitles, OneSetOfChecksForItemsAndClasses) {
    struct Case {
        std::string title;
        std::string item; // the item title's problem, "" when good
        std::string cls;
    };
    const std::string hundred(100, 'x');
    const std::string fifty(50, 'x');
    const std::vector<Case> cases = {
        {"call Bob", "", ""},
        {"  call Bob  ", "", ""}, // blanks around do not count
        {"   ", "Task title cannot be empty!", "Task class title cannot be empty!"},
        {hundred, "", "The length of task class title cannot be longer than 50!"},
        {"  " + hundred + " ", "", "The length of task class title cannot be longer than 50!"},
        {hundred + "x", "The length of task title cannot be longer than 100!",
         "The length of task class title cannot be longer than 50!"},
        {fifty, "", ""},
        {std::string(50, 'a') + "\xe4\xbb\xbb", "", // 51 UTF-16 units
         "The length of task class title cannot be longer than 50!"},
        {"two\nlines", "Task title contains illegal characters!",
         "Task class title contains illegal characters!"},
        {"tab\there", "Task title contains illegal characters!",
         "Task class title contains illegal characters!"},
        {"#/\"'_[SP]", "", ""}, // names escape these
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CheckTaskTitle(c.title).Text(), c.item) << c.title;
        EXPECT_EQ(CheckTaskClassTitle(c.title).Text(), c.cls) << c.title;
    }
}

// New objects take IDs from the unique draw, trimmed titles and the default
// values; completing stamps the finish time once, reopening clears it.
TEST(TaskOperations, NewItemsTheirListPlaceAndTheFinishTime) {
    TOpsTree t;
    auto home = t.AddClass("  Home ");
    EXPECT_EQ(home->Title(), "Home");
    // An ID the queue already holds is never drawn again: the draw is the
    // repository's, which looks at the tree and the queue.
    auto low = t.Ops.NewTaskItem(home, " low ");
    low->SetPriority(1);
    ASSERT_TRUE(t.Ops.AddTaskItem(low));
    auto high = t.Ops.NewTaskItem(home, "high");
    high->SetPriority(9);
    int index = -1;
    ASSERT_TRUE(t.Ops.AddTaskItem(high, &index));
    EXPECT_EQ(index, 0);
    auto mid = t.Ops.NewTaskItem(home, "mid");
    ASSERT_TRUE(t.Ops.AddTaskItem(mid, &index));
    EXPECT_EQ(index, 1);
    EXPECT_EQ(low->Title(), "low");
    EXPECT_EQ(mid->Priority(), 5);
    EXPECT_EQ(mid->Status(), tsNotCompleted);
    EXPECT_NE(low->ID(), mid->ID());
    EXPECT_TRUE(fs::exists(t.Dir.Paths().TaskDataPath + mid->Path()));

    ScopedClock clock(std::make_shared<FixedClock>(EncodeDateTime(2030, 1, 2, 3, 4)));
    ASSERT_TRUE(t.Ops.CompleteTaskItem(mid, true));
    EXPECT_EQ(mid->Status(), tsCompleted);
    EXPECT_EQ(mid->FinishDateTime(), EncodeDateTime(2030, 1, 2, 3, 4));
    {
        ScopedClock later(std::make_shared<FixedClock>(EncodeDateTime(2031, 1, 1, 0, 0)));
        ASSERT_TRUE(t.Ops.CompleteTaskItem(mid, true));
        EXPECT_EQ(mid->FinishDateTime(), EncodeDateTime(2030, 1, 2, 3, 4))
            << "completing a completed task keeps when it was finished";
    }
    ASSERT_TRUE(t.Ops.CompleteTaskItem(mid, false));
    EXPECT_EQ(mid->FinishDateTime(), 0);
    EXPECT_TRUE(fs::exists(t.Dir.Paths().TaskDataPath + mid->Path()));

    // Edits trim the title however it was set, and a move takes the item to
    // the end of the other list under a new ID.
    auto work = t.AddClass("Work");
    const std::string oldID = mid->ID();
    ASSERT_TRUE(t.Ops.EditTaskItem(mid, [&](TOtTaskItem& i) {
        i.SetTitle("x");
        i.SetTitle(" mid, moved ");
        i.SetTaskClass(work);
    }));
    EXPECT_EQ(mid->Title(), "mid, moved");
    EXPECT_NE(mid->ID(), oldID);
    EXPECT_EQ(home->TaskList().size(), 2u);
    ASSERT_EQ(work->TaskList().size(), 1u);
    EXPECT_EQ(work->TaskList()[0], mid);
    EXPECT_TRUE(fs::exists(t.Dir.Paths().TaskDataPath + mid->Path()));

    // Paste: the copied task's values under a new ID, created now.
    const std::string clip = "TaskFilePath:" + t.Dir.Paths().TaskDataPath + high->Path();
    auto pasted = t.Ops.PastedTaskItem(work, clip);
    ASSERT_TRUE(pasted);
    EXPECT_EQ(pasted->Title(), "high");
    EXPECT_EQ(pasted->Priority(), 9);
    EXPECT_NE(pasted->ID(), high->ID());
    EXPECT_EQ(pasted->CreateDateTime(), EncodeDateTime(2030, 1, 2, 3, 4));
    EXPECT_FALSE(pasted->IsDirty());
    EXPECT_FALSE(t.Ops.PastedTaskItem(work, "call Bob"));
    EXPECT_FALSE(t.Ops.PastedTaskItem(work, "TaskFilePath:/no/such/file"));

    ASSERT_TRUE(t.Ops.DeleteTaskItem(low));
    EXPECT_EQ(home->TaskList().size(), 1u);
    EXPECT_FALSE(fs::exists(t.Dir.Paths().TaskDataPath + low->Path()));
    ASSERT_TRUE(t.Ops.DeleteTaskClass(t.Classes, home));
    EXPECT_EQ(t.Classes.size(), 1u);
    EXPECT_FALSE(fs::exists(t.Dir.Paths().TaskDataPath + home->Path()));
}

// A queue that cannot take the change (a full disk, a locked or read-only
// database) refuses the operation: files, queue, the item in memory and the
// lists stay as they were, the message names the database; once the queue
// works again the same operation goes through.
TEST(TaskOperations, AChangeTheQueueCannotTakeIsNotMade) {
    struct Op {
        const char* name;
        std::function<TTaskOpResult(TOpsTree&)> run;
    };
    const std::vector<Op> ops = {
        {"add", [](TOpsTree& t) { return t.Ops.AddTaskItem(t.Fresh); }},
        {"complete",
         [](TOpsTree& t) { return t.Ops.CompleteTaskItem(t.Classes[0]->TaskList()[0], true); }},
        {"title",
         [](TOpsTree& t) {
             return t.Ops.EditTaskItem(t.Classes[0]->TaskList()[0],
                                       [](TOtTaskItem& i) { i.SetTitle("renamed"); });
         }},
        {"remarks",
         [](TOpsTree& t) {
             return t.Ops.EditTaskItem(t.Classes[0]->TaskList()[0],
                                       [](TOtTaskItem& i) { i.SetRemarks("new notes"); });
         }},
        {"title and remarks",
         [](TOpsTree& t) {
             return t.Ops.EditTaskItem(t.Classes[0]->TaskList()[0], [](TOtTaskItem& i) {
                 i.SetTitle("renamed");
                 i.SetRemarks("new notes");
             });
         }},
        {"move",
         [](TOpsTree& t) {
             return t.Ops.EditTaskItem(t.Classes[0]->TaskList()[0],
                                       [&](TOtTaskItem& i) { i.SetTaskClass(t.Classes[1]); });
         }},
        {"delete", [](TOpsTree& t) { return t.Ops.DeleteTaskItem(t.Classes[0]->TaskList()[0]); }},
        {"add list", [](TOpsTree& t) { return t.Ops.AddTaskClass(t.Classes, "Third"); }},
        {"delete list", [](TOpsTree& t) { return t.Ops.DeleteTaskClass(t.Classes, t.Classes[0]); }},
    };
    struct Fault {
        const char* name;
        std::function<std::function<void()>(TOpsTree&)> make; // answers the repair
    };
    const std::vector<Fault> faults = {
        {"every statement fails",
         [](TOpsTree&) {
             SetSQLFaultHook([](std::string_view) { return true; });
             return std::function<void()>([] { SetSQLFaultHook({}); });
         }},
        {"the commit fails",
         [](TOpsTree&) {
             SetSQLFaultHook([](std::string_view sql) { return sql == "commit"; });
             return std::function<void()>([] { SetSQLFaultHook({}); });
         }},
        {"the database cannot make its journal",
         [](TOpsTree& t) {
             const std::string journal = t.Dir.Paths().DBFileName + "-journal";
             fs::create_directory(journal);
             return std::function<void()>([journal] { fs::remove(journal); });
         }},
    };
    for (const auto& fault : faults) {
        for (const auto& op : ops) {
            SCOPED_TRACE(std::string(fault.name) + ": " + op.name);
            TOpsTree t;
            auto home = t.AddClass("Home");
            t.AddClass("Work");
            auto item = t.AddItem(home, "call Bob");
            ASSERT_TRUE(t.Ops.EditTaskItem(item, [](TOtTaskItem& i) { i.SetRemarks("notes"); }));
            t.MarkInCloud(item->ID());
            t.MarkInCloud(home->ID());
            t.Fresh = t.Ops.NewTaskItem(home, "new");
            const std::string tree = t.TreeAndQueue();
            const std::string lists = t.Lists();

            const auto repair = fault.make(t);
            const TTaskOpResult refused = op.run(t);
            repair();
            EXPECT_FALSE(refused);
            EXPECT_NE(refused.Message.find(t.Dir.Paths().DBFileName), std::string::npos)
                << refused.Message;
            EXPECT_EQ(t.TreeAndQueue(), tree);
            EXPECT_EQ(t.Lists(), lists);

            EXPECT_TRUE(op.run(t));
            EXPECT_NE(t.TreeAndQueue(), tree);
        }
    }
}

// Another process's turn on the tree (a pass of ottodo sync): an operation
// waits for it and then lands, both changes kept; one that would wait past
// its limit is refused and changes nothing.
TEST(TaskOperations, WaitsForAnotherProcessesTurnOnTheTree) {
    TOpsTree t;
    auto home = t.AddClass("Home");
    auto mine = t.AddItem(home, "mine");
    ASSERT_TRUE(fs::create_directories(t.Dir.Paths().UserDataPath) ||
                fs::is_directory(t.Dir.Paths().UserDataPath));

    // The child holds the lock as a pass does, changes the tree meanwhile
    // and lets go after holdMs.
    auto otherPass = [&](int holdMs, int readyFd) {
        const pid_t child = ::fork();
        if (child == 0) {
            TTreeLock turn(t.Dir.Paths().LockFileName);
            TOtTaskOperations theirs{TOtTaskRepository(t.Dir.Paths())};
            TOtTaskClassList lists;
            TOtTaskUtility::LoadTaskClassList(t.Dir.Paths().TaskDataPath, lists);
            const bool made = theirs.AddTaskItem(theirs.NewTaskItem(lists.at(0), "theirs")).Ok;
            const char ready = made ? '1' : '0';
            if (::write(readyFd, &ready, 1) != 1)
                ::_exit(2);
            std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
            ::_exit(turn.Held() && made ? 0 : 1);
        }
        return child;
    };
    auto waitReady = [](int fd) {
        char c = 0;
        return ::read(fd, &c, 1) == 1 && c == '1';
    };
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);

    {
        const pid_t child = otherPass(400, pipeFds[1]);
        ASSERT_TRUE(waitReady(pipeFds[0]));
        bool waited = false;
        TOtTaskOperations desktop{TOtTaskRepository(t.Dir.Paths()),
                                  {std::chrono::milliseconds(5000), [&] { waited = true; }}};
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(desktop.CompleteTaskItem(mine, true));
        EXPECT_TRUE(waited);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    TOtTaskClassList onDisk;
    TOtTaskUtility::LoadTaskClassList(t.Dir.Paths().TaskDataPath, onDisk);
    ASSERT_EQ(onDisk.size(), 1u);
    std::vector<std::string> titles;
    for (const auto& i : onDisk[0]->TaskList())
        titles.push_back(i->Title() + (i->Status() == tsCompleted ? " done" : ""));
    std::sort(titles.begin(), titles.end());
    EXPECT_EQ(titles, (std::vector<std::string>{"mine done", "theirs"}));
    TOtSyncQueueList rows;
    TOtSyncQueueDBUtility(t.Dir.Paths().DBFileName).ListSyncQueue(rows, "");
    EXPECT_EQ(rows.size(), 3u) << "the list and both items";

    {
        const pid_t child = otherPass(1500, pipeFds[1]);
        ASSERT_TRUE(waitReady(pipeFds[0]));
        const std::string before = t.TreeAndQueue();
        TOtTaskOperations impatient{TOtTaskRepository(t.Dir.Paths()),
                                    {std::chrono::milliseconds(200), {}}};
        const TTaskOpResult refused = impatient.CompleteTaskItem(mine, false);
        EXPECT_FALSE(refused);
        EXPECT_NE(refused.Message.find("try again"), std::string::npos) << refused.Message;
        EXPECT_EQ(mine->Status(), tsCompleted);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_EQ(t.TreeAndQueue(), before) << "the refused change made nothing";
    }
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

} // namespace

// Undo steps whose list is gone: a move back into a deleted list is refused
// and leaves the task where it is; a deleted task whose list was deleted
// after it comes back into a list made anew with the old title, and the
// step before it finds it there.
TEST(TaskUndo, StepsWhoseListIsGone) {
    TOpsTree t;
    auto home = t.AddClass("Home");
    auto work = t.AddClass("Work");
    auto milk = t.AddItem(home, "milk");
    TOtTaskUndo undo(t.Ops);
    TTaskValues before = TTaskValues::Of(*milk);
    ASSERT_TRUE(t.Ops.EditTaskItem(milk, [&](TOtTaskItem& i) { i.SetTaskClass(work); }));
    undo.Changed(before, *milk);
    ASSERT_TRUE(t.Ops.DeleteTaskClass(t.Classes, home));
    const TUndoResult moved = undo.Undo(t.Classes);
    EXPECT_FALSE(moved);
    EXPECT_EQ(moved.Key, "The task class of \"%s\" is no longer there, so it was not undone.");
    EXPECT_EQ(t.Lists(), work->DirName() + ": " + milk->FileName() + "|\n");

    before = TTaskValues::Of(*milk);
    ASSERT_TRUE(t.Ops.EditTaskItem(milk, [](TOtTaskItem& i) { i.SetPriority(9); }));
    undo.Changed(before, *milk);
    undo.Deleted(*milk);
    ASSERT_TRUE(t.Ops.DeleteTaskItem(milk));
    ASSERT_TRUE(t.Ops.DeleteTaskClass(t.Classes, work));
    ASSERT_TRUE(t.Classes.empty());
    const TUndoResult back = undo.Undo(t.Classes);
    ASSERT_TRUE(back) << back.Key << back.Op.Message;
    ASSERT_EQ(t.Classes.size(), 1u);
    EXPECT_EQ(t.Classes[0]->Title(), "Work");
    EXPECT_NE(t.Classes[0]->ID(), work->ID());
    EXPECT_EQ(back.Item->Priority(), 9);
    const TUndoResult priority = undo.Undo(t.Classes);
    ASSERT_TRUE(priority) << priority.Key << priority.Op.Message;
    EXPECT_EQ(back.Item->Priority(), 5);
    EXPECT_EQ(back.Item->TaskClass(), t.Classes[0]);
    EXPECT_TRUE(fs::exists(t.Dir.Paths().TaskDataPath + back.Item->Path()));
    EXPECT_FALSE(undo.CanUndo());
}
