#include "cloud/KuaipanURL.h"

namespace ot {

std::string TKuaipanURL::QueryByGetUrl() const {
    return FQuery.empty() ? FUrl : FUrl + "?" + FQuery;
}

void TKuaipanURL::Convert2Get() {
    FUrl = QueryByGetUrl();
    FQuery.clear();
}

std::string TKuaipanURL::ToString() const {
    std::string out = "\nurl=" + FUrl + "\nquery=" + FQuery + "\nheaders=";
    if (FHeaders)
        for (const auto& h : *FHeaders)
            out += h + "\n";
    return out;
}

} // namespace ot
