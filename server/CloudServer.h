#pragma once
// otCloudServer: the cloud storage service the program synchronizes with. One plain
// HTTP and one HTTPS listener serve every host of the service (API, content, upload,
// conversion and the web site of the account login); requests are told apart by path.
// With fault injection switched on, a third listener on loopback lets tests inject
// faults, read request counters and move the server's clock.

#include "CloudStore.h"
#include "FaultInjector.h"
#include "OauthCheck.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace ot::server {

struct ServerOptions {
    std::filesystem::path DataDir;
    std::string Bind = "127.0.0.1";
    int Port = 8080;    // plain HTTP; 0 picks a free port
    int TlsPort = 8443; // HTTPS; 0 picks a free port
    std::string CertFile;
    std::string KeyFile;
    bool FaultInjection = false; // tests only
    int AdminPort = 0;           // with fault injection; always bound to loopback
    int Threads = 8;             // worker threads per listener
    std::int64_t TimestampWindow = 300;
    std::int64_t TokenLifetime = 0; // seconds an access token lives; 0 = until revoked
    std::int64_t RequestTokenLifetime = 1800;
    StoreLimits Limits;
    bool Quiet = false; // no access log
};

class CloudServer {
public:
    explicit CloudServer(ServerOptions options);
    ~CloudServer();
    CloudServer(const CloudServer&) = delete;
    CloudServer& operator=(const CloudServer&) = delete;

    // Binds every listener; false with a reason when one cannot be bound.
    bool Bind(std::string& error);
    int Port() const { return FPort; }
    int TlsPort() const { return FTlsPort; }
    int AdminPort() const { return FAdminPort; }

    // Serves until Stop() is called (from any thread).
    void Run();
    void Stop();

    CloudStore& Store() { return *FStore; }

private:
    struct WebSession;
    struct Impl;

    void Serve(const httplib::Request& req, httplib::Response& res, bool tls);
    void ServeAdmin(const httplib::Request& req, httplib::Response& res);

    ServerOptions FOptions;
    std::unique_ptr<CloudStore> FStore;
    std::unique_ptr<OauthChecker> FOauth;
    FaultInjector FFaults;
    std::unique_ptr<Impl> FImpl;
    std::unique_ptr<httplib::Server> FPlain;
    std::unique_ptr<httplib::Server> FTls;
    std::unique_ptr<httplib::Server> FAdmin;
    int FPort = 0;
    int FTlsPort = 0;
    int FAdminPort = 0;
};

} // namespace ot::server
