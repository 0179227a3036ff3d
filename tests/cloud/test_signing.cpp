#include "cloud/CommonUtility.h"
#include "cloud/KuaipanException.h"
#include "cloud/KuaipanURL.h"
#include "cloud/OauthUtility.h"
#include "cloud/Session.h"
#include "common/Clock.h"
#include "common/Text.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

using namespace ot;

namespace {

std::string Hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// The value of one parameter in an encoded query ("" when absent).
std::string QueryValue(const std::string& query, const std::string& name) {
    for (const auto& part : Split(query, '&'))
        if (ParamName(part) == name)
            return std::string(ParamValue(part));
    return "<absent>";
}

std::string QueryOf(const std::string& url) {
    auto q = url.find('?');
    return q == std::string::npos ? std::string() : url.substr(q + 1);
}

std::string Signature(std::string_view base, std::string_view key) {
    return Base64Encode(HmacSha1Digest(base, key));
}

const TConsumer consumer("ck", "cs");
const TAccessToken token("tk", "ts");

} // namespace

TEST(CommonUtility, HmacSha1AndBase64KnownAnswers) {
    EXPECT_EQ(Hex(HmacSha1Digest("The quick brown fox jumps over the lazy dog", "key")),
              "de7c9b85b8b78aa6bc8a7a36f70a90701c9db4d9");
    EXPECT_EQ(Hex(HmacSha1Digest("", "")), "fbdb1d1b18aa6c08324b7d64b71fb76370690e1d");
    struct {
        const char* in;
        const char* out;
    } b64[] = {{"", ""},        {"f", "Zg=="},        {"fo", "Zm8="},
               {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"\xfb\xff", "+/8="}};
    for (const auto& c : b64)
        EXPECT_EQ(Base64Encode(c.in), c.out) << c.in;
    // No line breaks in long output.
    EXPECT_EQ(Base64Encode(std::string(100, 'x')).find('\n'), std::string::npos);
}

TEST(OauthUtility, EncodersByteByByte) {
    struct Case {
        std::string in, form, oauth, path;
    } cases[] = {
        {"aZ09-._", "aZ09-._", "aZ09-._", "aZ09-._"},
        {"a b", "a+b", "a%20b", "a+b"},
        {"~", "%7E", "~", "%7E"},
        {"*", "*", "%2A", "*"},
        {"!$'()@", "!$'()@", "!$'()@", "!$'()@"},
        {"+&=/%", "%2B%26%3D%2F%25", "%2B%26%3D%2F%25", "%2B%26%3D/%25"},
        {"任务", "%E4%BB%BB%E5%8A%A1", "%E4%BB%BB%E5%8A%A1", "%E4%BB%BB%E5%8A%A1"},
        {"/My Tasks", "%2FMy+Tasks", "%2FMy%20Tasks", "/My+Tasks"},
        {std::string("\x00\x7f", 2), "%00%7F", "%00%7F", "%00%7F"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TOauthUtility::UrlFormEncode(c.in), c.form) << c.in;
        EXPECT_EQ(TOauthUtility::OauthEncode(c.in), c.oauth) << c.in;
        EXPECT_EQ(TOauthUtility::EncodePath(c.in), c.path) << c.in;
    }
}

