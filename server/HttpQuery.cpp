#include "HttpQuery.h"

#include "common/Text.h"

namespace ot::server {

std::optional<std::string> PercentDecode(std::string_view text, bool plusIsSpace) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size())
                return std::nullopt;
            int hi = HexDigitValue(text[i + 1]);
            int lo = HexDigitValue(text[i + 2]);
            if (hi < 0 || lo < 0)
                return std::nullopt;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else if (c == '+' && plusIsSpace) {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<std::vector<QueryParam>> ParseQueryString(std::string_view raw) {
    std::vector<QueryParam> out;
    for (std::size_t at = 0; at < raw.size();) {
        const std::size_t amp = std::min(raw.find('&', at), raw.size());
        const std::string_view part = raw.substr(at, amp - at);
        at = amp + 1;
        if (part.empty())
            continue;
        auto eq = part.find('=');
        auto name = PercentDecode(part.substr(0, eq), true);
        auto value = PercentDecode(
            eq == std::string_view::npos ? std::string_view() : part.substr(eq + 1), true);
        if (!name || !value || name->empty())
            return std::nullopt;
        if (FindParam(out, *name))
            return std::nullopt;
        out.push_back({std::move(*name), std::move(*value)});
    }
    return out;
}

const std::string* FindParam(const std::vector<QueryParam>& params, std::string_view name) {
    for (const auto& p : params)
        if (p.Name == name)
            return &p.Value;
    return nullptr;
}

} // namespace ot::server
