#pragma once
// Flattens the service's JSON replies into "name=value" lines, one per member
// of the top-level object, in member order:
//   a string          its content (escapes resolved, no quotes)
//   a number          its text as written in the reply
//   an array          its JSON text (readable again by ParseJsonArray)
//   object, true, false, null   an empty value
// A text that is not JSON, or not of the expected top-level kind, raises
// TKuaipanIOException.

#include "cloud/CommonUtility.h"

#include <optional>
#include <string_view>
#include <vector>

namespace ot {

class TJSONUtility {
public:
    // The lines of a JSON object; none for an empty text.
    static std::optional<TParamList> Parse(std::string_view AStr);
    // The lines of each object of a JSON array; none for an empty text or an
    // empty array.
    static std::optional<std::vector<TParamList>> ParseJsonArray(std::string_view AStr);
};

} // namespace ot
