// Which data root a program directory gets (portable or the user's own), and
// the per-user install step that starts it from the template.

#include "common/AppPaths.h"
#include "common/FileUtil.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/stat.h>

namespace ot {
namespace {

namespace fs = std::filesystem;

// A temporary tree laid out as an install prefix (bin/, share/otTodolist/),
// with HOME and XDG_DATA_HOME pointed into it for the test's length.
class AppPathsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "apppaths-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        Root = tmpl;
        Bin = Root / "prefix" / "bin";
        Share = Root / "prefix" / "share" / "otTodolist";
        fs::create_directories(Bin);
        fs::create_directories(Share / "styles");
        Write(Share / "otTodolist.db", "template");
        Save("HOME");
        Save("XDG_DATA_HOME");
        ::setenv("HOME", (Root / "home").c_str(), 1);
        ::unsetenv("XDG_DATA_HOME");
    }
    void TearDown() override {
        for (const auto& [name, value] : Saved)
            value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
        std::error_code ec;
        fs::remove_all(Root, ec);
    }
    static void Write(const fs::path& file, const std::string& text) {
        fs::create_directories(file.parent_path());
        ASSERT_TRUE(WriteFileAtomic(file, text));
    }
    static std::string Read(const fs::path& file) {
        std::string text;
        EXPECT_TRUE(ReadWholeFile(file, text)) << file;
        return text;
    }
    void Save(const std::string& name) {
        const char* v = std::getenv(name.c_str());
        Saved.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
    }

    fs::path Root, Bin, Share;
    std::vector<std::pair<std::string, std::optional<std::string>>> Saved;
};

TEST_F(AppPathsTest, TheProgramDirectoryDecidesTheMode) {
    struct Case {
        const char* What;
        void (*Prepare)(const fs::path& bin);
        bool Portable;
    };
    const Case cases[] = {
        {"nothing beside the programs", [](const fs::path&) {}, false},
        {"a writable userdata/", [](const fs::path& bin) { fs::create_directories(bin / "userdata"); },
         true},
        {"the marker file", [](const fs::path& bin) { Write(bin / kPortableMarkerName, ""); }, true},
        {"userdata as a plain file",
         [](const fs::path& bin) { Write(bin / "userdata", "not a directory"); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        fs::remove_all(Bin);
        fs::create_directories(Bin);
        c.Prepare(Bin);
        const TAppPaths p = TAppPaths::ForProgram(Bin.string());
        EXPECT_EQ(p.Portable, c.Portable);
        EXPECT_EQ(p.AppPath, Bin.string() + "/");
        const std::string root =
            c.Portable ? Bin.string() + "/" : (Root / "home/.local/share/otTodolist/").string();
        EXPECT_EQ(p.DataRoot, root);
        EXPECT_EQ(p.DBFileName, root + "userdata/1/otTodolist.db");
        EXPECT_EQ(p.AuthFileName, root + "userdata/1/MyAuth.adb");
        EXPECT_EQ(p.TaskDataPath, root + "userdata/1/taskdata/");
    }
}

TEST_F(AppPathsTest, XdgDataHomeWinsOverHomeWhenItIsAnAbsolutePath) {
    ::setenv("XDG_DATA_HOME", (Root / "xdg").c_str(), 1);
    EXPECT_EQ(TAppPaths::ForProgram(Bin.string()).DataRoot, (Root / "xdg/otTodolist/").string());
    // A relative value is to be ignored.
    ::setenv("XDG_DATA_HOME", "relative/dir", 1);
    EXPECT_EQ(TAppPaths::ForProgram(Bin.string()).DataRoot,
              (Root / "home/.local/share/otTodolist/").string());
}

TEST_F(AppPathsTest, TheFirstStartCopiesTheTemplateIntoAPrivateDataRootAndNeverAgain) {
    const TAppPaths p = TAppPaths::ForProgram(Bin.string());
    ASSERT_FALSE(p.Portable);
    EXPECT_EQ(p.DBTemplateFileName, Share.string() + "/otTodolist.db");
    std::string error;
    ASSERT_TRUE(p.PrepareDataRoot(&error)) << error;
    EXPECT_EQ(Read(p.DBFileName), "template");
    for (const std::string& dir : {p.DataRoot, p.UserDataPath}) {
        struct stat st {};
        ASSERT_EQ(::stat(dir.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u) << dir;
    }
    // The user's queue is never replaced, not even by a newer template.
    Write(p.DBFileName, "the user's queue");
    Write(Share / "otTodolist.db", "a newer template");
    ASSERT_TRUE(p.PrepareDataRoot(&error)) << error;
    EXPECT_EQ(Read(p.DBFileName), "the user's queue");
    // Nothing but the database is left beside it.
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(p.UserDataPath))
        names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"otTodolist.db"});
    // The installed tree is only read.
    EXPECT_EQ(Read(Share / "otTodolist.db"), "a newer template");
}

