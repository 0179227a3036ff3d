// Several otCloudServer processes on one PostgreSQL database, as behind a load
// balancer: a client whose requests go to either server sees one service (listings,
// replays, quota, login lockout and login sessions, share-code guesses and logins
// started per address), a server killed during uploads
// loses nothing it answered, and a data directory migrated into the database serves
// its clients on as before.

#include "PgCloudStore.h"
#include "cloud/KuaipanAPI.h"
#include "cloud/KuaipanConsumer.h"
#include "cloud/KuaipanException.h"
#include "cloud/KuaipanHTTPUtility.h"
#include "cloud/OauthUtility.h"
#include "common/FileUtil.h"
#include "support/CloudServerProcess.h"
#include "support/PostgresInstance.h"
#include "support/SiteClient.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using ot::test::Between;
using ot::test::CloudServerProcess;
using ot::test::SiteClient;

namespace {

// The web login with its page from one server and its form posted to another (the
// session cookie and hidden fields travel as a browser would carry them). Answers the
// verifier, or the site's error text after "error: ".
std::string WebLogin(const CloudServerProcess& page, const CloudServerProcess& form,
                     const std::string& requestToken, const std::string& user,
                     const std::string& password) {
    auto pageCli = SiteClient(page);
    auto shown =
        pageCli->Get(("/api.php?ac=open&op=authorise&oauth_token=" + requestToken).c_str());
    if (!shown || shown->status != 200)
        return "error: no page";
    const std::string sid = Between(shown->get_header_value("Set-Cookie"), "SID=", ";");
    httplib::MultipartFormDataItems fields = {
        {"username", ot::TOauthUtility::UrlFormEncode(user), "", ""},
        {"userpwd", ot::TOauthUtility::UrlFormEncode(password), "", ""},
    };
    for (const char* f : {"s", "app_name", "oauth_token"})
        fields.push_back(
            {f,
             ot::TOauthUtility::UrlFormEncode(Between(
                 shown->body, std::string("type=\"hidden\" name=\"") + f + "\" value=\"", "\"/>")),
             "", ""});
    auto formCli = SiteClient(form);
    auto answer =
        formCli->Post("/api.php?ac=open&op=authorisecheck", {{"Cookie", "SID=" + sid}}, fields);
    if (!answer || answer->status != 200)
        return "error: no answer";
    if (answer->body.find("<div class=\"mid cnt clearfix\">") != std::string::npos)
        return Between(answer->body, "<div>授权码：<strong>", "</strong></div>");
    return "error: " + Between(answer->body, "<div>授权错误：<strong>", "</strong></div>");
}

class CloudServerPostgreSQLServers : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        auto* pg = ot::test::PostgresInstance::Shared(why);
        if (!pg)
            GTEST_SKIP() << why;
        Uri = pg->NewDatabase();
    }
    // Two servers on the test's database; the first adds the user.
    void StartBoth(std::vector<std::string> extra = {}) {
        A = std::make_unique<CloudServerProcess>(
            CloudServerProcess::Options{.ExtraArgs = extra, .Store = Uri});
        B = std::make_unique<CloudServerProcess>(
            CloudServerProcess::Options{.ExtraArgs = extra, .Store = Uri, .AddUser = false});
    }
    // A client of one server holding the token (key, secret).
    ot::TKuaipanAPI ApiOf(const CloudServerProcess& server,
                          const std::pair<std::string, std::string>& token) {
        auto session = std::make_shared<ot::TOauthSession>(ot::ConsumerKey, ot::ConsumerSecret,
                                                           server.Hosts());
        session->SetAuthToken(token.first, token.second);
        return ot::TKuaipanAPI(session);
    }
    static std::vector<std::string> Names(ot::TKuaipanAPI& api, const std::string& folder) {
        std::vector<std::string> out;
        for (const auto& f : api.Metadata(folder, true).files)
            out.push_back(f.name + ":" + std::to_string(f.size));
        return out;
    }
    static std::string Read(ot::TKuaipanAPI& api, const std::string& path) {
        std::ostringstream body;
        return api.DownloadFile(path, body).Code == 200 ? body.str() : "(not there)";
    }

    std::string Uri;
    std::unique_ptr<CloudServerProcess> A, B;
};

