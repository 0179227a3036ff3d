#include "OauthCheck.h"

#include "cloud/OauthUtility.h"
#include "common/Clock.h"
#include "common/Text.h"

#include <openssl/crypto.h>
#include <sodium.h>

#include <cstring>

namespace ot::server {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool SameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

OauthFailure Refuse(std::string msg) {
    return OauthFailure{401, std::move(msg), std::nullopt};
}

} // namespace

std::optional<std::string> PercentDecode(std::string_view text, bool plusIsSpace) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size())
                return std::nullopt;
            int hi = HexValue(text[i + 1]);
            int lo = HexValue(text[i + 2]);
            if (hi < 0 || lo < 0)
                return std::nullopt;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else if (c == '+' && plusIsSpace) {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<std::vector<QueryParam>> ParseQueryString(std::string_view raw) {
    std::vector<QueryParam> out;
    if (raw.empty())
        return out;
    for (const auto& part : Split(raw, '&')) {
        if (part.empty())
            continue;
        auto eq = part.find('=');
        auto name = PercentDecode(std::string_view(part).substr(0, eq), true);
        auto value = PercentDecode(eq == std::string::npos ? std::string_view()
                                                           : std::string_view(part).substr(eq + 1),
                                   true);
        if (!name || !value || name->empty())
            return std::nullopt;
        if (FindParam(out, *name))
            return std::nullopt;
        out.push_back({std::move(*name), std::move(*value)});
    }
    return out;
}

const std::string* FindParam(const std::vector<QueryParam>& params, std::string_view name) {
    for (const auto& p : params)
        if (p.Name == name)
            return &p.Value;
    return nullptr;
}

NonceCache::NonceCache(std::int64_t window) : FWindow(window) {
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium cannot be initialised");
    randombytes_buf(FKey, sizeof FKey);
}

bool NonceCache::Remember(const std::string& text, std::int64_t now) {
    unsigned char digest[crypto_shorthash_BYTES];
    crypto_shorthash(digest, reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                     FKey);
    std::uint64_t key = 0;
    std::memcpy(&key, digest, sizeof key);
    std::lock_guard lock(FMutex);
    // A request that arrived more than two windows ago carried a timestamp that is now
    // older than one window, so its nonce can no longer be replayed.
    while (!FOrder.empty() && FOrder.front().first < now - 2 * FWindow) {
        FSeen.erase(FOrder.front().second);
        FOrder.pop_front();
    }
    if (!FSeen.insert(key).second)
        return false;
    FOrder.emplace_back(now, key);
    return true;
}

std::size_t NonceCache::Size() const {
    std::lock_guard lock(FMutex);
    return FSeen.size();
}

OauthChecker::OauthChecker(CloudStore& store, OauthSettings settings)
    : FStore(store), FSettings(settings), FNonces(settings.TimestampWindow) {}

std::optional<OauthFailure> OauthChecker::Check(std::string_view method, std::string_view scheme,
                                                std::string_view host, std::string_view rawPath,
                                                std::string_view rawQuery, TokenNeed need,
                                                OauthContext& ctx) {
    auto params = ParseQueryString(rawQuery);
    if (!params)
        return Refuse("malformed query");
    ctx.Params = std::move(*params);
    const auto& P = ctx.Params;

    const std::string* consumerKey = FindParam(P, "oauth_consumer_key");
    const std::string* signature = FindParam(P, "oauth_signature");
    const std::string* method_ = FindParam(P, "oauth_signature_method");
    const std::string* timestamp = FindParam(P, "oauth_timestamp");
    const std::string* nonce = FindParam(P, "oauth_nonce");
    const std::string* version = FindParam(P, "oauth_version");
    const std::string* token = FindParam(P, "oauth_token");
    if (!consumerKey || !signature || !method_ || !timestamp || !nonce)
        return Refuse("missing oauth parameter");
    if (*method_ != "HMAC-SHA1")
        return Refuse("unsupported signature method");
    if (version && *version != "1.0")
        return Refuse("unsupported oauth version");
    if (nonce->empty() || nonce->size() > 64)
        return Refuse("invalid nonce");

    auto consumer = FStore.FindConsumer(*consumerKey);
    if (!consumer)
        return Refuse("unknown consumer");
    ctx.Consumer = *consumer;

    std::string tokenSecret;
    switch (need) {
    case TokenNeed::None:
        if (token)
            return Refuse("invalid token");
        break;
    case TokenNeed::Request: {
        auto rt = token ? FStore.FindRequestToken(*token) : std::nullopt;
        if (!rt || rt->Consumer != consumer->Key)
            return Refuse("invalid token");
        ctx.Request = *rt;
        tokenSecret = rt->Secret;
        break;
    }
    case TokenNeed::Access: {
        auto at = token ? FStore.FindAccessToken(*token) : std::nullopt;
        if (!at || at->Consumer != consumer->Key)
            return Refuse("invalid token");
        ctx.Access = *at;
        tokenSecret = at->Secret;
        break;
    }
    }

    TParamList signedParams;
    signedParams.reserve(P.size());
    for (const auto& p : P)
        if (p.Name != "oauth_signature")
            signedParams.push_back(p.Name + "=" + p.Value);
    std::string expected = TOauthUtility::ComputeSignature(
        method, scheme, host, rawPath, signedParams, consumer->Secret, tokenSecret);
    if (!SameText(expected, *signature))
        return Refuse("invalid signature");

    auto ts = ParseInt64(*timestamp);
    std::int64_t now = UnixNow();
    if (!ts || *ts < now - FSettings.TimestampWindow || *ts > now + FSettings.TimestampWindow ||
        *ts < FSettings.NotBefore)
        return OauthFailure{401, "timestamp out of range", now};
    if (!FNonces.Remember(*consumerKey + "&" + (token ? *token : std::string()) + "&" + *nonce,
                          now))
        return Refuse("nonce already used");

    if (need == TokenNeed::Request && ctx.Request.Created + FSettings.RequestTokenLifetime < now)
        return Refuse("request token expired");
    if (need == TokenNeed::Access &&
        (ctx.Access.Revoked || (ctx.Access.Expires != 0 && ctx.Access.Expires <= now) ||
         (FSettings.TokenLifetime > 0 && ctx.Access.Created + FSettings.TokenLifetime <= now)))
        return Refuse("authorization expired");
    return std::nullopt;
}

} // namespace ot::server
