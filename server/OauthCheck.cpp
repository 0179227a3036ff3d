#include "OauthCheck.h"

#include "common/Clock.h"
#include "common/FileUtil.h"
#include "common/Text.h"
#include "signing/OauthSignature.h"

#include <openssl/crypto.h>
#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ot::server {

namespace {

bool SameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

OauthFailure Refuse(std::string msg) {
    return OauthFailure{401, std::move(msg), std::nullopt};
}

} // namespace

namespace {

namespace fs = std::filesystem;

// One journal record: the key's hash and its arrival, in this machine's byte order.
struct NonceRecord {
    std::uint64_t Key;
    std::int64_t Arrived;
};

// A journal file is named by the seconds it takes arrivals for: "<first>-<end>".
bool JournalSpan(const fs::path& file, std::int64_t& first, std::int64_t& end) {
    const std::string name = file.filename().string();
    const auto dash = name.find('-');
    auto a = dash == std::string::npos ? std::nullopt : ParseInt64(name.substr(0, dash));
    auto b = dash == std::string::npos ? std::nullopt : ParseInt64(name.substr(dash + 1));
    if (!a || !b)
        return false;
    first = *a;
    end = *b;
    return true;
}

} // namespace

NonceCache::NonceCache(std::int64_t window, fs::path journal)
    : FWindow(window), FJournal(std::move(journal)) {
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium cannot be initialised");
    if (FJournal.empty()) {
        randombytes_buf(FKey, sizeof FKey);
        return;
    }
    CreatePrivateDirectory(FJournal);
    // The hash key outlives the process, or the journal's hashes would mean nothing.
    const fs::path keyFile = FJournal / "key";
    std::string key;
    if (!ReadWholeFile(keyFile, key) || key.size() != sizeof FKey) {
        randombytes_buf(FKey, sizeof FKey);
        std::string error;
        if (!WriteFileAtomic(keyFile, std::string(reinterpret_cast<char*>(FKey), sizeof FKey), 0600,
                             &error))
            throw std::runtime_error("cannot write " + keyFile.string() + ": " + error);
    } else {
        std::memcpy(FKey, key.data(), sizeof FKey);
    }
    Load(UnixNow());
}

NonceCache::~NonceCache() {
    CloseFile();
}

void NonceCache::CloseFile() {
    if (FMap)
        ::munmap(FMap, FCapacity * sizeof(NonceRecord));
    FMap = nullptr;
    FCapacity = FUsed = 0;
    if (FFile >= 0)
        ::close(FFile);
    FFile = -1;
}

// Reads back what arrived within the last two windows; older files go.
void NonceCache::Load(std::int64_t now) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(FJournal, ec)) {
        std::int64_t first = 0, end = 0;
        if (!JournalSpan(entry.path(), first, end))
            continue;
        if (end <= now - 2 * FWindow) {
            fs::remove(entry.path(), ec);
            continue;
        }
        std::string bytes;
        if (!ReadWholeFile(entry.path(), bytes))
            continue;
        // A record cut short by a crash is no record, and the room grown ahead
        // (zeros) holds none.
        for (std::size_t at = 0; at + sizeof(NonceRecord) <= bytes.size();
             at += sizeof(NonceRecord)) {
            NonceRecord r;
            std::memcpy(&r, bytes.data() + at, sizeof r);
            if (r.Arrived != 0 && r.Arrived >= now - 2 * FWindow)
                FOrder.emplace_back(r.Arrived, r.Key);
        }
    }
    std::sort(FOrder.begin(), FOrder.end());
    for (const auto& [arrived, key] : FOrder)
        FSeen.insert(key);
}

