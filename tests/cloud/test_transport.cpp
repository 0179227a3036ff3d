#include "ScriptedServer.h"

#include "cloud/HttpClient.h"
#include "cloud/KuaipanException.h"
#include "cloud/KuaipanHTTPUtility.h"
#include "cloud/KuaipanHosts.h"
#include "common/Clock.h"
#include "common/FileUtil.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <fstream>
#include <netinet/in.h>
#include <set>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

using namespace ot;
using namespace ot::test;
namespace fs = std::filesystem;

namespace {

// A listening loopback socket that never accepts: connections complete in
// the kernel and then see no reply, a server that stalls. Closing it frees
// the port, giving an address nobody listens on.
class SilentSocket {
public:
    SilentSocket() {
        FFd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(FFd, 4);
        socklen_t len = sizeof a;
        ::getsockname(FFd, reinterpret_cast<sockaddr*>(&a), &len);
        FPort = ntohs(a.sin_port);
    }
    ~SilentSocket() { Close(); }
    void Close() {
        if (FFd >= 0)
            ::close(FFd);
        FFd = -1;
    }
    int Port() const { return FPort; }

private:
    int FFd = -1;
    int FPort = 0;
};

// The hosts of requests whose TLS is not under test.
const TKuaipanHosts Hosts = TKuaipanHosts::Defaults();

TKuaipanURL At(const ScriptedServer& s, const std::string& path) {
    return TKuaipanURL("http://" + s.Address() + path);
}

struct ShortTimeouts {
    ShortTimeouts() {
        TTransportTimeouts t;
        t.ConnectMs = 2000;
        t.LowSpeedSeconds = 1;
        TKuaipanHTTPUtility::SetTimeouts(t);
    }
    ~ShortTimeouts() { TKuaipanHTTPUtility::SetTimeouts(TTransportTimeouts{}); }
};

} // namespace

TEST(Transport, RepliesOfEveryStatusKeepTheirBody) {
    ScriptedServer s;
    s.Http().Get("/401", [](const httplib::Request&, httplib::Response& res) {
        res.status = 401;
        res.set_content(R"({"msg":"authorization expired"})", "application/json");
    });
    s.Http().Get("/ok", [](const httplib::Request& req, httplib::Response& res) {
        res.set_content("{\"q\":\"" + req.get_param_value("q") + "\",\"t\":\"任务\"}",
                        "application/json");
    });
    s.Start();
    auto r401 = TKuaipanHTTPUtility::RequestByGET(Hosts, At(s, "/401"));
    EXPECT_EQ(r401.Code, 401);
    EXPECT_EQ(r401.Content, R"({"msg":"authorization expired"})");
    EXPECT_FALSE(r401.Url.has_value());
    EXPECT_EQ(r401.ToString(), "code=401\nbody={\"msg\":\"authorization expired\"}\n");

    auto ok = TKuaipanHTTPUtility::RequestByGET(Hosts, At(s, "/ok?q=a+b"));
    EXPECT_EQ(ok.Code, 200);
    EXPECT_EQ(ok.Content, "{\"q\":\"a b\",\"t\":\"任务\"}");
}

TEST(Transport, UnreachableOrStalledServerGivesMinusOne) {
    ShortTimeouts timeouts;
    SilentSocket stalled;
    const auto started = std::chrono::steady_clock::now();
    auto r = TKuaipanHTTPUtility::RequestByGET(
        Hosts, TKuaipanURL("http://127.0.0.1:" + std::to_string(stalled.Port()) + "/x"));
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(r.Code, -1);
    EXPECT_EQ(r.Content, "");
    // Abandoned after the one-second low-speed limit, not after minutes.
    EXPECT_LT(waited, std::chrono::seconds(10));

    std::ostringstream out;
    auto d = TKuaipanHTTPUtility::DoDownload(
        Hosts, TKuaipanURL("http://127.0.0.1:" + std::to_string(stalled.Port()) + "/x"), out);
    EXPECT_EQ(d.Code, -1);
    EXPECT_EQ(out.str(), "");

    stalled.Close(); // now nobody listens there
    TKuaipanHTTPResponse refused;
    EXPECT_NO_THROW(
        refused = TKuaipanHTTPUtility::RequestByGET(
            Hosts, TKuaipanURL("http://127.0.0.1:" + std::to_string(stalled.Port()) + "/x")));
    EXPECT_EQ(refused.Code, -1);
    EXPECT_EQ(refused.ToString(), "code=-1\n");
}