// Every request goes to the other server than the one before; each sees at once what
// the other did, the listings either had kept from before included.
TEST_F(CloudServerPostgreSQLServers, AClientAlternatingBetweenServersSeesOneService) {
    StartBoth();
    const auto token = A->IssueAccessToken();
    auto a = ApiOf(*A, token);
    auto b = ApiOf(*B, token);
    ASSERT_FALSE(a.CreateFolder("/W").file_id.empty());
    // Both keep a listing of the folders now.
    EXPECT_EQ(Names(b, "/W"), std::vector<std::string>{});
    EXPECT_EQ(Names(a, "/W"), std::vector<std::string>{});
    EXPECT_EQ(Names(b, "/").size(), 1u);

    struct Step {
        const char* What;
        std::function<bool()> Do;
        ot::TKuaipanAPI* Reader;
        std::vector<std::string> Listing; // of /W afterwards
        std::string File, Content;        // and one file's bytes
    };
    const Step steps[] = {
        {"push through A, pull through B",
         [&] { return !a.UploadData("/W/t.tsk", "one", true).file_id.empty(); },
         &b,
         {"t.tsk:3"},
         "/W/t.tsk",
         "one"},
        {"push through B, pull through A",
         [&] { return !b.UploadData("/W/t.tsk", "two!", true).file_id.empty(); },
         &a,
         {"t.tsk:4"},
         "/W/t.tsk",
         "two!"},
        {"a second file through A",
         [&] { return !a.UploadData("/W/u.tsk", "u", true).file_id.empty(); },
         &b,
         {"t.tsk:4", "u.tsk:1"},
         "/W/u.tsk",
         "u"},
        {"a rename through B",
         [&] { return b.Move("/W/t.tsk", "/W/v.tsk").Code == 200; },
         &a,
         {"u.tsk:1", "v.tsk:4"},
         "/W/v.tsk",
         "two!"},
        {"a deletion through A",
         [&] { return a.Delete("/W/u.tsk", true).Code == 200; },
         &b,
         {"v.tsk:4"},
         "/W/u.tsk",
         "(not there)"},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.What);
        ASSERT_TRUE(s.Do());
        EXPECT_EQ(Names(*s.Reader, "/W"), s.Listing);
        EXPECT_EQ(Read(*s.Reader, s.File), s.Content);
    }
    // A change based on what one server showed is refused by the other once the file
    // moved on.
    const std::string rev = a.Metadata("/W/v.tsk", false).rev;
    ASSERT_FALSE(a.UploadData("/W/v.tsk", "three", true, rev).file_id.empty());
    auto stale = b.UploadData("/W/v.tsk", "stale", true, rev);
    EXPECT_TRUE(stale.file_id.empty());
    EXPECT_EQ(Read(b, "/W/v.tsk"), "three");
}

// A request captured on its way to one server is refused by the other: behind one
// address both see the same Host, so the signature holds there; the nonce does not.
TEST_F(CloudServerPostgreSQLServers, ARequestReplayedToTheOtherServerIsRefused) {
    StartBoth();
    const auto token = A->IssueAccessToken();
    auto a = ApiOf(*A, token);
    const std::string host = "cloud.example:80";
    auto url = ot::TOauthUtility::BuildGetURL(host, "/1/metadata/app_folder/", {},
                                              a.GetSession().Consumer(),
                                              a.GetSession().Token().get(), false);
    const std::string target = url.Url().substr(std::string("http://").size() + host.size());
    auto send = [&](const CloudServerProcess& server) {
        httplib::Client cli("127.0.0.1", server.Port());
        auto r = cli.Get(target.c_str(), {{"Host", host}});
        return r ? std::to_string(r->status) + " " + r->body : std::string("no answer");
    };
    EXPECT_EQ(send(*A).substr(0, 3), "200");
    const std::string replay = send(*B);
    EXPECT_EQ(replay.substr(0, 3), "401");
    EXPECT_NE(replay.find("nonce already used"), std::string::npos) << replay;
    EXPECT_NE(send(*A).find("nonce already used"), std::string::npos);
}

