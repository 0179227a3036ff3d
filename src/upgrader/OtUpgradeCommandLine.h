#pragma once
// The upgrade program's command line, read from left to right; parameters are
// case-sensitive and anything unknown is ignored.

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ot {

struct TUpgradeArgs {
    std::optional<std::string> Lang; // "-L:" given (its code, maybe unknown)
    std::string AppName = "otAllApp";
    std::string AuthType;
    bool Silence = false;
    // "--screenshot VIEW=FILE": pictures for scripts/screenshots.
    std::vector<std::pair<std::string, std::string>> Screenshots;
};

TUpgradeArgs ParseUpgradeArgs(const std::vector<std::string>& AArgs);

} // namespace ot
