// The HTTP layer the servers share, in-process with a small handler: what reaches the
// handler and when, bodies and their limits, pipelined and HEAD requests, file replies,
// and the parsing of multipart forms.

#include "HttpServer.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <vector>

using namespace ot::server;
using Clock = std::chrono::steady_clock;

namespace {

// Echoes what it was given; refuses "/refuse" from its head and lets "/big" carry a
// body of up to 1 MB; "/file" answers a file of the digits 0-9 repeated.
class EchoHandler : public HttpHandler {
public:
    explicit EchoHandler(std::string filePath) : FFile(std::move(filePath)) {}
    bool Admit(HttpRequest& req, HttpResponse& res) override {
        ++Admitted;
        if (req.Path() == "/refuse") {
            res.Status = 401;
            res.SetContent("refused", "text/plain");
            return false;
        }
        if (req.Path() == "/big")
            req.MaxBody = 1 << 20;
        if (req.Path() == "/throw-early")
            throw 42;
        return true;
    }
    bool Quick(const HttpRequest& req) override { return req.Path() == "/throw-early"; }
    void Handle(HttpRequest& req, HttpResponse& res) override {
        ++Handled;
        if (req.Path() == "/throw")
            throw 42;
        if (req.Path() == "/throw-memory")
            throw std::bad_alloc();
        if (req.Path() == "/file") {
            int fd = ::open(FFile.c_str(), O_RDONLY | O_CLOEXEC);
            res.File = std::make_shared<HttpFileBody>(fd, 100);
            res.ContentType = "application/octet-stream";
            return;
        }
        res.SetContent(req.Method + " " + req.Target + " " + std::to_string(req.Body.size()) + " " +
                           std::string(req.Field("x-name")),
                       "text/plain");
    }
    std::atomic<int> Admitted{0};
    std::atomic<int> Handled{0};

private:
    std::string FFile;
};

// A loopback socket from a chosen source address (any of 127.0.0.0/8).
int ConnectFrom(const char* source, int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &from.sin_addr);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads from fd until it closes or goes quiet for quietMs, or (with headOnly) until a
// reply's head has come.
std::string ReadFrom(int fd, int quietMs, bool headOnly) {
    std::string in;
    char buf[4096];
    while (!headOnly || in.find("\r\n\r\n") == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, quietMs) <= 0)
            break;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        in.append(buf, static_cast<std::size_t>(n));
    }
    return in;
}

// Sends a request on fd and reads until a reply has come (or a second of silence).
std::string Ask(int fd, const std::string& request) {
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    return ReadFrom(fd, 1000, true);
}

bool ClosedByServer(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 2000) <= 0)
        return false;
    char c;
    return ::recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
}

HttpLimits TestLimits() {
    HttpLimits limits;
    limits.HeadTimeout = 5;
    return limits;
}

class HttpLayer : public ::testing::Test {
protected:
    explicit HttpLayer(HttpLimits limits = TestLimits()) {
        char tmpl[] = "/tmp/ot-http-test-XXXXXX";
        int fd = ::mkstemp(tmpl);
        FilePath = tmpl;
        for (int i = 0; i < 100; ++i)
            (void)!::write(fd, &"0123456789"[i % 10], 1);
        ::close(fd);
        Handler = std::make_unique<EchoHandler>(FilePath);
        Server = std::make_unique<HttpServer>(*Handler, limits);
        std::string error;
        Port = Server->Listen("127.0.0.1", 0, error);
        EXPECT_GT(Port, 0) << error;
        Runner = std::thread([this] { Server->Run(); });
    }
    ~HttpLayer() override {
        Server->Stop();
        Runner.join();
        std::remove(FilePath.c_str());
    }

    // Sends the bytes, then reads until the server closes or goes quiet.
    std::string Exchange(const std::string& bytes, bool halfClose = true) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(Port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
        if (halfClose)
            ::shutdown(fd, SHUT_WR);
        std::string in = ReadFrom(fd, 1500, false);
        ::close(fd);
        return in;
    }

