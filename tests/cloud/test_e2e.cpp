// The client against a real otCloudServer on loopback ports: login, token
// file, file operations and the failure answers the engine relies on.

#include "ScriptedServer.h"
#include "support/CloudServerProcess.h"

#include "cloud/KuaipanAPI.h"
#include "cloud/KuaipanAuthorise.h"
#include "cloud/KuaipanConsumer.h"
#include "cloud/KuaipanException.h"
#include "cloud/KuaipanUtility.h"
#include "common/FileUtil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>
#include <vector>

using namespace ot;
using namespace ot::test;

namespace {

class EndToEnd : public ::testing::Test {
protected:
    // The whole login as the login window drives it; the verifier's outcome.
    bool Login(const std::string& user, const std::string& password, std::string& result) {
        const std::string url = FApi.RequestToken();
        TKuaipanAuthorise authorise(FSession->Hosts(), url);
        if (!authorise.LoginAndAuthorise(user, password, result))
            return false;
        FApi.AccessToken(result);
        return FSession->IsAuth();
    }

    CloudServerProcess FServer;
    TempDir FDir;
    std::shared_ptr<TOauthSession> FSession =
        std::make_shared<TOauthSession>(ConsumerKey, ConsumerSecret, FServer.Hosts());
    TKuaipanAPI FApi{FSession};
};

} // namespace

TEST_F(EndToEnd, LoginThenFileRoundTrips) {
    std::string result;
    ASSERT_TRUE(Login(FServer.User(), FServer.Password(), result)) << result << FServer.Log();

    // The token survives a restart of the program through the token file.
    const std::string authFile = FDir / "MyAuth.adb";
    ASSERT_TRUE(TKuaipanUtility::SaveAuthFile(*FSession->Token(), authFile));
    auto stored = TKuaipanUtility::LoadAuthFile(authFile);
    ASSERT_NE(stored, nullptr);
    auto session = std::make_shared<TOauthSession>(ConsumerKey, ConsumerSecret, FServer.Hosts());
    session->SetAuthToken(stored->Key(), stored->Secret());
    TKuaipanAPI api(session);

    EXPECT_FALSE(api.Metadata("", true).file_id.empty());
    auto folder = api.CreateFolder("/My Tasks");
    EXPECT_FALSE(folder.file_id.empty());
    EXPECT_EQ(folder.ftype, "folder");

    const std::string local = FDir / "N1_2_3.tsk";
    const std::string content = "<?xml version=\"1.0\"?><remarks>任务 a&amp;b</remarks>";
    ASSERT_TRUE(WriteFileAtomic(local, content));
    auto uploaded = api.UploadFile("/My Tasks/N1_2_3.tsk", local, true);
    EXPECT_FALSE(uploaded.file_id.empty()) << FServer.Log();
    EXPECT_NE(uploaded.modify_time, 0);

    auto listing = api.Metadata("My Tasks", true);
    ASSERT_EQ(listing.files.size(), 1u);
    EXPECT_EQ(listing.files[0].name, "N1_2_3.tsk");
    EXPECT_EQ(listing.files[0].file_id, uploaded.file_id);
    EXPECT_EQ(listing.files[0].modify_time, uploaded.modify_time);

    std::ostringstream down;
    EXPECT_EQ(api.DownloadFile("/My Tasks/N1_2_3.tsk", down).Code, 200);
    EXPECT_EQ(down.str(), content);

    EXPECT_EQ(api.Move("/My Tasks/N1_2_3.tsk", "/My Tasks/N1_2_4.tsk").Code, 200);
    EXPECT_EQ(api.Metadata("/My Tasks/N1_2_3.tsk", false).file_id, "");
    EXPECT_EQ(api.Metadata("/My Tasks/N1_2_4.tsk", false).file_id, uploaded.file_id);

    EXPECT_EQ(api.Delete("/My Tasks/N1_2_4.tsk", true).Code, 200);
    EXPECT_TRUE(api.Metadata("/My Tasks", true).files.empty());
    // Gone files fail as the engine expects: a status other than 200.
    std::ostringstream none;
    EXPECT_NE(api.DownloadFile("/My Tasks/N1_2_4.tsk", none).Code, 200);
    EXPECT_EQ(none.str(), "");
    EXPECT_NE(api.Move("/My Tasks/N1_2_4.tsk", "/My Tasks/x.tsk").Code, 200);
}

TEST_F(EndToEnd, WrongPasswordFailsWithTheSiteText) {
    std::string result;
    EXPECT_FALSE(Login(FServer.User(), "wrong password", result));
    EXPECT_FALSE(result.empty());
    EXPECT_FALSE(FSession->IsAuth());
    EXPECT_THROW(FApi.Metadata("", true), TKuaipanAuthExpiredException);
}

