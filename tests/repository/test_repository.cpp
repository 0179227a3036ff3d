// Changing the task tree on disk, with every change recorded in a real queue
// database; and the list helpers.

#include "common/Clock.h"
#include "common/FileUtil.h"
#include "common/Random.h"
#include "repository/OtTaskIDIndex.h"
#include "repository/OtTaskRepository.h"
#include "support/QueueTestDir.h"
#include "syncqueue/OtSyncQueueDBModel.h"
#include "syncqueue/OtSyncQueueUtility.h"
#include "tasks/OtTaskUtility.h"

#include <gtest/gtest.h>

#include <fstream>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <functional>
#include <set>

using namespace ot;
namespace fs = std::filesystem;
using U = TOtTaskUtility;

namespace {

class RepositoryTest : public ::testing::Test {
protected:
    std::string TaskDataPath() const { return Dir.Paths().TaskDataPath; }
    std::string DBFileName() const { return Dir.Paths().DBFileName; }

    std::optional<TOtSyncQueueDB> Row(const std::string& id) {
        return TOtSyncQueueDBUtility(DBFileName()).GetSyncQueueItem(id);
    }
    std::size_t RowCount() {
        TOtSyncQueueList rows;
        TOtSyncQueueDBUtility(DBFileName()).ListSyncQueue(rows, "");
        return rows.size();
    }
    // Makes the object's row look as if the engine had uploaded it.
    void MarkInCloud(const std::string& id) {
        ASSERT_TRUE(TOtSyncQueueDBUtility(DBFileName()).SetKuaipanFileID(id, "cloud-" + id));
    }
    void DropRow(const std::string& id) {
        ASSERT_TRUE(TOtSyncQueueDBUtility(DBFileName()).DeleteSyncQueue(id));
    }
    fs::path OnDisk(const std::string& relative) { return fs::path(TaskDataPath()) / relative; }
    std::string Content(const std::string& relative) {
        std::string s;
        EXPECT_TRUE(ReadWholeFile(OnDisk(relative), s)) << relative;
        return s;
    }

    TOtTaskClassPtr NewClass(const std::string& title) {
        Time->AdvanceSeconds(2);
        // An ID of its own, so that making a class does not draw (and
        // refresh the ID cache) behind the tests of the draw.
        auto cls = std::make_shared<TOtTaskClass>(NewTaskID(), title);
        EXPECT_TRUE(Repo.CreateTaskClass(cls));
        return cls;
    }
    TOtTaskItemPtr NewItem(const TOtTaskClassPtr& cls, const std::string& title,
                           const std::string& remarks = "") {
        Time->AdvanceSeconds(2);
        auto item =
            std::make_shared<TOtTaskItem>(title, remarks, tsNotCompleted, 0, 0, cls, nullptr);
        EXPECT_TRUE(Repo.CreateTaskItem(item));
        cls->TaskList().push_back(item);
        return item;
    }

    test::TQueueTestDir Dir{"ot-store"};
    TOtTaskRepository Repo{Dir.Paths()};
    // Every object is made two seconds after the previous one, so no two IDs
    // can meet by chance.
    std::shared_ptr<FixedClock> Time =
        std::make_shared<FixedClock>(EncodeDateTime(2016, 3, 5, 14, 30, 10));
    ScopedClock Clock{Time};
};

} // namespace

TEST_F(RepositoryTest, CreateTaskClass) {
    EXPECT_FALSE(Repo.CreateTaskClass(nullptr));
    auto home = NewClass("Home & work");
    EXPECT_TRUE(fs::is_directory(OnDisk(home->Path())));
    auto row = Row(home->ID());
    ASSERT_TRUE(row);
    EXPECT_EQ(row->TaskItemPath(), home->DirName());
    EXPECT_EQ(row->TaskClassPath(), "");

    // An existing directory answers true and records nothing.
    DropRow(home->ID());
    EXPECT_TRUE(Repo.CreateTaskClass(home));
    EXPECT_FALSE(Row(home->ID()));

    // The same title twice gives two directories.
    auto twin = NewClass("Home & work");
    EXPECT_NE(twin->DirName(), home->DirName());
    EXPECT_TRUE(fs::is_directory(OnDisk(twin->Path())));
}

TEST_F(RepositoryTest, CreateTaskClassThatCannotBeMadeRecordsNothing) {
    fs::remove_all(TaskDataPath());
    ASSERT_TRUE(WriteFileAtomic(fs::path(TaskDataPath()).parent_path(), "in the way"));
    auto cls = std::make_shared<TOtTaskClass>("blocked");
    EXPECT_FALSE(Repo.CreateTaskClass(cls));
    EXPECT_EQ(RowCount(), 0u);
}

TEST_F(RepositoryTest, DeleteTaskClassRemovesTheTreeButNotWhatLinksPointTo) {
    auto home = NewClass("Home");
    NewItem(home, "a");
    NewItem(home, "b");
    fs::create_directories(OnDisk(home->Path()) / "sub" / "deeper");
    const fs::path outside = Dir.Root() / "outside";
    fs::create_directories(outside);
    ASSERT_TRUE(WriteFileAtomic(outside / "keep.txt", "keep"));
    fs::create_directory_symlink(outside, OnDisk(home->Path()) / "link");
    ASSERT_EQ(RowCount(), 3u);

    EXPECT_TRUE(Repo.DeleteTaskClass(home));
    EXPECT_FALSE(fs::exists(OnDisk(home->Path())));
    EXPECT_TRUE(fs::exists(outside / "keep.txt"));
    EXPECT_EQ(RowCount(), 0u); // never in the cloud: class and item rows go

    // A class whose directory is gone answers false and records nothing.
    auto other = NewClass("Other");
    MarkInCloud(other->ID());
    fs::remove_all(OnDisk(other->Path()));
    EXPECT_FALSE(Repo.DeleteTaskClass(other));
    EXPECT_EQ(Row(other->ID())->IsDelete(), 0);
    EXPECT_FALSE(Repo.DeleteTaskClass(nullptr));
}

