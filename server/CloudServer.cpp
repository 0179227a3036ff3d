#include "CloudServer.h"

#include "CloudPath.h"
#include "WebPages.h"
#include "common/Clock.h"
#include "common/Text.h"

#include <nlohmann/json.hpp>
#include <sodium.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <semaphore>
#include <sys/stat.h>
#include <unordered_map>

namespace ot::server {

using json = nlohmann::ordered_json;

namespace {

// The server's own clock, which tests may move forward (token expiry, stale
// timestamps) without waiting.
class OffsetClock : public Clock {
public:
    TDateTime Now() const override {
        return FSystem.Now() + static_cast<double>(FOffset.load()) / 86400.0;
    }
    std::int64_t UnixNow() const override { return FSystem.UnixNow() + FOffset.load(); }
    void SetOffset(std::int64_t seconds) { FOffset = seconds; }

private:
    SystemClock FSystem;
    std::atomic<std::int64_t> FOffset{0};
};

void JsonReply(HttpResponse& res, int status, const json& body) {
    res.Status = status;
    res.SetContent(body.dump(-1, ' ', false, json::error_handler_t::replace),
                   "application/json; charset=utf-8");
}

void JsonError(HttpResponse& res, int status, const std::string& msg) {
    JsonReply(res, status, json{{"msg", msg}});
}

void HtmlReply(HttpResponse& res, int status, const std::string& page) {
    res.Status = status;
    res.SetContent(page, "text/html; charset=utf-8");
}

void AppendJsonString(std::string& out, std::string_view s) {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    for (char ch : s) {
        unsigned char u = static_cast<unsigned char>(ch);
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += ch;
        } else if (u < 0x20) {
            out += "\\u00";
            out += hex[u >> 4];
            out += hex[u & 15];
        } else {
            out += ch; // names are checked to be UTF-8 before they are stored
        }
    }
    out += '"';
}

// File and folder replies are written by hand: a listing is the hot path of every
// synchronization pass, and a general JSON tree costs more than the rest of the request.
void AppendNodeMembers(std::string& out, const CloudNode& n) {
    out += "\"path\":";
    AppendJsonString(out, n.Path);
    out += ",\"root\":\"app_folder\"";
    if (!n.IsFolder) {
        out += ",\"hash\":";
        AppendJsonString(out, n.Hash);
    }
    out += ",\"file_id\":\"" + std::to_string(n.Id) + "\"";
    out += n.IsFolder ? ",\"type\":\"folder\"" : ",\"type\":\"file\"";
    out += ",\"size\":" + std::to_string(n.Size);
    out += ",\"rev\":\"" + std::to_string(n.Rev) + "\"";
    out += ",\"create_time\":\"" + FormatCloudTime(n.CreateTime) + "\"";
    out += ",\"modify_time\":\"" + FormatCloudTime(n.ModifyTime) + "\"";
    out += ",\"name\":";
    AppendJsonString(out, n.Name);
    out += ",\"is_deleted\":false";
}

std::string NodeJsonText(const CloudNode& n, const std::vector<CloudNode>* children,
                         std::string_view fingerprint = {}) {
    std::string out;
    out.reserve(256 + (children ? children->size() * 256 : 0));
    out += '{';
    AppendNodeMembers(out, n);
    if (children) {
        out += ",\"files\":[";
        for (std::size_t i = 0; i < children->size(); ++i) {
            out += i ? ",{" : "{";
            AppendNodeMembers(out, (*children)[i]);
            out += '}';
        }
        out += ']';
    }
    if (!fingerprint.empty()) {
        out += ",\"data_fingerprint\":";
        AppendJsonString(out, fingerprint);
    }
    out += '}';
    return out;
}

void NodeReply(HttpResponse& res, const CloudNode& n,
               const std::vector<CloudNode>* children = nullptr,
               std::string_view fingerprint = {}) {
    res.Status = 200;
    res.SetContent(NodeJsonText(n, children, fingerprint), "application/json; charset=utf-8");
}

// The status and message of a store outcome that is not Ok.
void StoreError(HttpResponse& res, StoreStatus s);

// A file's content, sent from its open content file.
template <class Open> void FileReply(HttpResponse& res, Open open) {
    int fd = -1;
    NodeResult r = open(fd);
    if (r.Status != StoreStatus::Ok)
        return StoreError(res, r.Status);
    res.Status = 200;
    res.ContentType = "application/octet-stream";
    if (fd >= 0) {
        struct stat st {};
        ::fstat(fd, &st);
        res.File = std::make_shared<HttpFileBody>(fd, static_cast<std::uint64_t>(st.st_size));
    }
}

// The status and message of a store outcome that is not Ok.
void StoreError(HttpResponse& res, StoreStatus s) {
    switch (s) {
    case StoreStatus::Ok:
        break;
    case StoreStatus::NotFound:
        return JsonError(res, 404, "file not exist");
    case StoreStatus::ParentNotFound:
        return JsonError(res, 404, "parent folder not exist");
    case StoreStatus::NotAFolder:
        return JsonError(res, 403, "not a folder");
    case StoreStatus::IsAFolder:
        return JsonError(res, 403, "is a folder");
    case StoreStatus::Exists:
        return JsonError(res, 403, "file exist");
    case StoreStatus::Forbidden:
        return JsonError(res, 403, "forbidden");
    case StoreStatus::QuotaExceeded:
        return JsonError(res, 403, "over quota");
    case StoreStatus::TooLarge:
        return JsonError(res, 413, "file too large");
    case StoreStatus::Changed:
        return JsonReply(res, 409, json{{"msg", "file has changed"}, {"rev", ""}});
    case StoreStatus::Failed:
        return JsonError(res, 500, "server error");
    }
}

// As above, with the current revision when the node is not at the one asked for.
void StoreError(HttpResponse& res, const NodeResult& r) {
    if (r.Status != StoreStatus::Changed)
        return StoreError(res, r.Status);
    JsonReply(res, 409,
              json{{"msg", "file has changed"},
                   {"rev", r.Node.Id ? std::to_string(r.Node.Rev) : std::string()}});
}

// The "if_rev" parameter: the revision the client based a change on. One that is no
// number matches no node.
std::optional<std::int64_t> IfRev(const std::vector<QueryParam>& params) {
    const std::string* text = FindParam(params, "if_rev");
    if (!text)
        return std::nullopt;
    return ParseInt64(*text).value_or(-1);
}

// A "host[:port]" as a client may name it; anything else is not echoed back.
bool IsPlainHost(std::string_view host) {
    if (host.empty() || host.size() > 255)
        return false;
    for (char c : host) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '-' || c == ':' || c == '[' || c == ']';
        if (!ok)
            return false;
    }
    return true;
}

