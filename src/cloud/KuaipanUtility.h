#pragma once
// The access-token file "MyAuth.adb" in the user-data directory: the access
// token's key on the first line, its secret on the second, each ended by
// CR LF. Written atomically and readable by its owner only.

#include "cloud/TokenPair.h"

#include <memory>
#include <string>

namespace ot {

class TKuaipanUtility {
public:
    // Replaces the file (TAppPaths::AuthFileName) with the token's two lines;
    // false when it cannot be written (the old file then stays as it was).
    static bool SaveAuthFile(const TTokenPair& AToken, const std::string& AFileName);
    // The stored token, or null when the file is missing or either line is
    // missing or empty. CR LF, LF or CR end a line.
    static std::unique_ptr<TAccessToken> LoadAuthFile(const std::string& AFileName);
};

} // namespace ot
