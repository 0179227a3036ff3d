#include "PgCloudStore.h"

#include "CloudPath.h"
#include "common/Clock.h"
#include "common/FileUtil.h"

#include <openssl/evp.h>
#include <sodium.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>
#include <unordered_set>

namespace ot::server {

namespace fs = std::filesystem;

namespace {

// Taken (as one pair of 32-bit keys, apart from the users' 64-bit ones) while the
// schema is made, so that servers starting together do not trip over each other.
const char* const kSchema = R"SQL(
SELECT pg_advisory_xact_lock(1, 0);
CREATE TABLE IF NOT EXISTS users(
  id BIGSERIAL PRIMARY KEY,
  name TEXT NOT NULL UNIQUE,
  pwhash TEXT NOT NULL,
  created BIGINT NOT NULL);
CREATE TABLE IF NOT EXISTS consumers(
  key TEXT PRIMARY KEY,
  secret TEXT NOT NULL,
  app_name TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS request_tokens(
  key TEXT PRIMARY KEY,
  secret TEXT NOT NULL,
  consumer TEXT NOT NULL,
  created BIGINT NOT NULL,
  user_id BIGINT,
  verifier TEXT);
CREATE INDEX IF NOT EXISTS request_tokens_by_consumer ON request_tokens(consumer);
CREATE TABLE IF NOT EXISTS access_tokens(
  key TEXT PRIMARY KEY,
  secret TEXT NOT NULL,
  consumer TEXT NOT NULL,
  user_id BIGINT NOT NULL,
  created BIGINT NOT NULL,
  expires BIGINT NOT NULL,
  revoked INTEGER NOT NULL DEFAULT 0);
CREATE INDEX IF NOT EXISTS access_tokens_by_user ON access_tokens(user_id);
CREATE TABLE IF NOT EXISTS app_folders(
  user_id BIGINT NOT NULL,
  consumer TEXT NOT NULL,
  root BIGINT NOT NULL,
  PRIMARY KEY(user_id, consumer));
CREATE TABLE IF NOT EXISTS nodes(
  id BIGSERIAL PRIMARY KEY,
  user_id BIGINT NOT NULL,
  parent BIGINT,
  name TEXT NOT NULL,
  is_folder INTEGER NOT NULL,
  size BIGINT NOT NULL DEFAULT 0,
  rev BIGINT NOT NULL DEFAULT 1,
  hash TEXT NOT NULL DEFAULT '',
  content BYTEA,
  create_time BIGINT NOT NULL,
  modify_time BIGINT NOT NULL,
  deleted INTEGER NOT NULL DEFAULT 0,
  deleted_time BIGINT);
CREATE UNIQUE INDEX IF NOT EXISTS nodes_by_name ON nodes(parent, name) WHERE deleted = 0;
CREATE INDEX IF NOT EXISTS nodes_by_parent ON nodes(parent);
CREATE INDEX IF NOT EXISTS nodes_by_user ON nodes(user_id);
CREATE TABLE IF NOT EXISTS shares(
  code TEXT PRIMARY KEY,
  node BIGINT NOT NULL,
  access_code TEXT NOT NULL,
  name TEXT NOT NULL,
  created BIGINT NOT NULL);
CREATE TABLE IF NOT EXISTS meta(
  name TEXT PRIMARY KEY,
  value TEXT NOT NULL);
CREATE SEQUENCE IF NOT EXISTS revs START 2;
CREATE TABLE IF NOT EXISTS changes(
  root BIGINT PRIMARY KEY,
  count BIGINT NOT NULL);
CREATE TABLE IF NOT EXISTS nonces(
  key BIGINT PRIMARY KEY,
  arrived BIGINT NOT NULL);
CREATE INDEX IF NOT EXISTS nonces_by_arrival ON nonces(arrived);
CREATE TABLE IF NOT EXISTS login_failures(
  name TEXT PRIMARY KEY,
  count INTEGER NOT NULL,
  since BIGINT NOT NULL);
CREATE TABLE IF NOT EXISTS strikes(
  key TEXT PRIMARY KEY,
  wrong INTEGER NOT NULL,
  since BIGINT NOT NULL,
  next_allowed BIGINT NOT NULL);
CREATE TABLE IF NOT EXISTS pending_logins(
  address TEXT NOT NULL,
  at BIGINT NOT NULL);
CREATE INDEX IF NOT EXISTS pending_logins_by_address ON pending_logins(address, at);
CREATE TABLE IF NOT EXISTS web_sessions(
  s TEXT PRIMARY KEY,
  sid TEXT NOT NULL,
  request_token TEXT NOT NULL,
  created BIGINT NOT NULL);
)SQL";

const char* const kCols =
    "id, user_id, parent, name, is_folder, size, rev, hash, create_time, modify_time";

const char* const kReadOnly = "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY";

std::string RandomHex(std::size_t bytes) {
    std::vector<unsigned char> raw(bytes);
    randombytes_buf(raw.data(), raw.size());
    std::string hex(bytes * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), raw.data(), raw.size());
    hex.pop_back();
    return hex;
}

UserRecord UserFrom(const PgResult& r, int i) {
    return UserRecord{r.Int(i, 0), r.Text(i, 1), r.Text(i, 2), r.Int(i, 3)};
}

// An open file holding bytes (memory, not disk), for a reply sent from a file.
int MemoryFile(const std::string& bytes) {
    int fd = ::memfd_create("otcloud-content", MFD_CLOEXEC);
    if (fd < 0)
        return -1;
    for (std::size_t at = 0; at < bytes.size();) {
        ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::close(fd);
            return -1;
        }
        at += static_cast<std::size_t>(n);
    }
    ::lseek(fd, 0, SEEK_SET);
    return fd;
}

} // namespace

std::string Sha1Hex(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &len, EVP_sha1(), nullptr) != 1)
        return {};
    return HexDigest(digest, len);
}

struct PgCloudStore::Row {
    std::int64_t Id = 0;
    std::int64_t UserId = 0;
    std::int64_t Parent = 0;
    std::string Name;
    bool IsFolder = false;
    std::int64_t Size = 0;
    std::int64_t Rev = 0;
    std::string Hash;
    std::int64_t CreateTime = 0;
    std::int64_t ModifyTime = 0;

    static Row From(const PgResult& r, int i) {
        Row row;
        row.Id = r.Int(i, 0);
        row.UserId = r.Int(i, 1);
        row.Parent = r.Int(i, 2);
        row.Name = r.Text(i, 3);
        row.IsFolder = r.Int(i, 4) != 0;
        row.Size = r.Int(i, 5);
        row.Rev = r.Int(i, 6);
        row.Hash = r.Text(i, 7);
        row.CreateTime = r.Int(i, 8);
        row.ModifyTime = r.Int(i, 9);
        return row;
    }
    CloudNode ToNode(std::string path) const {
        return CloudNode{Id,   std::move(path), Name,      IsFolder, Size, Rev,
                         Hash, CreateTime,      ModifyTime};
    }
};

