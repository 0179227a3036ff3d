#include "ScriptedServer.h"

#include "cloud/KuaipanAPI.h"
#include "cloud/KuaipanException.h"
#include "cloud/OauthUtility.h"
#include "common/FileUtil.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <sstream>

using namespace ot;
using namespace ot::test;

namespace {

struct Seen {
    std::string Server; // "api", "tls", "content", "conversion", "upload"
    std::string Method;
    std::string Path; // as sent, still encoded
    std::multimap<std::string, std::string> Params;
    bool SignatureValid = false;
};

// Five scripted servers standing for the hosts of the service. Each records
// what it receives, checks its signature as the service would (the Host
// header, the path as sent, the decoded parameters) and answers from a table
// of replies by path.
class ApiTest : public ::testing::Test {
protected:
    // The servers, and the hosts that name them.
    TKuaipanHosts StartServers() {
        Serve(FApi, "api", "http");
        Serve(*FTls, "tls", "https");
        Serve(FContent, "content", "http");
        Serve(FConversion, "conversion", "http");
        Serve(FUpload, "upload", "http");

        TKuaipanHosts hosts;
        hosts.Api = {FApi.Address(), "localhost:" + std::to_string(FTls->Port())};
        hosts.Content = {FContent.Address(), "localhost:" + std::to_string(FTls->Port())};
        hosts.Conversion = {FConversion.Address(), "localhost:" + std::to_string(FTls->Port())};
        hosts.Site = {"unused", "site.example:9443"};
        hosts.CAFile = LocalhostCert();
        return hosts;
    }
    // A client with the access token on other hosts.
    TKuaipanAPI ClientOn(const TKuaipanHosts& hosts) {
        auto session = std::make_shared<TOauthSession>("ck", "cs", hosts);
        session->SetAuthToken("ak", "as");
        return TKuaipanAPI(session);
    }

