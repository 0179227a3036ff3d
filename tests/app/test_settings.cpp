// The settings file and the settings values read from it.

#include "app/AppSettings.h"
#include "app/OtSettingFile.h"
#include "common/FileUtil.h"
#include "support/ProgramTestDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <pugixml.hpp>
#include <thread>

using namespace ot;
namespace fs = std::filesystem;

namespace {

class SettingsTest : public ::testing::Test {
protected:
    std::string UserDataPath() const { return Dir.Paths().UserDataPath; }
    std::string SettingFileName() const { return Dir.Paths().SettingFileName; }
    std::string StylesPath() const { return Dir.Paths().StylesPath; }

    std::string Read() {
        std::string s;
        EXPECT_TRUE(ReadWholeFile(SettingFileName(), s));
        return s;
    }
    void Write(const std::string& s) {
        fs::create_directories(UserDataPath());
        ASSERT_TRUE(WriteFileAtomic(SettingFileName(), s));
    }

    test::TProgramTestDir Dir{"ot-settings"};
};

const char* const kTwoLangs = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                              "<otTodolistSettings>\n"
                              "  <otGeneralSections>\n"
                              "    <section name=\"Lang\" value=\"zh\"/>\n"
                              "    <section name=\"lang\" value=\"case counts\"/>\n"
                              "    <section name=\"Lang\"/>\n"
                              "    <section name=\"Lang\" value=\"tw\"/>\n"
                              "  </otGeneralSections>\n"
                              "</otTodolistSettings>\n";

} // namespace

TEST_F(SettingsTest, CreatingMakesTheDirectoryButNoFile) {
    TOtSettingFile file(SettingFileName());
    EXPECT_EQ(file.FirstNodeName(), "otTodolistSettings");
    EXPECT_TRUE(fs::is_directory(UserDataPath()));
    EXPECT_FALSE(fs::exists(SettingFileName()));
    EXPECT_EQ(file.ReadSetting(GeneralSection, "Lang", "en"), "en");
}

TEST_F(SettingsTest, FirstWriteCreatesTheSkeletonAndEntriesAppend) {
    TOtSettingFile file(SettingFileName());
    EXPECT_TRUE(file.WriteSetting(GeneralSection, "Lang", "zh"));
    EXPECT_TRUE(file.WriteSetting(GeneralSection, "AppStyle", "a<b&\"c\".Style"));
    EXPECT_TRUE(file.WriteSetting(GeneralSection, "Lang", "tw"));
    EXPECT_EQ(file.ReadSetting(GeneralSection, "Lang", "en"), "tw");
    EXPECT_EQ(file.ReadSetting(GeneralSection, "AppStyle", ""), "a<b&\"c\".Style");

    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(Read().c_str(), pugi::parse_default | pugi::parse_declaration));
    EXPECT_STREQ(doc.first_child().attribute("encoding").value(), "UTF-8");
    const auto section = doc.child("otTodolistSettings").child("otGeneralSections");
    ASSERT_TRUE(section);
    std::vector<std::string> names;
    for (auto e : section.children()) {
        EXPECT_STREQ(e.name(), "section");
        names.push_back(e.attribute("name").value());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Lang", "AppStyle"}));
}

TEST_F(SettingsTest, LastEntryWinsOnReadFirstOnWrite) {
    Write(kTwoLangs);
    TOtSettingFile file(SettingFileName());
    EXPECT_EQ(file.ReadSetting(GeneralSection, "Lang", "en"), "tw");
    EXPECT_TRUE(file.WriteSetting(GeneralSection, "Lang", "en"));
    // The first entry changed, so the read still gives the last one.
    EXPECT_EQ(file.ReadSetting(GeneralSection, "Lang", "x"), "tw");
    EXPECT_NE(Read().find("name=\"Lang\" value=\"en\""), std::string::npos);
    EXPECT_EQ(file.ReadSetting(GeneralSection, "lang", "x"), "case counts");
}

TEST_F(SettingsTest, EntryWithoutValueIsIgnoredAndNotCompleted) {
    Write("<otTodolistSettings><otGeneralSections><section name=\"Lang\"/>"
          "</otGeneralSections></otTodolistSettings>");
    TOtSettingFile file(SettingFileName());
    EXPECT_EQ(file.ReadSetting(GeneralSection, "Lang", "en"), "en");
    EXPECT_TRUE(file.WriteSetting(GeneralSection, "Lang", "zh"));
    EXPECT_EQ(file.ReadSetting(GeneralSection, "Lang", "en"), "zh");
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(Read().c_str()));
    auto section = doc.child("otTodolistSettings").child("otGeneralSections");
    EXPECT_EQ(std::distance(section.begin(), section.end()), 2);
}

