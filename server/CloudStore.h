#pragma once
// The cloud server's durable state: accounts, consumers and tokens, and every user's
// application folder (a tree of folders and files with IDs, revisions and times, plus a
// recycle bin). Metadata lives in SQLite; file contents live as one file per revision
// under <data>/files, written and flushed before the metadata that names them is
// committed, so a crash at any moment leaves at worst an unreferenced content file,
// which Open() removes.
//
// The class is one, its parts are apart: CloudStore.cpp (the database, its readers, the
// schema, start-up), CloudStoreAccounts.cpp (users, consumers, tokens),
// CloudStoreTree.cpp (the tree and the recycle bin), CloudStoreBlobs.cpp (content files
// and incoming uploads), CloudStoreShares.cpp (share links).

#include "ServerDb.h"

#include <climits>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace ot::server {

struct StoreLimits {
    std::int64_t MaxFileSize = 64ll << 20;
    std::int64_t QuotaBytes = 10ll << 30; // per user, recycle bin included
};

enum class StoreStatus {
    Ok,
    NotFound,       // the path does not exist
    ParentNotFound, // the folder that should hold the target does not exist
    NotAFolder,     // a file stands where a folder is needed
    IsAFolder,      // a folder stands where a file is needed
    Exists,         // the target exists already
    Forbidden,      // the operation is not allowed on this path (the folder itself, a cycle)
    QuotaExceeded,
    TooLarge,
    Changed, // the node is not at the revision the request was based on
    Failed,  // storage failure
};

struct CloudNode {
    std::int64_t Id = 0;
    std::string Path; // "/" + components
    std::string Name;
    bool IsFolder = false;
    std::int64_t Size = 0;
    std::int64_t Rev = 0;
    std::string Hash; // SHA-1 of the content, hex; empty for folders
    std::int64_t CreateTime = 0;
    std::int64_t ModifyTime = 0;
};

struct NodeResult {
    StoreStatus Status = StoreStatus::Ok;
    // With Changed: the node as it is now (Id 0 when there is none).
    CloudNode Node;
    std::vector<CloudNode> Children; // filled by Metadata with listing on
};

struct UserRecord {
    std::int64_t Id = 0;
    std::string Name;
    std::string PasswordHash;
    std::int64_t Created = 0;
};

struct ConsumerRecord {
    std::string Key;
    std::string Secret;
    std::string AppName;
};

struct RequestTokenRecord {
    std::string Key;
    std::string Secret;
    std::string Consumer;
    std::int64_t Created = 0;
    std::int64_t UserId = 0; // 0 until a user authorised it
};

struct AccessTokenRecord {
    std::string Key;
    std::string Secret;
    std::string Consumer;
    std::int64_t UserId = 0;
    std::int64_t Expires = 0; // Unix seconds, 0 = never
    bool Revoked = false;
    std::int64_t Created = 0;
};

struct TokenPairText {
    std::string Key;
    std::string Secret;
};

struct ShareRecord {
    std::string Code;
    std::int64_t Node = 0;
    std::string AccessCode;
    std::string Name;
};

struct UsageRecord {
    std::int64_t Used = 0;
    std::int64_t Recycled = 0;
};

// An upload's bytes on their way into the store: a temporary file in the data
// directory, written as the body arrives and hashed on the way. It is removed unless an
// upload takes it; one left by a crash is removed at the next start.
class IncomingContent {
public:
    ~IncomingContent();
    IncomingContent(const IncomingContent&) = delete;
    IncomingContent& operator=(const IncomingContent&) = delete;
    // False when the disk refused the bytes.
    bool Append(std::string_view bytes);
    std::int64_t Size() const { return FSize; }

private:
    friend class CloudStore;
    IncomingContent(std::filesystem::path path, int fd);
    // Flushes the file and answers its SHA-1 (hex); empty on a failure.
    std::string Finish();

    std::filesystem::path FPath;
    int FFd = -1;
    std::int64_t FSize = 0;
    bool FFailed = false;
    bool FTaken = false;
    struct Hash;
    std::unique_ptr<Hash> FHash;
};

class CloudStore {
public:
    // Opens or creates the data directory. With reconcile, content files are checked
    // against the metadata (only the serving process may do that: it alone writes).
    explicit CloudStore(const std::filesystem::path& dataDir, StoreLimits limits = {},
                        bool reconcile = true);
    ~CloudStore();
    CloudStore(const CloudStore&) = delete;
    CloudStore& operator=(const CloudStore&) = delete;

    const StoreLimits& Limits() const { return FLimits; }
    // A random text made when the data directory was created and replaced when it is
    // restored from a copy: a client that sees it change knows the server may have lost
    // what it uploaded since the copy was taken.
    std::string DataFingerprint();
    // Replaces the fingerprint with a new random one and answers it.
    std::string RenewDataFingerprint();
    // Whether this start found the database in another file than the one it was
    // last served from (a restored or copied data directory); the fingerprint was
    // then renewed.
    bool FoundCopiedDatabase() const { return FCopiedDatabase; }
    // What the last start-up reconciliation removed (content files without metadata,
    // metadata whose content file was missing, unfinished temporary files).
    struct ReconcileReport {
        int OrphanFiles = 0;
        int MissingContent = 0;
        int TempFiles = 0;
    };
    const ReconcileReport& LastReconcile() const { return FReconcile; }