TEST_F(AppPathsTest, AMissingTemplateLeavesTheDatabaseMissing) {
    fs::remove(Share / "otTodolist.db");
    const TAppPaths p = TAppPaths::ForProgram(Bin.string());
    EXPECT_TRUE(p.PrepareDataRoot());
    EXPECT_FALSE(fs::exists(p.DBFileName));
    // The build tree's portable layout has no template and is left alone.
    const TAppPaths portable = TAppPaths::FromProgramDir((Root / "build").string());
    EXPECT_TRUE(portable.DBTemplateFileName.empty());
    EXPECT_TRUE(portable.PrepareDataRoot());
    EXPECT_FALSE(fs::exists(Root / "build"));
}

TEST_F(AppPathsTest, APortableTarballStartsItsQueueFromItsOwnTemplate) {
    const fs::path dir = Root / "tarball";
    fs::create_directories(dir / "userdata");
    Write(dir / kPortableTemplateName, "tarball template");
    const TAppPaths p = TAppPaths::ForProgram(dir.string());
    ASSERT_TRUE(p.Portable);
    ASSERT_TRUE(p.PrepareDataRoot());
    EXPECT_EQ(Read(dir / "userdata/1/otTodolist.db"), "tarball template");
    EXPECT_FALSE(fs::exists(Root / "home")) << "the home directory is not touched";
}

TEST_F(AppPathsTest, StylesComeFromTheUserFirstThenFromTheInstalledTree) {
    const TAppPaths p = TAppPaths::ForProgram(Bin.string());
    Write(Share / "styles/Dark.0.Style", "installed dark");
    Write(Share / "styles/Light.1.Style", "installed light");
    Write(fs::path(p.StylesPath) / "Light.1.Style", "the user's light");
    EXPECT_EQ(p.StyleDirs(), (std::vector<std::string>{p.StylesPath, Share.string() + "/styles/"}));
    EXPECT_EQ(Read(p.StyleFile("Dark.0.Style")), "installed dark");
    EXPECT_EQ(Read(p.StyleFile("Light.1.Style")), "the user's light");
    EXPECT_EQ(p.StyleFile("Gone.Style"), p.StylesPath + "Gone.Style");
    // Portable: one directory, beside the programs.
    const TAppPaths portable = TAppPaths::FromProgramDir(Bin.string());
    EXPECT_EQ(portable.StyleDirs(), std::vector<std::string>{Bin.string() + "/styles/"});
}

TEST_F(AppPathsTest, TheCloudHelperIsBesideTheProgramOrInLibexec) {
    EXPECT_EQ(HelperProgramFile(Bin.string(), "ottodo-cloud"),
              (Root / "prefix/libexec/otTodolist/ottodo-cloud").string());
    Write(Bin / "ottodo-cloud", "");
    EXPECT_EQ(HelperProgramFile(Bin.string(), "ottodo-cloud"), (Bin / "ottodo-cloud").string());
}

} // namespace
} // namespace ot
