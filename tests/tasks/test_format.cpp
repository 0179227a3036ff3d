// Task file names, task file content and loading the tree from disk.

#include "common/Clock.h"
#include "common/FileUtil.h"
#include "support/ProgramTestDir.h"
#include "tasks/OtTaskUtility.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

using namespace ot;
namespace fs = std::filesystem;
using U = TOtTaskUtility;

namespace {

TDateTime At(int y, int m, int d, int h = 0, int n = 0) {
    return EncodeDateTime(y, m, d, h, n);
}

std::string Slurp(const fs::path& p) {
    std::string s;
    EXPECT_TRUE(ReadWholeFile(p, s)) << p;
    return s;
}

void Spit(const fs::path& p, const std::string& s) {
    ASSERT_TRUE(WriteFileAtomic(p, s)) << p;
}

} // namespace

TEST(SpecialChars, EveryCharacterHasItsToken) {
    const std::string all = " #_$@!()'\\/:*?\"<>|";
    EXPECT_EQ(U::EncodeSpecialChars(all), "[SP][PO][UN][DL][AT][EX][BRL][BRR][SQ][BA][SL][CO][ST]"
                                          "[QU][DQ][ABL][ABR][VB]");
    EXPECT_EQ(U::DecodeSpecialChars(U::EncodeSpecialChars(all)), all);
}

