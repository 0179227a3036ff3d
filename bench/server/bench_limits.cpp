// otCloudServer under the two loads its limits are for, on loopback:
//  1. 16 parallel uploads of --max-file-mb each: the server's resident memory above idle
//     (sampled every 10 ms), with every upload's reply checked.
//  2. One address (127.0.0.2) holding 2,000 connections and reopening those the server
//     closes, while a signed client from 127.0.0.1 lists a folder again and again: the
//     share of its requests answered, and their latency.
//
//   bench_limits [--max-file-mb 64] [--uploads 16] [--seconds 20]

#include "cloud/KuaipanAPI.h"
#include "cloud/KuaipanConsumer.h"
#include "common/FileUtil.h"
#include "support/CloudServerProcess.h"

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long RssKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

// A connection from another loopback address; -1 when it cannot be made.
int ConnectFrom(const char* source, int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS)) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

std::unique_ptr<ot::TKuaipanAPI> ApiOf(const ot::test::CloudServerProcess& server) {
    auto [key, secret] = server.IssueAccessToken();
    auto session =
        std::make_shared<ot::TOauthSession>(ot::ConsumerKey, ot::ConsumerSecret, server.Hosts());
    session->SetAuthToken(key, secret);
    return std::make_unique<ot::TKuaipanAPI>(session);
}

void ParallelUploads(int maxFileMb, int uploads) {
    ot::test::CloudServerProcess::Options options;
    options.ExtraArgs = {"--quiet", "--max-file-mb", std::to_string(maxFileMb)};
    ot::test::CloudServerProcess server(options);
    const pid_t pid = server.Pid();
    // The largest file the limit allows, less the room of the form around it.
    auto local = server.Dir() / "big";
    {
        std::string content((static_cast<std::size_t>(maxFileMb) << 20) - 4096, '\0');
        for (std::size_t i = 0; i < content.size(); ++i)
            content[i] = static_cast<char>(i * 131 % 251);
        ot::WriteFileAtomic(local, content);
    }
    std::vector<std::unique_ptr<ot::TKuaipanAPI>> apis;
    for (int i = 0; i < uploads; ++i)
        apis.push_back(ApiOf(server));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long idle = RssKb(pid);
    std::atomic<bool> done{false};
    long peak = idle;
    std::thread watch([&] {
        while (!done) {
            peak = std::max(peak, RssKb(pid));
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    std::atomic<int> ok{0};
    const auto t0 = Clock::now();
    std::vector<std::thread> threads;
    for (int i = 0; i < uploads; ++i)
        threads.emplace_back([&, i] {
            if (!apis[i]
                     ->UploadFile("/up" + std::to_string(i), local.string(), true)
                     .file_id.empty())
                ++ok;
        });
    for (auto& t : threads)
        t.join();
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    done = true;
    watch.join();
    std::printf("%d parallel uploads of %d MB: %d answered in %.1f s; server resident memory "
                "%ld kB idle, at most %ld kB (+%ld kB, %.1f MB)\n",
                uploads, maxFileMb, ok.load(), secs, idle, peak, peak - idle,
                (peak - idle) / 1024.0);
}

void OneAddressHoldsConnections(double seconds) {
    ot::test::CloudServerProcess::Options options;
    options.ExtraArgs = {"--quiet"};
    ot::test::CloudServerProcess server(options);
    auto api = ApiOf(server);
    api->CreateFolder("/List");
    constexpr int kHeld = 2000;
    std::vector<int> held(kHeld, -1);
    std::atomic<bool> stop{false};
    std::atomic<long> reopened{0};
    for (auto& fd : held)
        fd = ConnectFrom("127.0.0.2", server.Port());
    // The attacker: every connection the server closes is opened again at once.
    std::thread attacker([&] {
        while (!stop) {
            for (auto& fd : held) {
                char c;
                if (fd >= 0 && ::recv(fd, &c, 1, MSG_DONTWAIT) != 0 &&
                    (errno == EAGAIN || errno == EINPROGRESS || errno == ENOTCONN))
                    continue;
                if (fd >= 0)
                    ::close(fd);
                fd = ConnectFrom("127.0.0.2", server.Port());
                ++reopened;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    long asked = 0, answered = 0;
    std::vector<double> ms;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        const auto t0 = Clock::now();
        ++asked;
        if (!api->Metadata("/List", true).file_id.empty())
            ++answered;
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    stop = true;
    attacker.join();
    for (int fd : held)
        if (fd >= 0)
            ::close(fd);
    std::sort(ms.begin(), ms.end());
    std::printf("one address holding %d connections (%ld reopened): a signed client from another "
                "answered %ld of %ld (%.2f %%), latency median %.1f ms, 99th percentile %.1f ms\n",
                kHeld, reopened.load(), answered, asked, asked ? 100.0 * answered / asked : 0.0,
                ms.empty() ? 0.0 : ms[ms.size() / 2],
                ms.empty() ? 0.0 : ms[std::min(ms.size() - 1, ms.size() * 99 / 100)]);
}

} // namespace

int main(int argc, char** argv) {
    int maxFileMb = 64, uploads = 16;
    double seconds = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--max-file-mb"))
            maxFileMb = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--uploads"))
            uploads = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--seconds"))
            seconds = std::atof(argv[i + 1]);
    }
    std::signal(SIGPIPE, SIG_IGN);
    rlimit r{};
    ::getrlimit(RLIMIT_NOFILE, &r);
    r.rlim_cur = r.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &r);
    ParallelUploads(maxFileMb, uploads);
    OneAddressHoldsConnections(seconds);
    return 0;
}
