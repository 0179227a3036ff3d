#pragma once
// A real otCloudServer for tests, in its own temporary directory.
//
//   ot::test::CloudServerProcess server;            // started, with one user
//   ... a session, TKuaipanAuthorise or the engine, given server.Hosts() ...
//   server.AddFault({.Kind = "upload_file", .Count = 2, .Status = 500});
//   server.Counter("metadata");                      // requests of one kind so far
//   server.Kill(); server.Restart();                 // kill -9, then the same data and ports
//
// What the constructor does: makes a temporary directory under TMPDIR (removed by the
// destructor), a test CA and a certificate for "localhost" and 127.0.0.1 signed by it
// (made once per test program and shared, since they are only read), adds the user
// User()/Password() with the fast test password hash, and starts the server on
// ephemeral loopback ports with fault injection on. It throws std::runtime_error
// (with the server's log) when the server cannot be started.
//
// Hosts(): the four service hosts as plain "127.0.0.1:<Port()>" and TLS
// "localhost:<TlsPort()>", with the CA file, as the client's host configuration.
//
// Request kinds (for faults and counters): request_token, access_token, account_info,
// metadata, shares, create_folder, move, copy, delete, upload_locate, upload_file,
// download_file, thumbnail, document_view, authorise_page, authorise_check, home,
// share_link, other. A fault with Kind "*" matches every kind.

#include "cloud/KuaipanHosts.h"

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace ot::test {

class CloudServerProcess {
public:
    struct Options {
        bool Start = true;
        std::string User = "alice";
        std::string Password = "open sesame";
        // Further options of "otCloudServer serve" (e.g. "--token-lifetime", "60").
        std::vector<std::string> ExtraArgs{};
        // A postgresql:// address: the server (and every command) uses that database,
        // the data directory only for arriving uploads. Empty: SQLite and files.
        std::string Store;
        // Whether the constructor adds User (a second server on one database finds it).
        bool AddUser = true;
    };

    // Fails (or delays, or damages) requests of one kind; see the server's admin endpoint.
    struct Fault {
        std::string Kind = "*";
        int Skip = 0;                  // matching requests let through first
        int Count = 1;                 // requests affected after those; -1 = all
        std::string Action = "status"; // "status", "delay", "truncate", "malformed"
        int Status = 500;              // for "status"
        int DelayMs = 0;               // for "delay"
        bool After = false;            // "status" after the operation was carried out
    };

    CloudServerProcess();
    explicit CloudServerProcess(Options options);
    ~CloudServerProcess();
    CloudServerProcess(const CloudServerProcess&) = delete;
    CloudServerProcess& operator=(const CloudServerProcess&) = delete;

    int Port() const { return FPort; }
    int TlsPort() const { return FTlsPort; }
    int AdminPort() const { return FAdminPort; }
    std::string PlainHost() const { return "127.0.0.1:" + std::to_string(FPort); }
    std::string TlsHost() const { return "localhost:" + std::to_string(FTlsPort); }
    const std::string& CAFile() const { return FCAFile; }
    const std::string& User() const { return FOptions.User; }
    const std::string& Password() const { return FOptions.Password; }
    // The test's temporary directory, the server's data directory below it.
    const std::filesystem::path& Dir() const { return FDir; }
    std::filesystem::path DataDir() const { return FDir / "data"; }
    std::string Log() const;

    TKuaipanHosts Hosts() const;
    // Writes Hosts() as the "cloudhosts.conf" of a program directory.
    void WriteHostsFile(const std::string& programDir) const;

    void Start();
    // kill -9 and wait for the process.
    void Kill();
    // SIGTERM and wait; answers the exit status.
    int Stop();
    // Starts again on the same data directory and the same ports.
    void Restart();
    bool Running() const { return FPid > 0; }
    // The server process (for reading its memory from /proc); -1 when stopped.
    pid_t Pid() const { return FPid; }

    // A fresh access token (key, secret) of a user for the program's consumer, issued
    // without the web login (the server's "issue-token" command).
    std::pair<std::string, std::string> IssueAccessToken(const std::string& user = {}) const;
    // Adds another user (fast test hash).
    void AddUser(const std::string& name, const std::string& password);
    // Runs "otCloudServer <args...> --data <DataDir()>" (and --store, with one) with the
    // given standard input;
    // answers the exit status, standard output in out.
    int RunCommand(const std::vector<std::string>& args, const std::string& input = {},
                   std::string* out = nullptr) const;

    void AddFault(const Fault& fault);
    void ClearFaults();
    std::map<std::string, std::int64_t> Counters() const;
    std::int64_t Counter(const std::string& kind) const;
    std::int64_t TotalRequests() const;
    void ResetCounters();
    // Moves the server's clock by seconds from the real time (token expiry, stale
    // timestamps) without waiting.
    void SetClockOffset(std::int64_t seconds);

    static std::string BinaryPath();

private:
    std::string Admin(const std::string& method, const std::string& path,
                      const std::string& body = {}) const;
    void StartProcess(int port, int tlsPort, int adminPort);

    Options FOptions;
    std::filesystem::path FDir;
    std::string FCAFile;
    std::string FCertFile;
    std::string FKeyFile;
    pid_t FPid = -1;
    int FPort = 0;
    int FTlsPort = 0;
    int FAdminPort = 0;
};

} // namespace ot::test