    void SetUp() override {
        Reply("/open/requestToken", 200, R"({"oauth_token":"rk","oauth_token_secret":"rs"})");
        Reply("/open/accessToken", 200, R"({"oauth_token":"ak","oauth_token_secret":"as"})");
        Reply("/1/fileops/upload_locate", 200, R"({"url":"http://)" + FUpload.Address() + R"(/"})");
        FSession->SetAuthToken("ak", "as");
    }

    void Reply(const std::string& path, int status, const std::string& body) {
        std::lock_guard lock(FMutex);
        FReplies[path] = {status, body};
    }

    std::vector<Seen> Requests() {
        std::lock_guard lock(FMutex);
        return FSeen;
    }

    void Serve(ScriptedServer& server, const std::string& name, const std::string& scheme) {
        auto handler = [this, name, scheme](const httplib::Request& req, httplib::Response& res) {
            Seen seen;
            seen.Server = name;
            seen.Method = req.method;
            seen.Path = req.target.substr(0, req.target.find('?'));
            TParamList params;
            std::string signature, tokenKey;
            for (const auto& [k, v] : req.params) {
                seen.Params.emplace(k, v);
                if (k == "oauth_signature")
                    signature = v;
                else
                    params.push_back(k + "=" + v);
                if (k == "oauth_token")
                    tokenKey = v;
            }
            const std::map<std::string, std::string> secrets{{"rk", "rs"}, {"ak", "as"}};
            const std::string tokenSecret = secrets.count(tokenKey) ? secrets.at(tokenKey) : "";
            seen.SignatureValid = signature == TOauthUtility::ComputeSignature(
                                                   req.method, scheme, req.get_header_value("Host"),
                                                   seen.Path, params, "cs", tokenSecret);
            std::lock_guard lock(FMutex);
            FSeen.push_back(seen);
            auto it = FReplies.find(req.path);
            if (it == FReplies.end()) {
                res.set_content(R"({"file_id":"100","name":"x","type":"file"})",
                                "application/json");
            } else {
                res.status = it->second.first;
                res.set_content(it->second.second, "application/json");
            }
        };
        server.Http().Get(".*", handler);
        server.Http().Post(".*", handler);
        server.Start();
    }

    // Declared first: the servers' handlers use them until the servers stop.
    std::mutex FMutex;
    std::vector<Seen> FSeen;
    std::map<std::string, std::pair<int, std::string>> FReplies;

    TempDir FDir;
    ScriptedServer FApi, FContent, FConversion, FUpload;
    std::unique_ptr<ScriptedServer> FTls =
        std::make_unique<ScriptedServer>(LocalhostCert(), LocalhostKey());
    TKuaipanHosts FHosts = StartServers();
    std::shared_ptr<TOauthSession> FSession = std::make_shared<TOauthSession>("ck", "cs", FHosts);
    TKuaipanAPI FApiClient{FSession};
};

} // namespace

TEST_F(ApiTest, EachOperationGoesToItsHostPathAndParameters) {
    const std::string local = FDir / "a.tsk";
    ASSERT_TRUE(WriteFileAtomic(local, "content"));
    std::ostringstream sink;

    struct Case {
        std::string what;
        std::function<void()> call;
        std::string server, method, path;
        std::vector<std::string> present; // "name=value"
        std::vector<std::string> absent;  // names
    } cases[] = {
        {"metadata list",
         [&] { FApiClient.Metadata("Work", true); },
         "api",
         "GET",
         "/1/metadata/app_folder/Work",
         {"list=True"},
         {}},
        {"metadata slash",
         [&] { FApiClient.Metadata("/Work", false); },
         "api",
         "GET",
         "/1/metadata/app_folder/Work",
         {},
         {"list"}},
        {"metadata root",
         [&] { FApiClient.Metadata("", false); },
         "api",
         "GET",
         "/1/metadata/app_folder/",
         {},
         {}},
        {"metadata encoded",
         [&] { FApiClient.Metadata("/My Tasks/任务~", false); },
         "api",
         "GET",
         "/1/metadata/app_folder/My+Tasks/%E4%BB%BB%E5%8A%A1%7E",
         {},
         {}},
        {"create folder",
         [&] { FApiClient.CreateFolder("Work"); },
         "api",
         "GET",
         "/1/fileops/create_folder",
         {"root=app_folder", "path=Work"},
         {}},
        {"move",
         [&] { FApiClient.Move("/a b", "/c+d"); },
         "api",
         "GET",
         "/1/fileops/move",
         {"root=app_folder", "from_path=/a b", "to_path=/c+d"},
         {}},
        {"copy",
         [&] { FApiClient.Copy("/a", "/b"); },
         "api",
         "GET",
         "/1/fileops/copy",
         {"root=app_folder", "from_path=/a", "to_path=/b"},
         {}},
        {"delete to recycle",
         [&] { FApiClient.Delete("/a", true); },
         "api",
         "GET",
         "/1/fileops/delete",
         {"root=app_folder", "path=/a"},
         {"to_recycle"}},
        {"delete for good",
         [&] { FApiClient.Delete("/a", false); },
         "api",
         "GET",
         "/1/fileops/delete",
         {"to_recycle=False"},
         {}},
        {"shares bare",
         [&] { FApiClient.Shares("x", "", ""); },
         "api",
         "GET",
         "/1/shares/app_folder/x",
         {},
         {"name", "access_code"}},
        {"shares named",
         [&] { FApiClient.Shares("/x", "n", "c"); },
         "api",
         "GET",
         "/1/shares/app_folder/x",
         {"name=n", "access_code=c"},
         {}},
        {"account", [&] { FApiClient.AccountInfo(); }, "tls", "GET", "/1/account_info", {}, {}},
        {"thumbnail",
         [&] { FApiClient.Thumbnail("/p", sink); },
         "conversion",
         "GET",
         "/1/fileops/thumbnail",
         {"width=128", "height=128", "root=app_folder", "path=/p"},
         {}},
        {"thumbnail sized",
         [&] { FApiClient.Thumbnail(64, 32, "/p", sink); },
         "conversion",
         "GET",
         "/1/fileops/thumbnail",
         {"width=64", "height=32"},
         {}},
        {"view",
         [&] { FApiClient.DocumentView(TConvType::PDF, TConvView::IPAD, "/p", false, sink); },
         "conversion",
         "GET",
         "/1/fileops/documentView",
         {"type=pdf", "view=iPad", "root=app_folder", "path=/p"},
         {"zip"}},
        {"view zipped",
         [&] { FApiClient.DocumentView(TConvType::RTF, TConvView::IPHONE, "/p", true, sink); },
         "conversion",
         "GET",
         "/1/fileops/documentView",
         {"type=rtf", "view=iphone", "zip=1"},
         {}},
        {"download",
         [&] { FApiClient.DownloadFile("/Work/a.tsk", sink); },
         "content",
         "GET",
         "/1/fileops/download_file",
         {"root=app_folder", "path=/Work/a.tsk"},
         {}},
        {"upload",
         [&] { FApiClient.UploadFile("/Work/a.tsk", local, true); },
         "upload",
         "POST",
         "/1/fileops/upload_file",
         {"root=app_folder", "path=/Work/a.tsk", "overwrite=True"},
         {}},
        {"upload keep",
         [&] { FApiClient.UploadFile("/Work/a.tsk", local, false); },
         "upload",
         "POST",
         "/1/fileops/upload_file",
         {"overwrite=False"},
         {}},
        {"access token",
         [&] { FApiClient.AccessToken(""); },
         "tls",
         "GET",
         "/open/accessToken",
         {},
         {"oauth_verifier"}},
        {"access token verifier",
         [&] { FApiClient.AccessToken("v 1"); },
         "tls",
         "GET",
         "/open/accessToken",
         {"oauth_verifier=v 1"},
         {}},
    };
    for (const auto& c : cases) {
        const std::size_t before = Requests().size();
        ASSERT_NO_THROW(c.call()) << c.what;
        auto seen = Requests();
        // An upload first locates its host (once).
        while (seen.size() > before + 1 && seen[before].Path == "/1/fileops/upload_locate")
            seen.erase(seen.begin() + before);
        ASSERT_EQ(seen.size(), before + 1) << c.what;
        const Seen& s = seen.back();
        EXPECT_EQ(s.Server, c.server) << c.what;
        EXPECT_EQ(s.Method, c.method) << c.what;
        EXPECT_EQ(s.Path, c.path) << c.what;
        EXPECT_TRUE(s.SignatureValid) << c.what;
        EXPECT_EQ(s.Params.count("oauth_token"), 1u) << c.what;
        for (const auto& p : c.present) {
            auto it = s.Params.find(std::string(ParamName(p)));
            ASSERT_NE(it, s.Params.end()) << c.what << ": " << p;
            EXPECT_EQ(it->second, ParamValue(p)) << c.what;
        }
        for (const auto& name : c.absent)
            EXPECT_EQ(s.Params.count(name), 0u) << c.what << ": " << name;
    }
}

TEST_F(ApiTest, TokenFlowMovesTheSessionFromNoneToAccess) {
    const std::string url = FApiClient.RequestToken();
    EXPECT_EQ(url, "https://site.example:9443/api.php?ac=open&op=authorise&oauth_token=rk");
    auto seen = Requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Server, "tls");
    EXPECT_EQ(seen[0].Params.count("oauth_token"), 0u); // signed without a token
    EXPECT_TRUE(seen[0].SignatureValid);
    ASSERT_NE(FSession->Token(), nullptr);
    EXPECT_EQ(FSession->Token()->Key(), "rk");
    EXPECT_FALSE(FSession->IsAuth());

