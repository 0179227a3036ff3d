// The store's frame: the database and its readers, the schema and the store-wide
// records (revisions, the data fingerprint), and the start-up clean-up.

#include "CloudStoreParts.h"

#include "CloudPath.h"
#include "common/Clock.h"
#include "common/FileUtil.h"

#include <sodium.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace ot::server {

namespace fs = std::filesystem;

namespace {

const char* const kSchema = R"SQL(
CREATE TABLE IF NOT EXISTS users(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  name TEXT NOT NULL UNIQUE,
  pwhash TEXT NOT NULL,
  created INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS consumers(
  key TEXT PRIMARY KEY,
  secret TEXT NOT NULL,
  app_name TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS request_tokens(
  key TEXT PRIMARY KEY,
  secret TEXT NOT NULL,
  consumer TEXT NOT NULL,
  created INTEGER NOT NULL,
  user_id INTEGER,
  verifier TEXT);
CREATE TABLE IF NOT EXISTS access_tokens(
  key TEXT PRIMARY KEY,
  secret TEXT NOT NULL,
  consumer TEXT NOT NULL,
  user_id INTEGER NOT NULL,
  created INTEGER NOT NULL,
  expires INTEGER NOT NULL,
  revoked INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS app_folders(
  user_id INTEGER NOT NULL,
  consumer TEXT NOT NULL,
  root INTEGER NOT NULL,
  PRIMARY KEY(user_id, consumer));
CREATE TABLE IF NOT EXISTS nodes(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  user_id INTEGER NOT NULL,
  parent INTEGER,
  name TEXT NOT NULL,
  is_folder INTEGER NOT NULL,
  size INTEGER NOT NULL DEFAULT 0,
  rev INTEGER NOT NULL DEFAULT 1,
  hash TEXT NOT NULL DEFAULT '',
  content TEXT,
  create_time INTEGER NOT NULL,
  modify_time INTEGER NOT NULL,
  deleted INTEGER NOT NULL DEFAULT 0,
  deleted_time INTEGER);
CREATE UNIQUE INDEX IF NOT EXISTS nodes_by_name ON nodes(parent, name) WHERE deleted = 0;
CREATE INDEX IF NOT EXISTS nodes_by_parent ON nodes(parent);
CREATE INDEX IF NOT EXISTS access_tokens_by_user ON access_tokens(user_id);
CREATE TABLE IF NOT EXISTS shares(
  code TEXT PRIMARY KEY,
  node INTEGER NOT NULL,
  access_code TEXT NOT NULL,
  name TEXT NOT NULL,
  created INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS meta(
  name TEXT PRIMARY KEY,
  value NOT NULL);
)SQL";

void InitSodium() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (sodium_init() < 0)
            throw std::runtime_error("libsodium cannot be initialised");
    });
}

std::string RandomHex(std::size_t bytes) {
    std::vector<unsigned char> raw(bytes);
    randombytes_buf(raw.data(), raw.size());
    std::string hex(bytes * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), raw.data(), raw.size());
    hex.pop_back();
    return hex;
}

} // namespace

