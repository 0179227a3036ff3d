// ottodo as users run it, each command a whole process, against the
// references of the same run:
//   - list and list --json over 10,000 tasks in 100 lists, against a plain
//     loop that lists and reads the same files (bench_list_read_loop) and
//     Taskwarrior's export and list of 10,000 comparable tasks;
//   - find over that tree, against list --json (both read every file);
//   - add on that tree, against add on an empty tree and Taskwarrior's add.
// Runs are interleaved round by round; medians of wall time and the peak
// resident size of each command (one run more each) are reported, and the
// ratios of the targets.
//
//   bench_cli [rounds [data-dir]]     (default 9 rounds, data below the
//                                      benchmark directory; Taskwarrior's
//                                      "task" must be on PATH)

#include "BenchTaskTree.h"

#include "common/AppPaths.h"
#include "syncqueue/SyncQueueDatabase.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

using namespace ot;
namespace fs = std::filesystem;

namespace {

using bench::kTreeClasses;
using bench::kTreeItemsPerClass;

struct TRun {
    double Seconds = 0;
    long MaxRssKb = 0;
    long OutputBytes = 0;
};

// Runs argv with the extra environment, standard output into outFile (or
// nowhere); exits the benchmark when the command fails. The peak resident
// size of a process started straight from this one counts this process's
// own (the exec replaces a copy of it), and so does that of every process
// that descends from it through exec alone. A run through the runner
// (bench_cli --exec FILE) measures the command's: the runner, small, forks
// the command and writes the peak it reports into FILE.
TRun Run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
         const std::string& outFile = "/dev/null", bool viaRunner = false) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e)
        envStrings.emplace_back(*e);
    envStrings.insert(envStrings.end(), env.begin(), env.end());
    std::vector<char*> args, envp;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : envStrings)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    const std::string runnerRss = fs::temp_directory_path() / "bench_cli_rss";
    if (viaRunner) {
        args.insert(args.begin(), {const_cast<char*>("/proc/self/exe"),
                                   const_cast<char*>("--exec"),
                                   const_cast<char*>(runnerRss.c_str())});
    }
    TRun r;
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) {
        std::fprintf(stderr, "bench_cli: cannot start %s\n", args[0]);
        std::exit(2);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    r.Seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    posix_spawn_file_actions_destroy(&actions);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string line;
        for (const auto& a : argv)
            line += " " + a;
        std::fprintf(stderr, "bench_cli: failed:%s\n", line.c_str());
        std::exit(2);
    }
    r.MaxRssKb = usage.ru_maxrss;
    if (viaRunner) {
        std::ifstream in(runnerRss);
        in >> r.MaxRssKb;
    }
    if (outFile != "/dev/null") {
        std::error_code ec;
        r.OutputBytes = static_cast<long>(fs::file_size(outFile, ec));
    }
    return r;
}

// A program directory with a queue database and, when wanted, the tree of
// 10,000 tasks.
TAppPaths MakeProgramDir(const fs::path& dir, bool withTree) {
    fs::create_directories(dir);
    TAppPaths paths = TAppPaths::FromProgramDir(dir.string());
    fs::create_directories(paths.TaskDataPath);
    std::string error;
    if (!CreateSyncQueueDatabase(paths.DBFileName, &error)) {
        std::fprintf(stderr, "bench_cli: %s\n", error.c_str());
        std::exit(2);
    }
    if (withTree)
        bench::BuildBenchTree(paths.TaskDataPath);
    return paths;
}