const std::map<std::string, std::string, std::less<>>& ApiKinds() {
    static const std::map<std::string, std::string, std::less<>> kinds = {
        {"/open/requestToken", "request_token"},
        {"/open/accessToken", "access_token"},
        {"/1/account_info", "account_info"},
        {"/1/fileops/create_folder", "create_folder"},
        {"/1/fileops/move", "move"},
        {"/1/fileops/copy", "copy"},
        {"/1/fileops/delete", "delete"},
        {"/1/fileops/upload_locate", "upload_locate"},
        {"/1/fileops/upload_file", "upload_file"},
        {"/1/fileops/download_file", "download_file"},
        {"/1/fileops/thumbnail", "thumbnail"},
        {"/1/fileops/documentView", "document_view"},
    };
    return kinds;
}

// The kind of a request, by its raw path (and the "op" of the web site's page): the
// unit of fault rules and request counters.
std::string KindOf(std::string_view rawPath, const std::vector<QueryParam>& query) {
    auto it = ApiKinds().find(rawPath);
    if (it != ApiKinds().end())
        return it->second;
    if (StartsWith(rawPath, "/1/metadata/"))
        return "metadata";
    if (StartsWith(rawPath, "/1/shares/"))
        return "shares";
    if (StartsWith(rawPath, "/s/"))
        return "share_link";
    if (rawPath == "/")
        return "home";
    if (rawPath == "/api.php") {
        const std::string* op = FindParam(query, "op");
        if (op && *op == "authorise")
            return "authorise_page";
        if (op && *op == "authorisecheck")
            return "authorise_check";
    }
    return "other";
}

} // namespace

struct CloudServer::WebSession {
    std::string Sid;
    std::string S;
    std::string RequestToken;
    std::int64_t Created = 0;
};

struct CloudServer::Impl {
    std::shared_ptr<OffsetClock> Clock;
    std::mutex SessionsMutex;
    std::map<std::string, WebSession> Sessions; // by the "s" field
    struct Failures {
        int Count = 0;
        std::int64_t Since = 0;
    };
    std::mutex FailuresMutex;
    std::map<std::string, Failures> LoginFailures;
    // Wrong share access codes, per link and per client address.
    std::mutex StrikesMutex;
    std::unordered_map<std::string, StrikeRecord> ShareStrikes; // kept here on one server
    // When each client address asked for its recent request tokens.
    std::mutex PendingMutex;
    std::unordered_map<std::string, std::deque<std::int64_t>> PendingLogins;
    // What each user may still send at once, refilled at the user rate.
    struct Allowance {
        double Requests = 0;
        std::chrono::steady_clock::time_point At;
    };
    std::mutex RatesMutex;
    std::unordered_map<std::int64_t, Allowance> UserRates;
    // Password hashing is meant to be costly in memory and time; a burst of logins must
    // not take the whole machine.
    std::counting_semaphore<2> PasswordChecks{2};
    // A hash with the cost of the accounts' own, checked for unknown user names so that
    // they answer as slowly as known ones.
    std::once_flag DummyOnce;
    std::string DummyHash;
    // Ready-to-send folder listings, each valid while its application folder is unchanged.
    struct Listing {
        std::uint64_t Change = 0;
        std::shared_ptr<const std::string> Body;
    };
    std::mutex ListingsMutex;
    std::unordered_map<std::string, Listing> Listings;
    std::thread AdminThread;
    // User names by ID for the log (a name never changes).
    std::mutex UserNamesMutex;
    std::unordered_map<std::int64_t, std::string> UserNames;
    // Read once: it changes only while no server runs (mark-restored) or at start-up.
    std::string Fingerprint;
};

namespace {

// An upload's body as it arrives: the part "file" goes straight to a temporary file in
// the store, every other part is dropped (they are small; more than a little of them is
// refused).
class UploadSink : public HttpBodySink, private MultipartParser::Events {
public:
    UploadSink(const std::string& boundary, CloudStore& store, std::int64_t maxFile)
        : FParser(boundary), FStore(store), FMaxFile(maxFile) {}
    bool Write(std::string_view bytes) override { return FParser.Feed(bytes, *this); }

    enum class Outcome { Ok, NoFile, TooLarge, Failed };
    Outcome Result() const {
        if (FTooLarge)
            return Outcome::TooLarge;
        if (FFailed)
            return Outcome::Failed;
        return FParser.Complete() && FFile ? Outcome::Ok : Outcome::NoFile;
    }
    IncomingContent& File() { return *FFile; }

private:
    bool OnPart(const FormPart& head) override {
        FInFile = !FFile && head.Name == "file";
        if (FInFile)
            FFile = FStore.NewIncoming();
        return true;
    }
    bool OnData(std::string_view bytes) override {
        if (!FInFile) {
            FOther += bytes.size();
            return FOther <= 64 * 1024;
        }
        if (FFile->Size() + static_cast<std::int64_t>(bytes.size()) > FMaxFile) {
            FTooLarge = true;
            return false;
        }
        if (!FFile->Append(bytes)) {
            FFailed = true;
            return false;
        }
        return true;
    }

    MultipartParser FParser;
    CloudStore& FStore;
    std::int64_t FMaxFile;
    std::unique_ptr<IncomingContent> FFile;
    bool FInFile = false;
    bool FTooLarge = false;
    bool FFailed = false;
    std::size_t FOther = 0;
};

} // namespace

// What Admit learnt from an upload's head, for Handle once the body has arrived.
struct CloudServer::Admitted {
    FaultDecision Fault;
    OauthContext Ctx;
    std::vector<std::string> Path;
    std::shared_ptr<UploadSink> Body;
};

class CloudServer::AdminHandler : public HttpHandler {
public:
    explicit AdminHandler(CloudServer& server) : FServer(server) {}
    void Handle(HttpRequest& req, HttpResponse& res) override { FServer.ServeAdmin(req, res); }
    void Refuse(int status, std::string_view what, HttpResponse& res) override {
        JsonError(res, status, std::string(what));
    }

private:
    CloudServer& FServer;
};

CloudServer::CloudServer(ServerOptions options)
    : FOptions(std::move(options)), FImpl(std::make_unique<Impl>()) {
    if (FOptions.FaultInjection) {
        FImpl->Clock = std::make_shared<OffsetClock>();
        SetClock(FImpl->Clock);
    }
    FStore = OpenCloudStore(FOptions.Store, FOptions.DataDir, FOptions.Limits);
    FImpl->Fingerprint = FStore->DataFingerprint();
    OauthSettings os;
    os.TimestampWindow = FOptions.TimestampWindow;
    os.RequestTokenLifetime = FOptions.RequestTokenLifetime;
    os.TokenLifetime = FOptions.TokenLifetime;
    if (!FStore->Shared())
        os.NonceJournal = FOptions.DataDir / "nonces";
    FOauth = std::make_unique<OauthChecker>(*FStore, os);
}

CloudServer::~CloudServer() {
    Stop();
    if (FImpl->AdminThread.joinable())
        FImpl->AdminThread.join();
    FHttp.reset();
    FAdmin.reset();
    if (FImpl->Clock)
        SetClock(nullptr);
}

