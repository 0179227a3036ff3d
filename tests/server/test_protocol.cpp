// The cloud server answering the program's own client: the authorization flow with the
// web login, the file operations, refusals, expired authorizations and injected faults.

#include "cloud/KuaipanAPI.h"
#include "cloud/KuaipanAuthorise.h"
#include "cloud/KuaipanConsumer.h"
#include "cloud/KuaipanException.h"
#include "cloud/OauthUtility.h"
#include "common/FileUtil.h"
#include "common/Text.h"
#include "support/CloudServerProcess.h"
#include "support/PostgresInstance.h"
#include "support/SiteClient.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using ot::test::Between;
using ot::test::CloudServerProcess;
using ot::test::SiteClient;

namespace {

struct LoginResult {
    bool Ok = false;
    std::string Text; // the verifier, or the site's error text
};

// The web login as a program without a browser does it: load the authorise page, keep
// its cookie and hidden fields, post them back with the credentials.
LoginResult WebLogin(const CloudServerProcess& server, const std::string& authoriseUrl,
                     const std::string& user, const std::string& password, bool sendCookie = true) {
    std::string prefix = "https://" + server.TlsHost();
    EXPECT_EQ(authoriseUrl.substr(0, prefix.size()), prefix);
    auto cli = SiteClient(server);
    auto page = cli->Get(authoriseUrl.substr(prefix.size()).c_str());
    if (!page || page->status != 200)
        return {false, "no page"};
    std::string cookie = page->get_header_value("Set-Cookie");
    std::string sid = Between(cookie, "SID=", ";");
    httplib::MultipartFormDataItems form = {
        {"username", ot::TOauthUtility::UrlFormEncode(user), "", ""},
        {"userpwd", ot::TOauthUtility::UrlFormEncode(password), "", ""},
    };
    for (const char* f : {"s", "app_name", "oauth_token"})
        form.push_back(
            {f,
             ot::TOauthUtility::UrlFormEncode(Between(
                 page->body, std::string("type=\"hidden\" name=\"") + f + "\" value=\"", "\"/>")),
             "", ""});
    httplib::Headers headers;
    if (sendCookie)
        headers.insert({"Cookie", sid});
    auto answer = cli->Post("/api.php?ac=open&op=authorisecheck", headers, form);
    if (!answer || answer->status != 200)
        return {false, "no answer"};
    if (answer->body.find("<div class=\"mid cnt clearfix\">") != std::string::npos)
        return {true, Between(answer->body, "<div>授权码：<strong>", "</strong></div>")};
    return {false, Between(answer->body, "<div>授权错误：<strong>", "</strong></div>")};
}

class CloudServerProtocol : public ::testing::Test {
protected:
    explicit CloudServerProtocol(CloudServerProcess::Options options = {}) : Server(options) {
        Local = Server.Dir() / "local";
        fs::create_directories(Local);
    }
    std::shared_ptr<ot::TOauthSession> NewSession() {
        return std::make_shared<ot::TOauthSession>(ot::ConsumerKey, ot::ConsumerSecret,
                                                   Server.Hosts());
    }
    // A client holding an access token of user (issued without the web login).
    ot::TKuaipanAPI ApiFor(const std::string& user = "alice") {
        auto session = NewSession();
        auto [key, secret] = Server.IssueAccessToken(user);
        session->SetAuthToken(key, secret);
        return ot::TKuaipanAPI(session);
    }
    std::string LocalFile(const std::string& name, const std::string& content) {
        auto p = Local / name;
        EXPECT_TRUE(ot::WriteFileAtomic(p, content));
        return p.string();
    }
    // Sends a GET signed by the client's own code with the session's token.
    ot::TKuaipanHTTPResponse SignedGet(ot::TKuaipanAPI& api, const std::string& location,
                                       const ot::TParamList& params, bool tls = false) {
        auto token = api.GetSession().Token();
        auto url =
            ot::TOauthUtility::BuildGetURL(tls ? Server.TlsHost() : Server.PlainHost(), location,
                                           params, api.GetSession().Consumer(), token.get(), tls);
        return ot::TKuaipanHTTPUtility::RequestByGET(api.GetSession().Hosts(), url);
    }

    CloudServerProcess Server;
    fs::path Local;
};

// The cases that depend on what the server keeps, with the server on either store.
enum class Kind { Files, Postgres };

class CloudServerProtocolOnEachStore : public ::testing::WithParamInterface<Kind>,
                                       public CloudServerProtocol {
protected:
    CloudServerProtocolOnEachStore() : CloudServerProtocol(OptionsFor(GetParam())) {}
    void SetUp() override {
        if (GetParam() == Kind::Postgres && !WhyNoPostgres().empty())
            GTEST_SKIP() << WhyNoPostgres();
    }
    static std::string& WhyNoPostgres() {
        static std::string why;
        return why;
    }
    // A database of its own for a PostgreSQL case; without PostgreSQL the case runs
    // nothing (the server it starts is on files) and is skipped.
    static CloudServerProcess::Options OptionsFor(Kind kind) {
        CloudServerProcess::Options o;
        WhyNoPostgres().clear();
        if (kind == Kind::Postgres) {
            auto* pg = ot::test::PostgresInstance::Shared(WhyNoPostgres());
            if (pg)
                o.Store = pg->NewDatabase();
        }
        return o;
    }
};

INSTANTIATE_TEST_SUITE_P(EachStore, CloudServerProtocolOnEachStore,
                         ::testing::Values(Kind::Files, Kind::Postgres),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                             return info.param == Kind::Files ? "SqliteAndFiles" : "PostgreSQL";
                         });

