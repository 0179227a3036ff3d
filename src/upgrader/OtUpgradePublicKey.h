#pragma once
// The publisher's key that packages must be signed with, built in from the
// key file the build was given (hexadecimal Ed25519 public key).

#include <string_view>

namespace ot {

std::string_view BuiltInUpgradePublicKey();

} // namespace ot
