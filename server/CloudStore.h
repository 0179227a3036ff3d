#pragma once
// The cloud server's durable state: accounts, consumers and tokens, and every user's
// application folder (a tree of folders and files with IDs, revisions and times, plus a
// recycle bin), behind one interface with two stores:
//
// - SqliteCloudStore (SqliteCloudStore.h): metadata in SQLite, contents as files in the
//   data directory. One serving process; the default.
// - PgCloudStore (PgCloudStore.h): everything in PostgreSQL, contents as bytea. Any
//   number of serving processes on one database; what one of them must not keep to
//   itself (nonces, login lockouts, login sessions, the change counts of the listing
//   cache) lives in the database too.
//
// OpenCloudStore picks one from the --store text.

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
    friend class SqliteCloudStore;
    friend class PgCloudStore;
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

// A web login between its page and its form (the "s" field, the session cookie and the
// request token it is for).
struct WebLoginSession {
    std::string Sid;
    std::string S;
    std::string RequestToken;
    std::int64_t Created = 0;
};

// Wrong tries counted against a key (a share link, an address): how many since when,
// and when the next try may come.
struct StrikeRecord {
    std::string Key;
    int Wrong = 0;
    std::int64_t Since = 0;
    std::int64_t NextAllowed = 0;
};

class CloudStore {
public:
    virtual ~CloudStore();

    virtual const StoreLimits& Limits() const = 0;
    // A random text made when the store was created and replaced when it is restored
    // from a copy: a client that sees it change knows the server may have lost what it
    // uploaded since the copy was taken.
    virtual std::string DataFingerprint() = 0;
    // Replaces the fingerprint with a new random one and answers it.
    virtual std::string RenewDataFingerprint() = 0;
    // Whether this start found the store in another place than the one it was last
    // served from (a restored or copied data directory); the fingerprint was then
    // renewed.
    virtual bool FoundCopiedDatabase() const { return false; }
    // What the last start-up reconciliation removed (content files without metadata,
    // metadata whose content file was missing, unfinished temporary files).
    struct ReconcileReport {
        int OrphanFiles = 0;
        int MissingContent = 0;
        int TempFiles = 0;
    };
    virtual const ReconcileReport& LastReconcile() const;
    // Whether several servers may serve this store at once; their shared state is then
    // kept by the store (the calls below), not by each server.
    virtual bool Shared() const { return false; }

    // Accounts.
    virtual bool AddUser(const std::string& name, const std::string& passwordHash) = 0;
    // A new password ends every token of the user, as RevokeTokens does.
    virtual bool SetPasswordHash(const std::string& name, const std::string& passwordHash) = 0;
    virtual std::optional<UserRecord> FindUser(const std::string& name) = 0;
    virtual std::optional<UserRecord> FindUserById(std::int64_t id) = 0;
    virtual std::vector<UserRecord> ListUsers() = 0;

    // Consumers (applications). Adding an existing key replaces its secret and name.
    virtual void PutConsumer(const ConsumerRecord& consumer) = 0;
    virtual std::optional<ConsumerRecord> FindConsumer(const std::string& key) = 0;

    // Tokens.
    // Nothing (empty key) when the consumer has maxPending request tokens already that
    // nobody has exchanged.
    virtual TokenPairText CreateRequestToken(const std::string& consumer, std::int64_t now,
                                             std::int64_t maxPending = INT64_MAX) = 0;
    virtual std::optional<RequestTokenRecord> FindRequestToken(const std::string& key) = 0;
    // Binds an unauthorised request token to a user; answers the verifier, or nothing
    // when the token is unknown or already authorised.
    virtual std::optional<std::string> AuthoriseRequestToken(const std::string& key,
                                                             std::int64_t userId) = 0;
    // Consumes an authorised request token whose verifier matches: it works once only.
    // Answers the user it was authorised for.
    virtual std::optional<std::int64_t> ConsumeRequestToken(const std::string& key,
                                                            const std::string& verifier) = 0;
    virtual int PurgeRequestTokens(std::int64_t createdBefore) = 0;
    virtual TokenPairText CreateAccessToken(const std::string& consumer, std::int64_t userId,
                                            std::int64_t now, std::int64_t expires) = 0;
    virtual std::optional<AccessTokenRecord> FindAccessToken(const std::string& key) = 0;
    // The consumer, and in token the access token of that key (whatever its consumer),
    // as a signed request needs them both. A store that can read it in the same trip
    // also sets folderChange: the ChangeCount of the token user's folder for the
    // consumer, as it was before anything the request goes on to read.
    virtual std::optional<ConsumerRecord>
    FindConsumerAndAccessToken(const std::string& consumerKey, const std::string& tokenKey,
                               std::optional<AccessTokenRecord>& token,
                               std::optional<std::uint64_t>& folderChange);
    // Every access token of the user stops working, and every request token the user
    // authorised (with its verifier) is gone: none can be exchanged for a new one.
    // Answers how many of either there were.
    virtual int RevokeTokens(std::int64_t userId) = 0;

    // The root folder node of a user's folder for one consumer, created on first use.
    virtual std::int64_t AppFolder(std::int64_t userId, const std::string& consumer) = 0;

