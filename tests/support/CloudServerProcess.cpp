#include "support/CloudServerProcess.h"

#include "cloud/KuaipanHTTPUtility.h"
#include "common/FileUtil.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace ot::test {

namespace fs = std::filesystem;

namespace {

// A fresh directory under TMPDIR (the test script points it at tmpfs).
fs::path MakeTempDir(const std::string& name) {
    std::string tmpl = (fs::temp_directory_path() / (name + "-XXXXXX")).string();
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed");
    return tmpl;
}

struct Spawned {
    pid_t Pid = -1;
    int StdoutFd = -1; // read end, when asked for
};

// Starts a program; stdin from a pipe fed with input (or /dev/null), stdout to a pipe
// when captureStdout, stderr appended to errFile (or /dev/null).
Spawned SpawnProgram(const std::vector<std::string>& args, const std::string* input,
                     bool captureStdout, const std::string& errFile) {
    int inPipe[2] = {-1, -1}, outPipe[2] = {-1, -1};
    if (input && pipe2(inPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    if (captureStdout && pipe2(outPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (input)
        posix_spawn_file_actions_adddup2(&fa, inPipe[0], 0);
    else
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (captureStdout)
        posix_spawn_file_actions_adddup2(&fa, outPipe[1], 1);
    else
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, errFile.empty() ? "/dev/null" : errFile.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (input)
        close(inPipe[0]);
    if (captureStdout)
        close(outPipe[1]);
    if (rc != 0) {
        if (input)
            close(inPipe[1]);
        if (captureStdout)
            close(outPipe[0]);
        throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(rc));
    }
    if (input) {
        // The inputs are a line or two; they fit in the pipe's buffer.
        if (write(inPipe[1], input->data(), input->size()) < 0) {
        }
        close(inPipe[1]);
    }
    return {pid, captureStdout ? outPipe[0] : -1};
}

int WaitFor(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

std::string ReadAll(int fd) {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            out.append(buf, static_cast<std::size_t>(n));
    return out;
}

int RunProgram(const std::vector<std::string>& args, const std::string* input, std::string* out,
               const std::string& errFile = {}) {
    Spawned s = SpawnProgram(args, input, out != nullptr, errFile);
    if (out) {
        *out = ReadAll(s.StdoutFd);
        close(s.StdoutFd);
    }
    return WaitFor(s.Pid);
}

// The test CA and the localhost certificate, made once per test program.
struct TestCertificates {
    fs::path Dir;
    std::string CA, Cert, Key;

    TestCertificates() {
        Dir = MakeTempDir("ot-test-certs");
        CA = (Dir / "ca.pem").string();
        Cert = (Dir / "server.pem").string();
        Key = (Dir / "server.key").string();
        std::string caKey = (Dir / "ca.key").string(), csr = (Dir / "server.csr").string();
        std::string ext = (Dir / "ext.cnf").string();
        WriteFileAtomic(ext, "subjectAltName=DNS:localhost,IP:127.0.0.1\n"
                             "basicConstraints=CA:FALSE\n"
                             "keyUsage=digitalSignature,keyEncipherment\n"
                             "extendedKeyUsage=serverAuth\n");
        const std::vector<std::vector<std::string>> steps = {
            {"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
             "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", caKey, "-out", CA, "-days", "30",
             "-subj", "/CN=otCloudServer test CA"},
            {"/usr/bin/openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
             "-nodes", "-keyout", Key, "-out", csr, "-subj", "/CN=localhost"},
            {"/usr/bin/openssl", "x509", "-req", "-in", csr, "-CA", CA, "-CAkey", caKey,
             "-CAcreateserial", "-out", Cert, "-days", "30", "-extfile", ext},
        };
        for (const auto& step : steps)
            if (RunProgram(step, nullptr, nullptr) != 0)
                throw std::runtime_error("openssl failed to make the test certificates");
    }
    ~TestCertificates() {
        std::error_code ec;
        fs::remove_all(Dir, ec);
    }
};

const TestCertificates& Certificates() {
    static TestCertificates certs;
    return certs;
}

} // namespace

std::string CloudServerProcess::BinaryPath() {
    return OT_CLOUDSERVER_BIN;
}

CloudServerProcess::CloudServerProcess() : CloudServerProcess(Options{}) {}

CloudServerProcess::CloudServerProcess(Options options) : FOptions(std::move(options)) {
    FDir = MakeTempDir("ot-cloudserver");
    const auto& certs = Certificates();
    FCAFile = certs.CA;
    FCertFile = certs.Cert;
    FKeyFile = certs.Key;
    try {
        if (FOptions.AddUser)
            AddUser(FOptions.User, FOptions.Password);
        if (FOptions.Start)
            Start();
    } catch (...) {
        std::error_code ec;
        fs::remove_all(FDir, ec);
        throw;
    }
}

CloudServerProcess::~CloudServerProcess() {
    if (FPid > 0)
        Kill();
    std::error_code ec;
    fs::remove_all(FDir, ec);
}

std::string CloudServerProcess::Log() const {
    std::string log;
    ReadWholeFile(FDir / "server.log", log);
    return log;
}

TKuaipanHosts CloudServerProcess::Hosts() const {
    TKuaipanHosts h = TKuaipanHosts::Defaults();
    TKuaipanEndpoint e{PlainHost(), TlsHost()};
    h.Api = h.Content = h.Conversion = h.Site = e;
    h.CAFile = FCAFile;
    return h;
}

void CloudServerProcess::WriteHostsFile(const std::string& programDir) const {
    const std::string text =
        "all = " + PlainHost() + "\nall_tls = " + TlsHost() + "\nca_file = " + FCAFile + "\n";
    if (!WriteFileAtomic(fs::path(programDir) / KuaipanHostsFileName, text))
        throw std::runtime_error("cannot write the hosts file in " + programDir);
}

int CloudServerProcess::RunCommand(const std::vector<std::string>& args, const std::string& input,
                                   std::string* out) const {
    std::vector<std::string> full = {BinaryPath()};
    full.insert(full.end(), args.begin(), args.end());
    full.push_back("--data");
    full.push_back(DataDir().string());
    if (!FOptions.Store.empty()) {
        full.push_back("--store");
        full.push_back(FOptions.Store);
    }
    return RunProgram(full, &input, out, (FDir / "commands.log").string());
}

void CloudServerProcess::AddUser(const std::string& name, const std::string& password) {
    if (RunCommand({"add-user", "--user", name, "--weak-hash"}, password + "\n") != 0)
        throw std::runtime_error("otCloudServer add-user " + name + " failed");
}

std::pair<std::string, std::string>
CloudServerProcess::IssueAccessToken(const std::string& user) const {
    std::string out;
    if (RunCommand({"issue-token", "--user", user.empty() ? FOptions.User : user}, {}, &out) != 0)
        throw std::runtime_error("otCloudServer issue-token failed");
    auto nl = out.find('\n');
    auto nl2 = out.find('\n', nl + 1);
    if (nl == std::string::npos || nl2 == std::string::npos)
        throw std::runtime_error("otCloudServer issue-token printed no token");
    return {out.substr(0, nl), out.substr(nl + 1, nl2 - nl - 1)};
}

void CloudServerProcess::Start() {
    StartProcess(0, 0, 0);
}

void CloudServerProcess::StartProcess(int port, int tlsPort, int adminPort) {
    if (FPid > 0)
        throw std::runtime_error("the server is running already");
    fs::path portsFile = FDir / "ports.json";
    std::error_code ec;
    fs::remove(portsFile, ec);
    std::vector<std::string> args = {BinaryPath(),
                                     "serve",
                                     "--data",
                                     DataDir().string(),
                                     "--cert",
                                     FCertFile,
                                     "--key",
                                     FKeyFile,
                                     "--port",
                                     std::to_string(port),
                                     "--tls-port",
                                     std::to_string(tlsPort),
                                     "--ports-file",
                                     portsFile.string(),
                                     "--fault-injection",
                                     "--admin-port",
                                     std::to_string(adminPort),
                                     "--threads",
                                     "4"};
    if (!FOptions.Store.empty()) {
        args.push_back("--store");
        args.push_back(FOptions.Store);
    }
    args.insert(args.end(), FOptions.ExtraArgs.begin(), FOptions.ExtraArgs.end());
    Spawned s = SpawnProgram(args, nullptr, true, (FDir / "server.log").string());
    FPid = s.Pid;
    // The server prints one line once every port is bound (the ports file is written
    // just before); the end of its output without that line means it gave up.
    std::string line;
    char c;
    pollfd pfd{s.StdoutFd, POLLIN, 0};
    bool ready = false;
    while (poll(&pfd, 1, 30000) > 0) {
        ssize_t n = read(s.StdoutFd, &c, 1);
        if (n <= 0)
            break;
        if (c == '\n') {
            ready = true;
            break;
        }
        line += c;
    }
    close(s.StdoutFd);
    std::string ports;
    if (!ready || !ReadWholeFile(portsFile, ports)) {
        Kill();
        throw std::runtime_error("otCloudServer did not start:\n" + Log());
    }
    auto j = nlohmann::json::parse(ports);
    FPort = j.at("port").get<int>();
    FTlsPort = j.at("tls_port").get<int>();
    FAdminPort = j.at("admin_port").get<int>();
}

void CloudServerProcess::Kill() {
    if (FPid <= 0)
        return;
    ::kill(FPid, SIGKILL);
    WaitFor(FPid);
    FPid = -1;
}

int CloudServerProcess::Stop() {
    if (FPid <= 0)
        return -1;
    ::kill(FPid, SIGTERM);
    int status = WaitFor(FPid);
    FPid = -1;
    return status;
}

void CloudServerProcess::Restart() {
    if (FPid > 0)
        Kill();
    StartProcess(FPort, FTlsPort, FAdminPort);
}

std::string CloudServerProcess::Admin(const std::string& method, const std::string& path,
                                      const std::string& body) const {
    httplib::Client cli("127.0.0.1", FAdminPort);
    cli.set_connection_timeout(10, 0);
    cli.set_read_timeout(30, 0);
    httplib::Result r = method == "GET"      ? cli.Get(path.c_str())
                        : method == "DELETE" ? cli.Delete(path.c_str())
                                             : cli.Post(path.c_str(), body, "application/json");
    if (!r || r->status != 200)
        throw std::runtime_error("admin request " + method + " " + path + " failed");
    return r->body;
}

void CloudServerProcess::AddFault(const Fault& f) {
    nlohmann::json j = {{"kind", f.Kind},     {"skip", f.Skip},     {"count", f.Count},
                        {"action", f.Action}, {"status", f.Status}, {"delay_ms", f.DelayMs},
                        {"after", f.After}};
    Admin("POST", "/faults", j.dump());
}

void CloudServerProcess::ClearFaults() {
    Admin("DELETE", "/faults");
}

std::map<std::string, std::int64_t> CloudServerProcess::Counters() const {
    std::map<std::string, std::int64_t> out;
    auto all = nlohmann::json::parse(Admin("GET", "/counters"));
    for (const auto& [k, v] : all.items())
        if (k != "total")
            out[k] = v.get<std::int64_t>();
    return out;
}

std::int64_t CloudServerProcess::Counter(const std::string& kind) const {
    auto all = Counters();
    auto it = all.find(kind);
    return it == all.end() ? 0 : it->second;
}

std::int64_t CloudServerProcess::TotalRequests() const {
    return nlohmann::json::parse(Admin("GET", "/counters")).value("total", std::int64_t{0});
}

void CloudServerProcess::ResetCounters() {
    Admin("DELETE", "/counters");
}

void CloudServerProcess::SetClockOffset(std::int64_t seconds) {
    Admin("POST", "/clock", nlohmann::json{{"offset", seconds}}.dump());
}

} // namespace ot::test