    std::string FilePath;
    std::unique_ptr<EchoHandler> Handler;
    std::unique_ptr<HttpServer> Server;
    std::thread Runner;
    int Port = 0;
};

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST_F(HttpLayer, PipelinedRequestsAreAnsweredInOrder) {
    std::string reply = Exchange("GET /a HTTP/1.1\r\nHost: x\r\nX-Name: one\r\n\r\n"
                                 "POST /b HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc"
                                 "HEAD /c HTTP/1.1\r\nHost: x\r\n\r\n"
                                 "GET /d HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    auto a = reply.find("GET /a 0 one"), b = reply.find("POST /b 3 "), d = reply.find("GET /d 0");
    ASSERT_NE(a, std::string::npos) << reply;
    ASSERT_NE(b, std::string::npos) << reply;
    ASSERT_NE(d, std::string::npos) << reply;
    EXPECT_LT(a, b);
    EXPECT_LT(b, d);
    // The HEAD reply announces its length and sends no body.
    EXPECT_EQ(Count(reply, "HTTP/1.1 200 OK"), 4);
    EXPECT_EQ(reply.find("HEAD /c"), std::string::npos);
    EXPECT_EQ(Count(reply, "Connection: close"), 1);
}

TEST_F(HttpLayer, ARefusedHeadIsNeverFollowedByItsBody) {
    std::string body(100000, 'x');
    std::string reply =
        Exchange("POST /refuse HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n", false);
    EXPECT_EQ(reply.substr(0, 12), "HTTP/1.1 401");
    EXPECT_NE(reply.find("Connection: close"), std::string::npos);
    EXPECT_EQ(Handler->Handled, 0);
}

TEST_F(HttpLayer, BodiesAreHeldToTheLimitTheHandlerSets) {
    struct Case {
        std::string Request;
        std::string Status;
        int Handled;
    } cases[] = {
        // The default limit (64 kB), by announced length and by chunks.
        {"POST /a HTTP/1.1\r\nContent-Length: 70000\r\n\r\n", "HTTP/1.1 413", 0},
        {"POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n11170\r\n" +
             std::string(70000, 'c') + "\r\n0\r\n\r\n",
         "HTTP/1.1 413", 0},
        {"POST /big HTTP/1.1\r\nContent-Length: 70000\r\n\r\n" + std::string(70000, 'b'),
         "HTTP/1.1 200", 1},
        {"POST /big HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\nhello",
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200", 1},
        {"POST /big HTTP/1.1\r\nContent-Length: 1048577\r\n\r\n", "HTTP/1.1 413", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Request.substr(0, 60));
        const int before = Handler->Handled;
        std::string reply = Exchange(c.Request);
        EXPECT_EQ(reply.substr(0, c.Status.size()), c.Status);
        EXPECT_EQ(Handler->Handled - before, c.Handled);
    }
}

TEST_F(HttpLayer, FileRepliesHonourOneRange) {
    struct Case {
        std::string Range;
        std::string Status;
        std::string Body;
    } cases[] = {
        {"", "HTTP/1.1 200 OK", std::string()},
        {"bytes=10-14", "HTTP/1.1 206 Partial Content", "01234"},
        {"bytes=97-", "HTTP/1.1 206 Partial Content", "789"},
        {"bytes=-2", "HTTP/1.1 206 Partial Content", "89"},
        {"bytes=1-2,5-6", "HTTP/1.1 200 OK", std::string()},
        {"bytes=100-", "HTTP/1.1 416 Range Not Satisfiable", std::string()},
        {"items=1-2", "HTTP/1.1 200 OK", std::string()},
    };
    std::string whole;
    for (int i = 0; i < 100; ++i)
        whole += static_cast<char>('0' + i % 10);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Range);
        std::string reply =
            Exchange("GET /file HTTP/1.1\r\nHost: x\r\n" +
                     (c.Range.empty() ? "" : "Range: " + c.Range + "\r\n") + "\r\n");
        EXPECT_EQ(reply.substr(0, reply.find("\r\n")), c.Status);
        std::string body = reply.substr(reply.find("\r\n\r\n") + 4);
        if (c.Status == "HTTP/1.1 200 OK") {
            EXPECT_EQ(body, whole);
        } else if (!c.Body.empty()) {
            EXPECT_EQ(body, c.Body);
        }
    }
}

// Whatever a request throws, on a worker or on the thread holding the connections, ends
// that connection alone; the server goes on answering.
TEST_F(HttpLayer, AFailingRequestClosesItsConnectionOnly) {
    for (const char* path : {"/throw", "/throw-memory", "/throw-early"}) {
        SCOPED_TRACE(path);
        std::string reply = Exchange(std::string("GET ") + path + " HTTP/1.1\r\nHost: x\r\n\r\n");
        EXPECT_EQ(reply.find("200 OK"), std::string::npos) << reply;
        EXPECT_NE(Exchange("GET /after HTTP/1.1\r\nHost: x\r\n\r\n").find("GET /after 0"),
                  std::string::npos);
    }
}

