// otCloudServer against hostile and careless clients, over raw sockets: byte ranges,
// stalled and slow connections, oversized heads and bodies, half-closed clients, the
// connection cap, and what the server's memory and files look like afterwards.

#include "cloud/KuaipanAPI.h"
#include "cloud/KuaipanConsumer.h"
#include "cloud/OauthUtility.h"
#include "common/FileUtil.h"
#include "support/CloudServerProcess.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using ot::test::CloudServerProcess;
using Clock = std::chrono::steady_clock;

namespace {

// A connected loopback socket, closed with its owner.
class Socket {
public:
    // From another loopback address when source is given (any of 127.0.0.0/8).
    explicit Socket(int port, const char* source = nullptr) {
        FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (FFd >= 0 && source) {
            sockaddr_in from{};
            from.sin_family = AF_INET;
            ::inet_pton(AF_INET, source, &from.sin_addr);
            if (::bind(FFd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0)
                throw std::runtime_error(std::string("cannot bind to ") + source);
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (FFd < 0 || ::connect(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error("cannot connect to port " + std::to_string(port));
    }
    ~Socket() {
        if (FFd >= 0)
            ::close(FFd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int Fd() const { return FFd; }

    bool Send(std::string_view text) {
        while (!text.empty()) {
            ssize_t n = ::send(FFd, text.data(), text.size(), MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            text.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }
    // Reads one reply (its head and the body its Content-Length announces), or up to the
    // connection's end; gives up after the timeout.
    std::string ReadReply(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::string in;
        auto end = Clock::now() + timeout;
        while (Clock::now() < end) {
            auto head = in.find("\r\n\r\n");
            if (head != std::string::npos) {
                auto cl = in.find("Content-Length: ");
                if (cl != std::string::npos && cl < head &&
                    in.size() >= head + 4 + std::stoull(in.substr(cl + 16, 24)))
                    return in;
            }
            pollfd p{FFd, POLLIN, 0};
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
            if (::poll(&p, 1, std::max(left, 1)) <= 0)
                break;
            char buf[65536];
            ssize_t n = ::recv(FFd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            in.append(buf, static_cast<std::size_t>(n));
        }
        return in;
    }
    // Whether the server closed the connection within the timeout.
    bool ClosedWithin(std::chrono::milliseconds timeout) {
        auto end = Clock::now() + timeout;
        while (Clock::now() < end) {
            pollfd p{FFd, POLLIN, 0};
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
            if (::poll(&p, 1, std::max(left, 1)) <= 0)
                return false;
            char buf[4096];
            ssize_t n = ::recv(FFd, buf, sizeof buf, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN))
                return true;
        }
        return false;
    }

private:
    int FFd = -1;
};

std::string StatusLine(const std::string& reply) {
    return reply.substr(0, reply.find("\r\n"));
}

std::string BodyOf(const std::string& reply) {
    auto head = reply.find("\r\n\r\n");
    return head == std::string::npos ? std::string() : reply.substr(head + 4);
}

std::string FieldOf(const std::string& reply, const std::string& name) {
    auto head = reply.substr(0, reply.find("\r\n\r\n"));
    auto at = head.find("\r\n" + name + ": ");
    if (at == std::string::npos)
        return {};
    at += name.size() + 4;
    return head.substr(at, head.find("\r\n", at) - at);
}

// The server process's resident and peak resident sizes in kB, from /proc.
struct Memory {
    long Rss = 0;
    long Peak = 0;
};

Memory MemoryOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    Memory m;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            m.Rss = std::stol(line.substr(6));
        if (line.rfind("VmHWM:", 0) == 0)
            m.Peak = std::stol(line.substr(6));
    }
    return m;
}

class CloudServerLimits : public ::testing::Test {
protected:
    // The stalled connections of these tests come from the client's own address.
    explicit CloudServerLimits(
        std::vector<std::string> extraArgs = {"--head-timeout", "3", "--idle-timeout", "2",
                                              "--max-connections-per-address", "1000"})
        : Server(Options(std::move(extraArgs))) {
        Pid = Server.Pid();
        Api = ApiOn(Server.Hosts());
    }

    // A client with an access token of its own, talking to the server through hosts.
    std::unique_ptr<ot::TKuaipanAPI> ApiOn(ot::TKuaipanHosts hosts) {
        auto session =
            std::make_shared<ot::TOauthSession>(ot::ConsumerKey, ot::ConsumerSecret, hosts);
        auto [key, secret] = Server.IssueAccessToken();
        session->SetAuthToken(key, secret);
        return std::make_unique<ot::TKuaipanAPI>(session);
    }

    static CloudServerProcess::Options Options(std::vector<std::string> extraArgs) {
        CloudServerProcess::Options o;
        o.ExtraArgs = std::move(extraArgs);
        return o;
    }

    // The request target (path and signed query) of a call signed by the client's code.
    std::string SignedTarget(const std::string& method, const std::string& location,
                             const ot::TParamList& params) {
        auto& session = Api->GetSession();
        auto token = session.Token();
        auto url = ot::TOauthUtility::BuildURL(
            method, Server.PlainHost(), location, params, session.Consumer(), token.get(), false,
            ot::TOauthUtility::GenerateNonce(), ot::TOauthUtility::GenerateTimeStamp());
        std::string full = url.Url() + (url.Query().empty() ? "" : "?" + url.Query());
        return full.substr(full.find('/', std::string("http://").size()));
    }

    std::string Exchange(const std::string& request) {
        Socket s(Server.Port());
        s.Send(request);
        return s.ReadReply();
    }

    CloudServerProcess Server;
    pid_t Pid = -1;
    std::unique_ptr<ot::TKuaipanAPI> Api;
};

TEST_F(CloudServerLimits, OneRangeIsSentAndSeveralGetTheWholeFileWithoutBuildingThem) {
    ASSERT_GT(Pid, 0);
    std::string content(8 << 20, '\0');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>('a' + i * 7 % 26);
    auto local = Server.Dir() / "big";
    ASSERT_TRUE(ot::WriteFileAtomic(local, content));
    ASSERT_FALSE(Api->UploadFile("/big", local.string(), true).file_id.empty());
    auto link = Api->Shares("/big", "big", "");
    const std::string shareTarget = link.url.substr(link.url.find("/s/"));
    const long peakBefore = MemoryOf(Pid).Peak;

    std::string manyRanges = "bytes=0-";
    for (int i = 0; i < 499; ++i)
        manyRanges += ",0-";
    const auto size = static_cast<std::uint64_t>(content.size());
    struct Case {
        std::string Range;
        std::string Status;
        std::uint64_t First;
        std::uint64_t Length;
    } cases[] = {
        {"", "HTTP/1.1 200 OK", 0, size},
        {manyRanges, "HTTP/1.1 200 OK", 0, size},
        {"bytes=0-0,5-9", "HTTP/1.1 200 OK", 0, size},
        {"bytes=100-199", "HTTP/1.1 206 Partial Content", 100, 100},
        {"bytes=8388000-", "HTTP/1.1 206 Partial Content", 8388000, size - 8388000},
        {"bytes=-10", "HTTP/1.1 206 Partial Content", size - 10, 10},
        {"bytes=5-99999999", "HTTP/1.1 206 Partial Content", 5, size - 5},
        {"bytes=8388608-", "HTTP/1.1 416 Range Not Satisfiable", 0, 0},
    };
    for (const auto& c : cases) {
        for (bool share : {false, true}) {
            SCOPED_TRACE(c.Range + (share ? " (share link)" : " (signed download)"));
            std::string target = share ? shareTarget
                                       : SignedTarget("GET", "/1/fileops/download_file",
                                                      {"root=app_folder", "path=/big"});
            std::string request = "GET " + target + " HTTP/1.1\r\nHost: " + Server.PlainHost() +
                                  "\r\n" + (c.Range.empty() ? "" : "Range: " + c.Range + "\r\n") +
                                  "\r\n";
            std::string reply = Exchange(request);
            ASSERT_EQ(StatusLine(reply), c.Status);
            if (c.Length == 0) {
                EXPECT_EQ(FieldOf(reply, "Content-Range"), "bytes */" + std::to_string(size));
                continue;
            }
            EXPECT_EQ(BodyOf(reply), content.substr(c.First, c.Length));
            if (c.Status.find("206") != std::string::npos) {
                EXPECT_EQ(FieldOf(reply, "Content-Range"),
                          "bytes " + std::to_string(c.First) + "-" +
                              std::to_string(c.First + c.Length - 1) + "/" + std::to_string(size));
            }
        }
    }
    // Files are sent from disk a piece at a time, whatever was asked for.
    EXPECT_LT(MemoryOf(Pid).Peak - peakBefore, 16 * 1024);
}

TEST_F(CloudServerLimits, StalledConnectionsDoNotHoldUpASignedClient) {
    ASSERT_FALSE(Api->CreateFolder("Work").file_id.empty());
    std::vector<std::unique_ptr<Socket>> idle, slow, preHandshake;
    for (int i = 0; i < 50; ++i) {
        idle.push_back(std::make_unique<Socket>(Server.Port()));
        slow.push_back(std::make_unique<Socket>(Server.Port()));
        slow.back()->Send("GET / HTTP/1.1\r\n");
        preHandshake.push_back(std::make_unique<Socket>(Server.TlsPort()));
    }
    std::atomic<bool> stop{false};
    // A header line now and then on every slow connection: each line is on time, the
    // head as a whole never is.
    std::thread trickle([&] {
        for (int n = 0; !stop; ++n) {
            for (auto& s : slow)
                s->Send("X-Line-" + std::to_string(n) + ": a\r\n");
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
    });
    int slowReplies = 0;
    for (int i = 0; i < 20; ++i) {
        // Measured a pair of requests at a time (one second each), with one retry for a
        // machine busy elsewhere.
        for (int attempt = 0; attempt < 2; ++attempt) {
            // One request on each port: the listing on the plain one, the account on TLS.
            auto t0 = Clock::now();
            ASSERT_EQ(Api->Metadata("/", true).files.size(), 1u);
            ASSERT_EQ(Api->AccountInfo().user_name, Server.User());
            if (Clock::now() - t0 < std::chrono::seconds(2))
                break;
            ++slowReplies;
        }
    }
    EXPECT_LE(slowReplies, 1);
    // The head deadline is a total, not per line; idle and unstarted connections go too.
    for (auto* group : {&idle, &slow, &preHandshake})
        for (auto& s : *group)
            EXPECT_TRUE(s->ClosedWithin(std::chrono::seconds(8)));
    stop = true;
    trickle.join();
}

TEST_F(CloudServerLimits, KeptAliveConnectionsCloseWhenIdle) {
    Socket s(Server.Port());
    ASSERT_TRUE(s.Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(StatusLine(s.ReadReply()), "HTTP/1.1 200 OK");
    ASSERT_TRUE(s.Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(StatusLine(s.ReadReply()), "HTTP/1.1 200 OK");
    EXPECT_TRUE(s.ClosedWithin(std::chrono::seconds(6)));
}

// A sync pass over TLS on one kept connection: uploads with a listing now and then,
// the later listings larger than one TLS record. Every reply must come whole and at
// once; a reply cut short leaves the client waiting for the rest until the connection
// times out.
TEST_F(CloudServerLimits, AKeptTlsConnectionAnswersALongSeriesOfRequests) {
    ot::TKuaipanHosts hosts = Server.Hosts();
    hosts.AlwaysSecure = true;
    Api = ApiOn(hosts);
    ASSERT_TRUE(ot::TKuaipanHTTPUtility::Timeouts().ReuseConnections);
    ASSERT_FALSE(Api->CreateFolder("List").file_id.empty());
    auto local = Server.Dir() / "item.tsk";
    ASSERT_TRUE(ot::WriteFileAtomic(local, std::string(100, 'x')));
    auto t0 = Clock::now();
    for (int i = 1; i <= 120; ++i) {
        ASSERT_FALSE(
            Api->UploadFile("/List/item " + std::to_string(i) + ".tsk", local.string(), true)
                .file_id.empty());
        if (i % 20 == 0) {
            ASSERT_EQ(Api->Metadata("/List", true).files.size(), static_cast<std::size_t>(i));
        }
    }
    // About a second in all when every reply comes at once; a single stalled one costs
    // the idle timeout.
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(30));
}

TEST_F(CloudServerLimits, AHeaderStreamIsCutOffEarlyAndMemoryStaysFlat) {
    ASSERT_GT(Pid, 0);
    const long before = MemoryOf(Pid).Rss;
    Socket s(Server.Port());
    ::fcntl(s.Fd(), F_SETFL, O_NONBLOCK);
    std::string line = "X-Filler: " + std::string(1000, 'a') + "\r\n";
    std::string chunk = "GET / HTTP/1.1\r\nHost: x\r\n";
    while (chunk.size() < 64 * 1024)
        chunk += line;
    std::size_t sent = 0;
    std::string reply;
    const std::size_t total = 100u << 20;
    auto end = Clock::now() + std::chrono::seconds(20);
    while (sent < total && Clock::now() < end) {
        pollfd p{s.Fd(), POLLIN | POLLOUT, 0};
        if (::poll(&p, 1, 1000) <= 0)
            continue;
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            reply = s.ReadReply(std::chrono::seconds(5));
            break;
        }
        ssize_t n = ::send(s.Fd(), chunk.data(), chunk.size(), MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN)
            break;
        if (n > 0)
            sent += static_cast<std::size_t>(n);
        chunk = std::string(line.data(), line.size()) + chunk.substr(0, chunk.size() - line.size());
    }
    EXPECT_EQ(StatusLine(reply), "HTTP/1.1 431 Request Header Fields Too Large");
    EXPECT_NE(BodyOf(reply).find("request header too large"), std::string::npos);
    EXPECT_LT(sent, 16u << 20);
    EXPECT_LT(MemoryOf(Pid).Rss - before, 8 * 1024);
}

TEST_F(CloudServerLimits, UploadsAreRefusedFromTheirHead) {
    const std::string host = "Host: " + Server.PlainHost() + "\r\n";
    const std::string multipart = "Content-Type: multipart/form-data; boundary=b\r\n";
    auto signedUpload = [&] {
        return SignedTarget("POST", "/1/fileops/upload_file",
                            {"root=app_folder", "path=/x", "overwrite=true"});
    };
    struct Case {
        std::string Target;
        std::string Length;
        std::string Status;
        std::string Says;
    } cases[] = {
        {"/1/fileops/upload_file?root=app_folder&path=/x", "62914560", "HTTP/1.1 401 Unauthorized",
         "missing oauth parameter"},
        {signedUpload(), "100000000", "HTTP/1.1 413 Payload Too Large", "request body too large"},
        {signedUpload(), "9223372036854775807", "HTTP/1.1 413 Payload Too Large",
         "request body too large"},
        {signedUpload(), "-5", "HTTP/1.1 400 Bad Request", "bad request"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Length);
        Socket s(Server.Port());
        // Only the head is sent: the answer must not wait for the body.
        ASSERT_TRUE(s.Send("POST " + c.Target + " HTTP/1.1\r\n" + host + multipart +
                           "Content-Length: " + c.Length + "\r\n\r\n"));
        std::string reply = s.ReadReply(std::chrono::seconds(5));
        EXPECT_EQ(StatusLine(reply), c.Status);
        EXPECT_NE(BodyOf(reply).find(c.Says), std::string::npos) << BodyOf(reply);
    }
    EXPECT_EQ(Server.Counter("upload_file"), 3);
}

TEST_F(CloudServerLimits, RefusalsSayWhatTheyAre) {
    std::string manyFields;
    for (int i = 0; i < 70; ++i)
        manyFields += "X-" + std::to_string(i) + ": a\r\n";
    struct Case {
        std::string Request;
        std::string Status;
        std::string Body;
    } cases[] = {
        {"GET /" + std::string(9000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n",
         "HTTP/1.1 414 URI Too Long", "{\"msg\":\"request target too long\"}"},
        {"GET /" + std::string(20000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n",
         "HTTP/1.1 414 URI Too Long", "{\"msg\":\"request target too long\"}"},
        {"GET / HTTP/1.1\r\nHost: x\r\n" + manyFields + "\r\n",
         "HTTP/1.1 431 Request Header Fields Too Large", "{\"msg\":\"too many header fields\"}"},
        {"GET / HTTP/1.1\r\nHost: x\r\nContent-Length: 70000\r\n\r\n",
         "HTTP/1.1 413 Payload Too Large", "{\"msg\":\"request body too large\"}"},
        {"BROKEN\r\n\r\n", "HTTP/1.1 400 Bad Request", "{\"msg\":\"bad request\"}"},
        // One field over the limit is a header too large, wherever the limit struck.
        {"GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(20000, 'a') + "\r\n\r\n",
         "HTTP/1.1 431 Request Header Fields Too Large", "{\"msg\":\"request header too large\"}"},
        {"GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(70000, 'a') + "\r\n\r\n",
         "HTTP/1.1 431 Request Header Fields Too Large", "{\"msg\":\"request header too large\"}"},
        {"GET / HTTP/1.1\r\nX-Big: " + std::string(200000, 'a') + "\r\n\r\n",
         "HTTP/1.1 431 Request Header Fields Too Large", "{\"msg\":\"request header too large\"}"},
        // Framing that two readers could take two ways is refused, and the connection
        // closed, so no body can run as a request of its own.
        {"POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip\r\n\r\n"
         "GET /smuggled HTTP/1.1\r\nHost: x\r\n\r\n",
         "HTTP/1.1 400 Bad Request", "{\"msg\":\"bad transfer encoding\"}"},
        {"POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked, gzip\r\n\r\n",
         "HTTP/1.1 400 Bad Request", "{\"msg\":\"bad transfer encoding\"}"},
        {"POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: "
         "chunked\r\n\r\n0\r\n\r\n",
         "HTTP/1.1 400 Bad Request", "{\"msg\":\"bad request\"}"},
        {"POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n",
         "HTTP/1.1 501 Not Implemented", "{\"msg\":\"transfer coding not implemented\"}"},
        {"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\nTransfer-Encoding: "
         "chunked\r\n\r\n0\r\n\r\n",
         "HTTP/1.1 400 Bad Request", "{\"msg\":\"bad request\"}"},
        {"POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\nContent-Length: "
         "3\r\n\r\n0\r\n\r\n",
         "HTTP/1.1 400 Bad Request", "{\"msg\":\"bad request\"}"},
        {"POST / HTTP/1.0\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
         "HTTP/1.1 400 Bad Request", "{\"msg\":\"bad transfer encoding\"}"},
        {"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd",
         "HTTP/1.1 400 Bad Request", "{\"msg\":\"bad request\"}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Request.substr(0, 40));
        std::string reply = Exchange(c.Request);
        EXPECT_EQ(StatusLine(reply), c.Status);
        EXPECT_EQ(BodyOf(reply), c.Body);
        EXPECT_EQ(FieldOf(reply, "Connection"), "close");
    }
}

TEST_F(CloudServerLimits, AHalfClosedClientGetsItsAnswer) {
    Socket s(Server.Port());
    ASSERT_TRUE(s.Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
    ::shutdown(s.Fd(), SHUT_WR);
    std::string reply = s.ReadReply();
    EXPECT_EQ(StatusLine(reply), "HTTP/1.1 200 OK");
    EXPECT_NE(BodyOf(reply).find("<html"), std::string::npos);
}

TEST_F(CloudServerLimits, DataDirectoryAndDatabaseAreTheServersAlone) {
    struct stat st {};
    ASSERT_EQ(::stat(Server.DataDir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    for (const char* name : {"cloud.db", "cloud.db-wal", "cloud.db-shm"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(::stat((Server.DataDir() / name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
}

// An upload's body goes to disk as it arrives: the server's memory does not grow with it.
TEST_F(CloudServerLimits, AnUploadIsNeverHeldInMemory) {
    ASSERT_GT(Pid, 0);
    std::string content(48 << 20, '\0');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 131 % 251);
    auto local = Server.Dir() / "big";
    ASSERT_TRUE(ot::WriteFileAtomic(local, content));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(content.data(), content.size(), digest, &len, EVP_sha1(), nullptr);
    std::string hash;
    for (unsigned i = 0; i < len; ++i) {
        hash += "0123456789abcdef"[digest[i] >> 4];
        hash += "0123456789abcdef"[digest[i] & 15];
    }
    const long peakBefore = MemoryOf(Pid).Peak;
    auto up = Api->UploadFile("/big", local.string(), true);
    ASSERT_FALSE(up.file_id.empty());
    EXPECT_EQ(up.size, static_cast<std::int32_t>(content.size()));
    EXPECT_EQ(up.hash, hash);
    // Held whole (and copied for the form's parse) this was twice the file.
    EXPECT_LT(MemoryOf(Pid).Peak - peakBefore, 16 * 1024);
}

// No memory is set aside for the length a head announces: heads announcing terabytes,
// with no body following, cost the server nothing and a signed client is answered.
class CloudServerHugeFiles : public CloudServerLimits {
protected:
    CloudServerHugeFiles() : CloudServerLimits({"--max-file-mb", "100000000"}) {}
};

TEST_F(CloudServerHugeFiles, AnnouncedLengthsAreNotAllocated) {
    std::vector<std::unique_ptr<Socket>> heads;
    for (int i = 0; i < 8; ++i) {
        heads.push_back(std::make_unique<Socket>(Server.Port()));
        ASSERT_TRUE(heads.back()->Send(
            "POST " +
            SignedTarget("POST", "/1/fileops/upload_file",
                         {"root=app_folder", "path=/huge" + std::to_string(i), "overwrite=true"}) +
            " HTTP/1.1\r\nHost: " + Server.PlainHost() +
            "\r\nContent-Type: multipart/form-data; boundary=b\r\nContent-Length: " +
            std::to_string(90'000'000'000'000LL + i) + "\r\n\r\n--b\r\n"));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(Api->CreateFolder("after").file_id.empty());
    EXPECT_EQ(::kill(Pid, 0), 0);
}

// Guessing a share link's access code: a few wrong codes, then each try waits longer,
// then a lockout, for the link and for the address.
TEST_F(CloudServerLimits, GuessingAShareCodeSlowsDownThenLocksOut) {
    auto local = Server.Dir() / "f";
    ASSERT_TRUE(ot::WriteFileAtomic(local, "shared"));
    ASSERT_FALSE(Api->UploadFile("/f", local.string(), true).file_id.empty());
    auto target = [&](const std::string& name, const std::string& code) {
        auto link = Api->Shares("/f", name, code);
        return link.url.substr(link.url.find("/s/"));
    };
    const std::string one = target("one", "1234"), two = target("two", "5678");
    auto get = [&](const std::string& link, const std::string& code, const char* from) {
        Socket s(Server.Port(), from);
        s.Send("GET " + link + "?access_code=" + code + " HTTP/1.1\r\nHost: x\r\n\r\n");
        return StatusLine(s.ReadReply());
    };
    const std::string ok = "HTTP/1.1 200 OK", wrong = "HTTP/1.1 403 Forbidden",
                      wait = "HTTP/1.1 429 Too Many Requests";
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(get(one, "000" + std::to_string(i), "127.0.0.2"), wrong);
    EXPECT_EQ(get(one, "1234", "127.0.0.2"), wait) << "the right code waits too";
    EXPECT_EQ(get(one, "1234", "127.0.0.3"), wait) << "the link waits for every address";
    EXPECT_EQ(get(two, "5678", "127.0.0.2"), wait) << "the address waits for every link";
    EXPECT_EQ(get(two, "5678", "127.0.0.4"), ok);
    std::int64_t offset = 0;
    for (int i = 3; i < 10; ++i) {
        Server.SetClockOffset(offset += 61);
        EXPECT_EQ(get(one, "000" + std::to_string(i), "127.0.0.2"), wrong) << i;
    }
    Server.SetClockOffset(offset += 61);
    EXPECT_EQ(get(one, "1234", "127.0.0.5"), wait) << "locked out";
    Server.SetClockOffset(offset += 900);
    EXPECT_EQ(get(one, "1234", "127.0.0.5"), ok);
}

// One address holding two thousand connections, reopening those the server closes,
// takes its own share only: a signed client from another address is answered at once.
class CloudServerPerAddress : public CloudServerLimits {
protected:
    CloudServerPerAddress() : CloudServerLimits({"--head-timeout", "3", "--idle-timeout", "2"}) {}
};

TEST_F(CloudServerPerAddress, OneAddressCannotTakeEveryConnection) {
    rlimit r{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &r), 0);
    r.rlim_cur = std::max<rlim_t>(r.rlim_cur, std::min<rlim_t>(r.rlim_max, 4096));
    ::setrlimit(RLIMIT_NOFILE, &r);
    ASSERT_GE(r.rlim_cur, 2200u);
    std::vector<std::unique_ptr<Socket>> held;
    for (int i = 0; i < 2000; ++i)
        held.push_back(std::make_unique<Socket>(Server.Port(), "127.0.0.2"));
    int answered = 0;
    for (int i = 0; i < 40; ++i) {
        if (!Api->Metadata("/", true).file_id.empty())
            ++answered;
        for (auto& s : held) {
            char c;
            if (::recv(s->Fd(), &c, 1, MSG_DONTWAIT) == 0)
                s = std::make_unique<Socket>(Server.Port(), "127.0.0.2");
        }
    }
    EXPECT_EQ(answered, 40);
}

class CloudServerConnectionCap : public CloudServerLimits {
protected:
    CloudServerConnectionCap() : CloudServerLimits({"--max-connections", "20"}) {}
};

TEST_F(CloudServerConnectionCap, ConnectionsBeyondTheCapAreToldSo) {
    std::vector<std::unique_ptr<Socket>> held;
    for (int i = 0; i < 20; ++i)
        held.push_back(std::make_unique<Socket>(Server.Port()));
    // The server counts a connection once it has accepted it: on a busy machine the
    // first tries may still get in.
    std::string reply;
    for (int attempt = 0; attempt < 50 && StatusLine(reply) != "HTTP/1.1 503 Service Unavailable";
         ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        reply = Exchange("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    }
    EXPECT_EQ(StatusLine(reply), "HTTP/1.1 503 Service Unavailable");
    EXPECT_EQ(BodyOf(reply), "{\"msg\":\"too many connections\"}");
    held.clear();
    std::string after;
    for (int attempt = 0; attempt < 50 && StatusLine(after) != "HTTP/1.1 200 OK"; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        after = Exchange("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    }
    EXPECT_EQ(StatusLine(after), "HTTP/1.1 200 OK");
}

} // namespace