bool CloudServer::Bind(std::string& error) {
    HttpLimits limits = FOptions.Http;
    limits.WorkerThreads = FOptions.Threads;
    FHttp = std::make_unique<HttpServer>(*this, limits);
    FPort = FHttp->Listen(FOptions.Bind, FOptions.Port, error);
    if (!FPort)
        return false;
    FTlsPort = FHttp->ListenTls(FOptions.Bind, FOptions.TlsPort, FOptions.CertFile,
                                FOptions.KeyFile, error);
    if (!FTlsPort)
        return false;
    if (FOptions.FaultInjection) {
        FAdminHandler = std::make_unique<AdminHandler>(*this);
        HttpLimits adminLimits;
        adminLimits.IoThreads = 1;
        adminLimits.WorkerThreads = 2;
        adminLimits.MaxPerAddress = adminLimits.MaxConnections;
        FAdmin = std::make_unique<HttpServer>(*FAdminHandler, adminLimits);
        // Only this machine may change the server's behaviour.
        FAdminPort = FAdmin->Listen("127.0.0.1", FOptions.AdminPort, error);
        if (!FAdminPort)
            return false;
    }
    return true;
}

void CloudServer::Run() {
    if (FAdmin)
        FImpl->AdminThread = std::thread([this] { FAdmin->Run(); });
    FHttp->Run();
    if (FImpl->AdminThread.joinable())
        FImpl->AdminThread.join();
}

void CloudServer::Stop() {
    for (auto* s : {FHttp.get(), FAdmin.get()})
        if (s)
            s->Stop();
}

namespace {

std::string ListingKey(std::int64_t root, const std::string& path) {
    return std::to_string(root) + ":" + path;
}

} // namespace

namespace {

constexpr int kFreeShareTries = 3;
constexpr int kShareLockoutAfter = 10;
constexpr std::int64_t kShareLockoutSeconds = 900;

// One wrong code more against a link or an address.
void Strike(StrikeRecord& s, std::int64_t now) {
    if (s.Since + kShareLockoutSeconds < now && s.NextAllowed <= now)
        s = {s.Key, 0, now, 0};
    ++s.Wrong;
    if (s.Wrong >= kShareLockoutAfter)
        s.NextAllowed = now + kShareLockoutSeconds;
    else if (s.Wrong >= kFreeShareTries)
        s.NextAllowed = now + std::min<std::int64_t>(60, 1ll << (s.Wrong - kFreeShareTries));
}

} // namespace

// Guessing a link's access code: after a few wrong codes each further try waits longer
// (1, 2, 4 ... 60 seconds), and ten within a quarter of an hour lock it for as long,
// both for the link and for the address the tries come from. A try before its time is
// refused without looking at the code. Servers on a shared store count together.
std::int64_t CloudServer::ShareTryAllowedAt(const std::string& link, const std::string& address,
                                            std::int64_t now) {
    const std::vector<std::string> keys = {"link " + link, "address " + address};
    std::int64_t at = 0;
    if (FStore->Shared()) {
        for (const StrikeRecord& s : FStore->ReadStrikes(keys))
            at = std::max(at, s.NextAllowed);
        return at > now ? at : 0;
    }
    std::lock_guard lock(FImpl->StrikesMutex);
    auto& all = FImpl->ShareStrikes;
    if (all.size() > 10000)
        std::erase_if(all, [now](const auto& e) {
            return e.second.NextAllowed <= now && e.second.Since + kShareLockoutSeconds < now;
        });
    for (const std::string& key : keys) {
        auto it = all.find(key);
        if (it != all.end())
            at = std::max(at, it->second.NextAllowed);
    }
    return at > now ? at : 0;
}

void CloudServer::CountShareTry(const std::string& link, const std::string& address, bool good,
                                std::int64_t now) {
    // A good code clears the link's count, not the address's.
    std::vector<std::string> keys = {"link " + link};
    if (!good)
        keys.push_back("address " + address);
    auto count = [&](StrikeRecord& s) {
        if (good)
            s = {s.Key};
        else
            Strike(s, now);
    };
    if (FStore->Shared()) {
        FStore->ChangeStrikes(keys, now, now - kShareLockoutSeconds,
                              [&](std::vector<StrikeRecord>& records) {
                                  for (StrikeRecord& s : records)
                                      count(s);
                              });
        return;
    }
    std::lock_guard lock(FImpl->StrikesMutex);
    for (const std::string& key : keys) {
        if (good) {
            FImpl->ShareStrikes.erase(key);
            continue;
        }
        auto& s = FImpl->ShareStrikes[key];
        s.Key = key;
        count(s);
    }
}

bool CloudServer::TakePendingLogin(const std::string& address, std::int64_t now) {
    const std::int64_t since = now - FOptions.RequestTokenLifetime;
    if (FStore->Shared())
        return FStore->TakePendingLogin(address, now, since, FOptions.MaxPendingLoginsPerAddress);
    std::lock_guard lock(FImpl->PendingMutex);
    auto& pending = FImpl->PendingLogins;
    if (pending.size() > 10000)
        std::erase_if(pending, [since](const auto& e) { return e.second.back() < since; });
    auto& times = pending[address];
    while (!times.empty() && times.front() < since)
        times.pop_front();
    if (times.size() >= FOptions.MaxPendingLoginsPerAddress)
        return false;
    times.push_back(now);
    return true;
}

bool CloudServer::CachedListing(std::int64_t root, const std::string& path,
                                std::optional<std::uint64_t> known, HttpResponse& res) {
    const std::uint64_t change = known ? *known : FStore->ChangeCount(root);
    std::lock_guard lock(FImpl->ListingsMutex);
    auto it = FImpl->Listings.find(ListingKey(root, path));
    if (it == FImpl->Listings.end() || it->second.Change != change)
        return false;
    res.Status = 200;
    res.ContentType = "application/json; charset=utf-8";
    res.SharedBody = it->second.Body;
    return true;
}

void CloudServer::KeepListing(std::int64_t root, const std::string& path, std::uint64_t change,
                              const std::string& body) {
    std::lock_guard lock(FImpl->ListingsMutex);
    // Bounded: past the limit everything is dropped and built again as asked for.
    if (FImpl->Listings.size() >= 4096)
        FImpl->Listings.clear();
    FImpl->Listings[ListingKey(root, path)] = {change, std::make_shared<const std::string>(body)};
}

