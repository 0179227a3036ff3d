#pragma once
// Binding a cloud account: the login sequence that the desktop's login window
// and "ottodo login" share, and what a binding does to the change queue.
//
// The queue's rows link local classes and items to files of one account's
// cloud folder. After another account is bound those links point nowhere: a
// pass would find an empty folder where linked classes should be and refuse
// to touch anything. So binding an account other than the one the links
// belong to drops them: every local class and item becomes "never
// synchronized", the next pass pushes the whole tree, and nothing local is
// deleted. Links to the same account are kept.

#include <atomic>
#include <functional>
#include <string>

namespace ot {

class TKuaipanAPI;
class TKuaipanSyncUtility;

struct TKuaipanLoginResult {
    enum TKind {
        lrNoAuthorizeURL,  // no authorise-page address after the attempts
        lrAuthoriseFailed, // the web login failed; Text is the reason
        lrVerifierFailed,  // the verifier (Text) could not be exchanged or saved
        lrCancelled,       // stopped before a token was exchanged
        lrSuccess,         // the token is stored; Text is the verifier
        lrClockSkew        // the server refused this computer's clock (Text says by how much)
    };
    TKind Kind = lrNoAuthorizeURL;
    std::string Text;
    bool LinksDropped = false; // the tree will be pushed anew
};

// Where a binding records which account the queue's links belong to: the
// queue database, and the program's settings (KuaipanLinkedAccountKey) read
// and written through the two functions; without them no account is
// remembered, so every binding drops the links.
struct TKuaipanLinkStore {
    std::string DBFileName;
    std::function<std::string()> ReadLinkedAccount;
    std::function<void(const std::string&)> WriteLinkedAccount;
};

// The settings key holding the account the queue is linked with.
inline constexpr const char* KuaipanLinkedAccountKey = "KuaipanLinkedAccount";
inline constexpr int KuaipanAuthorizeURLAttempts = 3;

// The whole binding: the authorise-page address (up to three attempts), the
// web login with the trimmed user name and password, the exchange of the
// verifier (the engine saves the token), then RelinkTaskTreeToAccount.
// ACancelled is looked at before each network step; once it is set no token
// is exchanged.
TKuaipanLoginResult KuaipanLogin(TKuaipanSyncUtility& AEngine, const std::string& AUsername,
                                 const std::string& AUserpwd, const TKuaipanLinkStore& AStore,
                                 const std::atomic<bool>* ACancelled = nullptr);

// The account whose access token the session holds, as "api-host/user-id";
// empty when the service cannot tell.
std::string KuaipanAccountIdentity(TKuaipanAPI& AAPI);

// Records AIdentity as the linked account. When the queue holds links and
// they may belong to another account (a different or unknown identity on
// either side), they are dropped first: pending cloud deletions are
// forgotten and every row becomes an unsynchronized creation. True when
// links were dropped.
bool RelinkTaskTreeToAccount(const TKuaipanLinkStore& AStore, const std::string& AIdentity);

} // namespace ot