TEST(SpecialChars, RoundTripsAndLiteralTokens) {
    struct Case {
        std::string text, encoded, decodedFromEncoded;
    } cases[] = {
        {"a#b_c", "a[PO]b[UN]c", "a#b_c"},
        {"Home & work", "Home[SP]&[SP]work", "Home & work"},
        {"[]&%.", "[]&%.", "[]&%."},
        {"买牛奶 ü", "买牛奶[SP]ü", "买牛奶 ü"},
        {"", "", ""},
        // A token typed literally is not escaped and reads back as its character.
        {"[SP]", "[SP]", " "},
        {"x[PO]y", "x[PO]y", "x#y"},
        // Tokens match in capitals only.
        {"[sp]", "[sp]", "[sp]"},
        {"[[SP]]", "[[SP]]", "[ ]"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(U::EncodeSpecialChars(c.text), c.encoded) << c.text;
        EXPECT_EQ(U::DecodeSpecialChars(c.encoded), c.decodedFromEncoded) << c.text;
    }
    EXPECT_FALSE(U::IsContainIllegalChars("a#b/c\"d"));
}

TEST(ParseDateTime, DecidesByLength) {
    struct Case {
        const char* text;
        std::optional<TDateTime> value; // nullopt: does not convert
    } cases[] = {
        {"201603051430", At(2016, 3, 5, 14, 30)},
        {"20160307", At(2016, 3, 7)},
        {"0915", EncodeTime(9, 15)},
        {"0000", 0.0},
        {"", 0.0},
        {"2016030514", 0.0},
        {"20160305143", 0.0},
        {"123", 0.0},
        {"2016030514300", 0.0},
        {"201613051430", std::nullopt}, // month 13
        {"201603052530", std::nullopt}, // hour 25
        {"20160230", std::nullopt},     // 30 February
        {"2460", std::nullopt},
        {"20a60307", std::nullopt},
        {"-915", std::nullopt},
    };
    for (const auto& c : cases) {
        TDateTime dt = -1;
        EXPECT_EQ(U::TryParseDateTime(c.text, dt), c.value.has_value()) << c.text;
        if (c.value) {
            EXPECT_DOUBLE_EQ(dt, *c.value) << c.text;
        }
        EXPECT_DOUBLE_EQ(U::ParseDateTime(c.text), c.value.value_or(0)) << c.text;
    }
}

class NameTest : public ::testing::Test {
protected:
    ScopedClock FClock{std::make_shared<FixedClock>(At(2016, 3, 5, 14, 30))};
    TOtTaskClassPtr Cls = std::make_shared<TOtTaskClass>("1214608325K7", "Home & work");

    TOtTaskItemPtr BuyMilk() {
        auto item = std::make_shared<TOtTaskItem>("Buy milk", Cls);
        item->SetID("1214608325K7");
        item->SetCreateDateTime(At(2016, 3, 5, 14, 30) + 10 / 86400.0); // seconds are dropped
        item->ResetDirty();
        return item;
    }
};

TEST_F(NameTest, BuyMilkExamples) {
    struct Case {
        const char* state;
        void (*change)(TOtTaskItem&);
        const char* fileName;
    } cases[] = {
        {"open, no dates", [](TOtTaskItem&) {}, "1214608325K7#0#Buy[SP]milk#5#201603051430###"},
        {"due and alert",
         [](TOtTaskItem& i) {
             i.SetExpirationDate(At(2016, 3, 7, 18, 0)); // the time of day is dropped
             i.SetAlertTime(At(2016, 3, 7, 9, 15));      // the date is dropped
         },
         "1214608325K7#0#Buy[SP]milk#5#201603051430#20160307#0915#"},
        {"completed",
         [](TOtTaskItem& i) {
             i.SetStatus(tsCompleted);
             i.SetFinishDateTime(At(2016, 3, 6, 8, 2) + 59 / 86400.0);
         },
         "1214608325K7#1#Buy[SP]milk#5#201603051430###201603060802"},
    };
    for (const auto& c : cases) {
        auto item = BuyMilk();
        c.change(*item);
        EXPECT_EQ(item->FileName(), c.fileName) << c.state;
        EXPECT_EQ(item->Path(),
                  std::string("1214608325K7#Home[SP]&[SP]work/") + c.fileName + ".tsk");

        // Reading the name back gives the written values, truncated as written.
        auto back = U::ParseTaskItem(Cls, std::string(c.fileName) + ".tsk");
        ASSERT_TRUE(back) << c.state;
        EXPECT_EQ(back->FileName(), c.fileName);
        EXPECT_EQ(back->ID(), "1214608325K7");
        EXPECT_EQ(back->Title(), "Buy milk");
        EXPECT_EQ(back->Status(), item->Status());
        EXPECT_DOUBLE_EQ(back->CreateDateTime(), At(2016, 3, 5, 14, 30));
        EXPECT_EQ(back->TaskClass(), Cls);
        EXPECT_FALSE(back->IsDirty());
    }
}

TEST_F(NameTest, ParsingNames) {
    struct Case {
        std::string name;
        bool parses;
        std::string id = {}, title = {};
        TTaskStatus status = tsNotCompleted;
        int priority = 0, level = 0;
        TDateTime created = 0, due = 0, alert = 0, finished = 0;
    } cases[] = {
        {"1214608325K7#0#a[PO]b[UN]c#5#201603051430###.tsk", true, "1214608325K7", "a#b_c",
         tsNotCompleted, 5, 1, At(2016, 3, 5, 14, 30), 0, 0, 0},
        // five fields: the optional date-times are 0
        {"1A#1#t#9#201603051430.tsk", true, "1A", "t", tsCompleted, 9, 1, At(2016, 3, 5, 14, 30), 0,
         0, 0},
        {"1A#2#[SP]#-1#201603051430#20160307#0915#201603060802.tsk", true, "1A", " ", tsCleared, -1,
         1, At(2016, 3, 5, 14, 30), At(2016, 3, 7), EncodeTime(9, 15), At(2016, 3, 6, 8, 2)},
        {"1A#Completed##0#201603051430###.tsk", true, "1A", "", tsCompleted, 0, 1,
         At(2016, 3, 5, 14, 30), 0, 0, 0},
        // fields after the eighth are ignored
        {"1A#0#t#5#201603051430####junk#more.tsk", true, "1A", "t", tsNotCompleted, 5, 1,
         At(2016, 3, 5, 14, 30), 0, 0, 0},
        {"P1_R1_C1#0#t#5#201603051430###.tsk", true, "C1", "t", tsNotCompleted, 5, 3,
         At(2016, 3, 5, 14, 30), 0, 0, 0},
        // only the last four characters go: ".tskx" stays part of field 4
        {"1A#0#t#5#2016.tskx.tsk", true, "1A", "t", tsNotCompleted, 5, 1, 0, 0, 0, 0},
        {"/some/dir/1A#0#t#5#201603051430###.tsk", true, "1A", "t", tsNotCompleted, 5, 1,
         At(2016, 3, 5, 14, 30), 0, 0, 0},
        // not task items
        {"1A#0#t#5.tsk", false},
        {"#0#t#5#201603051430###.tsk", false},
        {"P1_#0#t#5#201603051430###.tsk", false},
        {"notes.tsk", false},
        {"1A#0#t#high#201603051430###.tsk", false},
        {"1A#0#t##201603051430###.tsk", false},
        {"1A#0#t#5#201613051430###.tsk", false},
        {"1A#0#t#5#201603051430##2500#.tsk", false},
        {"1A#0#t#5#201603051430#2016O307##.tsk", false},
    };
    for (const auto& c : cases) {
        auto item = U::ParseTaskItem(Cls, c.name);
        ASSERT_EQ(item != nullptr, c.parses) << c.name;
        if (!item)
            continue;
        EXPECT_EQ(item->ID(), c.id) << c.name;
        EXPECT_EQ(item->Title(), c.title) << c.name;
        EXPECT_EQ(item->Status(), c.status) << c.name;
        EXPECT_EQ(item->Priority(), c.priority) << c.name;
        EXPECT_EQ(item->Level(), c.level) << c.name;
        EXPECT_DOUBLE_EQ(item->CreateDateTime(), c.created) << c.name;
        EXPECT_DOUBLE_EQ(item->ExpirationDate(), c.due) << c.name;
        EXPECT_DOUBLE_EQ(item->AlertTime(), c.alert) << c.name;
        EXPECT_DOUBLE_EQ(item->FinishDateTime(), c.finished) << c.name;
        EXPECT_EQ(item->Parent(), nullptr);
        EXPECT_FALSE(item->IsDirty()) << c.name;
    }
}

TEST_F(NameTest, ClassNames) {
    struct Case {
        const char* path;
        bool parses;
        const char* id = nullptr;
        const char* title = nullptr;
    } cases[] = {
        {"1214608325K7#Home[SP]&[SP]work", true, "1214608325K7", "Home & work"},
        {"/data/taskdata/1A#x[PO]y", true, "1A", "x#y"},
        {"1A#", true, "1A", ""},
        {"1A#x#y", false},
        {"plain", false},
        {"", false},
    };
    for (const auto& c : cases) {
        auto cls = U::ParseTaskClass(c.path);
        ASSERT_EQ(cls != nullptr, c.parses) << c.path;
        if (!cls)
            continue;
        EXPECT_EQ(cls->ID(), c.id);
        EXPECT_EQ(cls->Title(), c.title);
        EXPECT_TRUE(cls->TaskList().empty());
    }
    // A title with "#" comes back through its directory name.
    TOtTaskClass xy("1A", "x#y");
    EXPECT_EQ(U::ParseTaskClass(xy.DirName())->Title(), "x#y");
}

class TaskFileTest : public ::testing::Test {
protected:
    test::TProgramTestDir Dir{"ot-store"};
    fs::path File = Dir.Root() / "item.tsk";
    TOtTaskClassPtr Cls = std::make_shared<TOtTaskClass>("1A", "c");
};

TEST_F(TaskFileTest, ContentIsByteExact) {
    struct Case {
        std::string remarks, body, readBack;
    } cases[] = {
        {"", "", ""},
        {"a<b & c>", "a&lt;b &amp; c&gt;", "a<b & c>"},
        {"line 1\r\nline 2\r\n", "line 1\r\nline 2\r\n", "line 1\nline 2\n"},
        {"x\ny", "x\ny", "x\ny"},
        {"  ", "  ", "  "},
        {"\"quoted\" 'it's' &amp;", "\"quoted\" 'it's' &amp;amp;", "\"quoted\" 'it's' &amp;"},
        {"买牛奶", "买牛奶", "买牛奶"},
    };
    for (const auto& c : cases) {
        auto item =
            std::make_shared<TOtTaskItem>("t", c.remarks, tsNotCompleted, 0, 0, Cls, nullptr);
        ASSERT_TRUE(item->SaveToFile(File.string()));
        EXPECT_EQ(Slurp(File), "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
                               "<TaskItem>\r\n"
                               "  <Remarks>" +
                                   c.body +
                                   "</Remarks>\r\n"
                                   "</TaskItem>\r\n")
            << c.remarks;

        auto other = std::make_shared<TOtTaskItem>("t", "old", tsNotCompleted, 0, 0, Cls, nullptr);
        ASSERT_TRUE(other->LoadFromFile(File.string()));
        EXPECT_EQ(other->Remarks(), c.readBack) << c.remarks;
        // Loading sets the field only: the snapshot keeps what it had.
        EXPECT_EQ(other->IsTaskRemarksChange(), c.readBack != "old");
    }
}

TEST_F(TaskFileTest, UnusualFiles) {
    struct Case {
        const char* what;
        std::optional<std::string> content; // nullopt: no file
        bool loads;
        std::string remarks;
    } cases[] = {
        {"missing file", std::nullopt, false, "kept"},
        {"not XML", std::string("this is <not xml"), false, "kept"},
        {"empty file", std::string(""), false, "kept"},
        {"no Remarks element", std::string("<TaskItem><Other/></TaskItem>"), true, "kept"},
        {"other root", std::string("<Item><Remarks>x</Remarks></Item>"), true, "kept"},
        {"no BOM, LF",
         std::string("<?xml version=\"1.0\"?>\n<TaskItem><Remarks>r</Remarks>"
                     "</TaskItem>\n"),
         true, "r"},
        {"CDATA", std::string("<TaskItem><Remarks><![CDATA[a<b]]></Remarks></TaskItem>"), true,
         "a<b"},
    };
    for (const auto& c : cases) {
        fs::remove(File);
        if (c.content)
            Spit(File, *c.content);
        auto item = std::make_shared<TOtTaskItem>("t", "kept", tsNotCompleted, 0, 0, Cls, nullptr);
        EXPECT_EQ(item->LoadFromFile(File.string()), c.loads) << c.what;
        EXPECT_EQ(item->Remarks(), c.remarks) << c.what;
    }
}

TEST_F(TaskFileTest, SaveFailsWithoutDirectoryAndLeavesNoTemporaryFile) {
    auto item = std::make_shared<TOtTaskItem>("t", Cls);
    EXPECT_FALSE(item->SaveToFile((Dir.Root() / "missing" / "x.tsk").string()));
    EXPECT_FALSE(fs::exists(Dir.Root() / "missing"));
    ASSERT_TRUE(item->SaveToFile(File.string()));
    EXPECT_EQ(std::distance(fs::directory_iterator(Dir.Root()), fs::directory_iterator()), 1);
}

TEST_F(TaskFileTest, ItemWithUnreadableFileStillLoadsWithEmptyRemarks) {
    const fs::path file = Dir.Root() / "1A#0#t#5#201603051430###.tsk";
    Spit(file, "garbage <<<");
    auto item = U::ParseTaskItem(Cls, file.string());
    ASSERT_TRUE(item);
    EXPECT_EQ(item->Remarks(), "");
}

class LoadTreeTest : public ::testing::Test {
protected:
    test::TProgramTestDir Dir{"ot-store"};

    std::string TaskDataPath() const { return Dir.Paths().TaskDataPath; }

    void Item(const std::string& dir, const std::string& name, const std::string& remarks) {
        Spit(fs::path(TaskDataPath()) / dir / name, U::TaskFileContent(remarks));
    }
};

TEST_F(LoadTreeTest, CreatesTheDataDirectoryWhenMissing) {
    TOtTaskClassList list;
    list.push_back(std::make_shared<TOtTaskClass>("old", "stale"));
    ASSERT_FALSE(fs::exists(TaskDataPath()));
    U::LoadTaskClassList(TaskDataPath(), list);
    EXPECT_TRUE(list.empty());
    EXPECT_TRUE(fs::is_directory(TaskDataPath()));
}

TEST_F(LoadTreeTest, LoadsClassesSortedWithTheirItems) {
    const fs::path root = TaskDataPath();
    for (const char* d :
         {"3C#Zeta", "1A#Home[SP]&[SP]work", "2B#x[PO]y", "not-a-class", "9Z#too#many", "4D#Empty"})
        fs::create_directories(root / d);
    Item("1A#Home[SP]&[SP]work", "11A#0#Buy[SP]milk#5#201603051430###.tsk", "two\r\nlines");
    Item("1A#Home[SP]&[SP]work", "12B#1#Done#3#201603051430###201603060802.tsk", "");
    Item("1A#Home[SP]&[SP]work", "13C#0#x#5.tsk", "too few fields");
    Item("1A#Home[SP]&[SP]work", "14D#0#x#5#201603051430###.txt", "not a task file");
    Item("1A#Home[SP]&[SP]work", "15E#0#x#5#201699051430###.tsk", "bad month");
    fs::create_directories(root / "1A#Home[SP]&[SP]work" / "16F#0#dir#5#201603051430###.tsk");
    Item("2B#x[PO]y", "21A#0#a[PO]b[UN]c#-1#201603051430#20160307#0915#.tsk", "a<b & c");
    Item("3C#Zeta", "31A#0#z#5#201603051430###.tsk", "");
    Spit(root / "5E#file-not-dir", "");

    TOtTaskClassList list;
    U::LoadTaskClassList(TaskDataPath(), list);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0]->DirName(), "1A#Home[SP]&[SP]work");
    EXPECT_EQ(list[1]->Title(), "x#y");
    EXPECT_EQ(list[2]->Title(), "Zeta");
    EXPECT_EQ(list[3]->Title(), "Empty");
    EXPECT_TRUE(list[3]->TaskList().empty());

    const auto& home = list[0]->TaskList();
    ASSERT_EQ(home.size(), 2u);
    EXPECT_EQ(home[0]->Title(), "Buy milk");
    EXPECT_EQ(home[0]->Remarks(), "two\nlines");
    EXPECT_EQ(home[1]->Status(), tsCompleted);
    for (const auto& item : home) {
        EXPECT_EQ(item->TaskClass(), list[0]);
        EXPECT_TRUE(fs::exists(root / item->Path())) << item->Path();
    }
    const auto& xy = list[1]->TaskList();
    ASSERT_EQ(xy.size(), 1u);
    EXPECT_EQ(xy[0]->Title(), "a#b_c");
    EXPECT_EQ(xy[0]->Priority(), -1);
    EXPECT_EQ(xy[0]->Remarks(), "a<b & c");
    EXPECT_EQ(xy[0]->FileName(), "21A#0#a[PO]b[UN]c#-1#201603051430#20160307#0915#");

    // Files that are not items stay on disk.
    EXPECT_TRUE(fs::exists(root / "1A#Home[SP]&[SP]work" / "13C#0#x#5.tsk"));
    EXPECT_TRUE(fs::exists(root / "9Z#too#many"));

    // Reloading one class refills its list from disk.
    fs::remove(root / home[0]->Path());
    TOtTaskItemList reloaded = {home[0]};
    U::LoadTaskItemList(TaskDataPath(), list[0], reloaded);
    ASSERT_EQ(reloaded.size(), 1u);
    EXPECT_EQ(reloaded[0]->Title(), "Done");
}