namespace {

constexpr int kMaxLoginFailures = 10;
constexpr std::int64_t kLockoutSeconds = 900;

struct HashCost {
    unsigned long long Ops = crypto_pwhash_OPSLIMIT_INTERACTIVE;
    std::size_t Mem = crypto_pwhash_MEMLIMIT_INTERACTIVE;
};

// The cost parameters written in an Argon2 hash string ("...$m=65536,t=2,p=1$...").
std::optional<HashCost> CostOf(const std::string& hash) {
    auto m = hash.find("$m="), t = hash.find(",t=");
    if (m == std::string::npos || t == std::string::npos || t < m)
        return std::nullopt;
    auto kib = ParseInt64(hash.substr(m + 3, t - m - 3));
    auto end = hash.find_first_not_of("0123456789", t + 3);
    auto ops = ParseInt64(hash.substr(t + 3, end - t - 3));
    if (!kib || !ops || *kib <= 0 || *ops <= 0)
        return std::nullopt;
    return HashCost{static_cast<unsigned long long>(*ops), static_cast<std::size_t>(*kib) * 1024};
}

// A hash of a random password with the cost of the costliest account's hash (the
// interactive cost when there is none), so that checking it costs what checking a
// real one does.
std::string DummyHash(const std::vector<UserRecord>& users) {
    std::optional<HashCost> cost;
    for (const auto& u : users)
        if (auto c = CostOf(u.PasswordHash);
            c && (!cost || c->Ops * c->Mem > cost->Ops * cost->Mem))
            cost = c;
    const HashCost use = cost.value_or(HashCost{});
    char out[crypto_pwhash_STRBYTES];
    std::string password = SecureRandomText(24);
    if (crypto_pwhash_str(out, password.data(), password.size(), use.Ops, use.Mem) != 0)
        return {};
    return out;
}

} // namespace

// The attempt is counted before the hash is checked, in one step with the test of the
// limit, so concurrent tries cannot pass it; a good password gives its count back. An
// unknown user name is checked against a hash of the same cost as a known one.
CloudServer::LoginOutcome CloudServer::CheckLogin(const std::string& user,
                                                  const std::string& password,
                                                  std::optional<UserRecord>& account) {
    const std::int64_t now = UnixNow();
    if (FStore->Shared()) {
        if (!FStore->TakeLoginAttempt(user, now, kMaxLoginFailures, kLockoutSeconds))
            return LoginOutcome::Locked;
    } else {
        std::lock_guard lock(FImpl->FailuresMutex);
        if (FImpl->LoginFailures.size() > 10000)
            std::erase_if(FImpl->LoginFailures,
                          [now](const auto& e) { return e.second.Since + kLockoutSeconds < now; });
        auto& f = FImpl->LoginFailures[user];
        if (f.Since + kLockoutSeconds < now)
            f = {0, now};
        if (f.Count >= kMaxLoginFailures)
            return LoginOutcome::Locked;
        ++f.Count;
    }
    account = FStore->FindUser(user);
    std::call_once(FImpl->DummyOnce, [this] { FImpl->DummyHash = DummyHash(FStore->ListUsers()); });
    const std::string& hash = account ? account->PasswordHash : FImpl->DummyHash;
    FImpl->PasswordChecks.acquire();
    const bool good =
        crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0 && account;
    FImpl->PasswordChecks.release();
    if (!good)
        return LoginOutcome::Wrong;
    if (FStore->Shared()) {
        FStore->GiveBackLoginAttempt(user);
        return LoginOutcome::Good;
    }
    std::lock_guard lock(FImpl->FailuresMutex);
    auto& f = FImpl->LoginFailures[user];
    if (f.Count > 0)
        --f.Count;
    return LoginOutcome::Good;
}

void CloudServer::Refuse(int status, std::string_view what, HttpResponse& res) {
    JsonError(res, status, std::string(what));
}

// "<date> <time> <client> <user or -> <method> <operation> <status>"; file and folder
// names stay out of the log.
void CloudServer::Log(const HttpRequest& req, const HttpResponse& res) {
    if (FOptions.Quiet)
        return;
    std::fprintf(stderr, "%s%s %s %s %s %s %d\n", LogPrefix().c_str(), req.Tls ? "https" : "http",
                 req.Peer.empty() ? "-" : req.Peer.c_str(),
                 req.User.empty() ? "-" : req.User.c_str(), LogSafe(req.Method).c_str(),
                 req.Operation.empty() ? "-" : req.Operation.c_str(), res.Status);
}

// The one line a failed authentication leaves, for tools such as fail2ban:
// "<date> <time> authentication failure from <client>: <what>".
void CloudServer::LogAuthFailure(const HttpRequest& req, const std::string& what) {
    std::fprintf(stderr, "%sauthentication failure from %s: %s\n", LogPrefix().c_str(),
                 req.Peer.empty() ? "-" : req.Peer.c_str(), what.c_str());
}

std::string CloudServer::UserName(std::int64_t id) {
    {
        std::lock_guard lock(FImpl->UserNamesMutex);
        auto it = FImpl->UserNames.find(id);
        if (it != FImpl->UserNames.end())
            return it->second;
    }
    auto user = FStore->FindUserById(id);
    std::string name = user ? user->Name : std::to_string(id);
    std::lock_guard lock(FImpl->UserNamesMutex);
    if (FImpl->UserNames.size() > 100000)
        FImpl->UserNames.clear();
    FImpl->UserNames.emplace(id, name);
    return name;
}

void CloudServer::ServeAdmin(const HttpRequest& req, HttpResponse& res) {
    try {
        const std::string p(req.Path());
        if (p == "/health")
            return JsonError(res, 200, "ok");
        if (p == "/faults" && req.Method == "POST") {
            json in = json::parse(req.Body);
            FaultRule r;
            r.Kind = in.value("kind", std::string("*"));
            r.Skip = in.value("skip", 0);
            r.Count = in.value("count", 1);
            if (!ParseFaultAction(in.value("action", std::string("status")), r.Action))
                return JsonError(res, 400, "unknown action");
            r.Status = in.value("status", 500);
            r.DelayMs = in.value("delay_ms", 0);
            r.AfterHandling = in.value("after", false);
            FFaults.Add(r);
            return JsonError(res, 200, "ok");
        }
        if (p == "/faults" && req.Method == "DELETE") {
            FFaults.Clear();
            return JsonError(res, 200, "ok");
        }
        if (p == "/counters" && req.Method == "GET") {
            json out = json::object();
            std::int64_t total = 0;
            for (const auto& [kind, n] : FFaults.Counters()) {
                out[kind] = n;
                total += n;
            }
            out["total"] = total;
            return JsonReply(res, 200, out);
        }
        if (p == "/counters" && req.Method == "DELETE") {
            FFaults.ResetCounters();
            return JsonError(res, 200, "ok");
        }
        if (p == "/clock" && req.Method == "POST") {
            json in = json::parse(req.Body);
            FImpl->Clock->SetOffset(in.value("offset", std::int64_t{0}));
            return JsonReply(res, 200, json{{"msg", "ok"}, {"now", UnixNow()}});
        }
        return JsonError(res, 404, "not found");
    } catch (const std::exception& e) {
        return JsonError(res, 400, e.what());
    }
}