TEST_P(CloudServerProtocolOnEachStore, AuthorizationFlowGivesATokenOnceOnly) {
    auto session = NewSession();
    ot::TKuaipanAPI api(session);
    std::string url = api.RequestToken();
    std::string requestKey = session->Token()->Key();
    EXPECT_EQ(url, "https://" + Server.TlsHost() +
                       "/api.php?ac=open&op=authorise&oauth_token=" + requestKey);

    auto wrong = WebLogin(Server, url, "alice", "not the password");
    EXPECT_FALSE(wrong.Ok);
    EXPECT_EQ(wrong.Text, "Wrong user name or password.");
    auto noCookie = WebLogin(Server, url, "alice", Server.Password(), false);
    EXPECT_FALSE(noCookie.Ok);
    EXPECT_EQ(noCookie.Text, "Your login session has expired. Please try again.");

    auto good = WebLogin(Server, url, "alice", Server.Password());
    ASSERT_TRUE(good.Ok) << good.Text;
    EXPECT_EQ(good.Text.size(), 16u);
    api.AccessToken(good.Text);
    ASSERT_TRUE(session->IsAuth());
    EXPECT_EQ(api.AccountInfo().user_name, "alice");

    // The request token and its verifier are spent.
    auto replay = NewSession();
    replay->SetTempToken(requestKey, "whatever");
    ot::TKuaipanAPI replayApi(replay);
    EXPECT_THROW(replayApi.AccessToken(good.Text), ot::TKuaipanIOException);
    auto cli = SiteClient(Server);
    auto page = cli->Get(url.substr(("https://" + Server.TlsHost()).size()).c_str());
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 400);
    EXPECT_EQ(page->body.find("type=\"hidden\""), std::string::npos);
}

// A login form that names no session, or one the server does not know, is answered as
// an expired session whatever cookie comes with it.
TEST_P(CloudServerProtocolOnEachStore, ALoginWithoutAKnownSessionIsRefusedWhateverTheCookie) {
    auto cli = SiteClient(Server);
    for (const char* form : {"username=alice&userpwd=x&oauth_token=t",
                             "username=alice&userpwd=x&oauth_token=t&s=unknown"}) {
        for (const char* cookie : {"SID=abc", "abc", "other=1; SID="}) {
            SCOPED_TRACE(std::string(form) + " / " + cookie);
            auto answer = cli->Post("/api.php?ac=open&op=authorisecheck", {{"Cookie", cookie}},
                                    form, "application/x-www-form-urlencoded");
            ASSERT_TRUE(answer);
            EXPECT_EQ(answer->status, 200);
            EXPECT_NE(answer->body.find("Your login session has expired"), std::string::npos);
        }
    }
}

TEST_P(CloudServerProtocolOnEachStore, TheProgramsOwnLoginIsAnswered) {
    auto session = NewSession();
    ot::TKuaipanAPI api(session);
    std::string result;
    {
        ot::TKuaipanAuthorise login(Server.Hosts(), api.RequestToken());
        EXPECT_FALSE(login.LoginAndAuthorise("alice", "wrong", result));
        EXPECT_EQ(result, "Wrong user name or password.");
    }
    ot::TKuaipanAuthorise login(Server.Hosts(), api.RequestToken());
    ASSERT_TRUE(login.LoginAndAuthorise("alice", Server.Password(), result)) << result;
    api.AccessToken(result);
    ASSERT_TRUE(session->IsAuth());
    EXPECT_FALSE(api.Metadata("/", true).file_id.empty());
}

