#include "common/Version.h"

#ifndef OT_VERSION
#define OT_VERSION "0.0.0"
#endif

namespace ot {

const char* ProgramVersion() {
    return OT_VERSION;
}

} // namespace ot
