// Throughput of otCloudServer on loopback: N concurrent clients list a folder of 100
// files, then upload 1 KB files. Each client signs with the program's own code and
// sends through the program's transport (a new connection per request, as the program
// does), so the figures are what the program's synchronization would see.
//
//   bench_cloudserver [--clients 8] [--seconds 5] [--store postgresql|URI [--servers N]]
//                     [--behind-nginx]
//
// With --store the server keeps its data in PostgreSQL; with --servers N as well, N
// servers on that database answer behind nginx (see BenchServers.h); --behind-nginx
// puts nginx in front of one server too.

#include "BenchServers.h"
#include "cloud/KuaipanAPI.h"
#include "cloud/KuaipanConsumer.h"
#include "cloud/OauthUtility.h"
#include "common/FileUtil.h"
#include "support/CloudServerProcess.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Result {
    long Ok = 0;
    long Failed = 0;
    double Seconds = 0;
};

template <typename Work> Result RunFor(int clients, double seconds, Work work) {
    std::atomic<long> ok{0}, failed{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    auto start = Clock::now();
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&, c] {
            for (long i = 0; !stop; ++i)
                (work(c, i) ? ok : failed)++;
        });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto& t : threads)
        t.join();
    Result r;
    r.Ok = ok;
    r.Failed = failed;
    r.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return r;
}

void Report(const char* what, const Result& r) {
    std::printf("%-34s %8.1f requests/s  (%ld in %.1f s, %ld failed)\n", what, r.Ok / r.Seconds,
                r.Ok, r.Seconds, r.Failed);
}

} // namespace

int main(int argc, char** argv) try {
    int clients = 8;
    double seconds = 5;
    std::vector<std::string> serverArgs = {"--quiet", "--threads"};
    for (int i = 1; i + 1 < argc; i += 2)
        if (!std::strcmp(argv[i], "--clients"))
            clients = std::atoi(argv[i + 1]);
    serverArgs.push_back(std::to_string(clients + 2));
    ot::bench::BenchServers served(argc, argv, serverArgs);
    auto& server = served.First();
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--clients"))
            clients = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--seconds"))
            seconds = std::atof(argv[i + 1]);
    }
    auto [key, secret] = server.IssueAccessToken();
    auto session =
        std::make_shared<ot::TOauthSession>(ot::ConsumerKey, ot::ConsumerSecret, served.Hosts());
    session->SetAuthToken(key, secret);
    ot::TKuaipanAPI api(session);

    api.CreateFolder("/List");
    api.CreateFolder("/Up");
    std::string oneK(1024, 'x');
    auto local = server.Dir() / "one-k";
    ot::WriteFileAtomic(local, oneK);
    for (int i = 0; i < 100; ++i)
        api.UploadFile("/List/" + std::to_string(100000000 + i) + "_5_0_task number " +
                           std::to_string(i) + ".tsk",
                       local.string(), true);
    if (api.Metadata("/List", true).files.size() != 100) {
        std::fprintf(stderr, "setup failed\n");
        return 1;
    }
    std::printf("%s on loopback, %d concurrent clients, %u hardware threads\n",
                served.Description().c_str(), clients, std::thread::hardware_concurrency());

    served.ResetCounters();
    Report("list a folder of 100 files", RunFor(clients, seconds, [&](int, long) {
               return api.Metadata("/List", true).files.size() == 100;
           }));
    // The same requests from a lighter client (signed by the same code, no reply
    // parsing): on a small machine the program's client itself takes much of the CPU.
    auto token = session->Token();
    Report("  the same, lean client", RunFor(clients, seconds, [&](int, long) {
               auto url = ot::TOauthUtility::BuildGetURL(
                   served.PlainHost(), "/1/metadata/app_folder/List", {"list=True"},
                   session->Consumer(), token.get(), false);
               httplib::Client cli("127.0.0.1", served.Port());
               auto r = cli.Get(url.Url().substr(("http://" + served.PlainHost()).size()).c_str());
               return r && r->status == 200 && r->body.size() > 100 * 200;
           }));

    std::vector<std::string> locals;
    for (int c = 0; c < clients; ++c) {
        locals.push_back((server.Dir() / ("up-" + std::to_string(c))).string());
        ot::WriteFileAtomic(locals.back(), oneK);
    }
    Report("upload a 1 KB file", RunFor(clients, seconds, [&](int c, long i) {
               return !api.UploadFile("/Up/c" + std::to_string(c) + "-" + std::to_string(i) +
                                          ".tsk",
                                      locals[c], true)
                           .file_id.empty();
           }));
    auto counters = served.Counters();
    std::printf("server counted %lld listings, %lld uploads, %lld upload-host lookups\n",
                static_cast<long long>(counters["metadata"]),
                static_cast<long long>(counters["upload_file"]),
                static_cast<long long>(counters["upload_locate"]));
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "bench_cloudserver: %s\n", e.what());
    return 1;
}