namespace {

// False with Changed in r when ifRev is given and node is not at it.
template <class R>
bool AtRevision(const std::optional<R>& node, std::optional<std::int64_t> ifRev,
                const std::vector<std::string>& path, NodeResult& r) {
    if (!ifRev || (node && node->Rev == *ifRev))
        return true;
    r.Status = StoreStatus::Changed;
    r.Node = node ? node->ToNode(JoinCloudPath(path)) : CloudNode{};
    return false;
}

} // namespace

PgCloudStore::PgCloudStore(const std::string& conninfo, const fs::path& spoolParent,
                           StoreLimits limits, bool serving)
    : FLimits(limits), FPool(conninfo, serving ? kServingName : "otCloudServer"),
      // The statements of every request (the check of a known token above all) are
      // planned once per connection, not at every execution: planning the check cost
      // more than running it. A plan is made again when the tables' statistics change.
      FLight(conninfo, serving ? kServingName : "otCloudServer",
             "SET synchronous_commit = off; SET plan_cache_mode = force_generic_plan") {
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium cannot be initialised");
    CreateSchema();
    OpenSpool(spoolParent);
}

PgCloudStore::~PgCloudStore() {
    if (!FSpool.empty()) {
        std::error_code ec;
        fs::remove_all(FSpool, ec);
    }
    if (FSpoolLock >= 0)
        ::close(FSpoolLock);
}

void PgCloudStore::CreateSchema() {
    const std::string nonceKey = FPool.Transact([](PgConn& db) {
        db.Run(kSchema);
        db.Exec("INSERT INTO meta(name, value) VALUES('data_fingerprint', $1) "
                "ON CONFLICT(name) DO NOTHING",
                {P(RandomHex(16))});
        db.Exec("INSERT INTO meta(name, value) VALUES('nonce_key', $1) "
                "ON CONFLICT(name) DO NOTHING",
                {P(RandomHex(sizeof FNonceKey))});
        return db.Exec("SELECT value FROM meta WHERE name = 'nonce_key'").Text(0, 0);
    });
    if (nonceKey.size() != 2 * sizeof FNonceKey ||
        sodium_hex2bin(FNonceKey, sizeof FNonceKey, nonceKey.data(), nonceKey.size(), nullptr,
                       nullptr, nullptr) != 0)
        throw std::runtime_error("the database's nonce key is damaged");
}