// A server answers a token it checked before in one trip to the database, but never
// from what it read alone: a token revoked, or a consumer's secret replaced, through
// the other server counts at the next request.
TEST_F(CloudServerPostgreSQLServers, WhatAServerReadOfATokenYieldsToChangesThroughTheOther) {
    StartBoth();
    // A refused signature is an empty answer, an ended token an exception.
    const auto Lists = [](ot::TKuaipanAPI& api) {
        try {
            return !api.Metadata("/", true).file_id.empty();
        } catch (const ot::TKuaipanException&) {
            return false;
        }
    };
    const auto first = A->IssueAccessToken();
    auto a = ApiOf(*A, first);
    for (int k = 0; k < 2; ++k)
        ASSERT_FALSE(a.Metadata("/", true).file_id.empty()) << "request " << k;
    ASSERT_EQ(B->RunCommand({"revoke-tokens", "--user", "alice"}), 0);
    EXPECT_THROW(a.Metadata("/", true), ot::TKuaipanAuthExpiredException);

    const auto second = A->IssueAccessToken();
    auto old = ApiOf(*A, second);
    ASSERT_FALSE(old.Metadata("/", true).file_id.empty());
    ASSERT_FALSE(old.Metadata("/", true).file_id.empty());
    ASSERT_EQ(B->RunCommand({"add-consumer", "--key", ot::ConsumerKey, "--secret", "renewed"}), 0);
    EXPECT_FALSE(Lists(old)) << "signed with the replaced secret";
    auto session = std::make_shared<ot::TOauthSession>(ot::ConsumerKey, "renewed", A->Hosts());
    session->SetAuthToken(second.first, second.second);
    ot::TKuaipanAPI renewed(session);
    EXPECT_TRUE(Lists(renewed));
    EXPECT_TRUE(Lists(renewed));
}

TEST_F(CloudServerPostgreSQLServers, QuotaAndLoginLockoutHoldAcrossBothServers) {
    StartBoth({"--quota-mb", "1"});
    const auto token = A->IssueAccessToken();
    auto a = ApiOf(*A, token);
    auto b = ApiOf(*B, token);
    const std::string third(300 * 1024, 'q');
    std::vector<bool> stored;
    for (int i = 0; i < 5; ++i)
        stored.push_back(
            !(i % 2 ? b : a).UploadData("/f" + std::to_string(i), third, true).file_id.empty());
    EXPECT_EQ(stored, (std::vector<bool>{true, true, true, false, false}));
    EXPECT_EQ(a.AccountInfo().quota_used, 3 * 300 * 1024);
    EXPECT_EQ(b.AccountInfo().quota_used, 3 * 300 * 1024);

    // The login page of one server and its form at the other; wrong passwords counted
    // on both together.
    auto session =
        std::make_shared<ot::TOauthSession>(ot::ConsumerKey, ot::ConsumerSecret, A->Hosts());
    ot::TKuaipanAPI login(session);
    login.RequestToken();
    const std::string rt = session->Token()->Key();
    const std::string good = WebLogin(*A, *B, rt, A->User(), A->Password());
    ASSERT_EQ(good.size(), 16u) << good;
    login.AccessToken(good);
    EXPECT_FALSE(login.Metadata("/", false).file_id.empty());

    login.RequestToken();
    const std::string rt2 = session->Token()->Key();
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(WebLogin(i % 2 ? *A : *B, i % 2 ? *B : *A, rt2, A->User(), "guess"),
                  "error: Wrong user name or password.")
            << i;
    for (const CloudServerProcess* form : {A.get(), B.get()})
        EXPECT_EQ(WebLogin(*A, *form, rt2, A->User(), A->Password()),
                  "error: Too many failed logins. Please try again later.");
}