TEST_F(RepositoryTest, CreateTaskItem) {
    auto home = NewClass("Home");
    EXPECT_FALSE(Repo.CreateTaskItem(nullptr));
    auto item = NewItem(home, "Buy milk", "a<b");
    EXPECT_EQ(Content(item->Path()), U::TaskFileContent("a<b"));
    auto row = Row(item->ID());
    ASSERT_TRUE(row);
    EXPECT_EQ(row->TaskItemPath(), item->FileName());
    EXPECT_EQ(row->TaskClassPath(), home->DirName());

    // An existing file is neither rewritten nor recorded.
    DropRow(item->ID());
    ASSERT_TRUE(WriteFileAtomic(OnDisk(item->Path()), "hand-made"));
    EXPECT_TRUE(Repo.CreateTaskItem(item));
    EXPECT_EQ(Content(item->Path()), "hand-made");
    EXPECT_FALSE(Row(item->ID()));

    // A file that cannot be written is no creation for the queue.
    auto gone = std::make_shared<TOtTaskClass>("never created");
    auto orphan = std::make_shared<TOtTaskItem>("x", gone);
    EXPECT_FALSE(Repo.CreateTaskItem(orphan));
    EXPECT_FALSE(Row(orphan->ID()));
}

TEST_F(RepositoryTest, EditTaskItemInPlaceAndRenames) {
    struct Case {
        const char* what;
        void (*change)(TOtTaskItem&);
        int syncType;         // of the row in the cloud afterwards
        bool oldNameRecorded; // TaskItemPath_Old holds the name before the edit
        const char* remarks;  // file content afterwards
    } cases[] = {
        {"remarks only", [](TOtTaskItem& i) { i.SetRemarks("new\r\nnote"); }, 2, false,
         "new\r\nnote"},
        {"priority only", [](TOtTaskItem& i) { i.SetPriority(9); }, 1, true, "old"},
        {"completed",
         [](TOtTaskItem& i) {
             i.SetStatus(tsCompleted);
             i.SetFinishDateTime(EncodeDateTime(2016, 3, 6, 8, 2));
         },
         1, true, "old"},
        {"title and remarks",
         [](TOtTaskItem& i) {
             i.SetTitle("Buy bread");
             i.SetRemarks("new");
         },
         3, true, "new"},
        {"nothing", [](TOtTaskItem&) {}, 2, false, "old"},
    };
    auto home = NewClass("Home");
    for (const auto& c : cases) {
        auto item = NewItem(home, "Buy milk", "old");
        MarkInCloud(item->ID());
        const std::string before = item->Path();
        const std::string beforeName = item->FileName();
        c.change(*item);

        EXPECT_TRUE(Repo.EditTaskItem(item)) << c.what;
        EXPECT_FALSE(item->IsDirty()) << c.what;
        EXPECT_EQ(fs::exists(OnDisk(before)), before == item->Path()) << c.what;
        EXPECT_EQ(Content(item->Path()), U::TaskFileContent(c.remarks)) << c.what;
        auto row = Row(item->ID());
        ASSERT_TRUE(row) << c.what;
        EXPECT_EQ(row->TaskItemPath(), item->FileName()) << c.what;
        EXPECT_EQ(row->SyncType(), c.syncType) << c.what;
        EXPECT_EQ(row->TaskItemPath_Old(), c.oldNameRecorded ? beforeName : "") << c.what;
    }
}

TEST_F(RepositoryTest, RenameOfAVanishedFileFails) {
    auto home = NewClass("Home");
    auto item = NewItem(home, "Buy milk");
    MarkInCloud(item->ID());
    fs::remove(OnDisk(item->Path()));
    item->SetPriority(9);
    EXPECT_FALSE(Repo.EditTaskItem(item));
    EXPECT_TRUE(item->IsDirty());
    EXPECT_FALSE(fs::exists(OnDisk(item->Path())));
    EXPECT_EQ(Row(item->ID())->SyncType(), 0);
    EXPECT_FALSE(Repo.EditTaskItem(nullptr));
}

TEST_F(RepositoryTest, MoveToAnotherClassIsADeletionAndACreation) {
    auto home = NewClass("Home");
    auto work = NewClass("Work");
    // in the cloud (deletion is marked), never uploaded (row is dropped), and
    // without any row at all (the recorder answers false): none may be lost
    for (int kind = 0; kind < 3; ++kind) {
        auto item = NewItem(home, "Move me", "notes");
        const std::string oldID = item->ID();
        const std::string oldPath = item->Path();
        if (kind == 0)
            MarkInCloud(oldID);
        if (kind == 2)
            DropRow(oldID);
        Time->AdvanceSeconds(2); // the new ID is drawn at another time
        item->SetTaskClass(work);

        EXPECT_TRUE(Repo.EditTaskItem(item)) << kind;
        EXPECT_NE(item->ID(), oldID);
        EXPECT_FALSE(item->IsDirty());
        EXPECT_FALSE(fs::exists(OnDisk(oldPath)));
        EXPECT_EQ(item->Path(), work->Path() + item->FileName() + ".tsk");
        EXPECT_EQ(Content(item->Path()), U::TaskFileContent("notes"));

        auto oldRow = Row(oldID);
        EXPECT_EQ(oldRow.has_value(), kind == 0) << kind;
        if (oldRow) {
            EXPECT_EQ(oldRow->IsDelete(), 1);
        }
        auto newRow = Row(item->ID());
        ASSERT_TRUE(newRow) << kind;
        EXPECT_EQ(newRow->TaskItemPath(), item->FileName());
        EXPECT_EQ(newRow->TaskClassPath(), work->DirName());
        EXPECT_EQ(newRow->KuaipanFileID(), "");
    }
}

