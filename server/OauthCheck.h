#pragma once
// Verification of OAuth 1.0 (HMAC-SHA1) requests whose parameters travel in the query
// string. The signature is recomputed with the signing library the client signs with
// and compared in constant time.

#include "CloudStore.h"
#include "HttpQuery.h"

#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace ot::server {

// Nonces seen within the timestamp window. An entry may be forgotten once any request
// carrying it would fail the timestamp check anyway: two windows after it arrived.
// Keys are kept as 64-bit keyed hashes (SipHash with a secret key), so a busy server's
// window of nonces stays small in memory; two keys would have to collide under the
// secret key for a fresh request to be taken for a repeat.
//
// With a journal directory every nonce is also appended to a file there before it
// counts as seen, and a new cache reads back what is still within two windows: a
// request captured before a restart (or a crash of the process) is refused after it.
// One file holds one window's arrivals and goes when all of them are old, so the
// journal stays as small as the memory. The file is mapped into memory and grown in
// steps, so an append is a store into the kernel's pages, not a call: it survives the
// process, not a power cut, which may lose the last moments of it.
class NonceCache {
public:
    explicit NonceCache(std::int64_t window, std::filesystem::path journal = {});
    ~NonceCache();
    NonceCache(const NonceCache&) = delete;
    NonceCache& operator=(const NonceCache&) = delete;
    // False when the key was seen before.
    bool Remember(const std::string& key, std::int64_t now);
    std::size_t Size() const;

private:
    bool Note(std::uint64_t key, std::int64_t now);
    void Append(std::uint64_t key, std::int64_t now);
    void Load(std::int64_t now);

    std::int64_t FWindow;
    std::filesystem::path FJournal;
    unsigned char FKey[16];
    mutable std::mutex FMutex;
    std::unordered_set<std::uint64_t> FSeen;
    std::deque<std::pair<std::int64_t, std::uint64_t>> FOrder; // by time of arrival
    void CloseFile();

    int FFile = -1;            // the journal file arrivals are appended to
    std::int64_t FFileEnd = 0; // the first second it no longer takes
    void* FMap = nullptr;      // the file, mapped; FCapacity records long
    std::size_t FCapacity = 0;
    std::size_t FUsed = 0; // records written
};

enum class TokenNeed {
    None,    // the request-token call: consumer only
    Request, // the access-token call
    Access,  // every other signed call
};

struct OauthContext {
    std::vector<QueryParam> Params;
    ConsumerRecord Consumer;
    RequestTokenRecord Request;
    AccessTokenRecord Access;
    // With an access token, when the store read it with the token: the change count of
    // the request's application folder (see CloudStore::FindConsumerAndAccessToken).
    std::optional<std::uint64_t> FolderChange;
};

struct OauthFailure {
    int Status = 401;
    std::string Msg;
    // With a timestamp out of the window: the server's clock, so the client can tell
    // its user how far off its own is.
    std::optional<std::int64_t> ServerTime;
};

struct OauthSettings {
    std::int64_t TimestampWindow = 300;
    // Where the nonces are journaled; none: in memory only. A shared store keeps them
    // itself.
    std::filesystem::path NonceJournal;
    std::int64_t RequestTokenLifetime = 600;
    // Seconds an access token lives from its creation, whoever made it; 0 = no limit.
    std::int64_t TokenLifetime = 0;
};

class OauthChecker {
public:
    OauthChecker(CloudStore& store, OauthSettings settings);

    // host is the Host header as sent, rawPath the request path as sent (still encoded),
    // rawQuery the text after "?". On failure answers the status (401) and message.
    std::optional<OauthFailure> Check(std::string_view method, std::string_view scheme,
                                      std::string_view host, std::string_view rawPath,
                                      std::string_view rawQuery, TokenNeed need, OauthContext& ctx);

private:
    // An access-token request checked against the consumer and token this server read
    // before: answered in one trip to a shared store's database, or nothing when they
    // are not known or no longer as read (then they are read again).
    std::optional<std::optional<OauthFailure>>
    CheckKnown(std::string_view method, std::string_view scheme, std::string_view host,
               std::string_view rawPath, const std::vector<std::string>& signedParams,
               const std::string& cacheKey, const std::string& nonceKey,
               const std::string& signature, const std::string& timestamp, OauthContext& ctx);
    std::optional<OauthFailure> CheckTimes(const std::string& timestamp, std::int64_t now) const;
    std::optional<OauthFailure> CheckLifetime(const AccessTokenRecord& token,
                                              std::int64_t now) const;

    CloudStore& FStore;
    OauthSettings FSettings;
    // None when the store keeps the nonces for every server.
    std::unique_ptr<NonceCache> FNonces;
    // With a shared store: the consumers and access tokens read, by "consumer\ntoken".
    std::mutex FKnownMutex;
    std::unordered_map<std::string, std::pair<ConsumerRecord, AccessTokenRecord>> FKnown;
};

} // namespace ot::server
