#pragma once
// otUpdateServer: the maker's update server. It answers the upgrade program's
// GETs of the update lists and packages from a root folder, and records the
// usage records it posts into SQLite. Its publish command turns a folder of
// files into a signed package and enters it into the list of every language.
//
// Root folder layout:
//   lists/otUpgradeAppList.xml, lists/otUpgradeAppList_<lang>.xml
//   packages/<name>-<version>.zip
//   usage.db

#include "HttpServer.h"

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace ot::server {

class Db;

struct UpdateServerOptions {
    std::filesystem::path Root;
    std::string Bind = "127.0.0.1";
    int Port = 8090;
    bool Quiet = false;
    HttpLimits Http;
};

struct AppUsageRecord {
    std::int64_t Received = 0; // Unix time
    std::string Guid, AppName, AppVer, AuthType, OsSysInfo;
};

// The usage records of a root folder.
class UsageLog {
public:
    explicit UsageLog(const std::filesystem::path& root);
    ~UsageLog();
    void Add(const AppUsageRecord& record);
    std::vector<AppUsageRecord> All();

private:
    std::mutex FMutex;
    std::unique_ptr<Db> FDb;
};

// The five fields of a usage form, in their order; false for anything else (a
// missing, repeated or unknown field, a bad escape, an over-long value).
bool ParseUsageForm(std::string_view body, AppUsageRecord& record);

class UpdateServer : public HttpHandler {
public:
    explicit UpdateServer(UpdateServerOptions options);
    ~UpdateServer() override;

    bool Bind(std::string& error);
    int Port() const { return FPort; }
    void Run();
    void Stop();

    bool Admit(HttpRequest& req, HttpResponse& res) override;
    void Handle(HttpRequest& req, HttpResponse& res) override;
    bool Quick(const HttpRequest& req) override;
    void Log(const HttpRequest& req, const HttpResponse& res) override;

private:
    void ServeFile(const std::filesystem::path& file, const char* type, HttpResponse& res);

    UpdateServerOptions FOptions;
    UsageLog FUsage;
    std::unique_ptr<HttpServer> FHttp;
    int FPort = 0;
};

struct PublishRequest {
    std::filesystem::path Root;
    std::filesystem::path From; // the files of the package, paths kept
    std::string SecretKeyFile;
    std::string Name, Title, Version, UpgradeDate, Detail, Dependence;
    // Scheme and host the packages are fetched from (the server's own address).
    std::string UrlBase;
    std::vector<std::string> Langs = {"en", "zh", "tw"};
};

// Builds, signs and lists a package; false with a reason.
bool Publish(const PublishRequest& request, std::string& error);

} // namespace ot::server
