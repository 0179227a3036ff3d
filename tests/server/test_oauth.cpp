// Verification of signed requests: addresses signed by the program's own signing code
// pass, and each kind of forgery or stale request is refused with its own message.

#include "FaultInjector.h"
#include "OauthCheck.h"
#include "SqliteCloudStore.h"
#include "cloud/OauthUtility.h"
#include "common/Clock.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace ot::server;

namespace {

TEST(CloudServerQuery, DecodesFormEncodingAndRefusesAmbiguity) {
    auto q = ParseQueryString("path=%2FMy+Tasks%2Fa%2Bb&list=True&x=");
    ASSERT_TRUE(q);
    ASSERT_EQ(q->size(), 3u);
    EXPECT_EQ(*FindParam(*q, "path"), "/My Tasks/a+b");
    EXPECT_EQ(*FindParam(*q, "x"), "");
    EXPECT_FALSE(ParseQueryString("a=1&a=2")) << "a repeated name";
    EXPECT_FALSE(ParseQueryString("a=%4"));
    EXPECT_FALSE(ParseQueryString("a=%zz"));
    EXPECT_EQ(PercentDecode("a+b", false), "a+b");
}

TEST(CloudServerNonce, RefusesRepeatsAndForgetsAfterTwoWindows) {
    NonceCache cache(300);
    EXPECT_TRUE(cache.Remember("k&t&n1", 1000));
    EXPECT_FALSE(cache.Remember("k&t&n1", 1200));
    EXPECT_TRUE(cache.Remember("k&t&n2", 1200));
    EXPECT_TRUE(cache.Remember("k&t&n3", 1601)); // n1 is more than two windows old now
    EXPECT_EQ(cache.Size(), 2u);
    EXPECT_TRUE(cache.Remember("k&t&n1", 1601));
}

// With a journal the nonces of the last two windows outlive the cache; older ones, and
// their files, go.
TEST(CloudServerNonce, AJournalRemembersAcrossRestartsForTwoWindows) {
    char tmpl[] = "/tmp/ot-nonce-test-XXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl));
    const fs::path dir = fs::path(tmpl) / "nonces";
    const std::int64_t t0 = 1700000000;
    auto clock = std::make_shared<ot::FixedClock>(ot::UnixToLocalDateTime(t0));
    ot::ScopedClock useClock{clock};
    {
        NonceCache cache(300, dir);
        ASSERT_TRUE(cache.Remember("k&t&a", t0));
        ASSERT_TRUE(cache.Remember("k&t&b", t0 + 400));
    }
    // A record cut short by a crash is skipped.
    for (const auto& f : fs::directory_iterator(dir))
        if (f.path().filename() != "key")
            std::ofstream(f.path(), std::ios::app) << "cut";
    {
        NonceCache cache(300, dir);
        EXPECT_EQ(cache.Size(), 2u);
        EXPECT_FALSE(cache.Remember("k&t&a", t0 + 1));
        EXPECT_FALSE(cache.Remember("k&t&b", t0 + 401));
        EXPECT_TRUE(cache.Remember("k&t&c", t0 + 401));
    }
    clock->AdvanceSeconds(700);
    {
        NonceCache cache(300, dir);
        EXPECT_EQ(cache.Size(), 2u); // b and c; a arrived more than two windows ago
        EXPECT_TRUE(cache.Remember("k&t&a", t0 + 700));
        EXPECT_FALSE(cache.Remember("k&t&c", t0 + 700));
    }
    clock->AdvanceSeconds(2000);
    {
        NonceCache cache(300, dir);
        EXPECT_EQ(cache.Size(), 0u);
    }
    int files = 0;
    for (const auto& f : fs::directory_iterator(dir))
        files += f.path().filename() != "key";
    EXPECT_EQ(files, 0);
    fs::remove_all(tmpl);
}

TEST(CloudServerFaults, SkipsCountsAndConsumes) {
    FaultInjector f;
    FaultRule rule;
    rule.Kind = "metadata";
    rule.Skip = 1;
    rule.Count = 2;
    rule.Status = 503;
    f.Add(rule);
    EXPECT_FALSE(f.OnRequest("metadata").Active);
    EXPECT_FALSE(f.OnRequest("move").Active);
    EXPECT_EQ(f.OnRequest("metadata").Rule.Status, 503);
    EXPECT_TRUE(f.OnRequest("metadata").Active);
    EXPECT_FALSE(f.OnRequest("metadata").Active);
    EXPECT_EQ(f.Counters().at("metadata"), 4);
    EXPECT_EQ(f.Counters().at("move"), 1);
}

class CloudServerOauth : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/ot-oauth-test-XXXXXX";
        ASSERT_TRUE(mkdtemp(tmpl));
        Dir = tmpl;
        Store = std::make_unique<SqliteCloudStore>(Dir);
        Store->PutConsumer({"ck", "cs", "App"});
        ASSERT_TRUE(Store->AddUser("alice", "hash"));
        User = Store->FindUser("alice")->Id;
        Access = Store->CreateAccessToken("ck", User, Now, 0);
        Request = Store->CreateRequestToken("ck", Now);
        OauthSettings s;
        s.TimestampWindow = 300;
        Checker = std::make_unique<OauthChecker>(*Store, s);
    }
    void TearDown() override {
        Checker.reset();
        Store.reset();
        fs::remove_all(Dir);
    }

    struct Signed {
        std::string Path, Query;
    };
    // Signs as the client does, with the nonce and timestamp given.
    Signed Sign(const std::string& location, const ot::TParamList& params,
                const TokenPairText* token, std::string nonce = "abcdefghij",
                std::int64_t timestamp = 0, const std::string& consumerSecret = "cs") {
        ot::TConsumer consumer("ck", consumerSecret);
        std::unique_ptr<ot::TTokenPair> t;
        if (token)
            t = std::make_unique<ot::TTokenPair>(token->Key, token->Secret);
        auto url =
            ot::TOauthUtility::BuildURL("GET", Host, location, params, consumer, t.get(), false,
                                        nonce, std::to_string(timestamp ? timestamp : Now));
        std::string prefix = "http://" + Host;
        return {url.Url().substr(prefix.size()), url.Query()};
    }
    std::string Check(const Signed& s, TokenNeed need, const std::string& host = "") {
        OauthContext ctx;
        auto failure =
            Checker->Check("GET", "http", host.empty() ? Host : host, s.Path, s.Query, need, ctx);
        return failure ? failure->Msg : "ok";
    }

    fs::path Dir;
    std::string Host = "127.0.0.1:8080";
    std::int64_t Now = 1700000000;
    ot::ScopedClock UseClock{std::make_shared<ot::FixedClock>(ot::UnixToLocalDateTime(1700000000))};
    std::unique_ptr<CloudStore> Store;
    std::unique_ptr<OauthChecker> Checker;
    std::int64_t User = 0;
    TokenPairText Access, Request;
};

