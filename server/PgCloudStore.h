#pragma once
// The store several servers share: everything in one PostgreSQL database, file contents
// as bytea. The changes of one user's tree take that user's transaction-scoped advisory
// lock first, so that the name checks, the revision checks and the quota hold whichever
// server a request reaches; revisions come from one sequence. What a single server kept
// for itself (nonces, login lockouts, login sessions, wrong share codes, logins started
// per address, the change counts the listing cache is checked against) is here too, all
// but the last committed without waiting for the disk, as the nonce journal of the file
// store was written.

#include "CloudStore.h"
#include "PgDb.h"

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <unordered_map>

namespace ot::server {

class PgCloudStore final : public CloudStore {
public:
    // conninfo is a libpq connection URI; uploads arriving are spooled below spoolParent
    // (a private temporary directory when it is empty). Creates the schema when missing.
    // A serving store names its connections kServingName.
    PgCloudStore(const std::string& conninfo, const std::filesystem::path& spoolParent,
                 StoreLimits limits = {}, bool serving = false);
    static constexpr const char* kServingName = "otCloudServer serve";
    // How many connections of serving stores other than this one the database has.
    int ServingConnections();
    ~PgCloudStore() override;
    PgCloudStore(const PgCloudStore&) = delete;
    PgCloudStore& operator=(const PgCloudStore&) = delete;

    const StoreLimits& Limits() const override { return FLimits; }
    bool Shared() const override { return true; }
    std::string DataFingerprint() override;
    std::string RenewDataFingerprint() override;

    bool AddUser(const std::string& name, const std::string& passwordHash) override;
    bool SetPasswordHash(const std::string& name, const std::string& passwordHash) override;
    std::optional<UserRecord> FindUser(const std::string& name) override;
    std::optional<UserRecord> FindUserById(std::int64_t id) override;
    std::vector<UserRecord> ListUsers() override;
    void PutConsumer(const ConsumerRecord& consumer) override;
    std::optional<ConsumerRecord> FindConsumer(const std::string& key) override;
    TokenPairText CreateRequestToken(const std::string& consumer, std::int64_t now,
                                     std::int64_t maxPending = INT64_MAX) override;
    std::optional<RequestTokenRecord> FindRequestToken(const std::string& key) override;
    std::optional<std::string> AuthoriseRequestToken(const std::string& key,
                                                     std::int64_t userId) override;
    std::optional<std::int64_t> ConsumeRequestToken(const std::string& key,
                                                    const std::string& verifier) override;
    int PurgeRequestTokens(std::int64_t createdBefore) override;
    TokenPairText CreateAccessToken(const std::string& consumer, std::int64_t userId,
                                    std::int64_t now, std::int64_t expires) override;
    std::optional<AccessTokenRecord> FindAccessToken(const std::string& key) override;
    std::optional<ConsumerRecord>
    FindConsumerAndAccessToken(const std::string& consumerKey, const std::string& tokenKey,
                               std::optional<AccessTokenRecord>& token,
                               std::optional<std::uint64_t>& folderChange) override;
    int RevokeTokens(std::int64_t userId) override;
    std::int64_t AppFolder(std::int64_t userId, const std::string& consumer) override;

    NodeResult Metadata(std::int64_t root, const std::vector<std::string>& path,
                        bool list) override;
    NodeResult CreateFolder(std::int64_t root, const std::vector<std::string>& path) override;
    NodeResult Move(std::int64_t root, const std::vector<std::string>& from,
                    const std::vector<std::string>& to,
                    std::optional<std::int64_t> ifRev = {}) override;
    NodeResult Copy(std::int64_t root, const std::vector<std::string>& from,
                    const std::vector<std::string>& to) override;
    NodeResult Delete(std::int64_t root, const std::vector<std::string>& path, bool toRecycle,
                      std::optional<std::int64_t> ifRev = {}) override;
    using CloudStore::Upload;
    std::unique_ptr<IncomingContent> NewIncoming() override;
    NodeResult Upload(std::int64_t root, const std::vector<std::string>& path,
                      IncomingContent& content, bool overwrite,
                      std::optional<std::int64_t> ifRev = {}) override;
    NodeResult Download(std::int64_t root, const std::vector<std::string>& path,
                        std::string& content) override;
    NodeResult OpenDownload(std::int64_t root, const std::vector<std::string>& path,
                            int& fd) override;
    UsageRecord Usage(std::int64_t userId) override;
    std::uint64_t ChangeCount(std::int64_t root) override;
    std::string CreateShare(std::int64_t node, const std::string& accessCode,
                            const std::string& name) override;
    std::optional<ShareRecord> FindShare(const std::string& code) override;
    NodeResult DownloadById(std::int64_t node, std::string& content) override;
    NodeResult OpenDownloadById(std::int64_t node, int& fd) override;
    int PurgeRecycleBin(std::int64_t deletedBefore) override;

