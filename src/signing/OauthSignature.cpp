#include "signing/OauthSignature.h"

#include "common/Text.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>

namespace ot::signing {

namespace {

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

std::string_view NameOf(std::string_view entry) {
    return entry.substr(0, entry.find('='));
}

std::string_view ValueOf(std::string_view entry) {
    auto eq = entry.find('=');
    return eq == std::string_view::npos ? std::string_view() : entry.substr(eq + 1);
}

template <typename Encoder> std::string JoinEncoded(const Params& params, Encoder encode) {
    Params sorted = params;
    std::stable_sort(sorted.begin(), sorted.end(), [](const std::string& a, const std::string& b) {
        return NameOf(a) < NameOf(b);
    });
    std::string out;
    for (const auto& entry : sorted) {
        if (!out.empty())
            out += '&';
        out += NameOf(entry);
        out += '=';
        out += encode(ValueOf(entry));
    }
    return out;
}

} // namespace

std::string UrlFormEncode(std::string_view text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (unsigned char c : text) {
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

std::string OauthEncode(std::string_view text) {
    std::string s = ReplaceAll(UrlFormEncode(text), "*", "%2A");
    s = ReplaceAll(s, "%7E", "~");
    return ReplaceAll(s, "+", "%20");
}

std::string EncodePath(std::string_view text) {
    return ReplaceAll(UrlFormEncode(text), "%2F", "/");
}

std::string NormalizeParameters(const Params& params) {
    return JoinEncoded(params, [](std::string_view v) { return OauthEncode(v); });
}

std::string BuildQueryString(const Params& params) {
    return JoinEncoded(params, [](std::string_view v) { return UrlFormEncode(v); });
}

std::string SignatureBaseString(std::string_view method, std::string_view scheme,
                                std::string_view host, std::string_view encodedPath,
                                std::string_view normalized) {
    std::string url = std::string(scheme) + "://" + std::string(host) + std::string(encodedPath);
    return std::string(method) + "&" + OauthEncode(url) + "&" + OauthEncode(normalized);
}

std::string SigningKey(std::string_view consumerSecret, std::string_view tokenSecret) {
    return std::string(consumerSecret) + "&" + std::string(tokenSecret);
}

std::string HmacSha1(std::string_view text, std::string_view key) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    // HMAC() wants a non-null key pointer even for an empty key.
    static const unsigned char empty = 0;
    const void* k = key.empty() ? static_cast<const void*>(&empty) : key.data();
    if (!HMAC(EVP_sha1(), k, static_cast<int>(key.size()),
              reinterpret_cast<const unsigned char*>(text.data()), text.size(), out, &len))
        return {};
    return std::string(reinterpret_cast<const char*>(out), len);
}

std::string Base64(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(bytes.data()),
                            static_cast<int>(bytes.size()));
    out.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return out;
}

std::string Signature(std::string_view method, std::string_view scheme, std::string_view host,
                      std::string_view encodedPath, const Params& params,
                      std::string_view consumerSecret, std::string_view tokenSecret) {
    const std::string base =
        SignatureBaseString(method, scheme, host, encodedPath, NormalizeParameters(params));
    return Base64(HmacSha1(base, SigningKey(consumerSecret, tokenSecret)));
}

} // namespace ot::signing
