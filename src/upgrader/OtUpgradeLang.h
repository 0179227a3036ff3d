#pragma once
// The upgrade program's translation table (langApp): English keys, with
// simplified ("zh") and traditional ("tw") Chinese texts.

#include <string>
#include <string_view>

namespace ot {

class TUpgradeLang {
public:
    // Switches to a language the table has ("en", "zh", "tw"); false (and no
    // change) for any other code.
    bool SetLang(std::string_view ACode);
    const std::string& Lang() const { return FLang; }
    bool HasTable(std::string_view ACode) const;

    // The key's text in the current language, the key itself when the
    // language has no text for it.
    std::string LangTranslate(std::string_view AString) const;

private:
    std::string FLang = "en";
};

} // namespace ot