TEST_P(CloudServerProtocolOnEachStore, FilesRoundTrip) {
    auto api = ApiFor();
    auto folder = api.CreateFolder("Work"); // the engine sends folder names without "/"
    ASSERT_FALSE(folder.file_id.empty());
    EXPECT_EQ(folder.ftype, "folder");

    const std::string name = "/Work/My Task+1 任务.tsk";
    auto up = api.UploadFile(name, LocalFile("a", "<xml>one</xml>"), true);
    ASSERT_FALSE(up.file_id.empty());
    EXPECT_EQ(up.name, "My Task+1 任务.tsk");
    EXPECT_GT(up.modify_time, 0);

    auto listing = api.Metadata("/Work", true);
    ASSERT_EQ(listing.files.size(), 1u);
    EXPECT_EQ(listing.files[0].file_id, up.file_id);
    EXPECT_EQ(listing.files[0].ftype, "file");
    EXPECT_EQ(listing.files[0].modify_time, up.modify_time);
    EXPECT_EQ(api.Metadata("", true).files.size(), 1u);

    std::ostringstream body;
    EXPECT_EQ(api.DownloadFile(name, body).Code, 200);
    EXPECT_EQ(body.str(), "<xml>one</xml>");

    // A second change in the same second still reads as newer.
    auto again = api.UploadFile(name, LocalFile("b", "<xml>two</xml>"), true);
    EXPECT_EQ(again.file_id, up.file_id);
    EXPECT_GT(again.modify_time, up.modify_time);
    EXPECT_TRUE(api.UploadFile(name, LocalFile("c", "x"), false).file_id.empty());

    EXPECT_EQ(api.Move(name, "/Work/renamed.tsk").Code, 200);
    EXPECT_TRUE(api.Metadata(name, false).file_id.empty());
    EXPECT_EQ(api.Metadata("/Work/renamed.tsk", false).file_id, up.file_id);
    EXPECT_EQ(api.Move("/Work/missing.tsk", "/Work/x.tsk").Code, 404);

    auto copy = api.Copy("/Work/renamed.tsk", "/Work/copy.tsk");
    ASSERT_FALSE(copy.file_id.empty());
    EXPECT_NE(copy.file_id, up.file_id);

    auto link = api.Shares("/Work/copy.tsk", "", "");
    ASSERT_FALSE(link.url.empty());
    httplib::Client plain("127.0.0.1", Server.Port());
    auto shared = plain.Get(link.url.substr(("http://" + Server.PlainHost()).size()).c_str());
    ASSERT_TRUE(shared);
    EXPECT_EQ(shared->body, "<xml>two</xml>");

    std::ostringstream none;
    EXPECT_EQ(api.Thumbnail("/Work/copy.tsk", none).Code, 415);
    EXPECT_EQ(
        api.DocumentView(ot::TConvType::TXT, ot::TConvView::NORMAL, "/Work/copy.tsk", false, none)
            .Code,
        415);

    EXPECT_EQ(api.Delete("/Work/renamed.tsk", true).Code, 200);
    EXPECT_EQ(api.Delete("/Work/copy.tsk", false).Code, 200);
    EXPECT_EQ(api.Delete("/Work/copy.tsk", false).Code, 404);
    EXPECT_TRUE(api.Metadata("/Work", true).files.empty());
    auto user = api.AccountInfo();
    EXPECT_EQ(user.quota_used, 0);
    EXPECT_EQ(user.quota_recycled, 14);
}

TEST_P(CloudServerProtocolOnEachStore, OtherUsersPathsAndBadPathsAreRefused) {
    Server.AddUser("bob", "bob's password");
    auto alice = ApiFor("alice");
    auto bob = ApiFor("bob");
    ASSERT_FALSE(alice.CreateFolder("/Private").file_id.empty());
    ASSERT_FALSE(alice.UploadFile("/Private/x.tsk", LocalFile("x", "alice"), true).file_id.empty());

    EXPECT_TRUE(bob.Metadata("/Private", true).file_id.empty());
    EXPECT_EQ(bob.Move("/Private/x.tsk", "/x.tsk").Code, 404);
    EXPECT_EQ(bob.Delete("/Private", false).Code, 404);
    std::ostringstream stolen;
    EXPECT_EQ(bob.DownloadFile("/Private/x.tsk", stolen).Code, 404);
    EXPECT_TRUE(stolen.str().empty());
    ASSERT_FALSE(bob.CreateFolder("/Private").file_id.empty()); // bob's own
    EXPECT_TRUE(bob.Metadata("/Private", true).files.empty());
    EXPECT_EQ(alice.Metadata("/Private", true).files.size(), 1u);

    for (const char* bad : {"/Private/../x", "/a//b", "/a\tb", "/Private/"})
        EXPECT_EQ(SignedGet(alice, "/1/fileops/create_folder",
                            {"root=app_folder", std::string("path=") + bad})
                      .Code,
                  400)
            << bad;
    EXPECT_EQ(SignedGet(alice, "/1/metadata/kuaipan/", {}).Code, 403);
    EXPECT_EQ(SignedGet(alice, "/1/fileops/create_folder", {"root=kuaipan", "path=/x"}).Code, 403);
}