TEST(OauthUtility, ValueEdgeCasesInBaseStringAndQuery) {
    // name, value as the caller gives it, its form in the base string (after
    // the double encoding), its form in the query.
    struct Case {
        std::string value, inBase, inQuery;
    } cases[] = {
        {"a b", "a%2520b", "a+b"}, {"x~y", "x~y", "x%7Ey"},
        {"x*y", "x%252Ay", "x*y"}, {"x!y", "x!y", "x!y"},
        {"x(y", "x(y", "x(y"},     {"任务", "%25E4%25BB%25BB%25E5%258A%25A1", "%E4%BB%BB%E5%8A%A1"},
    };
    for (const auto& c : cases) {
        TParamList params{"path=" + c.value};
        auto url = TOauthUtility::BuildURL("GET", "api.test:81", "/1/x", params, consumer, &token,
                                           false, "N0nce12345", "1356998400");
        const std::string base =
            "GET&http%3A%2F%2Fapi.test%3A81%2F1%2Fx&oauth_consumer_key%3Dck%26oauth_nonce%"
            "3DN0nce12345%26oauth_signature_method%3DHMAC-SHA1%26oauth_timestamp%3D1356998400%"
            "26oauth_token%3Dtk%26oauth_version%3D1.0%26path%3D" +
            c.inBase;
        const std::string sig = Signature(base, "cs&ts");
        EXPECT_EQ(url.Url(), "http://api.test:81/1/x") << c.value;
        EXPECT_EQ(url.Query(), "oauth_consumer_key=ck&oauth_nonce=N0nce12345&oauth_signature=" +
                                   TOauthUtility::UrlFormEncode(sig) +
                                   "&oauth_signature_method=HMAC-SHA1&oauth_timestamp="
                                   "1356998400&oauth_token=tk&oauth_version=1.0&path=" +
                                   c.inQuery)
            << c.value;
    }
}

TEST(OauthUtility, MetadataShapeAndPathWithSpace) {
    auto url = TOauthUtility::BuildURL("GET", "h", "/1/metadata/app_folder/My Tasks", {"list=True"},
                                       consumer, &token, false, "abcdefghij", "100");
    EXPECT_EQ(url.Url(), "http://h/1/metadata/app_folder/My+Tasks");
    const std::string base = "GET&http%3A%2F%2Fh%2F1%2Fmetadata%2Fapp_folder%2FMy%2BTasks&list%"
                             "3DTrue%26oauth_consumer_key%3Dck%26oauth_nonce%3Dabcdefghij%"
                             "26oauth_signature_method%3DHMAC-SHA1%26oauth_timestamp%3D100%"
                             "26oauth_token%3Dtk%26oauth_version%3D1.0";
    EXPECT_EQ(TOauthUtility::UrlFormEncode(Signature(base, "cs&ts")),
              QueryValue(url.Query(), "oauth_signature"));
    EXPECT_TRUE(StartsWith(url.Query(), "list=True&oauth_consumer_key=ck&oauth_nonce="));
}

TEST(OauthUtility, WithoutTokenNoOauthTokenAndKeyEndsWithAmpersand) {
    auto url = TOauthUtility::BuildURL("GET", "h", "/open/requestToken", {}, consumer, nullptr,
                                       true, "abcdefghij", "100");
    EXPECT_EQ(url.Url(), "https://h/open/requestToken");
    EXPECT_EQ(QueryValue(url.Query(), "oauth_token"), "<absent>");
    const std::string base = "GET&https%3A%2F%2Fh%2Fopen%2FrequestToken&oauth_consumer_key%3Dck%"
                             "26oauth_nonce%3Dabcdefghij%26oauth_signature_method%3DHMAC-SHA1%"
                             "26oauth_timestamp%3D100%26oauth_version%3D1.0";
    EXPECT_EQ(QueryValue(url.Query(), "oauth_signature"),
              TOauthUtility::UrlFormEncode(Signature(base, "cs&")));
    EXPECT_EQ(TOauthUtility::GetSigningKey("cs", ""), "cs&");
}

TEST(OauthUtility, PublishedExampleSignature) {
    // The well-known photos.example.net request of the OAuth 1.0 documentation.
    const TConsumer c("dpf43f3p2l4k3l03", "kd94hf93k423kf44");
    const TAccessToken t("nnch734d00sl2jdk", "pfkkdhi9sl3r4s00");
    auto url = TOauthUtility::BuildURL("GET", "photos.example.net", "/photos",
                                       {"file=vacation.jpg", "size=original"}, c, &t, false,
                                       "kllo9940pd9333jh", "1191242096");
    EXPECT_EQ(QueryValue(url.Query(), "oauth_signature"), "tR3%2BTy81lMeYAr%2FFid0kMTYa%2FWM%3D");
}