    FApiClient.AccessToken("verifier");
    seen = Requests();
    EXPECT_EQ(seen.back().Params.find("oauth_token")->second, "rk");
    EXPECT_TRUE(seen.back().SignatureValid);
    EXPECT_TRUE(FSession->IsAuth());
    EXPECT_EQ(FSession->Token()->Secret(), "as");
}

TEST_F(ApiTest, TokenRepliesWithoutThePairRaise) {
    Reply("/open/requestToken", 401, "");
    try {
        FApiClient.RequestToken();
        ADD_FAILURE() << "no exception";
    } catch (const TKuaipanIOException& e) {
        EXPECT_STREQ(e.what(), "code=401\n");
    }
    EXPECT_EQ(FSession->Token(), nullptr); // the access token was dropped first

    FSession->SetTempToken("rk", "rs");
    Reply("/open/accessToken", 200, R"({"oauth_token":"ak"})");
    EXPECT_THROW(FApiClient.AccessToken("v"), TKuaipanIOException);
    EXPECT_FALSE(FSession->IsAuth());
}

TEST_F(ApiTest, ExpiredAuthorizationRaises) {
    FSession->SetTempToken("rk", "rs");
    EXPECT_THROW(FApiClient.Metadata("/Work", true), TKuaipanAuthExpiredException);
    EXPECT_TRUE(Requests().empty()); // nothing sent without an access token
    FSession->SetAuthToken("ak", "as");

    struct Case {
        std::string body;
        bool raises;
    } cases[] = {
        {R"({"msg":"authorization expired"})", true},
        {R"({"MSG":"authorization expired"})", true},
        {R"({"msg":"Authorization Expired"})", false},
        {R"({"msg":"bad signature"})", false},
    };
    for (const auto& c : cases) {
        Reply("/1/metadata/app_folder/Work", 401, c.body);
        Reply("/1/fileops/create_folder", 401, c.body);
        Reply("/open/accessToken", 401, c.body);
        if (c.raises) {
            EXPECT_THROW(FApiClient.Metadata("/Work", true), TKuaipanAuthExpiredException);
            EXPECT_THROW(FApiClient.CreateFolder("/Work"), TKuaipanAuthExpiredException);
            EXPECT_THROW(FApiClient.AccessToken("v"), TKuaipanAuthExpiredException);
        } else {
            EXPECT_EQ(FApiClient.Metadata("/Work", true).file_id, "") << c.body;
            EXPECT_EQ(FApiClient.CreateFolder("/Work").file_id, "") << c.body;
            EXPECT_THROW(FApiClient.AccessToken("v"), TKuaipanIOException);
        }
    }
    // The same body with another status is an ordinary failure.
    Reply("/1/metadata/app_folder/Work", 403, R"({"msg":"authorization expired"})");
    EXPECT_EQ(FApiClient.Metadata("/Work", true).file_id, "");
}

