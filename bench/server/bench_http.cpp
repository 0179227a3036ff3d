// otCloudServer's HTTP layer against nginx on loopback. N client threads send signed
// folder listings (a fresh nonce and signature per request, so nothing can be replayed
// or cached by the client) over kept-alive connections and over a new connection per
// request; nginx, when given, serves the very same reply bytes from a static file to
// the very same client, so the ratio between the two is what the server costs.
// Afterwards the server is attacked (idle, slow and never-handshaking connections,
// header streams, unsigned uploads, many-range requests) and its resident memory is
// compared with its idle size.
//
//   bench_http [--connections 8] [--seconds 5] [--nginx /usr/sbin/nginx] [--io-threads N]
//              [--store postgresql|URI [--servers N]] [--behind-nginx]
//
// With --store the server keeps its data in PostgreSQL; with --servers N as well, the
// listings go to N servers on that database behind nginx (see BenchServers.h), and the
// attacks to the first of them. --behind-nginx puts nginx in front of one server too.

#include "BenchServers.h"
#include "cloud/KuaipanAPI.h"
#include "cloud/KuaipanConsumer.h"
#include "cloud/OauthUtility.h"
#include "common/FileUtil.h"
#include "support/CloudServerProcess.h"

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

int Connect(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// Closes without leaving the port in TIME_WAIT, so a run of new connections does not
// run out of local ports.
void Abort(int fd) {
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
}

bool SendAll(int fd, const std::string& s) {
    std::size_t off = 0;
    while (off < s.size()) {
        ssize_t n = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        off += static_cast<std::size_t>(n);
    }
    return true;
}

// One reply; answers its body length, or -1.
long ReadReply(int fd, std::string& buf) {
    buf.clear();
    char chunk[65536];
    std::size_t need = std::string::npos;
    while (true) {
        if (need == std::string::npos) {
            auto head = buf.find("\r\n\r\n");
            if (head != std::string::npos) {
                if (buf.compare(0, 12, "HTTP/1.1 200") != 0)
                    return -1;
                auto cl = buf.find("Content-Length: ");
                if (cl == std::string::npos || cl > head)
                    cl = buf.find("content-length: ");
                if (cl == std::string::npos || cl > head)
                    return -1;
                need = head + 4 + std::stoul(buf.substr(cl + 16, 20));
            }
        }
        if (need != std::string::npos && buf.size() >= need)
            return static_cast<long>(need - buf.find("\r\n\r\n") - 4);
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return -1;
        buf.append(chunk, static_cast<std::size_t>(n));
    }
}

struct Target {
    std::string Name;
    int Port = 0;
};

struct Rate {
    double PerSecond = 0;
    long Failed = 0;
};

// Listings signed afresh for each request, by `connections` threads for `seconds`.
Rate Drive(const Target& target, int connections, double seconds, bool keepAlive,
           const ot::TTokenPair& consumer, const ot::TTokenPair& token, long expectBody) {
    std::atomic<long> ok{0}, failed{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    const std::string host = "127.0.0.1:" + std::to_string(target.Port);
    auto start = Clock::now();
    for (int c = 0; c < connections; ++c)
        threads.emplace_back([&] {
            int fd = -1;
            std::string buf;
            while (!stop) {
                auto url = ot::TOauthUtility::BuildGetURL(host, "/1/metadata/app_folder/List",
                                                          {"list=True"}, consumer, &token, false);
                std::string path = url.Url().substr(std::strlen("http://") + host.size());
                std::string req = "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
                if (fd < 0)
                    fd = Connect(target.Port);
                long body = fd >= 0 && SendAll(fd, req) ? ReadReply(fd, buf) : -1;
                if (body == expectBody) {
                    ++ok;
                } else {
                    ++failed;
                    if (fd >= 0)
                        Abort(fd);
                    fd = -1;
                    continue;
                }
                if (!keepAlive) {
                    Abort(fd);
                    fd = -1;
                }
            }
            if (fd >= 0)
                ::close(fd);
        });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto& t : threads)
        t.join();
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    return {static_cast<double>(ok.load()) / elapsed, failed.load()};
}

long RssKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// nginx in the foreground with its own configuration, serving one file for every path.
pid_t StartNginx(const std::string& binary, const fs::path& dir, int& port) {
    port = ot::bench::BenchServers::FreePort();
    fs::create_directories(dir / "logs");
    std::ofstream conf(dir / "nginx.conf");
    conf << "worker_processes auto;\n"
            "pid "
         << (dir / "nginx.pid").string()
         << ";\n"
            "error_log "
         << (dir / "logs" / "error.log").string()
         << " warn;\n"
            "events { worker_connections 4096; }\n"
            "http {\n"
            "  access_log off;\n"
            "  keepalive_requests 100000000;\n"
            "  keepalive_timeout 60s;\n"
            "  tcp_nodelay on;\n"
            "  client_body_temp_path "
         << (dir / "tmp").string()
         << ";\n"
            "  server {\n"
            "    listen 127.0.0.1:"
         << port
         << ";\n"
            "    root "
         << dir.string()
         << ";\n"
            "    location / {\n"
            "      default_type \"application/json; charset=utf-8\";\n"
            "      try_files /listing.json =404;\n"
            "    }\n"
            "  }\n"
            "}\n";
    conf.close();
    pid_t pid = fork();
    if (pid == 0) {
        execl(binary.c_str(), binary.c_str(), "-p", dir.c_str(), "-c", (dir / "nginx.conf").c_str(),
              "-g", "daemon off;", static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 100; ++i) {
        int fd = Connect(port);
        if (fd >= 0) {
            ::close(fd);
            return pid;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    return -1;
}

// What well-behaved clients never do, many times over, then the server's memory.
void Attack(const ot::test::CloudServerProcess& server,
            const std::function<std::string()>& signedDownload) {
    std::vector<int> held;
    for (int i = 0; i < 300; ++i) {
        int idle = Connect(server.Port());
        int slow = Connect(server.Port());
        int tls = Connect(server.TlsPort());
        if (slow >= 0)
            SendAll(slow, "GET / HTTP/1.1\r\nX-Slow: 1\r\n");
        for (int fd : {idle, slow, tls})
            if (fd >= 0)
                held.push_back(fd);
    }
    std::vector<std::thread> threads;
    // Header streams and unsigned 60 MB uploads, eight at a time.
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 4; ++round) {
                int fd = Connect(server.Port());
                if (fd < 0)
                    continue;
                std::string head =
                    t % 2 ? "GET / HTTP/1.1\r\nHost: x\r\n"
                          : "POST /1/fileops/upload_file?root=app_folder&path=/x HTTP/1.1\r\n"
                            "Host: x\r\nContent-Type: multipart/form-data; boundary=b\r\n"
                            "Content-Length: 62914560\r\n\r\n";
                SendAll(fd, head);
                std::string filler(64 * 1024, t % 2 ? 'h' : 'b');
                if (t % 2)
                    for (std::size_t i = 0; i + 2 < filler.size(); i += 100) {
                        filler[i] = '\r';
                        filler[i + 1] = '\n';
                        filler[i + 2] = 'X';
                    }
                timeval tv{2, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
                for (std::size_t sent = 0; sent < (60u << 20); sent += filler.size())
                    if (!SendAll(fd, filler))
                        break;
                Abort(fd);
            }
        });
    // Downloads of the 8 MB file asking for 500 ranges each.
    std::string ranges = "bytes=0-";
    for (int i = 0; i < 499; ++i)
        ranges += ",0-";
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int round = 0; round < 4; ++round) {
                int fd = Connect(server.Port());
                if (fd < 0)
                    continue;
                std::string buf;
                SendAll(fd, "GET " + signedDownload() + " HTTP/1.1\r\nHost: " + server.PlainHost() +
                                "\r\nRange: " + ranges + "\r\n\r\n");
                ReadReply(fd, buf);
                Abort(fd);
            }
        });
    for (auto& t : threads)
        t.join();
    for (int fd : held)
        Abort(fd);
}

} // namespace

