#include "cloud/OauthUtility.h"

#include "common/Clock.h"
#include "common/Random.h"
#include "common/Text.h"
#include "signing/OauthSignature.h"

namespace ot {

namespace {

constexpr std::string_view NonceAlphabet =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

} // namespace

std::string TOauthUtility::UrlFormEncode(std::string_view AStr) {
    return signing::UrlFormEncode(AStr);
}

std::string TOauthUtility::OauthEncode(std::string_view AStr) {
    return signing::OauthEncode(AStr);
}

std::string TOauthUtility::EncodePath(std::string_view AStr) {
    return signing::EncodePath(AStr);
}

std::string TOauthUtility::GenerateNonce() {
    return RandomString(NonceAlphabet, 10);
}

std::string TOauthUtility::GenerateTimeStamp() {
    return std::to_string(UnixNow());
}

std::string TOauthUtility::NormalizeParameters(const TParamList& AParams) {
    return signing::NormalizeParameters(AParams);
}

std::string TOauthUtility::BuildQueryString(const TParamList& AParams) {
    return signing::BuildQueryString(AParams);
}

std::string TOauthUtility::GetSignatureBaseString(std::string_view AMethod,
                                                  std::string_view AScheme, std::string_view AHost,
                                                  std::string_view AEncodedPath,
                                                  std::string_view ANormalized) {
    return signing::SignatureBaseString(AMethod, AScheme, AHost, AEncodedPath, ANormalized);
}

std::string TOauthUtility::GetSigningKey(std::string_view AConsumerSecret,
                                         std::string_view ATokenSecret) {
    return signing::SigningKey(AConsumerSecret, ATokenSecret);
}

std::string TOauthUtility::ComputeSignature(std::string_view AMethod, std::string_view AScheme,
                                            std::string_view AHost, std::string_view AEncodedPath,
                                            const TParamList& AParams,
                                            std::string_view AConsumerSecret,
                                            std::string_view ATokenSecret) {
    return signing::Signature(AMethod, AScheme, AHost, AEncodedPath, AParams, AConsumerSecret,
                              ATokenSecret);
}

TKuaipanURL TOauthUtility::BuildURL(std::string_view AMethod, std::string_view AHost,
                                    std::string_view ALocation, const TParamList& AParams,
                                    const TTokenPair& AConsumer, const TTokenPair* AToken,
                                    bool IsSecure, std::string_view ANonce,
                                    std::string_view ATimeStamp) {
    const std::string path = EncodePath(ALocation);
    const std::string scheme = IsSecure ? "https" : "http";

    TParamList list = AParams;
    list.push_back("oauth_nonce=" + std::string(ANonce));
    list.push_back("oauth_timestamp=" + std::string(ATimeStamp));
    list.push_back("oauth_version=1.0");
    list.push_back("oauth_signature_method=HMAC-SHA1");

    TParamList signedParams = list;
    signedParams.push_back("oauth_consumer_key=" + AConsumer.Key());
    if (AToken)
        signedParams.push_back("oauth_token=" + AToken->Key());
    const std::string signature =
        ComputeSignature(AMethod, scheme, AHost, path, signedParams, AConsumer.Secret(),
                         AToken ? std::string_view(AToken->Secret()) : std::string_view());

    list.push_back("oauth_signature=" + signature);
    list.push_back("oauth_consumer_key=" + AConsumer.Key());
    if (AToken)
        list.push_back("oauth_token=" + AToken->Key());

    return TKuaipanURL(scheme + "://" + std::string(AHost) + path, BuildQueryString(list));
}

TKuaipanURL TOauthUtility::BuildGetURL(std::string_view AHost, std::string_view ALocation,
                                       const TParamList& AParams, const TTokenPair& AConsumer,
                                       const TTokenPair* AToken, bool IsSecure) {
    TKuaipanURL url = BuildURL("GET", AHost, ALocation, AParams, AConsumer, AToken, IsSecure,
                               GenerateNonce(), GenerateTimeStamp());
    url.Convert2Get();
    return url;
}

TKuaipanURL TOauthUtility::BuildPostURL(std::string_view AHost, std::string_view ALocation,
                                        const TParamList& AParams, const TTokenPair& AConsumer,
                                        const TTokenPair* AToken, bool IsSecure) {
    return BuildURL("POST", AHost, ALocation, AParams, AConsumer, AToken, IsSecure, GenerateNonce(),
                    GenerateTimeStamp());
}

} // namespace ot