bool CloudServer::Authorize(HttpRequest& req, HttpResponse& res, TokenNeed need,
                            OauthContext& ctx) {
    const std::string_view host = req.Field("Host");
    if (host.empty()) {
        JsonError(res, 401, "missing host");
        return false;
    }
    auto failure = FOauth->Check(req.Method, req.Tls ? "https" : "http", host, req.Path(),
                                 req.Query(), need, ctx);
    if (failure) {
        // A clock that is off or a token that ran out are no attack: a client that keeps
        // trying must not get its address banned.
        if (!failure->ServerTime && failure->Msg != "authorization expired")
            LogAuthFailure(req, failure->Msg);
        json body{{"msg", failure->Msg}};
        if (failure->ServerTime)
            body["server_time"] = *failure->ServerTime;
        JsonReply(res, failure->Status, body);
        return false;
    }
    if (need == TokenNeed::Access) {
        req.User = UserName(ctx.Access.UserId);
        if (const std::int64_t wait = TakeUserRequest(ctx.Access.UserId)) {
            res.SetField("Retry-After", std::to_string(wait));
            JsonError(res, 503, "too many requests; slow down");
            return false;
        }
    }
    return true;
}

std::int64_t CloudServer::TakeUserRequest(std::int64_t userId) {
    if (FOptions.UserRate <= 0)
        return 0;
    const double rate = static_cast<double>(FOptions.UserRate);
    const double burst = 2 * rate;
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(FImpl->RatesMutex);
    auto& rates = FImpl->UserRates;
    auto [it, fresh] = rates.try_emplace(userId, Impl::Allowance{burst, now});
    Impl::Allowance& a = it->second;
    if (!fresh) {
        a.Requests =
            std::min(burst, a.Requests + rate * std::chrono::duration<double>(now - a.At).count());
        a.At = now;
    }
    if (a.Requests >= 1) {
        a.Requests -= 1;
        return 0;
    }
    // Whole seconds until one request is allowed again.
    return std::max<std::int64_t>(1, static_cast<std::int64_t>(std::ceil((1 - a.Requests) / rate)));
}

namespace {

// The kind of a request and its query, as Admit and Handle both need them.
std::string KindOfRequest(const HttpRequest& req,
                          std::optional<std::vector<QueryParam>>& plainQuery) {
    plainQuery = ParseQueryString(req.Query());
    return KindOf(req.Path(), plainQuery ? *plainQuery : std::vector<QueryParam>{});
}

// Answers the error and false when the fault rule answers before the request is handled.
bool ApplyFaultBefore(const FaultDecision& fault, HttpResponse& res) {
    if (!fault.Active)
        return true;
    if (fault.Rule.Action == FaultAction::Delay)
        std::this_thread::sleep_for(std::chrono::milliseconds(fault.Rule.DelayMs));
    if (fault.Rule.Action == FaultAction::Status && !fault.Rule.AfterHandling) {
        JsonError(res, fault.Rule.Status, "injected fault");
        return false;
    }
    return true;
}

// The "root" parameter; false after answering the error.
bool RootOk(const OauthContext& ctx, HttpResponse& res) {
    const std::string* root = FindParam(ctx.Params, "root");
    if (!root) {
        JsonError(res, 400, "missing root");
        return false;
    }
    if (*root == "kuaipan") {
        JsonError(res, 403, "access is limited to the application folder");
        return false;
    }
    if (*root != "app_folder") {
        JsonError(res, 400, "bad root");
        return false;
    }
    return true;
}

// A path from a parameter; false after answering the error.
bool PathParam(const OauthContext& ctx, const char* name, std::vector<std::string>& out,
               HttpResponse& res) {
    const std::string* text = FindParam(ctx.Params, name);
    if (!text) {
        JsonError(res, 400, std::string("missing ") + name);
        return false;
    }
    auto parsed = ParseCloudPath(*text);
    if (!parsed) {
        JsonError(res, 400, "bad path");
        return false;
    }
    out = std::move(*parsed);
    return true;
}

} // namespace

// An upload is refused from its head: its signature, root and path are checked, and
// the body it announces is held to the file size limit, before any of it is read.
// Every request comes through here first.
bool CloudServer::Admit(HttpRequest& req, HttpResponse& res) {
    // Behind a trusted proxy the client is the one it names; a header from anybody else
    // means nothing.
    if (!FOptions.TrustedProxies.empty() &&
        std::find(FOptions.TrustedProxies.begin(), FOptions.TrustedProxies.end(), req.Peer) !=
            FOptions.TrustedProxies.end()) {
        std::string peer, group;
        if (ParseClientAddress(Trim(std::string(req.Field("X-Real-IP"))), peer, group)) {
            req.Peer = std::move(peer);
            req.PeerGroup = std::move(group);
        }
    }
    std::optional<std::vector<QueryParam>> plainQuery;
    req.Operation = KindOfRequest(req, plainQuery);
    if (req.Operation != "upload_file")
        return true;
    Admitted a;
    a.Fault = FFaults.OnRequest("upload_file");
    if (!ApplyFaultBefore(a.Fault, res))
        return false;
    if (req.Method != "POST") {
        JsonError(res, 405, "method not allowed");
        return false;
    }
    if (!Authorize(req, res, TokenNeed::Access, a.Ctx) || !RootOk(a.Ctx, res) ||
        !PathParam(a.Ctx, "path", a.Path, res))
        return false;
    auto boundary = MultipartBoundary(req.Field("Content-Type"));
    if (!boundary) {
        JsonError(res, 400, "bad multipart body");
        return false;
    }
    // Room for the multipart framing around the largest file.
    req.MaxBody = static_cast<std::uint64_t>(FOptions.Limits.MaxFileSize) + 64 * 1024;
    a.Body = std::make_shared<UploadSink>(*boundary, *FStore, FOptions.Limits.MaxFileSize);
    req.Sink = a.Body;
    req.State = std::move(a);
    return true;
}

// A listing is read from memory or SQLite's readers and never waits for a writer; with
// a fault rule set it may be delayed on purpose, and goes to the workers. So does every
// request with a shared store: each waits for the database several times, and the
// threads holding the connections must not wait with it.
bool CloudServer::Quick(const HttpRequest& req) {
    return !FStore->Shared() && req.Method == "GET" && StartsWith(req.Path(), "/1/metadata/") &&
           FFaults.Empty();
}

// What each kind of request takes (its method, TLS, a signature) and who answers it.
struct CloudServer::Route {
    const char* Kind;
    bool Post;     // POST; else GET or HEAD
    bool TlsOnly;  // tokens, account details and the login pages
    bool Unsigned; // answered to anybody; their query must still parse
    void (CloudServer::*Answer)(Call&);
};

