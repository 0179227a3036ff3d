#pragma once
// The credentials of a cloud connection: the application's consumer pair, the
// user's token and the storage root; and where the service lives (the hosts,
// fixed for the session's life, so two sessions in one process may talk to
// two servers).
//
// One session is shared by the synchronization thread, which signs requests
// with it, and the login flow, which replaces its token. The token is
// therefore held behind a mutex as an immutable pair: a request is signed
// from Token() (a snapshot), so it sees either the old or the new token,
// never one being replaced.

#include "cloud/KuaipanHosts.h"
#include "cloud/TokenPair.h"

#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace ot {

enum class TRoot { KUAIPAN, APP_FOLDER };

// "kuaipan" or "app_folder", the root text of request paths and parameters.
std::string RootToString(TRoot ARoot);

class TSession {
public:
    TSession(const std::string& AKey, const std::string& ASecret, TRoot ARoot,
             TKuaipanHosts AHosts);
    virtual ~TSession() = default;
    TSession(const TSession&) = delete;
    TSession& operator=(const TSession&) = delete;

    const TConsumer& Consumer() const { return FConsumer; }
    const std::string& Root() const { return FRoot; }
    const TKuaipanHosts& Hosts() const { return FHosts; }

    // The token at this instant (null when there is none). The pair itself
    // never changes, so it may be used after the session moved on.
    std::shared_ptr<const TTokenPair> Token() const;

    void SetAuthToken(const std::string& AKey, const std::string& ASecret);
    void SetTempToken(const std::string& AKey, const std::string& ASecret);
    // True exactly when the token is an access token.
    bool IsAuth() const;
    void UnAuth();
    // Raises TKuaipanAuthExpiredException unless IsAuth.
    void AssertAuth() const;

    // True when token is an access token (for checks on a snapshot).
    static bool IsAccessToken(const TTokenPair* token);

private:
    void SetToken(std::shared_ptr<const TTokenPair> token);

    const TConsumer FConsumer;
    mutable std::mutex FMutex;
    std::shared_ptr<const TTokenPair> FToken;
    const std::string FRoot;
    const TKuaipanHosts FHosts;
};

// The program's session; its root is the application's own folder unless
// told otherwise.
class TOauthSession : public TSession {
public:
    TOauthSession(const std::string& AKey, const std::string& ASecret, TKuaipanHosts AHosts,
                  TRoot ARoot = TRoot::APP_FOLDER)
        : TSession(AKey, ASecret, ARoot, std::move(AHosts)) {}
};

} // namespace ot
