#include "cloud/TokenPair.h"

namespace ot {

std::string TTokenPair::ToString() const {
    return "key=" + FKey + ";secret=" + FSecret;
}

} // namespace ot
