// Creating the queue database, at build time and in tests, and opening it.

#include "common/FileUtil.h"
#include "support/QueueTestDir.h"
#include "syncqueue/SQLiteDB.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <filesystem>
#include <vector>

using namespace ot;
namespace fs = std::filesystem;

namespace {

// The table's columns with their declared types and defaults, as SQLite
// reports them.
std::vector<std::string> ColumnsOf(const std::string& file) {
    sqlite3* db = nullptr;
    std::vector<std::string> out;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "pragma table_info([SyncQueue])", -1, &st, nullptr);
        while (st && sqlite3_step(st) == SQLITE_ROW) {
            auto text = [&](int i) {
                const auto* t = sqlite3_column_text(st, i);
                return std::string(t ? reinterpret_cast<const char*>(t) : "NULL");
            };
            out.push_back(text(1) + " " + text(2) + " " + text(4) + (text(5) == "1" ? " PK" : ""));
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return out;
}

const std::vector<std::string> kExpectedColumns = {
    "TaskItemID TEXT NULL PK",
    "TaskItemPath TEXT NULL",
    "TaskClassPath TEXT NULL",
    "TaskItemPath_Old TEXT NULL",
    "TaskClassPath_Old TEXT NULL",
    "KuaipanFileID TEXT NULL",
    "KuaipanModifyTime DATETIME NULL",
    "SyncType INTEGER 0",
    "IsDelete INTEGER 0",
    "UpdateDateTime DATETIME datetime('now','localtime')",
};

int RunMakeDb(const fs::path& file) {
    const std::string cmd = std::string("'") + OT_MAKEDB + "' '" + file.string() + "' >/dev/null";
    return std::system(cmd.c_str());
}

} // namespace

TEST(QueueDatabase, CreatedWithTheTableAndRefusesToReplaceAFile) {
    test::TQueueTestDir dir;
    EXPECT_EQ(ColumnsOf(dir.Paths().DBFileName), kExpectedColumns);

    {
        TSQLiteDB db(dir.Paths().DBFileName);
        db.Execute("insert into [SyncQueue] ([TaskItemID]) values ('keep')");
    }
    std::string error;
    EXPECT_FALSE(CreateSyncQueueDatabase(dir.Paths().DBFileName, &error));
    EXPECT_NE(error.find(dir.Paths().DBFileName), std::string::npos) << error;
    TSQLiteDB db(dir.Paths().DBFileName);
    TSQLiteStatement st(db, "select count(*) from [SyncQueue] where [TaskItemID] = 'keep'");
    ASSERT_TRUE(st.Step());
    EXPECT_EQ(st.ColumnInt64(0), 1);
}

TEST(QueueDatabase, BuildStepCreatesAMissingFileAndLeavesAnExistingOne) {
    test::TQueueTestDir dir;
    const fs::path fresh = dir.Root() / "other" / "userdata" / "1" / "otTodolist.db";
    ASSERT_EQ(RunMakeDb(fresh), 0);
    EXPECT_EQ(ColumnsOf(fresh.string()), kExpectedColumns);

    // Whatever is there already, database or not, stays byte for byte.
    const fs::path existing = dir.Root() / "existing.db";
    ASSERT_TRUE(WriteFileAtomic(existing, "not a database, but the user's file"));
    ASSERT_EQ(RunMakeDb(existing), 0);
    std::string content;
    ASSERT_TRUE(ReadWholeFile(existing, content));
    EXPECT_EQ(content, "not a database, but the user's file");
    // No temporary file is left beside it.
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.Root()))
        ++entries;
    EXPECT_EQ(entries, 3u); // userdata, other, existing.db
}

TEST(QueueDatabase, TheBuiltProgramDirectoryHasTheDatabase) {
    EXPECT_EQ(ColumnsOf(std::string(OT_PROGRAM_DIR) + "/userdata/1/otTodolist.db"),
              kExpectedColumns);
}

TEST(QueueDatabase, OpeningNeverCreatesAndNamesTheFileInErrors) {
    test::TQueueTestDir dir;
    enum TKind { kMissing, kTextFile, kDirectory };
    const struct {
        const char* name;
        TKind kind;
    } cases[] = {{"missing.db", kMissing}, {"text.db", kTextFile}, {"dir.db", kDirectory}};
    for (const auto& c : cases) {
        const fs::path file = dir.Root() / c.name;
        if (c.kind == kDirectory) {
            fs::create_directory(file);
        } else if (c.kind == kTextFile) {
            ASSERT_TRUE(WriteFileAtomic(
                file, "This is a text file, long enough to hold the header of a database."));
        }
        try {
            TSQLiteDB db(file.string());
            ADD_FAILURE() << c.name << " opened";
        } catch (const ESyncQueueDBError& e) {
            EXPECT_NE(std::string(e.what()).find(file.string()), std::string::npos) << e.what();
        }
        if (c.kind == kMissing) {
            EXPECT_FALSE(fs::exists(file)) << c.name;
        }
    }
}