TEST_P(CloudServerProtocolOnEachStore, ForgedReplayedAndMisroutedRequestsAreRefused) {
    auto api = ApiFor();
    auto token = api.GetSession().Token();
    auto url = ot::TOauthUtility::BuildGetURL(Server.PlainHost(), "/1/metadata/app_folder/", {},
                                              api.GetSession().Consumer(), token.get(), false);
    EXPECT_EQ(ot::TKuaipanHTTPUtility::RequestByGET(Server.Hosts(), url).Code, 200);
    auto replay = ot::TKuaipanHTTPUtility::RequestByGET(Server.Hosts(), url);
    EXPECT_EQ(replay.Code, 401);
    EXPECT_NE(replay.Content.find("nonce already used"), std::string::npos);

    auto fresh =
        ot::TOauthUtility::BuildGetURL(Server.PlainHost(), "/1/metadata/app_folder/", {"list=True"},
                                       api.GetSession().Consumer(), token.get(), false);
    std::string forged = ot::ReplaceAll(fresh.Url(), "list=True", "list=False");
    auto bad = ot::TKuaipanHTTPUtility::RequestByGET(Server.Hosts(), ot::TKuaipanURL(forged));
    EXPECT_EQ(bad.Code, 401);
    EXPECT_NE(bad.Content.find("invalid signature"), std::string::npos);

    // Tokens and account details only over TLS.
    EXPECT_EQ(SignedGet(api, "/1/account_info", {}, false).Code, 403);
    EXPECT_EQ(SignedGet(api, "/1/account_info", {}, true).Code, 200);
    // An access token cannot stand in for a request token.
    EXPECT_EQ(SignedGet(api, "/open/accessToken", {"oauth_verifier=x"}, true).Code, 401);
}

// A captured request stays refused after the server stops or dies, while a client whose
// clock is behind is served at once after a start.
TEST_P(CloudServerProtocolOnEachStore, NoncesOutliveRestartsAndLateClocksAreServedAtOnce) {
    auto api = ApiFor();
    auto token = api.GetSession().Token();
    auto signedAt = [&](std::int64_t timestamp) {
        auto url = ot::TOauthUtility::BuildURL(
            "GET", Server.PlainHost(), "/1/metadata/app_folder/", {}, api.GetSession().Consumer(),
            token.get(), false, ot::TOauthUtility::GenerateNonce(), std::to_string(timestamp));
        return ot::TKuaipanURL(url.Url() + "?" + url.Query());
    };
    const auto captured = signedAt(std::time(nullptr));
    auto first = ot::TKuaipanHTTPUtility::RequestByGET(Server.Hosts(), captured);
    ASSERT_EQ(first.Code, 200) << first.Content;
    for (bool crash : {false, true}) {
        SCOPED_TRACE(crash ? "after kill -9" : "after a stop");
        if (crash)
            Server.Kill();
        else
            ASSERT_EQ(Server.Stop(), 0);
        Server.Restart();
        auto replay = ot::TKuaipanHTTPUtility::RequestByGET(Server.Hosts(), captured);
        EXPECT_EQ(replay.Code, 401);
        EXPECT_NE(replay.Content.find("nonce already used"), std::string::npos) << replay.Content;
        auto late = ot::TKuaipanHTTPUtility::RequestByGET(Server.Hosts(),
                                                          signedAt(std::time(nullptr) - 120));
        EXPECT_EQ(late.Code, 200) << late.Content;
    }
}

TEST_P(CloudServerProtocolOnEachStore, RevokedTokensAndServerClockChangesAreToldApart) {
    auto api = ApiFor();
    ASSERT_FALSE(api.Metadata("/", true).file_id.empty());
    // The client's timestamps look stale to a server whose clock is ahead: refused, but
    // not as an expired authorization.
    Server.SetClockOffset(1000);
    EXPECT_THROW(api.Metadata("/", true), ot::TKuaipanClockSkewException);
    Server.SetClockOffset(0);
    ASSERT_FALSE(api.Metadata("/", true).file_id.empty());

    ASSERT_EQ(Server.RunCommand({"revoke-tokens", "--user", "alice"}), 0);
    EXPECT_THROW(api.Metadata("/", true), ot::TKuaipanAuthExpiredException);
    EXPECT_THROW(api.CreateFolder("/x"), ot::TKuaipanAuthExpiredException);
}