TEST(Transport, BodyCutShortIsNoReply) {
    // A 200 whose body breaks off must not pass for a complete download.
    ScriptedServer s;
    s.Http().Get("/short", [](const httplib::Request&, httplib::Response& res) {
        res.set_content_provider(1000, "application/octet-stream",
                                 [](size_t, size_t, httplib::DataSink& sink) {
                                     sink.write("partial", 7);
                                     return false; // abort the connection
                                 });
    });
    s.Start();
    std::ostringstream out("kept");
    auto r = TKuaipanHTTPUtility::DoDownload(Hosts, At(s, "/short"), out);
    EXPECT_EQ(r.Code, -1);
    EXPECT_EQ(out.str(), "kept");
}

TEST(Transport, DownloadWritesOnlyA200BodyAndFollowsRedirects) {
    ScriptedServer s;
    s.Http().Get("/missing", [](const httplib::Request&, httplib::Response& res) {
        res.status = 404;
        res.set_content(R"({"msg":"file not exist"})", "application/json");
    });
    s.Http().Get("/moved", [](const httplib::Request&, httplib::Response& res) {
        res.set_redirect("/file");
    });
    s.Http().Get("/file", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(std::string("bytes\0of a file", 15), "application/octet-stream");
    });
    s.Start();

    std::stringstream stream;
    stream << "existing";
    auto missing = TKuaipanHTTPUtility::DoDownload(Hosts, At(s, "/missing"), stream);
    EXPECT_EQ(missing.Code, 404);
    EXPECT_EQ(missing.Content, R"({"msg":"file not exist"})");
    EXPECT_EQ(stream.str(), "existing");
    ASSERT_TRUE(missing.Url.has_value());
    EXPECT_EQ(missing.Url->Url(), At(s, "/missing").Url());

    auto moved = TKuaipanHTTPUtility::DoDownload(Hosts, At(s, "/moved"), stream);
    EXPECT_EQ(moved.Code, 200);
    EXPECT_EQ(moved.Content, "");
    EXPECT_EQ(stream.str(), std::string("existingbytes\0of a file", 23));
}

TEST(Transport, ProgressListenerSeesOneTransferFromStartToEnd) {
    const std::string body(200000, 'x');
    ScriptedServer s;
    s.Http().Get("/big", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(body, "application/octet-stream");
    });
    s.Start();
    int started = 0, completed = 0;
    std::int64_t expected = -1, last = -1;
    TWorkMode mode = TWorkMode::wmWrite;
    TProgressListener listener;
    listener.Started = [&](const void*, TWorkMode m, std::int64_t max) {
        ++started;
        expected = max;
        mode = m;
    };
    listener.Processing = [&](const void*, TWorkMode, std::int64_t n) { last = n; };
    listener.Completed = [&](const void*, TWorkMode) { ++completed; };
    std::ostringstream out;
    TKuaipanHTTPUtility::DoDownload(Hosts, At(s, "/big"), out, &listener);
    EXPECT_EQ(started, 1);
    EXPECT_EQ(completed, 1);
    EXPECT_EQ(mode, TWorkMode::wmRead);
    EXPECT_EQ(expected, static_cast<std::int64_t>(body.size()));
    EXPECT_EQ(last, static_cast<std::int64_t>(body.size()));
    EXPECT_EQ(out.str().size(), body.size());
}