void NonceCache::Append(std::uint64_t key, std::int64_t now) {
    if (FJournal.empty())
        return;
    if (FFile < 0 || now >= FFileEnd) {
        CloseFile();
        const std::int64_t first = now - now % std::max<std::int64_t>(FWindow, 1);
        FFileEnd = first + std::max<std::int64_t>(FWindow, 1);
        const fs::path file = FJournal / (std::to_string(first) + "-" + std::to_string(FFileEnd));
        FFile = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (FFile < 0)
            throw std::runtime_error("cannot open the nonce journal " + file.string());
        // A record a crash cut short would put every later one out of step; the
        // records already there (a restart within the window) are kept.
        struct stat st {};
        std::size_t records = 0;
        if (::fstat(FFile, &st) == 0) {
            if (st.st_size % sizeof(NonceRecord) != 0)
                (void)!::ftruncate(FFile, st.st_size - st.st_size % sizeof(NonceRecord));
            records = static_cast<std::size_t>(st.st_size) / sizeof(NonceRecord);
        }
        if (records > 0) {
            std::string bytes;
            FUsed = records; // unreadable: nothing there is written over
            if (ReadWholeFile(file, bytes)) {
                const std::size_t n = std::min(records, bytes.size() / sizeof(NonceRecord));
                for (FUsed = 0; FUsed < n; ++FUsed) {
                    NonceRecord r;
                    std::memcpy(&r, bytes.data() + FUsed * sizeof r, sizeof r);
                    if (r.Arrived == 0)
                        break;
                }
            }
        }
        FCapacity = records;
        if (records > 0) {
            void* map = ::mmap(nullptr, records * sizeof(NonceRecord), PROT_READ | PROT_WRITE,
                               MAP_SHARED, FFile, 0);
            if (map == MAP_FAILED) {
                CloseFile();
                throw std::runtime_error("cannot map the nonce journal " + file.string());
            }
            FMap = map;
        }
        // Files whose every arrival is now more than two windows old.
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(FJournal, ec)) {
            std::int64_t a = 0, b = 0;
            if (JournalSpan(entry.path(), a, b) && b <= now - 2 * FWindow)
                fs::remove(entry.path(), ec);
        }
    }
    if (FUsed >= FCapacity) {
        // Grown ahead in steps, the room taken from the file system at once (a
        // full disk refuses here, not with a fault when a page is written); what
        // is past the last record stays zeros.
        const std::size_t grown = std::max<std::size_t>(FUsed * 2, 4096);
        if (FMap)
            ::munmap(FMap, FCapacity * sizeof(NonceRecord));
        FMap = nullptr;
        FCapacity = 0;
        if (::posix_fallocate(FFile, 0, static_cast<off_t>(grown * sizeof(NonceRecord))) != 0) {
            CloseFile();
            throw std::runtime_error("cannot grow the nonce journal");
        }
        void* map = ::mmap(nullptr, grown * sizeof(NonceRecord), PROT_READ | PROT_WRITE, MAP_SHARED,
                           FFile, 0);
        if (map == MAP_FAILED) {
            CloseFile();
            throw std::runtime_error("cannot map the nonce journal");
        }
        FMap = map;
        FCapacity = grown;
    }
    const NonceRecord r{key, now};
    std::memcpy(static_cast<char*>(FMap) + FUsed * sizeof r, &r, sizeof r);
    ++FUsed;
}

bool NonceCache::Remember(const std::string& text, std::int64_t now) {
    unsigned char digest[crypto_shorthash_BYTES];
    crypto_shorthash(digest, reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                     FKey);
    std::uint64_t key = 0;
    std::memcpy(&key, digest, sizeof key);
    std::lock_guard lock(FMutex);
    return Note(key, now);
}

bool NonceCache::Note(std::uint64_t key, std::int64_t now) {
    // A request that arrived more than two windows ago carried a timestamp that is now
    // older than one window, so its nonce can no longer be replayed.
    while (!FOrder.empty() && FOrder.front().first < now - 2 * FWindow) {
        FSeen.erase(FOrder.front().second);
        FOrder.pop_front();
    }
    if (FSeen.count(key))
        return false;
    // Journaled first: a nonce that counts as seen is one a restart still knows.
    Append(key, now);
    FSeen.insert(key);
    FOrder.emplace_back(now, key);
    return true;
}

std::size_t NonceCache::Size() const {
    std::lock_guard lock(FMutex);
    return FSeen.size();
}

