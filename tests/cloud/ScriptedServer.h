#pragma once
// A small HTTP server inside a test, on an ephemeral loopback port, answering
// with whatever handlers the test installs; and helpers for a temporary
// directory and the host configuration pointing at such a server.

#include "cloud/HttpClient.h"
#include "cloud/KuaipanHosts.h"

#include <httplib.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>

namespace ot::test {

class ScriptedServer {
public:
    ScriptedServer() : FServer(std::make_unique<httplib::Server>()) {}
    // A TLS server with the given certificate and key files.
    ScriptedServer(const std::string& cert, const std::string& key)
        : FServer(std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str())) {}
    ~ScriptedServer() { Stop(); }

    httplib::Server& Http() { return *FServer; }

    // Binds and serves; returns once connections are accepted.
    int Start() {
        FPort = FServer->bind_to_any_port("127.0.0.1");
        FThread = std::thread([this] { FServer->listen_after_bind(); });
        while (!FServer->is_running())
            std::this_thread::yield();
        return FPort;
    }
    void Stop() {
        if (FThread.joinable()) {
            // The server waits for open connections; the test's thread
            // keeps its own open after a request.
            ot::THttpClient::CloseIdleConnections();
            FServer->stop();
            FThread.join();
        }
    }
    int Port() const { return FPort; }
    std::string Address() const { return "127.0.0.1:" + std::to_string(FPort); }

private:
    std::unique_ptr<httplib::Server> FServer;
    std::thread FThread;
    int FPort = 0;
};

// A fresh directory under /tmp, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::random_device rd;
        FPath = std::filesystem::temp_directory_path() /
                ("ot-cloud-test-" + std::to_string(rd()) + std::to_string(rd()));
        std::filesystem::create_directories(FPath);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(FPath, ec);
    }
    const std::filesystem::path& Path() const { return FPath; }
    std::string operator/(const std::string& name) const { return (FPath / name).string(); }

private:
    std::filesystem::path FPath;
};

// A self-signed certificate for the name "localhost" only (not 127.0.0.1),
// valid for a century, and its key.
inline std::string LocalhostCert() {
    return std::string(OT_FIXTURES_DIR) + "/cloud/localhost-cert.pem";
}
inline std::string LocalhostKey() {
    return std::string(OT_FIXTURES_DIR) + "/cloud/localhost-key.pem";
}

// Every host at the plain/tls addresses, TLS verified against caFile (empty:
// the system's store).
inline TKuaipanHosts HostsAt(const std::string& plain, const std::string& tls = "",
                             const std::string& caFile = "") {
    TKuaipanHosts h;
    h.Api = h.Content = h.Conversion = h.Site = TKuaipanEndpoint{plain, tls};
    h.CAFile = caFile;
    return h;
}

} // namespace ot::test
