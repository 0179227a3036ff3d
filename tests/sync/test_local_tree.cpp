// The local task tree as the engine changes it: the shared insertion logic,
// the operations with their files and queue rows, the page hooks, and a
// tree whose calls run on another thread (as the desktop program's run on
// its user-interface thread).

#include "support/QueueTestDir.h"

#include "common/FileUtil.h"
#include "sync/OtLocalTaskTree.h"
#include "syncqueue/OtSyncQueueDBModel.h"
#include "tasks/OtTaskUtility.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>

using namespace ot;
namespace fs = std::filesystem;

namespace {

TOtTaskItemPtr ItemWithPriority(const TOtTaskClassPtr& c, int priority, const std::string& title) {
    auto item = std::make_shared<TOtTaskItem>(title, c);
    item->SetPriority(priority);
    item->ResetDirty();
    return item;
}

// Runs every call on its own thread, as the desktop program runs them on its
// user-interface thread, and records the page hooks.
class TThreadedTree : public TOtLocalTaskTree {
public:
    using TOtLocalTaskTree::TOtLocalTaskTree;
    ~TThreadedTree() override {
        {
            std::lock_guard lock(FMutex);
            FStop = true;
        }
        FChanged.notify_all();
        FWorker.join();
    }
    std::vector<std::string> Hooks;
    std::thread::id WorkerID() const { return FWorker.get_id(); }

protected:
    void Access(const std::function<void()>& fn) override {
        bool done = false;
        std::unique_lock lock(FMutex);
        FQueue.push_back([&] {
            fn();
            std::lock_guard inner(FMutex);
            done = true;
            FChanged.notify_all();
        });
        FChanged.notify_all();
        FChanged.wait(lock, [&] { return done; });
    }
    void TaskClassAdded(const TOtTaskClassPtr& c) override { Hook("class+ " + c->Title()); }
    void TaskClassRemoving(const TOtTaskClassPtr& c, int index) override {
        Hook("class- " + c->Title() + " @" + std::to_string(index));
    }
    void TaskItemInserted(const TOtTaskClassPtr&, const TOtTaskItemPtr& i, int index) override {
        Hook("item+ " + i->Title() + " @" + std::to_string(index));
    }
    void TaskItemUpdated(const TOtTaskClassPtr&, const TOtTaskItemPtr& i) override {
        Hook("item~ " + i->Title());
    }
    void TaskItemRemoving(const TOtTaskClassPtr&, const TOtTaskItemPtr& i) override {
        Hook("item- " + i->Title());
    }

private:
    void Hook(std::string h) {
        EXPECT_EQ(std::this_thread::get_id(), FWorker.get_id());
        Hooks.push_back(std::move(h));
    }
    void Run() {
        std::unique_lock lock(FMutex);
        for (;;) {
            FChanged.wait(lock, [&] { return FStop || !FQueue.empty(); });
            if (FQueue.empty())
                return;
            auto job = std::move(FQueue.front());
            FQueue.pop_front();
            lock.unlock();
            job();
            lock.lock();
        }
    }
    std::mutex FMutex;
    std::condition_variable FChanged;
    std::deque<std::function<void()>> FQueue;
    bool FStop = false;
    std::thread FWorker{[this] { Run(); }};
};

struct LocalTreeTest : ::testing::Test {
    test::TQueueTestDir dir{"ot-sync"};
    TOtTaskClassList classes;
    TThreadedTree tree{classes, TOtTaskRepository(dir.Paths())};

    std::string TaskDataPath() const { return dir.Paths().TaskDataPath; }
    std::string DBFileName() const { return dir.Paths().DBFileName; }

    std::optional<TOtSyncQueueDB> Row(const std::string& id) {
        TOtSyncQueueDBUtility db(DBFileName());
        return db.GetSyncQueueItem(id);
    }
};

} // namespace