    // Accounts.
    bool AddUser(const std::string& name, const std::string& passwordHash);
    // A new password ends every token of the user, as RevokeTokens does.
    bool SetPasswordHash(const std::string& name, const std::string& passwordHash);
    std::optional<UserRecord> FindUser(const std::string& name);
    std::optional<UserRecord> FindUserById(std::int64_t id);
    std::vector<UserRecord> ListUsers();

    // Consumers (applications). Adding an existing key replaces its secret and name.
    void PutConsumer(const ConsumerRecord& consumer);
    std::optional<ConsumerRecord> FindConsumer(const std::string& key);

    // Tokens.
    // Nothing (empty key) when the consumer has maxPending request tokens already that
    // nobody has exchanged.
    TokenPairText CreateRequestToken(const std::string& consumer, std::int64_t now,
                                     std::int64_t maxPending = INT64_MAX);
    std::optional<RequestTokenRecord> FindRequestToken(const std::string& key);
    // Binds an unauthorised request token to a user; answers the verifier, or nothing
    // when the token is unknown or already authorised.
    std::optional<std::string> AuthoriseRequestToken(const std::string& key, std::int64_t userId);
    // Consumes an authorised request token whose verifier matches: it works once only.
    // Answers the user it was authorised for.
    std::optional<std::int64_t> ConsumeRequestToken(const std::string& key,
                                                    const std::string& verifier);
    int PurgeRequestTokens(std::int64_t createdBefore);
    TokenPairText CreateAccessToken(const std::string& consumer, std::int64_t userId,
                                    std::int64_t now, std::int64_t expires);
    std::optional<AccessTokenRecord> FindAccessToken(const std::string& key);
    // Every access token of the user stops working, and every request token the user
    // authorised (with its verifier) is gone: none can be exchanged for a new one.
    // Answers how many of either there were.
    int RevokeTokens(std::int64_t userId);

    // The root folder node of a user's folder for one consumer, created on first use.
    std::int64_t AppFolder(std::int64_t userId, const std::string& consumer);

    // The tree. Paths are components as ParseCloudPath gives them; {} is the folder itself.
    // Every change gives the node a revision no node of this store had before. With
    // ifRev, Upload, Move (its source) and Delete change nothing and answer Changed
    // unless the node exists at that revision; the test and the change are one
    // transaction.
    NodeResult Metadata(std::int64_t root, const std::vector<std::string>& path, bool list);
    NodeResult CreateFolder(std::int64_t root, const std::vector<std::string>& path);
    NodeResult Move(std::int64_t root, const std::vector<std::string>& from,
                    const std::vector<std::string>& to, std::optional<std::int64_t> ifRev = {});
    NodeResult Copy(std::int64_t root, const std::vector<std::string>& from,
                    const std::vector<std::string>& to);
    NodeResult Delete(std::int64_t root, const std::vector<std::string>& path, bool toRecycle,
                      std::optional<std::int64_t> ifRev = {});
    NodeResult Upload(std::int64_t root, const std::vector<std::string>& path,
                      const std::string& content, bool overwrite,
                      std::optional<std::int64_t> ifRev = {});
    // A new temporary file for an upload's bytes; throws when none can be made.
    std::unique_ptr<IncomingContent> NewIncoming();
    // Stores the bytes received; the file becomes the content when the upload is made.
    NodeResult Upload(std::int64_t root, const std::vector<std::string>& path,
                      IncomingContent& content, bool overwrite,
                      std::optional<std::int64_t> ifRev = {});
    NodeResult Download(std::int64_t root, const std::vector<std::string>& path,
                        std::string& content);
    // Like Download, but answers the content file opened for reading (fd -1 for an
    // empty file; the caller closes it), so it can be sent without holding it in memory.
    NodeResult OpenDownload(std::int64_t root, const std::vector<std::string>& path, int& fd);
    UsageRecord Usage(std::int64_t userId);
    // A number that grows with every change below an application folder, counted once
    // the change is committed: a reply built from the folder is current while it stays.
    std::uint64_t ChangeCount(std::int64_t root);
    // Share links: a code that names one file for anybody who knows it (and the access
    // code, when one was set).
    std::string CreateShare(std::int64_t node, const std::string& accessCode,
                            const std::string& name);
    std::optional<ShareRecord> FindShare(const std::string& code);
    // The content of a file that is not in the recycle bin, by its ID.
    NodeResult DownloadById(std::int64_t node, std::string& content);
    NodeResult OpenDownloadById(std::int64_t node, int& fd);
    // Removes recycled entries deleted before the given time, with their content.
    int PurgeRecycleBin(std::int64_t deletedBefore);

    // For tests: every content file that metadata names, and every file on disk.
    std::vector<std::string> ReferencedContentFiles();
    std::vector<std::string> ContentFilesOnDisk();

private:
    struct Row;
    class ReaderLease;
    struct ChangeMark {
        CloudStore& Store;
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
    std::filesystem::path ContentPath(const std::string& name) const;
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

// Creates a directory only its owner may enter (its parents as usual), unless it exists.
void CreatePrivateDirectory(const std::filesystem::path& dir);

// Random text for keys, secrets and verifiers, from the operating system's secure source.
std::string SecureRandomText(std::size_t length);

} // namespace ot::server