// The revision a client based a change on: the upload, move or delete is made only while
// the file is still at it; otherwise 409 names the current revision and nothing changes.
TEST_P(CloudServerProtocolOnEachStore, ChangesBasedOnAnOldRevisionAreRefusedWith409) {
    auto api = ApiFor();
    auto upload = [&](const std::string& path, const std::string& ifRev) {
        auto token = api.GetSession().Token();
        ot::TParamList params{"root=app_folder", "path=" + path, "overwrite=True"};
        if (!ifRev.empty())
            params.push_back("if_rev=" + ifRev);
        auto url =
            ot::TOauthUtility::BuildPostURL(Server.PlainHost(), "/1/fileops/upload_file", params,
                                            api.GetSession().Consumer(), token.get(), false);
        return ot::TKuaipanHTTPUtility::DoUpload(Server.Hosts(), url, LocalFile("up", path));
    };
    auto revOf = [&](const std::string& path) { return api.Metadata(path, false).rev; };
    auto changed = [](const std::string& rev) {
        return nlohmann::json{{"msg", "file has changed"}, {"rev", rev}}.dump();
    };

    // Without if_rev an upload overwrites as before; its reply carries the new revision.
    auto first = upload("/f", "");
    ASSERT_EQ(first.Code, 200);
    const std::string r1 = nlohmann::json::parse(first.Content)["rev"];
    auto second = upload("/f", "");
    ASSERT_EQ(second.Code, 200);
    const std::string r2 = nlohmann::json::parse(second.Content)["rev"];
    ASSERT_NE(r1, r2);
    ASSERT_EQ(revOf("/f"), r2);

    struct Case {
        std::string What;
        std::function<ot::TKuaipanHTTPResponse()> Send;
        int Code;
        std::string Body; // exact, for refusals
    } cases[] = {
        {"stale upload", [&] { return upload("/f", r1); }, 409, changed(r2)},
        {"upload of a missing file", [&] { return upload("/new", r1); }, 409, changed("")},
        {"upload with a rev that is no number", [&] { return upload("/f", "x"); }, 409,
         changed(r2)},
        {"stale move",
         [&] {
             return SignedGet(api, "/1/fileops/move",
                              {"root=app_folder", "from_path=/f", "to_path=/g", "if_rev=" + r1});
         },
         409, changed(r2)},
        {"stale delete",
         [&] {
             return SignedGet(api, "/1/fileops/delete",
                              {"root=app_folder", "path=/f", "if_rev=" + r1});
         },
         409, changed(r2)},
        {"delete of a missing file",
         [&] {
             return SignedGet(api, "/1/fileops/delete",
                              {"root=app_folder", "path=/none", "if_rev=1"});
         },
         409, changed("")},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.What);
        auto r = c.Send();
        EXPECT_EQ(r.Code, c.Code);
        EXPECT_EQ(r.Content, c.Body);
        EXPECT_EQ(revOf("/f"), r2);
    }
    EXPECT_TRUE(api.Metadata("/g", false).file_id.empty());
    EXPECT_TRUE(api.Metadata("/new", false).file_id.empty());

    // At the current revision each goes through, and each reply names the next one.
    auto third = upload("/f", r2);
    ASSERT_EQ(third.Code, 200);
    const std::string r3 = nlohmann::json::parse(third.Content)["rev"];
    EXPECT_EQ(revOf("/f"), r3);
    auto moved = SignedGet(api, "/1/fileops/move",
                           {"root=app_folder", "from_path=/f", "to_path=/g", "if_rev=" + r3});
    ASSERT_EQ(moved.Code, 200);
    const std::string r4 = nlohmann::json::parse(moved.Content)["rev"];
    EXPECT_NE(r4, r3);
    EXPECT_EQ(revOf("/g"), r4);
    EXPECT_EQ(
        SignedGet(api, "/1/fileops/delete", {"root=app_folder", "path=/g", "if_rev=" + r3}).Code,
        409);
    EXPECT_EQ(
        SignedGet(api, "/1/fileops/delete", {"root=app_folder", "path=/g", "if_rev=" + r4}).Code,
        200);
    EXPECT_TRUE(api.Metadata("/g", false).file_id.empty());
}

// Every metadata reply names the data's fingerprint; mark-restored gives the data a new
// one, and only while no server is serving it.
TEST_P(CloudServerProtocolOnEachStore, MetadataRepliesCarryTheDataFingerprint) {
    auto api = ApiFor();
    ASSERT_FALSE(api.CreateFolder("Work").file_id.empty());
    auto fingerprints = [&] {
        std::vector<std::string> out;
        for (const char* location :
             {"/1/metadata/app_folder/", "/1/metadata/app_folder/", "/1/metadata/app_folder/Work",
              "/1/metadata/app_folder/nothing"}) {
            auto r = SignedGet(api, location, {"list=true"});
            auto body = nlohmann::json::parse(r.Content);
            EXPECT_TRUE(body.contains("data_fingerprint")) << location << " " << r.Content;
            for (const auto& child : body.value("files", nlohmann::json::array()))
                EXPECT_FALSE(child.contains("data_fingerprint"));
            out.push_back(body.value("data_fingerprint", std::string()));
        }
        return out;
    };
    auto before = fingerprints();
    ASSERT_EQ(before[0].size(), 32u);
    for (const auto& f : before)
        EXPECT_EQ(f, before[0]);

    std::string out;
    EXPECT_NE(Server.RunCommand({"mark-restored"}, {}, &out), 0);
    ASSERT_EQ(Server.Stop(), 0);
    ASSERT_EQ(Server.RunCommand({"mark-restored"}, {}, &out), 0);
    EXPECT_NE(out.find("marked"), std::string::npos);
    Server.Restart();
    auto after = fingerprints();
    EXPECT_NE(after[0], before[0]);
    EXPECT_NE(out.find(after[0]), std::string::npos);
    for (const auto& f : after)
        EXPECT_EQ(f, after[0]);
}

// A request whose timestamp is out of the window is told the server's time.
TEST_F(CloudServerProtocol, AStaleTimestampIsToldTheServersTime) {
    auto api = ApiFor();
    Server.SetClockOffset(1000);
    auto r = SignedGet(api, "/1/metadata/app_folder/", {});
    EXPECT_EQ(r.Code, 401);
    auto body = nlohmann::json::parse(r.Content);
    EXPECT_EQ(body["msg"], "timestamp out of range");
    ASSERT_TRUE(body["server_time"].is_number_integer());
    const std::int64_t skew = body["server_time"].get<std::int64_t>() - std::time(nullptr);
    EXPECT_GE(skew, 990);
    EXPECT_LE(skew, 1010);
}

