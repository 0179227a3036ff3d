// The cloud server's storage: paths, the file tree, times, the recycle bin, accounts
// and tokens, and the start-up reconciliation of content files with the metadata.

#include "CloudPath.h"
#include "PgCloudStore.h"
#include "SqliteCloudStore.h"
#include "common/Clock.h"
#include "common/DateTime.h"
#include "common/FileUtil.h"
#include "support/PostgresInstance.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

namespace fs = std::filesystem;
using namespace ot::server;
using Path = std::vector<std::string>;

namespace {

struct PathCase {
    const char* Text;
    bool Ok;
    Path Parts;
};

TEST(CloudServerPath, ParsesAndRefuses) {
    const PathCase cases[] = {
        {"", true, {}},
        {"/", true, {}},
        {"/Work", true, {"Work"}},
        {"Work/a b.tsk", true, {"Work", "a b.tsk"}},
        {"/任务/x+y", true, {"任务", "x+y"}},
        {"/Work/", false, {}},
        {"//Work", false, {}},
        {"/a//b", false, {}},
        {"/a/../b", false, {}},
        {"/..", false, {}},
        {"/./a", false, {}},
        {"/a\nb", false, {}},
        {"/a\x7f", false, {}},
        {"/a\xff", false, {}},        // not UTF-8
        {"/\xc0\xaf", false, {}},     // overlong "/"
        {"/\xed\xa0\x80", false, {}}, // a surrogate
    };
    for (const auto& c : cases) {
        auto parsed = ParseCloudPath(c.Text);
        EXPECT_EQ(parsed.has_value(), c.Ok) << c.Text;
        if (parsed && c.Ok) {
            EXPECT_EQ(*parsed, c.Parts) << c.Text;
        }
    }
    EXPECT_FALSE(ParseCloudPath("/" + std::string(256, 'a')));
    EXPECT_TRUE(ParseCloudPath("/" + std::string(255, 'a')));
    EXPECT_EQ(JoinCloudPath({"Work", "a.tsk"}), "/Work/a.tsk");
    EXPECT_EQ(JoinCloudPath({}), "/");
    EXPECT_EQ(FormatCloudTime(1356998400), "2013-01-01 00:00:00");
}

enum class Kind { Files, Postgres };

std::string KindName(const ::testing::TestParamInfo<Kind>& info) {
    // "PostgreSQL" in a name puts the case with the others that need the database.
    return info.param == Kind::Files ? "SqliteAndFiles" : "PostgreSQL";
}

// A store with the users alice and bob and alice's folder for "app", in a temporary
// directory of its own (and, for PostgreSQL, a database of its own).
class StoreFixture : public ::testing::Test {
protected:
    void Start(Kind kind) {
        if (kind == Kind::Postgres) {
            std::string why;
            auto* pg = ot::test::PostgresInstance::Shared(why);
            if (!pg)
                GTEST_SKIP() << why;
            Uri = pg->NewDatabase();
        }
        std::string tmpl = (fs::temp_directory_path() / "ot-store-test-XXXXXX").string();
        ASSERT_TRUE(mkdtemp(tmpl.data()));
        Dir = tmpl;
        Open();
        ASSERT_TRUE(Store->AddUser("alice", "hash"));
        ASSERT_TRUE(Store->AddUser("bob", "hash"));
        Alice = Store->FindUser("alice")->Id;
        Bob = Store->FindUser("bob")->Id;
        Root = Store->AppFolder(Alice, "app");
    }
    void TearDown() override {
        Store.reset();
        if (!Dir.empty())
            fs::remove_all(Dir);
    }
    void Open(StoreLimits limits = {}) {
        Store.reset();
        Store = OpenCloudStore(Uri, Dir, limits);
    }
    // Another store on the same data: a second server of the same database.
    std::unique_ptr<CloudStore> Another(StoreLimits limits = {}) {
        return OpenCloudStore(Uri, Dir, limits);
    }
    // The file store's own view; nullptr for PostgreSQL.
    SqliteCloudStore* File() { return dynamic_cast<SqliteCloudStore*>(Store.get()); }
    std::string Read(const Path& p) {
        std::string content;
        auto r = Store->Download(Root, p, content);
        EXPECT_EQ(r.Status, StoreStatus::Ok);
        return content;
    }

