// otUpdateServer: what it serves, what it records, what it refuses, and the
// lists its publish command keeps.

#include "upgrader/UpdateServerProcess.h"

#include "common/FileUtil.h"
#include "package/OtPackageSignature.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <pugixml.hpp>

namespace ot::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> ListedNames(const fs::path& file) {
    pugi::xml_document doc;
    doc.load_file(file.c_str());
    std::vector<std::string> out;
    for (auto app : doc.child("otUpgradeAppList").child("otAppList").children())
        out.push_back(std::string(app.attribute("name").value()) + " " +
                      app.attribute("version").value());
    return out;
}

TEST(UpdateServer, PublishAddsOrReplacesTheEntryInEveryLanguagesList) {
    UpdateServerProcess server;
    const auto a = server.MakeFolder("a", {{"otTodolist", "one"}, {"styles/x.Style", "s"}});
    ASSERT_EQ(server.Publish({"--name", "otTodolist", "--version", "1.1", "--from", a.string()}),
              0);
    ASSERT_EQ(server.Publish({"--name", "otUpgrade", "--version", "1.1", "--from", a.string()}), 0);
    ASSERT_EQ(server.Publish({"--name", "otTodolist", "--version", "1.2", "--from", a.string(),
                              "--title", "Sarnic Tasks"}),
              0);
    for (const char* lang : {"en", "zh", "tw"})
        EXPECT_EQ(ListedNames(server.ListFile(lang)),
                  (std::vector<std::string>{"otTodolist 1.2", "otUpgrade 1.1"}))
            << lang;

    // The entry describes the package as served, sealed with the publisher's key.
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_file(server.ListFile("zh").c_str()));
    const auto app = doc.child("otUpgradeAppList").child("otAppList").first_child();
    EXPECT_STREQ(app.attribute("title").value(), "Sarnic Tasks");
    httplib::Client client("127.0.0.1", server.Port());
    const std::string url = app.attribute("url").value();
    ASSERT_EQ(url.rfind(server.Host(), 0), 0u) << url;
    const auto res = client.Get(url.substr(server.Host().size()));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(std::to_string(res->body.size()), app.attribute("size").value());
    const fs::path copy = server.Root().parent_path() / "copy.zip";
    ASSERT_TRUE(WriteFileAtomic(copy, res->body));
    const TPackageSeal seal{"otTodolist", "1.2", static_cast<long long>(res->body.size()),
                            app.attribute("sha256").value(), app.attribute("signature").value()};
    EXPECT_TRUE(PackageMatchesSeal(copy.string(), seal, server.PublicKey()));

    // Nothing to pack, or no key: refused, the lists unchanged.
    const auto empty = server.Root().parent_path() / "empty";
    fs::create_directories(empty);
    EXPECT_NE(
        server.Publish({"--name", "otTodolist", "--version", "1.3", "--from", empty.string()}), 0);
    EXPECT_NE(server.Publish({"--name", "../x", "--version", "1.3", "--from", a.string()}), 0);
    EXPECT_EQ(ListedNames(server.ListFile()),
              (std::vector<std::string>{"otTodolist 1.2", "otUpgrade 1.1"}));
}

TEST(UpdateServer, ServesOnlyListsAndPackages) {
    UpdateServerProcess server;
    const auto a = server.MakeFolder("a", {{"otTodolist", "one"}});
    ASSERT_EQ(server.Publish({"--name", "otTodolist", "--version", "1.1", "--from", a.string()}),
              0);
    httplib::Client client("127.0.0.1", server.Port());
    struct Case {
        const char* Path;
        int Status;
    } cases[] = {
        {"/brenmoor/Update/Win32/otUpgradeAppList.xml", 200},
        {"/brenmoor/Update/Win32/otUpgradeAppList_zh.xml", 200},
        {"/brenmoor/Update/Win32/otUpgradeAppList_fr.xml", 404},
        {"/brenmoor/Update/Win32/packages/otTodolist-1.1.zip", 200},
        {"/brenmoor/Update/Win32/packages/../usage.db", 404},
        {"/brenmoor/Update/Win32/packages/%2e%2e/usage.db", 404},
        {"/brenmoor/Update/Win32/../../usage.db", 404},
        {"/brenmoor/Update/Win32/lists/otUpgradeAppList.xml", 404},
        {"/usage.db", 404},
    };
    for (const auto& c : cases) {
        httplib::Request req;
        req.method = "GET";
        req.path = c.Path;
        const auto res = client.send(req);
        ASSERT_TRUE(res) << c.Path;
        EXPECT_EQ(res->status, c.Status) << c.Path;
    }
    const auto put = client.Put("/brenmoor/Update/Win32/otUpgradeAppList.xml", "x", "text/xml");
    ASSERT_TRUE(put);
    EXPECT_EQ(put->status, 405);
}

TEST(UpdateServer, RecordsWellFormedUsageAndRefusesTheRest) {
    UpdateServerProcess server;
    httplib::Client client("127.0.0.1", server.Port());
    const char* path = "/brenmoor2012/asp/brenAppUseStatisticsDo.asp";
    const char* form = "application/x-www-form-urlencoded";
    struct Case {
        std::string Body;
        const char* Type;
        bool Accepted;
    } cases[] = {
        {"guid=%7BG%7D&appName=Dorvel&appVer=1.0&authType=free&osSysInfo=Debian+12+%26+more", form,
         true},
        {"guid=&appName=Dorvel&appVer=&authType=unknown&osSysInfo=", form, true},
        {"appName=Dorvel&guid=G&appVer=1&authType=free&osSysInfo=x", form, false},
        {"guid=G&appName=Dorvel&appVer=1&authType=free", form, false},
        {"guid=G&appName=Dorvel&appVer=1&authType=free&osSysInfo=x&more=1", form, false},
        {"guid=G&appName=&appVer=1&authType=free&osSysInfo=x", form, false},
        {"guid=%G1&appName=Dorvel&appVer=1&authType=free&osSysInfo=x", form, false},
        {"guid=G&appName=Dorvel&appVer=1&authType=free&osSysInfo=" + std::string(2000, 'x'), form,
         false},
        {"guid=G&appName=Dorvel&appVer=1&authType=free&osSysInfo=x", "text/plain", false},
    };
    for (const auto& c : cases) {
        const auto res = client.Post(path, c.Body, c.Type);
        ASSERT_TRUE(res) << c.Body;
        EXPECT_EQ(res->body, c.Accepted ? R"({"success":true})" : R"({"success":false})") << c.Body;
    }
    const auto records = server.UsageRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].Guid, "{G}");
    EXPECT_EQ(records[0].OsSysInfo, "Debian 12 & more");
    EXPECT_EQ(records[1].AuthType, "unknown");
    EXPECT_EQ(fs::status(server.Root() / "usage.db").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    // A body beyond the limit is refused before it is read.
    const auto big = client.Post(path, std::string(100000, 'x'), form);
    EXPECT_TRUE(!big || big->status == 413);
    EXPECT_EQ(server.UsageRecords().size(), 2u);
}

} // namespace
} // namespace ot::test