void FsyncDir(const fs::path& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

void CreatePrivateDirectory(const fs::path& dir) {
    std::error_code ec;
    if (fs::exists(dir, ec))
        return;
    if (dir.has_parent_path() && dir.parent_path() != dir)
        fs::create_directories(dir.parent_path());
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot create " + dir.string());
}

std::string SecureRandomText(std::size_t length) {
    InitSodium();
    static const char alphabet[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    // One draw for the whole text (a draw per character was a system call
    // each); bytes from 248 up are dropped so that every character is
    // equally likely.
    std::string out;
    out.reserve(length);
    unsigned char raw[64];
    while (out.size() < length) {
        randombytes_buf(raw, sizeof raw);
        for (unsigned char b : raw)
            if (b < 248 && out.size() < length)
                out += alphabet[b % 62];
    }
    return out;
}

SqliteCloudStore::SqliteCloudStore(const fs::path& dataDir, StoreLimits limits, bool reconcile)
    : FDir(dataDir), FDbFile(dataDir / "cloud.db"), FLimits(limits) {
    InitSodium();
    CreatePrivateDirectory(FDir);
    CreatePrivateDirectory(FDir / "files");
    // The database holds every token secret: created readable by the server alone
    // (SQLite gives its journal files the database's mode).
    for (const char* suffix : {"", "-wal", "-shm"}) {
        fs::path file = FDbFile.string() + suffix;
        int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC | (*suffix ? 0 : O_CREAT), 0600);
        if (fd >= 0) {
            ::fchmod(fd, 0600);
            ::close(fd);
        }
    }
    FWriter = OpenConnection();
    CreateSchema();
    if (reconcile) {
        Reconcile();
        CheckDatabaseIdentity();
    }
}

SqliteCloudStore::~SqliteCloudStore() = default;

std::uint64_t SqliteCloudStore::ChangeCount(std::int64_t root) {
    std::lock_guard lock(FChangesMutex);
    auto it = FChanges.find(root);
    return it == FChanges.end() ? 0 : it->second;
}

SqliteCloudStore::ChangeMark::~ChangeMark() {
    std::lock_guard lock(Store.FChangesMutex);
    ++Store.FChanges[Root];
}

std::unique_ptr<Db> SqliteCloudStore::OpenConnection() {
    return std::make_unique<Db>(FDbFile.string());
}

std::unique_ptr<Db> SqliteCloudStore::TakeReader() {
    {
        std::lock_guard lock(FReadersMutex);
        if (!FReaders.empty()) {
            auto db = std::move(FReaders.back());
            FReaders.pop_back();
            return db;
        }
    }
    return OpenConnection();
}

void SqliteCloudStore::GiveBackReader(std::unique_ptr<Db> db) {
    std::lock_guard lock(FReadersMutex);
    FReaders.push_back(std::move(db));
}

void SqliteCloudStore::CreateSchema() {
    std::lock_guard lock(FWriteMutex);
    Transaction t(*FWriter);
    FWriter->Exec(kSchema);
    // A store made before revisions were counted goes on above its highest one.
    FWriter->Exec("INSERT OR IGNORE INTO meta(name, value) "
                  "SELECT 'rev', COALESCE(MAX(rev), 1) FROM nodes");
    Stmt(*FWriter, "INSERT OR IGNORE INTO meta(name, value) VALUES('data_fingerprint', ?1)")
        .Bind(1, RandomHex(16))
        .Exec();
    t.Commit();
}

std::string SqliteCloudStore::DataFingerprint() {
    ReaderLease db(*this);
    Stmt s(*db, "SELECT value FROM meta WHERE name = 'data_fingerprint'");
    return s.Step() ? s.Text(0) : std::string();
}

std::string SqliteCloudStore::RenewDataFingerprint() {
    std::string fresh = RandomHex(16);
    std::lock_guard lock(FWriteMutex);
    Stmt(*FWriter, "UPDATE meta SET value = ?1 WHERE name = 'data_fingerprint'")
        .Bind(1, fresh)
        .Exec();
    return fresh;
}

// The database file's inode, recorded by the serving process: a copy put back in its
// place (a restore, most often) is a new file. Only a copy written into the old file
// goes unseen, which is why the administrator's mark-restored exists as well. A data
// directory moved to another disk counts as a copy; clients then upload what they
// hold, which costs time but loses nothing.
void SqliteCloudStore::CheckDatabaseIdentity() {
    struct stat st {};
    if (::stat(FDbFile.c_str(), &st) != 0)
        return;
    const std::string identity = std::to_string(st.st_ino);
    std::string recorded;
    {
        Stmt s(*FWriter, "SELECT value FROM meta WHERE name = 'db_file'");
        if (s.Step())
            recorded = s.Text(0);
    }
    if (recorded == identity)
        return;
    if (!recorded.empty()) {
        FCopiedDatabase = true;
        RenewDataFingerprint();
    }
    std::lock_guard lock(FWriteMutex);
    Stmt(*FWriter, "INSERT INTO meta(name, value) VALUES('db_file', ?1) "
                   "ON CONFLICT(name) DO UPDATE SET value = ?1")
        .Bind(1, identity)
        .Exec();
}

std::int64_t SqliteCloudStore::NextRev(Db& db) {
    Stmt s(db, "UPDATE meta SET value = value + 1 WHERE name = 'rev' RETURNING value");
    if (!s.Step())
        throw DbError("the revision counter is missing");
    return s.Int(0);
}

bool SqliteCloudStore::AtRevision(const std::optional<Row>& node, std::optional<std::int64_t> ifRev,
                                  const std::vector<std::string>& path, NodeResult& r) {
    if (!ifRev || (node && node->Rev == *ifRev))
        return true;
    r.Status = StoreStatus::Changed;
    r.Node = node ? node->ToNode(JoinCloudPath(path)) : CloudNode{};
    return false;
}

void SqliteCloudStore::Reconcile() {
    FReconcile = {};
    std::set<std::string> referenced;
    {
        Stmt s(*FWriter, "SELECT content FROM nodes WHERE content IS NOT NULL");
        while (s.Step())
            referenced.insert(s.Text(0));
    }
    std::set<std::string> onDisk;
    std::error_code ec;
    for (const auto& sub : fs::directory_iterator(FDir / "files", ec)) {
        if (!sub.is_directory())
            continue;
        for (const auto& f : fs::directory_iterator(sub.path(), ec)) {
            std::string name = f.path().filename().string();
            if (!name.empty() && name[0] == '.') {
                // A write that never reached its rename.
                fs::remove(f.path(), ec);
                ++FReconcile.TempFiles;
            } else if (!referenced.count(name)) {
                // Written, but the metadata naming it was never committed (or it was
                // replaced and the old content not yet removed).
                fs::remove(f.path(), ec);
                ++FReconcile.OrphanFiles;
            } else {
                onDisk.insert(name);
            }
        }
    }
    std::vector<std::string> missing;
    for (const auto& name : referenced)
        if (!onDisk.count(name))
            missing.push_back(name);
    if (!missing.empty()) {
        // Only possible when the disk lost data behind our back; a file that cannot be
        // read is dropped rather than served as empty.
        std::lock_guard lock(FWriteMutex);
        Transaction t(*FWriter);
        for (const auto& name : missing) {
            std::fprintf(stderr, "otCloudServer: content %s is missing; its entry is removed\n",
                         name.c_str());
            Stmt(*FWriter, "DELETE FROM nodes WHERE content = ?1").Bind(1, name).Exec();
            ++FReconcile.MissingContent;
        }
        t.Commit();
    }
}

} // namespace ot::server
