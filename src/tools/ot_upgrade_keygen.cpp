// ot_upgrade_keygen PREFIX: writes a new publisher key pair for upgrade
// packages as PREFIX.key (secret, owner-only) and PREFIX.pub, unless PREFIX.pub
// exists already.

#include "common/FileUtil.h"
#include "package/OtPackageSignature.h"

#include <cstdio>
#include <filesystem>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: ot_upgrade_keygen PREFIX\n");
        return 2;
    }
    const std::string prefix = argv[1];
    std::error_code ec;
    if (std::filesystem::exists(prefix + ".pub", ec))
        return 0;
    std::filesystem::create_directories(std::filesystem::path(prefix).parent_path(), ec);
    std::string pub, secret, error;
    ot::NewPackageKeyPair(pub, secret);
    if (pub.empty() || !ot::WriteFileAtomic(prefix + ".key", secret + "\n", 0600, &error) ||
        !ot::WriteFileAtomic(prefix + ".pub", pub + "\n", 0644, &error)) {
        std::fprintf(stderr, "ot_upgrade_keygen: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