    // The tree. Paths are components as ParseCloudPath gives them; {} is the folder itself.
    // Every change gives the node a revision no node of this store had before. With
    // ifRev, Upload, Move (its source) and Delete change nothing and answer Changed
    // unless the node exists at that revision; the test and the change are one
    // transaction.
    virtual NodeResult Metadata(std::int64_t root, const std::vector<std::string>& path,
                                bool list) = 0;
    virtual NodeResult CreateFolder(std::int64_t root, const std::vector<std::string>& path) = 0;
    virtual NodeResult Move(std::int64_t root, const std::vector<std::string>& from,
                            const std::vector<std::string>& to,
                            std::optional<std::int64_t> ifRev = {}) = 0;
    virtual NodeResult Copy(std::int64_t root, const std::vector<std::string>& from,
                            const std::vector<std::string>& to) = 0;
    virtual NodeResult Delete(std::int64_t root, const std::vector<std::string>& path,
                              bool toRecycle, std::optional<std::int64_t> ifRev = {}) = 0;
    NodeResult Upload(std::int64_t root, const std::vector<std::string>& path,
                      const std::string& content, bool overwrite,
                      std::optional<std::int64_t> ifRev = {});
    // A new temporary file for an upload's bytes; throws when none can be made.
    virtual std::unique_ptr<IncomingContent> NewIncoming() = 0;
    // Stores the bytes received; the file becomes the content when the upload is made.
    virtual NodeResult Upload(std::int64_t root, const std::vector<std::string>& path,
                              IncomingContent& content, bool overwrite,
                              std::optional<std::int64_t> ifRev = {}) = 0;
    virtual NodeResult Download(std::int64_t root, const std::vector<std::string>& path,
                                std::string& content) = 0;
    // Like Download, but answers the content opened for reading (fd -1 for an empty
    // file; the caller closes it), so it can be sent without holding it in memory.
    virtual NodeResult OpenDownload(std::int64_t root, const std::vector<std::string>& path,
                                    int& fd) = 0;
    virtual UsageRecord Usage(std::int64_t userId) = 0;
    // A number that grows with every change below an application folder, counted once
    // the change is committed: a reply built from the folder is current while it stays.
    virtual std::uint64_t ChangeCount(std::int64_t root) = 0;
    // Share links: a code that names one file for anybody who knows it (and the access
    // code, when one was set).
    virtual std::string CreateShare(std::int64_t node, const std::string& accessCode,
                                    const std::string& name) = 0;
    virtual std::optional<ShareRecord> FindShare(const std::string& code) = 0;
    // The content of a file that is not in the recycle bin, by its ID.
    virtual NodeResult DownloadById(std::int64_t node, std::string& content) = 0;
    virtual NodeResult OpenDownloadById(std::int64_t node, int& fd) = 0;
    // Removes recycled entries deleted before the given time, with their content.
    virtual int PurgeRecycleBin(std::int64_t deletedBefore) = 0;

    // What a shared store keeps for every server (only called when Shared()).
    // False when the nonce was seen within the last two windows; remembers it otherwise.
    virtual bool RememberNonce(const std::string& key, std::int64_t now, std::int64_t window);
    // The same for a request signed with a consumer and an access token read before, in
    // one trip: whether both are still as read (nothing when not: they are to be read
    // again), and then whether the nonce is new, with the token's folder change count.
    virtual std::optional<bool>
    RememberNonceOfKnownToken(const ConsumerRecord& consumer, const AccessTokenRecord& token,
                              const std::string& key, std::int64_t now, std::int64_t window,
                              std::optional<std::uint64_t>& folderChange) {
        return std::nullopt;
    }
    // Counts a login attempt of the user unless it is locked out (max attempts since the
    // count began, which restarts after lockoutSeconds); false when locked.
    virtual bool TakeLoginAttempt(const std::string& user, std::int64_t now, int max,
                                  std::int64_t lockoutSeconds);
    // A good password gives its attempt back.
    virtual void GiveBackLoginAttempt(const std::string& user);
    // The web login's sessions, between its page and its form.
    virtual void PutWebSession(const WebLoginSession& session, std::int64_t expiredBefore);
    virtual std::optional<WebLoginSession> FindWebSession(const std::string& s);
    virtual void EraseWebSession(const std::string& s);
    // The strike counts of keys, in their order (a key never struck: zero).
    virtual std::vector<StrikeRecord> ReadStrikes(const std::vector<std::string>& keys);
    // The same, changed by `change` while no other server can change them, and kept; a
    // count left at zero goes, and so do counts nobody struck since forgetBefore
    // whose wait is over by now.
    virtual void ChangeStrikes(const std::vector<std::string>& keys, std::int64_t now,
                               std::int64_t forgetBefore,
                               const std::function<void(std::vector<StrikeRecord>&)>& change);
    // Counts a login started from an address at `now`, unless `max` were started there
    // since `since`; false then.
    virtual bool TakePendingLogin(const std::string& address, std::int64_t now, std::int64_t since,
                                  std::size_t max);

    // What is wrong with the stored contents: a file whose bytes are missing or do not
    // match its size and hash, or (with files) content nobody names. Empty when sound.
    virtual std::vector<std::string> ContentProblems() = 0;
};

// Opens the store a --store text names: empty for SQLite and files in dataDir, a
// "postgresql://" (or "postgres://") URI for PostgreSQL, whose incoming uploads are
// spooled below dataDir (a private temporary directory when it is empty). With
// reconcile (the serving process), a file store checks its content files against its
// metadata (only that process may: it alone writes), and a PostgreSQL store names its
// connections as a serving one.
std::unique_ptr<CloudStore> OpenCloudStore(const std::string& store,
                                           const std::filesystem::path& dataDir,
                                           StoreLimits limits = {}, bool reconcile = true);
// Whether a --store text names PostgreSQL.
bool IsPostgresStore(const std::string& store);

// Creates a directory only its owner may enter (its parents as usual), unless it exists.
void CreatePrivateDirectory(const std::filesystem::path& dir);

// Random text for keys, secrets and verifiers, from the operating system's secure source.
std::string SecureRandomText(std::size_t length);

// A digest as lower-case hex, as the stores keep content hashes.
std::string HexDigest(const unsigned char* digest, unsigned length);

} // namespace ot::server
