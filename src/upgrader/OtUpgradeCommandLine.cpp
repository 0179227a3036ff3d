#include "upgrader/OtUpgradeCommandLine.h"

#include "common/Text.h"

namespace ot {

TUpgradeArgs ParseUpgradeArgs(const std::vector<std::string>& AArgs) {
    TUpgradeArgs args;
    for (std::size_t i = 0; i < AArgs.size(); ++i) {
        const std::string& a = AArgs[i];
        if (StartsWith(a, "-L:"))
            args.Lang = a.substr(3);
        else if (StartsWith(a, "-App:"))
            args.AppName = a.substr(5);
        else if (StartsWith(a, "-Auth:"))
            args.AuthType = a.substr(6);
        else if (a == "-Silence")
            args.Silence = true;
        else if (a == "--screenshot" && i + 1 < AArgs.size()) {
            const std::string& v = AArgs[++i];
            const auto eq = v.find('=');
            if (eq != std::string::npos)
                args.Screenshots.emplace_back(v.substr(0, eq), v.substr(eq + 1));
        }
    }
    return args;
}

} // namespace ot
