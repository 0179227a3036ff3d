// Accounts, consumers, tokens and the users' application folders.

#include "CloudStoreParts.h"

#include "common/Clock.h"

#include <sodium.h>

namespace ot::server {

namespace fs = std::filesystem;

bool SqliteCloudStore::AddUser(const std::string& name, const std::string& passwordHash) {
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

bool SqliteCloudStore::SetPasswordHash(const std::string& name, const std::string& passwordHash) {
    std::lock_guard lock(FWriteMutex);
    Transaction t(*FWriter);
    Stmt(*FWriter, "UPDATE users SET pwhash = ?2 WHERE name = ?1")
        .Bind(1, name)
        .Bind(2, passwordHash)
        .Exec();
    if (FWriter->Changes() != 1)
        return false;
    Stmt s(*FWriter, "SELECT id FROM users WHERE name = ?1");
    s.Bind(1, name);
    if (!s.Step())
        return false;
    RevokeTokensOf(s.Int(0));
    t.Commit();
    return true;
}

std::optional<UserRecord> SqliteCloudStore::FindUser(const std::string& name) {
    ReaderLease db(*this);
    Stmt s(*db, "SELECT id, name, pwhash, created FROM users WHERE name = ?1");
    s.Bind(1, name);
    if (!s.Step())
        return std::nullopt;
    return UserRecord{s.Int(0), s.Text(1), s.Text(2), s.Int(3)};
}

std::optional<UserRecord> SqliteCloudStore::FindUserById(std::int64_t id) {
    ReaderLease db(*this);
    Stmt s(*db, "SELECT id, name, pwhash, created FROM users WHERE id = ?1");
    s.Bind(1, id);
    if (!s.Step())
        return std::nullopt;
    return UserRecord{s.Int(0), s.Text(1), s.Text(2), s.Int(3)};
}

std::vector<UserRecord> SqliteCloudStore::ListUsers() {
    ReaderLease db(*this);
    Stmt s(*db, "SELECT id, name, pwhash, created FROM users ORDER BY name");
    std::vector<UserRecord> out;
    while (s.Step())
        out.push_back({s.Int(0), s.Text(1), s.Text(2), s.Int(3)});
    return out;
}

void SqliteCloudStore::PutConsumer(const ConsumerRecord& c) {
    std::lock_guard lock(FWriteMutex);
    Stmt(*FWriter, "INSERT INTO consumers(key, secret, app_name) VALUES(?1, ?2, ?3) "
                   "ON CONFLICT(key) DO UPDATE SET secret = ?2, app_name = ?3")
        .Bind(1, c.Key)
        .Bind(2, c.Secret)
        .Bind(3, c.AppName)
        .Exec();
}

std::optional<ConsumerRecord> SqliteCloudStore::FindConsumer(const std::string& key) {
    ReaderLease db(*this);
    Stmt s(*db, "SELECT key, secret, app_name FROM consumers WHERE key = ?1");
    s.Bind(1, key);
    if (!s.Step())
        return std::nullopt;
    return ConsumerRecord{s.Text(0), s.Text(1), s.Text(2)};
}

TokenPairText SqliteCloudStore::CreateRequestToken(const std::string& consumer, std::int64_t now,
                                                   std::int64_t maxPending) {
    TokenPairText pair{SecureRandomText(32), SecureRandomText(32)};
    std::lock_guard lock(FWriteMutex);
    Transaction t(*FWriter);
    Stmt count(*FWriter, "SELECT COUNT(*) FROM request_tokens WHERE consumer = ?1");
    count.Bind(1, consumer);
    if (count.Step() && count.Int(0) >= maxPending)
        return {};
    Stmt(*FWriter,
         "INSERT INTO request_tokens(key, secret, consumer, created) VALUES(?1, ?2, ?3, ?4)")
        .Bind(1, pair.Key)
        .Bind(2, pair.Secret)
        .Bind(3, consumer)
        .Bind(4, now)
        .Exec();
    t.Commit();
    return pair;
}

std::optional<RequestTokenRecord> SqliteCloudStore::FindRequestToken(const std::string& key) {
    ReaderLease db(*this);
    Stmt s(*db, "SELECT key, secret, consumer, created, user_id FROM request_tokens "
                "WHERE key = ?1");
    s.Bind(1, key);
    if (!s.Step())
        return std::nullopt;
    return RequestTokenRecord{s.Text(0), s.Text(1), s.Text(2), s.Int(3),
                              s.IsNull(4) ? 0 : s.Int(4)};
}

std::optional<std::string> SqliteCloudStore::AuthoriseRequestToken(const std::string& key,
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

std::optional<std::int64_t> SqliteCloudStore::ConsumeRequestToken(const std::string& key,
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

int SqliteCloudStore::PurgeRequestTokens(std::int64_t createdBefore) {
    std::lock_guard lock(FWriteMutex);
    Stmt(*FWriter, "DELETE FROM request_tokens WHERE created < ?1").Bind(1, createdBefore).Exec();
    return FWriter->Changes();
}

TokenPairText SqliteCloudStore::CreateAccessToken(const std::string& consumer, std::int64_t userId,
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

std::optional<AccessTokenRecord> SqliteCloudStore::FindAccessToken(const std::string& key) {
    ReaderLease db(*this);
    Stmt s(*db, "SELECT key, secret, consumer, user_id, expires, revoked, created "
                "FROM access_tokens WHERE key = ?1");
    s.Bind(1, key);
    if (!s.Step())
        return std::nullopt;
    return AccessTokenRecord{s.Text(0), s.Text(1),     s.Text(2), s.Int(3),
                             s.Int(4),  s.Int(5) != 0, s.Int(6)};
}

int SqliteCloudStore::RevokeTokens(std::int64_t userId) {
    std::lock_guard lock(FWriteMutex);
    Transaction t(*FWriter);
    const int n = RevokeTokensOf(userId);
    t.Commit();
    return n;
}

int SqliteCloudStore::RevokeTokensOf(std::int64_t userId) {
    Stmt(*FWriter, "UPDATE access_tokens SET revoked = 1 WHERE user_id = ?1 AND revoked = 0")
        .Bind(1, userId)
        .Exec();
    int n = FWriter->Changes();
    Stmt(*FWriter, "DELETE FROM request_tokens WHERE user_id = ?1").Bind(1, userId).Exec();
    return n + FWriter->Changes();
}

// An application folder, once made, is never removed or moved: its ID is kept in memory
// after the first look-up, saving a query on every request.
std::int64_t SqliteCloudStore::AppFolder(std::int64_t userId, const std::string& consumer) {
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

std::int64_t SqliteCloudStore::FindOrCreateAppFolder(std::int64_t userId,
                                                     const std::string& consumer) {
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

} // namespace ot::server