TEST(Transport, UploadSendsTheFileItselfAndNoCopy) {
    TempDir dir;
    const std::string local = dir / "N1_2_3.tsk";
    ASSERT_TRUE(WriteFileAtomic(local, "<remarks>任务</remarks>"));

    ScriptedServer s;
    int requests = 0;
    std::string partName, partFile, partType, partBody, query, contentType;
    s.Http().Post("/1/fileops/upload_file",
                  [&](const httplib::Request& req, httplib::Response& res) {
                      ++requests;
                      contentType = req.get_header_value("Content-Type");
                      query = req.get_param_value("path");
                      ASSERT_EQ(req.files.size(), 1u);
                      const auto& f = req.files.begin()->second;
                      partName = f.name;
                      partFile = f.filename;
                      partType = f.content_type;
                      partBody = f.content;
                      // Nothing of the task lies in the shared temporary directory.
                      for (const auto& e : fs::directory_iterator(fs::temp_directory_path()))
                          EXPECT_FALSE(e.path().filename().string().starts_with("tmp")) << e.path();
                      res.set_content(R"({"file_id":"1"})", "application/json");
                  });
    s.Start();

    auto r = TKuaipanHTTPUtility::DoUpload(
        Hosts,
        TKuaipanURL("http://" + s.Address() + "/1/fileops/upload_file", "path=%2FWork%2Fa+b"),
        local);
    EXPECT_EQ(r.Code, 200);
    EXPECT_EQ(r.Content, R"({"file_id":"1"})");
    ASSERT_TRUE(r.Url.has_value());
    EXPECT_EQ(r.Url->Query(), "path=%2FWork%2Fa+b");
    EXPECT_EQ(requests, 1);
    EXPECT_EQ(query, "/Work/a b");
    EXPECT_TRUE(contentType.starts_with("multipart/form-data; boundary="));
    EXPECT_EQ(partName, "file");
    EXPECT_EQ(partType, "application/octet-stream");
    EXPECT_EQ(partFile, "N1_2_3.tsk");
    EXPECT_EQ(partBody, "<remarks>任务</remarks>");
    EXPECT_TRUE(fs::exists(local));

    // A missing file raises before anything is sent.
    EXPECT_THROW(TKuaipanHTTPUtility::DoUpload(
                     Hosts, TKuaipanURL("http://" + s.Address() + "/1/fileops/upload_file"),
                     dir / "absent.tsk"),
                 fs::filesystem_error);
    EXPECT_EQ(requests, 1);
}

class UploadLocate : public ::testing::Test {
protected:
    void SetUp() override {
        FServer.Http().Get("/1/fileops/upload_locate",
                           [this](const httplib::Request&, httplib::Response& res) {
                               ++FLocates;
                               res.status = FStatus;
                               res.set_content(FReply, "application/json");
                           });
        FServer.Start();
        FHosts = HostsAt(FServer.Address());
    }
    std::string GetUploadHost() { return FFactory.GetUploadHost(FHosts); }

    ScriptedServer FServer;
    TKuaipanHosts FHosts;
    TKuaipanHTTPUtility::UploadHostFactory FFactory;
    std::atomic<int> FLocates{0};
    int FStatus = 200;
    std::string FReply;
};

TEST_F(UploadLocate, ReplyFormsGiveTheBareHost) {
    struct Case {
        const char* url;
        const char* host;
    } cases[] = {{"http://up.example/", "up.example"},
                 {"https://up.example:8443", "up.example:8443"},
                 {"up.example:81", "up.example:81"},
                 {"http://127.0.0.1:9/", "127.0.0.1:9"}};
    for (const auto& c : cases) {
        FFactory.Reset();
        FReply = std::string(R"({"stat":"OK","url":")") + c.url + "\"}";
        EXPECT_EQ(GetUploadHost(), c.host) << c.url;
    }
}