    std::string Uri; // empty: SQLite and files
    fs::path Dir;
    std::unique_ptr<CloudStore> Store;
    std::shared_ptr<ot::FixedClock> Clock =
        std::make_shared<ot::FixedClock>(ot::EncodeDateTime(2013, 5, 1, 12, 0, 0, 0));
    ot::ScopedClock UseClock{Clock};
    std::int64_t Alice = 0, Bob = 0, Root = 0;
};

// What every store must do alike.
class CloudServerStore : public StoreFixture, public ::testing::WithParamInterface<Kind> {
protected:
    void SetUp() override { Start(GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(EachStore, CloudServerStore,
                         ::testing::Values(Kind::Files, Kind::Postgres), KindName);

// What only the store of SQLite and files does: its files and its start-up.
class CloudServerFileStore : public StoreFixture {
protected:
    void SetUp() override { Start(Kind::Files); }
};

// Several stores on one PostgreSQL database, as several servers have them.
class CloudServerPostgreSQLShared : public StoreFixture {
protected:
    void SetUp() override { Start(Kind::Postgres); }
};

TEST_P(CloudServerStore, FolderAndFileRoundTrip) {
    auto folder = Store->CreateFolder(Root, {"Work"});
    ASSERT_EQ(folder.Status, StoreStatus::Ok);
    EXPECT_TRUE(folder.Node.IsFolder);
    auto up = Store->Upload(Root, {"Work", "a b.tsk"}, "hello", true);
    ASSERT_EQ(up.Status, StoreStatus::Ok);
    EXPECT_EQ(up.Node.Path, "/Work/a b.tsk");
    EXPECT_EQ(up.Node.Size, 5);
    EXPECT_EQ(up.Node.Hash, "aaf4c61ddcc5e8a2dabede0f3b482cd9aea9434d");

    auto listing = Store->Metadata(Root, {"Work"}, true);
    ASSERT_EQ(listing.Status, StoreStatus::Ok);
    ASSERT_EQ(listing.Children.size(), 1u);
    EXPECT_EQ(listing.Children[0].Id, up.Node.Id);
    EXPECT_EQ(listing.Children[0].Name, "a b.tsk");
    EXPECT_EQ(Read({"Work", "a b.tsk"}), "hello");

    // Creating a folder that exists answers the same folder.
    EXPECT_EQ(Store->CreateFolder(Root, {"Work"}).Node.Id, folder.Node.Id);
    // The root lists its folder.
    auto top = Store->Metadata(Root, {}, true);
    ASSERT_EQ(top.Children.size(), 1u);
    EXPECT_EQ(top.Children[0].Path, "/Work");
}

TEST_P(CloudServerStore, RefusesWhatCannotBeDone) {
    ASSERT_EQ(Store->CreateFolder(Root, {"Work"}).Status, StoreStatus::Ok);
    ASSERT_EQ(Store->CreateFolder(Root, {"Work", "Sub"}).Status, StoreStatus::Ok);
    ASSERT_EQ(Store->Upload(Root, {"Work", "a"}, "1", true).Status, StoreStatus::Ok);
    ASSERT_EQ(Store->Upload(Root, {"Work", "b"}, "2", true).Status, StoreStatus::Ok);

    struct Case {
        const char* What;
        StoreStatus Got;
        StoreStatus Want;
    };
    const Case cases[] = {
        {"upload into a missing folder", Store->Upload(Root, {"Nope", "a"}, "x", true).Status,
         StoreStatus::ParentNotFound},
        {"upload below a file", Store->Upload(Root, {"Work", "a", "x"}, "x", true).Status,
         StoreStatus::NotAFolder},
        {"upload over a folder", Store->Upload(Root, {"Work", "Sub"}, "x", true).Status,
         StoreStatus::IsAFolder},
        {"upload without overwrite", Store->Upload(Root, {"Work", "a"}, "x", false).Status,
         StoreStatus::Exists},
        {"folder over a file", Store->CreateFolder(Root, {"Work", "a"}).Status,
         StoreStatus::Exists},
        {"move onto an existing file", Store->Move(Root, {"Work", "a"}, {"Work", "b"}).Status,
         StoreStatus::Exists},
        {"move a missing file", Store->Move(Root, {"Work", "zz"}, {"Work", "y"}).Status,
         StoreStatus::NotFound},
        {"move a folder into itself", Store->Move(Root, {"Work"}, {"Work", "Sub", "W"}).Status,
         StoreStatus::Forbidden},
        {"copy a folder into itself", Store->Copy(Root, {"Work"}, {"Work", "Sub", "W"}).Status,
         StoreStatus::Forbidden},
        {"move the folder itself", Store->Move(Root, {}, {"X"}).Status, StoreStatus::Forbidden},
        {"delete the folder itself", Store->Delete(Root, {}, true).Status, StoreStatus::Forbidden},
        {"delete a missing file", Store->Delete(Root, {"Work", "zz"}, true).Status,
         StoreStatus::NotFound},
        {"download a folder",
         [&] {
             std::string c;
             return Store->Download(Root, {"Work"}, c).Status;
         }(),
         StoreStatus::IsAFolder},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.Got, c.Want) << c.What;
    // Nothing above changed the files.
    EXPECT_EQ(Read({"Work", "a"}), "1");
    EXPECT_EQ(Read({"Work", "b"}), "2");
}

TEST_P(CloudServerStore, ModifyTimeIncreasesWithEveryChangeEvenWithinOneSecond) {
    ASSERT_EQ(Store->CreateFolder(Root, {"W"}).Status, StoreStatus::Ok);
    auto first = Store->Upload(Root, {"W", "f"}, "1", true).Node;
    auto second = Store->Upload(Root, {"W", "f"}, "2", true).Node;
    auto third = Store->Upload(Root, {"W", "f"}, "3", true).Node;
    EXPECT_EQ(first.Id, second.Id);
    EXPECT_LT(first.ModifyTime, second.ModifyTime);
    EXPECT_LT(second.ModifyTime, third.ModifyTime);
    EXPECT_EQ(third.CreateTime, first.CreateTime);
    EXPECT_LT(first.Rev, second.Rev);
    EXPECT_LT(second.Rev, third.Rev);
    // Once the wall clock has passed the stored time, the stored time follows it again.
    Clock->AdvanceSeconds(60);
    auto later = Store->Upload(Root, {"W", "f"}, "4", true).Node;
    EXPECT_EQ(later.ModifyTime, first.ModifyTime + 60);
    // A move changes neither the ID nor the time, but the path has a new version.
    auto moved = Store->Move(Root, {"W", "f"}, {"W", "g"});
    ASSERT_EQ(moved.Status, StoreStatus::Ok);
    EXPECT_EQ(moved.Node.Id, later.Id);
    EXPECT_EQ(moved.Node.ModifyTime, later.ModifyTime);
    EXPECT_GT(moved.Node.Rev, later.Rev);
    EXPECT_EQ(Read({"W", "g"}), "4");
}

// A change based on a revision is made only while the node is still at it.
TEST_P(CloudServerStore, ChangesBasedOnARevisionAreRefusedOnceTheNodeMoved) {
    ASSERT_EQ(Store->CreateFolder(Root, {"W"}).Status, StoreStatus::Ok);
    enum class Op { Upload, Move, Delete };
    struct Case {
        const char* What;
        Op Do;
        bool Stale;   // based on the revision before the last upload
        bool Missing; // the node is gone first
        StoreStatus Want;
    } cases[] = {
        {"upload at the current revision", Op::Upload, false, false, StoreStatus::Ok},
        {"upload at an old revision", Op::Upload, true, false, StoreStatus::Changed},
        {"upload of a node that is gone", Op::Upload, false, true, StoreStatus::Changed},
        {"move at the current revision", Op::Move, false, false, StoreStatus::Ok},
        {"move at an old revision", Op::Move, true, false, StoreStatus::Changed},
        {"move of a node that is gone", Op::Move, false, true, StoreStatus::Changed},
        {"delete at the current revision", Op::Delete, false, false, StoreStatus::Ok},
        {"delete at an old revision", Op::Delete, true, false, StoreStatus::Changed},
        {"delete of a node that is gone", Op::Delete, false, true, StoreStatus::Changed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        Store->Delete(Root, {"W", "f"}, false);
        Store->Delete(Root, {"W", "g"}, false);
        const auto old = Store->Upload(Root, {"W", "f"}, "old", true).Node;
        const auto now = Store->Upload(Root, {"W", "f"}, "now", true).Node;
        if (c.Missing) {
            ASSERT_EQ(Store->Delete(Root, {"W", "f"}, true).Status, StoreStatus::Ok);
        }
        const std::int64_t basis = c.Stale ? old.Rev : now.Rev;
        NodeResult r;
        switch (c.Do) {
        case Op::Upload:
            r = Store->Upload(Root, {"W", "f"}, "new", true, basis);
            break;
        case Op::Move:
            r = Store->Move(Root, {"W", "f"}, {"W", "g"}, basis);
            break;
        case Op::Delete:
            r = Store->Delete(Root, {"W", "f"}, false, basis);
            break;
        }
        EXPECT_EQ(r.Status, c.Want);
        if (c.Want == StoreStatus::Changed) {
            // The refusal names what is there now and changes nothing.
            EXPECT_EQ(r.Node.Id, c.Missing ? 0 : now.Id);
            EXPECT_EQ(r.Node.Rev, c.Missing ? 0 : now.Rev);
            auto f = Store->Metadata(Root, {"W", "f"}, false);
            EXPECT_EQ(f.Status, c.Missing ? StoreStatus::NotFound : StoreStatus::Ok);
            if (!c.Missing) {
                EXPECT_EQ(Read({"W", "f"}), "now");
            }
            EXPECT_EQ(Store->Metadata(Root, {"W", "g"}, false).Status, StoreStatus::NotFound);
        } else if (c.Do != Op::Delete) {
            EXPECT_GT(r.Node.Rev, now.Rev);
        }
    }
    EXPECT_EQ(Store->ContentProblems(), std::vector<std::string>{});
}

// A path deleted and made again, even after the store was reopened, never shows a
// revision an earlier version of it had: a client holding the old one must be refused.
TEST_P(CloudServerStore, RevisionsAreNeverReused) {
    std::set<std::int64_t> seen;
    for (int round = 0; round < 3; ++round) {
        auto up = Store->Upload(Root, {"f"}, "x", true);
        ASSERT_EQ(up.Status, StoreStatus::Ok);
        EXPECT_TRUE(seen.insert(up.Node.Rev).second) << up.Node.Rev;
        ASSERT_EQ(Store->Delete(Root, {"f"}, round % 2 == 0).Status, StoreStatus::Ok);
        ASSERT_GE(Store->PurgeRecycleBin(ot::UnixNow() + 1), 0);
        Open();
    }
}

// Two clients based on the same revision: one wins, the other is told the file changed.
TEST_P(CloudServerStore, OnlyOneOfTwoRacingChangesOnOneRevisionWins) {
    for (int round = 0; round < 20; ++round) {
        const auto base = Store->Upload(Root, {"f"}, "base", true).Node;
        std::atomic<int> ok{0}, changed{0};
        auto change = [&](int which) {
            auto r = which == 0   ? Store->Upload(Root, {"f"}, "mine", true, base.Rev)
                     : which == 1 ? Store->Move(Root, {"f"}, {"g"}, base.Rev)
                                  : Store->Delete(Root, {"f"}, true, base.Rev);
            (r.Status == StoreStatus::Ok ? ok : changed)++;
        };
        std::thread a(change, round % 3), b(change, (round + 1) % 3);
        a.join();
        b.join();
        EXPECT_EQ(ok.load(), 1);
        EXPECT_EQ(changed.load(), 1);
        Store->Delete(Root, {"f"}, false);
        Store->Delete(Root, {"g"}, false);
    }
}

TEST_P(CloudServerStore, TheDataFingerprintIsKeptUntilRenewed) {
    const std::string first = Store->DataFingerprint();
    EXPECT_EQ(first.size(), 32u);
    Open();
    EXPECT_EQ(Store->DataFingerprint(), first);
    EXPECT_FALSE(Store->FoundCopiedDatabase());
    const std::string renewed = Store->RenewDataFingerprint();
    EXPECT_NE(renewed, first);
    Open();
    EXPECT_EQ(Store->DataFingerprint(), renewed);
}

// A copy of the data directory put back in its place is noticed at start-up.
TEST_F(CloudServerFileStore, ACopyPutBackInPlaceGetsANewFingerprint) {
    const std::string renewed = Store->RenewDataFingerprint();
    ASSERT_EQ(Store->Upload(Root, {"kept"}, "data", true).Status, StoreStatus::Ok);
    Store.reset();
    const fs::path copy = Dir.string() + "-copy";
    fs::copy(Dir, copy, fs::copy_options::recursive);
    fs::remove_all(Dir);
    fs::rename(copy, Dir);
    Open();
    EXPECT_TRUE(Store->FoundCopiedDatabase());
    EXPECT_NE(Store->DataFingerprint(), renewed);
    EXPECT_EQ(Read({"kept"}), "data");
    const std::string afterRestore = Store->DataFingerprint();
    Open();
    EXPECT_FALSE(Store->FoundCopiedDatabase());
    EXPECT_EQ(Store->DataFingerprint(), afterRestore);
}

TEST_P(CloudServerStore, CopyOwnsItsContent) {
    ASSERT_EQ(Store->CreateFolder(Root, {"A"}).Status, StoreStatus::Ok);
    ASSERT_EQ(Store->Upload(Root, {"A", "f"}, "data", true).Status, StoreStatus::Ok);
    auto copy = Store->Copy(Root, {"A"}, {"B"});
    ASSERT_EQ(copy.Status, StoreStatus::Ok);
    ASSERT_EQ(Store->Delete(Root, {"A"}, false).Status, StoreStatus::Ok);
    EXPECT_EQ(Read({"B", "f"}), "data");
    EXPECT_EQ(Store->ContentProblems(), std::vector<std::string>{});
}

TEST_P(CloudServerStore, RecycleBinKeepsContentUntilPurged) {
    ASSERT_EQ(Store->CreateFolder(Root, {"A"}).Status, StoreStatus::Ok);
    ASSERT_EQ(Store->Upload(Root, {"A", "f"}, "12345", true).Status, StoreStatus::Ok);
    ASSERT_EQ(Store->Upload(Root, {"g"}, "678", true).Status, StoreStatus::Ok);

    ASSERT_EQ(Store->Delete(Root, {"A"}, true).Status, StoreStatus::Ok);
    EXPECT_EQ(Store->Metadata(Root, {"A", "f"}, false).Status, StoreStatus::NotFound);
    auto usage = Store->Usage(Alice);
    EXPECT_EQ(usage.Used, 3);
    EXPECT_EQ(usage.Recycled, 5);
    // The name is free again.
    EXPECT_EQ(Store->CreateFolder(Root, {"A"}).Status, StoreStatus::Ok);
    if (File()) {
        EXPECT_EQ(File()->ContentFilesOnDisk().size(), 2u);
    }

    // Deleting without the recycle bin removes the content at once.
    ASSERT_EQ(Store->Delete(Root, {"g"}, false).Status, StoreStatus::Ok);
    if (File()) {
        EXPECT_EQ(File()->ContentFilesOnDisk().size(), 1u);
    }
    EXPECT_EQ(Store->PurgeRecycleBin(ot::UnixNow() + 1), 2); // the folder and its file
    if (File()) {
        EXPECT_TRUE(File()->ContentFilesOnDisk().empty());
    }
    EXPECT_EQ(Store->ContentProblems(), std::vector<std::string>{});
    EXPECT_EQ(Store->Usage(Alice).Recycled, 0);
}

TEST_P(CloudServerStore, RecycleBinCountsTowardTheQuota) {
    Open({/*MaxFileSize*/ 10, /*QuotaBytes*/ 15});
    ASSERT_EQ(Store->Upload(Root, {"a"}, std::string(10, 'x'), true).Status, StoreStatus::Ok);
    ASSERT_EQ(Store->Upload(Root, {"b"}, std::string(5, 'x'), true).Status, StoreStatus::Ok);
    // At the quota, deleting into the recycle bin still works ...
    ASSERT_EQ(Store->Delete(Root, {"a"}, true).Status, StoreStatus::Ok);
    // ... but what it holds still counts, for uploads and copies alike.
    EXPECT_EQ(Store->Upload(Root, {"c"}, "x", true).Status, StoreStatus::QuotaExceeded);
    EXPECT_EQ(Store->Copy(Root, {"b"}, {"d"}).Status, StoreStatus::QuotaExceeded);
    EXPECT_EQ(Store->PurgeRecycleBin(ot::UnixNow() + 1), 1);
    EXPECT_EQ(Store->Upload(Root, {"c"}, std::string(10, 'x'), true).Status, StoreStatus::Ok);
}

TEST_F(CloudServerFileStore, DataDirectoryAndDatabaseAreCreatedPrivate) {
    const fs::path data = Dir / "new" / "data";
    SqliteCloudStore fresh(data);
    ASSERT_TRUE(fresh.AddUser("carol", "hash"));
    struct Case {
        fs::path Path;
        unsigned Mode;
    } cases[] = {
        {data, 0700},
        {data / "files", 0700},
        {data / "cloud.db", 0600},
        {data / "cloud.db-wal", 0600},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Path.string());
        EXPECT_EQ(static_cast<unsigned>(fs::status(c.Path).permissions() & fs::perms::all), c.Mode);
    }
}

TEST_P(CloudServerStore, UsersAndApplicationsHaveSeparateFolders) {
    std::int64_t bobRoot = Store->AppFolder(Bob, "app");
    std::int64_t aliceOther = Store->AppFolder(Alice, "other-app");
    EXPECT_NE(bobRoot, Root);
    EXPECT_NE(aliceOther, Root);
    EXPECT_EQ(Store->AppFolder(Alice, "app"), Root);
    ASSERT_EQ(Store->Upload(Root, {"secret"}, "alice's", true).Status, StoreStatus::Ok);
    EXPECT_EQ(Store->Metadata(bobRoot, {"secret"}, false).Status, StoreStatus::NotFound);
    EXPECT_EQ(Store->Metadata(aliceOther, {"secret"}, false).Status, StoreStatus::NotFound);
    ASSERT_EQ(Store->Upload(bobRoot, {"secret"}, "bob's", true).Status, StoreStatus::Ok);
    EXPECT_EQ(Read({"secret"}), "alice's");
    EXPECT_EQ(Store->Usage(Bob).Used, 5);
}

TEST_P(CloudServerStore, LimitsAreKept) {
    Open({/*MaxFileSize*/ 10, /*QuotaBytes*/ 15});
    ASSERT_EQ(Store->Upload(Root, {"a"}, std::string(10, 'x'), true).Status, StoreStatus::Ok);
    EXPECT_EQ(Store->Upload(Root, {"b"}, std::string(11, 'x'), true).Status, StoreStatus::TooLarge);
    EXPECT_EQ(Store->Upload(Root, {"b"}, std::string(6, 'x'), true).Status,
              StoreStatus::QuotaExceeded);
    // Replacing a file counts only the difference.
    EXPECT_EQ(Store->Upload(Root, {"a"}, std::string(9, 'y'), true).Status, StoreStatus::Ok);
    EXPECT_EQ(Store->Copy(Root, {"a"}, {"c"}).Status, StoreStatus::QuotaExceeded);
    EXPECT_EQ(Store->ContentProblems(), std::vector<std::string>{});
}

TEST_F(CloudServerFileStore, StartUpRemovesWhatNoMetadataNames) {
    ASSERT_EQ(Store->Upload(Root, {"keep"}, "kept", true).Status, StoreStatus::Ok);
    ASSERT_EQ(Store->Upload(Root, {"lost"}, "gone", true).Status, StoreStatus::Ok);
    auto files = File()->ReferencedContentFiles();
    ASSERT_EQ(files.size(), 2u);
    // A content file whose metadata never got committed, an unfinished write, and a
    // content file that vanished.
    fs::create_directories(Dir / "files" / "zz");
    ASSERT_TRUE(ot::WriteFileAtomic(Dir / "files" / "zz" / "zzorphan", "orphan"));
    ASSERT_TRUE(ot::WriteFileAtomic(Dir / "files" / "zz" / ".zzpart.tmp123", "half"));
    std::string lostName;
    for (const auto& f : files) {
        std::string c;
        ASSERT_TRUE(ot::ReadWholeFile(Dir / "files" / f.substr(0, 2) / f, c));
        if (c == "gone")
            lostName = f;
    }
    fs::remove(Dir / "files" / lostName.substr(0, 2) / lostName);

    Open();
    const auto& rec = Store->LastReconcile();
    EXPECT_EQ(rec.OrphanFiles, 1);
    EXPECT_EQ(rec.TempFiles, 1);
    EXPECT_EQ(rec.MissingContent, 1);
    EXPECT_EQ(Store->ContentProblems(), std::vector<std::string>{});
    EXPECT_EQ(Read({"keep"}), "kept");
    EXPECT_EQ(Store->Metadata(Root, {"lost"}, false).Status, StoreStatus::NotFound);
}

TEST_P(CloudServerStore, RequestTokenIsAuthorisedAndExchangedOnce) {
    auto rt = Store->CreateRequestToken("app", 100);
    EXPECT_EQ(rt.Key.size(), 32u);
    auto verifier = Store->AuthoriseRequestToken(rt.Key, Alice);
    ASSERT_TRUE(verifier);
    EXPECT_FALSE(Store->AuthoriseRequestToken(rt.Key, Bob)) << "authorised twice";
    EXPECT_FALSE(Store->ConsumeRequestToken(rt.Key, "wrong"));
    EXPECT_EQ(Store->ConsumeRequestToken(rt.Key, *verifier), Alice);
    EXPECT_FALSE(Store->ConsumeRequestToken(rt.Key, *verifier)) << "exchanged twice";
    EXPECT_FALSE(Store->FindRequestToken(rt.Key));

    auto unauthorised = Store->CreateRequestToken("app", 100);
    EXPECT_FALSE(Store->ConsumeRequestToken(unauthorised.Key, ""));
    // A consumer has so many waiting to be exchanged, no more; old ones make room.
    EXPECT_TRUE(Store->CreateRequestToken("app", 100, 2).Key.size());
    EXPECT_TRUE(Store->CreateRequestToken("app", 100, 2).Key.empty());
    EXPECT_TRUE(Store->CreateRequestToken("other", 100, 2).Key.size());
    EXPECT_EQ(Store->PurgeRequestTokens(101), 3);
    EXPECT_TRUE(Store->CreateRequestToken("app", 200, 2).Key.size());

    // Revoking ends the user's access tokens and the request tokens the user authorised,
    // and leaves everybody else's; a new password does the same.
    for (bool newPassword : {false, true}) {
        SCOPED_TRACE(newPassword ? "set-password" : "revoke-tokens");
        auto at = Store->CreateAccessToken("app", Alice, 100, 0);
        auto bobs = Store->CreateAccessToken("app", Bob, 100, 0);
        auto authorised = Store->CreateRequestToken("app", 100);
        auto code = Store->AuthoriseRequestToken(authorised.Key, Alice);
        ASSERT_TRUE(code);
        auto pending = Store->CreateRequestToken("app", 100);
        if (newPassword) {
            ASSERT_TRUE(Store->SetPasswordHash("alice", "new hash"));
        } else {
            EXPECT_EQ(Store->RevokeTokens(Alice), 2);
        }
        EXPECT_TRUE(Store->FindAccessToken(at.Key)->Revoked);
        EXPECT_FALSE(Store->FindAccessToken(bobs.Key)->Revoked);
        EXPECT_FALSE(Store->ConsumeRequestToken(authorised.Key, *code));
        EXPECT_TRUE(Store->FindRequestToken(pending.Key));
    }
}

// A change made through one store is seen at once through the other: the listing cache
// of every server goes by the change count, which lives in the database.
TEST_F(CloudServerPostgreSQLShared, ChangesReachEveryServerAtOnce) {
    auto other = Another();
    const std::uint64_t before = Store->ChangeCount(Root);
    ASSERT_EQ(other->CreateFolder(Root, {"W"}).Status, StoreStatus::Ok);
    const std::uint64_t afterFolder = Store->ChangeCount(Root);
    EXPECT_GT(afterFolder, before);
    ASSERT_EQ(other->Upload(Root, {"W", "f"}, "from the other", true).Status, StoreStatus::Ok);
    EXPECT_GT(Store->ChangeCount(Root), afterFolder);
    auto listing = Store->Metadata(Root, {"W"}, true);
    ASSERT_EQ(listing.Children.size(), 1u);
    EXPECT_EQ(Read({"W", "f"}), "from the other");
    // Another user's folder counts apart.
    const std::int64_t bobRoot = Store->AppFolder(Bob, "app");
    const std::uint64_t bobs = Store->ChangeCount(bobRoot);
    ASSERT_EQ(other->Delete(Root, {"W", "f"}, true).Status, StoreStatus::Ok);
    EXPECT_EQ(Store->ChangeCount(bobRoot), bobs);
    EXPECT_TRUE(Store->Metadata(Root, {"W"}, true).Children.empty());
    // Both know the same application folder.
    EXPECT_EQ(other->AppFolder(Alice, "app"), Root);
}

// Uploads racing on two servers cannot take a user past the quota together, and two
// changes based on one revision cannot both win.
TEST_F(CloudServerPostgreSQLShared, QuotaAndRevisionsHoldAcrossServers) {
    const StoreLimits limits{/*MaxFileSize*/ 60, /*QuotaBytes*/ 100};
    Open(limits);
    auto other = Another(limits);
    std::atomic<int> stored{0}, refused{0};
    auto upload = [&](CloudStore* store, int which) {
        for (int i = 0; i < 6; ++i) {
            auto r = store->Upload(Root, {"f" + std::to_string(which) + "-" + std::to_string(i)},
                                   std::string(40, 'x'), true);
            (r.Status == StoreStatus::Ok ? stored : refused)++;
            EXPECT_TRUE(r.Status == StoreStatus::Ok || r.Status == StoreStatus::QuotaExceeded);
        }
    };
    std::thread a(upload, Store.get(), 0), b(upload, other.get(), 1);
    a.join();
    b.join();
    EXPECT_EQ(stored.load(), 2);
    EXPECT_EQ(refused.load(), 10);
    EXPECT_EQ(Store->Usage(Alice).Used, 80);

    for (int round = 0; round < 10; ++round) {
        const auto base = Store->Upload(Root, {"r"}, "base", true).Node;
        std::atomic<int> ok{0}, changed{0};
        auto change = [&](CloudStore* store, int which) {
            auto r = which == 0   ? store->Upload(Root, {"r"}, "mine", true, base.Rev)
                     : which == 1 ? store->Move(Root, {"r"}, {"s"}, base.Rev)
                                  : store->Delete(Root, {"r"}, true, base.Rev);
            (r.Status == StoreStatus::Ok ? ok : changed)++;
        };
        std::thread x(change, Store.get(), round % 3), y(change, other.get(), (round + 1) % 3);
        x.join();
        y.join();
        EXPECT_EQ(ok.load(), 1);
        EXPECT_EQ(changed.load(), 1);
        Store->Delete(Root, {"r"}, false);
        other->Delete(Root, {"s"}, false);
        Store->PurgeRecycleBin(ot::UnixNow() + 1);
    }
    EXPECT_EQ(Store->ContentProblems(), std::vector<std::string>{});
}

// What a single server kept in memory: a nonce, a login lockout and a login session.
TEST_F(CloudServerPostgreSQLShared, NoncesLockoutsAndLoginSessionsAreShared) {
    auto other = Another();
    const std::int64_t now = ot::UnixNow();
    EXPECT_TRUE(Store->RememberNonce("c&t&n1", now, 300));
    EXPECT_FALSE(other->RememberNonce("c&t&n1", now + 1, 300));
    EXPECT_FALSE(Store->RememberNonce("c&t&n1", now + 2, 300));
    EXPECT_TRUE(other->RememberNonce("c&t&n2", now + 2, 300));
    // Two windows later no request can carry the old nonce within its timestamp window.
    EXPECT_TRUE(other->RememberNonce("c&t&n1", now + 601, 300));
    EXPECT_FALSE(Store->RememberNonce("c&t&n1", now + 602, 300));

    for (int i = 0; i < 10; ++i)
        EXPECT_TRUE((i % 2 ? other : Store)->TakeLoginAttempt("dave", now, 10, 900)) << i;
    EXPECT_FALSE(Store->TakeLoginAttempt("dave", now, 10, 900));
    EXPECT_FALSE(other->TakeLoginAttempt("dave", now + 1, 10, 900));
    EXPECT_TRUE(other->TakeLoginAttempt("erin", now, 10, 900));
    // A good password gives its attempt back; the lockout ends after its time.
    other->GiveBackLoginAttempt("dave");
    EXPECT_TRUE(Store->TakeLoginAttempt("dave", now + 2, 10, 900));
    EXPECT_FALSE(Store->TakeLoginAttempt("dave", now + 3, 10, 900));
    EXPECT_TRUE(other->TakeLoginAttempt("dave", now + 901, 10, 900));

    Store->PutWebSession({"sid", "s1", "token", now}, now - 600);
    auto seen = other->FindWebSession("s1");
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->Sid, "sid");
    EXPECT_EQ(seen->RequestToken, "token");
    other->EraseWebSession("s1");
    EXPECT_FALSE(Store->FindWebSession("s1"));
    // Expired sessions go when a new one is made.
    Store->PutWebSession({"sid", "old", "token", now - 700}, now - 800);
    other->PutWebSession({"sid", "new", "token", now}, now - 600);
    EXPECT_FALSE(Store->FindWebSession("old"));
    EXPECT_TRUE(Store->FindWebSession("new"));
}

// Requests signed with tokens a server read before are checked together when they
// arrive together; each keeps its own answer. Pairs carry one nonce (a replay racing
// its original, on one server and on two): one of each pair passes. A token revoked
// and a consumer's secret replaced since they were read give nothing, and their nonces
// are not taken.
TEST_F(CloudServerPostgreSQLShared, KnownTokensCheckedTogetherKeepTheirOwnAnswers) {
    auto other = Another();
    ASSERT_TRUE(Store->AddUser("carol", "hash"));
    const std::int64_t carol = Store->FindUser("carol")->Id;
    Store->PutConsumer({"app", "consumer secret", "App"});
    const ConsumerRecord app = *Store->FindConsumer("app");
    ConsumerRecord stale = app;
    stale.Secret = "the secret before";
    const std::int64_t now = ot::UnixNow();
    auto tokenOf = [&](std::int64_t user) {
        return *Store->FindAccessToken(Store->CreateAccessToken("app", user, now, 0).Key);
    };
    const AccessTokenRecord alices = tokenOf(Alice), bobs = tokenOf(Bob), carols = tokenOf(carol);
    ASSERT_EQ(Store->RevokeTokens(carol), 1);
    const std::int64_t bobRoot = Store->AppFolder(Bob, "app");
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(Store->Upload(bobRoot, {"f" + std::to_string(i)}, "x", true).Status,
                  StoreStatus::Ok);
    const std::uint64_t alicesChange = Store->ChangeCount(Root);
    const std::uint64_t bobsChange = Store->ChangeCount(bobRoot);
    ASSERT_NE(alicesChange, bobsChange);

    enum class Sent { PairOnOne, PairOnTwo, Bob, Revoked, Stale };
    struct Case {
        Sent What;
        std::string Nonce;
        CloudStore* Through;
        std::optional<bool> Fresh;
        std::optional<std::uint64_t> Change;
    };
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        std::vector<Case> cases;
        const std::string r = std::to_string(round);
        for (int k = 0; k < 4; ++k) {
            const std::string n = r + "pair" + std::to_string(k);
            const bool two = k % 2;
            cases.push_back({two ? Sent::PairOnTwo : Sent::PairOnOne, n, Store.get(), {}, {}});
            cases.push_back({two ? Sent::PairOnTwo : Sent::PairOnOne,
                             n,
                             two ? other.get() : Store.get(),
                             {},
                             {}});
            cases.push_back({Sent::Bob, r + "bob" + std::to_string(k), other.get(), {}, {}});
            cases.push_back({Sent::Revoked, r + "carol" + std::to_string(k), Store.get(), {}, {}});
            cases.push_back({Sent::Stale, r + "stale" + std::to_string(k), Store.get(), {}, {}});
        }
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (auto& c : cases)
            threads.emplace_back([&] {
                const AccessTokenRecord& token = c.What == Sent::Bob       ? bobs
                                                 : c.What == Sent::Revoked ? carols
                                                                           : alices;
                const ConsumerRecord& consumer = c.What == Sent::Stale ? stale : app;
                ++ready;
                while (ready.load() < static_cast<int>(cases.size()))
                    std::this_thread::yield();
                c.Fresh = c.Through->RememberNonceOfKnownToken(consumer, token, c.Nonce, now, 300,
                                                               c.Change);
            });
        for (auto& t : threads)
            t.join();
        for (std::size_t i = 0; i < cases.size(); ++i) {
            const Case& c = cases[i];
            SCOPED_TRACE(c.Nonce);
            switch (c.What) {
            case Sent::PairOnOne:
            case Sent::PairOnTwo:
                ASSERT_TRUE(c.Fresh);
                if (*c.Fresh)
                    EXPECT_EQ(c.Change, alicesChange);
                if (i % 5 == 1) {
                    ASSERT_TRUE(cases[i - 1].Fresh);
                    EXPECT_NE(*c.Fresh, *cases[i - 1].Fresh) << "one of a pair, not both";
                }
                break;
            case Sent::Bob:
                EXPECT_EQ(c.Fresh, std::optional<bool>(true));
                EXPECT_EQ(c.Change, bobsChange);
                break;
            case Sent::Revoked:
            case Sent::Stale:
                EXPECT_FALSE(c.Fresh);
                EXPECT_FALSE(c.Change);
                // Read again and found good, the same nonce passes.
                std::optional<std::uint64_t> change;
                EXPECT_TRUE(Store->RememberNonceOfKnownToken(app, alices, c.Nonce, now, 300, change)
                                .value_or(false));
                break;
            }
        }
    }
    // A change through the other server is in the next answer.
    ASSERT_EQ(other->Upload(Root, {"g"}, "y", true).Status, StoreStatus::Ok);
    std::optional<std::uint64_t> change;
    EXPECT_EQ(Store->RememberNonceOfKnownToken(app, alices, "after", now, 300, change),
              std::optional<bool>(true));
    EXPECT_EQ(change, Store->ChangeCount(Root));
    EXPECT_NE(change, alicesChange);
}

// Strike counts go by keys the clients choose (a share code from the request's path):
// whatever characters they hold, each key is one key, on every server.
TEST_F(CloudServerPostgreSQLShared, StrikesKeepKeysOfAnyCharacters) {
    auto other = Another();
    const std::vector<std::string> keys = {
        "link a\",\"address b", "{}", "\\\"", "NULL", "a,b", " spaced ", "\xc3\xbc\n"};
    const std::int64_t now = ot::UnixNow();
    Store->ChangeStrikes(keys, now, now - 900, [&](std::vector<StrikeRecord>& records) {
        ASSERT_EQ(records.size(), keys.size());
        for (std::size_t i = 0; i < records.size(); ++i) {
            EXPECT_EQ(records[i].Key, keys[i]);
            EXPECT_EQ(records[i].Wrong, 0);
            records[i] = {keys[i], static_cast<int>(i) + 1, now, now + 60};
        }
    });
    auto seen = other->ReadStrikes(keys);
    ASSERT_EQ(seen.size(), keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(seen[i].Key, keys[i]);
        EXPECT_EQ(seen[i].Wrong, static_cast<int>(i) + 1) << keys[i];
        EXPECT_EQ(seen[i].NextAllowed, now + 60);
    }
    const auto parts = other->ReadStrikes({"link a", "address b", "a", "b"});
    for (const auto& s : parts)
        EXPECT_EQ(s.Wrong, 0) << s.Key;
    // A count set back to nothing is gone.
    other->ChangeStrikes({keys[0]}, now, now - 900,
                         [](std::vector<StrikeRecord>& r) { r[0] = {r[0].Key}; });
    EXPECT_EQ(Store->ReadStrikes({keys[0]})[0].Wrong, 0);
}

// Connections PostgreSQL ended (a restart, an administrator's pg_terminate_backend) are
// noticed before a request fails on them.
TEST_F(CloudServerPostgreSQLShared, ConnectionsTheDatabaseEndedAreReplaced) {
    ASSERT_EQ(Store->Upload(Root, {"f"}, "kept", true).Status, StoreStatus::Ok);
    ASSERT_TRUE(Store->RememberNonce("c&t&n", ot::UnixNow(), 300));
    ASSERT_TRUE(Store->FindUser("alice"));
    {
        auto admin = Another();
        auto* pg = dynamic_cast<PgCloudStore*>(admin.get());
        ASSERT_TRUE(pg);
        auto db = pg->Pool().Take();
        auto r = db->Exec("SELECT COUNT(pg_terminate_backend(pid)) FROM pg_stat_activity "
                          "WHERE datname = current_database() AND pid <> pg_backend_pid()");
        EXPECT_GE(r.Int(0, 0), 2);
    }
    // The ended connections' goodbyes take a moment to arrive.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(Store->FindUser("alice"));
    EXPECT_EQ(Read({"f"}), "kept");
    EXPECT_FALSE(Store->RememberNonce("c&t&n", ot::UnixNow(), 300));
}

} // namespace