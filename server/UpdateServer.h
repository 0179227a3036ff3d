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

#include <climits>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
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
    // Usage records kept at most (later ones are refused), and taken from one client
    // address per hour: each installation sends one per start.
    std::int64_t MaxUsageRecords = 100000;
    std::size_t UsagePerAddressPerHour = 20;
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
    // False when the log holds maxRecords already.
    bool Add(const AppUsageRecord& record, std::int64_t maxRecords = INT64_MAX);
    std::vector<AppUsageRecord> All();

private:
    std::mutex FMutex;
    std::unique_ptr<Db> FDb;
    std::int64_t FCount = 0;
};

// The five fields of a usage form, in their order; false for anything else (a
// missing, repeated or unknown field, a bad escape, an over-long value, a value that is
// not UTF-8 or holds a control character).
bool ParseUsageForm(std::string_view body, AppUsageRecord& record);

// A field as one printable piece of a tab-separated line: backslash, tab, line breaks
// and every other control character escaped.
std::string EscapeUsageField(std::string_view field);

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
    // Counts a record from the address; false past its share this hour.
    bool TakeUsageShare(const std::string& address, std::int64_t now);

    UpdateServerOptions FOptions;
    UsageLog FUsage;
    std::mutex FSharesMutex;
    std::unordered_map<std::string, std::deque<std::int64_t>> FShares;
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
