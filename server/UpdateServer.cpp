#include "UpdateServer.h"

#include "HttpQuery.h"
#include "ServerDb.h"
#include "common/Clock.h"
#include "common/FileUtil.h"
#include "common/Text.h"
#include "package/OtPackageSignature.h"
#include "package/OtUpdateListFormat.h"
#include "platform/OtVersionInfo.h"

#include <pugixml.hpp>
#include <zip.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <sstream>

namespace ot::server {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kUsageTarget = "/brenmoor2012/asp/brenAppUseStatisticsDo.asp";
constexpr std::size_t kMaxUsageBody = 8 * 1024;
constexpr std::size_t kMaxUsageValue = 1024;

bool IsListName(std::string_view name) {
    if (name == "otUpgradeAppList.xml")
        return true;
    constexpr std::string_view prefix = "otUpgradeAppList_", suffix = ".xml";
    if (!StartsWith(name, prefix) || !EndsWith(name, suffix))
        return false;
    const std::string_view lang =
        name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    return !lang.empty() && lang.size() <= 16 && std::all_of(lang.begin(), lang.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
    });
}

bool IsPackageName(std::string_view name) {
    return !name.empty() && name.size() <= 200 && name.front() != '.' && EndsWith(name, ".zip") &&
           std::all_of(name.begin(), name.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '_' || c == '-';
           });
}

void JsonSuccess(HttpResponse& res, bool success) {
    res.Status = success ? 200 : 400;
    res.SetContent(success ? "{\"success\":true}" : "{\"success\":false}", "application/json");
}

} // namespace

namespace {

// Well-formed UTF-8 without C0 or C1 control characters or DEL: text that prints as
// itself.
bool IsPlainText(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == 0x7f)
            return false;
        if (c < 0x80) {
            ++i;
            continue;
        }
        const std::size_t n = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 ? 2 : 0;
        if (n == 0 || c > 0xf4 || i + n > s.size())
            return false;
        std::uint32_t cp = c & (0x3f >> (n - 1));
        for (std::size_t k = 1; k < n; ++k) {
            const auto t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xc0) != 0x80)
                return false;
            cp = (cp << 6) | (t & 0x3f);
        }
        const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[n] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff) ||
            (cp >= 0x80 && cp <= 0x9f))
            return false;
        i += n;
    }
    return true;
}

} // namespace

std::string EscapeUsageField(std::string_view field) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (char ch : field) {
        const auto c = static_cast<unsigned char>(ch);
        if (ch == '\\')
            out += "\\\\";
        else if (ch == '\t')
            out += "\\t";
        else if (ch == '\n')
            out += "\\n";
        else if (ch == '\r')
            out += "\\r";
        else if (c < 0x20 || c == 0x7f) {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else
            out += ch;
    }
    // C1 controls (and bytes that are no UTF-8) can steer a terminal as well.
    return IsPlainText(out) ? out : [&] {
        std::string bytes;
        for (char ch : out) {
            const auto c = static_cast<unsigned char>(ch);
            if (c < 0x80) {
                bytes += ch;
            } else {
                bytes += "\\x";
                bytes += hex[c >> 4];
                bytes += hex[c & 15];
            }
        }
        return bytes;
    }();
}

bool ParseUsageForm(std::string_view body, AppUsageRecord& record) {
    const std::pair<std::string_view, std::string AppUsageRecord::*> fields[] = {
        {"guid", &AppUsageRecord::Guid},           {"appName", &AppUsageRecord::AppName},
        {"appVer", &AppUsageRecord::AppVer},       {"authType", &AppUsageRecord::AuthType},
        {"osSysInfo", &AppUsageRecord::OsSysInfo},
    };
    const auto pairs = Split(body, '&');
    if (pairs.size() != std::size(fields))
        return false;
    AppUsageRecord r;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        const auto eq = pairs[i].find('=');
        if (eq == std::string::npos)
            return false;
        const auto name = PercentDecode(std::string_view(pairs[i]).substr(0, eq), true);
        auto value = PercentDecode(std::string_view(pairs[i]).substr(eq + 1), true);
        if (!name || !value || *name != fields[i].first || value->size() > kMaxUsageValue ||
            !IsPlainText(*value))
            return false;
        r.*(fields[i].second) = std::move(*value);
    }
    if (r.AppName.empty())
        return false;
    record = std::move(r);
    return true;
}