const CloudServer::Route* CloudServer::FindRoute(std::string_view kind) {
    static const Route routes[] = {
        {"home", false, false, true, &CloudServer::ServeHome},
        {"request_token", false, true, false, &CloudServer::ServeRequestToken},
        {"access_token", false, true, false, &CloudServer::ServeAccessToken},
        {"account_info", false, true, false, &CloudServer::ServeAccountInfo},
        {"metadata", false, false, false, &CloudServer::ServeMetadataOrShare},
        {"shares", false, false, false, &CloudServer::ServeMetadataOrShare},
        {"create_folder", false, false, false, &CloudServer::ServeFileOperation},
        {"delete", false, false, false, &CloudServer::ServeFileOperation},
        {"download_file", false, false, false, &CloudServer::ServeFileOperation},
        {"thumbnail", false, false, false, &CloudServer::ServeFileOperation},
        {"document_view", false, false, false, &CloudServer::ServeFileOperation},
        {"upload_file", true, false, false, &CloudServer::ServeFileOperation},
        {"move", false, false, false, &CloudServer::ServeMoveOrCopy},
        {"copy", false, false, false, &CloudServer::ServeMoveOrCopy},
        {"upload_locate", false, false, true, &CloudServer::ServeUploadLocate},
        {"share_link", false, false, true, &CloudServer::ServeShareLink},
        {"authorise_page", false, true, true, &CloudServer::ServeAuthorisePage},
        {"authorise_check", true, true, true, &CloudServer::ServeAuthoriseCheck},
    };
    for (const auto& r : routes)
        if (kind == r.Kind)
            return &r;
    return nullptr;
}

// One request on its way through a route, with what every answer needs.
struct CloudServer::Call {
    CloudServer& Server;
    HttpRequest& Req;
    HttpResponse& Res;
    const std::string& Kind;
    std::optional<std::vector<QueryParam>>& PlainQuery;
    Admitted* Taken; // what Admit learnt from an upload's head
    std::string Host;
    std::string Scheme;

    bool Authorized(TokenNeed need, OauthContext& ctx) {
        return Server.Authorize(Req, Res, need, ctx);
    }
    std::int64_t Folder(const OauthContext& ctx) {
        return Server.FStore->AppFolder(ctx.Access.UserId, ctx.Consumer.Key);
    }
    bool CheckRoot(const OauthContext& ctx) { return RootOk(ctx, Res); }
    bool PathOf(const OauthContext& ctx, const char* name, std::vector<std::string>& out) {
        return PathParam(ctx, name, out, Res);
    }
    void Reply(const NodeResult& r) {
        if (r.Status != StoreStatus::Ok)
            return StoreError(Res, r);
        NodeReply(Res, r.Node);
    }
};

void CloudServer::ServeHome(Call& c) {
    HtmlReply(c.Res, 200, HomePage());
}

void CloudServer::ServeRequestToken(Call& c) {
    HttpRequest& req = c.Req;
    HttpResponse& res = c.Res;
    OauthContext ctx;
    if (c.Authorized(TokenNeed::None, ctx)) {
        std::int64_t now = UnixNow();
        FStore->PurgeRequestTokens(now - FOptions.RequestTokenLifetime);
        TokenPairText pair;
        if (!TakePendingLogin(req.PeerGroup, now))
            JsonError(res, 429, "too many logins from your address; try again later");
        else if (pair =
                     FStore->CreateRequestToken(ctx.Consumer.Key, now, FOptions.MaxPendingLogins);
                 pair.Key.empty())
            JsonError(res, 503, "too many logins under way; try again later");
        else
            JsonReply(res, 200,
                      json{{"oauth_token", pair.Key},
                           {"oauth_token_secret", pair.Secret},
                           {"oauth_callback_confirmed", false},
                           {"expires_in", FOptions.RequestTokenLifetime}});
    }
}

void CloudServer::ServeAccessToken(Call& c) {
    HttpResponse& res = c.Res;
    OauthContext ctx;
    if (c.Authorized(TokenNeed::Request, ctx)) {
        const std::string* verifier = FindParam(ctx.Params, "oauth_verifier");
        auto user =
            verifier ? FStore->ConsumeRequestToken(ctx.Request.Key, *verifier) : std::nullopt;
        if (!user) {
            JsonError(res, 401, "invalid verifier");
        } else {
            std::int64_t now = UnixNow();
            std::int64_t expires = FOptions.TokenLifetime > 0 ? now + FOptions.TokenLifetime : 0;
            auto pair = FStore->CreateAccessToken(ctx.Consumer.Key, *user, now, expires);
            FStore->AppFolder(*user, ctx.Consumer.Key);
            JsonReply(res, 200,
                      json{{"oauth_token", pair.Key},
                           {"oauth_token_secret", pair.Secret},
                           {"user_id", *user},
                           {"charged_dir", "app_folder"}});
        }
    }
}

void CloudServer::ServeAccountInfo(Call& c) {
    HttpResponse& res = c.Res;
    OauthContext ctx;
    if (c.Authorized(TokenNeed::Access, ctx)) {
        auto user = FStore->FindUserById(ctx.Access.UserId);
        auto usage = FStore->Usage(ctx.Access.UserId);
        JsonReply(res, 200,
                  json{{"user_id", ctx.Access.UserId},
                       {"user_name", user ? user->Name : std::string()},
                       {"max_file_size", FOptions.Limits.MaxFileSize},
                       {"quota_total", FOptions.Limits.QuotaBytes},
                       {"quota_used", usage.Used},
                       {"quota_recycled", usage.Recycled}});
    }
}