TEST_F(EndToEnd, RevokedTokenRaisesAndUnknownTokenFails) {
    auto [key, secret] = FServer.IssueAccessToken();
    FSession->SetAuthToken(key + "x", secret);
    EXPECT_EQ(FApi.Metadata("", true).file_id, ""); // refused, but not as expired

    FSession->SetAuthToken(key, secret);
    EXPECT_FALSE(FApi.Metadata("", true).file_id.empty());
    ASSERT_EQ(FServer.RunCommand({"revoke-tokens", "--user", FServer.User()}), 0);
    EXPECT_THROW(FApi.Metadata("", true), TKuaipanAuthExpiredException);
    EXPECT_THROW(FApi.CreateFolder("/Work"), TKuaipanAuthExpiredException);
}

TEST_F(EndToEnd, AlwaysTlsReachesEveryEndpoint) {
    TKuaipanHosts hosts = FServer.Hosts();
    hosts.AlwaysSecure = true;
    auto session = std::make_shared<TOauthSession>(ConsumerKey, ConsumerSecret, hosts);
    TKuaipanAPI api(session);
    auto [key, secret] = FServer.IssueAccessToken();
    session->SetAuthToken(key, secret);
    FServer.ResetCounters();

    const std::string local = FDir / "a.tsk";
    ASSERT_TRUE(WriteFileAtomic(local, "x"));
    EXPECT_FALSE(api.CreateFolder("/Work").file_id.empty());
    EXPECT_FALSE(api.UploadFile("/Work/a.tsk", local, true).file_id.empty());
    std::ostringstream out;
    EXPECT_EQ(api.DownloadFile("/Work/a.tsk", out).Code, 200);
    EXPECT_EQ(out.str(), "x");
    EXPECT_EQ(FServer.Counter("upload_file"), 1);
}

// A server that asks its client to slow down (503 with Retry-After) is
// asked again after the pause, with a request signed anew (the first one's
// nonce is spent); a caller that cuts the pause short gets the 503.
TEST(EndToEndPacing, ClientsWaitAsTheServerAsksAndSignAgain) {
    CloudServerProcess::Options options;
    options.ExtraArgs = {"--user-rate", "1"};
    CloudServerProcess server(options);
    auto session = std::make_shared<TOauthSession>(ConsumerKey, ConsumerSecret, server.Hosts());
    auto [key, secret] = server.IssueAccessToken();
    session->SetAuthToken(key, secret);
    TKuaipanAPI api(session);
    std::vector<std::chrono::seconds> pauses;
    api.SetBackOff([&](std::chrono::seconds pause) {
        pauses.push_back(pause);
        std::this_thread::sleep_for(pause);
        return true;
    });
    // A burst of two passes at once; the next ones wait.
    EXPECT_FALSE(api.CreateFolder("/Work").file_id.empty());
    EXPECT_FALSE(api.UploadData("/Work/a.tsk", "a", true).file_id.empty());
    EXPECT_TRUE(pauses.empty());
    const auto listed = api.Metadata("/Work", true);
    ASSERT_EQ(listed.files.size(), 1u);
    EXPECT_FALSE(api.UploadData("/Work/b.tsk", "b", true).file_id.empty());
    ASSERT_GE(pauses.size(), 2u);
    for (const auto& p : pauses)
        EXPECT_EQ(p, std::chrono::seconds(1));
    std::ostringstream out;
    EXPECT_EQ(api.DownloadFile("/Work/b.tsk", out).Code, 200);
    EXPECT_EQ(out.str(), "b");

    api.SetBackOff([](std::chrono::seconds) { return false; });
    int refused = 0;
    for (int i = 0; i < 4; ++i)
        refused += api.Move("/Work/a.tsk", "/Work/a.tsk").Code == 503;
    EXPECT_GE(refused, 2);
}

TEST_F(EndToEnd, ServerFaultsReachTheCaller) {
    auto [key, secret] = FServer.IssueAccessToken();
    FSession->SetAuthToken(key, secret);
    FServer.AddFault({.Kind = "metadata", .Count = 1, .Action = "malformed"});
    EXPECT_THROW(FApi.Metadata("", true), TKuaipanIOException);
    FServer.AddFault({.Kind = "create_folder", .Count = 1, .Action = "status", .Status = 500});
    EXPECT_EQ(FApi.CreateFolder("/Work").file_id, "");
    EXPECT_FALSE(FApi.CreateFolder("/Work").file_id.empty());
}
