#pragma once
// OAuth 1.0 HMAC-SHA1 signatures of requests whose parameters travel in the query
// string, with the service's three percent-encodings. The client signs with it and the
// server checks with it, so both compute a signature exactly alike; it knows nothing of
// transport (common and OpenSSL only).
//
// The encodings, each on the UTF-8 bytes of its text:
//   UrlFormEncode  letters, digits and ! $ ' ( ) * - . @ _ stay, space is "+",
//                  every other byte is %XX (uppercase hex). Used for the query.
//   OauthEncode    the form encoding with "*" -> %2A, %7E -> "~", "+" -> %20.
//                  Used inside the signature base string.
//   EncodePath     the form encoding with %2F turned back into "/". Used for
//                  request paths (a space in a path is thus "+").

#include <string>
#include <string_view>
#include <vector>

namespace ot::signing {

// Request parameters as "name=value" entries (the name is the text before the first
// "=").
using Params = std::vector<std::string>;

std::string UrlFormEncode(std::string_view text);
std::string OauthEncode(std::string_view text);
std::string EncodePath(std::string_view text);

// Sorts by name (stable), writes name=OauthEncode(value), joins with "&".
std::string NormalizeParameters(const Params& params);
// Sorts by name (stable), writes name=UrlFormEncode(value), joins with "&".
std::string BuildQueryString(const Params& params);
// method & OauthEncode(scheme://host + encodedPath) & OauthEncode(normalized)
std::string SignatureBaseString(std::string_view method, std::string_view scheme,
                                std::string_view host, std::string_view encodedPath,
                                std::string_view normalized);
// Consumer secret + "&" + token secret (empty without a token); not encoded.
std::string SigningKey(std::string_view consumerSecret, std::string_view tokenSecret);

// The 20-byte HMAC-SHA1 of text keyed with key (both taken as bytes).
std::string HmacSha1(std::string_view text, std::string_view key);
// Standard Base64 with "+", "/" and "=" padding, no line breaks.
std::string Base64(std::string_view bytes);

// The Base64 signature (not URL-encoded) of a request: method "GET" or "POST", scheme
// "http" or "https", host "host[:port]" as in the address, the path as sent (encoded),
// every parameter but oauth_signature as plain "name=value" entries, the OAuth ones
// included, and the consumer's and the token's secrets (empty without a token).
std::string Signature(std::string_view method, std::string_view scheme, std::string_view host,
                      std::string_view encodedPath, const Params& params,
                      std::string_view consumerSecret, std::string_view tokenSecret);

} // namespace ot::signing
