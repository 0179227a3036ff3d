#include "common/Text.h"

#include <cctype>
#include <charconv>
#include <cstdarg>
#include <cstdio>

namespace ot {

std::string Trim(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ')
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ')
        --e;
    return std::string(s.substr(b, e - b));
}

std::string ToLowerAscii(std::string_view s) {
    std::string r(s);
    for (auto& c : r)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return r;
}

std::string ToUpperAscii(std::string_view s) {
    std::string r(s);
    for (auto& c : r)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return r;
}

std::vector<std::string> Split(std::string_view s, char sep) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        std::size_t pos = s.find(sep, start);
        if (pos == std::string_view::npos) {
            out.emplace_back(s.substr(start));
            return out;
        }
        out.emplace_back(s.substr(start, pos - start));
        start = pos + 1;
    }
}

void AppendMarkupEscaped(std::string& out, std::string_view text, bool quotes) {
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += quotes ? "&quot;" : "\"";
            break;
        case '\'':
            out += quotes ? "&#39;" : "'";
            break;
        default:
            out += c;
        }
    }
}

std::string MarkupEscaped(std::string_view text, bool quotes) {
    std::string out;
    out.reserve(text.size());
    AppendMarkupEscaped(out, text, quotes);
    return out;
}

std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to) {
    if (from.empty())
        return std::string(s);
    std::string out;
    std::size_t start = 0;
    for (;;) {
        std::size_t pos = s.find(from, start);
        if (pos == std::string_view::npos) {
            out.append(s.substr(start));
            return out;
        }
        out.append(s.substr(start, pos - start));
        out.append(to);
        start = pos + from.size();
    }
}

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

bool EndsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

template <typename T> static std::optional<T> ParseIntT(std::string_view s) {
    if (s.empty())
        return std::nullopt;
    std::size_t i = 0;
    bool neg = false;
    if (s[0] == '+' || s[0] == '-') {
        neg = s[0] == '-';
        i = 1;
    }
    if (i >= s.size() || s[i] < '0' || s[i] > '9')
        return std::nullopt;
    T v{};
    std::string digits = (neg ? "-" : "") + std::string(s.substr(i));
    auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
    if (ec != std::errc() || p != digits.data() + digits.size())
        return std::nullopt;
    return v;
}

std::optional<std::int32_t> ParseInt32(std::string_view s) { return ParseIntT<std::int32_t>(s); }
std::optional<std::int64_t> ParseInt64(std::string_view s) { return ParseIntT<std::int64_t>(s); }

std::size_t Utf16Length(std::string_view s) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
        n += len == 4 ? 2 : 1;
        i += len;
    }
    return n;
}

std::optional<bool> ParseBoolText(std::string_view s) {
    const std::string text = ToLowerAscii(Trim(s));
    if (text == "true")
        return true;
    if (text == "false")
        return false;
    if (const auto n = ParseInt64(text))
        return *n != 0;
    return std::nullopt;
}

std::string Format(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<std::size_t>(n));
        std::vsnprintf(out.data(), out.size() + 1, fmt, ap2);
    }
    va_end(ap2);
    return out;
}

} // namespace ot
