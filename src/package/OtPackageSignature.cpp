#include "package/OtPackageSignature.h"

#include "common/Text.h"

#include <sodium.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <vector>

namespace ot {

namespace {

bool Init() {
    return sodium_init() >= 0;
}

std::string ToHex(const unsigned char* data, std::size_t size) {
    std::string hex(size * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), data, size);
    hex.resize(size * 2);
    return hex;
}

std::optional<std::vector<unsigned char>> FromHex(std::string_view hex, std::size_t size) {
    if (hex.size() != size * 2)
        return std::nullopt;
    std::vector<unsigned char> out(size);
    std::size_t written = 0;
    const char* end = nullptr;
    if (sodium_hex2bin(out.data(), out.size(), hex.data(), hex.size(), nullptr, &written, &end) !=
            0 ||
        written != size || end != hex.data() + hex.size())
        return std::nullopt;
    return out;
}

} // namespace

std::optional<std::string> Sha256FileHex(const std::string& AFile) {
    if (!Init())
        return std::nullopt;
    std::unique_ptr<FILE, decltype(&std::fclose)> in(std::fopen(AFile.c_str(), "rb"), &std::fclose);
    if (!in)
        return std::nullopt;
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    unsigned char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, in.get())) > 0)
        crypto_hash_sha256_update(&state, buffer, n);
    if (std::ferror(in.get()))
        return std::nullopt;
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256_final(&state, digest);
    return ToHex(digest, sizeof digest);
}

std::string PackageSignedText(std::string_view AName, std::string_view AVersion,
                              std::string_view ASha256Hex) {
    // The name and version are part of it, so a signed package of one
    // application or an older version cannot be listed as another.
    std::string text = "otUpgrade package\n";
    text.append(AName).append("\n").append(AVersion).append("\n").append(ASha256Hex);
    return text;
}

void NewPackageKeyPair(std::string& APublicHex, std::string& ASecretHex) {
    if (!Init())
        return;
    unsigned char pk[crypto_sign_PUBLICKEYBYTES], sk[crypto_sign_SECRETKEYBYTES];
    crypto_sign_keypair(pk, sk);
    APublicHex = ToHex(pk, sizeof pk);
    ASecretHex = ToHex(sk, sizeof sk);
    sodium_memzero(sk, sizeof sk);
}

std::string SignPackageText(std::string_view AText, std::string_view ASecretHex) {
    static_assert(kPackageSecretKeyBytes == crypto_sign_SECRETKEYBYTES);
    const auto sk = FromHex(ASecretHex, kPackageSecretKeyBytes);
    if (!Init() || !sk)
        return {};
    unsigned char sig[crypto_sign_BYTES];
    crypto_sign_detached(sig, nullptr, reinterpret_cast<const unsigned char*>(AText.data()),
                         AText.size(), sk->data());
    return ToHex(sig, sizeof sig);
}

bool VerifyPackageText(std::string_view AText, std::string_view ASignatureHex,
                       std::string_view APublicHex) {
    static_assert(kPackagePublicKeyBytes == crypto_sign_PUBLICKEYBYTES);
    const auto pk = FromHex(APublicHex, kPackagePublicKeyBytes);
    const auto sig = FromHex(ASignatureHex, crypto_sign_BYTES);
    return Init() && pk && sig &&
           crypto_sign_verify_detached(sig->data(),
                                       reinterpret_cast<const unsigned char*>(AText.data()),
                                       AText.size(), pk->data()) == 0;
}

std::string ReadKeyFile(const std::string& AFile) {
    std::unique_ptr<FILE, decltype(&std::fclose)> in(std::fopen(AFile.c_str(), "rb"), &std::fclose);
    if (!in)
        return {};
    char buffer[512];
    const std::size_t n = std::fread(buffer, 1, sizeof buffer, in.get());
    return Trim(std::string_view(buffer, n));
}

bool PackageMatchesSeal(const std::string& AFile, const TPackageSeal& ASeal,
                        std::string_view APublicHex) {
    if (ASeal.Signature.empty() || ASeal.Sha256.empty())
        return false;
    std::error_code ec;
    const auto size = std::filesystem::file_size(AFile, ec);
    if (ec || static_cast<long long>(size) != ASeal.Size)
        return false;
    const auto digest = Sha256FileHex(AFile);
    if (!digest || *digest != ToLowerAscii(ASeal.Sha256))
        return false;
    return VerifyPackageText(PackageSignedText(ASeal.Name, ASeal.Version, *digest), ASeal.Signature,
                             APublicHex);
}

} // namespace ot
