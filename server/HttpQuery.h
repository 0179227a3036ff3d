#pragma once
// Decoding of query strings and form bodies ("a=1&b=2"), shared by the servers.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ot::server {

struct QueryParam {
    std::string Name;
    std::string Value;
};

// Resolves %XX escapes and, when plusIsSpace, "+" as a space; nullopt on a broken escape.
std::optional<std::string> PercentDecode(std::string_view text, bool plusIsSpace);
// "a=1&b=2" with form decoding ("+" is a space). nullopt when an escape is broken or a
// name occurs twice: a repeated name would let the checked value differ from the used one.
std::optional<std::vector<QueryParam>> ParseQueryString(std::string_view raw);
const std::string* FindParam(const std::vector<QueryParam>& params, std::string_view name);

} // namespace ot::server
