#include "upgrader/UpdateServerProcess.h"

#include "common/FileUtil.h"
#include "package/OtPackageSignature.h"
#include "package/OtUpdateListFormat.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace ot::test {

namespace fs = std::filesystem;

namespace {

pid_t Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        throw std::runtime_error("cannot start " + args[0]);
    return pid;
}

int Wait(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

void WriteTestFile(const fs::path& file, const std::string& content) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
}

std::string ReadTestFile(const fs::path& file) {
    std::string s;
    ReadWholeFile(file, s);
    return s;
}

int RunProgram(const std::vector<std::string>& args) {
    return Wait(Spawn(args));
}

TempDir::TempDir() : TempDir(std::string()) {}

TempDir::TempDir(const std::string& ABase) {
    const char* base = std::getenv("TMPDIR");
    std::string templ = (!ABase.empty() ? ABase : std::string(base && *base ? base : "/tmp")) +
                        "/otupgrade.XXXXXX";
    if (!mkdtemp(templ.data()))
        throw std::runtime_error("mkdtemp failed");
    FPath = templ;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(FPath, ec);
}

std::string UpdateServerProcess::BinaryPath() {
    return OT_UPDATESERVER_BIN;
}

UpdateServerProcess::UpdateServerProcess(const std::vector<std::string>& extraArgs)
    : FRoot(FDir.Path() / "root") {
    std::string secret;
    NewPackageKeyPair(FPublicKey, secret);
    FSecretKeyFile = (FDir.Path() / "publisher.key").string();
    if (!WriteFileAtomic(FSecretKeyFile, secret, 0600))
        throw std::runtime_error("cannot write the test key");
    const fs::path ports = FDir.Path() / "ports.json";
    std::vector<std::string> args = {BinaryPath(),   "serve",        "--root",
                                     FRoot.string(), "--port",       "0",
                                     "--ports-file", ports.string(), "--quiet"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    FPid = Spawn(args);
    for (int i = 0; i < 1000 && FPort == 0; ++i) {
        std::string text;
        if (ReadWholeFile(ports, text))
            FPort = nlohmann::json::parse(text, nullptr, false).value("port", 0);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (FPort == 0)
        throw std::runtime_error("otUpdateServer did not start");
}

UpdateServerProcess::~UpdateServerProcess() {
    if (FPid > 0) {
        kill(FPid, SIGTERM);
        Wait(FPid);
    }
}

int UpdateServerProcess::Publish(const std::vector<std::string>& options) const {
    std::vector<std::string> args = {BinaryPath(), "publish",      "--root",     FRoot.string(),
                                     "--key",      FSecretKeyFile, "--url-base", Host()};
    args.insert(args.end(), options.begin(), options.end());
    return RunProgram(args);
}

fs::path UpdateServerProcess::MakeFolder(
    const std::string& name, const std::vector<std::pair<std::string, std::string>>& files) const {
    const fs::path dir = FDir.Path() / "folders" / name;
    for (const auto& [path, content] : files) {
        fs::create_directories((dir / path).parent_path());
        std::ofstream(dir / path, std::ios::binary) << content;
    }
    return dir;
}

fs::path UpdateServerProcess::ListFile(const std::string& lang) const {
    return FRoot / "lists" / UpgradeAppListFileName(lang);
}

std::vector<server::AppUsageRecord> UpdateServerProcess::UsageRecords() const {
    server::UsageLog log(FRoot);
    return log.All();
}

} // namespace ot::test