UsageLog::UsageLog(const fs::path& root) : FDb(std::make_unique<Db>((root / "usage.db").string())) {
    ::chmod((root / "usage.db").c_str(), 0600);
    FDb->Exec(
        "CREATE TABLE IF NOT EXISTS usage (id INTEGER PRIMARY KEY, received INTEGER NOT NULL, "
        "guid TEXT NOT NULL, app_name TEXT NOT NULL, app_ver TEXT NOT NULL, "
        "auth_type TEXT NOT NULL, os_sys_info TEXT NOT NULL)");
    Stmt count(*FDb, "SELECT COUNT(*) FROM usage");
    FCount = count.Step() ? count.Int(0) : 0;
}

UsageLog::~UsageLog() = default;

bool UsageLog::Add(const AppUsageRecord& r, std::int64_t maxRecords) {
    std::lock_guard lock(FMutex);
    if (FCount >= maxRecords)
        return false;
    Stmt(*FDb, "INSERT INTO usage (received, guid, app_name, app_ver, auth_type, os_sys_info) "
               "VALUES (?, ?, ?, ?, ?, ?)")
        .Bind(1, r.Received)
        .Bind(2, r.Guid)
        .Bind(3, r.AppName)
        .Bind(4, r.AppVer)
        .Bind(5, r.AuthType)
        .Bind(6, r.OsSysInfo)
        .Exec();
    ++FCount;
    return true;
}

std::vector<AppUsageRecord> UsageLog::All() {
    std::lock_guard lock(FMutex);
    std::vector<AppUsageRecord> out;
    Stmt s(*FDb, "SELECT received, guid, app_name, app_ver, auth_type, os_sys_info FROM usage "
                 "ORDER BY id");
    while (s.Step())
        out.push_back({s.Int(0), s.Text(1), s.Text(2), s.Text(3), s.Text(4), s.Text(5)});
    return out;
}

UpdateServer::UpdateServer(UpdateServerOptions options)
    : FOptions(std::move(options)), FUsage(FOptions.Root) {}

UpdateServer::~UpdateServer() {
    Stop();
}

bool UpdateServer::Bind(std::string& error) {
    FHttp = std::make_unique<HttpServer>(*this, FOptions.Http);
    FPort = FHttp->Listen(FOptions.Bind, FOptions.Port, error);
    return FPort > 0;
}

void UpdateServer::Run() {
    FHttp->Run();
}

void UpdateServer::Stop() {
    if (FHttp)
        FHttp->Stop();
}

bool UpdateServer::TakeUsageShare(const std::string& address, std::int64_t now) {
    std::lock_guard lock(FSharesMutex);
    if (FShares.size() > 10000)
        std::erase_if(FShares, [now](const auto& e) { return e.second.back() <= now - 3600; });
    auto& times = FShares[address];
    while (!times.empty() && times.front() <= now - 3600)
        times.pop_front();
    if (times.size() >= FOptions.UsagePerAddressPerHour)
        return false;
    times.push_back(now);
    return true;
}

bool UpdateServer::Admit(HttpRequest& req, HttpResponse& res) {
    if (req.Method == "POST" && req.Path() == kUsageTarget) {
        req.MaxBody = kMaxUsageBody;
        return true;
    }
    if (req.Method != "GET" && req.Method != "HEAD") {
        res.Status = 405;
        res.SetContent("method not allowed\n", "text/plain");
        return false;
    }
    return true;
}

bool UpdateServer::Quick(const HttpRequest& req) {
    // Opening a file is quick; recording usage writes to disk.
    return req.Method != "POST";
}

void UpdateServer::ServeFile(const fs::path& file, const char* type, HttpResponse& res) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0)
            ::close(fd);
        res.Status = 404;
        res.SetContent("not found\n", "text/plain");
        return;
    }
    res.Status = 200;
    res.ContentType = type;
    res.File = std::make_shared<HttpFileBody>(fd, static_cast<std::uint64_t>(st.st_size));
}

