#pragma once
// Helpers of the cloud client: the HMAC-SHA1 and Base64 primitives of the
// request signing, parameter-list lookups and the forgiving conversions the
// result records are built with.

#include "common/DateTime.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ot {

// A list of "name=value" lines: request parameters and flattened replies.
// The name is the text before the first "=".
using TParamList = std::vector<std::string>;

// The 20-byte HMAC-SHA1 of AText keyed with AKey (both taken as bytes).
std::string HmacSha1Digest(std::string_view AText, std::string_view AKey);
// Standard Base64 with "+", "/" and "=" padding, no line breaks.
std::string Base64Encode(std::string_view ABytes);

// The text before the first "=" of an entry (all of it when there is none).
std::string_view ParamName(std::string_view entry);
// The text after the first "=" (empty when there is none).
std::string_view ParamValue(std::string_view entry);
// Compares the names of two entries by character code: -1, 0 or 1.
int CompareParamNames(const TParamList& AList, std::size_t AIndex1, std::size_t AIndex2);

// The value of the first line whose name equals AName, ignoring ASCII letter
// case; empty when there is none (or no list).
std::string GetValueByName(const TParamList& AList, std::string_view AName);
std::string GetValueByName(const std::optional<TParamList>& AList, std::string_view AName);

// Decimal text to integer; 0 for an empty text, one that does not convert or
// one out of range.
std::int64_t SafeStrToInt64(std::string_view AStr);
std::int32_t SafeStrToInt(std::string_view AStr);
// "YYYY-MM-DD HH:MM:SS" (the regional form of this platform, and what the
// service writes) to a local date-time; 0 when it does not convert.
TDateTime SafeStrToDateTime(std::string_view AStr);
// "True"/"False" in any letter case, or a number (zero is false); false for
// anything else.
bool SafeStrToBool(std::string_view AStr);

} // namespace ot