// A login completed before a revocation cannot be exchanged after it; a new password
// ends the tokens the old one gave.
TEST_P(CloudServerProtocolOnEachStore, RevocationReachesLoginsNotYetExchangedAndNewPasswords) {
    auto session = NewSession();
    ot::TKuaipanAPI api(session);
    auto login = WebLogin(Server, api.RequestToken(), "alice", Server.Password());
    ASSERT_TRUE(login.Ok) << login.Text;
    ASSERT_EQ(Server.RunCommand({"revoke-tokens", "--user", "alice"}), 0);
    EXPECT_THROW(api.AccessToken(login.Text), ot::TKuaipanIOException);

    auto kept = ApiFor();
    ASSERT_FALSE(kept.Metadata("/", false).file_id.empty());
    std::string out;
    ASSERT_EQ(Server.RunCommand({"set-password", "--user", "alice", "--weak-hash"},
                                "another password\n", &out),
              0);
    EXPECT_NE(out.find("revoked"), std::string::npos);
    EXPECT_THROW(kept.Metadata("/", false), ot::TKuaipanAuthExpiredException);
}

// Anyone with the program's consumer key may start a login: one address starts a few
// within a token's lifetime, and they expire within minutes.
class CloudServerLoginCaps : public CloudServerProtocol {
protected:
    CloudServerLoginCaps() : CloudServerProtocol(Options()) {}
    static CloudServerProcess::Options Options() {
        CloudServerProcess::Options o;
        o.ExtraArgs = {"--max-pending-logins-per-address", "3", "--timestamp-window", "1000"};
        return o;
    }
};

TEST_F(CloudServerLoginCaps, OneAddressStartsAFewLoginsAtATime) {
    auto ask = [&] {
        auto api = ot::TKuaipanAPI(NewSession());
        return SignedGet(api, "/open/requestToken", {}, true);
    };
    // A login not completed within ten minutes is void, and makes room again.
    Server.SetClockOffset(-601);
    ot::TKuaipanAPI api(NewSession());
    const std::string url = api.RequestToken();
    Server.SetClockOffset(0);
    EXPECT_FALSE(WebLogin(Server, url, "alice", Server.Password()).Ok);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(ask().Code, 200) << i;
    auto refused = ask();
    EXPECT_EQ(refused.Code, 429);
    EXPECT_NE(refused.Content.find("too many logins from your address"), std::string::npos);
    Server.SetClockOffset(601);
    EXPECT_EQ(ask().Code, 200);
}

// One line per request with the client, the user and the operation (never a file
// name), and failed authentications in the one format the README gives for fail2ban.
TEST_F(CloudServerProtocol, TheLogNamesClientUserAndOperationAndFailedAuthentications) {
    auto api = ApiFor();
    ASSERT_FALSE(api.CreateFolder("Secret name").file_id.empty());
    auto token = api.GetSession().Token();
    auto url =
        ot::TOauthUtility::BuildGetURL(Server.PlainHost(), "/1/metadata/app_folder/", {"list=True"},
                                       api.GetSession().Consumer(), token.get(), false);
    auto forged = ot::ReplaceAll(url.Url(), "list=True", "list=False");
    EXPECT_EQ(ot::TKuaipanHTTPUtility::RequestByGET(Server.Hosts(), ot::TKuaipanURL(forged)).Code,
              401);
    EXPECT_FALSE(
        WebLogin(Server, ot::TKuaipanAPI(NewSession()).RequestToken(), "alice", "guess").Ok);
    auto local = LocalFile("f", "x");
    ASSERT_FALSE(api.UploadFile("/f", local, true).file_id.empty());
    auto link = api.Shares("/f", "f", "1234");
    httplib::Client plain("127.0.0.1", Server.Port());
    auto shared = plain.Get(
        (link.url.substr(("http://" + Server.PlainHost()).size()) + "?access_code=9999").c_str());
    ASSERT_TRUE(shared);

    const std::regex request(
        R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (https?) (\S+) (\S+) ([A-Z]+) (\S+) (\d{3}))");
    // The filter of the README: failregex = ^\S+ \S+ authentication failure from <HOST>:
    const std::regex failure(R"(\S+ \S+ authentication failure from (\S+): (.*))");
    std::set<std::string> requests, failures;
    std::istringstream log(Server.Log());
    for (std::string line; std::getline(log, line);) {
        std::smatch m;
        if (std::regex_match(line, m, request))
            requests.insert(m.str(1) + " " + m.str(2) + " " + m.str(3) + " " + m.str(4) + " " +
                            m.str(5) + " " + m.str(6));
        else if (std::regex_match(line, m, failure))
            failures.insert(m.str(1) + ": " + m.str(2));
        EXPECT_EQ(line.find("Secret"), std::string::npos) << line;
    }
    for (const char* want :
         {"http 127.0.0.1 alice GET create_folder 200", "http 127.0.0.1 - GET metadata 401",
          "http 127.0.0.1 alice POST upload_file 200", "https 127.0.0.1 - POST authorise_check 200",
          "http 127.0.0.1 - GET share_link 403"})
        EXPECT_TRUE(requests.count(want)) << want;
    for (const char* want :
         {"127.0.0.1: invalid signature", "127.0.0.1: wrong password, user alice",
          "127.0.0.1: wrong share access code"})
        EXPECT_TRUE(failures.count(want)) << want;
}

