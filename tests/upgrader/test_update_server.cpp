// otUpdateServer: what it serves, what it records, what it refuses, and the
// lists its publish command keeps.

#include "upgrader/UpdateServerProcess.h"

#include "common/FileUtil.h"
#include "package/OtPackageSignature.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <regex>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

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

// Records are taken so often from one address and so many in all; "usage" prints each
// record on one line of printable text, whatever a record kept from before holds.
TEST(UpdateServer, UsageRecordsAreLimitedAndListedEscaped) {
    UpdateServerProcess server({"--usage-per-address-per-hour", "3"});
    httplib::Client client("127.0.0.1", server.Port());
    const char* path = "/brenmoor2012/asp/brenAppUseStatisticsDo.asp";
    const std::string body = "guid=G&appName=Dorvel&appVer=1&authType=free&osSysInfo=x";
    std::vector<int> statuses;
    for (int i = 0; i < 4; ++i) {
        auto res = client.Post(path, body, "application/x-www-form-urlencoded");
        statuses.push_back(res ? res->status : 0);
    }
    EXPECT_EQ(statuses, (std::vector<int>{200, 200, 200, 429}));
    {
        server::UsageLog log(server.Root());
        server::AppUsageRecord old{1,
                                   "{G}\n2\tforged",
                                   "Dorvel\x1b[2J",
                                   "1\\2",
                                   "free",
                                   "\xc2\x9b"
                                   "31m"};
        EXPECT_TRUE(log.Add(old));
    }
    std::string out;
    {
        FILE* p = ::popen(
            (UpdateServerProcess::BinaryPath() + " usage --root " + server.Root().string()).c_str(),
            "r");
        ASSERT_TRUE(p);
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
            out.append(buf, n);
        EXPECT_EQ(::pclose(p), 0);
    }
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 4);
    EXPECT_EQ(out.find('\x1b'), std::string::npos);
    EXPECT_NE(out.find("1\t{G}\\n2\\tforged\tDorvel\\x1b[2J\t1\\\\2\tfree\t\\xc2\\x9b31m\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(server::EscapeUsageField("plain 任务"), "plain 任务");

    // Past the total, records are refused whoever sends them.
    UpdateServerProcess capped({"--max-usage-records", "2"});
    httplib::Client toCapped("127.0.0.1", capped.Port());
    statuses.clear();
    for (int i = 0; i < 3; ++i) {
        auto res = toCapped.Post(path, body, "application/x-www-form-urlencoded");
        statuses.push_back(res ? res->status : 0);
    }
    EXPECT_EQ(statuses, (std::vector<int>{200, 200, 507}));
    EXPECT_EQ(capped.UsageRecords().size(), 2u);
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

// The options of serve from a configuration file (as the systemd unit runs
// it); the command line wins over the file, and a bad line stops the server.
TEST(UpdateServer, ServeTakesItsOptionsFromAConfigurationFile) {
    TempDir dir;
    const fs::path config = dir.Path() / "otupdateserver.conf";
    ASSERT_TRUE(WriteFileAtomic(config, "# limits\n"
                                        "max-usage-records = 1\n"
                                        "usage-per-address-per-hour = 1\n"
                                        "quiet = yes\n"));
    UpdateServerProcess server({"--config", config.string(), "--usage-per-address-per-hour", "5"});
    httplib::Client client("127.0.0.1", server.Port());
    const std::string body = "guid=G&appName=Dorvel&appVer=1&authType=free&osSysInfo=x";
    std::vector<int> statuses;
    for (int i = 0; i < 2; ++i) {
        auto res = client.Post("/brenmoor2012/asp/brenAppUseStatisticsDo.asp", body,
                               "application/x-www-form-urlencoded");
        statuses.push_back(res ? res->status : 0);
    }
    // One record in all (the file); not refused as too many from one address
    // (the command line's 5 over the file's 1).
    EXPECT_EQ(statuses, (std::vector<int>{200, 507}));

    for (const char* bad : {"no-such-option = 1\n", "just words\n", "quiet = maybe\n"}) {
        SCOPED_TRACE(bad);
        ASSERT_TRUE(WriteFileAtomic(config, bad));
        const std::string command = UpdateServerProcess::BinaryPath() + " serve --root " +
                                    (dir.Path() / "root").string() + " --port 0 --config " +
                                    config.string() + " 2>/dev/null";
        const int status = std::system(command.c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
    }
}

// Under systemd standard error is the journal, which stamps every line: the
// server then writes none of its own time stamps. systemd says so with
// JOURNAL_STREAM, the device and inode of the stream it connected.
TEST(UpdateServer, LogLinesLeaveTheTimeStampToTheJournal) {
    TempDir dir;
    for (const bool journal : {false, true}) {
        SCOPED_TRACE(journal ? "journal" : "plain");
        const fs::path log = dir.Path() / (journal ? "journal.log" : "plain.log");
        const fs::path ports = dir.Path() / (journal ? "journal.ports" : "plain.ports");
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        struct stat st {};
        ASSERT_EQ(::fstat(fd, &st), 0);
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (std::string(*e).rfind("JOURNAL_STREAM=", 0) != 0)
                env.emplace_back(*e);
        if (journal)
            env.push_back("JOURNAL_STREAM=" + std::to_string(st.st_dev) + ":" +
                          std::to_string(st.st_ino));
        std::vector<std::string> args = {UpdateServerProcess::BinaryPath(), "serve", "--root",
                                         (dir.Path() / "root").string(), "--port", "0",
                                         "--ports-file", ports.string()};
        std::vector<char*> argv, envp;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&fa, fd, 2);
        pid_t pid = -1;
        ASSERT_EQ(posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&fa);
        ::close(fd);
        std::string portsText;
        for (int i = 0; i < 500 && !ReadWholeFile(ports, portsText); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const auto port = nlohmann::json::parse(portsText, nullptr, false);
        ASSERT_TRUE(port.is_object()) << portsText;
        httplib::Client client("127.0.0.1", port["port"].get<int>());
        ASSERT_TRUE(client.Get("/brenmoor/Update/Win32/otUpgradeAppList.xml"));
        ::kill(pid, SIGTERM);
        int status = 0;
        ::waitpid(pid, &status, 0);
        const std::string text = ReadTestFile(log);
        const std::regex stamped(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d 127\.0\.0\.1 GET )");
        const std::regex bare(R"(^127\.0\.0\.1 GET /brenmoor/Update/Win32/otUpgradeAppList\.xml )");
        EXPECT_TRUE(std::regex_search(text, journal ? bare : stamped)) << text;
    }
}

// The version of the entry is the one the upgrade program will find in the
// installed executable afterwards; any other would be offered again forever.
TEST(UpdateServer, PublishRefusesAVersionThatDiffersFromTheExecutablesRecord) {
    UpdateServerProcess server;
    const auto folder = server.MakeFolder("app", {{"styles/x.Style", "s"}});
    fs::copy_file(OT_SAMPLE_OLD_EXE, folder / "otTodolist");
    struct Case {
        const char* Version;
        bool Published;
    };
    for (const Case c : {Case{"1.0.2013.1", false}, Case{"1.0.2012", false},
                         Case{"1.0.2012.1128", true}, Case{"1.0.2012.1128.0", true}}) {
        SCOPED_TRACE(c.Version);
        EXPECT_EQ(server.Publish({"--name", "otTodolist", "--version", c.Version, "--from",
                                  folder.string()}) == 0,
                  c.Published);
        EXPECT_EQ(fs::exists(server.Root() / "packages" /
                             (std::string("otTodolist-") + c.Version + ".zip")),
                  c.Published);
    }
    EXPECT_EQ(ListedNames(server.ListFile()),
              std::vector<std::string>{"otTodolist 1.0.2012.1128.0"});
    // A file of that name without a version record is published as named.
    const auto plain = server.MakeFolder("plain", {{"otTodolist", "a script"}});
    EXPECT_EQ(server.Publish({"--name", "otTodolist", "--version", "7", "--from", plain.string()}),
              0);
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
        {"guid=G&appName=Dorvel&appVer=1&authType=free&osSysInfo=x",
         "application/x-www-form-urlencoded-not", false},
        {"guid=G&appName=Dorvel&appVer=1&authType=free&osSysInfo=x",
         "Application/X-WWW-Form-Urlencoded; charset=UTF-8", true},
        // Values that would forge a line of the usage listing or steer a terminal.
        {"guid=G&appName=Dorvel&appVer=1&authType=free&osSysInfo=a%0A1%09forged", form, false},
        {"guid=G&appName=Dorvel%1B%5B2J&appVer=1&authType=free&osSysInfo=x", form, false},
        {"guid=G&appName=Dorvel&appVer=%C2%9B31m&authType=free&osSysInfo=x", form, false},
        {"guid=G&appName=Dorvel&appVer=%FF&authType=free&osSysInfo=x", form, false},
        {"guid=G&appName=Dorvel&appVer=1&authType=free&osSysInfo=Debian+%E4%BB%BB", form, true},
    };
    for (const auto& c : cases) {
        const auto res = client.Post(path, c.Body, c.Type);
        ASSERT_TRUE(res) << c.Body;
        EXPECT_EQ(res->body, c.Accepted ? R"({"success":true})" : R"({"success":false})") << c.Body;
    }
    const auto records = server.UsageRecords();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].Guid, "{G}");
    EXPECT_EQ(records[0].OsSysInfo, "Debian 12 & more");
    EXPECT_EQ(records[1].AuthType, "unknown");
    EXPECT_EQ(fs::status(server.Root() / "usage.db").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    // A body beyond the limit is refused before it is read.
    const auto big = client.Post(path, std::string(100000, 'x'), form);
    EXPECT_TRUE(!big || big->status == 413);
    EXPECT_EQ(server.UsageRecords().size(), 4u);
}

} // namespace
} // namespace ot::test
