#pragma once
// The store of one serving process: metadata in SQLite (cloud.db), file contents as one
// file per revision under <data>/files, written and flushed before the metadata that
// names them is committed, so a crash at any moment leaves at worst an unreferenced
// content file, which the next start removes.
//
// Its parts: CloudStore.cpp (the database, its readers, the schema, start-up),
// CloudStoreAccounts.cpp (users, consumers, tokens), CloudStoreTree.cpp (the tree and
// the recycle bin), CloudStoreBlobs.cpp (content files and incoming uploads),
// CloudStoreShares.cpp (share links).

#include "CloudStore.h"
#include "ServerDb.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace ot::server {

class SqliteCloudStore final : public CloudStore {
public:
    // Opens or creates the data directory. With reconcile, content files are checked
    // against the metadata (only the serving process may do that: it alone writes).
    explicit SqliteCloudStore(const std::filesystem::path& dataDir, StoreLimits limits = {},
                              bool reconcile = true);
    ~SqliteCloudStore() override;
    SqliteCloudStore(const SqliteCloudStore&) = delete;
    SqliteCloudStore& operator=(const SqliteCloudStore&) = delete;

    const StoreLimits& Limits() const override { return FLimits; }
    std::string DataFingerprint() override;
    std::string RenewDataFingerprint() override;
    // The database is in another file than the one it was last served from.
    bool FoundCopiedDatabase() const override { return FCopiedDatabase; }
    const ReconcileReport& LastReconcile() const override { return FReconcile; }

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
    // Content files metadata names but the disk lacks, and the other way round.
    std::vector<std::string> ContentProblems() override;

    // Every content file that metadata names, and every file on disk.
    std::vector<std::string> ReferencedContentFiles();
    std::vector<std::string> ContentFilesOnDisk();
    // The database file and the directory the contents are in (for migration).
    const std::filesystem::path& DatabaseFile() const { return FDbFile; }
    std::filesystem::path ContentPath(const std::string& name) const;

private:
    struct Row;
    class ReaderLease;
    struct ChangeMark {
        SqliteCloudStore& Store;
        std::int64_t Root;
        ~ChangeMark();
    };

    std::int64_t FindOrCreateAppFolder(std::int64_t userId, const std::string& consumer);
    std::unique_ptr<Db> OpenConnection();
    std::unique_ptr<Db> TakeReader();
    void GiveBackReader(std::unique_ptr<Db> db);
    void CreateSchema();
    void Reconcile();
    void CheckDatabaseIdentity();
    // Within the writer's transaction.
    int RevokeTokensOf(std::int64_t userId);
    // The next revision, counted in the database so that no two versions of any node
    // ever share one (a path deleted and made again starts from a fresh number).
    std::int64_t NextRev(Db& db);
    // False with Changed in r when ifRev is given and node is not at it.
    static bool AtRevision(const std::optional<Row>& node, std::optional<std::int64_t> ifRev,
                           const std::vector<std::string>& path, NodeResult& r);

    NodeResult FetchContent(const std::function<std::optional<Row>(Db&, StoreStatus&)>& find,
                            const std::function<std::string(const Row&)>& pathOf,
                            const std::function<bool(const std::filesystem::path*)>& fetch);
    std::function<std::optional<Row>(Db&, StoreStatus&)>
    ByPath(std::int64_t root, const std::vector<std::string>& path);
    std::function<std::optional<Row>(Db&, StoreStatus&)> ById(std::int64_t node);
    std::optional<Row> Child(Db& db, std::int64_t parent, const std::string& name);
    std::optional<Row> Lookup(Db& db, std::int64_t root, const std::vector<std::string>& path,
                              StoreStatus& why);
    std::optional<Row> ParentFolder(Db& db, std::int64_t root, const std::vector<std::string>& path,
                                    StoreStatus& why);
    std::int64_t UserOfNode(Db& db, std::int64_t node);
    std::int64_t UsedBytes(Db& db, std::int64_t userId);
    std::string NewContentName();
    bool WriteContent(const std::string& name, const std::string& content);
    void RemoveContent(const std::string& name);
    // Whether node is folder itself or lies somewhere below it.
    bool IsAtOrBelow(Db& db, std::int64_t node, std::int64_t folder);
    std::int64_t CopyTree(Db& db, const Row& src, std::int64_t newParent,
                          const std::string& newName, std::int64_t now,
                          std::vector<std::string>& createdContent);

    std::filesystem::path FDir;
    std::filesystem::path FDbFile;
    StoreLimits FLimits;
    ReconcileReport FReconcile;
    bool FCopiedDatabase = false;
    std::mutex FWriteMutex; // one writer at a time; readers use their own connections
    std::unique_ptr<Db> FWriter;
    std::mutex FReadersMutex;
    std::vector<std::unique_ptr<Db>> FReaders;
    std::mutex FAppFoldersMutex;
    std::unordered_map<std::string, std::int64_t> FAppFolders; // "user:consumer" -> root
    std::mutex FChangesMutex;
    std::unordered_map<std::int64_t, std::uint64_t> FChanges;
};

} // namespace ot::server