class CloudServerShortToken : public CloudServerProtocol {
protected:
    CloudServerShortToken() : CloudServerProtocol(Options()) {}
    static CloudServerProcess::Options Options() {
        CloudServerProcess::Options o;
        o.ExtraArgs = {"--token-lifetime", "60"};
        return o;
    }
};

TEST_F(CloudServerShortToken, AccessTokensExpire) {
    auto session = NewSession();
    ot::TKuaipanAPI api(session);
    auto login = WebLogin(Server, api.RequestToken(), "alice", Server.Password());
    ASSERT_TRUE(login.Ok);
    api.AccessToken(login.Text);
    ASSERT_FALSE(api.Metadata("/", false).file_id.empty());
    Server.SetClockOffset(61);
    EXPECT_THROW(api.Metadata("/", false), ot::TKuaipanAuthExpiredException);
}

TEST_F(CloudServerShortToken, TokensIssuedWithoutTheWebLoginExpireToo) {
    auto api = ApiFor();
    ASSERT_FALSE(api.Metadata("/", false).file_id.empty());
    Server.SetClockOffset(61);
    EXPECT_THROW(api.Metadata("/", false), ot::TKuaipanAuthExpiredException);
}

TEST_P(CloudServerProtocolOnEachStore, ConcurrentWrongPasswordsStopAtTheLockout) {
    // A password hash of the real cost, so that the tries overlap while being checked.
    ASSERT_EQ(Server.RunCommand({"add-user", "--user", "dave"}, "dave's secret\n"), 0);
    auto session = NewSession();
    ot::TKuaipanAPI api(session);
    const std::string url = api.RequestToken();
    std::vector<std::string> answers(30);
    std::vector<std::thread> tries;
    for (std::size_t i = 0; i < answers.size(); ++i)
        tries.emplace_back([&, i] { answers[i] = WebLogin(Server, url, "dave", "guess").Text; });
    for (auto& t : tries)
        t.join();
    std::map<std::string, int> counts;
    for (const auto& a : answers)
        ++counts[a];
    EXPECT_EQ(counts["Wrong user name or password."], 10);
    EXPECT_EQ(counts["Too many failed logins. Please try again later."], 20);
    // Locked out, the right password does not get in either; another user is not locked.
    EXPECT_EQ(WebLogin(Server, url, "dave", "dave's secret").Text,
              "Too many failed logins. Please try again later.");
    EXPECT_TRUE(WebLogin(Server, url, "alice", Server.Password()).Ok);
}

TEST_P(CloudServerProtocolOnEachStore, ListingsFollowEveryChange) {
    auto api = ApiFor();
    ASSERT_FALSE(api.CreateFolder("A").file_id.empty());
    ASSERT_FALSE(api.CreateFolder("A/B").file_id.empty());
    auto names = [&](const std::string& folder) {
        std::vector<std::string> out;
        for (const auto& f : api.Metadata(folder, true).files)
            out.push_back(f.path);
        return out;
    };
    EXPECT_EQ(names("/A"), std::vector<std::string>{"/A/B"});
    ASSERT_FALSE(api.UploadFile("/A/B/t.tsk", LocalFile("t", "one"), true).file_id.empty());
    EXPECT_EQ(names("/A/B"), std::vector<std::string>{"/A/B/t.tsk"});
    auto before = api.Metadata("/A/B", true).files.at(0);
    ASSERT_FALSE(api.UploadFile("/A/B/t.tsk", LocalFile("t", "two!"), true).file_id.empty());
    auto after = api.Metadata("/A/B", true).files.at(0);
    EXPECT_EQ(after.size, 4);
    EXPECT_GT(after.modify_time, before.modify_time);
    // A move above the folder changes every path in its listing.
    EXPECT_EQ(api.Move("/A", "/C").Code, 200);
    EXPECT_EQ(names("/C/B"), std::vector<std::string>{"/C/B/t.tsk"});
    EXPECT_TRUE(api.Metadata("/A/B", true).file_id.empty());
    EXPECT_EQ(api.Delete("/C/B/t.tsk", true).Code, 200);
    EXPECT_TRUE(names("/C/B").empty());
    // Another user's listing of the same path is their own.
    Server.AddUser("bob", "pw");
    auto bob = ApiFor("bob");
    ASSERT_FALSE(bob.CreateFolder("C").file_id.empty());
    ASSERT_FALSE(bob.CreateFolder("C/B").file_id.empty());
    ASSERT_FALSE(bob.UploadFile("/C/B/bob.tsk", LocalFile("b", "b"), true).file_id.empty());
    EXPECT_TRUE(names("/C/B").empty());
}

