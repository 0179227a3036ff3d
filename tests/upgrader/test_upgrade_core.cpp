// The upgrade program's helpers below its windows: versions, settings, the
// identity file, the list rules, the usage record and downloads.

#include "upgrader/BrenmoorCommon.h"
#include "upgrader/OtAppUseStatistics.h"
#include "upgrader/OtUpgradeCommandLine.h"
#include "upgrader/OtUpgradeHttp.h"
#include "upgrader/OtUpgradeList.h"
#include "upgrader/RawReplyServer.h"
#include "upgrader/UpdateServerProcess.h"

#include "common/FileUtil.h"
#include "common/Text.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

namespace ot::test {
namespace {

namespace fs = std::filesystem;

TEST(UpgradeCore, CompareVersionOrdersDottedIntegersOverTheCommonParts) {
    struct Case {
        const char *A, *B;
        int Expected;
    } cases[] = {
        {"1.0.2013.1", "1.0.2012.1128", 1},
        {"1.0.2012.1128", "1.0.2012.1128", 0},
        {"1.0.2012", "1.0.2012.1128", 0},
        {"1.0.2012.1127", "1.0.2012.1128", -1},
        {"1.2", "1.2.5", 0},
        {"1.10", "1.9", 1},
        {"2", "10", -1},
        {"1.0.0.0", "", 1},
        {"1.x.3", "1.0.2", 1},
        {"1.0", "1.x", 0},
        // An empty version is one part, 0.
        {"0.0.1", "", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CompareVersion(c.A, c.B), c.Expected) << c.A << " vs " << c.B;
}

TEST(UpgradeCore, CommonSettingsAreReadFromTheirSectionTheLastNameCounting) {
    TempDir dir;
    const std::string app = dir.Path().string() + "/";
    const fs::path file = dir.Path() / "appdata" / "otCommonSettings.xml";
    EXPECT_EQ(ReadCommonSetting(app, "Lang", "en"), "en") << "no file";
    WriteTestFile(file, R"(<?xml version="1.0"?><otContactsSettings><otGeneralSections>
        <a name="Lang" value="zh"/><b name="SarnicHost" value="http://h:1"/><c name="Lang" value="tw"/>
        </otGeneralSections><other><d name="Other" value="x"/></other></otContactsSettings>)");
    EXPECT_EQ(ReadCommonSetting(app, "Lang", "en"), "tw");
    EXPECT_EQ(ReadCommonSetting(app, "SarnicHost", "d"), "http://h:1");
    EXPECT_EQ(ReadCommonSetting(app, "Other", "d"), "d");
    WriteTestFile(file, R"(<otTodolistSettings><otGeneralSections><a name="Lang" value="zh"/>)"
                        R"(</otGeneralSections></otTodolistSettings>)");
    EXPECT_EQ(ReadCommonSetting(app, "Lang", "en"), "en") << "another root";
    WriteTestFile(file, "<otContactsSettings><otGeneralSections><a name=");
    EXPECT_EQ(ReadCommonSetting(app, "Lang", "en"), "en") << "not well-formed";
}

TEST(UpgradeCore, VersionFilesGiveTheirFirstLineAndAreOnlyRewrittenWhenPresent) {
    TempDir dir;
    const std::string app = dir.Path().string() + "/";
    EXPECT_EQ(GetAppVerFile(app, "otTodolist"), "");
    EXPECT_FALSE(WriteVerFile(app + "otTodolist.ver", "1.0"));
    EXPECT_FALSE(fs::exists(app + "otTodolist.ver"));
    WriteTestFile(app + "otTodolist.ver", "1.0.2012.1128\r\nsecond line\n");
    ASSERT_EQ(GetAppVerFile(app, "otTodolist"), app + "otTodolist.ver");
    EXPECT_EQ(ReadVerFile(app + "otTodolist.ver"), "1.0.2012.1128");
    EXPECT_EQ(InstalledAppVersion(app, "otTodolist"), "1.0.2012.1128");
    EXPECT_TRUE(WriteVerFile(app + "otTodolist.ver", "1.0.2013.1"));
    EXPECT_EQ(ReadTestFile(app + "otTodolist.ver"), "1.0.2013.1");
    WriteTestFile(app + "empty.ver", "");
    EXPECT_EQ(ReadVerFile(app + "empty.ver"), "");
}

TEST(UpgradeCore, TheIdentityIsMadeOnceAndReadTrimmed) {
    TempDir dir;
    const std::string app = dir.Path().string() + "/";
    const std::string guid = GetAppGuid(app, "Dorvel");
    EXPECT_TRUE(std::regex_match(
        guid, std::regex(R"(\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\})")))
        << guid;
    EXPECT_EQ(ReadTestFile(app + "Dorvel.uid"), guid + "\n");
    EXPECT_EQ(GetAppGuid(app, "Dorvel"), guid);
    EXPECT_NE(GetAppGuid(app, "Other"), guid);
    WriteTestFile(app + "Dorvel.uid", "  {ABC}\r\n");
    EXPECT_EQ(GetAppGuid(app, "Dorvel"), "{ABC}");
    EXPECT_EQ(ReadTestFile(app + "Dorvel.uid"), "  {ABC}\r\n") << "never rewritten";
}

TEST(UpgradeCore, ListEntriesAreTakenByNameOrDependenceSubstring) {
    struct Case {
        const char *App, *Name, *Dependence;
        bool Taken;
    } cases[] = {
        {"otAllApp", "anything", "", true},
        {"Dorvel", "Dorvel", "", true},
        {"Dorvel", "otUpgrade", "Dorvel", true},
        {"Dorvel", "otUpgrade", "otContacts,Dorvel2", true},
        {"Dorvel", "otUpgrade", "otContacts", false},
        {"Dorvel", "otTodolist", "dorvel", false},
        {"Dorvel", "Dorvel2", "", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(AppListEntryTaken(c.App, c.Name, c.Dependence), c.Taken)
            << c.App << " " << c.Name << " " << c.Dependence;
}

TEST(UpgradeCore, ListAddressesAndSizesReadAsTheWindowShowsThem) {
    EXPECT_EQ(UpgradeAppListUrl("http://h:1", "en"),
              "http://h:1/brenmoor/Update/Win32/otUpgradeAppList.xml");
    EXPECT_EQ(UpgradeAppListUrl("http://h:1", "zh"),
              "http://h:1/brenmoor/Update/Win32/otUpgradeAppList_zh.xml");
    EXPECT_EQ(FormatPackageSize(1572864), "1.5 M");
    EXPECT_EQ(FormatPackageSize(0), "0.0 M");
    EXPECT_EQ(FormatPackageSize(1048576 * 12), "12.0 M");
}

TEST(UpgradeCore, TheCommandLineIsReadLeftToRightCaseSensitively) {
    const TUpgradeArgs a = ParseUpgradeArgs(
        {"-L:zh", "-App:Dorvel", "-Auth:free", "-Silence", "-L:tw", "-silence", "-app:X", "junk"});
    EXPECT_EQ(a.Lang.value_or("?"), "tw");
    EXPECT_EQ(a.AppName, "Dorvel");
    EXPECT_EQ(a.AuthType, "free");
    EXPECT_TRUE(a.Silence);
    const TUpgradeArgs none = ParseUpgradeArgs({"-Silence2", "--screenshot", "upgrade=/tmp/x.png"});
    EXPECT_FALSE(none.Lang);
    EXPECT_EQ(none.AppName, "otAllApp");
    EXPECT_FALSE(none.Silence);
    ASSERT_EQ(none.Screenshots.size(), 1u);
    EXPECT_EQ(none.Screenshots[0].second, "/tmp/x.png");
}

TEST(UpgradeCore, TheServersSuccessMemberDecidesTheSubmission) {
    struct Case {
        std::string Reply;
        bool Expected;
    } cases[] = {
        {RawReplyServer::Ok(R"({"success":true})"), true},
        {RawReplyServer::Ok(R"({"success":false})"), false},
        {RawReplyServer::Ok(R"({"success":"1"})"), true},
        {RawReplyServer::Ok(R"({"success":"0"})"), false},
        {RawReplyServer::Ok(R"({"success":"TRUE"})"), true},
        {RawReplyServer::Ok(R"({"success":"False"})"), false},
        {RawReplyServer::Ok(R"({"success":7})"), true},
        {RawReplyServer::Ok(R"({"success":0})"), false},
        {RawReplyServer::Ok(R"({"success":"yes"})"), false},
        {RawReplyServer::Ok(R"({"ok":true})"), false},
        {RawReplyServer::Ok(R"([{"success":true}])"), false},
        {RawReplyServer::Ok("success=true", "text/plain"), false},
        {"HTTP/1.1 500 Oops\r\nContent-Length: 16\r\nConnection: close\r\n\r\n{\"success\":true}",
         false},
    };
    const TAppPostInfo info{"{G}", "Dorvel", "1.0", "free", "Debian 12 & more"};
    for (const auto& c : cases) {
        RawReplyServer server(c.Reply);
        TAppUseStatistics sender(server.Host(), info);
        EXPECT_EQ(sender.Submit(), c.Expected) << c.Reply;
        EXPECT_EQ(server.LastBody(), "guid=%7BG%7D&appName=Dorvel&appVer=1.0&authType=free&"
                                     "osSysInfo=Debian+12+%26+more");
    }
    TAppUseStatistics nobody("http://127.0.0.1:1", info);
    EXPECT_FALSE(nobody.Submit());
}

TEST(UpgradeCore, TheUsageRecordReportsTheExecutablesVersionAndUnknownAuthorization) {
    TempDir dir;
    const std::string app = dir.Path().string() + "/";
    fs::copy_file(OT_SAMPLE_OLD_EXE, app + "Dorvel");
    const TAppPostInfo info = GatherAppPostInfo(app, "Dorvel", "");
    EXPECT_EQ(info.AppVer, "1.0.2012.1128");
    EXPECT_EQ(info.AuthType, "unknown");
    EXPECT_EQ(info.GUID, Trim(ReadTestFile(app + "Dorvel.uid")));
    EXPECT_FALSE(info.OsSysInfo.empty());
    EXPECT_EQ(GatherAppPostInfo(app, "Missing", "free").AppVer, "");
}

TEST(UpgradeCore, ADownloadCutShortLeavesNoFileAndTheOldOneUntouched) {
    TempDir dir;
    const fs::path target = dir.Path() / "otTodolist.zip";
    const std::string cut =
        "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\nConnection: close\r\n\r\n" +
        std::string(30000, 'z');
    const std::string missing = "HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nno\n";
    for (const std::string& reply : {cut, missing}) {
        RawReplyServer server(reply);
        EXPECT_FALSE(HttpDownloadFile(server.Host() + "/p.zip", target.string()));
        EXPECT_FALSE(fs::exists(target));
        WriteTestFile(target, "earlier");
        EXPECT_FALSE(HttpDownloadFile(server.Host() + "/p.zip", target.string()));
        EXPECT_EQ(ReadTestFile(target), "earlier");
        fs::remove(target);
        EXPECT_TRUE(fs::is_empty(dir.Path())) << "a temporary file stayed";
    }
    RawReplyServer whole(RawReplyServer::Ok("whole body", "application/zip"));
    std::int64_t begun = -1, last = 0;
    bool ended = false;
    TDownloadEvents events;
    events.WorkBegin = [&](std::int64_t n) { begun = n; };
    events.Work = [&](std::int64_t n) {
        last = n;
        return true;
    };
    events.WorkEnd = [&] { ended = true; };
    EXPECT_TRUE(HttpDownloadFile(whole.Host() + "/p.zip", target.string(), events));
    EXPECT_EQ(ReadTestFile(target), "whole body");
    EXPECT_EQ(begun, 10);
    EXPECT_EQ(last, 10);
    EXPECT_TRUE(ended);
}

} // namespace
} // namespace ot::test