void UpdateServer::Handle(HttpRequest& req, HttpResponse& res) {
    const std::string_view path = req.Path();
    if (req.Method == "POST") {
        AppUsageRecord record;
        // The media type itself, whatever parameters follow it.
        const std::string type = ToLowerAscii(Trim(Split(req.Field("Content-Type"), ';')[0]));
        if (type != "application/x-www-form-urlencoded" || !ParseUsageForm(req.Body, record))
            return JsonSuccess(res, false);
        record.Received = UnixNow();
        bool kept = false;
        if (!TakeUsageShare(req.PeerGroup, record.Received)) {
            JsonSuccess(res, false);
            res.Status = 429;
            return;
        }
        try {
            kept = FUsage.Add(record, FOptions.MaxUsageRecords);
        } catch (const std::exception&) {
            res.Status = 500;
            res.SetContent("{\"success\":false}", "application/json");
            return;
        }
        JsonSuccess(res, kept);
        if (!kept)
            res.Status = 507;
        return;
    }
    if (StartsWith(path, kUpdateListFolder)) {
        const std::string_view rest = path.substr(kUpdateListFolder.size());
        if (IsListName(rest))
            return ServeFile(FOptions.Root / "lists" / std::string(rest), "text/xml", res);
        if (StartsWith(rest, kUpdatePackageFolder) &&
            IsPackageName(rest.substr(kUpdatePackageFolder.size())))
            return ServeFile(FOptions.Root / "packages" /
                                 std::string(rest.substr(kUpdatePackageFolder.size())),
                             "application/zip", res);
    }
    res.Status = 404;
    res.SetContent("not found\n", "text/plain");
}

void UpdateServer::Log(const HttpRequest& req, const HttpResponse& res) {
    // "<date> <time> <client> <method> <path> <status>"
    if (!FOptions.Quiet)
        std::fprintf(stderr, "%s%s %s %s %d\n", LogPrefix().c_str(),
                     req.Peer.empty() ? "-" : req.Peer.c_str(), LogSafe(req.Method).c_str(),
                     LogSafe(req.Path()).c_str(), res.Status);
}

namespace {

// The files below dir as archive names, sorted; false for a link or special file.
// Dotted versions as the upgrade program reads them, a missing part being 0
// ("1.0.0" is "1.0.0.0").
bool SameVersion(std::string_view a, std::string_view b) {
    auto parts = [](std::string_view v) {
        std::vector<long long> out;
        for (const auto& p : Split(std::string(v), '.')) {
            const auto n = ParseInt64(p);
            out.push_back(n ? *n : -1);
        }
        while (!out.empty() && out.back() == 0)
            out.pop_back();
        return out;
    };
    return parts(a) == parts(b);
}

bool CollectFiles(const fs::path& dir, std::vector<std::string>& names, std::string& error) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        const auto status = it->symlink_status(ec);
        const std::string rel = fs::relative(it->path(), dir, ec).generic_string();
        if (fs::is_symlink(status) || (!fs::is_regular_file(status) && !fs::is_directory(status))) {
            error = rel + " is neither a file nor a folder";
            return false;
        }
        if (fs::is_regular_file(status))
            names.push_back(rel);
    }
    if (ec) {
        error = "cannot list " + dir.string() + ": " + ec.message();
        return false;
    }
    std::sort(names.begin(), names.end());
    if (names.empty())
        error = dir.string() + " holds no files";
    return !names.empty();
}

bool BuildZip(const fs::path& from, const std::vector<std::string>& names, const fs::path& zipFile,
              std::string& error) {
    int err = 0;
    zip_t* z = zip_open(zipFile.c_str(), ZIP_CREATE | ZIP_EXCL, &err);
    if (!z) {
        error = "cannot create " + zipFile.string();
        return false;
    }
    for (const auto& name : names) {
        const fs::path file = from / name;
        zip_source_t* src = zip_source_file(z, file.c_str(), 0, -1);
        const zip_int64_t index =
            src ? zip_file_add(z, name.c_str(), src, ZIP_FL_ENC_UTF_8) : zip_int64_t(-1);
        if (index < 0) {
            if (src)
                zip_source_free(src);
            error = "cannot add " + name + ": " + zip_strerror(z);
            zip_discard(z);
            return false;
        }
        struct stat st {};
        ::stat(file.c_str(), &st);
        const zip_uint32_t mode = (S_IFREG | (st.st_mode & 0777));
        zip_file_set_external_attributes(z, static_cast<zip_uint64_t>(index), 0, ZIP_OPSYS_UNIX,
                                         mode << 16);
    }
    if (zip_close(z) != 0) {
        error = std::string("cannot write the package: ") + zip_strerror(z);
        zip_discard(z);
        return false;
    }
    return true;
}