void CloudServer::ServeMetadataOrShare(Call& c) {
    HttpRequest& req = c.Req;
    HttpResponse& res = c.Res;
    OauthContext ctx;
    if (c.Authorized(TokenNeed::Access, ctx)) {
        // The root and the path travel in the request path: /1/<op>/<root>[/path].
        std::string_view rest = req.Path().substr(c.Kind == "metadata" ? std::strlen("/1/metadata/")
                                                                       : std::strlen("/1/shares/"));
        auto slash = rest.find('/');
        std::string_view root = rest.substr(0, slash);
        std::string_view encoded =
            slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
        // The client's path encoding writes a space as "+" and a plus as "%2B".
        auto decoded = PercentDecode(encoded, true);
        auto path = decoded ? ParseCloudPath(*decoded) : std::nullopt;
        if (root == "kuaipan")
            JsonError(res, 403, "access is limited to the application folder");
        else if (root != "app_folder")
            JsonError(res, 400, "bad root");
        else if (!path)
            JsonError(res, 400, "bad path");
        else if (c.Kind == "metadata") {
            const std::string* list = FindParam(ctx.Params, "list");
            bool wantList = list && (ToLowerAscii(*list) == "true" || *list == "1");
            const std::int64_t root = c.Folder(ctx);
            if (!wantList || !CachedListing(root, *decoded, ctx.FolderChange, res)) {
                // Counted before the read: a change committed meanwhile makes
                // the stored reply stale at once.
                const std::uint64_t change =
                    ctx.FolderChange ? *ctx.FolderChange : FStore->ChangeCount(root);
                auto r = FStore->Metadata(root, *path, wantList);
                if (r.Status != StoreStatus::Ok) {
                    StoreError(res, r.Status);
                    // A client asking whether a folder is there learns of a
                    // restored server from the refusal too.
                    json body = json::parse(res.Body);
                    body["data_fingerprint"] = FImpl->Fingerprint;
                    JsonReply(res, res.Status, body);
                } else {
                    NodeReply(res, r.Node, wantList && r.Node.IsFolder ? &r.Children : nullptr,
                              FImpl->Fingerprint);
                    if (wantList && r.Node.IsFolder)
                        KeepListing(root, *decoded, change, res.Body);
                }
            }
        } else {
            auto r = FStore->Metadata(c.Folder(ctx), *path, false);
            if (r.Status != StoreStatus::Ok)
                StoreError(res, r.Status);
            else if (r.Node.IsFolder)
                JsonError(res, 403, "only files can be shared");
            else {
                const std::string* name = FindParam(ctx.Params, "name");
                const std::string* access = FindParam(ctx.Params, "access_code");
                std::string code = FStore->CreateShare(r.Node.Id, access ? *access : std::string(),
                                                       name ? *name : r.Node.Name);
                std::string h = IsPlainHost(c.Host) ? c.Host : FOptions.Bind;
                JsonReply(res, 200,
                          json{{"url", c.Scheme + "://" + h + "/s/" + code},
                               {"access_code", access ? *access : std::string()}});
            }
        }
    }
}

void CloudServer::ServeFileOperation(Call& c) {
    HttpResponse& res = c.Res;
    OauthContext ctx;
    std::vector<std::string> path;
    std::shared_ptr<UploadSink> body;
    if (c.Taken) {
        ctx = std::move(c.Taken->Ctx);
        path = std::move(c.Taken->Path);
        body = std::move(c.Taken->Body);
    }
    if (c.Taken ||
        (c.Authorized(TokenNeed::Access, ctx) && c.CheckRoot(ctx) && c.PathOf(ctx, "path", path))) {
        std::int64_t root = c.Folder(ctx);
        if (c.Kind == "create_folder") {
            c.Reply(FStore->CreateFolder(root, path));
        } else if (c.Kind == "delete") {
            const std::string* recycle = FindParam(ctx.Params, "to_recycle");
            bool toRecycle = !recycle || ToLowerAscii(*recycle) != "false";
            auto r = FStore->Delete(root, path, toRecycle, IfRev(ctx.Params));
            if (r.Status != StoreStatus::Ok)
                StoreError(res, r);
            else
                JsonError(res, 200, "ok");
        } else if (c.Kind == "download_file") {
            FileReply(res, [&](int& fd) { return FStore->OpenDownload(root, path, fd); });
        } else if (c.Kind == "upload_file") {
            const std::string* ow = FindParam(ctx.Params, "overwrite");
            bool overwrite = !ow || ToLowerAscii(*ow) != "false";
            switch (body ? body->Result() : UploadSink::Outcome::NoFile) {
            case UploadSink::Outcome::Ok:
                c.Reply(FStore->Upload(root, path, body->File(), overwrite, IfRev(ctx.Params)));
                break;
            case UploadSink::Outcome::NoFile:
                JsonError(res, 400, "missing file part");
                break;
            case UploadSink::Outcome::TooLarge:
                StoreError(res, StoreStatus::TooLarge);
                break;
            case UploadSink::Outcome::Failed:
                StoreError(res, StoreStatus::Failed);
                break;
            }
        } else {
            // Nothing is converted here: an existing file gets a clear refusal.
            auto r = FStore->Metadata(root, path, false);
            if (r.Status != StoreStatus::Ok)
                StoreError(res, r.Status);
            else if (r.Node.IsFolder)
                JsonError(res, 403, "is a folder");
            else
                JsonError(res, 415, "this file cannot be converted");
        }
    }
}

void CloudServer::ServeMoveOrCopy(Call& c) {
    OauthContext ctx;
    std::vector<std::string> from, to;
    if (c.Authorized(TokenNeed::Access, ctx) && c.CheckRoot(ctx) &&
        c.PathOf(ctx, "from_path", from) && c.PathOf(ctx, "to_path", to)) {
        std::int64_t root = c.Folder(ctx);
        c.Reply(c.Kind == "move" ? FStore->Move(root, from, to, IfRev(ctx.Params))
                                 : FStore->Copy(root, from, to));
    }
}

void CloudServer::ServeUploadLocate(Call& c) {
    HttpRequest& req = c.Req;
    HttpResponse& res = c.Res;
    std::string h = IsPlainHost(c.Host)
                        ? c.Host
                        : FOptions.Bind + ":" + std::to_string(req.Tls ? FTlsPort : FPort);
    JsonReply(res, 200, json{{"url", c.Scheme + "://" + h + "/"}});
}

void CloudServer::ServeShareLink(Call& c) {
    HttpRequest& req = c.Req;
    HttpResponse& res = c.Res;
    std::string code(req.Path().substr(3));
    auto share = FStore->FindShare(code);
    const std::string* access = FindParam(*c.PlainQuery, "access_code");
    const std::int64_t now = UnixNow();
    const std::int64_t wait =
        share && !share->AccessCode.empty() ? ShareTryAllowedAt(code, req.PeerGroup, now) : 0;
    if (!share) {
        JsonError(res, 404, "file not exist");
    } else if (wait) {
        JsonError(res, 429, "too many wrong access codes; try again later");
        res.SetField("Retry-After", std::to_string(wait - now));
    } else if (!share->AccessCode.empty() &&
               (!access || access->size() != share->AccessCode.size() ||
                sodium_memcmp(access->data(), share->AccessCode.data(), access->size()) != 0)) {
        CountShareTry(code, req.PeerGroup, false, now);
        LogAuthFailure(req, "wrong share access code");
        JsonError(res, 403, "wrong access code");
    } else {
        if (!share->AccessCode.empty())
            CountShareTry(code, req.PeerGroup, true, now);
        FileReply(res, [&](int& fd) { return FStore->OpenDownloadById(share->Node, fd); });
    }
}