TEST_F(RepositoryTest, MoveWhoseOldFileIsGoneOrTargetClassIsGoneChangesNothing) {
    auto home = NewClass("Home");
    auto item = NewItem(home, "x");
    const std::string id = item->ID();
    {
        auto vanishing = std::make_shared<TOtTaskClass>("Temp");
        item->SetTaskClass(vanishing);
    }
    EXPECT_FALSE(Repo.EditTaskItem(item));
    EXPECT_TRUE(fs::exists(OnDisk(item->OldPath())));

    auto work = NewClass("Work");
    item->SetTaskClass(work);
    fs::remove(OnDisk(item->OldPath()));
    EXPECT_FALSE(Repo.EditTaskItem(item));
    EXPECT_EQ(item->ID(), id);
    EXPECT_TRUE(Row(id));
}

// A full disk or a locked target directory: the move fails as a whole and
// the task stays in its old list with its old ID and queue row.
TEST_F(RepositoryTest, MoveThatCannotWriteTheNewFileLeavesTheTaskWhereItWas) {
    auto home = NewClass("Home");
    auto work = NewClass("Work");
    for (const TFileOp op : {TFileOp::Create, TFileOp::Rename, TFileOp::Remove}) {
        auto item = NewItem(home, "Move me", "notes");
        const std::string id = item->ID();
        const std::string oldPath = item->Path();
        MarkInCloud(id);
        Time->AdvanceSeconds(2);
        item->SetTaskClass(work);
        {
            TFileFaultInjector full(op, 0, op == TFileOp::Create ? ENOSPC : EACCES);
            EXPECT_FALSE(Repo.EditTaskItem(item));
            EXPECT_TRUE(full.Fired());
        }
        EXPECT_EQ(item->ID(), id);
        EXPECT_EQ(Content(oldPath), U::TaskFileContent("notes"));
        EXPECT_TRUE(fs::is_empty(OnDisk(work->Path()))) << "nothing is left in the target";
        auto row = Row(id);
        ASSERT_TRUE(row);
        EXPECT_EQ(row->IsDelete(), 0);
        EXPECT_EQ(row->TaskClassPath(), home->DirName());

        // Once the disk has room again the same edit goes through.
        EXPECT_TRUE(Repo.EditTaskItem(item));
        EXPECT_FALSE(fs::exists(OnDisk(oldPath)));
        EXPECT_EQ(Content(item->Path()), U::TaskFileContent("notes"));
        EXPECT_EQ(Row(id)->IsDelete(), 1);
        EXPECT_TRUE(Repo.DeleteTaskItem(item));
    }
}

// Names up to the file system's limit are stored, one byte more is refused
// before anything is written: new classes and items, renames and moves.
TEST_F(RepositoryTest, NamesBeyondTheFileSystemLimitAreRefusedBeforeAnythingIsWritten) {
    ASSERT_EQ(U::NameLimit(TaskDataPath()), 255u);
    auto home = NewClass("Home");
    auto item = NewItem(home, "short");
    MarkInCloud(item->ID());
    const std::size_t itemRoom = 255 - (item->FileName().size() + 4 - 5);
    const std::size_t classRoom = 255 - (home->DirName().size() - 4);

    auto fits = std::make_shared<TOtTaskClass>(std::string(classRoom, 'c'));
    EXPECT_TRUE(U::IsTaskClassStorable(*fits, TaskDataPath()));
    EXPECT_TRUE(Repo.CreateTaskClass(fits));
    auto tooLong = std::make_shared<TOtTaskClass>(std::string(classRoom + 1, 'c'));
    EXPECT_FALSE(U::IsTaskClassStorable(*tooLong, TaskDataPath()));
    EXPECT_FALSE(Repo.CreateTaskClass(tooLong));
    EXPECT_FALSE(Row(tooLong->ID()));

    std::string hundredCJK;
    for (int i = 0; i < 100; ++i)
        hundredCJK += "\xE4\xBB\xBB"; // three bytes a character
    auto cjk = std::make_shared<TOtTaskItem>(hundredCJK, home);
    EXPECT_FALSE(U::IsTaskItemStorable(*cjk, TaskDataPath()));
    EXPECT_FALSE(Repo.CreateTaskItem(cjk));
    EXPECT_FALSE(Row(cjk->ID()));

    const auto before = RowCount();
    item->SetTitle(std::string(itemRoom + 1, 't'));
    EXPECT_FALSE(U::IsTaskItemStorable(*item, TaskDataPath()));
    EXPECT_FALSE(Repo.EditTaskItem(item));
    EXPECT_TRUE(fs::exists(OnDisk(item->OldPath())));
    EXPECT_EQ(Row(item->ID())->SyncType(), 0);

    auto other = NewItem(home, "other");
    other->SetTitle(std::string(itemRoom, 't'));
    ASSERT_EQ(other->FileName().size() + 4, 255u);
    EXPECT_TRUE(Repo.EditTaskItem(other));
    EXPECT_TRUE(fs::exists(OnDisk(other->Path())));
    auto fresh = std::make_shared<TOtTaskItem>(std::string(itemRoom, 'f'), home);
    EXPECT_TRUE(Repo.CreateTaskItem(fresh));
    EXPECT_EQ(RowCount(), before + 2);
    // the three items and no temporary file
    EXPECT_EQ(std::distance(fs::directory_iterator(OnDisk(home->Path())), fs::directory_iterator()),
              3);
}