    bool RememberNonce(const std::string& key, std::int64_t now, std::int64_t window) override;
    std::optional<bool>
    RememberNonceOfKnownToken(const ConsumerRecord& consumer, const AccessTokenRecord& token,
                              const std::string& key, std::int64_t now, std::int64_t window,
                              std::optional<std::uint64_t>& folderChange) override;
    bool TakeLoginAttempt(const std::string& user, std::int64_t now, int max,
                          std::int64_t lockoutSeconds) override;
    void GiveBackLoginAttempt(const std::string& user) override;
    void PutWebSession(const WebLoginSession& session, std::int64_t expiredBefore) override;
    std::optional<WebLoginSession> FindWebSession(const std::string& s) override;
    void EraseWebSession(const std::string& s) override;
    std::vector<StrikeRecord> ReadStrikes(const std::vector<std::string>& keys) override;
    void ChangeStrikes(const std::vector<std::string>& keys, std::int64_t now,
                       std::int64_t forgetBefore,
                       const std::function<void(std::vector<StrikeRecord>&)>& change) override;
    bool TakePendingLogin(const std::string& address, std::int64_t now, std::int64_t since,
                          std::size_t max) override;

    // Files whose bytes do not match their size or hash.
    std::vector<std::string> ContentProblems() override;

    // Durable transactions on the database, for the migration.
    PgPool& Pool() { return FPool; }

private:
    struct Row;
    std::optional<Row> Child(PgConn& db, std::int64_t parent, const std::string& name);
    std::optional<Row> Lookup(PgConn& db, std::int64_t root, const std::vector<std::string>& path,
                              StoreStatus& why);
    std::optional<Row> ParentFolder(PgConn& db, std::int64_t root,
                                    const std::vector<std::string>& path, StoreStatus& why);
    // Takes the lock of the user whose folder root is; answers the user.
    std::int64_t LockUserOf(PgConn& db, std::int64_t root);
    void CountChange(PgConn& db, std::int64_t root);
    std::int64_t UsedBytes(PgConn& db, std::int64_t userId);
    bool IsAtOrBelow(PgConn& db, std::int64_t node, std::int64_t folder);
    std::optional<Row> PlaceFor(PgConn& db, std::int64_t root, const std::vector<std::string>& to,
                                const Row& src, StoreStatus& why);
    std::int64_t CopyTree(PgConn& db, const Row& src, std::int64_t newParent,
                          const std::string& newName, std::int64_t now);
    int RevokeTokensOf(PgConn& db, std::int64_t userId);
    // The row (by path or ID) and its bytes, read in one snapshot.
    NodeResult Fetch(const std::function<std::optional<Row>(PgConn&, StoreStatus&)>& find,
                     const std::function<std::string(const Row&)>& pathOf, std::string& content);
    void CreateSchema();
    struct KnownCheck;
    void RunKnownChecks(const std::vector<KnownCheck*>& batch, std::int64_t window);
    std::int64_t NonceHash(const std::string& text) const;
    void OpenSpool(const std::filesystem::path& parent);

    StoreLimits FLimits;
    PgPool FPool;  // durable commits
    PgPool FLight; // commits that need not wait for the disk
    std::filesystem::path FSpool;
    int FSpoolLock = -1;
    std::mutex FAppFoldersMutex;
    std::unordered_map<std::string, std::int64_t> FAppFolders; // "user:consumer" -> root
    unsigned char FNonceKey[16] = {};
    std::atomic<std::int64_t> FNoncesPurged{0};
    std::atomic<std::int64_t> FLoginsPurged{0};
    std::atomic<std::int64_t> FStrikesPurged{0};
    std::atomic<std::int64_t> FPendingPurged{0};
    // Checks of requests signed with known tokens, sent together: one request sends
    // those that wait while no other is being sent, so that each costs one trip and
    // one commit however many there are.
    std::mutex FChecksMutex;
    std::condition_variable FChecksSent;
    std::vector<KnownCheck*> FChecksWaiting;
    bool FChecksSending = false;
};

// SHA-1 of bytes, hex, as the stores record it.
std::string Sha1Hex(std::string_view bytes);

} // namespace ot::server
