#pragma once
// A real otUpdateServer for tests, serving a temporary root folder on an
// ephemeral loopback port, with a publisher key pair of the test's own.
//
//   ot::test::UpdateServerProcess server;
//   server.Publish({"--name", "otTodolist", "--version", "1.0.2013.1", "--from", dir});
//   ... the upgrade program with server.Host() as "SarnicHost" and
//       server.PublicKey() as the trusted key ...
//   server.UsageRecords();

#include "UpdateServer.h"

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace ot::test {

// A file with the given content, its folders made; the whole content of a file.
void WriteTestFile(const std::filesystem::path& file, const std::string& content);
std::string ReadTestFile(const std::filesystem::path& file);

// Runs a program to its end; answers its exit status.
int RunProgram(const std::vector<std::string>& args);

// A temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir();
    // Below ABase instead of $TMPDIR (for a directory another user must reach).
    explicit TempDir(const std::string& ABase);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return FPath; }

private:
    std::filesystem::path FPath;
};

class UpdateServerProcess {
public:
    // extraArgs: further options of "otUpdateServer serve".
    explicit UpdateServerProcess(const std::vector<std::string>& extraArgs = {});
    ~UpdateServerProcess();
    UpdateServerProcess(const UpdateServerProcess&) = delete;
    UpdateServerProcess& operator=(const UpdateServerProcess&) = delete;

    int Port() const { return FPort; }
    std::string Host() const { return "http://127.0.0.1:" + std::to_string(FPort); }
    const std::filesystem::path& Root() const { return FRoot; }
    const std::string& PublicKey() const { return FPublicKey; }
    const std::string& SecretKeyFile() const { return FSecretKeyFile; }

    // "otUpdateServer publish --root ... --key ... --url-base Host()" with the
    // further options given; answers the exit status.
    int Publish(const std::vector<std::string>& options) const;
    // A package folder with the given files (path, content), made below the root's parent.
    std::filesystem::path
    MakeFolder(const std::string& name,
               const std::vector<std::pair<std::string, std::string>>& files) const;
    std::filesystem::path ListFile(const std::string& lang = "en") const;
    std::vector<server::AppUsageRecord> UsageRecords() const;

    static std::string BinaryPath();

private:
    TempDir FDir;
    std::filesystem::path FRoot;
    std::string FPublicKey;
    std::string FSecretKeyFile;
    pid_t FPid = -1;
    int FPort = 0;
};

} // namespace ot::test
