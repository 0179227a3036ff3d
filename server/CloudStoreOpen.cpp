// What every store shares, and the choice of one by the --store text.

#include "CloudStore.h"
#include "PgCloudStore.h"
#include "SqliteCloudStore.h"

#include <stdexcept>

namespace ot::server {

CloudStore::~CloudStore() = default;

const CloudStore::ReconcileReport& CloudStore::LastReconcile() const {
    static const ReconcileReport none;
    return none;
}

NodeResult CloudStore::Upload(std::int64_t root, const std::vector<std::string>& path,
                              const std::string& content, bool overwrite,
                              std::optional<std::int64_t> ifRev) {
    auto incoming = NewIncoming();
    if (!incoming->Append(content)) {
        NodeResult r;
        r.Status = StoreStatus::Failed;
        return r;
    }
    return Upload(root, path, *incoming, overwrite, ifRev);
}

std::optional<ConsumerRecord>
CloudStore::FindConsumerAndAccessToken(const std::string& consumerKey, const std::string& tokenKey,
                                       std::optional<AccessTokenRecord>& token,
                                       std::optional<std::uint64_t>& folderChange) {
    folderChange.reset();
    auto consumer = FindConsumer(consumerKey);
    token = consumer ? FindAccessToken(tokenKey) : std::nullopt;
    return consumer;
}

// A store of one server never gets these: the server keeps its own.
bool CloudStore::RememberNonce(const std::string&, std::int64_t, std::int64_t) {
    throw std::logic_error("this store keeps no nonces");
}

bool CloudStore::TakeLoginAttempt(const std::string&, std::int64_t, int, std::int64_t) {
    throw std::logic_error("this store keeps no login attempts");
}

void CloudStore::GiveBackLoginAttempt(const std::string&) {
    throw std::logic_error("this store keeps no login attempts");
}

void CloudStore::PutWebSession(const WebLoginSession&, std::int64_t) {
    throw std::logic_error("this store keeps no login sessions");
}

std::optional<WebLoginSession> CloudStore::FindWebSession(const std::string&) {
    throw std::logic_error("this store keeps no login sessions");
}

void CloudStore::EraseWebSession(const std::string&) {
    throw std::logic_error("this store keeps no login sessions");
}

std::vector<StrikeRecord> CloudStore::ReadStrikes(const std::vector<std::string>&) {
    throw std::logic_error("this store keeps no strikes");
}

void CloudStore::ChangeStrikes(const std::vector<std::string>&, std::int64_t, std::int64_t,
                               const std::function<void(std::vector<StrikeRecord>&)>&) {
    throw std::logic_error("this store keeps no strikes");
}

bool CloudStore::TakePendingLogin(const std::string&, std::int64_t, std::int64_t, std::size_t) {
    throw std::logic_error("this store keeps no pending logins");
}

bool IsPostgresStore(const std::string& store) {
    return store.rfind("postgresql://", 0) == 0 || store.rfind("postgres://", 0) == 0;
}

std::unique_ptr<CloudStore> OpenCloudStore(const std::string& store,
                                           const std::filesystem::path& dataDir, StoreLimits limits,
                                           bool reconcile) {
    if (store.empty())
        return std::make_unique<SqliteCloudStore>(dataDir, limits, reconcile);
    if (IsPostgresStore(store))
        return std::make_unique<PgCloudStore>(store, dataDir, limits, reconcile);
    throw std::runtime_error("unknown store " + store.substr(0, store.find(':')) +
                             " (a postgresql:// address, or none for the data directory)");
}

} // namespace ot::server