TEST_F(UploadLocate, CachedForTenHoursAfterTheLastLocate) {
    auto clock = std::make_shared<FixedClock>(EncodeDateTime(2016, 3, 5, 12, 0, 0));
    ScopedClock scoped(clock);
    FReply = R"({"url":"http://first.example/"})";
    EXPECT_EQ(GetUploadHost(), "first.example");
    FReply = R"({"url":"http://second.example/"})";
    clock->AdvanceSeconds(10 * 3600);
    EXPECT_EQ(GetUploadHost(), "first.example");
    EXPECT_EQ(FLocates, 1);
    clock->AdvanceSeconds(1);
    EXPECT_EQ(GetUploadHost(), "second.example");
    EXPECT_EQ(FLocates, 2);
}

// A host located through one content host is no answer for another.
TEST_F(UploadLocate, OtherHostsAreLocatedAnew) {
    ScriptedServer other;
    other.Http().Get("/1/fileops/upload_locate",
                     [](const httplib::Request&, httplib::Response& res) {
                         res.set_content(R"({"url":"http://other.example/"})", "application/json");
                     });
    other.Start();
    FReply = R"({"url":"http://first.example/"})";
    EXPECT_EQ(GetUploadHost(), "first.example");
    EXPECT_EQ(FFactory.GetUploadHost(HostsAt(other.Address())), "other.example");
    EXPECT_EQ(GetUploadHost(), "first.example");
    EXPECT_EQ(FLocates, 2);
}

TEST_F(UploadLocate, FailedLocateRaises) {
    auto clock = std::make_shared<FixedClock>(EncodeDateTime(2016, 3, 5, 12, 0, 0));
    ScopedClock scoped(clock);
    FReply = R"({"url":"http://kept.example/"})";
    EXPECT_EQ(GetUploadHost(), "kept.example");
    clock->AdvanceSeconds(11 * 3600);

    struct Case {
        int status;
        std::string reply, message;
    } cases[] = {
        {500, "", "code=500\n"},
        {200, R"({"stat":"OK"})", "code=200\nbody={\"stat\":\"OK\"}\n"},
        {200, R"({"url":""})", "code=200\nbody={\"url\":\"\"}\n"},
    };
    for (const auto& c : cases) {
        FStatus = c.status;
        FReply = c.reply;
        try {
            GetUploadHost();
            ADD_FAILURE() << "no exception for " << c.reply;
        } catch (const TKuaipanIOException& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    }
    FStatus = 200;
    FReply = "<html>not json</html>";
    EXPECT_THROW(GetUploadHost(), TKuaipanIOException);

    // A good reply afterwards is taken.
    FReply = R"({"url":"http://new.example/"})";
    EXPECT_EQ(GetUploadHost(), "new.example");
}

TEST(Transport, TlsPeerAndHostAreVerified) {
    ScriptedServer s(LocalhostCert(), LocalhostKey());
    s.Http().Get("/x", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("secure", "text/plain");
    });
    const std::string port = std::to_string(s.Start());

    {
        const TKuaipanHosts hosts = HostsAt("unused", "unused", LocalhostCert());
        auto trusted = TKuaipanHTTPUtility::RequestByGET(
            hosts, TKuaipanURL("https://localhost:" + port + "/x"));
        EXPECT_EQ(trusted.Code, 200);
        EXPECT_EQ(trusted.Content, "secure");
        // The same server under a name its certificate does not carry.
        auto wrongName = TKuaipanHTTPUtility::RequestByGET(
            hosts, TKuaipanURL("https://127.0.0.1:" + port + "/x"));
        EXPECT_EQ(wrongName.Code, -1);
    }
    // Without the CA file the system's store does not know the certificate.
    auto untrusted = TKuaipanHTTPUtility::RequestByGET(
        HostsAt("unused", "unused"), TKuaipanURL("https://localhost:" + port + "/x"));
    EXPECT_EQ(untrusted.Code, -1);
    EXPECT_EQ(untrusted.Content, "");
}

TEST(Transport, OnlyHttpAndHttps) {
    TempDir dir;
    ASSERT_TRUE(WriteFileAtomic(dir / "secret", "local file"));
    auto r = TKuaipanHTTPUtility::RequestByGET(Hosts, TKuaipanURL("file://" + (dir / "secret")));
    EXPECT_EQ(r.Code, -1);
    EXPECT_EQ(r.Content, "");

    // Nor through a redirect.
    ScriptedServer s;
    const std::string target = "file://" + (dir / "secret");
    s.Http().Get(
        "/r", [&](const httplib::Request&, httplib::Response& res) { res.set_redirect(target); });
    s.Start();
    std::ostringstream out;
    auto d = TKuaipanHTTPUtility::DoDownload(Hosts, At(s, "/r"), out);
    EXPECT_EQ(d.Code, -1);
    EXPECT_EQ(out.str(), "");
}

TEST(Transport, DownloadsAreCappedInSize) {
    ScriptedServer s;
    s.Http().Get("/big", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(std::string(5000, 'x'), "application/octet-stream");
    });
    s.Start();
    const TTransportTimeouts saved = TKuaipanHTTPUtility::Timeouts();
    TTransportTimeouts capped = saved;
    for (const long long cap : {5000LL, 4999LL}) {
        SCOPED_TRACE(cap);
        capped.MaxDownloadBytes = cap;
        TKuaipanHTTPUtility::SetTimeouts(capped);
        std::ostringstream out;
        auto d = TKuaipanHTTPUtility::DoDownload(Hosts, At(s, "/big"), out);
        EXPECT_EQ(d.Code, cap >= 5000 ? 200 : -1);
        EXPECT_EQ(out.str().size(), cap >= 5000 ? 5000u : 0u);
    }
    TKuaipanHTTPUtility::SetTimeouts(saved);
}

