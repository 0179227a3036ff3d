#pragma once
// otCloudServer: the cloud storage service the program synchronizes with. One plain
// HTTP and one HTTPS listener serve every host of the service (API, content, upload,
// conversion and the web site of the account login); requests are told apart by path.
// With fault injection switched on, a third listener on loopback lets tests inject
// faults, read request counters and move the server's clock.

#include "CloudStore.h"
#include "FaultInjector.h"
#include "HttpServer.h"
#include "OauthCheck.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ot::server {

struct ServerOptions {
    // SQLite and content files in DataDir; or, with Store a postgresql:// address, the
    // database several servers share (DataDir then only spools arriving uploads).
    std::filesystem::path DataDir;
    std::string Store;
    std::string Bind = "127.0.0.1";
    int Port = 8080;    // plain HTTP; 0 picks a free port
    int TlsPort = 8443; // HTTPS; 0 picks a free port
    std::string CertFile;
    std::string KeyFile;
    bool FaultInjection = false; // tests only
    int AdminPort = 0;           // with fault injection; always bound to loopback
    int Threads = 8;             // worker threads that answer requests
    HttpLimits Http;             // deadlines, sizes and the connection cap
    std::int64_t TimestampWindow = 300;
    std::int64_t TokenLifetime = 0; // seconds an access token lives; 0 = until revoked
    // A login must be completed and exchanged within this many seconds.
    std::int64_t RequestTokenLifetime = 600;
    // Request tokens not yet exchanged, per consumer and created per client address
    // within their lifetime: anyone holding the program's public consumer key can ask
    // for them.
    std::int64_t MaxPendingLogins = 1000;
    std::size_t MaxPendingLoginsPerAddress = 10;
    // Signed requests a user may send per second over time (bursts of twice as many
    // pass); beyond, "503" with "Retry-After" asks the client to slow down. 0: no limit.
    std::int64_t UserRate = 0;
    StoreLimits Limits;
    // Addresses of proxies (nginx) whose "X-Real-IP" names the client: requests from
    // them are logged and limited as the client's. Spelled as ParseClientAddress does.
    std::vector<std::string> TrustedProxies;
    bool Quiet = false; // no access log
};

class CloudServer : public HttpHandler {
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
    struct Admitted;
    class AdminHandler;

    struct Route;
    struct Call;
    static const Route* FindRoute(std::string_view kind);
    void ServeHome(Call& c);
    void ServeRequestToken(Call& c);
    void ServeAccessToken(Call& c);
    void ServeAccountInfo(Call& c);
    void ServeMetadataOrShare(Call& c);
    void ServeFileOperation(Call& c);
    void ServeMoveOrCopy(Call& c);
    void ServeUploadLocate(Call& c);
    void ServeShareLink(Call& c);
    void ServeAuthorisePage(Call& c);
    void ServeAuthoriseCheck(Call& c);

    bool Admit(HttpRequest& req, HttpResponse& res) override;
    void Handle(HttpRequest& req, HttpResponse& res) override;
    bool Quick(const HttpRequest& req) override;
    void Refuse(int status, std::string_view what, HttpResponse& res) override;
    void Log(const HttpRequest& req, const HttpResponse& res) override;
    void ServeAdmin(const HttpRequest& req, HttpResponse& res);
    // Answers 401 and false when the request's signature does not hold; notes the user
    // for the log when it does.
    bool Authorize(HttpRequest& req, HttpResponse& res, TokenNeed need, OauthContext& ctx);
    void LogAuthFailure(const HttpRequest& req, const std::string& what);
    std::string UserName(std::int64_t id);
    // The time before which no access code of the link is checked for the address (0:
    // now), and the count of a try.
    std::int64_t ShareTryAllowedAt(const std::string& link, const std::string& address,
                                   std::int64_t now);
    void CountShareTry(const std::string& link, const std::string& address, bool good,
                       std::int64_t now);
    // Counts a request token asked for from the address; false past its share.
    bool TakePendingLogin(const std::string& address, std::int64_t now);
    // Counts a request of the user against its rate; 0 when it may go on, else the
    // seconds it should wait.
    std::int64_t TakeUserRequest(std::int64_t userId);
    // A folder listing as sent before, when the folder's tree has not changed since
    // (its change count known already, or read now).
    bool CachedListing(std::int64_t root, const std::string& path,
                       std::optional<std::uint64_t> known, HttpResponse& res);
    void KeepListing(std::int64_t root, const std::string& path, std::uint64_t change,
                     const std::string& body);
    // Whether the password is the user's; counts the attempt against the lockout first.
    enum class LoginOutcome { Good, Wrong, Locked };
    LoginOutcome CheckLogin(const std::string& user, const std::string& password,
                            std::optional<UserRecord>& account);

    ServerOptions FOptions;
    std::unique_ptr<CloudStore> FStore;
    std::unique_ptr<OauthChecker> FOauth;
    FaultInjector FFaults;
    std::unique_ptr<Impl> FImpl;
    std::unique_ptr<AdminHandler> FAdminHandler;
    std::unique_ptr<HttpServer> FHttp;
    std::unique_ptr<HttpServer> FAdmin;
    int FPort = 0;
    int FTlsPort = 0;
    int FAdminPort = 0;
};

} // namespace ot::server