TEST_F(SettingsTest, AnotherRootIsReadAsDefaultsAndNeverWritten) {
    const std::string foreign = "<?xml version=\"1.0\"?>\n<copy><otGeneralSections>"
                                "<section name=\"Lang\" value=\"zh\"/></otGeneralSections></copy>";
    Write(foreign);
    TOtSettingFile file(SettingFileName());
    EXPECT_EQ(file.ReadSetting(GeneralSection, "Lang", "en"), "en");
    EXPECT_TRUE(file.WriteSetting(GeneralSection, "Lang", "tw"));
    EXPECT_EQ(Read(), foreign);
}

TEST_F(SettingsTest, MissingSectionIsCreatedOnWrite) {
    Write("<otTodolistSettings><!-- mine --></otTodolistSettings>");
    TOtSettingFile file(SettingFileName());
    EXPECT_EQ(file.ReadSetting(GeneralSection, "Lang", "en"), "en");
    EXPECT_TRUE(file.WriteSetting(GeneralSection, "Lang", "zh"));
    EXPECT_EQ(file.ReadSetting(GeneralSection, "Lang", "en"), "zh");
    EXPECT_NE(Read().find("<!-- mine -->"), std::string::npos);
}

TEST_F(SettingsTest, MalformedFileReadsDefaultsAndIsKeptAsBackupOnWrite) {
    const std::string broken = "<otTodolistSettings><otGeneralSections>"
                               "<section name=\"Lang\" value=\"zh\"></otTodolistSettings>";
    for (const std::string& content : {broken, std::string(), std::string("\xFF\xFE\x00", 3)}) {
        Write(content);
        TOtSettingFile file(SettingFileName());
        TAppSettings values;
        ReadAppSettingValues(file, StylesPath(), values);
        EXPECT_EQ(values.Lang, "en");
        EXPECT_TRUE(values.IsOpenKuaipanSync);

        EXPECT_TRUE(file.WriteSetting(GeneralSection, "SyncTimeInterval", "9"));
        EXPECT_EQ(file.ReadInt("SyncTimeInterval", 5), 9);
        std::string backup;
        ASSERT_TRUE(ReadWholeFile(SettingFileName() + ".bak", backup));
        EXPECT_EQ(backup, content);
    }
}

TEST_F(SettingsTest, BooleanAndIntegerConversions) {
    struct Case {
        const char* text;
        bool asBoolDefFalse, asBoolDefTrue;
        int asIntDef7;
    } cases[] = {
        {"True", true, true, 7},  {"FALSE", false, false, 7},     {"tRuE", true, true, 7},
        {"0", false, false, 0},   {"1", true, true, 1},           {"-3", true, true, -3},
        {"yes", false, true, 7},  {"", false, true, 7},           {"12abc", false, true, 7},
        {" 42 ", true, true, 42}, {"99999999999", true, true, 7}, {"1.5", false, true, 7},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SettingStrToBool(c.text, false), c.asBoolDefFalse) << c.text;
        EXPECT_EQ(SettingStrToBool(c.text, true), c.asBoolDefTrue) << c.text;
        EXPECT_EQ(SettingStrToInt(c.text, 7), c.asIntDef7) << c.text;
    }
    TOtSettingFile file(SettingFileName());
    file.WriteBool("IsOpenTaskAlert", false);
    file.WriteInt("TaskListViewType", 1);
    EXPECT_EQ(file.ReadSetting(GeneralSection, "IsOpenTaskAlert", ""), "False");
    EXPECT_FALSE(file.ReadBool("IsOpenTaskAlert", true));
    EXPECT_EQ(file.ReadInt("TaskListViewType", 0), 1);
}

