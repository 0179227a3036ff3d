#pragma once
// What makes a downloaded upgrade package trustworthy: the update list gives
// each package's SHA-256 and an Ed25519 signature by the publisher over the
// entry's name, version and that digest. The programs check it against the
// publisher's public key they were built with; the update server's publish
// command makes it with the secret key.

#include <optional>
#include <string>
#include <string_view>

namespace ot {

inline constexpr std::size_t kPackagePublicKeyBytes = 32;
inline constexpr std::size_t kPackageSecretKeyBytes = 64;

// Lower-case hexadecimal SHA-256 of a file's content; nothing when it cannot be read.
std::optional<std::string> Sha256FileHex(const std::string& AFile);

// The text a signature covers.
std::string PackageSignedText(std::string_view AName, std::string_view AVersion,
                              std::string_view ASha256Hex);

// A new key pair, both in hexadecimal.
void NewPackageKeyPair(std::string& APublicHex, std::string& ASecretHex);

// The hexadecimal detached signature of AText; empty for a malformed key.
std::string SignPackageText(std::string_view AText, std::string_view ASecretHex);

// Whether ASignatureHex is the publisher's signature of AText.
bool VerifyPackageText(std::string_view AText, std::string_view ASignatureHex,
                       std::string_view APublicHex);

// The key text of a key file: its content without surrounding blanks and line
// breaks; empty when the file cannot be read.
std::string ReadKeyFile(const std::string& AFile);

struct TPackageSeal {
    std::string Name;
    std::string Version;
    long long Size = 0;
    std::string Sha256;
    std::string Signature;
};

// Whether the package file is exactly the one the list entry describes: its size,
// its digest, and the publisher's signature over name, version and digest. An
// entry without a signature never passes.
bool PackageMatchesSeal(const std::string& AFile, const TPackageSeal& ASeal,
                        std::string_view APublicHex);

} // namespace ot