// Files whose names the loader accepts but that differ from the name their
// values build are renamed, rewritten, moved and deleted where they lie:
// afterwards exactly one file holds the task, or none after a deletion.
TEST_F(RepositoryTest, ItemsLoadedFromHandMadeNamesAreChangedWhereTheyLie) {
    auto home = NewClass("Home");
    auto work = NewClass("Work");
    const std::vector<std::string> names = {"#Completed#Buy[SP]milk#5#201603051430###",
                                            "#0#Five[SP]fields#5#201603051430",
                                            "#0#Nine#5#201603051430####extra"};
    enum TOp { Title, Remarks, Move, Delete };
    int n = 0;
    for (const auto& name : names) {
        for (TOp op : {Title, Remarks, Move, Delete}) {
            SCOPED_TRACE(name + " op " + std::to_string(op));
            const std::string id = "1H" + std::to_string(n++);
            const std::string onDisk = id + name;
            ASSERT_TRUE(WriteFileAtomic(OnDisk(home->Path() + onDisk + ".tsk"),
                                        U::TaskFileContent("notes")));
            TOtTaskItemList loaded;
            U::LoadTaskItemList(TaskDataPath(), home, loaded);
            auto it = std::find_if(loaded.begin(), loaded.end(),
                                   [&](const auto& i) { return i->ID() == id; });
            ASSERT_NE(it, loaded.end());
            auto item = *it;
            EXPECT_EQ(item->DiskFileName(), onDisk);
            EXPECT_NE(item->FileName(), onDisk);
            ASSERT_TRUE(TOtSyncQueueUtility::WriteToSyncQueue(
                DBFileName(), sqItemCreated, {id, item->DiskFileName(), home->DirName()}));
            MarkInCloud(id);

            bool ok = false;
            switch (op) {
            case Title:
                item->SetTitle("Renamed");
                ok = Repo.EditTaskItem(item);
                break;
            case Remarks:
                item->SetRemarks("new notes");
                ok = Repo.EditTaskItem(item);
                break;
            case Move:
                item->SetTaskClass(work);
                ok = Repo.EditTaskItem(item);
                break;
            case Delete:
                ok = Repo.DeleteTaskItem(item);
                break;
            }
            EXPECT_TRUE(ok);
            EXPECT_FALSE(fs::exists(OnDisk(home->Path() + onDisk + ".tsk")));
            std::vector<std::string> holding; // files that hold the task now
            for (const auto& cls : {home, work})
                for (const auto& e : fs::directory_iterator(OnDisk(cls->Path())))
                    if (e.path().filename().string().starts_with((op == Move ? item->ID() : id) +
                                                                 "#"))
                        holding.push_back(cls->DirName() + "/" + e.path().filename().string());
            if (op == Delete) {
                EXPECT_TRUE(holding.empty());
                EXPECT_EQ(Row(id)->IsDelete(), 1);
                EXPECT_EQ(Row(id)->TaskItemPath(), onDisk) << "the cloud copy's name";
            } else {
                EXPECT_EQ(holding, std::vector<std::string>{item->Path()});
            }
            if (op == Title || op == Remarks) {
                EXPECT_EQ(Row(id)->SyncType(), op == Title ? 1 : 3);
                EXPECT_EQ(Row(id)->TaskItemPath_Old(), onDisk);
                EXPECT_EQ(Row(id)->TaskItemPath(), item->FileName());
            }
            if (op != Delete) {
                ASSERT_TRUE(Repo.DeleteTaskItem(item)); // leave the next case a clean tree
            }
        }
    }
}