TEST(Transport, ARedirectNeverLeavesTls) {
    ScriptedServer plain;
    plain.Http().Get("/file", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("in the clear", "text/plain");
    });
    plain.Http().Get(
        "/hop", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/file"); });
    plain.Start();
    ScriptedServer secure(LocalhostCert(), LocalhostKey());
    secure.Http().Get("/down", [&](const httplib::Request&, httplib::Response& res) {
        res.set_redirect("http://" + plain.Address() + "/file");
    });
    secure.Http().Get(
        "/up", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/file"); });
    secure.Http().Get("/file", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("secure", "text/plain");
    });
    const std::string port = std::to_string(secure.Start());
    const TKuaipanHosts hosts = HostsAt("unused", "unused", LocalhostCert());

    std::ostringstream out;
    auto down = TKuaipanHTTPUtility::DoDownload(
        hosts, TKuaipanURL("https://localhost:" + port + "/down"), out);
    EXPECT_EQ(down.Code, -1);
    EXPECT_EQ(out.str(), "");
    auto same = TKuaipanHTTPUtility::DoDownload(
        hosts, TKuaipanURL("https://localhost:" + port + "/up"), out);
    EXPECT_EQ(same.Code, 200);
    EXPECT_EQ(out.str(), "secure");
    // From plain http a redirect may go either way.
    std::ostringstream plainOut;
    EXPECT_EQ(TKuaipanHTTPUtility::DoDownload(Hosts, At(plain, "/hop"), plainOut).Code, 200);
}

TEST(KuaipanHosts, FileOverridesTheDefaults) {
    TempDir dir;
    const std::string text = "# local server\n"
                             "all = 127.0.0.1:7000\n"
                             "all_tls = localhost:7443\n"
                             "content = 127.0.0.1:7001\n"
                             "  SITE_TLS =  site.example  \n"
                             "always_tls = yes\n"
                             "ca_file = ca.pem\n"
                             "bogus line\n"
                             "unknown = 1\n";
    ASSERT_TRUE(WriteFileAtomic(dir / "cloudhosts.conf", text));
    auto h = TKuaipanHosts::FromFile(dir / "cloudhosts.conf");
    EXPECT_EQ(h.Api.Plain, "127.0.0.1:7000");
    EXPECT_EQ(h.Api.Secure, "localhost:7443");
    EXPECT_EQ(h.Content.Plain, "127.0.0.1:7001");
    EXPECT_EQ(h.Content.Secure, "localhost:7443");
    EXPECT_EQ(h.Conversion.Plain, "127.0.0.1:7000");
    EXPECT_EQ(h.Site.Secure, "site.example");
    EXPECT_TRUE(h.AlwaysSecure);
    EXPECT_EQ(h.CAFile, dir / "ca.pem");
    EXPECT_EQ(h.HostOf(h.Api, false), "localhost:7443");
    EXPECT_EQ(h.Scheme(false), "https");

    auto d = TKuaipanHosts::FromFile(dir / "absent.conf");
    EXPECT_FALSE(d.AlwaysSecure);
    EXPECT_EQ(d.CAFile, "");
    EXPECT_EQ(d.HostOf(d.Api, false), TKuaipanHosts::Defaults().Api.Plain);
    EXPECT_EQ(d.Scheme(false), "http");
    EXPECT_EQ(d.Scheme(true), "https");
}