// A link is taken for what it names: a link to a task file is an item, a
// link to a directory is not.
// Links in the task tree are never followed (what they point at, /etc/passwd
// say, is no task of this program), and names this program would not write
// (a lower-case or dotted ID, a control character) are left alone.
TEST_F(LoadTreeTest, LinksAndForeignNamesAreLeftAlone) {
    const fs::path home = fs::path(TaskDataPath()) / "1A#Home";
    fs::create_directories(home / "elsewhere");
    Spit(home / "elsewhere" / "remarks.xml", U::TaskFileContent("linked"));
    fs::create_symlink("elsewhere/remarks.xml", home / "11A#0#file[SP]link#5#201603051430###.tsk");
    fs::create_directory_symlink("elsewhere", home / "12B#0#dir[SP]link#5#201603051430###.tsk");
    fs::create_directory_symlink("1A#Home", fs::path(TaskDataPath()) / "2B#Linked");
    Item("1A#Home", "13c#0#lower#5#201603051430###.tsk", "x");
    Item("1A#Home", ".14D#0#dot#5#201603051430###.tsk", "x");
    Item("1A#Home", "15E#0#line\nbreak#5#201603051430###.tsk", "x");
    Item("1A#Home", "16F#0#plain#5#201603051430###.tsk", "kept");

    TOtTaskClassList list;
    U::LoadTaskClassList(TaskDataPath(), list);
    ASSERT_EQ(list.size(), 1u);
    const auto& items = list[0]->TaskList();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0]->Title(), "plain");
    EXPECT_EQ(U::ListLeftAloneEntries(TaskDataPath()),
              (std::vector<std::string>{
                  "1A#Home/.14D#0#dot#5#201603051430###.tsk: not a task file name this program "
                  "writes",
                  "1A#Home/11A#0#file[SP]link#5#201603051430###.tsk: a link, not followed",
                  "1A#Home/12B#0#dir[SP]link#5#201603051430###.tsk: a link, not followed",
                  "1A#Home/13c#0#lower#5#201603051430###.tsk: not a task file name this program "
                  "writes",
                  "1A#Home/15E#0#line?break#5#201603051430###.tsk: not a task file name this "
                  "program writes",
                  "2B#Linked: a link, not followed"}));
}

