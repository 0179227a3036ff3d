#pragma once
// The program-wide values that need no window.

#include "common/AppPaths.h"

namespace ot {

inline constexpr const char* AppShortName = "Dorvel";

} // namespace ot