bool UpdateList(const fs::path& listFile, const PublishRequest& r, long long size,
                const std::string& url, const std::string& sha, const std::string& signature,
                std::string& error) {
    pugi::xml_document doc;
    std::error_code ec;
    if (fs::exists(listFile, ec) && !doc.load_file(listFile.c_str())) {
        error = listFile.string() + " is not well-formed";
        return false;
    }
    pugi::xml_node root = doc.child("otUpgradeAppList");
    if (!root) {
        doc.reset();
        auto decl = doc.append_child(pugi::node_declaration);
        decl.append_attribute("version") = "1.0";
        decl.append_attribute("encoding") = "UTF-8";
        root = doc.append_child("otUpgradeAppList");
    }
    pugi::xml_node list = root.child("otAppList");
    if (!list)
        list = root.append_child("otAppList");
    pugi::xml_node app;
    for (auto node : list.children())
        if (node.type() == pugi::node_element && r.Name == node.attribute("name").value())
            app = node;
    if (!app)
        app = list.append_child("app");
    while (app.first_attribute())
        app.remove_attribute(app.first_attribute());
    const std::pair<const char*, std::string> values[] = {
        {"name", r.Name},
        {"dependence", r.Dependence},
        {"title", r.Title},
        {"version", r.Version},
        {"upgradedate", r.UpgradeDate},
        {"size", std::to_string(size)},
        {"url", url},
        {"upgradedetail", r.Detail},
        {"sha256", sha},
        {"signature", signature},
    };
    for (const auto& [name, value] : values)
        app.append_attribute(name) = value.c_str();
    std::ostringstream out;
    doc.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
    return WriteFileAtomic(listFile, out.str(), 0644, &error);
}

} // namespace

bool Publish(const PublishRequest& r, std::string& error) {
    if (r.Name.empty() || r.Version.empty() || !IsPackageName(r.Name + "-" + r.Version + ".zip")) {
        error = "name and version must be letters, digits, '.', '_' or '-'";
        return false;
    }
    const std::string secret = ReadKeyFile(r.SecretKeyFile);
    if (secret.empty()) {
        error = "cannot read the secret key " + r.SecretKeyFile;
        return false;
    }
    std::vector<std::string> names;
    if (!CollectFiles(r.From, names, error))
        return false;
    // The upgrade program takes the installed version from the executable's
    // version record: a list entry that says otherwise would be offered again
    // after every install.
    TFileVersionInfo info;
    if (std::find(names.begin(), names.end(), r.Name) != names.end() &&
        GetAppVersionInfo((r.From / r.Name).string(), info) &&
        !SameVersion(info.fFileVersion, r.Version)) {
        error = "--version " + r.Version + " differs from the version record of " +
                (r.From / r.Name).string() + " (" + info.fFileVersion + ")";
        return false;
    }
    std::error_code ec;
    const fs::path packages = r.Root / "packages";
    fs::create_directories(packages, ec);
    fs::create_directories(r.Root / "lists", ec);
    const std::string fileName = r.Name + "-" + r.Version + ".zip";
    const fs::path target = packages / fileName;
    const fs::path tmp = TempNameBeside(target);
    if (!BuildZip(r.From, names, tmp, error))
        return false;
    const auto size = fs::file_size(tmp, ec);
    const auto sha = Sha256FileHex(tmp.string());
    if (ec || !sha || size > static_cast<std::uintmax_t>(INT_MAX)) {
        fs::remove(tmp, ec);
        error = "the package is unreadable or larger than 2 GB";
        return false;
    }
    const std::string signature =
        SignPackageText(PackageSignedText(r.Name, r.Version, *sha), secret);
    if (signature.empty()) {
        fs::remove(tmp, ec);
        error = r.SecretKeyFile + " is not an Ed25519 secret key";
        return false;
    }
    if (!FsyncFile(tmp) || (fs::rename(tmp, target, ec), ec)) {
        fs::remove(tmp, ec);
        error = "cannot store " + target.string();
        return false;
    }
    const std::string url =
        r.UrlBase + std::string(kUpdateListFolder) + std::string(kUpdatePackageFolder) + fileName;
    for (const auto& lang : r.Langs)
        if (!UpdateList(r.Root / "lists" / UpgradeAppListFileName(lang), r,
                        static_cast<long long>(size), url, *sha, signature, error))
            return false;
    return true;
}

} // namespace ot::server
