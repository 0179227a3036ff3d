#include "cloud/OauthUtility.h"

#include "common/Clock.h"
#include "common/Random.h"
#include "common/Text.h"

#include <algorithm>

namespace ot {

namespace {

constexpr std::string_view NonceAlphabet =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

bool IsFormSafe(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    switch (c) {
    case '!':
    case '$':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '-':
    case '.':
    case '@':
    case '_':
        return true;
    default:
        return false;
    }
}

TParamList SortedByName(const TParamList& params) {
    TParamList sorted = params;
    std::stable_sort(sorted.begin(), sorted.end(), [](const std::string& a, const std::string& b) {
        return ParamName(a) < ParamName(b);
    });
    return sorted;
}

template <typename Encoder> std::string JoinEncoded(const TParamList& params, Encoder encode) {
    std::string out;
    for (const auto& entry : SortedByName(params)) {
        if (!out.empty())
            out += '&';
        out += ParamName(entry);
        out += '=';
        out += encode(ParamValue(entry));
    }
    return out;
}

} // namespace

std::string TOauthUtility::UrlFormEncode(std::string_view AStr) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(AStr.size() * 3);
    for (unsigned char c : AStr) {
        if (IsFormSafe(c)) {
            out += static_cast<char>(c);
        } else if (c == ' ') {
            out += '+';
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string TOauthUtility::OauthEncode(std::string_view AStr) {
    std::string s = ReplaceAll(UrlFormEncode(AStr), "*", "%2A");
    s = ReplaceAll(s, "%7E", "~");
    return ReplaceAll(s, "+", "%20");
}

std::string TOauthUtility::EncodePath(std::string_view AStr) {
    return ReplaceAll(UrlFormEncode(AStr), "%2F", "/");
}

std::string TOauthUtility::GenerateNonce() {
    return RandomString(NonceAlphabet, 10);
}

std::string TOauthUtility::GenerateTimeStamp() {
    return std::to_string(UnixNow());
}

std::string TOauthUtility::NormalizeParameters(const TParamList& AParams) {
    return JoinEncoded(AParams, [](std::string_view v) { return OauthEncode(v); });
}

std::string TOauthUtility::BuildQueryString(const TParamList& AParams) {
    return JoinEncoded(AParams, [](std::string_view v) { return UrlFormEncode(v); });
}

std::string TOauthUtility::GetSignatureBaseString(std::string_view AMethod,
                                                  std::string_view AScheme, std::string_view AHost,
                                                  std::string_view AEncodedPath,
                                                  std::string_view ANormalized) {
    std::string url = std::string(AScheme) + "://" + std::string(AHost) + std::string(AEncodedPath);
    return std::string(AMethod) + "&" + OauthEncode(url) + "&" + OauthEncode(ANormalized);
}

std::string TOauthUtility::GetSigningKey(std::string_view AConsumerSecret,
                                         std::string_view ATokenSecret) {
    return std::string(AConsumerSecret) + "&" + std::string(ATokenSecret);
}

std::string TOauthUtility::ComputeSignature(std::string_view AMethod, std::string_view AScheme,
                                            std::string_view AHost, std::string_view AEncodedPath,
                                            const TParamList& AParams,
                                            std::string_view AConsumerSecret,
                                            std::string_view ATokenSecret) {
    const std::string base =
        GetSignatureBaseString(AMethod, AScheme, AHost, AEncodedPath, NormalizeParameters(AParams));
    return Base64Encode(HmacSha1Digest(base, GetSigningKey(AConsumerSecret, ATokenSecret)));
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