// Taskwarrior's data of the same 10,000 tasks: projects for lists,
// annotations for remarks.
std::vector<std::string> MakeTaskwarrior(const fs::path& dir, const std::string& task) {
    fs::create_directories(dir / "data");
    const fs::path rc = dir / "taskrc";
    std::ofstream(rc) << "data.location=" << (dir / "data").string() << "\n"
                      << "confirmation=off\nverbose=nothing\nnews.version=2.6.2\n";
    std::vector<std::string> env = {"TASKRC=" + rc.string(),
                                    "TASKDATA=" + (dir / "data").string()};
    nlohmann::json all = nlohmann::json::array();
    for (int c = 0; c < kTreeClasses; ++c)
        for (int i = 0; i < kTreeItemsPerClass; ++i) {
            nlohmann::json t;
            t["description"] = "Task " + std::to_string(i) + " of list " + std::to_string(c);
            t["project"] = "List" + std::to_string(c);
            t["status"] = "pending";
            t["entry"] = "20160305T080000Z";
            if (i % 3 == 0)
                t["due"] = "201604" + std::string(1 + i % 28 < 10 ? "0" : "") +
                           std::to_string(1 + i % 28) + "T091500Z";
            if (i % 10 >= 7)
                t["priority"] = "H";
            if (i % 2 == 0)
                t["annotations"] = {
                    {{"entry", "20160305T080000Z"}, {"description", bench::kTreeRemarks[i / 2 % 4]}}};
            all.push_back(std::move(t));
        }
    const fs::path file = dir / "import.json";
    std::ofstream(file) << all.dump();
    Run({task, "import", file.string()}, env);
    return env;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

long MedianKb(std::vector<long> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

struct TSeries {
    std::vector<double> Seconds;
    std::vector<long> Rss; // of runs through the runner
    void Add(const TRun& r) { Seconds.push_back(r.Seconds); }
    void AddMemory(const TRun& r) { Rss.push_back(r.MaxRssKb); }
    double S() const { return Median(Seconds); }
    double MB() const { return MedianKb(Rss) / 1024.0; }
};

} // namespace

int main(int argc, char** argv) {
    if (argc > 3 && std::string(argv[1]) == "--exec") {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::execvp(argv[3], argv + 3);
            ::_exit(127);
        }
        int status = 0;
        rusage usage{};
        ::wait4(pid, &status, 0, &usage);
        std::ofstream(argv[2]) << usage.ru_maxrss << "\n";
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    }
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
    const fs::path root = argc > 2 ? fs::path(argv[2]) : fs::path(OT_BENCH_DIR) / "cli-data";
    const std::string ottodo = std::string(OT_PROGRAM_DIR) + "/ottodo";
    const std::string loop = std::string(OT_BENCH_DIR) + "/bench_list_read_loop";
    const std::string task = "task";

    std::error_code ec;
    fs::remove_all(root, ec);
    const TAppPaths big = MakeProgramDir(root / "big", true);
    const TAppPaths empty = MakeProgramDir(root / "empty", false);
    const auto tw = MakeTaskwarrior(root / "taskwarrior", task);
    const std::string bigDir = (root / "big").string(), emptyDir = (root / "empty").string();

    std::map<std::string, TSeries> s;
    const std::vector<std::pair<std::string, std::vector<std::string>>> reads = {
        {"plain list-and-read loop", {loop, big.TaskDataPath}},
        {"ottodo list", {ottodo, "--dir", bigDir, "list"}},
        {"ottodo list --json", {ottodo, "--dir", bigDir, "list", "--json"}},
        // Every title and remarks read and searched; words of some remarks.
        {"ottodo find", {ottodo, "--dir", bigDir, "find", "more", "detail"}},
        {"task export", {task, "export"}},
        {"task list", {task, "list", "limit:none"}},
    };
    for (int r = 0; r < rounds; ++r)
        for (const auto& [name, cmd] : reads)
            s[name].Add(Run(cmd, cmd[0] == task ? tw : std::vector<std::string>{}));
    for (const auto& [name, cmd] : reads)
        s[name].AddMemory(
            Run(cmd, cmd[0] == task ? tw : std::vector<std::string>{}, "/dev/null", true));

    // Adds change the trees they measure; the 10,000-task tree grows by a
    // few items and the empty one stays small.
    int n = 0;
    for (int r = 0; r < rounds * 2; ++r) {
        const std::string title = "Added task " + std::to_string(++n);
        s["ottodo add, 10,000-task tree"].Add(Run({ottodo, "--dir", bigDir, "add", title}));
        s["ottodo add, empty tree"].Add(Run({ottodo, "--dir", emptyDir, "add", title}));
        s["task add, 10,000 tasks"].Add(Run({task, "add", title}, tw));
    }
    s["ottodo add, 10,000-task tree"].AddMemory(
        Run({ottodo, "--dir", bigDir, "add", "last"}, {}, "/dev/null", true));
    s["ottodo add, empty tree"].AddMemory(
        Run({ottodo, "--dir", emptyDir, "add", "last"}, {}, "/dev/null", true));
    s["task add, 10,000 tasks"].AddMemory(Run({task, "add", "last"}, tw, "/dev/null", true));

    const TRun jsonOut =
        Run({ottodo, "--dir", bigDir, "list", "--json"}, {}, (root / "list.json").string());
    const TRun twOut = Run({task, "export"}, tw, (root / "export.json").string());
    const TRun textOut = Run({ottodo, "--dir", bigDir, "list"}, {}, (root / "list.txt").string());

    std::printf("%d rounds, medians (10,000 tasks in %d lists)\n\n", rounds, kTreeClasses);
    for (const auto& [name, series] : s)
        std::printf("%-32s %8.1f ms %8.1f MB\n", name.c_str(), series.S() * 1000, series.MB());
    std::printf("\noutput: ottodo list %ld bytes, list --json %ld bytes, task export %ld bytes\n",
                textOut.OutputBytes, jsonOut.OutputBytes, twOut.OutputBytes);

    const double loopS = s["plain list-and-read loop"].S();
    std::printf("\nratios (target):\n");
    std::printf("  ottodo list / loop                %5.2f  (<= 1.6, under 20 MB: %.1f MB)\n",
                s["ottodo list"].S() / loopS, s["ottodo list"].MB());
    std::printf("  ottodo list --json / loop         %5.2f  (<= 2, under 20 MB: %.1f MB)\n",
                s["ottodo list --json"].S() / loopS, s["ottodo list --json"].MB());
    std::printf("  ottodo find / list --json         %5.2f  (<= 1.5)\n",
                s["ottodo find"].S() / s["ottodo list --json"].S());
    std::printf("  ottodo list --json / task export  %5.2f\n",
                s["ottodo list --json"].S() / s["task export"].S());
    std::printf("  ottodo list / task list           %5.2f\n",
                s["ottodo list"].S() / s["task list"].S());
    std::printf("  ottodo add, 10,000 / empty        %5.2f  (<= 1.5)\n",
                s["ottodo add, 10,000-task tree"].S() / s["ottodo add, empty tree"].S());
    std::printf("  ottodo add / task add, 10,000     %5.2f\n",
                s["ottodo add, 10,000-task tree"].S() / s["task add, 10,000 tasks"].S());
    return 0;
}