// Each process spools into a directory of its own, locked while it runs: one left by a
// process that died is removed by the next start, one in use never.
void PgCloudStore::OpenSpool(const fs::path& parent) {
    const fs::path base = parent.empty() ? fs::temp_directory_path() : parent;
    if (!parent.empty())
        CreatePrivateDirectory(parent);
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(base, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("otcloud-incoming-", 0) != 0 || !entry.is_directory())
            continue;
        int fd = ::open((entry.path() / ".lock").c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) == 0)
            fs::remove_all(entry.path(), ec);
        if (fd >= 0)
            ::close(fd);
    }
    std::string tmpl = (base / "otcloud-incoming-XXXXXX").string();
    if (!::mkdtemp(tmpl.data()))
        throw std::runtime_error("cannot create a spool directory in " + base.string());
    FSpool = tmpl;
    FSpoolLock = ::open((FSpool / ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (FSpoolLock < 0 || ::flock(FSpoolLock, LOCK_EX | LOCK_NB) != 0)
        throw std::runtime_error("cannot lock " + FSpool.string());
}

int PgCloudStore::ServingConnections() {
    auto db = FPool.Take();
    return static_cast<int>(db->Exec("SELECT COUNT(*) FROM pg_stat_activity "
                                     "WHERE datname = current_database() "
                                     "AND application_name = $1 AND pid <> pg_backend_pid()",
                                     {P(kServingName)})
                                .Int(0, 0));
}

std::string PgCloudStore::DataFingerprint() {
    auto db = FPool.Take();
    auto r = db->Exec("SELECT value FROM meta WHERE name = 'data_fingerprint'");
    return r.Rows() ? r.Text(0, 0) : std::string();
}

std::string PgCloudStore::RenewDataFingerprint() {
    std::string fresh = RandomHex(16);
    auto db = FPool.Take();
    db->Exec("UPDATE meta SET value = $1 WHERE name = 'data_fingerprint'", {P(fresh)});
    return fresh;
}

// Accounts, consumers and tokens.

bool PgCloudStore::AddUser(const std::string& name, const std::string& passwordHash) {
    auto db = FPool.Take();
    return db->Exec("INSERT INTO users(name, pwhash, created) VALUES($1, $2, $3::bigint) "
                    "ON CONFLICT(name) DO NOTHING",
                    {P(name), P(passwordHash), P(UnixNow())})
               .Affected() == 1;
}

bool PgCloudStore::SetPasswordHash(const std::string& name, const std::string& passwordHash) {
    return FPool.Transact([&](PgConn& db) {
        auto r = db.Exec("UPDATE users SET pwhash = $2 WHERE name = $1 RETURNING id",
                         {P(name), P(passwordHash)});
        if (r.Rows() != 1)
            return false;
        RevokeTokensOf(db, r.Int(0, 0));
        return true;
    });
}

std::optional<UserRecord> PgCloudStore::FindUser(const std::string& name) {
    auto db = FPool.Take();
    auto r = db->Exec("SELECT id, name, pwhash, created FROM users WHERE name = $1", {P(name)});
    if (!r.Rows())
        return std::nullopt;
    return UserFrom(r, 0);
}

std::optional<UserRecord> PgCloudStore::FindUserById(std::int64_t id) {
    auto db = FPool.Take();
    auto r = db->Exec("SELECT id, name, pwhash, created FROM users WHERE id = $1::bigint", {P(id)});
    if (!r.Rows())
        return std::nullopt;
    return UserFrom(r, 0);
}

std::vector<UserRecord> PgCloudStore::ListUsers() {
    auto db = FPool.Take();
    auto r = db->Exec("SELECT id, name, pwhash, created FROM users ORDER BY name COLLATE \"C\"");
    std::vector<UserRecord> out;
    for (int i = 0; i < r.Rows(); ++i)
        out.push_back(UserFrom(r, i));
    return out;
}

void PgCloudStore::PutConsumer(const ConsumerRecord& c) {
    auto db = FPool.Take();
    db->Exec("INSERT INTO consumers(key, secret, app_name) VALUES($1, $2, $3) "
             "ON CONFLICT(key) DO UPDATE SET secret = $2, app_name = $3",
             {P(c.Key), P(c.Secret), P(c.AppName)});
}

std::optional<ConsumerRecord> PgCloudStore::FindConsumer(const std::string& key) {
    auto db = FPool.Take();
    auto r = db->Exec("SELECT key, secret, app_name FROM consumers WHERE key = $1", {P(key)});
    if (!r.Rows())
        return std::nullopt;
    return ConsumerRecord{r.Text(0, 0), r.Text(0, 1), r.Text(0, 2)};
}

TokenPairText PgCloudStore::CreateRequestToken(const std::string& consumer, std::int64_t now,
                                               std::int64_t maxPending) {
    TokenPairText pair{SecureRandomText(32), SecureRandomText(32)};
    return FPool.Transact([&](PgConn& db) {
        // One consumer's count and insert at a time, whichever server asks.
        db.Exec("SELECT pg_advisory_xact_lock(2, hashtext($1))", {P(consumer)});
        auto n = db.Exec("SELECT COUNT(*) FROM request_tokens WHERE consumer = $1", {P(consumer)});
        if (n.Int(0, 0) >= maxPending)
            return TokenPairText{};
        db.Exec("INSERT INTO request_tokens(key, secret, consumer, created) "
                "VALUES($1, $2, $3, $4::bigint)",
                {P(pair.Key), P(pair.Secret), P(consumer), P(now)});
        return pair;
    });
}

std::optional<RequestTokenRecord> PgCloudStore::FindRequestToken(const std::string& key) {
    auto db = FPool.Take();
    auto r = db->Exec("SELECT key, secret, consumer, created, user_id FROM request_tokens "
                      "WHERE key = $1",
                      {P(key)});
    if (!r.Rows())
        return std::nullopt;
    return RequestTokenRecord{r.Text(0, 0), r.Text(0, 1), r.Text(0, 2), r.Int(0, 3), r.Int(0, 4)};
}

std::optional<std::string> PgCloudStore::AuthoriseRequestToken(const std::string& key,
                                                               std::int64_t userId) {
    std::string verifier = SecureRandomText(16);
    auto db = FPool.Take();
    if (db->Exec("UPDATE request_tokens SET user_id = $2::bigint, verifier = $3 "
                 "WHERE key = $1 AND user_id IS NULL",
                 {P(key), P(userId), P(verifier)})
            .Affected() != 1)
        return std::nullopt;
    return verifier;
}

std::optional<std::int64_t> PgCloudStore::ConsumeRequestToken(const std::string& key,
                                                              const std::string& verifier) {
    return FPool.Transact([&](PgConn& db) -> std::optional<std::int64_t> {
        auto r = db.Exec("SELECT user_id, verifier FROM request_tokens "
                         "WHERE key = $1 AND user_id IS NOT NULL FOR UPDATE",
                         {P(key)});
        if (!r.Rows())
            return std::nullopt;
        const std::int64_t user = r.Int(0, 0);
        const std::string expected = r.Text(0, 1);
        if (expected.size() != verifier.size() ||
            sodium_memcmp(expected.data(), verifier.data(), expected.size()) != 0)
            return std::nullopt;
        db.Exec("DELETE FROM request_tokens WHERE key = $1", {P(key)});
        return user;
    });
}

int PgCloudStore::PurgeRequestTokens(std::int64_t createdBefore) {
    auto db = FPool.Take();
    return static_cast<int>(
        db->Exec("DELETE FROM request_tokens WHERE created < $1::bigint", {P(createdBefore)})
            .Affected());
}

TokenPairText PgCloudStore::CreateAccessToken(const std::string& consumer, std::int64_t userId,
                                              std::int64_t now, std::int64_t expires) {
    TokenPairText pair{SecureRandomText(32), SecureRandomText(32)};
    auto db = FPool.Take();
    db->Exec("INSERT INTO access_tokens(key, secret, consumer, user_id, created, expires) "
             "VALUES($1, $2, $3, $4::bigint, $5::bigint, $6::bigint)",
             {P(pair.Key), P(pair.Secret), P(consumer), P(userId), P(now), P(expires)});
    return pair;
}

std::optional<AccessTokenRecord> PgCloudStore::FindAccessToken(const std::string& key) {
    auto db = FPool.Take();
    auto r = db->Exec("SELECT key, secret, consumer, user_id, expires, revoked, created "
                      "FROM access_tokens WHERE key = $1",
                      {P(key)});
    if (!r.Rows())
        return std::nullopt;
    return AccessTokenRecord{r.Text(0, 0), r.Text(0, 1),     r.Text(0, 2), r.Int(0, 3),
                             r.Int(0, 4),  r.Int(0, 5) != 0, r.Int(0, 6)};
}

std::optional<ConsumerRecord> PgCloudStore::FindConsumerAndAccessToken(
    const std::string& consumerKey, const std::string& tokenKey,
    std::optional<AccessTokenRecord>& token, std::optional<std::uint64_t>& folderChange) {
    auto db = FPool.Take();
    // One statement, one snapshot: the change count is not newer than the token.
    auto r = db->Exec("SELECT c.key, c.secret, c.app_name, t.key, t.secret, t.consumer, "
                      "t.user_id, t.expires, t.revoked, t.created, "
                      "(SELECT COALESCE(MAX(ch.count), 0) FROM app_folders a "
                      "LEFT JOIN changes ch ON ch.root = a.root "
                      "WHERE a.user_id = t.user_id AND a.consumer = c.key) "
                      "FROM consumers c LEFT JOIN access_tokens t ON t.key = $2 WHERE c.key = $1",
                      {P(consumerKey), P(tokenKey)});
    token.reset();
    folderChange.reset();
    if (!r.Rows())
        return std::nullopt;
    if (!r.IsNull(0, 3)) {
        token = AccessTokenRecord{r.Text(0, 3), r.Text(0, 4),     r.Text(0, 5), r.Int(0, 6),
                                  r.Int(0, 7),  r.Int(0, 8) != 0, r.Int(0, 9)};
        folderChange = static_cast<std::uint64_t>(r.Int(0, 10));
    }
    return ConsumerRecord{r.Text(0, 0), r.Text(0, 1), r.Text(0, 2)};
}

int PgCloudStore::RevokeTokens(std::int64_t userId) {
    return FPool.Transact([&](PgConn& db) { return RevokeTokensOf(db, userId); });
}

int PgCloudStore::RevokeTokensOf(PgConn& db, std::int64_t userId) {
    auto a = db.Exec("UPDATE access_tokens SET revoked = 1 WHERE user_id = $1::bigint "
                     "AND revoked = 0",
                     {P(userId)});
    auto b = db.Exec("DELETE FROM request_tokens WHERE user_id = $1::bigint", {P(userId)});
    return static_cast<int>(a.Affected() + b.Affected());
}

// An application folder, once made, is never removed or moved: its ID is kept in memory
// after the first look-up.
std::int64_t PgCloudStore::AppFolder(std::int64_t userId, const std::string& consumer) {
    const std::string key = std::to_string(userId) + ":" + consumer;
    {
        std::lock_guard lock(FAppFoldersMutex);
        auto it = FAppFolders.find(key);
        if (it != FAppFolders.end())
            return it->second;
    }
    const std::int64_t root = FPool.Transact([&](PgConn& db) {
        const char* find = "SELECT root FROM app_folders WHERE user_id = $1::bigint "
                           "AND consumer = $2";
        auto r = db.Exec(find, {P(userId), P(consumer)});
        if (r.Rows())
            return r.Int(0, 0);
        db.Exec("SELECT pg_advisory_xact_lock($1::bigint)", {P(userId)});
        r = db.Exec(find, {P(userId), P(consumer)});
        if (r.Rows())
            return r.Int(0, 0);
        const std::int64_t now = UnixNow();
        auto made = db.Exec("INSERT INTO nodes(user_id, parent, name, is_folder, create_time, "
                            "modify_time) VALUES($1::bigint, NULL, '', 1, $2::bigint, $2::bigint) "
                            "RETURNING id",
                            {P(userId), P(now)});
        const std::int64_t id = made.Int(0, 0);
        db.Exec("INSERT INTO app_folders(user_id, consumer, root) "
                "VALUES($1::bigint, $2, $3::bigint)",
                {P(userId), P(consumer), P(id)});
        return id;
    });
    std::lock_guard lock(FAppFoldersMutex);
    if (FAppFolders.size() >= 100000)
        FAppFolders.clear();
    FAppFolders.emplace(key, root);
    return root;
}

// The tree.

std::optional<PgCloudStore::Row> PgCloudStore::Child(PgConn& db, std::int64_t parent,
                                                     const std::string& name) {
    auto r = db.Exec(std::string("SELECT ") + kCols +
                         " FROM nodes WHERE parent = $1::bigint AND name = $2 AND deleted = 0",
                     {P(parent), P(name)});
    if (!r.Rows())
        return std::nullopt;
    return Row::From(r, 0);
}

std::optional<PgCloudStore::Row> PgCloudStore::Lookup(PgConn& db, std::int64_t root,
                                                      const std::vector<std::string>& path,
                                                      StoreStatus& why) {
    auto r =
        db.Exec(std::string("SELECT ") + kCols + " FROM nodes WHERE id = $1::bigint", {P(root)});
    if (!r.Rows()) {
        why = StoreStatus::NotFound;
        return std::nullopt;
    }
    Row cur = Row::From(r, 0);
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

std::optional<PgCloudStore::Row> PgCloudStore::ParentFolder(PgConn& db, std::int64_t root,
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

std::int64_t PgCloudStore::LockUserOf(PgConn& db, std::int64_t root) {
    auto r = db.Exec("SELECT user_id, pg_advisory_xact_lock(user_id) FROM nodes "
                     "WHERE id = $1::bigint",
                     {P(root)});
    return r.Rows() ? r.Int(0, 0) : 0;
}

void PgCloudStore::CountChange(PgConn& db, std::int64_t root) {
    db.Exec("INSERT INTO changes(root, count) VALUES($1::bigint, 1) "
            "ON CONFLICT(root) DO UPDATE SET count = changes.count + 1",
            {P(root)});
}

// The recycle bin counts: what a user deleted still takes the server's disk.
std::int64_t PgCloudStore::UsedBytes(PgConn& db, std::int64_t userId) {
    return db
        .Exec("SELECT COALESCE(SUM(size), 0) FROM nodes WHERE user_id = $1::bigint", {P(userId)})
        .Int(0, 0);
}

bool PgCloudStore::IsAtOrBelow(PgConn& db, std::int64_t node, std::int64_t folder) {
    for (std::int64_t walk = node; walk != 0;) {
        if (walk == folder)
            return true;
        auto r = db.Exec("SELECT parent FROM nodes WHERE id = $1::bigint", {P(walk)});
        walk = r.Rows() ? r.Int(0, 0) : 0;
    }
    return false;
}

NodeResult PgCloudStore::Metadata(std::int64_t root, const std::vector<std::string>& path,
                                  bool list) {
    // One snapshot, so a listing never mixes two states of the folder.
    return FPool.Transact(
        [&](PgConn& db) {
            NodeResult r;
            auto row = Lookup(db, root, path, r.Status);
            if (!row)
                return r;
            const std::string self = JoinCloudPath(path);
            r.Node = row->ToNode(self);
            if (list && row->IsFolder) {
                auto c = db.Exec(std::string("SELECT ") + kCols +
                                     " FROM nodes WHERE parent = $1::bigint AND deleted = 0 "
                                     "ORDER BY name COLLATE \"C\"",
                                 {P(row->Id)});
                const std::string prefix = path.empty() ? "/" : self + "/";
                r.Children.reserve(static_cast<std::size_t>(c.Rows()));
                for (int i = 0; i < c.Rows(); ++i) {
                    Row child = Row::From(c, i);
                    r.Children.push_back(child.ToNode(prefix + child.Name));
                }
            }
            return r;
        },
        kReadOnly);
}

NodeResult PgCloudStore::CreateFolder(std::int64_t root, const std::vector<std::string>& path) {
    NodeResult r;
    if (path.empty()) {
        r.Status = StoreStatus::Exists;
        return r;
    }
    return FPool.Transact([&](PgConn& db) {
        NodeResult r;
        LockUserOf(db, root);
        auto parent = ParentFolder(db, root, path, r.Status);
        if (!parent)
            return r;
        if (auto existing = Child(db, parent->Id, path.back())) {
            // Creating a folder that is already there answers that folder.
            if (!existing->IsFolder)
                r.Status = StoreStatus::Exists;
            else
                r.Node = existing->ToNode(JoinCloudPath(path));
            return r;
        }
        auto made = db.Exec(
            std::string("INSERT INTO nodes(user_id, parent, name, is_folder, rev, create_time, "
                        "modify_time) VALUES($1::bigint, $2::bigint, $3, 1, nextval('revs'), "
                        "$4::bigint, $4::bigint) RETURNING ") +
                kCols,
            {P(parent->UserId), P(parent->Id), P(path.back()), P(UnixNow())});
        CountChange(db, root);
        r.Node = Row::From(made, 0).ToNode(JoinCloudPath(path));
        return r;
    });
}

NodeResult PgCloudStore::Move(std::int64_t root, const std::vector<std::string>& from,
                              const std::vector<std::string>& to,
                              std::optional<std::int64_t> ifRev) {
    if (from.empty() || to.empty()) {
        NodeResult r;
        r.Status = StoreStatus::Forbidden;
        return r;
    }
    return FPool.Transact([&](PgConn& db) {
        NodeResult r;
        LockUserOf(db, root);
        auto src = Lookup(db, root, from, r.Status);
        if (!AtRevision(src, ifRev, from, r) || !src)
            return r;
        if (from == to) {
            r.Node = src->ToNode(JoinCloudPath(to));
            return r;
        }
        auto parent = PlaceFor(db, root, to, *src, r.Status);
        if (!parent)
            return r;
        // A node under a new name is a new version of that path.
        auto moved = db.Exec(std::string("UPDATE nodes SET parent = $2::bigint, name = $3, "
                                         "rev = nextval('revs') WHERE id = $1::bigint RETURNING ") +
                                 kCols,
                             {P(src->Id), P(parent->Id), P(to.back())});
        CountChange(db, root);
        r.Node = Row::From(moved, 0).ToNode(JoinCloudPath(to));
        return r;
    });
}

// The folder that takes src as the last component of to: it exists, holds
// nothing of that name, and is not src or below it.
std::optional<PgCloudStore::Row> PgCloudStore::PlaceFor(PgConn& db, std::int64_t root,
                                                        const std::vector<std::string>& to,
                                                        const Row& src, StoreStatus& why) {
    auto parent = ParentFolder(db, root, to, why);
    if (!parent)
        return std::nullopt;
    if (Child(db, parent->Id, to.back())) {
        why = StoreStatus::Exists;
        return std::nullopt;
    }
    if (src.IsFolder && IsAtOrBelow(db, parent->Id, src.Id)) {
        why = StoreStatus::Forbidden;
        return std::nullopt;
    }
    return parent;
}

std::int64_t PgCloudStore::CopyTree(PgConn& db, const Row& src, std::int64_t newParent,
                                    const std::string& newName, std::int64_t now) {
    // The bytes are copied inside the database.
    auto made = db.Exec("INSERT INTO nodes(user_id, parent, name, is_folder, size, rev, hash, "
                        "content, create_time, modify_time) "
                        "SELECT user_id, $2::bigint, $3, is_folder, size, nextval('revs'), hash, "
                        "content, $4::bigint, $4::bigint FROM nodes WHERE id = $1::bigint "
                        "RETURNING id",
                        {P(src.Id), P(newParent), P(newName), P(now)});
    const std::int64_t id = made.Int(0, 0);
    if (src.IsFolder) {
        auto c = db.Exec(std::string("SELECT ") + kCols +
                             " FROM nodes WHERE parent = $1::bigint AND deleted = 0",
                         {P(src.Id)});
        for (int i = 0; i < c.Rows(); ++i) {
            Row child = Row::From(c, i);
            CopyTree(db, child, id, child.Name, now);
        }
    }
    return id;
}

NodeResult PgCloudStore::Copy(std::int64_t root, const std::vector<std::string>& from,
                              const std::vector<std::string>& to) {
    if (from.empty() || to.empty()) {
        NodeResult r;
        r.Status = StoreStatus::Forbidden;
        return r;
    }
    return FPool.Transact([&](PgConn& db) {
        NodeResult r;
        LockUserOf(db, root);
        auto src = Lookup(db, root, from, r.Status);
        if (!src)
            return r;
        auto parent = PlaceFor(db, root, to, *src, r.Status);
        if (!parent)
            return r;
        std::int64_t size = src->Size;
        if (src->IsFolder)
            size = db.Exec("WITH RECURSIVE sub(id) AS (SELECT $1::bigint UNION ALL SELECT n.id "
                           "FROM nodes n JOIN sub ON n.parent = sub.id WHERE n.deleted = 0) "
                           "SELECT COALESCE(SUM(size), 0) FROM nodes "
                           "WHERE id IN (SELECT id FROM sub)",
                           {P(src->Id)})
                       .Int(0, 0);
        if (UsedBytes(db, src->UserId) + size > FLimits.QuotaBytes) {
            r.Status = StoreStatus::QuotaExceeded;
            return r;
        }
        CopyTree(db, *src, parent->Id, to.back(), UnixNow());
        CountChange(db, root);
        auto row = Child(db, parent->Id, to.back());
        if (!row)
            r.Status = StoreStatus::Failed;
        else
            r.Node = row->ToNode(JoinCloudPath(to));
        return r;
    });
}

NodeResult PgCloudStore::Delete(std::int64_t root, const std::vector<std::string>& path,
                                bool toRecycle, std::optional<std::int64_t> ifRev) {
    if (path.empty()) {
        NodeResult r;
        r.Status = StoreStatus::Forbidden;
        return r;
    }
    return FPool.Transact([&](PgConn& db) {
        NodeResult r;
        LockUserOf(db, root);
        auto node = Lookup(db, root, path, r.Status);
        if (!AtRevision(node, ifRev, path, r) || !node)
            return r;
        const std::int64_t now = UnixNow();
        const std::string subtree =
            "WITH RECURSIVE sub(id) AS (SELECT id FROM nodes WHERE parent = $1::bigint "
            "UNION ALL SELECT n.id FROM nodes n JOIN sub ON n.parent = sub.id) ";
        if (toRecycle) {
            db.Exec("UPDATE nodes SET deleted = 1, deleted_time = $2::bigint "
                    "WHERE id = $1::bigint",
                    {P(node->Id), P(now)});
            if (node->IsFolder)
                db.Exec(subtree + "UPDATE nodes SET deleted = 2, deleted_time = $2::bigint "
                                  "WHERE id IN (SELECT id FROM sub)",
                        {P(node->Id), P(now)});
        } else {
            db.Exec(subtree + "DELETE FROM nodes WHERE id IN (SELECT id FROM sub) "
                              "OR id = $1::bigint",
                    {P(node->Id)});
        }
        CountChange(db, root);
        r.Node = node->ToNode(JoinCloudPath(path));
        return r;
    });
}

std::unique_ptr<IncomingContent> PgCloudStore::NewIncoming() {
    const fs::path file = FSpool / ("." + SecureRandomText(32));
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        throw std::runtime_error("cannot create " + file.string());
    return std::unique_ptr<IncomingContent>(new IncomingContent(file, fd));
}

NodeResult PgCloudStore::Upload(std::int64_t root, const std::vector<std::string>& path,
                                IncomingContent& content, bool overwrite,
                                std::optional<std::int64_t> ifRev) {
    NodeResult refused;
    if (path.empty()) {
        refused.Status = StoreStatus::IsAFolder;
        return refused;
    }
    if (content.Size() > FLimits.MaxFileSize) {
        refused.Status = StoreStatus::TooLarge;
        return refused;
    }
    const std::string hash = content.Finish();
    std::string bytes;
    if (hash.empty() || !ReadWholeFile(content.FPath, bytes) ||
        static_cast<std::int64_t>(bytes.size()) != content.Size()) {
        refused.Status = StoreStatus::Failed;
        return refused;
    }
    const std::int64_t size = content.Size();
    return FPool.Transact([&](PgConn& db) {
        NodeResult r;
        LockUserOf(db, root);
        auto parent = ParentFolder(db, root, path, r.Status);
        std::optional<Row> existing;
        if (parent)
            existing = Child(db, parent->Id, path.back());
        if (!AtRevision(existing, ifRev, path, r) || !parent)
            return r;
        const std::int64_t now = UnixNow();
        if (existing && existing->IsFolder) {
            r.Status = StoreStatus::IsAFolder;
            return r;
        }
        if (existing && !overwrite) {
            r.Status = StoreStatus::Exists;
            return r;
        }
        if (UsedBytes(db, parent->UserId) + size - (existing ? existing->Size : 0) >
            FLimits.QuotaBytes) {
            r.Status = StoreStatus::QuotaExceeded;
            return r;
        }
        PgResult row;
        if (existing) {
            // The modification time strictly increases with every change (clients
            // compare it at one-second resolution), as in the file store.
            const std::int64_t mtime = std::max(now, existing->ModifyTime + 1);
            row = db.Exec(std::string("UPDATE nodes SET size = $2::bigint, rev = nextval('revs'), "
                                      "hash = $3, content = $4, modify_time = $5::bigint "
                                      "WHERE id = $1::bigint RETURNING ") +
                              kCols,
                          {P(existing->Id), P(size), P(hash), Bytes(bytes), P(mtime)});
        } else {
            row = db.Exec(std::string("INSERT INTO nodes(user_id, parent, name, is_folder, size, "
                                      "rev, hash, content, create_time, modify_time) "
                                      "VALUES($1::bigint, $2::bigint, $3, 0, $4::bigint, "
                                      "nextval('revs'), $5, $6, $7::bigint, $7::bigint) "
                                      "RETURNING ") +
                              kCols,
                          {P(parent->UserId), P(parent->Id), P(path.back()), P(size), P(hash),
                           Bytes(bytes), P(now)});
        }
        CountChange(db, root);
        r.Node = Row::From(row, 0).ToNode(JoinCloudPath(path));
        return r;
    });
}

NodeResult PgCloudStore::Fetch(const std::function<std::optional<Row>(PgConn&, StoreStatus&)>& find,
                               const std::function<std::string(const Row&)>& pathOf,
                               std::string& content) {
    return FPool.Transact(
        [&](PgConn& db) {
            NodeResult r;
            auto row = find(db, r.Status);
            if (!row)
                return r;
            if (row->IsFolder) {
                r.Status = StoreStatus::IsAFolder;
                return r;
            }
            auto c = db.Exec("SELECT content FROM nodes WHERE id = $1::bigint", {P(row->Id)}, true);
            content = c.Rows() && !c.IsNull(0, 0) ? c.Bytes(0, 0) : std::string();
            r.Node = row->ToNode(pathOf(*row));
            return r;
        },
        kReadOnly);
}

NodeResult PgCloudStore::Download(std::int64_t root, const std::vector<std::string>& path,
                                  std::string& content) {
    return Fetch([&](PgConn& db, StoreStatus& why) { return Lookup(db, root, path, why); },
                 [&](const Row&) { return JoinCloudPath(path); }, content);
}

namespace {

NodeResult IntoFile(NodeResult r, const std::string& content, int& fd) {
    fd = -1;
    if (r.Status != StoreStatus::Ok || content.empty())
        return r;
    fd = MemoryFile(content);
    if (fd < 0)
        r.Status = StoreStatus::Failed;
    return r;
}

} // namespace

NodeResult PgCloudStore::OpenDownload(std::int64_t root, const std::vector<std::string>& path,
                                      int& fd) {
    std::string content;
    auto r = Download(root, path, content);
    return IntoFile(std::move(r), content, fd);
}

NodeResult PgCloudStore::DownloadById(std::int64_t node, std::string& content) {
    return Fetch(
        [&](PgConn& db, StoreStatus& why) -> std::optional<Row> {
            auto r = db.Exec(std::string("SELECT ") + kCols +
                                 " FROM nodes WHERE id = $1::bigint AND deleted = 0",
                             {P(node)});
            std::optional<Row> row;
            if (r.Rows())
                row = Row::From(r, 0);
            // An application folder itself is no file.
            if (!row || row->Parent == 0) {
                why = StoreStatus::NotFound;
                return std::nullopt;
            }
            return row;
        },
        [](const Row& row) { return "/" + row.Name; }, content);
}

NodeResult PgCloudStore::OpenDownloadById(std::int64_t node, int& fd) {
    std::string content;
    auto r = DownloadById(node, content);
    return IntoFile(std::move(r), content, fd);
}

UsageRecord PgCloudStore::Usage(std::int64_t userId) {
    auto db = FPool.Take();
    auto r = db->Exec("SELECT COALESCE(SUM(CASE WHEN deleted = 0 THEN size END), 0), "
                      "COALESCE(SUM(CASE WHEN deleted <> 0 THEN size END), 0) "
                      "FROM nodes WHERE user_id = $1::bigint",
                      {P(userId)});
    return UsageRecord{r.Int(0, 0), r.Int(0, 1)};
}

std::uint64_t PgCloudStore::ChangeCount(std::int64_t root) {
    auto db = FPool.Take();
    auto r = db->Exec("SELECT count FROM changes WHERE root = $1::bigint", {P(root)});
    return r.Rows() ? static_cast<std::uint64_t>(r.Int(0, 0)) : 0;
}

std::string PgCloudStore::CreateShare(std::int64_t node, const std::string& accessCode,
                                      const std::string& name) {
    std::string code = SecureRandomText(24);
    auto db = FPool.Take();
    db->Exec("INSERT INTO shares(code, node, access_code, name, created) "
             "VALUES($1, $2::bigint, $3, $4, $5::bigint)",
             {P(code), P(node), P(accessCode), P(name), P(UnixNow())});
    return code;
}

std::optional<ShareRecord> PgCloudStore::FindShare(const std::string& code) {
    auto db = FPool.Take();
    auto r =
        db->Exec("SELECT code, node, access_code, name FROM shares WHERE code = $1", {P(code)});
    if (!r.Rows())
        return std::nullopt;
    return ShareRecord{r.Text(0, 0), r.Int(0, 1), r.Text(0, 2), r.Text(0, 3)};
}

int PgCloudStore::PurgeRecycleBin(std::int64_t deletedBefore) {
    auto db = FPool.Take();
    return static_cast<int>(
        db->Exec("DELETE FROM nodes WHERE deleted <> 0 AND deleted_time < $1::bigint",
                 {P(deletedBefore)})
            .Affected());
}

// What the servers share.

// Kept as 64-bit keyed hashes (SipHash under the database's secret key), as the file
// store's journal keeps them, so that a migration carries a journal over.
std::int64_t PgCloudStore::NonceHash(const std::string& text) const {
    unsigned char digest[crypto_shorthash_BYTES];
    crypto_shorthash(digest, reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                     FNonceKey);
    std::int64_t key = 0;
    std::memcpy(&key, digest, sizeof key);
    return key;
}

bool PgCloudStore::RememberNonce(const std::string& text, std::int64_t now, std::int64_t window) {
    const std::int64_t key = NonceHash(text);
    const std::int64_t forgotten = now - 2 * window;
    auto db = FLight.Take();
    // A request that arrived more than two windows ago carried a timestamp that is now
    // older than one window: its row may be taken over, and old rows go once a minute.
    if (std::int64_t last = FNoncesPurged.load();
        last + 60 <= now && FNoncesPurged.compare_exchange_strong(last, now))
        db->Exec("DELETE FROM nonces WHERE arrived < $1::bigint", {P(forgotten)});
    return db->Exec("INSERT INTO nonces(key, arrived) VALUES($1::bigint, $2::bigint) "
                    "ON CONFLICT(key) DO UPDATE SET arrived = EXCLUDED.arrived "
                    "WHERE nonces.arrived < $3::bigint RETURNING 1",
                    {P(key), P(now), P(forgotten)})
               .Rows() == 1;
}

struct PgCloudStore::KnownCheck {
    const ConsumerRecord& Consumer;
    const AccessTokenRecord& Token;
    std::int64_t Key;
    std::int64_t Now;
    std::int64_t Window;
    std::optional<bool> Fresh;
    std::optional<std::uint64_t> FolderChange;
    std::exception_ptr Error;
    bool Done = false;
};

std::optional<bool> PgCloudStore::RememberNonceOfKnownToken(
    const ConsumerRecord& consumer, const AccessTokenRecord& token, const std::string& text,
    std::int64_t now, std::int64_t window, std::optional<std::uint64_t>& folderChange) {
    // At most this many in one statement; the rest go with the next.
    constexpr std::size_t kMostAtOnce = 64;
    KnownCheck mine{consumer, token, NonceHash(text), now, window, {}, {}, {}};
    std::unique_lock lock(FChecksMutex);
    FChecksWaiting.push_back(&mine);
    while (!mine.Done) {
        if (FChecksSending) {
            FChecksSent.wait(lock);
            continue;
        }
        // A nonce twice among them (a replay arriving with its original) waits for the
        // next statement, where it finds the first one's row.
        std::vector<KnownCheck*> batch, later;
        std::unordered_set<std::int64_t> keys;
        const std::int64_t batchWindow = FChecksWaiting.front()->Window;
        for (KnownCheck* c : FChecksWaiting) {
            const bool joins = batch.size() < kMostAtOnce && c->Window == batchWindow &&
                               keys.insert(c->Key).second;
            (joins ? batch : later).push_back(c);
        }
        FChecksWaiting.swap(later);
        FChecksSending = true;
        lock.unlock();
        std::exception_ptr error;
        try {
            RunKnownChecks(batch, batchWindow);
        } catch (...) {
            error = std::current_exception();
        }
        lock.lock();
        for (KnownCheck* c : batch) {
            c->Error = error;
            c->Done = true;
        }
        FChecksSending = false;
        FChecksSent.notify_all();
    }
    lock.unlock();
    if (mine.Error)
        std::rethrow_exception(mine.Error);
    folderChange = mine.FolderChange;
    return mine.Fresh;
}

void PgCloudStore::RunKnownChecks(const std::vector<KnownCheck*>& batch, std::int64_t window) {
    std::vector<std::string> tokens, tokenSecrets, consumers, consumerSecrets;
    std::vector<std::int64_t> users, expires, created, keys, arrived;
    std::int64_t now = 0;
    for (const KnownCheck* c : batch) {
        tokens.push_back(c->Token.Key);
        tokenSecrets.push_back(c->Token.Secret);
        consumers.push_back(c->Consumer.Key);
        consumerSecrets.push_back(c->Consumer.Secret);
        users.push_back(c->Token.UserId);
        expires.push_back(c->Token.Expires);
        created.push_back(c->Token.Created);
        keys.push_back(c->Key);
        arrived.push_back(c->Now);
        now = std::max(now, c->Now);
    }
    auto db = FLight.Take();
    if (std::int64_t last = FNoncesPurged.load();
        last + 60 <= now && FNoncesPurged.compare_exchange_strong(last, now))
        db->Exec("DELETE FROM nonces WHERE arrived < $1::bigint", {P(now - 2 * window)});
    // One statement, one snapshot: a nonce is kept only when its token and consumer are
    // still what the request was checked against (a token revoked or a consumer's secret
    // replaced on any server is read again, and refused there). A row older than two
    // windows belonged to a timestamp no longer accepted and is taken over. The rows
    // are written in the order of their keys, so that two servers writing the same
    // ones cannot wait for each other.
    auto r = db->Exec(
        "WITH r AS (SELECT * FROM unnest($1::text[], $2::text[], $3::text[], $4::bigint[], "
        "$5::bigint[], $6::bigint[], $7::text[], $8::bigint[], $9::bigint[]) WITH ORDINALITY "
        "AS r(tkey, tsecret, ckey, uid, expires, created, csecret, nkey, arrived, i)), "
        "ok AS (SELECT r.i, r.nkey, r.arrived FROM r JOIN access_tokens t ON t.key = r.tkey "
        "AND t.secret = r.tsecret AND t.consumer = r.ckey AND t.user_id = r.uid "
        "AND t.expires = r.expires AND t.created = r.created AND t.revoked = 0 "
        "JOIN consumers c ON c.key = t.consumer AND c.secret = r.csecret), "
        "n AS (INSERT INTO nonces(key, arrived) SELECT nkey, arrived FROM ok ORDER BY nkey "
        "ON CONFLICT(key) DO UPDATE SET arrived = EXCLUDED.arrived "
        "WHERE nonces.arrived < EXCLUDED.arrived - $10::bigint RETURNING key) "
        "SELECT EXISTS (SELECT 1 FROM ok WHERE ok.i = r.i), "
        "EXISTS (SELECT 1 FROM n WHERE n.key = r.nkey), "
        "(SELECT COALESCE(MAX(ch.count), 0) FROM app_folders a "
        "LEFT JOIN changes ch ON ch.root = a.root "
        "WHERE a.user_id = r.uid AND a.consumer = r.ckey) FROM r ORDER BY r.i",
        {Array(tokens), Array(tokenSecrets), Array(consumers), Array(users), Array(expires),
         Array(created), Array(consumerSecrets), Array(keys), Array(arrived), P(2 * window)});
    if (r.Rows() != static_cast<int>(batch.size()))
        throw PgError("a check of known tokens answered " + std::to_string(r.Rows()) +
                          " rows for " + std::to_string(batch.size()),
                      {});
    for (int i = 0; i < r.Rows(); ++i) {
        KnownCheck& c = *batch[static_cast<std::size_t>(i)];
        if (r.Text(i, 0) != "t")
            continue; // not as read: nothing
        c.Fresh = r.Text(i, 1) == "t";
        if (*c.Fresh)
            c.FolderChange = static_cast<std::uint64_t>(r.Int(i, 2));
    }
}

bool PgCloudStore::TakeLoginAttempt(const std::string& user, std::int64_t now, int max,
                                    std::int64_t lockoutSeconds) {
    auto db = FLight.Take();
    // Counts that ran out go once a minute (the names are whatever the form said).
    if (std::int64_t last = FLoginsPurged.load();
        last + 60 <= now && FLoginsPurged.compare_exchange_strong(last, now))
        db->Exec("DELETE FROM login_failures WHERE since + $2::bigint < $1::bigint",
                 {P(now), P(lockoutSeconds)});
    // The test of the limit and the count are one statement on one row: concurrent
    // tries on any server cannot pass it together.
    return db->Exec("INSERT INTO login_failures(name, count, since) VALUES($1, 1, $2::bigint) "
                    "ON CONFLICT(name) DO UPDATE SET "
                    "count = CASE WHEN login_failures.since + $4::bigint < $2::bigint THEN 1 "
                    "ELSE login_failures.count + 1 END, "
                    "since = CASE WHEN login_failures.since + $4::bigint < $2::bigint "
                    "THEN $2::bigint ELSE login_failures.since END "
                    "WHERE login_failures.since + $4::bigint < $2::bigint "
                    "OR login_failures.count < $3::integer RETURNING count",
                    {P(user), P(now), P(static_cast<std::int64_t>(max)), P(lockoutSeconds)})
               .Rows() == 1;
}

void PgCloudStore::GiveBackLoginAttempt(const std::string& user) {
    auto db = FLight.Take();
    db->Exec("UPDATE login_failures SET count = count - 1 WHERE name = $1 AND count > 0",
             {P(user)});
}

void PgCloudStore::PutWebSession(const WebLoginSession& s, std::int64_t expiredBefore) {
    auto db = FLight.Take();
    db->Exec("DELETE FROM web_sessions WHERE created < $1::bigint", {P(expiredBefore)});
    db->Exec("INSERT INTO web_sessions(s, sid, request_token, created) "
             "VALUES($1, $2, $3, $4::bigint)",
             {P(s.S), P(s.Sid), P(s.RequestToken), P(s.Created)});
}

std::optional<WebLoginSession> PgCloudStore::FindWebSession(const std::string& s) {
    auto db = FLight.Take();
    auto r =
        db->Exec("SELECT sid, s, request_token, created FROM web_sessions WHERE s = $1", {P(s)});
    if (!r.Rows())
        return std::nullopt;
    return WebLoginSession{r.Text(0, 0), r.Text(0, 1), r.Text(0, 2), r.Int(0, 3)};
}

void PgCloudStore::EraseWebSession(const std::string& s) {
    auto db = FLight.Take();
    db->Exec("DELETE FROM web_sessions WHERE s = $1", {P(s)});
}

namespace {

// The counts of keys in their order from rows of (key, wrong, since, next_allowed); a
// key without a row has none.
std::vector<StrikeRecord> StrikesOf(const std::vector<std::string>& keys, const PgResult& r) {
    std::vector<StrikeRecord> out;
    for (const auto& k : keys)
        out.push_back({k});
    for (int i = 0; i < r.Rows(); ++i)
        for (auto& o : out)
            if (o.Key == r.Text(i, 0))
                o = {o.Key, static_cast<int>(r.Int(i, 1)), r.Int(i, 2), r.Int(i, 3)};
    return out;
}

} // namespace

std::vector<StrikeRecord> PgCloudStore::ReadStrikes(const std::vector<std::string>& keys) {
    auto db = FLight.Take();
    auto r = db->Exec("SELECT key, wrong, since, next_allowed FROM strikes "
                      "WHERE key = ANY($1::text[])",
                      {Array(keys)});
    return StrikesOf(keys, r);
}

void PgCloudStore::ChangeStrikes(const std::vector<std::string>& keys, std::int64_t now,
                                 std::int64_t forgetBefore,
                                 const std::function<void(std::vector<StrikeRecord>&)>& change) {
    // Old counts go once a minute, in a statement of their own (holding no row the
    // counting below may need).
    if (std::int64_t last = FStrikesPurged.load();
        last + 60 <= now && FStrikesPurged.compare_exchange_strong(last, now))
        FLight.Take()->Exec(
            "DELETE FROM strikes WHERE since < $1::bigint AND next_allowed <= $2::bigint",
            {P(forgetBefore), P(now)});
    FLight.Transact([&](PgConn& db) {
        // The rows are made and locked in the order of their keys, so that two servers
        // counting against the same ones cannot wait for each other.
        std::vector<std::string> sorted = keys;
        std::sort(sorted.begin(), sorted.end());
        db.Exec("INSERT INTO strikes(key, wrong, since, next_allowed) "
                "SELECT k, 0, 0, 0 FROM unnest($1::text[]) AS k ORDER BY k "
                "ON CONFLICT(key) DO NOTHING",
                {Array(sorted)});
        auto r = db.Exec("SELECT key, wrong, since, next_allowed FROM strikes "
                         "WHERE key = ANY($1::text[]) ORDER BY key FOR UPDATE",
                         {Array(sorted)});
        std::vector<StrikeRecord> records = StrikesOf(keys, r);
        change(records);
        for (const auto& o : records) {
            if (o.Wrong == 0 && o.NextAllowed <= now)
                db.Exec("DELETE FROM strikes WHERE key = $1", {P(o.Key)});
            else
                db.Exec("UPDATE strikes SET wrong = $2::integer, since = $3::bigint, "
                        "next_allowed = $4::bigint WHERE key = $1",
                        {P(o.Key), P(static_cast<std::int64_t>(o.Wrong)), P(o.Since),
                         P(o.NextAllowed)});
        }
        return true;
    });
}

bool PgCloudStore::TakePendingLogin(const std::string& address, std::int64_t now,
                                    std::int64_t since, std::size_t max) {
    if (std::int64_t last = FPendingPurged.load();
        last + 60 <= now && FPendingPurged.compare_exchange_strong(last, now))
        FLight.Take()->Exec("DELETE FROM pending_logins WHERE at < $1::bigint", {P(since)});
    return FLight.Transact([&](PgConn& db) {
        // The address's own lock: the count and the new row are one step on every server.
        db.Exec("SELECT pg_advisory_xact_lock(3, hashtext($1))", {P(address)});
        db.Exec("DELETE FROM pending_logins WHERE address = $1 AND at < $2::bigint",
                {P(address), P(since)});
        auto r = db.Exec("SELECT COUNT(*) FROM pending_logins WHERE address = $1", {P(address)});
        if (r.Int(0, 0) >= static_cast<std::int64_t>(max))
            return false;
        db.Exec("INSERT INTO pending_logins(address, at) VALUES($1, $2::bigint)",
                {P(address), P(now)});
        return true;
    });
}

std::vector<std::string> PgCloudStore::ContentProblems() {
    auto db = FPool.Take();
    // Binary results: the text columns are their bytes as they are.
    auto r = db->Exec("SELECT id::text, size::text, hash, content FROM nodes "
                      "WHERE is_folder = 0 ORDER BY id",
                      {}, true);
    std::vector<std::string> out;
    for (int i = 0; i < r.Rows(); ++i) {
        const std::string id = r.Text(i, 0);
        if (r.IsNull(i, 3)) {
            out.push_back("file " + id + " has no content");
            continue;
        }
        const std::string bytes = r.Bytes(i, 3);
        if (std::to_string(bytes.size()) != r.Text(i, 1))
            out.push_back("file " + id + " holds " + std::to_string(bytes.size()) + " bytes, not " +
                          r.Text(i, 1));
        else if (Sha1Hex(bytes) != r.Text(i, 2))
            out.push_back("file " + id + " does not match its hash");
    }
    return out;
}

} // namespace ot::server
