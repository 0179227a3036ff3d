#include "CloudStore.h"

#include "CloudPath.h"
#include "common/Clock.h"
#include "common/FileUtil.h"

#include <openssl/evp.h>
#include <sodium.h>

#include <algorithm>
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

// deleted: 0 live, 1 the top of a recycled subtree, 2 inside a recycled folder.
const char* const kNodeColumns =
    "id, user_id, parent, name, is_folder, size, rev, hash, content, create_time, modify_time";

std::string Sha1Hex(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), digest, &len, EVP_sha1(), nullptr);
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < len; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

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

void FsyncDir(const fs::path& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

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
    std::string out;
    out.reserve(length);
    for (std::size_t i = 0; i < length; ++i)
        out += alphabet[randombytes_uniform(62)];
    return out;
}

struct CloudStore::Row {
    std::int64_t Id = 0;
    std::int64_t UserId = 0;
    std::int64_t Parent = 0;
    std::string Name;
    bool IsFolder = false;
    std::int64_t Size = 0;
    std::int64_t Rev = 0;
    std::string Hash;
    std::string Content;
    std::int64_t CreateTime = 0;
    std::int64_t ModifyTime = 0;

    static Row From(const Stmt& s) {
        Row r;
        r.Id = s.Int(0);
        r.UserId = s.Int(1);
        r.Parent = s.IsNull(2) ? 0 : s.Int(2);
        r.Name = s.Text(3);
        r.IsFolder = s.Int(4) != 0;
        r.Size = s.Int(5);
        r.Rev = s.Int(6);
        r.Hash = s.Text(7);
        r.Content = s.Text(8);
        r.CreateTime = s.Int(9);
        r.ModifyTime = s.Int(10);
        return r;
    }

    CloudNode ToNode(std::string path) const {
        CloudNode n;
        n.Id = Id;
        n.Path = std::move(path);
        n.Name = Name;
        n.IsFolder = IsFolder;
        n.Size = Size;
        n.Rev = Rev;
        n.Hash = Hash;
        n.CreateTime = CreateTime;
        n.ModifyTime = ModifyTime;
        return n;
    }
};

// Hands a reader connection back to the pool when the request is done with it.
class CloudStore::ReaderLease {
public:
    explicit ReaderLease(CloudStore& store) : FStore(store), FDb(store.TakeReader()) {}
    ~ReaderLease() { FStore.GiveBackReader(std::move(FDb)); }
    Db& operator*() { return *FDb; }

private:
    CloudStore& FStore;
    std::unique_ptr<Db> FDb;
};

CloudStore::CloudStore(const fs::path& dataDir, StoreLimits limits, bool reconcile)
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

CloudStore::~CloudStore() = default;

std::uint64_t CloudStore::ChangeCount(std::int64_t root) {
    std::lock_guard lock(FChangesMutex);
    auto it = FChanges.find(root);
    return it == FChanges.end() ? 0 : it->second;
}

CloudStore::ChangeMark::~ChangeMark() {
    std::lock_guard lock(Store.FChangesMutex);
    ++Store.FChanges[Root];
}

std::unique_ptr<Db> CloudStore::OpenConnection() {
    return std::make_unique<Db>(FDbFile.string());
}