// Guesses at a share link's access code and logins started from one address count on
// both servers together: the waits and the refusals hold on the other one.
TEST_F(CloudServerPostgreSQLServers, ShareCodeGuessesAndLoginsStartedCountOnBothServers) {
    // The clocks move on by half an hour; the client's timestamps stay within the window.
    StartBoth({"--max-pending-logins-per-address", "2", "--timestamp-window", "5000"});
    const auto token = A->IssueAccessToken();
    auto a = ApiOf(*A, token);
    ASSERT_FALSE(a.UploadData("/f", "shared", true).file_id.empty());
    auto link = a.Shares("/f", "f", "1234");
    const std::string target = link.url.substr(link.url.find("/s/"));
    auto get = [&](const CloudServerProcess& server, const std::string& code) {
        httplib::Client cli("127.0.0.1", server.Port());
        auto r = cli.Get((target + "?access_code=" + code).c_str());
        return r ? r->status : 0;
    };
    std::int64_t offset = 0;
    auto later = [&](std::int64_t seconds) {
        offset += seconds;
        A->SetClockOffset(offset);
        B->SetClockOffset(offset);
    };
    EXPECT_EQ(get(*A, "0000"), 403);
    EXPECT_EQ(get(*B, "0001"), 403);
    EXPECT_EQ(get(*A, "0002"), 403);
    EXPECT_EQ(get(*B, "1234"), 429) << "the third wrong code on A makes B wait too";
    EXPECT_EQ(get(*A, "1234"), 429);
    later(2);
    EXPECT_EQ(get(*B, "1234"), 200);
    // The right code cleared the link's count, not the address's: one more wrong code
    // from it waits on either server.
    EXPECT_EQ(get(*A, "0003"), 403);
    EXPECT_EQ(get(*B, "1234"), 429);
    later(3);
    for (int i = 4; i < 10; ++i) {
        EXPECT_EQ(get(i % 2 ? *A : *B, "000" + std::to_string(i)), 403) << i;
        later(61);
    }
    EXPECT_EQ(get(*A, "1234"), 429) << "ten wrong codes lock the address out";
    later(900);
    EXPECT_EQ(get(*B, "1234"), 200);

    // Two logins from this address within a token's lifetime, whichever server starts them.
    auto start = [&](const CloudServerProcess& server) {
        auto url = ot::TOauthUtility::BuildGetURL(server.TlsHost(), "/open/requestToken", {},
                                                  a.GetSession().Consumer(), nullptr, true);
        return ot::TKuaipanHTTPUtility::RequestByGET(server.Hosts(), url).Code;
    };
    EXPECT_EQ(start(*A), 200);
    EXPECT_EQ(start(*B), 200);
    EXPECT_EQ(start(*A), 429);
    EXPECT_EQ(start(*B), 429);
    later(601);
    EXPECT_EQ(start(*B), 200);
}

std::string Content(int writer, int seq) {
    std::string unit = "w" + std::to_string(writer) + "-s" + std::to_string(seq) + "|";
    std::string out;
    const std::size_t size = 2000 + static_cast<std::size_t>((seq * 7919 + writer * 104729) % 6000);
    while (out.size() < size)
        out += unit;
    out.resize(size);
    return out;
}