TEST_F(CloudServerOauth, AcceptsTheClientsSignatures) {
    // Paths and values where the encodings differ: a space, "+", "~", "*", non-ASCII.
    EXPECT_EQ(Check(Sign("/1/metadata/app_folder/My Tasks/a+b~*任务", {"list=True"}, &Access, "n1"),
                    TokenNeed::Access),
              "ok");
    EXPECT_EQ(Check(Sign("/1/fileops/create_folder",
                         {"root=app_folder", "path=/a b+c~d*e!f(g)'h@i$j&k=l任务"}, &Access, "n2"),
                    TokenNeed::Access),
              "ok");
    EXPECT_EQ(Check(Sign("/open/requestToken", {}, nullptr, "n3"), TokenNeed::None), "ok");
    EXPECT_EQ(
        Check(Sign("/open/accessToken", {"oauth_verifier=v"}, &Request, "n4"), TokenNeed::Request),
        "ok");
}

TEST_F(CloudServerOauth, RefusesForgeriesAndStaleRequests) {
    TokenPairText wrongSecret{Access.Key, "not the secret"};
    TokenPairText unknown{"nobody", "x"};
    auto tampered = Sign("/1/fileops/delete", {"root=app_folder", "path=/a"}, &Access, "t1");
    tampered.Query.replace(tampered.Query.find("path=%2Fa"), 9, "path=%2Fb");
    auto replayed = Sign("/1/metadata/app_folder/", {}, &Access, "r1");
    ASSERT_EQ(Check(replayed, TokenNeed::Access), "ok");

    struct Case {
        const char* What;
        std::string Got;
        const char* Want;
    };
    const Case cases[] = {
        {"tampered parameter", Check(tampered, TokenNeed::Access), "invalid signature"},
        {"other host",
         Check(Sign("/1/account_info", {}, &Access, "h1"), TokenNeed::Access, "127.0.0.1:9999"),
         "invalid signature"},
        {"wrong token secret",
         Check(Sign("/1/account_info", {}, &wrongSecret, "w1"), TokenNeed::Access),
         "invalid signature"},
        {"wrong consumer secret",
         Check(Sign("/1/account_info", {}, &Access, "w2", 0, "other"), TokenNeed::Access),
         "invalid signature"},
        {"replayed nonce", Check(replayed, TokenNeed::Access), "nonce already used"},
        {"stale timestamp",
         Check(Sign("/1/account_info", {}, &Access, "s1", Now - 301), TokenNeed::Access),
         "timestamp out of range"},
        {"future timestamp",
         Check(Sign("/1/account_info", {}, &Access, "s2", Now + 301), TokenNeed::Access),
         "timestamp out of range"},
        {"a clock behind, yet within the window",
         Check(Sign("/1/account_info", {}, &Access, "s3", Now - 299), TokenNeed::Access), "ok"},
        {"unknown token", Check(Sign("/1/account_info", {}, &unknown, "u1"), TokenNeed::Access),
         "invalid token"},
        {"request token where an access token is needed",
         Check(Sign("/1/account_info", {}, &Request, "u2"), TokenNeed::Access), "invalid token"},
        {"access token where a request token is needed",
         Check(Sign("/open/accessToken", {}, &Access, "u3"), TokenNeed::Request), "invalid token"},
        {"no signature", Check({"/1/account_info", "oauth_consumer_key=ck"}, TokenNeed::Access),
         "missing oauth parameter"},
        {"a parameter given twice",
         Check({replayed.Path, replayed.Query + "&list=True&list=False"}, TokenNeed::Access),
         "malformed query"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.Got, c.Want) << c.What;
}

TEST_F(CloudServerOauth, RevokedOrExpiredTokensAreReportedAsExpiredAuthorization) {
    auto expiring = Store->CreateAccessToken("ck", User, Now, Now + 60);
    EXPECT_EQ(Check(Sign("/1/account_info", {}, &expiring, "e1"), TokenNeed::Access), "ok");
    {
        ot::ScopedClock later(std::make_shared<ot::FixedClock>(ot::UnixToLocalDateTime(Now + 60)));
        EXPECT_EQ(Check(Sign("/1/account_info", {}, &expiring, "e2", Now + 60), TokenNeed::Access),
                  "authorization expired");
        EXPECT_EQ(Check(Sign("/1/account_info", {}, &Access, "e3", Now + 60), TokenNeed::Access),
                  "ok");
    }
    Store->RevokeTokens(User);
    EXPECT_EQ(Check(Sign("/1/account_info", {}, &Access, "e4"), TokenNeed::Access),
              "authorization expired");
    // A forged request with a revoked token is still a forgery.
    TokenPairText forged{Access.Key, "guess"};
    EXPECT_EQ(Check(Sign("/1/account_info", {}, &forged, "e5"), TokenNeed::Access),
              "invalid signature");
}

TEST_F(CloudServerOauth, RequestTokensExpire) {
    ot::ScopedClock later(std::make_shared<ot::FixedClock>(ot::UnixToLocalDateTime(Now + 1801)));
    EXPECT_EQ(Check(Sign("/open/accessToken", {"oauth_verifier=v"}, &Request, "x1", Now + 1801),
                    TokenNeed::Request),
              "request token expired");
}

} // namespace
