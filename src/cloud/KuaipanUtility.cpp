#include "cloud/KuaipanUtility.h"

#include "common/FileUtil.h"

#include <filesystem>

namespace ot {

bool TKuaipanUtility::SaveAuthFile(const TTokenPair& AToken, const std::string& AFileName) {
    return WriteFileAtomic(AFileName, AToken.Key() + "\r\n" + AToken.Secret() + "\r\n", 0600);
}

std::unique_ptr<TAccessToken> TKuaipanUtility::LoadAuthFile(const std::string& AFileName) {
    std::string text;
    if (!std::filesystem::is_regular_file(AFileName) || !ReadWholeFile(AFileName, text))
        return nullptr;
    std::string lines[2];
    std::size_t pos = 0;
    for (auto& line : lines) {
        if (pos >= text.size())
            break;
        std::size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string::npos)
            end = text.size();
        line = text.substr(pos, end - pos);
        pos = end;
        if (text.compare(pos, 2, "\r\n") == 0)
            pos += 2;
        else if (pos < text.size())
            ++pos;
    }
    if (lines[0].empty() || lines[1].empty())
        return nullptr;
    return std::make_unique<TAccessToken>(lines[0], lines[1]);
}

} // namespace ot