// Two writers send 200 uploads, each to either server in turn as a balancer would;
// one server is killed with -9 half-way. An upload the dead server did not answer is
// sent to the other, as a balancer does; every answered upload is there afterwards.
TEST_F(CloudServerPostgreSQLServers, KillingOneServerDuringUploadsLosesNothingAnswered) {
    StartBoth();
    const auto token = A->IssueAccessToken();
    {
        auto a = ApiOf(*A, token);
        ASSERT_FALSE(a.CreateFolder("/D").file_id.empty());
    }
    std::mutex m;
    std::map<std::string, std::string> acknowledged; // path -> last answered content
    std::atomic<int> sent{0}, answered{0}, retried{0};
    std::atomic<bool> killed{false};
    auto writer = [&](int w) {
        auto a = ApiOf(*A, token);
        auto b = ApiOf(*B, token);
        for (int seq = 0; seq < 100; ++seq) {
            // New files, and overwrites of one file per writer.
            const std::string path =
                seq % 3 == 2 ? "/D/shared-" + std::to_string(w) + ".bin"
                             : "/D/f-" + std::to_string(w) + "-" + std::to_string(seq) + ".bin";
            const std::string content = Content(w, seq);
            ++sent;
            bool ok = false;
            for (int attempt = 0; attempt < 2 && !ok; ++attempt) {
                auto& api = (seq + attempt) % 2 && !killed ? a : b;
                try {
                    ok = !api.UploadData(path, content, true).file_id.empty();
                } catch (const std::exception&) {
                }
                if (!ok)
                    ++retried;
            }
            if (ok) {
                std::lock_guard lock(m);
                acknowledged[path] = content;
                if (++answered == 60) {
                    A->Kill();
                    killed = true;
                }
            }
        }
    };
    std::thread w1(writer, 1), w2(writer, 2);
    w1.join();
    w2.join();
    EXPECT_TRUE(killed.load());
    EXPECT_EQ(sent.load(), 200);
    EXPECT_EQ(answered.load(), 200) << "an upload failed on the server left running too";

    auto b = ApiOf(*B, token);
    auto listing = b.Metadata("/D", true);
    std::set<std::string> listed;
    for (const auto& f : listing.files)
        listed.insert("/D/" + f.name);
    for (const auto& [path, content] : acknowledged) {
        EXPECT_TRUE(listed.count(path)) << "answered upload lost: " << path;
        EXPECT_EQ(Read(b, path), content) << path;
    }
    EXPECT_EQ(listed.size(), acknowledged.size());
    ot::server::PgCloudStore store(Uri, B->Dir());
    EXPECT_EQ(store.ContentProblems(), std::vector<std::string>{});
}

