// Synchronization passes against otCloudServer on loopback, with no pause
// between queue rows: a pass that pushes N new items in C classes, a pass
// with nothing to do, the same by a new engine (the next program start,
// which reads every row again) at the default pause, and a pass that pulls
// the N items into an empty tree.
// Prints the time and the HTTP requests of each pass. The whole run is made
// with the client's connections kept open across requests and with a new
// connection per request, each way twice, and the push and pull times
// compared.
//
//   bench_sync [items [classes [plain|tls|both] [disk]]]
//        (defaults: 1000 items, 10 classes, both: the comparison over plain
//         HTTP, then with every request over TLS; disk: data below the
//         system's temporary directory instead of tmpfs)
//   bench_sync first [items [classes]]
//        the first push of a tree (default 2000 items in 20 classes) by an
//        engine made as the programs make it, from a "cloudhosts.conf" as
//        scripts/run writes it (pacing left to the server), whole pass,
//        then the client's CPU for one listing reply of 100 files, read
//        straight into its records and through the flattened lines

#include "cloud/JSONUtility.h"
#include "cloud/KuaipanAPI.h"
#include "cloud/KuaipanConsumer.h"
#include "cloud/KuaipanFile.h"
#include "cloud/KuaipanHTTPUtility.h"
#include "cloud/KuaipanHosts.h"
#include "cloud/KuaipanUtility.h"
#include "cloud/OauthUtility.h"
#include "cloud/Session.h"
#include "common/AppPaths.h"
#include "common/Text.h"
#include "repository/OtTaskRepository.h"
#include "support/CloudServerProcess.h"
#include "sync/OtKuaipanSyncUtility.h"
#include "syncqueue/SyncQueueDatabase.h"
#include "tasks/OtTaskUtility.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <unistd.h>

using namespace ot;
namespace fs = std::filesystem;

namespace {

struct Side {
    fs::path Root;
    TAppPaths Paths;
    TOtTaskClassList Classes;
    std::unique_ptr<TOtLocalTaskTree> Tree;
    TKuaipanHosts Hosts;
    std::unique_ptr<TKuaipanSyncUtility> Engine;