// How long a pass waits between rows is the hosts' to say: the usual
// service's 500 ms unless the file names our own server or a pause.
TEST(KuaipanHosts, PacingComesFromTheFile) {
    const struct {
        const char* text;
        int pauseMs;
    } cases[] = {
        {"all = 127.0.0.1:7000\n", 500},
        {"server = otcloudserver\n", 0},
        {"SERVER = OtCloudServer\n", 0},
        {"server = someone-else\n", 500},
        {"row_pause_ms = 120\n", 120},
        {"server = otcloudserver\nrow_pause_ms = 50\n", 50},
        {"row_pause_ms = 0\n", 0},
        {"row_pause_ms = -1\n", 500},
        {"row_pause_ms = 60001\n", 500},
        {"row_pause_ms = soon\n", 500},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TKuaipanHosts::FromText(c.text, "").RowPause.count(), c.pauseMs) << c.text;
}

// The requests of one thread share the thread's connection to a host; with
// reuse switched off each request makes its own.
TEST(Transport, ConnectionsAreKeptAcrossRequestsOfAThread) {
    ScriptedServer s;
    s.Http().Get("/port", [](const httplib::Request& req, httplib::Response& res) {
        res.set_content(std::to_string(req.remote_port), "text/plain");
    });
    s.Start();
    auto ports = [&] {
        std::set<std::string> seen;
        for (int i = 0; i < 3; ++i) {
            auto r = TKuaipanHTTPUtility::RequestByGET(Hosts, At(s, "/port"));
            EXPECT_EQ(r.Code, 200);
            seen.insert(r.Content);
        }
        return seen.size();
    };
    EXPECT_EQ(ports(), 1u);

    TTransportTimeouts t;
    t.ReuseConnections = false;
    TKuaipanHTTPUtility::SetTimeouts(t);
    const auto fresh = ports();
    TKuaipanHTTPUtility::SetTimeouts(TTransportTimeouts{});
    EXPECT_EQ(fresh, 3u);
}

// A handle goes back to the thread's idle handles after a login exchange;
// the cookies of that exchange must not travel with the next request.
TEST(Transport, CookiesDoNotOutliveTheirClient) {
    ScriptedServer s;
    s.Http().Get("/set", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("Set-Cookie", "session=secret; Path=/");
        res.set_content("ok", "text/plain");
    });
    s.Http().Get("/echo", [](const httplib::Request& req, httplib::Response& res) {
        res.set_content(req.get_header_value("Cookie"), "text/plain");
    });
    s.Start();
    const std::string base = "http://" + s.Address();
    {
        auto login = TKuaipanHTTPUtility::GetIdHTTP(Hosts);
        login->EnableCookies();
        ASSERT_TRUE(login->Get(base + "/set").Ok);
        EXPECT_EQ(login->Get(base + "/echo").Body, "session=secret");
    }
    auto next = TKuaipanHTTPUtility::GetIdHTTP(Hosts);
    next->EnableCookies();
    EXPECT_EQ(next->Get(base + "/echo").Body, "");
    EXPECT_EQ(TKuaipanHTTPUtility::RequestByGET(Hosts, At(s, "/echo")).Content, "");
}