int main(int argc, char** argv) {
    int connections = 8;
    double seconds = 5;
    std::string nginx;
    std::string ioThreads;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--connections"))
            connections = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--seconds"))
            seconds = std::atof(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--nginx"))
            nginx = argv[i + 1];
        else if (!std::strcmp(argv[i], "--io-threads"))
            ioThreads = argv[i + 1];
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> serverArgs = {"--quiet"};
    if (!ioThreads.empty())
        serverArgs.insert(serverArgs.end(), {"--io-threads", ioThreads});
    std::unique_ptr<ot::bench::BenchServers> served;
    try {
        served = std::make_unique<ot::bench::BenchServers>(argc, argv, serverArgs);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_http: %s\n", e.what());
        return 1;
    }
    auto& server = served->First();
    const pid_t pid = server.Pid();
    auto [key, secret] = server.IssueAccessToken();
    auto session =
        std::make_shared<ot::TOauthSession>(ot::ConsumerKey, ot::ConsumerSecret, served->Hosts());
    session->SetAuthToken(key, secret);
    ot::TKuaipanAPI api(session);

    api.CreateFolder("/List");
    auto local = server.Dir() / "one-k";
    ot::WriteFileAtomic(local, std::string(1024, 'x'));
    for (int i = 0; i < 100; ++i)
        api.UploadFile("/List/" + std::to_string(100000000 + i) + "_5_0_task number " +
                           std::to_string(i) + ".tsk",
                       local.string(), true);
    auto big = server.Dir() / "big";
    ot::WriteFileAtomic(big, std::string(8 << 20, 'b'));
    api.UploadFile("/big", big.string(), true);

    // The listing's bytes as the server sends them, for nginx to send the same.
    const auto token = session->Token();
    std::string reply;
    {
        int fd = Connect(server.Port());
        auto url =
            ot::TOauthUtility::BuildGetURL(server.PlainHost(), "/1/metadata/app_folder/List",
                                           {"list=True"}, session->Consumer(), token.get(), false);
        SendAll(fd, "GET " + url.Url().substr(std::strlen("http://") + server.PlainHost().size()) +
                        " HTTP/1.1\r\nHost: " + server.PlainHost() + "\r\n\r\n");
        if (ReadReply(fd, reply) < 0) {
            std::fprintf(stderr, "setup failed\n");
            return 1;
        }
        ::close(fd);
    }
    const std::string body = reply.substr(reply.find("\r\n\r\n") + 4);
    const long expect = static_cast<long>(body.size());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long idleRss = RssKb(pid);

    std::printf("signed listings of 100 files (%ld bytes), %d connections, %.0f s each, %u "
                "hardware threads\n",
                expect, connections, seconds, std::thread::hardware_concurrency());
    std::printf("%s\n", served->Description().c_str());
    Target ours{"otCloudServer", served->Port()};
    // nginx's workers run as an unprivileged user: their directory must be readable.
    char nginxTemplate[] = "/tmp/ot-bench-nginx-XXXXXX";
    fs::path nginxDir = mkdtemp(nginxTemplate) ? nginxTemplate : server.Dir() / "nginx";
    fs::permissions(nginxDir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
    pid_t nginxPid = -1;
    Target theirs{"nginx", 0};
    if (!nginx.empty()) {
        fs::create_directories(nginxDir);
        ot::WriteFileAtomic(nginxDir / "listing.json", body, 0644);
        nginxPid = StartNginx(nginx, nginxDir, theirs.Port);
        if (nginxPid < 0)
            std::fprintf(stderr, "nginx did not start; see %s\n", nginxDir.c_str());
    }
    const auto& consumer = session->Consumer();
    for (bool keepAlive : {true, false}) {
        const char* mode = keepAlive ? "kept-alive" : "new connection per request";
        Rate a = Drive(ours, connections, seconds, keepAlive, consumer, *token, expect);
        std::printf("%-28s %-14s %9.0f listings/s (%ld failed)\n", mode, ours.Name.c_str(),
                    a.PerSecond, a.Failed);
        if (nginxPid > 0) {
            Rate b = Drive(theirs, connections, seconds, keepAlive, consumer, *token, expect);
            std::printf("%-28s %-14s %9.0f listings/s (%ld failed)\n", mode, theirs.Name.c_str(),
                        b.PerSecond, b.Failed);
            std::printf("%-28s ratio          %9.0f %% of nginx\n", mode,
                        b.PerSecond > 0 ? 100.0 * a.PerSecond / b.PerSecond : 0.0);
        }
    }
    if (nginxPid > 0) {
        kill(nginxPid, SIGTERM);
        waitpid(nginxPid, nullptr, 0);
    }
    std::error_code ec;
    fs::remove_all(nginxDir, ec);

    const long peakBefore = RssKb(pid);
    std::thread watch([&] {
        long peak = 0;
        for (int i = 0; i < 100; ++i) {
            peak = std::max(peak, RssKb(pid));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::printf("server resident memory during the attacks: up to %ld kB (from %ld kB)\n", peak,
                    peakBefore);
    });
    Attack(server, [&] {
        auto download = ot::TOauthUtility::BuildGetURL(
            server.PlainHost(), "/1/fileops/download_file", {"root=app_folder", "path=/big"},
            session->Consumer(), token.get(), false);
        return download.Url().substr(std::strlen("http://") + server.PlainHost().size());
    });
    watch.join();
    for (int wait : {1, 6}) {
        std::this_thread::sleep_for(std::chrono::seconds(wait == 1 ? 1 : 5));
        const long afterRss = RssKb(pid);
        std::printf("server resident memory: %ld kB idle, %ld kB %d s after the attacks (+%ld "
                    "kB)\n",
                    idleRss, afterRss, wait, afterRss - idleRss);
    }
    return 0;
}