class HttpLayerCaps : public HttpLayer {
protected:
    HttpLayerCaps() : HttpLayer(Caps()) {}
    static HttpLimits Caps() {
        HttpLimits limits = TestLimits();
        limits.MaxConnections = 8;
        limits.MaxPerAddress = 4;
        return limits;
    }
    ~HttpLayerCaps() override {
        for (int fd : Held)
            ::close(fd);
    }
    std::vector<int> Held;
};

// One address has its own share of connections: past it that address is told so, and
// another is still answered.
TEST_F(HttpLayerCaps, EachAddressHasItsOwnShare) {
    for (int i = 0; i < 4; ++i)
        Held.push_back(ConnectFrom("127.0.0.2", Port));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    int extra = ConnectFrom("127.0.0.2", Port);
    Held.push_back(extra);
    std::string refused = Ask(extra, "GET /x HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(refused.substr(0, refused.find("\r\n")), "HTTP/1.1 503 Service Unavailable");
    EXPECT_NE(refused.find("too many connections from your address"), std::string::npos);
    int other = ConnectFrom("127.0.0.3", Port);
    Held.push_back(other);
    EXPECT_NE(Ask(other, "GET /other HTTP/1.1\r\nHost: x\r\n\r\n").find("GET /other 0"),
              std::string::npos);
}

// When every connection is taken, the one idle the longest between two requests makes
// room; one that never sent a request is no idle kept-alive connection.
// An address at its share whose connections wait idle between requests makes room
// with its own longest idle one instead of being refused; another address's idle
// connection is not touched.
TEST_F(HttpLayerCaps, AnAddressAtItsShareMakesRoomWithItsOwnIdleConnection) {
    int elsewhere = ConnectFrom("127.0.0.3", Port);
    Held.push_back(elsewhere);
    ASSERT_NE(Ask(elsewhere, "GET /e HTTP/1.1\r\nHost: x\r\n\r\n").find("GET /e 0"),
              std::string::npos);
    for (int i = 0; i < 4; ++i) {
        Held.push_back(ConnectFrom("127.0.0.2", Port));
        ASSERT_NE(Ask(Held.back(), "GET /first HTTP/1.1\r\nHost: x\r\n\r\n").find("GET /first 0"),
                  std::string::npos);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    int extra = ConnectFrom("127.0.0.2", Port);
    Held.push_back(extra);
    EXPECT_NE(Ask(extra, "GET /extra HTTP/1.1\r\nHost: x\r\n\r\n").find("GET /extra 0"),
              std::string::npos);
    EXPECT_TRUE(ClosedByServer(Held[1])) << "the address's longest idle connection";
    EXPECT_NE(Ask(elsewhere, "GET /again HTTP/1.1\r\nHost: x\r\n\r\n").find("GET /again 0"),
              std::string::npos);
}

TEST_F(HttpLayerCaps, TheLongestIdleConnectionMakesRoomAtTheCap) {
    const char* sources[] = {"127.0.0.2", "127.0.0.3"};
    for (int i = 0; i < 8; ++i) {
        Held.push_back(ConnectFrom(sources[i % 2], Port));
        if (i < 6) {
            ASSERT_NE(
                Ask(Held.back(), "GET /first HTTP/1.1\r\nHost: x\r\n\r\n").find("GET /first 0"),
                std::string::npos);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    int late = ConnectFrom("127.0.0.4", Port);
    Held.push_back(late);
    EXPECT_NE(Ask(late, "GET /late HTTP/1.1\r\nHost: x\r\n\r\n").find("GET /late 0"),
              std::string::npos);
    EXPECT_TRUE(ClosedByServer(Held[0]));
    // The others are still there: the next idle one answers.
    EXPECT_NE(Ask(Held[1], "GET /again HTTP/1.1\r\nHost: x\r\n\r\n").find("GET /again 0"),
              std::string::npos);
}

// Whether a TLS 1.2 handshake offering only these cipher suites gets through.
bool Handshake(int port, const char* ciphers) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_cipher_list(ctx, ciphers);
    const int fd = ConnectFrom("127.0.0.1", port);
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    const bool ok = SSL_connect(ssl) == 1;
    SSL_free(ssl);
    ::close(fd);
    SSL_CTX_free(ctx);
    return ok;
}

// With an RSA certificate, too, a client that offers only suites without forward
// secrecy (static RSA key exchange) is refused.
TEST(HttpTls, OnlyForwardSecretSuitesAreTaken) {
    char tmpl[] = "/tmp/ot-tls-test-XXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl));
    const std::string dir = tmpl;
    ASSERT_EQ(
        std::system(("/usr/bin/openssl req -x509 -newkey rsa:2048 -nodes -keyout " + dir +
                     "/key.pem -out " + dir + "/cert.pem -days 2 -subj /CN=localhost 2>/dev/null")
                        .c_str()),
        0);
    EchoHandler handler(dir + "/cert.pem");
    HttpServer server(handler, TestLimits());
    std::string error;
    const int port = server.ListenTls("127.0.0.1", 0, dir + "/cert.pem", dir + "/key.pem", error);
    ASSERT_GT(port, 0) << error;
    std::thread runner([&] { server.Run(); });
    EXPECT_FALSE(Handshake(port, "AES128-GCM-SHA256:AES256-GCM-SHA384:AES128-SHA256:AES128-SHA"));
    EXPECT_TRUE(Handshake(port, "ECDHE-RSA-AES128-GCM-SHA256"));
    EXPECT_TRUE(Handshake(port, "ECDHE-RSA-CHACHA20-POLY1305"));
    server.Stop();
    runner.join();
    std::filesystem::remove_all(dir);
}

TEST(HttpForms, MultipartPartsAndBrokenBodies) {
    const std::string type = "multipart/form-data; boundary=XyZ";
    const std::string good = "--XyZ\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\none\r\n"
                             "--XyZ\r\nContent-Disposition: form-data; name=\"file\"; "
                             "filename=\"f.tsk\"\r\nContent-Type: application/octet-stream\r\n\r\n"
                             "line1\r\n--XyZnot a boundary\r\n--XyZ--\r\n";
    auto parts = ParseMultipart(type, good);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].Name, "a");
    EXPECT_EQ(parts[0].Content, "one");
    EXPECT_EQ(parts[1].Name, "file");
    EXPECT_EQ(parts[1].FileName, "f.tsk");
    EXPECT_EQ(parts[1].Content, "line1\r\n--XyZnot a boundary");
    EXPECT_EQ(ParseMultipart("multipart/form-data; boundary=\"XyZ\"", good).size(), 2u);

    const std::pair<std::string, std::string> broken[] = {
        {"text/plain", good},
        {"multipart/form-data", good},
        {type, "--XyZ\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nno end"},
        {type, "--XyZ\r\nno blank line"},
        {type, "nothing"},
    };
    for (const auto& [t, body] : broken)
        EXPECT_TRUE(ParseMultipart(t, body).empty()) << t << " / " << body;

    // The same parts arrive whatever pieces the body comes in: a delimiter, a part's
    // head or the closing mark cut anywhere.
    for (std::size_t piece : {1, 2, 3, 5, 8, 13, 64}) {
        SCOPED_TRACE(piece);
        FormCollector collect;
        MultipartParser parser("XyZ");
        for (std::size_t at = 0; at < good.size(); at += piece)
            ASSERT_TRUE(parser.Feed(std::string_view(good).substr(at, piece), collect));
        EXPECT_TRUE(parser.Complete());
        ASSERT_EQ(collect.Parts.size(), 2u);
        EXPECT_EQ(collect.Parts[0].Content, "one");
        EXPECT_EQ(collect.Parts[1].Content, "line1\r\n--XyZnot a boundary");
    }
}

TEST(HttpForms, BoundariesAreAtMostSeventyCharacters) {
    const std::string seventy(70, 'b');
    struct Case {
        std::string Type;
        std::optional<std::string> Boundary;
    } cases[] = {
        {"multipart/form-data; boundary=" + seventy, seventy},
        {"multipart/form-data; boundary=\"" + seventy + "\"", seventy},
        {"Multipart/Form-Data; boundary=a'()+_,-./:=?", "a'()+_,-./:=?"},
        {"multipart/form-data; boundary=\"with space\"; charset=x", "with space"},
        {"multipart/form-data; boundary=" + seventy + "b", std::nullopt},
        {"multipart/form-data; boundary=" + std::string(15000, 'b'), std::nullopt},
        {"multipart/form-data; boundary=", std::nullopt},
        {"multipart/form-data; boundary=a<b", std::nullopt},
        {"multipart/form-data; boundary=\"unclosed", std::nullopt},
        {"text/plain; boundary=abc", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MultipartBoundary(c.Type), c.Boundary) << c.Type.substr(0, 80);
}

} // namespace