// A data directory served with SQLite and files, moved into PostgreSQL: its clients go
// on with the same tokens, files, recycle bin and fingerprint; a second migration into
// the filled database is refused, and a damaged content file stops one, keeping
// nothing.
TEST_F(CloudServerPostgreSQLServers, MigrationKeepsEverythingTheClientsHad) {
    CloudServerProcess files;
    const auto token = files.IssueAccessToken();
    files.AddUser("bob", "bob's");
    auto before = ApiOf(files, token);
    ASSERT_FALSE(before.CreateFolder("/Work").file_id.empty());
    ASSERT_FALSE(before.UploadData("/Work/a.tsk", "alpha", true).file_id.empty());
    ASSERT_FALSE(before.UploadData("/Work/b.tsk", std::string(5000, 'b'), true).file_id.empty());
    ASSERT_FALSE(before.UploadData("/Work/empty.tsk", "", true).file_id.empty());
    ASSERT_FALSE(before.UploadData("/gone.tsk", "recycled", true).file_id.empty());
    ASSERT_EQ(before.Delete("/gone.tsk", true).Code, 200);
    const auto listed = before.Metadata("/Work", true);
    const std::string fingerprint = listed.data_fingerprint;
    const auto usage = before.AccountInfo();
    // A request answered before the move, to be replayed after it.
    const std::string oldHost = files.PlainHost();
    const auto captured = ot::TOauthUtility::BuildGetURL(oldHost, "/1/metadata/app_folder/", {},
                                                         before.GetSession().Consumer(),
                                                         before.GetSession().Token().get(), false);
    const std::string target =
        captured.Url().substr(std::string("http://").size() + oldHost.size());
    auto send = [&](int port) {
        httplib::Client cli("127.0.0.1", port);
        auto r = cli.Get(target.c_str(), {{"Host", oldHost}});
        return r ? std::to_string(r->status) + " " + r->body : std::string("no answer");
    };
    ASSERT_EQ(send(files.Port()).substr(0, 3), "200");
    ASSERT_EQ(files.Stop(), 0);

    std::string out;
    const std::vector<std::string> migrate = {CloudServerProcess::BinaryPath(), "migrate", "--from",
                                              files.DataDir().string(),         "--store", Uri};
    auto run = [&](std::vector<std::string> args) {
        std::string cmd;
        for (const auto& a : args)
            cmd += "'" + a + "' ";
        out.clear();
        FILE* p = ::popen((cmd + "2>&1").c_str(), "r");
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
            out.append(buf, n);
        const int status = ::pclose(p);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    ASSERT_EQ(run(migrate), 0) << out;
    EXPECT_NE(out.find("nodes: 6 row(s) copied, 6 in the database, rows match"), std::string::npos)
        << out;
    EXPECT_NE(out.find("contents: 4 file(s), 5013 byte(s), 4 matching their hashes"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find(" of the journal carried over"), std::string::npos) << out;
    EXPECT_NE(run(migrate), 0) << "a second migration into the same database";
    EXPECT_NE(out.find("holds data already"), std::string::npos) << out;

    CloudServerProcess served(CloudServerProcess::Options{.Store = Uri, .AddUser = false});
    auto after = ApiOf(served, token);
    EXPECT_NE(send(served.Port()).find("nonce already used"), std::string::npos);
    const auto relisted = after.Metadata("/Work", true);
    EXPECT_EQ(relisted.data_fingerprint, fingerprint);
    ASSERT_EQ(relisted.files.size(), listed.files.size());
    for (std::size_t i = 0; i < listed.files.size(); ++i) {
        EXPECT_EQ(relisted.files[i].name, listed.files[i].name);
        EXPECT_EQ(relisted.files[i].file_id, listed.files[i].file_id);
        EXPECT_EQ(relisted.files[i].rev, listed.files[i].rev);
        EXPECT_EQ(relisted.files[i].modify_time, listed.files[i].modify_time);
    }
    EXPECT_EQ(Read(after, "/Work/a.tsk"), "alpha");
    EXPECT_EQ(Read(after, "/Work/b.tsk"), std::string(5000, 'b'));
    EXPECT_EQ(Read(after, "/Work/empty.tsk"), "");
    EXPECT_EQ(after.AccountInfo().quota_used, usage.quota_used);
    EXPECT_EQ(after.AccountInfo().quota_recycled, usage.quota_recycled);
    // New revisions and IDs go on above the old ones.
    const auto changed = after.UploadData("/Work/a.tsk", "alpha 2", true);
    EXPECT_GT(std::stoll(changed.rev), std::stoll(listed.files[0].rev));
    const auto made = after.UploadData("/new.tsk", "n", true);
    EXPECT_GT(std::stoll(made.file_id), std::stoll(listed.files[2].file_id));
    // The other user came along with the password.
    EXPECT_EQ(served.RunCommand({"list-users"}, {}, &out), 0);
    EXPECT_NE(out.find("bob\t"), std::string::npos) << out;

    // One content file changed behind the store's back: the check finds it, and the
    // database it went to stays empty.
    std::string damaged;
    for (const auto& f : fs::recursive_directory_iterator(files.DataDir() / "files"))
        if (f.is_regular_file() && f.file_size() == 5000)
            damaged = f.path().string();
    ASSERT_FALSE(damaged.empty());
    ASSERT_TRUE(ot::WriteFileAtomic(damaged, std::string(5000, 'c')));
    std::string why;
    const std::string fresh = ot::test::PostgresInstance::Shared(why)->NewDatabase();
    std::vector<std::string> again = migrate;
    again.back() = fresh;
    EXPECT_EQ(run(again), 1) << out;
    EXPECT_NE(out.find("does not match the hash its entry records"), std::string::npos) << out;
    ot::server::PgCloudStore empty(fresh, files.Dir());
    EXPECT_TRUE(empty.ListUsers().empty());
}

// The "store" key of a configuration file chooses the database for every command, and
// mark-restored waits until no server serves it.
TEST_F(CloudServerPostgreSQLServers, TheConfigurationFileNamesTheDatabase) {
    std::string tmpl = (fs::temp_directory_path() / "ot-pg-config-XXXXXX").string();
    ASSERT_TRUE(::mkdtemp(tmpl.data()));
    const fs::path dir = tmpl;
    const fs::path config = dir / "otcloudserver.conf";
    ASSERT_TRUE(ot::WriteFileAtomic(config, "store = " + Uri + "\nweak-hash = yes\n"));
    const std::string bin = CloudServerProcess::BinaryPath();
    auto run = [&](const std::string& args, std::string* out = nullptr) {
        FILE* p = ::popen(
            ("printf 'pw\\n' | '" + bin + "' " + args + " --config '" + config.string() + "' 2>&1")
                .c_str(),
            "r");
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
            if (out)
                out->append(buf, n);
        const int status = ::pclose(p);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(run("add-user --user carol"), 0);
    std::string users;
    EXPECT_EQ(run("list-users", &users), 0);
    EXPECT_EQ(users.rfind("carol\t", 0), 0u) << users;
    {
        ot::server::PgCloudStore store(Uri, dir);
        EXPECT_TRUE(store.FindUser("carol"));
    }
    StartBoth();
    std::string refused;
    EXPECT_EQ(run("mark-restored", &refused), 1);
    EXPECT_NE(refused.find("stop every one first"), std::string::npos) << refused;
    ASSERT_EQ(A->Stop(), 0);
    ASSERT_EQ(B->Stop(), 0);
    std::string marked;
    EXPECT_EQ(run("mark-restored", &marked), 0) << marked;
    std::error_code ec;
    fs::remove_all(dir, ec);
}

// The administration commands on the database, beside a running server.
TEST_F(CloudServerPostgreSQLServers, AdministrationCommandsWorkOnTheDatabase) {
    CloudServerProcess server(CloudServerProcess::Options{.Store = Uri});
    const auto token = server.IssueAccessToken();
    auto api = ApiOf(server, token);
    ASSERT_FALSE(api.UploadData("/old.tsk", "12345", true).file_id.empty());
    ASSERT_EQ(api.Delete("/old.tsk", true).Code, 200);
    ot::server::PgCloudStore store(Uri, server.Dir());
    const std::int64_t alice = store.FindUser("alice")->Id;
    ASSERT_EQ(store.Usage(alice).Recycled, 5);

    struct Case {
        std::vector<std::string> Args;
        std::string Input, Says;
        std::function<bool()> Done;
    };
    std::string doraHash;
    const Case cases[] = {
        {{"add-user", "--user", "dora", "--weak-hash"},
         "pw\n",
         "added user dora",
         [&] {
             auto u = store.FindUser("dora");
             doraHash = u ? u->PasswordHash : "";
             return u.has_value();
         }},
        {{"add-consumer", "--key", "other-app", "--secret", "s3cret", "--name", "Other"},
         "",
         "registered consumer other-app",
         [&] {
             auto c = store.FindConsumer("other-app");
             return c && c->Secret == "s3cret" && c->AppName == "Other";
         }},
        {{"list-users"}, "", "dora\t", [] { return true; }},
        {{"purge-recycle"},
         "",
         "removed 1 recycled entry",
         [&] { return store.Usage(alice).Recycled == 0; }},
        {{"revoke-tokens", "--user", "alice"},
         "",
         "revoked 1 token(s) of alice",
         [&] { return store.FindAccessToken(token.first)->Revoked; }},
        {{"set-password", "--user", "dora", "--weak-hash"},
         "new\n",
         "changed password of dora",
         [&] { return store.FindUser("dora")->PasswordHash != doraHash; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Args.front());
        std::string out;
        EXPECT_EQ(server.RunCommand(c.Args, c.Input, &out), 0) << out;
        EXPECT_NE(out.find(c.Says), std::string::npos) << out;
        EXPECT_TRUE(c.Done());
    }
    // The running server sees the revocation at once.
    EXPECT_THROW(api.Metadata("/", false), ot::TKuaipanAuthExpiredException);
}

} // namespace
