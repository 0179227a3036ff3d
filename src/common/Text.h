#pragma once
// Small text helpers on UTF-8 std::string.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ot {

std::string Trim(std::string_view s);
std::string ToLowerAscii(std::string_view s);
std::string ToUpperAscii(std::string_view s);
// Splits at every occurrence of sep; consecutive separators give empty fields.
std::vector<std::string> Split(std::string_view s, char sep);
// Replaces every occurrence of from by to, left to right.
std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to);
// Appends text as markup character data: "&", "<" and ">" always become
// entities; with quotes also '"' and "'" ("&quot;", "&#39;"), as attribute
// values in HTML need.
void AppendMarkupEscaped(std::string& out, std::string_view text, bool quotes);
std::string MarkupEscaped(std::string_view text, bool quotes);
bool StartsWith(std::string_view s, std::string_view prefix);
bool EndsWith(std::string_view s, std::string_view suffix);
// A whole decimal integer with an optional sign, within 32 bits.
std::optional<std::int32_t> ParseInt32(std::string_view s);

// The value of a hexadecimal digit (either case), or -1.
inline int HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
std::optional<std::int64_t> ParseInt64(std::string_view s);
// A Boolean written as "true" or "false" in any letter case, or as a whole
// number (0 false); surrounding blanks ignored. Nothing for any other text.
std::optional<bool> ParseBoolText(std::string_view s);
// The length of a UTF-8 text in UTF-16 code units (limits the windows count in those).
std::size_t Utf16Length(std::string_view utf8);
// printf-style formatting into a std::string.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

} // namespace ot
