#pragma once
// OAuth 1.0 (HMAC-SHA1) signing of request addresses, parameters carried in
// the query string.
//
// Three percent-encodings are in play, each on the UTF-8 bytes of its text:
//   UrlFormEncode  letters, digits and ! $ ' ( ) * - . @ _ stay, space is "+",
//                  every other byte is %XX (uppercase hex). Used for the query.
//   OauthEncode    the form encoding with "*" -> %2A, %7E -> "~", "+" -> %20.
//                  Used inside the signature base string.
//   EncodePath     the form encoding with %2F turned back into "/". Used for
//                  request paths (a space in a path is thus "+").
// The service recomputes signatures with exactly these rules, so the server
// side uses this header too (ComputeSignature); it carries no transport.

#include "cloud/CommonUtility.h"
#include "cloud/KuaipanURL.h"
#include "cloud/TokenPair.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace ot {

class TOauthUtility {
public:
    static std::string UrlFormEncode(std::string_view AStr);
    static std::string OauthEncode(std::string_view AStr);
    static std::string EncodePath(std::string_view AStr);

    // Ten characters drawn uniformly from 0-9, a-z, A-Z.
    static std::string GenerateNonce();
    // Seconds since 1970-01-01 UTC, in decimal.
    static std::string GenerateTimeStamp();

    // A GET address: Url holds the whole signed address, Query is empty.
    // AHost is "host[:port]" without scheme; ALocation the path beginning
    // with "/", not yet encoded; AParams "name=value" entries (names unique);
    // AToken may be null (the request-token call).
    static TKuaipanURL BuildGetURL(std::string_view AHost, std::string_view ALocation,
                                   const TParamList& AParams, const TTokenPair& AConsumer,
                                   const TTokenPair* AToken, bool IsSecure);
    // A POST address: Url and the signed Query apart.
    static TKuaipanURL BuildPostURL(std::string_view AHost, std::string_view ALocation,
                                    const TParamList& AParams, const TTokenPair& AConsumer,
                                    const TTokenPair* AToken, bool IsSecure);

    // The steps of the signing, exposed for tests and for the server.

    // Sorts by name (stable), writes name=OauthEncode(value), joins with "&".
    static std::string NormalizeParameters(const TParamList& AParams);
    // AMethod & OauthEncode(AScheme://AHost + AEncodedPath) & OauthEncode(ANormalized)
    static std::string GetSignatureBaseString(std::string_view AMethod, std::string_view AScheme,
                                              std::string_view AHost, std::string_view AEncodedPath,
                                              std::string_view ANormalized);
    // Consumer secret + "&" + token secret (empty without a token); not encoded.
    static std::string GetSigningKey(std::string_view AConsumerSecret,
                                     std::string_view ATokenSecret);
    // Sorts by name (stable), writes name=UrlFormEncode(value), joins with "&".
    static std::string BuildQueryString(const TParamList& AParams);

    // The signature of a request as the service checks it.
    //   AMethod        "GET" or "POST"
    //   AScheme        "http" or "https"
    //   AHost          "host[:port]" exactly as in the request address
    //   AEncodedPath   the request path as sent, i.e. EncodePath of the plain
    //                  path (a server that received "/My+Tasks" passes that)
    //   AParams        every parameter of the request except oauth_signature,
    //                  as plain (decoded) "name=value" entries; the OAuth ones
    //                  (oauth_consumer_key, oauth_token, oauth_nonce, ...)
    //                  included
    //   secrets        the consumer's secret and the token's (empty without)
    // Answers the Base64 signature (not URL-encoded).
    static std::string ComputeSignature(std::string_view AMethod, std::string_view AScheme,
                                        std::string_view AHost, std::string_view AEncodedPath,
                                        const TParamList& AParams, std::string_view AConsumerSecret,
                                        std::string_view ATokenSecret);

    // As BuildGetURL/BuildPostURL (AMethod "GET" or "POST") with the nonce
    // and timestamp given; the address is not converted to a GET address.
    static TKuaipanURL BuildURL(std::string_view AMethod, std::string_view AHost,
                                std::string_view ALocation, const TParamList& AParams,
                                const TTokenPair& AConsumer, const TTokenPair* AToken,
                                bool IsSecure, std::string_view ANonce,
                                std::string_view ATimeStamp);
};

} // namespace ot