// A shallow load lists names only; the remarks of one item are read when a
// command touches it, from the file it came from, and leave it clean.
TEST_F(LoadTreeTest, ShallowLoadsReadNoItemFileUntilAsked) {
    fs::create_directories(fs::path(TaskDataPath()) / "1A#Home");
    // Five fields: the file's name is not the one FileName() would build.
    Item("1A#Home", "11A#0#Buy[SP]milk#5#201603051430.tsk", "two\r\nlines");
    Item("1A#Home", "12B#1#Done#3#201603051430###201603060802.tsk", "kept");

    TOtTaskClassList classesOnly;
    U::LoadTaskClassList(TaskDataPath(), classesOnly, TTaskLoadDepth::tldClasses);
    ASSERT_EQ(classesOnly.size(), 1u);
    EXPECT_TRUE(classesOnly[0]->TaskList().empty());

    TOtTaskClassList names;
    U::LoadTaskClassList(TaskDataPath(), names, TTaskLoadDepth::tldItemNames);
    ASSERT_EQ(names.size(), 1u);
    const auto& items = names[0]->TaskList();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0]->Title(), "Buy milk");
    EXPECT_EQ(items[0]->Remarks(), "");
    EXPECT_EQ(items[1]->Remarks(), "");

    U::LoadTaskItemRemarks(items[0], TaskDataPath());
    EXPECT_EQ(items[0]->Remarks(), "two\nlines");
    EXPECT_FALSE(items[0]->IsDirty());
    EXPECT_EQ(items[0]->DiskPath(), "1A#Home/11A#0#Buy[SP]milk#5#201603051430.tsk");
    EXPECT_EQ(items[1]->Remarks(), "");
}