    Side(const std::string& name, const std::pair<std::string, std::string>& token,
         TKuaipanHosts hosts)
        : Hosts(std::move(hosts)) {
        std::string tmpl = (fs::temp_directory_path() / (name + "-XXXXXX")).string();
        if (!::mkdtemp(tmpl.data()))
            throw std::runtime_error("mkdtemp failed");
        Root = tmpl;
        Paths = TAppPaths::FromProgramDir(Root.string());
        fs::create_directories(Paths.TaskDataPath);
        std::string error;
        if (!CreateSyncQueueDatabase(Paths.DBFileName, &error))
            throw std::runtime_error(error);
        TKuaipanUtility::SaveAuthFile(TAccessToken(token.first, token.second), Paths.AuthFileName);
        Tree = std::make_unique<TOtLocalTaskTree>(Classes, TOtTaskRepository(Paths));
        Engine = std::make_unique<TKuaipanSyncUtility>(nullptr, *Tree, Hosts);
        Engine->SetRowPause(std::chrono::milliseconds(0));
    }
    ~Side() {
        std::error_code ec;
        fs::remove_all(Root, ec);
    }
    std::size_t ItemCount() const {
        std::size_t n = 0;
        for (const auto& c : Classes)
            n += c->TaskList().size();
        return n;
    }
};

// Fills the side's tree with items in classes, every ID drawn from a
// counter with the suffix (two letters), remarks from remarksOf.
void FillTree(Side& side, int items, int classes, const char* suffix,
              const std::function<std::string(int)>& remarksOf) {
    int id = 0;
    auto nextID = [&] { return Format("%010d", 1300000000 + ++id) + suffix; };
    for (int c = 0; c < classes; ++c) {
        auto cls = std::make_shared<TOtTaskClass>(nextID(), "List " + std::to_string(c));
        side.Tree->Repository().CreateTaskClass(cls);
        side.Classes.push_back(cls);
    }
    for (int i = 0; i < items; ++i) {
        auto& cls = side.Classes[i % classes];
        auto item = std::make_shared<TOtTaskItem>("Task " + std::to_string(i), remarksOf(i),
                                                  tsNotCompleted, 0, 0, cls, nullptr);
        item->SetID(nextID());
        item->SetPriority(i % 10);
        item->ResetDirty();
        DoAddTaskItem(side.Tree->Repository(), cls->TaskList(), item);
    }
}

struct PassResult {
    double Seconds;
    long long Requests;
    bool Ok;
};

PassResult TimedPass(Side& side, test::CloudServerProcess& server) {
    server.ResetCounters();
    const auto t0 = std::chrono::steady_clock::now();
    const bool ok = side.Engine->SyncToKuaipan();
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return {s, server.TotalRequests(), ok};
}

void Report(const char* what, const PassResult& r, test::CloudServerProcess& server) {
    std::printf("%-34s %8.2f s %7lld requests  %s\n", what, r.Seconds, r.Requests,
                r.Ok ? "" : "(pass reported errors)");
    std::string kinds;
    for (const auto& [kind, n] : server.Counters())
        if (kind != "total" && n > 0)
            kinds += Format("  %s=%lld", kind.c_str(), static_cast<long long>(n));
    std::printf("    by kind:%s\n", kinds.c_str());
}

struct ScenarioResult {
    PassResult Push, Pull;
    bool Ok;
};

// One server, one pushing and one pulling tree; with reuse off every request
// of the client makes a new connection.
ScenarioResult RunScenario(int items, int classes, bool reuse, bool tls) {
    TTransportTimeouts transport = TKuaipanHTTPUtility::Timeouts();
    transport.ReuseConnections = reuse;
    TKuaipanHTTPUtility::SetTimeouts(transport);
    std::printf("\n== %s ==\n",
                reuse ? "connections kept open across requests" : "a new connection per request");
    test::CloudServerProcess server;
    TKuaipanHosts hosts = server.Hosts();
    hosts.AlwaysSecure = tls;
    const auto token = server.IssueAccessToken();

    Side a("ot-bench-sync-a", token, hosts);
    FillTree(a, items, classes, "QB",
             [](int i) { return i % 2 ? "some remarks " + std::to_string(i) : std::string(); });

    std::printf("%d items in %d classes, loopback otCloudServer, no pause between rows\n", items,
                classes);
    const PassResult push = TimedPass(a, server);
    Report("push of every item", push, server);
    const PassResult idle = TimedPass(a, server);
    Report("pass with nothing to do", idle, server);
    // The next program start: a new engine reads every settled row again,
    // at the default pause between rows that send a request.
    a.Engine = std::make_unique<TKuaipanSyncUtility>(nullptr, *a.Tree, a.Hosts);
    const PassResult restart = TimedPass(a, server);
    Report("nothing to do, new engine, 500 ms", restart, server);

    Side b("ot-bench-sync-b", token, hosts);
    const PassResult pull = TimedPass(b, server);
    Report("pull into an empty tree", pull, server);

    std::printf("\nrequests per pushed item: %.2f (target <= 3)\n",
                static_cast<double>(push.Requests) / items);
    std::printf("requests with nothing to do: %lld (target <= %d)\n", idle.Requests, 1 + classes);
    std::printf("nothing to do over %d settled items at the default pause: %.2f s "
                "(target < 1 s)\n",
                items, restart.Seconds);
    std::printf("pull of %zu items: %.2f s (target < 10 s for 1000)\n", b.ItemCount(),
                pull.Seconds);
    const bool ok =
        push.Ok && idle.Ok && restart.Ok && pull.Ok && b.ItemCount() == std::size_t(items);
    return {push, pull, ok};
}

// Each way twice, in the order kept, new, new, kept, so that neither gains
// from running second (a warm cache, a settled machine); the faster run of
// each way counts. Prints the ratios; answers whether every pass worked.
bool CompareConnections(int items, int classes, bool tls) {
    std::printf("\n######## %s ########\n",
                tls ? "every request over TLS" : "plain HTTP");
    ScenarioResult kept = RunScenario(items, classes, true, tls);
    ScenarioResult fresh = RunScenario(items, classes, false, tls);
    const ScenarioResult fresh2 = RunScenario(items, classes, false, tls);
    const ScenarioResult kept2 = RunScenario(items, classes, true, tls);
    auto faster = [](ScenarioResult& a, const ScenarioResult& b) {
        a.Push.Seconds = std::min(a.Push.Seconds, b.Push.Seconds);
        a.Pull.Seconds = std::min(a.Pull.Seconds, b.Pull.Seconds);
        a.Ok = a.Ok && b.Ok;
    };
    faster(kept, kept2);
    faster(fresh, fresh2);
    // Over plain HTTP a new connection costs one TCP set-up, which on
    // loopback is a small part of a request; over TLS it also costs a
    // handshake, which is what keeping connections saves a user.
    std::printf("\n%s: kept / new connection per request, the faster of two runs each%s:\n",
                tls ? "TLS" : "plain HTTP", tls ? " (target <= 0.5)" : "");
    std::printf("  push: %.2f s / %.2f s = %.2f\n", kept.Push.Seconds, fresh.Push.Seconds,
                kept.Push.Seconds / fresh.Push.Seconds);
    std::printf("  pull: %.2f s / %.2f s = %.2f\n", kept.Pull.Seconds, fresh.Pull.Seconds,
                kept.Pull.Seconds / fresh.Pull.Seconds);
    return kept.Ok && fresh.Ok;
}

// Process CPU time, user and system, in seconds.
double CpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The first synchronization of a tree made by hand before any account was
// bound, as a user meets it: every task goes up in one pass.
bool FirstPush(int items, int classes) {
    test::CloudServerProcess server;
    const auto token = server.IssueAccessToken();
    // The hosts file of scripts/run: it says the service is otCloudServer.
    const std::string conf = "all = " + server.PlainHost() + "\nall_tls = " + server.TlsHost() +
                             "\nserver = otcloudserver\n";
    TKuaipanHosts hosts = TKuaipanHosts::FromText(conf, "");
    hosts.CAFile = server.Hosts().CAFile;
    Side a("ot-bench-first", token, hosts);
    // The engine as a program makes it: its pacing comes from the hosts.
    a.Engine = std::make_unique<TKuaipanSyncUtility>(nullptr, *a.Tree, a.Hosts);
    FillTree(a, items, classes, "QF", [](int i) { return "remarks of task " + std::to_string(i); });
    std::printf("\n== first push: %d items in %d classes, hosts as scripts/run writes them "
                "(pause between rows %lld ms) ==\n",
                items, classes, static_cast<long long>(a.Engine->RowPause().count()));
    const PassResult push = TimedPass(a, server);
    Report("first push, whole pass", push, server);
    const long long uploads = server.Counter("upload_file");
    // Every request of the pass, the listings and the lists' folders included.
    std::printf("requests per pushed task: %.3f (target <= 1.05; uploads %lld)\n",
                static_cast<double>(push.Requests) / items, uploads);
    std::printf("first push of %d tasks: %.2f s (target <= 15 s for 2000)\n", items,
                push.Seconds);

    // One listing of 100 files as the server sends it, read by the client.
    auto session = std::make_shared<TOauthSession>(ConsumerKey, ConsumerSecret, server.Hosts());
    session->SetAuthToken(token.first, token.second);
    TKuaipanAPI api(session);
    api.CreateFolder("/Hundred");
    for (int i = 0; i < 100; ++i)
        api.UploadData(Format("/Hundred/%010dQL.tsk", 1300000000 + i), "x", true);
    const TKuaipanURL url = TOauthUtility::BuildGetURL(
        server.PlainHost(), "/1/metadata/app_folder/Hundred", {"list=True"}, session->Consumer(),
        session->Token().get(), false);
    const std::string reply = TKuaipanHTTPUtility::RequestByGET(server.Hosts(), url).Content;
    const int rounds = 2000;
    std::size_t seen = 0;
    double t0 = CpuSeconds();
    for (int i = 0; i < rounds; ++i)
        seen += TKuaipanFile::FromReply(reply).files.size();
    const double direct = (CpuSeconds() - t0) / rounds;
    t0 = CpuSeconds();
    for (int i = 0; i < rounds; ++i)
        seen += TKuaipanFile(TJSONUtility::Parse(reply)).files.size();
    const double flattened = (CpuSeconds() - t0) / rounds;
    std::printf("client CPU per listing of 100 files (%zu bytes): %.3f ms read straight into "
                "records (target <= 0.2 ms), %.3f ms through the flattened lines (before)%s\n",
                reply.size(), direct * 1e3, flattened * 1e3,
                seen == std::size_t(rounds) * 200 ? "" : " (WRONG COUNT)");
    return push.Ok && a.ItemCount() == std::size_t(items) && seen == std::size_t(rounds) * 200 &&
           uploads == items;
}

// The trees and the server's store go below TMPDIR. Unless it is set (or
// "disk" is asked for), that is a directory on tmpfs: the disk flushes of a
// pass cost the same with and without kept connections and would only hide
// what the comparison measures.
void UseTmpfsUnlessTold(bool disk) {
    if (disk || std::getenv("TMPDIR") || ::access("/dev/shm", W_OK) != 0) {
        std::printf("data below %s\n", fs::temp_directory_path().c_str());
        return;
    }
    static std::string dir = "/dev/shm/ot-bench-sync-XXXXXX";
    if (!::mkdtemp(dir.data()))
        throw std::runtime_error("mkdtemp failed");
    ::setenv("TMPDIR", dir.c_str(), 1);
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(dir, ec);
    });
    std::printf("data below %s (tmpfs; \"disk\" puts it below the system's temporary "
                "directory)\n",
                dir.c_str());
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "first") {
        try {
            UseTmpfsUnlessTold(false);
            return FirstPush(argc > 2 ? std::atoi(argv[2]) : 2000,
                             argc > 3 ? std::atoi(argv[3]) : 20)
                       ? 0
                       : 1;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "bench_sync: %s\n", e.what());
            return 2;
        }
    }
    const int items = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int classes = argc > 2 ? std::atoi(argv[2]) : 10;
    std::string transport = "both";
    bool disk = false;
    for (int i = 3; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "disk")
            disk = true;
        else
            transport = arg;
    }
    try {
        UseTmpfsUnlessTold(disk);
        bool ok = true;
        if (transport == "plain" || transport == "both")
            ok = CompareConnections(items, classes, false) && ok;
        if (transport == "tls" || transport == "both")
            ok = CompareConnections(items, classes, true) && ok;
        return ok ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_sync: %s\n", e.what());
        return 2;
    }
}