OauthChecker::OauthChecker(CloudStore& store, OauthSettings settings)
    : FStore(store), FSettings(settings) {
    if (!FStore.Shared())
        FNonces = std::make_unique<NonceCache>(settings.TimestampWindow, settings.NonceJournal);
}

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

    signing::Params signedParams;
    signedParams.reserve(P.size());
    for (const auto& p : P)
        if (p.Name != "oauth_signature")
            signedParams.push_back(p.Name + "=" + p.Value);
    const std::string nonceKey =
        *consumerKey + "&" + (token ? *token : std::string()) + "&" + *nonce;
    // With a shared store, an access token this server read before costs one trip.
    std::string knownKey;
    if (!FNonces && need == TokenNeed::Access && token) {
        knownKey = *consumerKey + "\n" + *token;
        if (auto answer = CheckKnown(method, scheme, host, rawPath, signedParams, knownKey,
                                     nonceKey, *signature, *timestamp, ctx))
            return *answer;
    }

    // With an access token, both in one look-up (one trip to a shared store's database).
    std::optional<AccessTokenRecord> access;
    std::optional<ConsumerRecord> consumer;
    if (need == TokenNeed::Access && token)
        consumer =
            FStore.FindConsumerAndAccessToken(*consumerKey, *token, access, ctx.FolderChange);
    else
        consumer = FStore.FindConsumer(*consumerKey);
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
        const auto& at = access;
        if (!at || at->Consumer != consumer->Key)
            return Refuse("invalid token");
        ctx.Access = *at;
        tokenSecret = at->Secret;
        break;
    }
    }

    std::string expected = signing::Signature(method, scheme, host, rawPath, signedParams,
                                              consumer->Secret, tokenSecret);
    if (!SameText(expected, *signature))
        return Refuse("invalid signature");

    const std::int64_t now = UnixNow();
    if (auto late = CheckTimes(*timestamp, now))
        return late;
    if (FNonces ? !FNonces->Remember(nonceKey, now)
                : !FStore.RememberNonce(nonceKey, now, FSettings.TimestampWindow))
        return Refuse("nonce already used");

    if (need == TokenNeed::Request && ctx.Request.Created + FSettings.RequestTokenLifetime < now)
        return Refuse("request token expired");
    if (need == TokenNeed::Access) {
        if (auto ended = CheckLifetime(ctx.Access, now))
            return ended;
        if (!knownKey.empty()) {
            std::lock_guard lock(FKnownMutex);
            // Bounded: the tokens in use come back at their next request.
            if (FKnown.size() >= 10000)
                FKnown.clear();
            FKnown[knownKey] = {ctx.Consumer, ctx.Access};
        }
    }
    return std::nullopt;
}

std::optional<OauthFailure> OauthChecker::CheckTimes(const std::string& timestamp,
                                                     std::int64_t now) const {
    auto ts = ParseInt64(timestamp);
    if (!ts || *ts < now - FSettings.TimestampWindow || *ts > now + FSettings.TimestampWindow)
        return OauthFailure{401, "timestamp out of range", now};
    return std::nullopt;
}

std::optional<OauthFailure> OauthChecker::CheckLifetime(const AccessTokenRecord& token,
                                                        std::int64_t now) const {
    if (token.Revoked || (token.Expires != 0 && token.Expires <= now) ||
        (FSettings.TokenLifetime > 0 && token.Created + FSettings.TokenLifetime <= now))
        return Refuse("authorization expired");
    return std::nullopt;
}

std::optional<std::optional<OauthFailure>>
OauthChecker::CheckKnown(std::string_view method, std::string_view scheme, std::string_view host,
                         std::string_view rawPath, const std::vector<std::string>& signedParams,
                         const std::string& cacheKey, const std::string& nonceKey,
                         const std::string& signature, const std::string& timestamp,
                         OauthContext& ctx) {
    std::pair<ConsumerRecord, AccessTokenRecord> known;
    {
        std::lock_guard lock(FKnownMutex);
        const auto it = FKnown.find(cacheKey);
        if (it == FKnown.end())
            return std::nullopt;
        known = it->second;
    }
    const auto& [consumer, access] = known;
    const std::int64_t now = UnixNow();
    // A signature that fails against what was read may be right against what is stored
    // now (a consumer's secret replaced): the full check decides, and what was read
    // stays (a forged request does not cost the token's owner the short way).
    if (!SameText(signing::Signature(method, scheme, host, rawPath, signedParams, consumer.Secret,
                                     access.Secret),
                  signature))
        return std::nullopt;
    if (auto late = CheckTimes(timestamp, now))
        return late;
    const std::optional<bool> fresh = FStore.RememberNonceOfKnownToken(
        consumer, access, nonceKey, now, FSettings.TimestampWindow, ctx.FolderChange);
    if (!fresh) {
        std::lock_guard lock(FKnownMutex);
        FKnown.erase(cacheKey);
        return std::nullopt;
    }
    if (!*fresh)
        return Refuse("nonce already used");
    ctx.Consumer = consumer;
    ctx.Access = access;
    return CheckLifetime(access, now);
}

} // namespace ot::server
