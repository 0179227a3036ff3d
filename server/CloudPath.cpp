#include "CloudPath.h"

#include <ctime>

namespace ot::server {

bool IsValidUtf8(std::string_view text) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        int extra;
        std::uint32_t cp;
        if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + static_cast<std::size_t>(extra) >= n)
            return false;
        for (int k = 1; k <= extra; ++k) {
            unsigned char cc = static_cast<unsigned char>(text[i + k]);
            if ((cc & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        static const std::uint32_t minimum[] = {0, 0x80, 0x800, 0x10000};
        if (cp < minimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += static_cast<std::size_t>(extra) + 1;
    }
    return true;
}

std::optional<std::vector<std::string>> ParseCloudPath(std::string_view text) {
    if (!IsValidUtf8(text))
        return std::nullopt;
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F)
            return std::nullopt;
    }
    if (!text.empty() && text.front() == '/')
        text.remove_prefix(1);
    std::vector<std::string> parts;
    if (text.empty())
        return parts;
    std::size_t start = 0;
    while (true) {
        std::size_t slash = text.find('/', start);
        std::string_view part = text.substr(
            start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (part.empty() || part == "." || part == ".." || part.size() > 255)
            return std::nullopt;
        parts.emplace_back(part);
        if (parts.size() > 64)
            return std::nullopt;
        if (slash == std::string_view::npos)
            break;
        start = slash + 1;
    }
    return parts;
}

std::string JoinCloudPath(const std::vector<std::string>& components) {
    if (components.empty())
        return "/";
    std::string out;
    for (const auto& c : components) {
        out += '/';
        out += c;
    }
    return out;
}

std::string FormatCloudTime(std::int64_t unixSeconds) {
    std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

} // namespace ot::server