TEST_F(CloudServerProtocol, InjectedFaultsAndCounters) {
    auto api = ApiFor();
    ASSERT_FALSE(api.CreateFolder("W").file_id.empty());
    ASSERT_FALSE(api.UploadFile("/W/f.tsk", LocalFile("f", "0123456789"), true).file_id.empty());
    Server.ResetCounters();

    Server.AddFault({.Kind = "metadata", .Count = 1, .Status = 503});
    EXPECT_TRUE(api.Metadata("/W", true).file_id.empty());
    EXPECT_FALSE(api.Metadata("/W", true).file_id.empty());

    Server.AddFault({.Kind = "download_file", .Action = "truncate"});
    std::ostringstream partial;
    EXPECT_NE(api.DownloadFile("/W/f.tsk", partial).Code, 200);
    EXPECT_TRUE(partial.str().empty());

    Server.AddFault({.Kind = "metadata", .Action = "malformed"});
    EXPECT_THROW(api.Metadata("/W", true), ot::TKuaipanIOException);

    // The upload is carried out, only its answer fails.
    Server.AddFault({.Kind = "upload_file", .Status = 500, .After = true});
    EXPECT_TRUE(api.UploadFile("/W/g.tsk", LocalFile("g", "late"), true).file_id.empty());
    EXPECT_EQ(api.Metadata("/W", true).files.size(), 2u);

    auto counters = Server.Counters();
    EXPECT_EQ(counters["metadata"], 4);
    EXPECT_EQ(counters["download_file"], 1);
    EXPECT_EQ(counters["upload_file"], 1);
    EXPECT_EQ(Server.TotalRequests(), 6 + counters["upload_locate"]);
}

// Behind nginx every connection comes from nginx: with --trusted-proxy the client is the
// one nginx names in "X-Real-IP", for the log and the limits per address; anybody else
// naming an address in that header is taken for what it is.
class CloudServerBehindProxy : public CloudServerProtocol {
protected:
    CloudServerBehindProxy() : CloudServerProtocol(Options()) {}
    static CloudServerProcess::Options Options() {
        CloudServerProcess::Options o;
        o.ExtraArgs = {"--trusted-proxy", "127.0.0.1", "--max-pending-logins-per-address", "1"};
        return o;
    }
};

// A signed request (or one whose signature is spoiled) sent with "X-Real-IP".
int SendAs(const CloudServerProcess& server, ot::TKuaipanAPI& api, const std::string& location,
           bool tls, bool spoil, const std::string& client) {
    auto token = api.GetSession().Token();
    const std::string host = tls ? server.TlsHost() : server.PlainHost();
    auto url = ot::TOauthUtility::BuildGetURL(host, location, {}, api.GetSession().Consumer(),
                                              token.get(), tls);
    std::string target = url.Url().substr((tls ? 8 : 7) + host.size());
    if (spoil)
        target = ot::ReplaceAll(target, "oauth_signature=", "oauth_signature=x");
    httplib::Headers headers = {{"X-Real-IP", client}};
    if (tls) {
        auto r = SiteClient(server)->Get(target.c_str(), headers);
        return r ? r->status : -1;
    }
    httplib::Client cli("127.0.0.1", server.Port());
    auto r = cli.Get(target.c_str(), headers);
    return r ? r->status : -1;
}

TEST_F(CloudServerBehindProxy, TheProxysClientIsLoggedAndLimited) {
    auto api = ApiFor();
    EXPECT_EQ(SendAs(Server, api, "/1/metadata/app_folder/", false, true, "203.0.113.9"), 401);
    EXPECT_EQ(SendAs(Server, api, "/1/metadata/app_folder/", false, false, "2001:db8::1"), 200);
    auto login = [&](const std::string& client) {
        ot::TKuaipanAPI fresh(NewSession());
        return SendAs(Server, fresh, "/open/requestToken", true, false, client);
    };
    EXPECT_EQ(login("203.0.113.9"), 200);
    EXPECT_EQ(login("203.0.113.9"), 429);
    EXPECT_EQ(login("203.0.113.10"), 200);
    // One IPv6 client holds a /64.
    EXPECT_EQ(login("2001:db8::1"), 200);
    EXPECT_EQ(login("2001:db8::2"), 429);
    // A header that names no address leaves the proxy's own.
    EXPECT_EQ(login("not an address"), 200);
    EXPECT_EQ(login(""), 429);
    const std::string log = Server.Log();
    EXPECT_NE(log.find("authentication failure from 203.0.113.9: invalid signature"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(" http 2001:db8::1 alice GET metadata 200"), std::string::npos) << log;
}

TEST_F(CloudServerProtocol, AClientCannotNameItsOwnAddress) {
    auto api = ApiFor();
    EXPECT_EQ(SendAs(Server, api, "/1/metadata/app_folder/", false, true, "203.0.113.9"), 401);
    const std::string log = Server.Log();
    EXPECT_EQ(log.find("203.0.113.9"), std::string::npos) << log;
    EXPECT_NE(log.find("authentication failure from 127.0.0.1: invalid signature"),
              std::string::npos)
        << log;
}

} // namespace
