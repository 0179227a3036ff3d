#include "cloud/Session.h"

#include "cloud/KuaipanException.h"

namespace ot {

std::string RootToString(TRoot ARoot) {
    return ARoot == TRoot::KUAIPAN ? "kuaipan" : "app_folder";
}

TSession::TSession(const std::string& AKey, const std::string& ASecret, TRoot ARoot,
                   TKuaipanHosts AHosts)
    : FConsumer(AKey, ASecret), FRoot(RootToString(ARoot)), FHosts(std::move(AHosts)) {}

std::shared_ptr<const TTokenPair> TSession::Token() const {
    std::lock_guard lock(FMutex);
    return FToken;
}

void TSession::SetToken(std::shared_ptr<const TTokenPair> token) {
    std::lock_guard lock(FMutex);
    FToken = std::move(token);
}

void TSession::SetAuthToken(const std::string& AKey, const std::string& ASecret) {
    SetToken(std::make_shared<const TAccessToken>(AKey, ASecret));
}

void TSession::SetTempToken(const std::string& AKey, const std::string& ASecret) {
    SetToken(std::make_shared<const TRequestToken>(AKey, ASecret));
}

bool TSession::IsAccessToken(const TTokenPair* token) {
    return dynamic_cast<const TAccessToken*>(token) != nullptr;
}

bool TSession::IsAuth() const {
    return IsAccessToken(Token().get());
}

void TSession::UnAuth() {
    SetToken(nullptr);
}

void TSession::AssertAuth() const {
    if (!IsAuth())
        throw TKuaipanAuthExpiredException();
}

} // namespace ot
