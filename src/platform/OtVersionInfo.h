#pragma once
// The version record our executables carry: the text fields and the four
// version numbers that the About box and the upgrade program show. It is
// embedded at build time (ot_embed_version_info in CMake) as a section of
// the ELF file, so it can be read from any of our programs without running
// it. No Qt here: the upgrade program links this on its own.

#include <cstdint>
#include <string>
#include <string_view>

namespace ot {

struct TFileVersionInfo {
    std::string fCompanyName;
    std::string fFileDescription;
    std::string fFileVersion;
    std::string fInternalName;
    std::string fLegalCopyRight;
    std::string fLegalTradeMark;
    std::string fOriginalFileName;
    std::string fProductName;
    std::string fProductVersion;
    std::string fComments;
    uint16_t fMajor = 0;
    uint16_t fMinor = 0;
    uint16_t fRelease = 0;
    uint16_t fBuild = 0;
};

// Name of the ELF section that holds the record, and the first line of the
// record inside it.
inline constexpr std::string_view kVersionInfoSection = ".ot_version_info";
inline constexpr std::string_view kVersionInfoMagic = "OtVersionInfo 1\n";

// Reads the record of the executable sAppNamePath (the running program when
// empty). False, with aFileVersionInfo untouched, for a file that cannot be
// read, is no ELF file or carries no record.
bool GetAppVersionInfo(const std::string& sAppNamePath, TFileVersionInfo& aFileVersionInfo);

// Parses the record's text: the magic line, then "Name=Value" lines with the
// names of the version resource ("CompanyName", ... "Comments") and
// "FixedFileVersion=major.minor.release.build". Unknown names are ignored,
// missing ones stay empty (0 for the numbers). False when the magic is
// missing; aFileVersionInfo is then untouched.
bool ParseVersionRecord(std::string_view sRecord, TFileVersionInfo& aFileVersionInfo);

} // namespace ot
