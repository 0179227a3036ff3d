// Installing upgrade packages and checking their seal.

#include "package/OtPackageSignature.h"
#include "package/OtUpgradeArchive.h"
#include "upgrader/UpdateServerProcess.h"
#include "upgrader/ZipFixture.h"

#include "common/FileUtil.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <spawn.h>
#include <csignal>

#include <fstream>
#include <map>

extern char** environ;

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
    // "zzz" is a folder in the program directory where the package has a file:
    // the install fails and every file stays as it was.
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

// Runs the install in a process of its own that kills itself (SIGKILL) at
// the step; the termination signal, or 0 when it ran to the end.
int InstallKilledAt(const std::string& step, const fs::path& zip, const fs::path& dest,
                    const fs::path& verFile, const std::string& version) {
    std::vector<std::string> args = {OT_INSTALL_STEP_TOOL, step, zip.string(), dest.string(),
                                     verFile.string(), version};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFSIGNALED(status) ? WTERMSIG(status) : (WEXITSTATUS(status) == 0 ? 0 : -2);
}

// kill -9 at every step of an install, then the next start: the program
// directory is wholly the old version (killed before anything was moved) or
// wholly the new one, with the version file to match, and nothing is left of
// the install or of a download killed half-way.
TEST(UpgradePackage, AnInstallKilledAtAnyStepIsCompletedOrUndoneAtTheNextStart) {
    const std::map<std::string, std::string> oldFiles = {
        {"otTodolist", "old program"}, {"otTodolist.ver", "1.0"},
        {"styles/Light.1.Style", "old style"}, {"keep.txt", "not in the package"}};
    std::map<std::string, std::string> newFiles = oldFiles;
    newFiles["otTodolist"] = "new program";
    newFiles["otTodolist.ver"] = "2.0";
    newFiles["styles/Light.1.Style"] = "new style";
    newFiles["lang/zh/added.txt"] = "added in a new folder";
    auto files = [](const fs::path& dir) {
        std::map<std::string, std::string> out;
        for (const auto& e : fs::recursive_directory_iterator(dir))
            if (!e.is_directory())
                out[fs::relative(e.path(), dir).string()] = ReadTestFile(e.path());
        return out;
    };
    struct Case {
        std::string Step;
        bool New; // what the next start must leave
    };
    const std::vector<Case> cases = {
        {"staging", false}, {"staged", false}, {"journal", true}, {"backup", true},
        {"move:1", true},   {"move:2", true},  {"moved", true},   {"version", true},
        {"committed", true}, {"none", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE("killed at " + c.Step);
        TempDir dir;
        const fs::path program = dir.Path() / "prog";
        for (const auto& [name, content] : oldFiles)
            WriteTestFile(program / name, content);
        const fs::path zip = dir.Path() / "package.zip";
        ASSERT_TRUE(MakeZip(zip.string(), {{"otTodolist", "new program", 0100755},
                                           {"styles/Light.1.Style", "new style"},
                                           {"lang/zh/added.txt", "added in a new folder"}}));
        EXPECT_EQ(InstallKilledAt(c.Step, zip, program, program / "otTodolist.ver", "2.0"),
                  c.Step == "none" ? 0 : SIGKILL);
        // A download that was cut off by the same kill.
        WriteTestFile(program / "apptemp" / ".tmpabcdefghij", "half a package");

        // The next start: the upgrade program's recovery, or the task-list
        // program's start-up step (which recovers first), by turns.
        if ((&c - cases.data()) % 2 == 0)
            RecoverInterruptedUpgrade(program.string() + "/");
        else
            FinishPendingUpgrade(program.string() + "/");
        auto after = files(program);
        EXPECT_EQ(after, c.New ? newFiles : oldFiles);
        for (const auto& e : fs::directory_iterator(program))
            EXPECT_NE(e.path().filename().string().front(), '.') << e.path();
        EXPECT_TRUE(fs::is_empty(program / "apptemp"));
        // A second start finds nothing more to do.
        RecoverInterruptedUpgrade(program.string() + "/");
        EXPECT_EQ(files(program), after);
    }
}

TEST(UpgradePackage, ARunningUpgradeProgramsDownloadIsNoLeftover) {
    TempDir dir;
    const fs::path program = dir.Path() / "prog";
    const fs::path partial = program / "apptemp" / ".tmpabcdefghij";
    WriteTestFile(partial, "still arriving");
    {
        TDownloadLease running((program / "apptemp").string());
        RecoverInterruptedUpgrade(program.string() + "/");
        EXPECT_TRUE(fs::exists(partial));
    }
    RecoverInterruptedUpgrade(program.string() + "/");
    EXPECT_FALSE(fs::exists(partial));
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
