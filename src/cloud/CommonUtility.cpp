#include "cloud/CommonUtility.h"

#include "common/Text.h"
#include "signing/OauthSignature.h"


namespace ot {

std::string HmacSha1Digest(std::string_view AText, std::string_view AKey) {
    return signing::HmacSha1(AText, AKey);
}

std::string Base64Encode(std::string_view ABytes) {
    return signing::Base64(ABytes);
}

std::string_view ParamName(std::string_view entry) {
    auto eq = entry.find('=');
    return eq == std::string_view::npos ? entry : entry.substr(0, eq);
}

std::string_view ParamValue(std::string_view entry) {
    auto eq = entry.find('=');
    return eq == std::string_view::npos ? std::string_view() : entry.substr(eq + 1);
}

int CompareParamNames(const TParamList& AList, std::size_t AIndex1, std::size_t AIndex2) {
    int c = ParamName(AList[AIndex1]).compare(ParamName(AList[AIndex2]));
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

std::string GetValueByName(const TParamList& AList, std::string_view AName) {
    const std::string wanted = ToLowerAscii(AName);
    for (const auto& line : AList)
        if (ToLowerAscii(ParamName(line)) == wanted)
            return std::string(ParamValue(line));
    return {};
}

std::string GetValueByName(const std::optional<TParamList>& AList, std::string_view AName) {
    return AList ? GetValueByName(*AList, AName) : std::string();
}

std::int64_t SafeStrToInt64(std::string_view AStr) {
    return ParseInt64(AStr).value_or(0);
}

std::int32_t SafeStrToInt(std::string_view AStr) {
    return ParseInt32(AStr).value_or(0);
}

TDateTime SafeStrToDateTime(std::string_view AStr) {
    TDateTime dt = 0;
    return TryParseIsoDateTime(AStr, dt) ? dt : 0;
}

bool SafeStrToBool(std::string_view AStr) {
    const std::string lower = ToLowerAscii(AStr);
    if (lower == "true")
        return true;
    if (lower == "false")
        return false;
    // A decimal number, as written in a reply: [+-]digits[.digits] or
    // [+-].digits, with an optional exponent; "inf", "nan" and hex forms are
    // not numbers here.
    std::size_t at = 0;
    const auto digits = [&] {
        const std::size_t from = at;
        while (at < lower.size() && lower[at] >= '0' && lower[at] <= '9')
            ++at;
        return at - from;
    };
    if (at < lower.size() && (lower[at] == '+' || lower[at] == '-'))
        ++at;
    std::size_t mantissa = digits();
    if (at < lower.size() && lower[at] == '.') {
        ++at;
        mantissa += digits();
    }
    if (mantissa == 0)
        return false;
    if (at < lower.size() && lower[at] == 'e') {
        ++at;
        if (at < lower.size() && (lower[at] == '+' || lower[at] == '-'))
            ++at;
        if (digits() == 0)
            return false;
    }
    if (at != lower.size())
        return false;
    for (char c : lower) {
        if (c == 'e')
            break;
        if (c >= '1' && c <= '9')
            return true;
    }
    return false;
}

} // namespace ot