// A tree loaded as the window loads it reads each item's remarks only when
// they are asked for. Whatever is done to an item first (renamed by a new
// priority or title, moved to another list, written elsewhere, copied, its
// remarks changed), its remarks are the file's and are never lost.
TEST_F(RepositoryTest, RemarksReadLateAreNeverLost) {
    auto home = NewClass("Home");
    auto work = NewClass("Work");
    enum TOp { Priority, TitleThenMove, SaveElsewhere, Copy, NewRemarks };
    for (TOp op : {Priority, TitleThenMove, SaveElsewhere, Copy, NewRemarks}) {
        SCOPED_TRACE(op);
        const std::string id = NewItem(home, "Task " + std::to_string(op), "notes\nline two")->ID();
        TOtTaskItemList loaded;
        U::LoadTaskItemList(TaskDataPath(), home, loaded, true, true);
        const auto it = std::find_if(loaded.begin(), loaded.end(),
                                     [&](const auto& i) { return i->ID() == id; });
        ASSERT_NE(it, loaded.end());
        const TOtTaskItemPtr item = *it;
        EXPECT_FALSE(item->RemarksRead()) << "no file is opened at loading";
        std::string expected = "notes\nline two";
        switch (op) {
        case Priority:
            item->SetPriority(9);
            ASSERT_TRUE(Repo.EditTaskItem(item));
            break;
        case TitleThenMove:
            item->SetTitle("Renamed");
            ASSERT_TRUE(Repo.EditTaskItem(item));
            item->SetTaskClass(work);
            ASSERT_TRUE(Repo.EditTaskItem(item));
            break;
        case SaveElsewhere: {
            const std::string copy = TaskDataPath() + "copy.tsk";
            ASSERT_TRUE(item->SaveToFile(copy));
            TOtTaskItem other("other", home);
            ASSERT_TRUE(other.LoadFromFile(copy));
            EXPECT_EQ(other.Remarks(), expected);
            break;
        }
        case Copy: {
            auto other = std::make_shared<TOtTaskItem>("other", home);
            U::AssignTaskItem(item, other, 3);
            EXPECT_EQ(other->Remarks(), expected);
            break;
        }
        case NewRemarks:
            item->SetRemarks("changed");
            EXPECT_TRUE(item->IsTaskRemarksChange());
            ASSERT_TRUE(Repo.EditTaskItem(item));
            expected = "changed";
            break;
        }
        EXPECT_EQ(item->Remarks(), expected);
        EXPECT_EQ(Content(item->DiskPath()), U::TaskFileContent(expected));
        ASSERT_TRUE(Repo.DeleteTaskItem(item));
    }
}

// Another process drew an ID in the same two seconds: replaying its draw
// (same seed, same packed time, after a draw at another time made this
// process forget it) shows that neither a move nor a new ID takes it, whether
// it is held by an item in another list, a class directory, a queue row or
// as the ancestor part of a nested item's ID.
TEST_F(RepositoryTest, DrawnIDsNeverTakeOneThatIsAlreadyHeld) {
    auto home = NewClass("Home");
    auto work = NewClass("Work");
    enum THolder { ItemFile, ClassDir, QueueRow, AncestorPart };
    for (THolder holder : {ItemFile, ClassDir, QueueRow, AncestorPart}) {
        SCOPED_TRACE(holder);
        auto item = NewItem(home, "Move me");
        Time->AdvanceSeconds(2);
        const TDateTime now = Time->Now();
        SeedRandom(7 + holder);
        const std::string taken = NewTaskIDAt(now);
        NewTaskIDAt(now + 1);
        switch (holder) {
        case ItemFile: {
            auto other = std::make_shared<TOtTaskItem>("other", work);
            other->SetID(taken);
            other->ResetDirty();
            ASSERT_TRUE(Repo.CreateTaskItem(other));
            break;
        }
        case ClassDir:
            ASSERT_TRUE(Repo.CreateTaskClass(std::make_shared<TOtTaskClass>(taken, "Other")));
            break;
        case QueueRow:
            ASSERT_TRUE(TOtSyncQueueUtility::WriteToSyncQueue(DBFileName(), sqItemCreated,
                                                              {taken, "gone", "elsewhere"}));
            break;
        case AncestorPart:
            std::ofstream(OnDisk(work->Path()) / (taken + "_1ZZ#0#child#5#201603051430###.tsk"));
            break;
        }
        NewTaskIDAt(now + 1);
        SeedRandom(7 + holder);
        item->SetTaskClass(work);
        ASSERT_TRUE(Repo.EditTaskItem(item));
        EXPECT_NE(item->ID(), taken);
        EXPECT_EQ(Row(item->ID())->TaskClassPath(), work->DirName());

        NewTaskIDAt(now + 1);
        SeedRandom(7 + holder);
        EXPECT_NE(Repo.NewUniqueTaskID(), taken);
    }
}

// List directories whose names the loader accepts but that differ from the
// name the list's values build (blanks, underscores, quotes and brackets left
// unescaped): their items load, and tasks are added, renamed, moved in and
// out where the directory lies; the list is deleted with everything in it.
TEST_F(RepositoryTest, ListsLoadedFromHandMadeNamesAreChangedWhereTheyLie) {
    auto other = NewClass("Other");
    const std::vector<std::string> titles = {"My list", "to_do", "Tom's (old) list!"};
    int n = 0;
    for (const auto& title : titles) {
        SCOPED_TRACE(title);
        const std::string id = "1L" + std::to_string(n++);
        const std::string dirName = id + "#" + title;
        ASSERT_TRUE(fs::create_directory(OnDisk(dirName)));
        ASSERT_TRUE(WriteFileAtomic(OnDisk(dirName + "/" + id + "1#0#Old#5#201603051430###.tsk"),
                                    U::TaskFileContent("notes")));
        TOtTaskClassList loaded;
        U::LoadTaskClassList(TaskDataPath(), loaded);
        auto it = std::find_if(loaded.begin(), loaded.end(),
                               [&](const auto& c) { return c->ID() == id; });
        ASSERT_NE(it, loaded.end());
        auto cls = *it;
        EXPECT_NE(cls->DirName(), dirName);
        ASSERT_EQ(cls->TaskList().size(), 1u) << "its item is loaded";
        auto old = cls->TaskList()[0];

        auto added = NewItem(cls, "Added");
        old->SetTitle("Renamed");
        EXPECT_TRUE(Repo.EditTaskItem(old));
        auto guest = NewItem(other, "Guest");
        guest->SetTaskClass(cls);
        EXPECT_TRUE(Repo.EditTaskItem(guest));
        auto leaving = NewItem(cls, "Leaving");
        leaving->SetTaskClass(other);
        EXPECT_TRUE(Repo.EditTaskItem(leaving));

        std::set<std::string> files;
        for (const auto& e : fs::directory_iterator(OnDisk(dirName)))
            files.insert(e.path().filename().string());
        EXPECT_EQ(files,
                  (std::set<std::string>{added->FileName() + ".tsk", old->FileName() + ".tsk",
                                         guest->FileName() + ".tsk"}));
        EXPECT_TRUE(fs::exists(OnDisk(other->DirName() + "/" + leaving->FileName() + ".tsk")));
        EXPECT_FALSE(fs::exists(OnDisk(cls->DirName()))) << "no second directory";
        EXPECT_EQ(Row(added->ID())->TaskClassPath(), cls->DirName()) << "the cloud folder's name";

        EXPECT_TRUE(Repo.DeleteTaskClass(cls));
        EXPECT_FALSE(fs::exists(OnDisk(dirName)));
    }
}

