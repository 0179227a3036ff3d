#include "ScriptedServer.h"

#include "cloud/KuaipanAuthorise.h"
#include "cloud/KuaipanUtility.h"
#include "common/AppPaths.h"
#include "common/FileUtil.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace ot;
using namespace ot::test;

namespace {

std::string Fixture(const std::string& name) {
    std::string text;
    EXPECT_TRUE(ReadWholeFile(std::string(OT_FIXTURES_DIR) + "/cloud/" + name, text)) << name;
    return text;
}

} // namespace

TEST(AuthorisePage, HiddenFieldsByTheirMarkers) {
    struct Case {
        std::string page;
        TParamList fields;
    } cases[] = {
        {"authorise_page.html", {"s=a&b c", "app_name=Dorvel", "oauth_token=rk"}},
        {"authorise_page_token_only.html", {"oauth_token=rk"}},
        {"authorise_page_no_fields.html", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TKuaipanAuthorise::ParseAuthoriseForm(Fixture(c.page)), c.fields) << c.page;
}

TEST(AuthorisePage, SessionCookieValue) {
    struct Case {
        const char* header;
        const char* value;
    } cases[] = {{"SID=abc; path=/", "abc"}, {"SID=a=b; path=/", "a=b"}, {"SID=abc", ""},
                 {"abc; x=1", ""},           {"token;", "token"},        {"", ""}};
    for (const auto& c : cases)
        EXPECT_EQ(TKuaipanAuthorise::ExtractCookieValue(c.header), c.value) << c.header;
}

TEST(AuthorisePage, ResultPages) {
    struct Case {
        std::string page;
        bool ok;
        std::string text;
    } cases[] = {
        {"result_code.html", true, "83920571"}, {"result_error.html", false, "用户名或密码错误"},
        {"result_both.html", true, "4711"},     {"result_neither.html", false, ""},
        {"authorise_page.html", false, ""},
    };
    for (const auto& c : cases) {
        std::string text = "stale";
        EXPECT_EQ(TKuaipanAuthorise::ParseAuthoriseResult(Fixture(c.page), text), c.ok) << c.page;
        EXPECT_EQ(text, c.text) << c.page;
    }
}

class LoginTest : public ::testing::Test {
protected:
    void SetUp() override {
        FSite = std::make_unique<ScriptedServer>(LocalhostCert(), LocalhostKey());
        FSite->Http().Get("/api.php", [this](const httplib::Request& req, httplib::Response& res) {
            ++FPageLoads;
            EXPECT_EQ(req.get_param_value("op"), "authorise");
            res.set_header("Set-Cookie", "SID=abc; path=/");
            res.set_header("Set-Cookie", "other=1; path=/");
            res.set_content(FPage, "text/html; charset=utf-8");
        });
        FSite->Http().Post("/api.php", [this](const httplib::Request& req, httplib::Response& res) {
            ++FSubmissions;
            EXPECT_EQ(req.get_param_value("op"), "authorisecheck");
            FFields.clear();
            for (const auto& [name, part] : req.files)
                FFields.push_back(name + "=" + part.content);
            FCookies.clear();
            auto range = req.headers.equal_range("Cookie");
            for (auto it = range.first; it != range.second; ++it)
                FCookies.push_back(it->second);
            FReferer = req.get_header_value("Referer");
            FAgent = req.get_header_value("User-Agent");
            res.status = FResultStatus;
            res.set_content(FResult, "text/html; charset=utf-8");
        });
        const std::string site = "localhost:" + std::to_string(FSite->Start());
        TKuaipanHosts h = TKuaipanHosts::Defaults();
        h.Site = {"unused", site};
        h.CAFile = LocalhostCert();
        FHosts = h;
        FAuthUrl = "https://" + site + "/api.php?ac=open&op=authorise&oauth_token=rk";
    }

    std::unique_ptr<ScriptedServer> FSite;
    TKuaipanHosts FHosts;
    std::string FAuthUrl;
    std::string FPage = Fixture("authorise_page.html");
    std::string FResult = Fixture("result_code.html");
    int FResultStatus = 200;
    int FPageLoads = 0, FSubmissions = 0;
    std::vector<std::string> FFields, FCookies;
    std::string FReferer, FAgent;
};

TEST_F(LoginTest, SubmitsTheFormAndReadsTheCode) {
    TKuaipanAuthorise authorise(FHosts, FAuthUrl);
    std::string result;
    EXPECT_TRUE(authorise.LoginAndAuthorise("amy", "p w&d", result));
    EXPECT_EQ(result, "83920571");
    EXPECT_EQ(authorise.SessionId(), "abc");
    // Values travel form-encoded inside their multipart fields.
    std::sort(FFields.begin(), FFields.end());
    EXPECT_EQ(FFields, (std::vector<std::string>{"app_name=Dorvel", "oauth_token=rk", "s=a%26b+c",
                                                 "username=amy", "userpwd=p+w%26d"}));
    // The session id as a header of its own, and the stored cookies.
    std::string cookies;
    for (const auto& c : FCookies)
        cookies += "[" + c + "]";
    EXPECT_NE(cookies.find("[abc]"), std::string::npos) << cookies;
    EXPECT_NE(cookies.find("SID=abc"), std::string::npos) << cookies;
    EXPECT_EQ(FReferer, "https://" + FAuthUrl.substr(8, FAuthUrl.find('/', 8) - 8) +
                            "/api.php?ac=open&op=authorise&oauth_token=rk");
    EXPECT_EQ(FAgent, "Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 6.1; Trident/4.0; SLCC2; "
                      ".NET CLR 2.0.50727; .NET CLR 3.5.30729; .NET CLR 3.0.30729; Media Center "
                      "PC 6.0)");
}

TEST_F(LoginTest, APageWithOnlyTheTokenFieldStillLoads) {
    FPage = Fixture("authorise_page_token_only.html");
    TKuaipanAuthorise authorise(FHosts, FAuthUrl);
    std::string result;
    EXPECT_TRUE(authorise.LoginAndAuthorise("amy", "pw", result));
    EXPECT_EQ(FFields.size(), 3u);
    EXPECT_EQ(authorise.AuthoriseFormParams(), TParamList{"oauth_token=rk"});
}

TEST_F(LoginTest, FailuresAndTheirTexts) {
    const std::string paramsError = "Get params error from Kuaipan! Please try again later.";
    std::string result;

    FPage = Fixture("authorise_page_no_fields.html");
    EXPECT_FALSE(TKuaipanAuthorise(FHosts, FAuthUrl).LoginAndAuthorise("amy", "pw", result));
    EXPECT_EQ(result, paramsError);
    EXPECT_EQ(FSubmissions, 0);

    EXPECT_FALSE(TKuaipanAuthorise(FHosts, "https://localhost:1/api.php?ac=open&op=authorise")
                     .LoginAndAuthorise("amy", "pw", result));
    EXPECT_EQ(result, paramsError);

    FPage = Fixture("authorise_page.html");
    FResult = Fixture("result_error.html");
    EXPECT_FALSE(TKuaipanAuthorise(FHosts, FAuthUrl).LoginAndAuthorise("amy", "wrong", result));
    EXPECT_EQ(result, "用户名或密码错误");

    FResult = Fixture("result_neither.html");
    EXPECT_FALSE(TKuaipanAuthorise(FHosts, FAuthUrl).LoginAndAuthorise("amy", "pw", result));
    EXPECT_EQ(result, "");

    FResultStatus = 500;
    FResult = Fixture("result_code.html"); // a code on an error page is not taken
    EXPECT_FALSE(TKuaipanAuthorise(FHosts, FAuthUrl).LoginAndAuthorise("amy", "pw", result));
    EXPECT_NE(result.find("500"), std::string::npos) << result;
}

TEST(AuthFile, SaveAndLoad) {
    TempDir dir;
    const TAppPaths paths = TAppPaths::FromProgramDir(dir.Path().string());
    std::filesystem::create_directories(paths.UserDataPath);
    EXPECT_EQ(TKuaipanUtility::LoadAuthFile(paths.AuthFileName), nullptr); // no file yet

    ASSERT_TRUE(TKuaipanUtility::SaveAuthFile(TAccessToken("old-key-longer", "old-secret"),
                                              paths.AuthFileName));
    ASSERT_TRUE(TKuaipanUtility::SaveAuthFile(TAccessToken("ak", "as"), paths.AuthFileName));
    std::string text;
    ASSERT_TRUE(ReadWholeFile(paths.AuthFileName, text));
    EXPECT_EQ(text, "ak\r\nas\r\n");
    struct stat st {};
    ASSERT_EQ(stat(paths.AuthFileName.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    auto token = TKuaipanUtility::LoadAuthFile(paths.AuthFileName);
    ASSERT_NE(token, nullptr);
    EXPECT_EQ(token->ToString(), "key=ak;secret=as");

    EXPECT_FALSE(TKuaipanUtility::SaveAuthFile(TAccessToken("k", "s"),
                                               (dir / "missing-dir") + "/MyAuth.adb"));
}

TEST(AuthFile, IncompleteFilesLoadAsNoToken) {
    TempDir dir;
    const std::string file = dir / "MyAuth.adb";
    struct Case {
        std::string text;
        bool loads;
    } cases[] = {
        {"ak\r\nas\r\n", true},      {"ak\nas", true},  {"ak\ras\r", true},
        {"ak\r\nas\r\nextra", true}, {"ak\r\n", false}, {"ak\r\n\r\n", false},
        {"\r\nas\r\n", false},       {"", false},       {"ak", false},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(WriteFileAtomic(file, c.text));
        auto token = TKuaipanUtility::LoadAuthFile(file);
        EXPECT_EQ(token != nullptr, c.loads) << c.text;
        if (token) {
            EXPECT_EQ(token->Key(), "ak");
            EXPECT_EQ(token->Secret(), "as");
        }
    }
}
