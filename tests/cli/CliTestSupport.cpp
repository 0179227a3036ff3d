#include "cli/CliTestSupport.h"

#include "cli/CliApp.h"

#include "syncqueue/SyncQueueDatabase.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace ot::clitest {

namespace fs = std::filesystem;

namespace {

struct TPipe {
    int Fd[2] = {-1, -1};
    TPipe() {
        if (::pipe2(Fd, O_CLOEXEC) != 0)
            throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    ~TPipe() {
        CloseEnd(0);
        CloseEnd(1);
    }
    void CloseEnd(int i) {
        if (Fd[i] >= 0)
            ::close(Fd[i]);
        Fd[i] = -1;
    }
};

} // namespace

std::string OttodoPath() {
    return std::string(OT_PROGRAM_DIR) + "/ottodo";
}

TRunResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                      const std::string& input) {
    TPipe in, out, err;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.Fd[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out.Fd[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err.Fd[1], STDERR_FILENO);

    std::vector<std::string> argvStrings;
    argvStrings.push_back(program);
    argvStrings.insert(argvStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvStrings)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
    in.CloseEnd(0);
    out.CloseEnd(1);
    err.CloseEnd(1);

    // Feed the input and drain both outputs together, so that a child that
    // writes much to one stream never blocks on the other.
    TRunResult r;
    std::size_t written = 0;
    if (input.empty())
        in.CloseEnd(1);
    signal(SIGPIPE, SIG_IGN);
    while (out.Fd[0] >= 0 || err.Fd[0] >= 0) {
        pollfd fds[3];
        int n = 0;
        int outIdx = -1, errIdx = -1, inIdx = -1;
        if (out.Fd[0] >= 0) {
            fds[n] = {out.Fd[0], POLLIN, 0};
            outIdx = n++;
        }
        if (err.Fd[0] >= 0) {
            fds[n] = {err.Fd[0], POLLIN, 0};
            errIdx = n++;
        }
        if (in.Fd[1] >= 0) {
            fds[n] = {in.Fd[1], POLLOUT, 0};
            inIdx = n++;
        }
        if (::poll(fds, n, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        char buf[4096];
        auto drain = [&](int idx, TPipe& p, std::string& into) {
            if (idx < 0 || !(fds[idx].revents & (POLLIN | POLLHUP | POLLERR)))
                return;
            ssize_t got = ::read(p.Fd[0], buf, sizeof buf);
            if (got > 0)
                into.append(buf, static_cast<std::size_t>(got));
            else if (got == 0 || errno != EINTR)
                p.CloseEnd(0);
        };
        drain(outIdx, out, r.Out);
        drain(errIdx, err, r.Err);
        if (inIdx >= 0 && (fds[inIdx].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t put = ::write(in.Fd[1], input.data() + written, input.size() - written);
            if (put > 0)
                written += static_cast<std::size_t>(put);
            if (put < 0 || written == input.size())
                in.CloseEnd(1);
        }
    }
    in.CloseEnd(1);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

TProgramDir::TProgramDir(bool withDatabase) {
    std::string tmpl = (fs::temp_directory_path() / "ottodo-test-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    FPath = tmpl;
    if (withDatabase) {
        std::string error;
        if (!CreateSyncQueueDatabase(Database(), &error))
            throw std::runtime_error(error);
    }
}

TProgramDir::~TProgramDir() {
    std::error_code ec;
    fs::remove_all(FPath, ec);
}

TRunResult TProgramDir::Run(const std::vector<std::string>& args, const std::string& input) const {
    std::vector<std::string> all = {"--dir", FPath};
    all.insert(all.end(), args.begin(), args.end());
    std::ostringstream out, err;
    std::istringstream in(input);
    cli::TCliIO io{out, err, in, [&in](const std::string&) -> std::optional<std::string> {
                       std::string line;
                       if (!std::getline(in, line))
                           return std::nullopt;
                       return line;
                   }};
    TRunResult r;
    r.ExitCode = cli::RunOttodo(all, io);
    r.Out = out.str();
    r.Err = err.str();
    return r;
}

TRunResult TProgramDir::Spawn(const std::vector<std::string>& args,
                              const std::string& input) const {
    std::vector<std::string> all = {"--dir", FPath};
    all.insert(all.end(), args.begin(), args.end());
    return RunProcess(OttodoPath(), all, input);
}

std::string TProgramDir::RunOk(const std::vector<std::string>& args) const {
    TRunResult r = Run(args);
    if (r.ExitCode != 0) {
        std::string cmd;
        for (const auto& a : args)
            cmd += " " + a;
        throw std::runtime_error("ottodo" + cmd + " exited with " + std::to_string(r.ExitCode) +
                                 ": " + r.Err);
    }
    if (!r.Out.empty() && r.Out.back() == '\n')
        r.Out.pop_back();
    return r.Out;
}

std::map<std::string, std::string> TProgramDir::Tree() const {
    std::map<std::string, std::string> tree;
    std::error_code ec;
    if (!fs::exists(TaskData(), ec))
        return tree;
    for (const auto& e : fs::recursive_directory_iterator(TaskData())) {
        std::string rel = fs::relative(e.path(), TaskData()).string();
        if (e.is_directory()) {
            tree[rel + "/"] = "";
        } else {
            std::string content;
            FILE* f = std::fopen(e.path().c_str(), "rb");
            if (f) {
                char buf[4096];
                std::size_t n;
                while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
                    content.append(buf, n);
                std::fclose(f);
            }
            tree[rel] = content;
        }
    }
    return tree;
}

std::map<std::string, TOtSyncQueueDB> TProgramDir::Rows() const {
    TOtSyncQueueDBUtility db(Database());
    TOtSyncQueueList list;
    db.ListSyncQueue(list, "");
    std::map<std::string, TOtSyncQueueDB> rows;
    for (auto& r : list)
        rows[r.TaskItemID()] = r;
    return rows;
}

void TProgramDir::SetCloudFileID(const std::string& id, const std::string& fileId) const {
    TOtSyncQueueDBUtility db(Database());
    if (!db.SetKuaipanFileID(id, fileId))
        throw std::runtime_error("no queue row for " + id);
}

} // namespace ot::clitest