// The names of the tree's directories are kept between runs in a cache file
// beside the queue; whatever the file says, an ID held on disk is never
// drawn. The cache compares the clock with the file system's time stamps, so
// these tests set the clock from the real time: "settled" puts it a minute
// ahead (every directory made by the test is older than two seconds then),
// "racy" at the real time (the directories changed within two seconds of
// being read).
class IDCacheTest : public RepositoryTest {
protected:
    enum TWhen { Settled, Racy };
    void SetClock(TWhen when) {
        Time->Set(UnixToLocalDateTime(std::time(nullptr) + (when == Settled ? 60 : 0)));
    }
    std::string CacheFile() const {
        return Dir.Paths().UserDataPath + TOtTaskIDIndex::CacheFileName;
    }
    // The ID the next draw at the clock's time gives for seed, once this
    // process has forgotten what it drew at that time.
    std::string Replay(unsigned seed) {
        NewTaskIDAt(Time->Now() + 1);
        SeedRandom(seed);
        return NewTaskIDAt(Time->Now());
    }
    std::string DrawReplaying(unsigned seed) {
        NewTaskIDAt(Time->Now() + 1);
        SeedRandom(seed);
        return Repo.NewUniqueTaskID();
    }
    // A cache file made from the tree as it is, at the clock's time.
    void WriteCache() {
        fs::remove(CacheFile());
        Repo.NewUniqueTaskID();
        ASSERT_TRUE(fs::exists(CacheFile()));
    }
    // Makes the cache tell a lie a stale cache would tell: id replaced by
    // another of the same length, so the file keeps its form.
    void HideInCache(const std::string& id) {
        std::string bytes = Content(CacheFile());
        int replaced = 0;
        for (auto pos = bytes.find(id); pos != std::string::npos; pos = bytes.find(id, pos))
            bytes.replace(pos, id.size(), std::string(id.size(), 'Z')), ++replaced;
        ASSERT_GT(replaced, 0) << "the cache holds the item's ID";
        std::ofstream(CacheFile(), std::ios::binary | std::ios::trunc) << bytes;
    }
    void HoldByHand(const TOtTaskClassPtr& cls, const std::string& idField) {
        std::ofstream(OnDisk(cls->Path()) / (idField + "#0#held#5#201603051430###.tsk"));
    }
};

TEST_F(IDCacheTest, AnIDHeldOnDiskIsNeverDrawnWhateverTheCacheHolds) {
    enum TCase { InTrustedCache, AddedByHandAfterCaching, RacyDirectoryWithStaleCache };
    for (TCase c : {InTrustedCache, AddedByHandAfterCaching, RacyDirectoryWithStaleCache})
        for (bool nested : {false, true}) {
            SCOPED_TRACE(testing::Message() << "case " << c << (nested ? ", nested" : ""));
            SetClock(c == RacyDirectoryWithStaleCache ? Racy : Settled);
            auto home = NewClass("Home " + std::to_string(c) + std::to_string(nested));
            NewClass("Work " + std::to_string(c) + std::to_string(nested));
            SetClock(c == RacyDirectoryWithStaleCache ? Racy : Settled);
            const unsigned seed = 40 + c * 2 + nested;
            const std::string taken = Replay(seed);
            const std::string idField = nested ? "1ZZ_" + taken : taken;
            if (c != AddedByHandAfterCaching)
                HoldByHand(home, idField);
            WriteCache();
            if (c == AddedByHandAfterCaching)
                HoldByHand(home, idField); // the directory's stat changes
            if (c == RacyDirectoryWithStaleCache)
                HideInCache(taken); // a change the stat could not show
            EXPECT_NE(DrawReplaying(seed), taken);
        }
}

// What the rules above guard: a settled, unchanged directory is not read
// again, its names come from the cache.
TEST_F(IDCacheTest, ASettledUnchangedDirectoryIsAnsweredFromTheCache) {
    SetClock(Settled);
    auto home = NewClass("Home");
    SetClock(Settled);
    const std::string taken = Replay(5);
    HoldByHand(home, taken);
    WriteCache();
    EXPECT_NE(DrawReplaying(5), taken);
    HideInCache(taken);
    EXPECT_EQ(DrawReplaying(5), taken);
}

