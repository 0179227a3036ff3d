#pragma once
// Verification of OAuth 1.0 (HMAC-SHA1) requests whose parameters travel in the query
// string. The signature is recomputed with the client's own encoding rules
// (TOauthUtility::ComputeSignature) and compared in constant time.

#include "CloudStore.h"

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace ot::server {

struct QueryParam {
    std::string Name;
    std::string Value;
};

// Resolves %XX escapes and, when plusIsSpace, "+" as a space; nullopt on a broken escape.
std::optional<std::string> PercentDecode(std::string_view text, bool plusIsSpace);
// "a=1&b=2" with form decoding ("+" is a space). nullopt when an escape is broken or a
// name occurs twice: a repeated name would let the checked value differ from the used one.
std::optional<std::vector<QueryParam>> ParseQueryString(std::string_view raw);
const std::string* FindParam(const std::vector<QueryParam>& params, std::string_view name);

// Nonces seen within the timestamp window. An entry may be forgotten once any request
// carrying it would fail the timestamp check anyway.
// Keys are kept as 64-bit keyed hashes (SipHash with a key of this process), so a busy
// server's window of nonces stays small in memory; two keys would have to collide
// under a secret key for a fresh request to be taken for a repeat.
class NonceCache {
public:
    explicit NonceCache(std::int64_t window);
    // False when the key was seen before.
    bool Remember(const std::string& key, std::int64_t now);
    std::size_t Size() const;

private:
    std::int64_t FWindow;
    unsigned char FKey[16];
    mutable std::mutex FMutex;
    std::unordered_set<std::uint64_t> FSeen;
    std::deque<std::pair<std::int64_t, std::uint64_t>> FOrder; // by time of arrival
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
    // Requests signed before this moment are refused: the nonces seen before a restart
    // are not kept, so a request captured then must not be accepted again.
    std::int64_t NotBefore = 0;
    std::int64_t RequestTokenLifetime = 1800;
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
    CloudStore& FStore;
    OauthSettings FSettings;
    NonceCache FNonces;
};

} // namespace ot::server
