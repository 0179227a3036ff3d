#pragma once
// The consumer this program signs its cloud requests as: the client signs with it, and
// the server registers it as the one application it knows from the start.

namespace ot {

inline constexpr const char* ConsumerKey = "Hy3nGv8sTa6QwU1j";
inline constexpr const char* ConsumerSecret = "Zb5kMf2cXr9NuE7d";

} // namespace ot