std::unique_ptr<Db> CloudStore::TakeReader() {
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

void CloudStore::GiveBackReader(std::unique_ptr<Db> db) {
    std::lock_guard lock(FReadersMutex);
    FReaders.push_back(std::move(db));
}

void CloudStore::CreateSchema() {
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

std::string CloudStore::DataFingerprint() {
    ReaderLease db(*this);
    Stmt s(*db, "SELECT value FROM meta WHERE name = 'data_fingerprint'");
    return s.Step() ? s.Text(0) : std::string();
}

std::string CloudStore::RenewDataFingerprint() {
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
void CloudStore::CheckDatabaseIdentity() {
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

std::int64_t CloudStore::NextRev(Db& db) {
    Stmt s(db, "UPDATE meta SET value = value + 1 WHERE name = 'rev' RETURNING value");
    if (!s.Step())
        throw DbError("the revision counter is missing");
    return s.Int(0);
}

bool CloudStore::AtRevision(const std::optional<Row>& node, std::optional<std::int64_t> ifRev,
                            const std::vector<std::string>& path, NodeResult& r) {
    if (!ifRev || (node && node->Rev == *ifRev))
        return true;
    r.Status = StoreStatus::Changed;
    r.Node = node ? node->ToNode(JoinCloudPath(path)) : CloudNode{};
    return false;
}

fs::path CloudStore::ContentPath(const std::string& name) const {
    return FDir / "files" / name.substr(0, 2) / name;
}

std::string CloudStore::NewContentName() {
    return SecureRandomText(32);
}

bool CloudStore::WriteContent(const std::string& name, const std::string& content) {
    fs::path target = ContentPath(name);
    std::error_code ec;
    bool created = fs::create_directories(target.parent_path(), ec);
    if (ec)
        return false;
    if (created)
        FsyncDir(target.parent_path().parent_path());
    // Written to a temporary name, flushed, renamed and the directory flushed: the
    // content is on disk before any metadata names it.
    return WriteFileAtomic(target, content, 0600);
}

void CloudStore::RemoveContent(const std::string& name) {
    if (name.empty())
        return;
    std::error_code ec;
    fs::remove(ContentPath(name), ec);
}

void CloudStore::Reconcile() {
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

// ---------------------------------------------------------------- accounts

bool CloudStore::AddUser(const std::string& name, const std::string& passwordHash) {
    std::lock_guard lock(FWriteMutex);
    Transaction t(*FWriter);
    if (Stmt(*FWriter, "SELECT 1 FROM users WHERE name = ?1").Bind(1, name).Step())
        return false;
    Stmt(*FWriter, "INSERT INTO users(name, pwhash, created) VALUES(?1, ?2, ?3)")
        .Bind(1, name)
        .Bind(2, passwordHash)
        .Bind(3, UnixNow())
        .Exec();
    t.Commit();
    return true;
}

bool CloudStore::SetPasswordHash(const std::string& name, const std::string& passwordHash) {
    std::lock_guard lock(FWriteMutex);
    Stmt(*FWriter, "UPDATE users SET pwhash = ?2 WHERE name = ?1")
        .Bind(1, name)
        .Bind(2, passwordHash)
        .Exec();
    return FWriter->Changes() == 1;
}

std::optional<UserRecord> CloudStore::FindUser(const std::string& name) {
    ReaderLease db(*this);
    Stmt s(*db, "SELECT id, name, pwhash, created FROM users WHERE name = ?1");
    s.Bind(1, name);
    if (!s.Step())
        return std::nullopt;
    return UserRecord{s.Int(0), s.Text(1), s.Text(2), s.Int(3)};
}

std::optional<UserRecord> CloudStore::FindUserById(std::int64_t id) {
    ReaderLease db(*this);
    Stmt s(*db, "SELECT id, name, pwhash, created FROM users WHERE id = ?1");
    s.Bind(1, id);
    if (!s.Step())
        return std::nullopt;
    return UserRecord{s.Int(0), s.Text(1), s.Text(2), s.Int(3)};
}

std::vector<UserRecord> CloudStore::ListUsers() {
    ReaderLease db(*this);
    Stmt s(*db, "SELECT id, name, pwhash, created FROM users ORDER BY name");
    std::vector<UserRecord> out;
    while (s.Step())
        out.push_back({s.Int(0), s.Text(1), s.Text(2), s.Int(3)});
    return out;
}

void CloudStore::PutConsumer(const ConsumerRecord& c) {
    std::lock_guard lock(FWriteMutex);
    Stmt(*FWriter, "INSERT INTO consumers(key, secret, app_name) VALUES(?1, ?2, ?3) "
                   "ON CONFLICT(key) DO UPDATE SET secret = ?2, app_name = ?3")
        .Bind(1, c.Key)
        .Bind(2, c.Secret)
        .Bind(3, c.AppName)
        .Exec();
}

std::optional<ConsumerRecord> CloudStore::FindConsumer(const std::string& key) {
    ReaderLease db(*this);
    Stmt s(*db, "SELECT key, secret, app_name FROM consumers WHERE key = ?1");
    s.Bind(1, key);
    if (!s.Step())
        return std::nullopt;
    return ConsumerRecord{s.Text(0), s.Text(1), s.Text(2)};
}

TokenPairText CloudStore::CreateRequestToken(const std::string& consumer, std::int64_t now) {
    TokenPairText pair{SecureRandomText(32), SecureRandomText(32)};
    std::lock_guard lock(FWriteMutex);
    Stmt(*FWriter,
         "INSERT INTO request_tokens(key, secret, consumer, created) VALUES(?1, ?2, ?3, ?4)")
        .Bind(1, pair.Key)
        .Bind(2, pair.Secret)
        .Bind(3, consumer)
        .Bind(4, now)
        .Exec();
    return pair;
}

std::optional<RequestTokenRecord> CloudStore::FindRequestToken(const std::string& key) {
    ReaderLease db(*this);
    Stmt s(*db, "SELECT key, secret, consumer, created, user_id FROM request_tokens "
                "WHERE key = ?1");
    s.Bind(1, key);
    if (!s.Step())
        return std::nullopt;
    return RequestTokenRecord{s.Text(0), s.Text(1), s.Text(2), s.Int(3),
                              s.IsNull(4) ? 0 : s.Int(4)};
}

std::optional<std::string> CloudStore::AuthoriseRequestToken(const std::string& key,
                                                             std::int64_t userId) {
    std::string verifier = SecureRandomText(16);
    std::lock_guard lock(FWriteMutex);
    Stmt(*FWriter, "UPDATE request_tokens SET user_id = ?2, verifier = ?3 "
                   "WHERE key = ?1 AND user_id IS NULL")
        .Bind(1, key)
        .Bind(2, userId)
        .Bind(3, verifier)
        .Exec();
    if (FWriter->Changes() != 1)
        return std::nullopt;
    return verifier;
}

std::optional<std::int64_t> CloudStore::ConsumeRequestToken(const std::string& key,
                                                            const std::string& verifier) {
    std::lock_guard lock(FWriteMutex);
    Transaction t(*FWriter);
    Stmt s(*FWriter, "SELECT user_id, verifier FROM request_tokens "
                     "WHERE key = ?1 AND user_id IS NOT NULL");
    s.Bind(1, key);
    if (!s.Step())
        return std::nullopt;
    std::int64_t user = s.Int(0);
    std::string expected = s.Text(1);
    if (expected.size() != verifier.size() ||
        sodium_memcmp(expected.data(), verifier.data(), expected.size()) != 0)
        return std::nullopt;
    Stmt(*FWriter, "DELETE FROM request_tokens WHERE key = ?1").Bind(1, key).Exec();
    t.Commit();
    return user;
}

int CloudStore::PurgeRequestTokens(std::int64_t createdBefore) {
    std::lock_guard lock(FWriteMutex);
    Stmt(*FWriter, "DELETE FROM request_tokens WHERE created < ?1").Bind(1, createdBefore).Exec();
    return FWriter->Changes();
}

TokenPairText CloudStore::CreateAccessToken(const std::string& consumer, std::int64_t userId,
                                            std::int64_t now, std::int64_t expires) {
    TokenPairText pair{SecureRandomText(32), SecureRandomText(32)};
    std::lock_guard lock(FWriteMutex);
    Stmt(*FWriter, "INSERT INTO access_tokens(key, secret, consumer, user_id, created, expires) "
                   "VALUES(?1, ?2, ?3, ?4, ?5, ?6)")
        .Bind(1, pair.Key)
        .Bind(2, pair.Secret)
        .Bind(3, consumer)
        .Bind(4, userId)
        .Bind(5, now)
        .Bind(6, expires)
        .Exec();
    return pair;
}

std::optional<AccessTokenRecord> CloudStore::FindAccessToken(const std::string& key) {
    ReaderLease db(*this);
    Stmt s(*db, "SELECT key, secret, consumer, user_id, expires, revoked, created "
                "FROM access_tokens WHERE key = ?1");
    s.Bind(1, key);
    if (!s.Step())
        return std::nullopt;
    return AccessTokenRecord{s.Text(0), s.Text(1),     s.Text(2), s.Int(3),
                             s.Int(4),  s.Int(5) != 0, s.Int(6)};
}

int CloudStore::RevokeAccessTokens(std::int64_t userId) {
    std::lock_guard lock(FWriteMutex);
    Stmt(*FWriter, "UPDATE access_tokens SET revoked = 1 WHERE user_id = ?1 AND revoked = 0")
        .Bind(1, userId)
        .Exec();
    return FWriter->Changes();
}

// An application folder, once made, is never removed or moved: its ID is kept in memory
// after the first look-up, saving a query on every request.
std::int64_t CloudStore::AppFolder(std::int64_t userId, const std::string& consumer) {
    const std::string key = std::to_string(userId) + ":" + consumer;
    {
        std::lock_guard lock(FAppFoldersMutex);
        auto it = FAppFolders.find(key);
        if (it != FAppFolders.end())
            return it->second;
    }
    std::int64_t root = FindOrCreateAppFolder(userId, consumer);
    std::lock_guard lock(FAppFoldersMutex);
    if (FAppFolders.size() >= 100000)
        FAppFolders.clear();
    FAppFolders.emplace(key, root);
    return root;
}

std::int64_t CloudStore::FindOrCreateAppFolder(std::int64_t userId, const std::string& consumer) {
    {
        ReaderLease db(*this);
        Stmt s(*db, "SELECT root FROM app_folders WHERE user_id = ?1 AND consumer = ?2");
        s.Bind(1, userId).Bind(2, consumer);
        if (s.Step())
            return s.Int(0);
    }
    std::lock_guard lock(FWriteMutex);
    Transaction t(*FWriter);
    Stmt s(*FWriter, "SELECT root FROM app_folders WHERE user_id = ?1 AND consumer = ?2");
    s.Bind(1, userId).Bind(2, consumer);
    if (s.Step())
        return s.Int(0);
    std::int64_t now = UnixNow();
    Stmt(*FWriter, "INSERT INTO nodes(user_id, parent, name, is_folder, create_time, "
                   "modify_time) VALUES(?1, NULL, '', 1, ?2, ?2)")
        .Bind(1, userId)
        .Bind(2, now)
        .Exec();
    std::int64_t root = FWriter->LastInsertId();
    Stmt(*FWriter, "INSERT INTO app_folders(user_id, consumer, root) VALUES(?1, ?2, ?3)")
        .Bind(1, userId)
        .Bind(2, consumer)
        .Bind(3, root)
        .Exec();
    t.Commit();
    return root;
}

// ---------------------------------------------------------------- the tree

std::optional<CloudStore::Row> CloudStore::Child(Db& db, std::int64_t parent,
                                                 const std::string& name) {
    Stmt s(db, std::string("SELECT ") + kNodeColumns +
                   " FROM nodes WHERE parent = ?1 AND name = ?2 AND deleted = 0");
    s.Bind(1, parent).Bind(2, name);
    if (!s.Step())
        return std::nullopt;
    return Row::From(s);
}

std::optional<CloudStore::Row> CloudStore::Lookup(Db& db, std::int64_t root,
                                                  const std::vector<std::string>& path,
                                                  StoreStatus& why) {
    Stmt s(db, std::string("SELECT ") + kNodeColumns + " FROM nodes WHERE id = ?1");
    s.Bind(1, root);
    if (!s.Step()) {
        why = StoreStatus::NotFound;
        return std::nullopt;
    }
    Row cur = Row::From(s);
    for (const auto& name : path) {
        if (!cur.IsFolder) {
            why = StoreStatus::NotFound;
            return std::nullopt;
        }
        auto next = Child(db, cur.Id, name);
        if (!next) {
            why = StoreStatus::NotFound;
            return std::nullopt;
        }
        cur = std::move(*next);
    }
    return cur;
}

std::optional<CloudStore::Row> CloudStore::ParentFolder(Db& db, std::int64_t root,
                                                        const std::vector<std::string>& path,
                                                        StoreStatus& why) {
    std::vector<std::string> parentPath(path.begin(), path.end() - 1);
    auto parent = Lookup(db, root, parentPath, why);
    if (!parent) {
        why = StoreStatus::ParentNotFound;
        return std::nullopt;
    }
    if (!parent->IsFolder) {
        why = StoreStatus::NotAFolder;
        return std::nullopt;
    }
    return parent;
}

std::int64_t CloudStore::UserOfNode(Db& db, std::int64_t node) {
    Stmt s(db, "SELECT user_id FROM nodes WHERE id = ?1");
    s.Bind(1, node);
    return s.Step() ? s.Int(0) : 0;
}

// The recycle bin counts: what a user deleted still takes the server's disk.
std::int64_t CloudStore::UsedBytes(Db& db, std::int64_t userId) {
    Stmt s(db, "SELECT COALESCE(SUM(size), 0) FROM nodes WHERE user_id = ?1");
    s.Bind(1, userId);
    return s.Step() ? s.Int(0) : 0;
}

NodeResult CloudStore::Metadata(std::int64_t root, const std::vector<std::string>& path,
                                bool list) {
    NodeResult r;
    ReaderLease db(*this);
    // One read transaction, so a listing never mixes two states of the folder.
    (*db).Exec("BEGIN");
    struct EndRead {
        Db& D;
        ~EndRead() {
            try {
                D.Exec("COMMIT");
            } catch (...) {
            }
        }
    } end{*db};
    auto row = Lookup(*db, root, path, r.Status);
    if (!row)
        return r;
    std::string self = JoinCloudPath(path);
    r.Node = row->ToNode(self);
    if (list && row->IsFolder) {
        Stmt s(*db, std::string("SELECT ") + kNodeColumns +
                        " FROM nodes WHERE parent = ?1 AND deleted = 0 ORDER BY name");
        s.Bind(1, row->Id);
        std::string prefix = path.empty() ? "/" : self + "/";
        while (s.Step()) {
            Row c = Row::From(s);
            r.Children.push_back(c.ToNode(prefix + c.Name));
        }
    }
    return r;
}

NodeResult CloudStore::CreateFolder(std::int64_t root, const std::vector<std::string>& path) {
    ChangeMark mark{*this, root};
    NodeResult r;
    if (path.empty()) {
        r.Status = StoreStatus::Exists;
        return r;
    }
    std::lock_guard lock(FWriteMutex);
    Transaction t(*FWriter);
    auto parent = ParentFolder(*FWriter, root, path, r.Status);
    if (!parent)
        return r;
    if (auto existing = Child(*FWriter, parent->Id, path.back())) {
        // Creating a folder that is already there answers that folder, so a client that
        // lost the first reply can simply ask again.
        if (!existing->IsFolder) {
            r.Status = StoreStatus::Exists;
            return r;
        }
        r.Node = existing->ToNode(JoinCloudPath(path));
        return r;
    }
    std::int64_t now = UnixNow();
    const std::int64_t rev = NextRev(*FWriter);
    Stmt(*FWriter, "INSERT INTO nodes(user_id, parent, name, is_folder, rev, create_time, "
                   "modify_time) VALUES(?1, ?2, ?3, 1, ?5, ?4, ?4)")
        .Bind(1, parent->UserId)
        .Bind(2, parent->Id)
        .Bind(3, path.back())
        .Bind(4, now)
        .Bind(5, rev)
        .Exec();
    std::int64_t id = FWriter->LastInsertId();
    auto created = Child(*FWriter, parent->Id, path.back());
    t.Commit();
    if (!created || created->Id != id) {
        r.Status = StoreStatus::Failed;
        return r;
    }
    r.Node = created->ToNode(JoinCloudPath(path));
    return r;
}

NodeResult CloudStore::Move(std::int64_t root, const std::vector<std::string>& from,
                            const std::vector<std::string>& to, std::optional<std::int64_t> ifRev) {
    ChangeMark mark{*this, root};
    NodeResult r;
    if (from.empty() || to.empty()) {
        r.Status = StoreStatus::Forbidden;
        return r;
    }
    std::lock_guard lock(FWriteMutex);
    Transaction t(*FWriter);
    auto src = Lookup(*FWriter, root, from, r.Status);
    if (!AtRevision(src, ifRev, from, r) || !src)
        return r;
    if (from == to) {
        r.Node = src->ToNode(JoinCloudPath(to));
        return r;
    }
    auto parent = ParentFolder(*FWriter, root, to, r.Status);
    if (!parent)
        return r;
    if (Child(*FWriter, parent->Id, to.back())) {
        r.Status = StoreStatus::Exists;
        return r;
    }
    // A folder cannot move into itself or below itself.
    if (src->IsFolder && IsAtOrBelow(*FWriter, parent->Id, src->Id)) {
        r.Status = StoreStatus::Forbidden;
        return r;
    }
    // A node under a new name is a new version of that path.
    const std::int64_t rev = NextRev(*FWriter);
    Stmt(*FWriter, "UPDATE nodes SET parent = ?2, name = ?3, rev = ?4 WHERE id = ?1")
        .Bind(1, src->Id)
        .Bind(2, parent->Id)
        .Bind(3, to.back())
        .Bind(4, rev)
        .Exec();
    t.Commit();
    src->Parent = parent->Id;
    src->Name = to.back();
    src->Rev = rev;
    r.Node = src->ToNode(JoinCloudPath(to));
    return r;
}

bool CloudStore::IsAtOrBelow(Db& db, std::int64_t node, std::int64_t folder) {
    for (std::int64_t walk = node; walk != 0;) {
        if (walk == folder)
            return true;
        Stmt s(db, "SELECT parent FROM nodes WHERE id = ?1");
        s.Bind(1, walk);
        walk = (s.Step() && !s.IsNull(0)) ? s.Int(0) : 0;
    }
    return false;
}

std::int64_t CloudStore::CopyTree(Db& db, const Row& src, std::int64_t newParent,
                                  const std::string& newName, std::int64_t now,
                                  std::vector<std::string>& createdContent) {
    std::string content;
    if (!src.IsFolder && !src.Content.empty()) {
        content = NewContentName();
        fs::path target = ContentPath(src.Content);
        fs::path copy = ContentPath(content);
        std::error_code ec;
        fs::create_directories(copy.parent_path(), ec);
        // A hard link shares the bytes; each entry still owns its own name, so removing
        // one never affects the other. Fall back to a real copy across file systems.
        fs::create_hard_link(target, copy, ec);
        if (ec) {
            std::string bytes;
            if (!ReadWholeFile(target, bytes) || !WriteContent(content, bytes))
                throw DbError("cannot copy content " + src.Content);
        }
        FsyncDir(copy.parent_path());
        createdContent.push_back(content);
    }
    const std::int64_t rev = NextRev(db);
    Stmt ins(db, "INSERT INTO nodes(user_id, parent, name, is_folder, size, rev, hash, content, "
                 "create_time, modify_time) VALUES(?1, ?2, ?3, ?4, ?5, ?9, ?6, ?7, ?8, ?8)");
    ins.Bind(1, src.UserId).Bind(2, newParent).Bind(3, newName).Bind(9, rev);
    ins.Bind(4, src.IsFolder ? 1 : 0).Bind(5, src.Size).Bind(6, src.Hash);
    if (content.empty())
        ins.BindNull(7);
    else
        ins.Bind(7, content);
    ins.Bind(8, now);
    ins.Exec();
    std::int64_t id = db.LastInsertId();
    if (src.IsFolder) {
        std::vector<Row> children;
        {
            Stmt s(db, std::string("SELECT ") + kNodeColumns +
                           " FROM nodes WHERE parent = ?1 AND deleted = 0");
            s.Bind(1, src.Id);
            while (s.Step())
                children.push_back(Row::From(s));
        }
        for (const auto& c : children)
            CopyTree(db, c, id, c.Name, now, createdContent);
    }
    return id;
}

NodeResult CloudStore::Copy(std::int64_t root, const std::vector<std::string>& from,
                            const std::vector<std::string>& to) {
    ChangeMark mark{*this, root};
    NodeResult r;
    if (from.empty() || to.empty()) {
        r.Status = StoreStatus::Forbidden;
        return r;
    }
    std::vector<std::string> created;
    try {
        std::lock_guard lock(FWriteMutex);
        Transaction t(*FWriter);
        auto src = Lookup(*FWriter, root, from, r.Status);
        if (!src)
            return r;
        auto parent = ParentFolder(*FWriter, root, to, r.Status);
        if (!parent)
            return r;
        if (Child(*FWriter, parent->Id, to.back())) {
            r.Status = StoreStatus::Exists;
            return r;
        }
        if (src->IsFolder && IsAtOrBelow(*FWriter, parent->Id, src->Id)) {
            r.Status = StoreStatus::Forbidden;
            return r;
        }
        std::int64_t size = src->Size;
        if (src->IsFolder) {
            Stmt s(*FWriter, "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT n.id FROM "
                             "nodes n JOIN sub ON n.parent = sub.id WHERE n.deleted = 0) "
                             "SELECT COALESCE(SUM(size), 0) FROM nodes WHERE id IN sub");
            s.Bind(1, src->Id);
            size = s.Step() ? s.Int(0) : 0;
        }
        if (UsedBytes(*FWriter, src->UserId) + size > FLimits.QuotaBytes) {
            r.Status = StoreStatus::QuotaExceeded;
            return r;
        }
        std::int64_t id = CopyTree(*FWriter, *src, parent->Id, to.back(), UnixNow(), created);
        auto row = Child(*FWriter, parent->Id, to.back());
        t.Commit();
        created.clear();
        if (!row || row->Id != id) {
            r.Status = StoreStatus::Failed;
            return r;
        }
        r.Node = row->ToNode(JoinCloudPath(to));
    } catch (...) {
        for (const auto& c : created)
            RemoveContent(c);
        throw;
    }
    return r;
}

NodeResult CloudStore::Delete(std::int64_t root, const std::vector<std::string>& path,
                              bool toRecycle, std::optional<std::int64_t> ifRev) {
    ChangeMark mark{*this, root};
    NodeResult r;
    if (path.empty()) {
        r.Status = StoreStatus::Forbidden;
        return r;
    }
    std::vector<std::string> contentToRemove;
    {
        std::lock_guard lock(FWriteMutex);
        Transaction t(*FWriter);
        auto node = Lookup(*FWriter, root, path, r.Status);
        if (!AtRevision(node, ifRev, path, r) || !node)
            return r;
        std::int64_t now = UnixNow();
        const char* subtree = "WITH RECURSIVE sub(id) AS (SELECT id FROM nodes WHERE parent = ?1 "
                              "UNION ALL SELECT n.id FROM nodes n JOIN sub ON n.parent = sub.id) ";
        if (toRecycle) {
            Stmt(*FWriter, "UPDATE nodes SET deleted = 1, deleted_time = ?2 WHERE id = ?1")
                .Bind(1, node->Id)
                .Bind(2, now)
                .Exec();
            if (node->IsFolder)
                Stmt(*FWriter, std::string(subtree) +
                                   "UPDATE nodes SET deleted = 2, deleted_time = ?2 "
                                   "WHERE id IN sub")
                    .Bind(1, node->Id)
                    .Bind(2, now)
                    .Exec();
        } else {
            {
                Stmt s(*FWriter, std::string(subtree) +
                                     "SELECT content FROM nodes WHERE (id IN sub OR id = ?1) "
                                     "AND content IS NOT NULL");
                s.Bind(1, node->Id);
                while (s.Step())
                    contentToRemove.push_back(s.Text(0));
            }
            Stmt(*FWriter, std::string(subtree) + "DELETE FROM nodes WHERE id IN sub OR id = ?1")
                .Bind(1, node->Id)
                .Exec();
        }
        t.Commit();
        r.Node = node->ToNode(JoinCloudPath(path));
    }
    // Content goes only after the metadata no longer names it.
    for (const auto& c : contentToRemove)
        RemoveContent(c);
    return r;
}

NodeResult CloudStore::Upload(std::int64_t root, const std::vector<std::string>& path,
                              const std::string& content, bool overwrite,
                              std::optional<std::int64_t> ifRev) {
    ChangeMark mark{*this, root};
    NodeResult r;
    if (path.empty()) {
        r.Status = StoreStatus::IsAFolder;
        return r;
    }
    if (static_cast<std::int64_t>(content.size()) > FLimits.MaxFileSize) {
        r.Status = StoreStatus::TooLarge;
        return r;
    }
    // The bytes reach the disk first; only then does the metadata point at them.
    std::string name = NewContentName();
    if (!WriteContent(name, content)) {
        r.Status = StoreStatus::Failed;
        return r;
    }
    std::string hash = Sha1Hex(content);
    const auto size = static_cast<std::int64_t>(content.size());
    std::string replaced;
    bool committed = false;
    try {
        std::lock_guard lock(FWriteMutex);
        Transaction t(*FWriter);
        auto parent = ParentFolder(*FWriter, root, path, r.Status);
        std::optional<Row> existing;
        if (parent)
            existing = Child(*FWriter, parent->Id, path.back());
        if (!AtRevision(existing, ifRev, path, r)) {
            // refused as it is
        } else if (parent) {
            std::int64_t now = UnixNow();
            if (existing && existing->IsFolder) {
                r.Status = StoreStatus::IsAFolder;
            } else if (existing && !overwrite) {
                r.Status = StoreStatus::Exists;
            } else if (UsedBytes(*FWriter, parent->UserId) + size -
                           (existing ? existing->Size : 0) >
                       FLimits.QuotaBytes) {
                r.Status = StoreStatus::QuotaExceeded;
            } else if (existing) {
                // The modification time of a file strictly increases with every change,
                // even two within one second: clients decide whether to download by
                // comparing it with the time they saw last, at one-second resolution, so
                // a change that kept the old time would never reach them. The stored time
                // may therefore run ahead of the wall clock by a few seconds after a burst
                // of changes to one file.
                std::int64_t mtime = std::max(now, existing->ModifyTime + 1);
                Stmt(*FWriter, "UPDATE nodes SET size = ?2, rev = ?6, hash = ?3, "
                               "content = ?4, modify_time = ?5 WHERE id = ?1")
                    .Bind(1, existing->Id)
                    .Bind(2, size)
                    .Bind(3, hash)
                    .Bind(4, name)
                    .Bind(5, mtime)
                    .Bind(6, NextRev(*FWriter))
                    .Exec();
                replaced = existing->Content;
            } else {
                Stmt(*FWriter, "INSERT INTO nodes(user_id, parent, name, is_folder, size, rev, "
                               "hash, content, create_time, modify_time) "
                               "VALUES(?1, ?2, ?3, 0, ?4, ?8, ?5, ?6, ?7, ?7)")
                    .Bind(1, parent->UserId)
                    .Bind(2, parent->Id)
                    .Bind(3, path.back())
                    .Bind(4, size)
                    .Bind(5, hash)
                    .Bind(6, name)
                    .Bind(7, now)
                    .Bind(8, NextRev(*FWriter))
                    .Exec();
            }
            if (r.Status == StoreStatus::Ok) {
                auto row = Child(*FWriter, parent->Id, path.back());
                t.Commit();
                committed = true;
                if (row)
                    r.Node = row->ToNode(JoinCloudPath(path));
            }
        }
    } catch (...) {
        if (!committed)
            RemoveContent(name);
        throw;
    }
    if (!committed)
        RemoveContent(name);
    else
        RemoveContent(replaced);
    return r;
}

NodeResult
CloudStore::FetchContent(const std::function<std::optional<Row>(Db&, StoreStatus&)>& find,
                         const std::function<std::string(const Row&)>& pathOf,
                         const std::function<bool(const fs::path*)>& fetch) {
    NodeResult r;
    // An upload that replaces the file removes the old content right after its commit;
    // a reader that looked the entry up just before then finds the file gone and looks
    // again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        r = {};
        std::optional<Row> row;
        {
            ReaderLease db(*this);
            row = find(*db, r.Status);
        }
        if (!row)
            return r;
        if (row->IsFolder) {
            r.Status = StoreStatus::IsAFolder;
            return r;
        }
        r.Node = row->ToNode(pathOf(*row));
        if (row->Content.empty()) {
            fetch(nullptr);
            return r;
        }
        fs::path file = ContentPath(row->Content);
        if (fetch(&file))
            return r;
    }
    r.Status = StoreStatus::Failed;
    return r;
}

std::function<std::optional<CloudStore::Row>(Db&, StoreStatus&)>
CloudStore::ByPath(std::int64_t root, const std::vector<std::string>& path) {
    return [this, root, &path](Db& db, StoreStatus& why) { return Lookup(db, root, path, why); };
}

std::function<std::optional<CloudStore::Row>(Db&, StoreStatus&)>
CloudStore::ById(std::int64_t node) {
    return [node](Db& db, StoreStatus& why) -> std::optional<Row> {
        Stmt s(db,
               std::string("SELECT ") + kNodeColumns + " FROM nodes WHERE id = ?1 AND deleted = 0");
        s.Bind(1, node);
        std::optional<Row> row;
        if (s.Step())
            row = Row::From(s);
        // An application folder itself is no file.
        if (!row || row->Parent == 0) {
            why = StoreStatus::NotFound;
            return std::nullopt;
        }
        return row;
    };
}

namespace {

std::function<bool(const fs::path*)> ReadInto(std::string& content) {
    return [&content](const fs::path* file) {
        if (!file) {
            content.clear();
            return true;
        }
        return ReadWholeFile(*file, content);
    };
}

std::function<bool(const fs::path*)> OpenInto(int& fd) {
    return [&fd](const fs::path* file) {
        fd = file ? ::open(file->c_str(), O_RDONLY | O_CLOEXEC) : -1;
        return !file || fd >= 0;
    };
}

} // namespace

NodeResult CloudStore::Download(std::int64_t root, const std::vector<std::string>& path,
                                std::string& content) {
    return FetchContent(
        ByPath(root, path), [&path](const Row&) { return JoinCloudPath(path); }, ReadInto(content));
}

NodeResult CloudStore::OpenDownload(std::int64_t root, const std::vector<std::string>& path,
                                    int& fd) {
    return FetchContent(
        ByPath(root, path), [&path](const Row&) { return JoinCloudPath(path); }, OpenInto(fd));
}

NodeResult CloudStore::DownloadById(std::int64_t node, std::string& content) {
    return FetchContent(
        ById(node), [](const Row& row) { return "/" + row.Name; }, ReadInto(content));
}

NodeResult CloudStore::OpenDownloadById(std::int64_t node, int& fd) {
    return FetchContent(
        ById(node), [](const Row& row) { return "/" + row.Name; }, OpenInto(fd));
}

UsageRecord CloudStore::Usage(std::int64_t userId) {
    ReaderLease db(*this);
    UsageRecord u;
    Stmt s(*db, "SELECT COALESCE(SUM(CASE WHEN deleted = 0 THEN size END), 0), "
                "COALESCE(SUM(CASE WHEN deleted <> 0 THEN size END), 0) "
                "FROM nodes WHERE user_id = ?1");
    s.Bind(1, userId);
    if (s.Step()) {
        u.Used = s.Int(0);
        u.Recycled = s.Int(1);
    }
    return u;
}

std::string CloudStore::CreateShare(std::int64_t node, const std::string& accessCode,
                                    const std::string& name) {
    std::string code = SecureRandomText(24);
    std::lock_guard lock(FWriteMutex);
    Stmt(*FWriter, "INSERT INTO shares(code, node, access_code, name, created) "
                   "VALUES(?1, ?2, ?3, ?4, ?5)")
        .Bind(1, code)
        .Bind(2, node)
        .Bind(3, accessCode)
        .Bind(4, name)
        .Bind(5, UnixNow())
        .Exec();
    return code;
}

std::optional<ShareRecord> CloudStore::FindShare(const std::string& code) {
    ReaderLease db(*this);
    Stmt s(*db, "SELECT code, node, access_code, name FROM shares WHERE code = ?1");
    s.Bind(1, code);
    if (!s.Step())
        return std::nullopt;
    return ShareRecord{s.Text(0), s.Int(1), s.Text(2), s.Text(3)};
}

int CloudStore::PurgeRecycleBin(std::int64_t deletedBefore) {
    std::vector<std::string> contentToRemove;
    int removed = 0;
    {
        std::lock_guard lock(FWriteMutex);
        Transaction t(*FWriter);
        {
            Stmt s(*FWriter, "SELECT content FROM nodes WHERE deleted <> 0 AND deleted_time < ?1 "
                             "AND content IS NOT NULL");
            s.Bind(1, deletedBefore);
            while (s.Step())
                contentToRemove.push_back(s.Text(0));
        }
        Stmt(*FWriter, "DELETE FROM nodes WHERE deleted <> 0 AND deleted_time < ?1")
            .Bind(1, deletedBefore)
            .Exec();
        removed = FWriter->Changes();
        t.Commit();
    }
    for (const auto& c : contentToRemove)
        RemoveContent(c);
    return removed;
}

std::vector<std::string> CloudStore::ReferencedContentFiles() {
    ReaderLease db(*this);
    Stmt s(*db, "SELECT content FROM nodes WHERE content IS NOT NULL ORDER BY content");
    std::vector<std::string> out;
    while (s.Step())
        out.push_back(s.Text(0));
    return out;
}

std::vector<std::string> CloudStore::ContentFilesOnDisk() {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& f : fs::recursive_directory_iterator(FDir / "files", ec))
        if (f.is_regular_file())
            out.push_back(f.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace ot::server