void CloudServer::ServeAuthorisePage(Call& c) {
    HttpResponse& res = c.Res;
    const std::string* token = FindParam(*c.PlainQuery, "oauth_token");
    auto rt = token ? FStore->FindRequestToken(*token) : std::nullopt;
    std::int64_t now = UnixNow();
    if (!rt || rt->UserId != 0 || rt->Created + FOptions.RequestTokenLifetime < now) {
        HtmlReply(res, 400,
                  AuthoriseErrorPage("This authorisation request is unknown or has "
                                     "expired. Please start again from the program."));
    } else {
        auto consumer = FStore->FindConsumer(rt->Consumer);
        WebSession ws{SecureRandomText(32), SecureRandomText(16), rt->Key, now};
        if (FStore->Shared()) {
            // The form may come back to another server.
            FStore->PutWebSession({ws.Sid, ws.S, ws.RequestToken, ws.Created},
                                  now - FOptions.RequestTokenLifetime);
        } else {
            std::lock_guard lock(FImpl->SessionsMutex);
            for (auto it = FImpl->Sessions.begin(); it != FImpl->Sessions.end();)
                it = it->second.Created + FOptions.RequestTokenLifetime < now
                         ? FImpl->Sessions.erase(it)
                         : std::next(it);
            FImpl->Sessions[ws.S] = ws;
        }
        res.SetField("Set-Cookie", "SID=" + ws.Sid + "; path=/; Secure; HttpOnly; SameSite=Lax");
        HtmlReply(res, 200,
                  AuthorisePage(ws.S, consumer ? consumer->AppName : rt->Consumer, rt->Key));
    }
}

void CloudServer::ServeAuthoriseCheck(Call& c) {
    HttpRequest& req = c.Req;
    HttpResponse& res = c.Res;
    // A browser posts the form url-encoded; the program posts multipart fields
    // whose values it form-encoded itself.
    auto parts = ParseMultipart(req.Field("Content-Type"), req.Body);
    auto formFields = StartsWith(req.Field("Content-Type"), "application/x-www-form-urlencoded")
                          ? ParseQueryString(req.Body)
                          : std::nullopt;
    auto field = [&](const char* name) -> std::optional<std::string> {
        for (const auto& p : parts)
            if (p.Name == name)
                return PercentDecode(p.Content, true);
        for (const auto* list :
             {formFields ? &*formFields : nullptr, c.PlainQuery ? &*c.PlainQuery : nullptr})
            if (const std::string* v = list ? FindParam(*list, name) : nullptr)
                return *v;
        return std::nullopt;
    };
    auto user = field("username");
    auto pwd = field("userpwd");
    auto s = field("s");
    auto token = field("oauth_token");
    std::optional<WebSession> session;
    if (s && FStore->Shared()) {
        if (auto kept = FStore->FindWebSession(*s))
            session = WebSession{kept->Sid, kept->S, kept->RequestToken, kept->Created};
    } else if (s) {
        std::lock_guard lock(FImpl->SessionsMutex);
        auto it = FImpl->Sessions.find(*s);
        if (it != FImpl->Sessions.end())
            session = it->second;
    }
    // The session cookie must come back, under its name or bare.
    bool cookieOk = false;
    for (std::string_view cookies :
         session ? req.FieldValues("Cookie") : std::vector<std::string_view>{})
        for (const auto& part : Split(std::string(cookies), ';')) {
            std::string t = Trim(part);
            auto eq = t.find('=');
            if (eq != std::string::npos && t.substr(0, eq) != "SID")
                continue;
            std::string value = eq == std::string::npos ? t : t.substr(eq + 1);
            if (value == session->Sid)
                cookieOk = true;
        }
    std::int64_t now = UnixNow();
    if (!session || !cookieOk || !token || *token != session->RequestToken ||
        session->Created + FOptions.RequestTokenLifetime < now) {
        HtmlReply(res, 200,
                  AuthoriseErrorPage("Your login session has expired. Please try "
                                     "again."));
    } else if (!user || !pwd || user->empty() || pwd->empty()) {
        HtmlReply(res, 200, AuthoriseErrorPage("Please enter user name and password."));
    } else {
        std::optional<UserRecord> account;
        const LoginOutcome outcome = CheckLogin(*user, *pwd, account);
        if (outcome != LoginOutcome::Good)
            LogAuthFailure(req, std::string(outcome == LoginOutcome::Locked
                                                ? "login while locked out, user "
                                                : "wrong password, user ") +
                                    LogSafe(*user));
        if (outcome == LoginOutcome::Locked) {
            HtmlReply(res, 200,
                      AuthoriseErrorPage("Too many failed logins. Please try again "
                                         "later."));
        } else if (outcome == LoginOutcome::Wrong) {
            HtmlReply(res, 200, AuthoriseErrorPage("Wrong user name or password."));
        } else {
            auto verifier = FStore->AuthoriseRequestToken(session->RequestToken, account->Id);
            if (FStore->Shared()) {
                FStore->EraseWebSession(session->S);
            } else {
                std::lock_guard lock(FImpl->SessionsMutex);
                FImpl->Sessions.erase(session->S);
            }
            if (!verifier) {
                HtmlReply(res, 200,
                          AuthoriseErrorPage("This authorisation request was used "
                                             "already. Please start again."));
            } else {
                auto rt = FStore->FindRequestToken(session->RequestToken);
                auto consumer = rt ? FStore->FindConsumer(rt->Consumer) : std::nullopt;
                HtmlReply(
                    res, 200,
                    AuthoriseCodePage(consumer ? consumer->AppName : "The program", *verifier));
            }
        }
    }
}

void CloudServer::Handle(HttpRequest& req, HttpResponse& res) {
    std::optional<std::vector<QueryParam>> plainQuery;
    const std::string kind = KindOfRequest(req, plainQuery);
    req.Operation = kind;

    Admitted* admitted = std::any_cast<Admitted>(&req.State);
    const FaultDecision fault = admitted ? admitted->Fault : FFaults.OnRequest(kind);
    if (!admitted && !ApplyFaultBefore(fault, res))
        return;

    const bool isPost = req.Method == "POST";
    const bool isGet = req.Method == "GET" || req.Method == "HEAD";
    Call call{*this,
              req,
              res,
              kind,
              plainQuery,
              admitted,
              std::string(req.Field("Host")),
              req.Tls ? "https" : "http"};
    try {
        const Route* route = FindRoute(kind);
        if (!route)
            JsonError(res, 404, "not found");
        else if (route->Post ? !isPost : !isGet)
            JsonError(res, 405, "method not allowed");
        else if (!plainQuery && route->Unsigned)
            JsonError(res, 400, "malformed query");
        else if (route->TlsOnly && !req.Tls)
            JsonError(res, 403, "this request must use https");
        else
            (this->*route->Answer)(call);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "otCloudServer: %s failed: %s\n", kind.c_str(), e.what());
        JsonError(res, 500, "server error");
    }
    if (fault.Active) {
        switch (fault.Rule.Action) {
        case FaultAction::Status:
            if (fault.Rule.AfterHandling) {
                res.File.reset();
                JsonError(res, fault.Rule.Status, "injected fault");
            }
            break;
        case FaultAction::Malformed:
            res.File.reset();
            res.SetContent("{\"msg\": \"injected", "application/json; charset=utf-8");
            break;
        case FaultAction::Truncate:
            res.SendHalfThenClose = true;
            break;
        case FaultAction::Delay:
            break;
        }
    }
}

} // namespace ot::server
