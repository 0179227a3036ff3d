#pragma once
// A strict JSON reader (RFC 8259, UTF-8 checked) that hands its handler the
// document's events in one pass, without building a tree or copying the
// text character by character: what a listing of a hundred files needs to
// be read in a small fraction of a millisecond. The handler's calls, each
// answering false to stop the scan:
//   StartObject()  EndObject()  StartArray()  EndArray()
//   Key(std::string&&)        a member name, escapes resolved
//   String(std::string&&)     a string value, escapes resolved
//   Number(std::string_view)  a number's text as written ("-0" as "0")
//   Literal()                 true, false or null
// ScanJson answers whether the whole text was one valid JSON value and the
// handler never stopped it. Nesting is followed with a stack of its own, so
// deep documents cannot exhaust the thread's stack.

#include "common/Text.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ot::json_scan {

namespace detail {

inline bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

inline void AppendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// The length of the well-formed UTF-8 sequence at s[i] (a lead byte of 0x80
// or more), or 0: no overlong forms, no surrogates, nothing past U+10FFFF.
inline std::size_t Utf8Length(std::string_view s, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    const auto cont = [&](std::size_t k) { return i + k < s.size() && (b(k) & 0xC0) == 0x80; };
    const unsigned char c = b(0);
    if (c >= 0xC2 && c <= 0xDF)
        return cont(1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        if (!cont(1) || !cont(2))
            return 0;
        if ((c == 0xE0 && b(1) < 0xA0) || (c == 0xED && b(1) > 0x9F))
            return 0;
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (!cont(1) || !cont(2) || !cont(3))
            return 0;
        if ((c == 0xF0 && b(1) < 0x90) || (c == 0xF4 && b(1) > 0x8F))
            return 0;
        return 4;
    }
    return 0;
}

class Scanner {
public:
    explicit Scanner(std::string_view text) : FText(text) {}

    template <class Handler> bool Run(Handler& h) {
        // A byte order mark before the text is no part of it.
        if (FText.substr(0, 3) == "\xEF\xBB\xBF")
            FAt = 3;
        bool needValue = true;
        for (;;) {
            SkipSpace();
            if (needValue) {
                if (FAt >= FText.size())
                    return false;
                const char c = FText[FAt];
                if (c == '{') {
                    ++FAt;
                    if (!h.StartObject())
                        return false;
                    SkipSpace();
                    if (FAt < FText.size() && FText[FAt] == '}') {
                        ++FAt;
                        if (!h.EndObject())
                            return false;
                        needValue = false;
                    } else {
                        FStack.push_back('{');
                        if (!ReadKey(h))
                            return false;
                    }
                    continue;
                }
                if (c == '[') {
                    ++FAt;
                    if (!h.StartArray())
                        return false;
                    SkipSpace();
                    if (FAt < FText.size() && FText[FAt] == ']') {
                        ++FAt;
                        if (!h.EndArray())
                            return false;
                        needValue = false;
                    } else {
                        FStack.push_back('[');
                    }
                    continue;
                }
                if (!ReadScalar(h))
                    return false;
                needValue = false;
                continue;
            }
            if (FStack.empty())
                break;
            if (FAt >= FText.size())
                return false;
            const char c = FText[FAt++];
            if (FStack.back() == '{') {
                if (c == '}') {
                    FStack.pop_back();
                    if (!h.EndObject())
                        return false;
                    continue;
                }
                if (c != ',')
                    return false;
                SkipSpace();
                if (!ReadKey(h))
                    return false;
                needValue = true;
            } else {
                if (c == ']') {
                    FStack.pop_back();
                    if (!h.EndArray())
                        return false;
                    continue;
                }
                if (c != ',')
                    return false;
                needValue = true;
            }
        }
        return FAt == FText.size();
    }

private:
    void SkipSpace() {
        while (FAt < FText.size() && IsSpace(FText[FAt]))
            ++FAt;
    }

    template <class Handler> bool ReadKey(Handler& h) {
        std::string key;
        if (FAt >= FText.size() || FText[FAt] != '"' || !ReadString(key))
            return false;
        SkipSpace();
        if (FAt >= FText.size() || FText[FAt] != ':')
            return false;
        ++FAt;
        return h.Key(std::move(key));
    }