TEST_F(IDCacheTest, AnUnreadableCacheFileGivesTheAnswerOfNoCache) {
    SetClock(Settled);
    auto home = NewClass("Home");
    NewClass("Work");
    SetClock(Settled);
    const std::string taken = Replay(9);
    HoldByHand(home, taken);
    // Each spoils a cache that, trusted in part or whole, would hide the ID.
    const std::vector<std::pair<const char*, std::function<std::string(std::string)>>> spoilers = {
        {"empty", [](std::string) { return std::string(); }},
        {"first line only", [](std::string s) { return s.substr(0, s.find('\n') + 1); }},
        {"cut in half", [](std::string s) { return s.substr(0, s.size() / 2); }},
        {"last line cut off",
         [](std::string s) { return s.substr(0, s.rfind('\n', s.size() - 2) + 1); }},
        {"last byte cut off", [](std::string s) { return s.substr(0, s.size() - 1); }},
        {"trailing bytes", [](std::string s) { return s + "x"; }},
        {"another format", [](std::string s) { return "x" + s; }},
        {"a directory short",
         [](std::string s) {
             const auto last = s.rfind('\n', s.size() - 2) + 1;
             return s.substr(0, last) + std::string("end 1\n");
         }},
    };
    for (const auto& [name, spoil] : spoilers) {
        SCOPED_TRACE(name);
        WriteCache();
        HideInCache(taken);
        const std::string spoiled = spoil(Content(CacheFile()));
        std::ofstream(CacheFile(), std::ios::binary | std::ios::trunc) << spoiled;
        const std::string withSpoiled = DrawReplaying(9);
        fs::remove(CacheFile());
        EXPECT_EQ(withSpoiled, DrawReplaying(9));
        EXPECT_NE(withSpoiled, taken);
    }
}

// Only what changed since it was cached is read again; a list that is gone
// holds no ID any more, and one that is new is read.
TEST_F(IDCacheTest, OnlyChangedDirectoriesAreReadAgain) {
    SetClock(Settled);
    auto home = NewClass("Home");
    auto work = NewClass("Work");
    auto away = NewClass("Away");
    SetClock(Settled);
    TOtTaskIDIndex index(TaskDataPath(), CacheFile());
    index.Refresh();
    EXPECT_EQ(index.DirectoriesRead(), 3u);
    EXPECT_EQ(fs::status(CacheFile()).permissions(), fs::perms::owner_read | fs::perms::owner_write)
        << "the names of the user's tasks";
    index.Refresh();
    EXPECT_EQ(index.DirectoriesRead(), 0u);
    EXPECT_TRUE(index.Holds(away->ID()));

    HoldByHand(home, "1ZZ_1AB");
    fs::remove_all(OnDisk(away->Path()));
    index.Refresh();
    EXPECT_EQ(index.DirectoriesRead(), 1u);
    EXPECT_TRUE(index.Holds("1AB"));
    EXPECT_TRUE(index.Holds("1ZZ"));
    EXPECT_FALSE(index.Holds("1ZZ_1AB")) << "a part, not the field";
    EXPECT_FALSE(index.Holds(away->ID()));
    auto later = NewClass("Later");
    index.Refresh();
    EXPECT_EQ(index.DirectoriesRead(), 1u);
    EXPECT_TRUE(index.Holds(later->ID()));
    EXPECT_TRUE(index.Holds(work->ID()));
}

TEST_F(RepositoryTest, DeleteTaskItem) {
    auto home = NewClass("Home");
    auto local = NewItem(home, "never uploaded");
    auto uploaded = NewItem(home, "uploaded");
    MarkInCloud(uploaded->ID());

    EXPECT_TRUE(Repo.DeleteTaskItem(local));
    EXPECT_FALSE(fs::exists(OnDisk(local->Path())));
    EXPECT_FALSE(Row(local->ID()));

    fs::remove(OnDisk(uploaded->Path())); // gone already: still true, still recorded
    EXPECT_TRUE(Repo.DeleteTaskItem(uploaded));
    EXPECT_EQ(Row(uploaded->ID())->IsDelete(), 1);
    EXPECT_FALSE(Repo.DeleteTaskItem(nullptr));
    EXPECT_EQ(home->TaskList().size(), 2u); // the objects stay where they were
}

// One process, two program directories used alternately: each repository
// writes only below its own paths and records only in its own queue.
TEST_F(RepositoryTest, TwoProgramDirectoriesSideBySideKeepTheirOwnTreesAndQueues) {
    test::TQueueTestDir other{"ot-store-other"};
    const TOtTaskRepository otherRepo{other.Paths()};
    const fs::path otherTree = other.Paths().TaskDataPath;

    auto home = NewClass("Home");
    Time->AdvanceSeconds(2);
    auto away = std::make_shared<TOtTaskClass>("Away");
    ASSERT_TRUE(otherRepo.CreateTaskClass(away));
    auto here = NewItem(home, "here");
    auto kept = NewItem(home, "kept");
    Time->AdvanceSeconds(2);
    auto there = std::make_shared<TOtTaskItem>("there", "", tsNotCompleted, 0, 0, away, nullptr);
    ASSERT_TRUE(otherRepo.CreateTaskItem(there));
    ASSERT_TRUE(Repo.DeleteTaskItem(here));
    EXPECT_NE(otherRepo.NewUniqueTaskID(), kept->ID());

    EXPECT_TRUE(fs::exists(OnDisk(kept->Path())));
    EXPECT_FALSE(fs::exists(OnDisk(here->Path())));
    EXPECT_FALSE(fs::exists(OnDisk(away->Path())));
    EXPECT_TRUE(fs::exists(otherTree / there->Path()));
    EXPECT_FALSE(fs::exists(otherTree / home->Path()));
    EXPECT_TRUE(Row(home->ID()));
    EXPECT_TRUE(Row(kept->ID()));
    EXPECT_FALSE(Row(away->ID()));
    EXPECT_FALSE(Row(there->ID()));
    EXPECT_EQ(RowCount(), 2u);
    TOtSyncQueueDBUtility otherDB(other.Paths().DBFileName);
    EXPECT_TRUE(otherDB.GetSyncQueueItem(away->ID()));
    EXPECT_TRUE(otherDB.GetSyncQueueItem(there->ID()));
    EXPECT_FALSE(otherDB.GetSyncQueueItem(home->ID()));
    EXPECT_FALSE(otherDB.GetSyncQueueItem(kept->ID()));
}