TEST(SharedListLogic, GetRightIndex) {
    struct Case {
        std::vector<int> list;
        int priority;
        int expected;
    } cases[] = {
        {{9, 5, 3, 1}, 3, 2}, // above the items of its own priority
        {{9, 5, 3, 1}, 0, 4}, // lowest goes to the end
        {{9, 1}, 2, 1},       {{}, 7, 0}, {{5, 5}, 5, 0}, {{9, 8}, 9, 0},
    };
    auto c = std::make_shared<TOtTaskClass>("C1", "List");
    for (const auto& tc : cases) {
        TOtTaskItemList list;
        for (int p : tc.list)
            list.push_back(ItemWithPriority(c, p, "x"));
        auto item = ItemWithPriority(c, tc.priority, "new");
        EXPECT_EQ(GetRightIndex(list, *item), tc.expected) << "priority " << tc.priority;
    }
}

TEST_F(LocalTreeTest, ClassesAndItemsAreCreatedThroughTheRepositoryOnTheTreeThread) {
    auto home = tree.AddTaskClass("1214608325K7", "Home & work");
    ASSERT_TRUE(home);
    ASSERT_EQ(classes.size(), 1u);
    EXPECT_TRUE(fs::is_directory(TaskDataPath() + home->Path()));
    ASSERT_TRUE(Row(home->ID()));
    EXPECT_EQ(Row(home->ID())->TaskItemPath(), home->DirName());

    for (auto [p, t] :
         std::vector<std::pair<int, std::string>>{{5, "a"}, {9, "b"}, {1, "c"}, {5, "d"}})
        ASSERT_TRUE(tree.AddTaskItem(home, ItemWithPriority(home, p, t)));
    std::vector<std::string> titles;
    for (const auto& i : home->TaskList()) {
        titles.push_back(i->Title());
        EXPECT_TRUE(fs::exists(TaskDataPath() + i->Path()));
        EXPECT_TRUE(Row(i->ID()));
    }
    EXPECT_EQ(titles, (std::vector<std::string>{"b", "d", "a", "c"}));
    EXPECT_EQ(tree.Hooks, (std::vector<std::string>{"class+ Home & work", "item+ a @0",
                                                    "item+ b @0", "item+ c @2", "item+ d @1"}));

    const auto snap = tree.Snapshot();
    ASSERT_EQ(snap.size(), 1u);
    EXPECT_EQ(snap[0].ID, home->ID());
    ASSERT_EQ(snap[0].Items.size(), 4u);
    EXPECT_EQ(snap[0].Items[0].FileName, home->TaskList()[0]->FileName());
    EXPECT_EQ(snap[0].Items[0].Path, home->TaskList()[0]->Path());
}

TEST_F(LocalTreeTest, AnItemOfAClassThatLeftTheListIsRefused) {
    auto gone = std::make_shared<TOtTaskClass>("1214608325K8", "Gone");
    EXPECT_FALSE(tree.AddTaskItem(gone, ItemWithPriority(gone, 5, "x")));
    EXPECT_FALSE(fs::exists(TaskDataPath() + gone->Path()));
}