TEST_F(ApiTest, RepliesBecomeRecordsOrRawResponses) {
    Reply(
        "/1/metadata/app_folder/Work", 200,
        R"({"file_id":"7","type":"folder","name":"Work","files":[)"
        R"({"file_id":"8","name":"N1_2_3.tsk","type":"file","modify_time":"2016-03-05 08:00:01"}]})");
    auto folder = FApiClient.Metadata("Work", true);
    EXPECT_EQ(folder.file_id, "7");
    ASSERT_EQ(folder.files.size(), 1u);
    EXPECT_EQ(folder.files[0].name, "N1_2_3.tsk");
    EXPECT_EQ(folder.files[0].modify_time, EncodeDateTime(2016, 3, 5, 8, 0, 1));

    Reply("/1/fileops/move", 404, R"({"msg":"file not exist"})");
    auto moved = FApiClient.Move("/a", "/b");
    EXPECT_EQ(moved.Code, 404);
    EXPECT_EQ(moved.Content, R"({"msg":"file not exist"})");

    Reply("/1/fileops/download_file", 200, "file bytes");
    std::ostringstream out;
    EXPECT_EQ(FApiClient.DownloadFile("/Work/N1_2_3.tsk", out).Code, 200);
    EXPECT_EQ(out.str(), "file bytes");

    // A body that is not JSON is a malformed reply.
    Reply("/1/fileops/create_folder", 502, "<html>Bad Gateway</html>");
    EXPECT_THROW(FApiClient.CreateFolder("/Work"), TKuaipanIOException);
    // No reply at all gives an empty record.
    TKuaipanHosts dead = FHosts;
    dead.Api.Plain = "127.0.0.1:1";
    EXPECT_EQ(ClientOn(dead).CreateFolder("/Work").file_id, "");
}

TEST_F(ApiTest, AlwaysTlsSendsEveryRequestOverTls) {
    TKuaipanHosts secure = FHosts;
    secure.AlwaysSecure = true;
    TKuaipanAPI client = ClientOn(secure);
    Reply("/1/fileops/upload_locate", 200,
          R"({"url":"http://localhost:)" + std::to_string(FTls->Port()) + R"(/"})");
    const std::string local = FDir / "a.tsk";
    ASSERT_TRUE(WriteFileAtomic(local, "content"));
    std::ostringstream out;

    client.Metadata("/Work", true);
    client.DownloadFile("/Work/a.tsk", out);
    EXPECT_EQ(client.UploadFile("/Work/a.tsk", local, true).file_id, "100");
    auto seen = Requests();
    ASSERT_EQ(seen.size(), 4u); // metadata, download, locate, upload
    for (const auto& s : seen) {
        EXPECT_EQ(s.Server, "tls") << s.Path;
        if (s.Path != "/1/fileops/upload_locate") {
            EXPECT_TRUE(s.SignatureValid) << s.Path; // signed for https
        }
    }
}

TEST(KuaipanAPI, NeedsASessionAndNamesItsEnumerations) {
    try {
        TKuaipanAPI api(nullptr);
        ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Illegal Argument");
    }
    std::string types;
    for (int t = 0; t <= static_cast<int>(TConvType::RTF); ++t)
        types += ConvTypeToString(static_cast<TConvType>(t)) + " ";
    EXPECT_EQ(types, "pdf doc wps csv prn xls et ppt dps txt rtf ");
    EXPECT_EQ(ConvViewToString(TConvView::NORMAL), "normal");
    EXPECT_EQ(ConvViewToString(TConvView::ANDROID), "android");
    EXPECT_EQ(ConvViewToString(TConvView::IPAD), "iPad");
    EXPECT_EQ(ConvViewToString(TConvView::IPHONE), "iphone");
}