TEST(TaskLists, SortOrders) {
    auto cls = std::make_shared<TOtTaskClass>("1A", "c");
    struct SortCase {
        const char* id;
        int priority;
        int createdDay;
    } cases[] = {{"A", 5, 1}, {"B", 9, 2}, {"C", 5, 3}, {"D", 0, 4}};
    TOtTaskItemList list;
    for (const auto& s : cases) {
        auto item = std::make_shared<TOtTaskItem>(s.id, cls);
        item->SetID(s.id);
        item->SetPriority(s.priority);
        item->SetCreateDateTime(EncodeDate(2016, 3, s.createdDay));
        list.push_back(item);
    }
    auto ids = [&] {
        std::string s;
        for (const auto& i : list)
            s += i->ID();
        return s;
    };
    U::SortTaskItemList(list, tsfPriority, soDesc);
    EXPECT_EQ(ids(), "BCAD");
    U::SortTaskItemList(list, tsfCreateDateTime, soAsc);
    EXPECT_EQ(ids(), "ABCD");
    U::SortTaskItemList(list, tsfCreateDateTime, soDesc);
    EXPECT_EQ(ids(), "DCBA");
    U::SortTaskItemList(list, tsfPriority, soAsc);
    EXPECT_EQ(list.front()->ID(), "D");
    EXPECT_EQ(list.back()->ID(), "B");

    // Equal keys: creation time, then ID, whatever order the list had.
    for (const auto& [field, order] :
         {std::pair{tsfPriority, soDesc}, std::pair{tsfPriority, soAsc},
          std::pair{tsfCreateDateTime, soDesc}}) {
        TOtTaskItemList same;
        for (const char* id : {"N2", "N9", "N1", "N5"}) {
            auto item = std::make_shared<TOtTaskItem>(id, cls);
            item->SetID(id);
            item->SetPriority(5);
            item->SetCreateDateTime(EncodeDateTime(2016, 3, 1, 8, 0));
            same.push_back(item);
        }
        // One of them a minute later.
        same[1]->SetCreateDateTime(EncodeDateTime(2016, 3, 1, 8, 1));
        std::reverse(same.begin(), same.end());
        U::SortTaskItemList(same, field, order);
        std::string got;
        for (const auto& i : same)
            got += i->ID() + " ";
        EXPECT_EQ(got, order == soDesc ? "N9 N1 N2 N5 " : "N1 N2 N5 N9 ");
    }

    EXPECT_EQ(U::IndexOfTaskItemList("D", list), 0);
    EXPECT_EQ(U::IndexOfTaskItemList("d", list), -1);
    TOtTaskClassList classes = {std::make_shared<TOtTaskClass>("1A", "x"),
                                std::make_shared<TOtTaskClass>("2B", "y"),
                                std::make_shared<TOtTaskClass>("2B", "z")};
    EXPECT_EQ(U::IndexOfTaskClassList("2B", classes), 1);
    EXPECT_EQ(U::IndexOfTaskClassList("3C", classes), -1);
}

TEST(TaskLists, AssignTaskItem) {
    auto home = std::make_shared<TOtTaskClass>("1A", "Home");
    auto work = std::make_shared<TOtTaskClass>("2B", "Work");
    auto source =
        std::make_shared<TOtTaskItem>("source", "source notes", tsCompleted, EncodeDate(2016, 3, 7),
                                      EncodeTime(9, 15), work, nullptr);
    source->SetPriority(8);
    source->SetLevel(2);
    for (int type : {0, 1, 3, 7}) {
        auto target = std::make_shared<TOtTaskItem>("target", "target notes", tsNotCompleted, 0, 0,
                                                    home, nullptr);
        const std::string targetID = target->ID();
        target->SetID("XX");
        target->SetTitle("dirty");
        U::AssignTaskItem(source, target, type);
        const bool attrs = type == 0 || type == 3;
        const bool remarks = type == 1 || type == 3;
        EXPECT_EQ(target->ID(), attrs ? source->ID() : "XX") << type;
        EXPECT_EQ(target->Title(), attrs ? "source" : "dirty") << type;
        EXPECT_EQ(target->Status(), attrs ? tsCompleted : tsNotCompleted) << type;
        EXPECT_EQ(target->Priority(), attrs ? 8 : 5) << type;
        EXPECT_EQ(target->Level(), attrs ? 2 : 1) << type;
        EXPECT_EQ(target->TaskClass(), attrs ? work : home) << type;
        EXPECT_DOUBLE_EQ(target->ExpirationDate(), attrs ? EncodeDate(2016, 3, 7) : 0) << type;
        EXPECT_EQ(target->Remarks(), remarks ? "source notes" : "target notes") << type;
        EXPECT_FALSE(target->IsDirty()) << type;
        EXPECT_EQ(target->OldFileName(), target->FileName()) << type;
    }
}
