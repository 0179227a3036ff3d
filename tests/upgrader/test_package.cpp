// Installing upgrade packages and checking their seal.

#include "package/OtPackageSignature.h"
#include "package/OtUpgradeArchive.h"
#include "upgrader/UpdateServerProcess.h"
#include "upgrader/ZipFixture.h"

#include "common/FileUtil.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <map>

namespace ot::test {
namespace {

namespace fs = std::filesystem;

// Every file and folder below dir with its content ("/" for a folder).
std::map<std::string, std::string> Snapshot(const fs::path& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        out[fs::relative(e.path(), dir).string()] = e.is_directory() ? "/" : ReadTestFile(e.path());
    return out;
}

// A program directory with an installed version, and a package beside it.
struct InstallFixture {
    TempDir Dir;
    fs::path Program = Dir.Path() / "prog";
    fs::path Package = Dir.Path() / "package.zip";
    InstallFixture() {
        WriteTestFile(Program / "otTodolist", "old program");
        WriteTestFile(Program / "styles" / "Light.1.Style", "old style");
        WriteTestFile(Program / "zzz" / "keep.txt", "a folder where the package has a file");
    }
};

TEST(UpgradePackage, ASoundPackageReplacesAndAddsFilesKeepingTheExecutableBit) {
    InstallFixture f;
    ASSERT_TRUE(MakeZip(f.Package.string(), {{"otTodolist", "new program", 0100755},
                                             {"styles/", "", 040755},
                                             {"styles/Light.1.Style", "new style"},
                                             {"lang/new/readme.txt", "added"},
                                             {"empty/new/", "", 040755}}));
    EXPECT_EQ(InstallUpgradeArchive(f.Package.string(), f.Program.string()),
              TPackageInstall::Installed);
    EXPECT_EQ(ReadTestFile(f.Program / "otTodolist"), "new program");
    EXPECT_EQ(ReadTestFile(f.Program / "styles" / "Light.1.Style"), "new style");
    EXPECT_EQ(ReadTestFile(f.Program / "lang" / "new" / "readme.txt"), "added");
    EXPECT_TRUE(fs::is_directory(f.Program / "empty" / "new"));
    struct stat st {};
    ASSERT_EQ(::stat((f.Program / "otTodolist").c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IXUSR);
    // No staging or backup folder stays behind.
    for (const auto& e : fs::directory_iterator(f.Program))
        EXPECT_NE(e.path().filename().string().front(), '.') << e.path();
}

TEST(UpgradePackage, AnyUnsafeEntryDamagesTheWholePackageAndNothingIsWritten) {
    const std::vector<ZipEntry> cases[] = {
        {{"otTodolist", "new"}, {"../escaped.txt", "x"}},
        {{"otTodolist", "new"}, {"styles/../../escaped.txt", "x"}},
        {{"otTodolist", "new"}, {"/tmp/absolute-escape.txt", "x"}},
        {{"otTodolist", "new"}, {"styles\\..\\..\\escaped.txt", "x"}},
        {{"otTodolist", "new"}, {"link", "/etc/passwd", 0120777}},
        {{"otTodolist", "new"}, {"styles/./Light.1.Style", "x"}, {"styles/Light.1.Style", "y"}},
    };
    for (const auto& entries : cases) {
        InstallFixture f;
        ASSERT_TRUE(MakeZip(f.Package.string(), entries));
        const auto before = Snapshot(f.Dir.Path());
        EXPECT_FALSE(IsSafeUpgradeArchive(f.Package.string())) << entries[1].Name;
        EXPECT_EQ(InstallUpgradeArchive(f.Package.string(), f.Program.string()),
                  TPackageInstall::Damaged)
            << entries[1].Name;
        EXPECT_EQ(Snapshot(f.Dir.Path()), before) << entries[1].Name;
    }
}

TEST(UpgradePackage, AFileThatIsNoZipOrIsCutShortIsDamaged) {
    InstallFixture f;
    const fs::path whole = f.Dir.Path() / "whole.zip";
    ASSERT_TRUE(MakeZip(whole.string(), {{"otTodolist", std::string(20000, 'n')}}));
    const std::string bytes = ReadTestFile(whole);
    for (const std::string& content : {std::string("not a zip"), bytes.substr(0, bytes.size() / 2),
                                       bytes.substr(0, bytes.size() - 10)}) {
        WriteTestFile(f.Package, content);
        const auto before = Snapshot(f.Program);
        EXPECT_EQ(InstallUpgradeArchive(f.Package.string(), f.Program.string()),
                  TPackageInstall::Damaged)
            << content.size();
        EXPECT_EQ(Snapshot(f.Program), before);
    }
}

TEST(UpgradePackage, AnInstallThatFailsHalfWayLeavesThePreviousFiles) {
    InstallFixture f;
    // "zzz" is a folder in the program directory: the last move fails after the
    // first two files were already replaced.
    ASSERT_TRUE(MakeZip(f.Package.string(), {{"otTodolist", "new program"},
                                             {"styles/Light.1.Style", "new style"},
                                             {"added.txt", "added"},
                                             {"zzz", "a file over a folder"}}));
    const auto before = Snapshot(f.Program);
    EXPECT_EQ(InstallUpgradeArchive(f.Package.string(), f.Program.string()),
              TPackageInstall::Failed);
    EXPECT_EQ(Snapshot(f.Program), before);
}

TEST(UpgradePackage, ThePendingUpgradeProgramPackageIsInstalledOnceAndRemoved) {
    InstallFixture f;
    WriteTestFile(f.Program / "otUpgrade", "old upgrader");
    const fs::path pending = f.Program / "apptemp" / "otUpgrade.zip";
    fs::create_directories(pending.parent_path());
    ASSERT_TRUE(MakeZip(pending.string(), {{"otUpgrade", "new upgrader", 0100755}}));
    FinishPendingUpgrade(f.Program.string() + "/");
    EXPECT_EQ(ReadTestFile(f.Program / "otUpgrade"), "new upgrader");
    EXPECT_FALSE(fs::exists(pending));
    // Nothing pending: nothing happens.
    FinishPendingUpgrade(f.Program.string() + "/");
    EXPECT_EQ(ReadTestFile(f.Program / "otUpgrade"), "new upgrader");
}

TEST(UpgradePackage, OnlyTheExactSignedPackageMatchesItsSeal) {
    TempDir dir;
    const fs::path file = dir.Path() / "p.zip";
    WriteTestFile(file, "package bytes");
    std::string pub, secret, otherPub, otherSecret;
    NewPackageKeyPair(pub, secret);
    NewPackageKeyPair(otherPub, otherSecret);
    // An independent digest of the same bytes (sha256sum).
    const std::string sha = "2e547448dcd0f2fcd9dbc386d33f1553369883451898177559bcf3e3b1083d16";
    ASSERT_EQ(Sha256FileHex(file.string()).value_or(""), sha);
    auto sign = [&](const std::string& name, const std::string& version, const std::string& key) {
        return SignPackageText(PackageSignedText(name, version, sha), key);
    };
    const TPackageSeal good{"otTodolist", "1.0.2013.1", 13, sha,
                            sign("otTodolist", "1.0.2013.1", secret)};
    EXPECT_TRUE(PackageMatchesSeal(file.string(), good, pub));

    struct Case {
        const char* What;
        TPackageSeal Seal;
        std::string Key;
    };
    auto with = [&](auto change) {
        TPackageSeal s = good;
        change(s);
        return s;
    };
    const Case cases[] = {
        {"size", with([](TPackageSeal& s) { s.Size = 14; }), pub},
        {"digest", with([](TPackageSeal& s) { s.Sha256[0] = s.Sha256[0] == 'a' ? 'b' : 'a'; }),
         pub},
        {"no signature", with([](TPackageSeal& s) { s.Signature.clear(); }), pub},
        {"no digest", with([](TPackageSeal& s) { s.Sha256.clear(); }), pub},
        {"another publisher", with([&](TPackageSeal& s) {
             s.Signature = sign("otTodolist", "1.0.2013.1", otherSecret);
         }),
         pub},
        {"signed for another version",
         with([&](TPackageSeal& s) { s.Signature = sign("otTodolist", "1.0.2012.1", secret); }),
         pub},
        {"signed for another application",
         with([&](TPackageSeal& s) { s.Signature = sign("otUpgrade", "1.0.2013.1", secret); }),
         pub},
        {"signature not hexadecimal", with([](TPackageSeal& s) { s.Signature[5] = 'x'; }), pub},
        {"trusted key of another publisher", good, otherPub},
        {"no trusted key", good, ""},
    };
    for (const auto& c : cases)
        EXPECT_FALSE(PackageMatchesSeal(file.string(), c.Seal, c.Key)) << c.What;

    WriteTestFile(file, "package bytez");
    EXPECT_FALSE(PackageMatchesSeal(file.string(), good, pub)) << "content changed";
}

} // namespace
} // namespace ot::test