TEST_F(LocalTreeTest, RenameTakesTheCloudAttributesButKeepsTheLocalClass) {
    auto local = tree.AddTaskClass("1214608325K7", "List");
    auto item = ItemWithPriority(local, 5, "old title");
    ASSERT_TRUE(tree.AddTaskItem(local, item));
    const std::string oldFile = TaskDataPath() + item->Path();
    const std::string oldName = item->FileName();

    TOtTaskItemPtr source;
    {
        // The engine's mirror of the cloud: another class object, same name.
        auto mirror = std::make_shared<TOtTaskClass>(local->ID(), local->Title());
        source = std::make_shared<TOtTaskItem>("new title", mirror);
        TOtTaskUtility::AssignTaskItem(item, source, 0);
        source->SetTitle("new title");
        source->SetPriority(8);
        source->SetStatus(tsCompleted);
        source->ResetDirty();

        // A stale expectation (the item was changed meanwhile) renames nothing.
        EXPECT_FALSE(tree.RenameTaskItem(local, item, "not its name", source));
        EXPECT_TRUE(fs::exists(oldFile));

        ASSERT_TRUE(tree.RenameTaskItem(local, item, oldName, source));
    } // the mirror class is gone; the item must not depend on it

    EXPECT_EQ(item->TaskClass(), local);
    EXPECT_EQ(item->Title(), "new title");
    EXPECT_EQ(item->Priority(), 8);
    EXPECT_EQ(item->Status(), tsCompleted);
    EXPECT_FALSE(item->IsDirty());
    EXPECT_FALSE(fs::exists(oldFile));
    EXPECT_TRUE(fs::exists(TaskDataPath() + item->Path()));
    EXPECT_EQ(tree.Hooks.back(), "item~ new title");
}

TEST_F(LocalTreeTest, ReplaceTaskItemFileLoadsTheRemarksOrLeavesTheFileAlone) {
    auto local = tree.AddTaskClass("1214608325K7", "List");
    auto item = ItemWithPriority(local, 5, "t");
    ASSERT_TRUE(tree.AddTaskItem(local, item));
    const std::string file = TaskDataPath() + item->Path();
    std::string before;
    ASSERT_TRUE(ReadWholeFile(file, before));

    const std::string stale = file + ".stale";
    ASSERT_TRUE(WriteFileAtomic(stale, TOtTaskUtility::TaskFileContent("ignored")));
    EXPECT_FALSE(tree.ReplaceTaskItemFile(local, item, "another name", stale));
    EXPECT_FALSE(fs::exists(stale));
    std::string after;
    ASSERT_TRUE(ReadWholeFile(file, after));
    EXPECT_EQ(after, before);

    const std::string fresh = file + ".new";
    ASSERT_TRUE(WriteFileAtomic(fresh, TOtTaskUtility::TaskFileContent("from the cloud")));
    ASSERT_TRUE(tree.ReplaceTaskItemFile(local, item, item->FileName(), fresh));
    EXPECT_EQ(item->Remarks(), "from the cloud");
    EXPECT_FALSE(item->IsDirty());
    EXPECT_FALSE(fs::exists(fresh));
}

TEST_F(LocalTreeTest, DeletionsRemoveFilesRowsAndPages) {
    auto a = tree.AddTaskClass("1214608325K7", "A");
    auto b = tree.AddTaskClass("1214608325K8", "B");
    auto x = ItemWithPriority(a, 5, "x");
    auto y = ItemWithPriority(a, 5, "y");
    ASSERT_TRUE(tree.AddTaskItem(a, x));
    ASSERT_TRUE(tree.AddTaskItem(a, y));
    tree.Hooks.clear();

    ASSERT_TRUE(tree.DeleteTaskItem(a, x));
    EXPECT_FALSE(fs::exists(TaskDataPath() + x->Path()));
    EXPECT_FALSE(Row(x->ID())); // never synchronized: the row goes at once
    EXPECT_EQ(a->TaskList().size(), 1u);
    EXPECT_FALSE(tree.DeleteTaskItem(a, x)); // no longer in the list

    ASSERT_TRUE(tree.DeleteTaskClass(a));
    EXPECT_FALSE(fs::exists(TaskDataPath() + a->Path()));
    EXPECT_EQ(classes, (TOtTaskClassList{b}));
    EXPECT_EQ(tree.Hooks, (std::vector<std::string>{"item- x", "class- A @0"}));
}

TEST_F(LocalTreeTest, ErrorsInsideReachTheCaller) {
    fs::remove(DBFileName());
    EXPECT_THROW(tree.AddTaskClass("1214608325K7", "A"), std::exception);
    // The tree thread is still serving calls.
    EXPECT_NO_THROW(tree.Snapshot());
}