TEST(OauthUtility, GetAndPostAddresses) {
    ScopedClock clock(std::make_shared<FixedClock>(EncodeDateTime(2013, 1, 1, 0, 0, 0)));
    auto get = TOauthUtility::BuildGetURL("h:8", "/p", {"a=1"}, consumer, &token, false);
    EXPECT_TRUE(get.Query().empty());
    EXPECT_TRUE(StartsWith(get.Url(), "http://h:8/p?a=1&oauth_consumer_key=ck&"));
    EXPECT_EQ(QueryValue(QueryOf(get.Url()), "oauth_timestamp"), std::to_string(UnixNow()));

    auto post = TOauthUtility::BuildPostURL("h:8", "/p", {"a=1"}, consumer, &token, true);
    EXPECT_EQ(post.Url(), "https://h:8/p");
    EXPECT_TRUE(StartsWith(post.Query(), "a=1&oauth_consumer_key=ck&"));
    EXPECT_EQ(post.QueryByGetUrl(), post.Url() + "?" + post.Query());
    // The POST is signed for its own method.
    const std::string nonce = QueryValue(post.Query(), "oauth_nonce");
    auto again = TOauthUtility::BuildURL("POST", "h:8", "/p", {"a=1"}, consumer, &token, true,
                                         nonce, std::to_string(UnixNow()));
    EXPECT_EQ(again.Query(), post.Query());
}

TEST(OauthUtility, NoncesAreFreshTenCharactersFromTheAlphabet) {
    // Every address of one second still carries its own nonce.
    ScopedClock clock(std::make_shared<FixedClock>(EncodeDateTime(2013, 1, 1, 8, 0, 0)));
    const std::string alphabet = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::set<std::string> seen;
    std::set<char> used;
    for (int i = 0; i < 500; ++i) {
        auto url = TOauthUtility::BuildGetURL("h", "/p", {}, consumer, &token, false);
        const std::string nonce = QueryValue(QueryOf(url.Url()), "oauth_nonce");
        ASSERT_EQ(nonce.size(), 10u);
        for (char ch : nonce) {
            ASSERT_NE(alphabet.find(ch), std::string::npos) << nonce;
            used.insert(ch);
        }
        seen.insert(nonce);
    }
    EXPECT_EQ(seen.size(), 500u);
    EXPECT_EQ(used.size(), alphabet.size()); // 5000 draws reach every character
}

TEST(OauthUtility, ParametersSortByNameWithOauthOnesAmongThem) {
    auto url = TOauthUtility::BuildURL("GET", "h", "/p", {"to_path=b", "root=r", "from_path=a"},
                                       consumer, &token, false, "abcdefghij", "1");
    std::vector<std::string> names;
    for (const auto& part : Split(url.Query(), '&'))
        names.emplace_back(ParamName(part));
    EXPECT_EQ(names, (std::vector<std::string>{"from_path", "oauth_consumer_key", "oauth_nonce",
                                               "oauth_signature", "oauth_signature_method",
                                               "oauth_timestamp", "oauth_token", "oauth_version",
                                               "root", "to_path"}));
    // Names sort by character code: capitals before lower case.
    EXPECT_EQ(TOauthUtility::NormalizeParameters({"b=1", "B=2", "a=3"}), "B=2&a=3&b=1");
}