    template <class Handler> bool ReadScalar(Handler& h) {
        const char c = FText[FAt];
        if (c == '"') {
            std::string value;
            return ReadString(value) && h.String(std::move(value));
        }
        if (c == 't' || c == 'f' || c == 'n') {
            for (std::string_view word : {"true", "false", "null"})
                if (FText.substr(FAt, word.size()) == word) {
                    FAt += word.size();
                    return h.Literal();
                }
            return false;
        }
        return ReadNumber(h);
    }

    // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
    template <class Handler> bool ReadNumber(Handler& h) {
        const std::size_t from = FAt;
        const auto digits = [&] {
            const std::size_t start = FAt;
            while (FAt < FText.size() && FText[FAt] >= '0' && FText[FAt] <= '9')
                ++FAt;
            return FAt - start;
        };
        if (FAt < FText.size() && FText[FAt] == '-')
            ++FAt;
        if (FAt < FText.size() && FText[FAt] == '0')
            ++FAt;
        else if (digits() == 0)
            return false;
        bool integer = true;
        if (FAt < FText.size() && FText[FAt] == '.') {
            ++FAt;
            integer = false;
            if (digits() == 0)
                return false;
        }
        if (FAt < FText.size() && (FText[FAt] == 'e' || FText[FAt] == 'E')) {
            ++FAt;
            integer = false;
            if (FAt < FText.size() && (FText[FAt] == '+' || FText[FAt] == '-'))
                ++FAt;
            if (digits() == 0)
                return false;
        }
        const std::string_view text = FText.substr(from, FAt - from);
        return h.Number(integer && text == "-0" ? std::string_view("0") : text);
    }

    // The string at FAt (its opening quote), escapes resolved.
    bool ReadString(std::string& out) {
        ++FAt;
        for (;;) {
            // The plain run up to the next quote, escape, control or non-ASCII byte.
            std::size_t run = FAt;
            while (run < FText.size()) {
                const unsigned char c = static_cast<unsigned char>(FText[run]);
                if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80)
                    break;
                ++run;
            }
            out.append(FText.data() + FAt, run - FAt);
            FAt = run;
            if (FAt >= FText.size())
                return false;
            const unsigned char c = static_cast<unsigned char>(FText[FAt]);
            if (c == '"') {
                ++FAt;
                return true;
            }
            if (c < 0x20)
                return false;
            if (c >= 0x80) {
                const std::size_t n = Utf8Length(FText, FAt);
                if (n == 0)
                    return false;
                out.append(FText.data() + FAt, n);
                FAt += n;
                continue;
            }
            if (!ReadEscape(out))
                return false;
        }
    }

    bool ReadEscape(std::string& out) {
        if (++FAt >= FText.size())
            return false;
        const char e = FText[FAt++];
        switch (e) {
        case '"': out += '"'; return true;
        case '\\': out += '\\'; return true;
        case '/': out += '/'; return true;
        case 'b': out += '\b'; return true;
        case 'f': out += '\f'; return true;
        case 'n': out += '\n'; return true;
        case 'r': out += '\r'; return true;
        case 't': out += '\t'; return true;
        case 'u': break;
        default: return false;
        }
        std::uint32_t cp = 0;
        if (!ReadHex4(cp))
            return false;
        if (cp >= 0xDC00 && cp <= 0xDFFF)
            return false; // a low surrogate without its high one
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            std::uint32_t low = 0;
            if (FAt + 1 >= FText.size() || FText[FAt] != '\\' || FText[FAt + 1] != 'u')
                return false;
            FAt += 2;
            if (!ReadHex4(low) || low < 0xDC00 || low > 0xDFFF)
                return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        AppendUtf8(out, cp);
        return true;
    }

    bool ReadHex4(std::uint32_t& cp) {
        if (FAt + 4 > FText.size())
            return false;
        cp = 0;
        for (int k = 0; k < 4; ++k) {
            const int d = HexDigitValue(FText[FAt++]);
            if (d < 0)
                return false;
            cp = cp * 16 + static_cast<std::uint32_t>(d);
        }
        return true;
    }

    std::string_view FText;
    std::size_t FAt = 0;
    std::vector<char> FStack;
};

} // namespace detail

template <class Handler> bool ScanJson(std::string_view text, Handler& h) {
    detail::Scanner scanner(text);
    return scanner.Run(h);
}

} // namespace ot::json_scan
