# cmake -DIN=<public key file> -DOUT=<source> -P OtUpgradeKey.cmake
# Builds the publisher's public key into the upgrade program.
file(READ ${IN} key)
string(STRIP "${key}" key)
if(NOT key MATCHES "^[0-9a-fA-F]+$")
  message(FATAL_ERROR "${IN}: not a hexadecimal key")
endif()
string(LENGTH "${key}" n)
if(NOT n EQUAL 64)
  message(FATAL_ERROR "${IN}: an Ed25519 public key is 64 hexadecimal digits")
endif()
file(CONFIGURE OUTPUT ${OUT} CONTENT
"// Generated from ${IN}.
#include \"upgrader/OtUpgradePublicKey.h\"
namespace ot {
std::string_view BuiltInUpgradePublicKey() { return \"${key}\"; }
} // namespace ot
")