TEST(OauthUtility, ServerSideRecomputationMatches) {
    auto url = TOauthUtility::BuildURL("GET", "127.0.0.1:9", "/1/metadata/app_folder/My Tasks",
                                       {"list=True", "path=a b*~"}, consumer, &token, false,
                                       "abcdefghij", "77");
    // What a server sees: the path as sent and the decoded parameters.
    TParamList received{"list=True",
                        "path=a b*~",
                        "oauth_consumer_key=ck",
                        "oauth_nonce=abcdefghij",
                        "oauth_signature_method=HMAC-SHA1",
                        "oauth_timestamp=77",
                        "oauth_token=tk",
                        "oauth_version=1.0"};
    const std::string sig = TOauthUtility::ComputeSignature(
        "GET", "http", "127.0.0.1:9", "/1/metadata/app_folder/My+Tasks", received, "cs", "ts");
    EXPECT_EQ(TOauthUtility::UrlFormEncode(sig), QueryValue(url.Query(), "oauth_signature"));
    EXPECT_NE(sig, TOauthUtility::ComputeSignature("GET", "http", "127.0.0.1:9",
                                                   "/1/metadata/app_folder/My+Tasks", received,
                                                   "cs", "other"));
}

TEST(KuaipanURL, ConvertAndToString) {
    TKuaipanURL plain("http://h/p");
    plain.Convert2Get();
    EXPECT_EQ(plain.Url(), "http://h/p");
    TKuaipanURL withQuery("http://h/p", "a=1");
    EXPECT_EQ(withQuery.QueryByGetUrl(), "http://h/p?a=1");
    EXPECT_EQ(withQuery.ToString(), "\nurl=http://h/p\nquery=a=1\nheaders=");
    withQuery.Convert2Get();
    EXPECT_EQ(withQuery.Url(), "http://h/p?a=1");
    EXPECT_EQ(withQuery.Query(), "");
    TKuaipanURL withHeaders("u", "q", {"X: 1", "Y: 2"});
    EXPECT_EQ(withHeaders.ToString(), "\nurl=u\nquery=q\nheaders=X: 1\nY: 2\n");
}

TEST(Session, TokenKindsAndAuthorization) {
    TOauthSession s("k", "s", TKuaipanHosts::Defaults());
    EXPECT_EQ(s.Root(), "app_folder");
    EXPECT_EQ(TSession("k", "s", TRoot::KUAIPAN, TKuaipanHosts::Defaults()).Root(), "kuaipan");
    EXPECT_EQ(s.Consumer().ToString(), "key=k;secret=s");
    EXPECT_EQ(s.Token(), nullptr);
    EXPECT_FALSE(s.IsAuth());
    EXPECT_THROW(s.AssertAuth(), TKuaipanAuthExpiredException);

    s.SetTempToken("rk", "rs");
    ASSERT_NE(s.Token(), nullptr);
    EXPECT_FALSE(s.IsAuth()); // a request token does not authorize
    EXPECT_THROW(s.AssertAuth(), TKuaipanAuthExpiredException);

    s.SetAuthToken("ak", "as");
    EXPECT_TRUE(s.IsAuth());
    EXPECT_NO_THROW(s.AssertAuth());
    auto snapshot = s.Token();
    s.UnAuth();
    EXPECT_FALSE(s.IsAuth());
    EXPECT_EQ(snapshot->ToString(), "key=ak;secret=as"); // a snapshot outlives the change

    try {
        s.AssertAuth();
        ADD_FAILURE() << "no exception";
    } catch (const TKuaipanException& e) {
        EXPECT_STREQ(e.what(), "");
        EXPECT_EQ(e.SerialVersionUID, 1);
    }
}

TEST(Session, SigningWhileTheTokenIsReplacedSeesWholePairs) {
    // The login flow replaces the token while the sync thread signs: every
    // snapshot is one of the pairs ever set, never a mix.
    TOauthSession s("k", "s", TKuaipanHosts::Defaults());
    s.SetAuthToken("a0", "a0-secret");
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) {
            if (i % 2)
                s.SetTempToken("r" + std::to_string(i), "r" + std::to_string(i) + "-secret");
            else
                s.SetAuthToken("a" + std::to_string(i), "a" + std::to_string(i) + "-secret");
        }
        stop = true;
    });
    while (!stop) {
        auto t = s.Token();
        ASSERT_NE(t, nullptr);
        ASSERT_EQ(t->Secret(), t->Key() + "-secret");
    }
    writer.join();
}