TEST_F(SettingsTest, AppSettingValuesWithDefaults) {
    TOtSettingFile file(SettingFileName());
    TAppSettings values;
    ReadAppSettingValues(file, StylesPath(), values);
    EXPECT_EQ(values.Lang, "en");
    EXPECT_TRUE(values.IsOpenKuaipanSync);
    EXPECT_EQ(values.SyncTimeInterval, 5);
    EXPECT_FALSE(values.IsShowAppLogFormOnSyncing);
    EXPECT_EQ(values.TaskListViewType, 0);
    EXPECT_EQ(values.DefaultTaskClassIndex, 0);
    EXPECT_TRUE(values.IsOpenTaskAlert);
    EXPECT_TRUE(values.IsCheckNewVerWhenAppStart);
    EXPECT_EQ(values.AppStyle, "");
    EXPECT_EQ(values.StyleVariant, 1);

    file.WriteString("Lang", "zh");
    file.WriteString("IsOpenKuaipanSync", "0");
    file.WriteString("SyncTimeInterval", "15");
    file.WriteString("IsShowAppLogFormOnSyncing", "true");
    file.WriteString("TaskListViewType", "1");
    file.WriteString("DefaultTaskClassIndex", "-1");
    file.WriteString("IsOpenTaskAlert", "nonsense");
    file.WriteString("IsCheckNewVerWhenAppStart", "False");
    file.WriteString("AppStyle", "Dark0.Style");
    ReadAppSettingValues(file, StylesPath(), values);
    EXPECT_EQ(values.Lang, "zh");
    EXPECT_FALSE(values.IsOpenKuaipanSync);
    EXPECT_EQ(values.SyncTimeInterval, 15);
    EXPECT_TRUE(values.IsShowAppLogFormOnSyncing);
    EXPECT_EQ(values.TaskListViewType, 1);
    EXPECT_EQ(values.DefaultTaskClassIndex, -1);
    EXPECT_TRUE(values.IsOpenTaskAlert);
    EXPECT_FALSE(values.IsCheckNewVerWhenAppStart);
    EXPECT_EQ(values.AppStyle, StylesPath() + "Dark0.Style");
    EXPECT_EQ(values.StyleVariant, 0);
}

TEST_F(SettingsTest, WritesFromTwoThreadsThroughOneObjectAreAllKept) {
    TOtSettingFile file(SettingFileName());
    constexpr int kWrites = 40;
    const auto writer = [&](const std::string& prefix) {
        for (int i = 0; i < kWrites; ++i)
            EXPECT_TRUE(file.WriteString(prefix + std::to_string(i), std::to_string(i)));
    };
    std::thread other(writer, "Other");
    writer("Mine");
    other.join();
    for (const char* prefix : {"Mine", "Other"})
        for (int i = 0; i < kWrites; ++i)
            EXPECT_EQ(file.ReadString(prefix + std::to_string(i), "lost"), std::to_string(i))
                << prefix << i;
}

TEST(StyleVariant, FollowsTheStyleFileName) {
    struct Case {
        const char* style;
        int current, expected;
    } cases[] = {
        {"Light1.style", 0, 1}, {"DARK0.STYLE", 1, 0},  {"", 0, 1},
        {"Custom.style", 0, 0}, {"Custom.style", 1, 1}, {"a10.style", 0, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(StyleVariantOf(c.style, c.current), c.expected) << c.style << " " << c.current;
}

TEST(SystemLanguage, TheLocaleChoosesTheTableOfItsChineseScript) {
    const struct {
        const char* Locale;
        const char* Lang;
    } cases[] = {
        {"zh_CN.UTF-8", "cn"},
        {"zh_SG", "cn"},
        {"zh_TW.UTF-8", "tw"},
        {"zh_HK.Big5", "tw"},
        {"zh_MO", "tw"},
        {"zh_Hant_TW", "tw"},
        {"zh-Hans-SG", "cn"},
        {"zh_CN@pinyin", "cn"},
        {"zh", "en"},
        {"en_US.UTF-8", "en"},
        {"de_DE", "en"},
        {"C", "en"},
        {"", "en"},
        {"zha_CN", "en"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LangForLocale(c.Locale), c.Lang) << c.Locale;
}

TEST(SystemLanguage, LcAllThenLcMessagesThenLangDecide) {
    EXPECT_EQ(MessagesLocale("zh_TW", "zh_CN", "en_US"), "zh_TW");
    EXPECT_EQ(MessagesLocale("", "zh_CN", "en_US"), "zh_CN");
    EXPECT_EQ(MessagesLocale(nullptr, nullptr, "en_US"), "en_US");
    EXPECT_EQ(MessagesLocale(nullptr, "", nullptr), "");
}
