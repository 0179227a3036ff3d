#pragma once
// Paths in a user's application folder, as the API receives them.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ot::server {

// The components of a path: "" and "/" are the folder itself; one leading "/" is optional.
// Refused (nullopt): text that is not UTF-8, control characters, empty components (so
// "a//b" and a trailing "/"), "." and "..", a component longer than 255 bytes, more than
// 64 levels. Names are otherwise kept byte for byte: nothing is folded or trimmed.
std::optional<std::vector<std::string>> ParseCloudPath(std::string_view text);

// "/" followed by the components joined with "/"; "/" for the folder itself.
std::string JoinCloudPath(const std::vector<std::string>& components);

bool IsValidUtf8(std::string_view text);

// Unix seconds as "YYYY-MM-DD HH:MM:SS" in UTC.
std::string FormatCloudTime(std::int64_t unixSeconds);

} // namespace ot::server
