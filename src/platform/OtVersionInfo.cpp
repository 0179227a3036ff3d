#include "platform/OtVersionInfo.h"

#include <array>
#include <charconv>
#include <cstring>
#include <fstream>
#include <optional>
#include <vector>

namespace ot {

namespace {

// A corrupt header must not make us allocate or read without bound.
constexpr uint64_t kMaxSectionTable = 4u << 20;
constexpr uint64_t kMaxNameTable = 1u << 20;
constexpr uint64_t kMaxRecord = 64u << 10;

constexpr uint32_t kShtNobits = 8;

// Reads exactly size bytes at offset, or nothing.
std::optional<std::vector<unsigned char>> ReadAt(std::ifstream& in, uint64_t offset, uint64_t size,
                                                 uint64_t fileSize) {
    if (offset > fileSize || size > fileSize - offset) {
        return std::nullopt;
    }
    std::vector<unsigned char> buf(size);
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset));
    if (!in.read(reinterpret_cast<char*>(buf.data()), static_cast<std::streamsize>(size))) {
        return std::nullopt;
    }
    return buf;
}

// The fields of an ELF file in its own byte order and word size.
class ElfView {
public:
    ElfView(bool bBigEndian, bool b64) : FBig(bBigEndian), F64(b64) {}

    uint64_t Get(const unsigned char* p, int n) const {
        uint64_t v = 0;
        for (int i = 0; i < n; ++i) {
            const int shift = FBig ? 8 * (n - 1 - i) : 8 * i;
            v |= static_cast<uint64_t>(p[i]) << shift;
        }
        return v;
    }
    // An address-sized field.
    uint64_t Word(const unsigned char* p) const { return Get(p, F64 ? 8 : 4); }
    bool Is64() const { return F64; }

private:
    bool FBig;
    bool F64;
};

std::optional<std::string> ReadRecordSection(const std::string& sPath) {
    std::ifstream in(sPath, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    in.seekg(0, std::ios::end);
    const auto end = in.tellg();
    if (end < 0) {
        return std::nullopt;
    }
    const auto fileSize = static_cast<uint64_t>(end);

    const auto ident = ReadAt(in, 0, 16, fileSize);
    if (!ident || std::memcmp(ident->data(),
                              "\x7f"
                              "ELF",
                              4) != 0) {
        return std::nullopt;
    }
    const unsigned char elfClass = (*ident)[4];
    const unsigned char elfData = (*ident)[5];
    if ((elfClass != 1 && elfClass != 2) || (elfData != 1 && elfData != 2)) {
        return std::nullopt;
    }
    const ElfView elf(elfData == 2, elfClass == 2);

    const auto header = ReadAt(in, 0, elf.Is64() ? 64 : 52, fileSize);
    if (!header) {
        return std::nullopt;
    }
    const unsigned char* h = header->data();
    const uint64_t shoff = elf.Word(h + (elf.Is64() ? 0x28 : 0x20));
    const uint64_t shentsize = elf.Get(h + (elf.Is64() ? 0x3A : 0x2E), 2);
    const uint64_t shnum = elf.Get(h + (elf.Is64() ? 0x3C : 0x30), 2);
    const uint64_t shstrndx = elf.Get(h + (elf.Is64() ? 0x3E : 0x32), 2);
    const uint64_t minEntry = elf.Is64() ? 64 : 40;
    // Extended numbering (more than 0xff00 sections) is not for our programs.
    if (shoff == 0 || shnum == 0 || shentsize < minEntry || shstrndx >= shnum ||
        shnum * shentsize > kMaxSectionTable) {
        return std::nullopt;
    }
    const auto table = ReadAt(in, shoff, shnum * shentsize, fileSize);
    if (!table) {
        return std::nullopt;
    }

    struct Section {
        uint32_t name, type;
        uint64_t offset, size;
    };
    auto section = [&](uint64_t i) {
        const unsigned char* s = table->data() + i * shentsize;
        Section r{};
        r.name = static_cast<uint32_t>(elf.Get(s, 4));
        r.type = static_cast<uint32_t>(elf.Get(s + 4, 4));
        r.offset = elf.Word(s + (elf.Is64() ? 24 : 16));
        r.size = elf.Word(s + (elf.Is64() ? 32 : 20));
        return r;
    };

    const Section strtab = section(shstrndx);
    if (strtab.size > kMaxNameTable) {
        return std::nullopt;
    }
    const auto names = ReadAt(in, strtab.offset, strtab.size, fileSize);
    if (!names) {
        return std::nullopt;
    }
    for (uint64_t i = 0; i < shnum; ++i) {
        const Section s = section(i);
        if (s.name >= names->size() || s.type == kShtNobits) {
            continue;
        }
        const char* name = reinterpret_cast<const char*>(names->data()) + s.name;
        const std::size_t maxLen = names->size() - s.name;
        if (std::string_view(name, strnlen(name, maxLen)) != kVersionInfoSection) {
            continue;
        }
        if (s.size > kMaxRecord) {
            return std::nullopt;
        }
        const auto body = ReadAt(in, s.offset, s.size, fileSize);
        if (!body) {
            return std::nullopt;
        }
        std::string text(body->begin(), body->end());
        // The record is stored as a C string.
        text.resize(strnlen(text.c_str(), text.size()));
        return text;
    }
    return std::nullopt;
}

bool ParseFixedVersion(std::string_view s, std::array<uint16_t, 4>& out) {
    std::array<uint16_t, 4> parts{};
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const auto dot = s.find('.');
        const bool last = i + 1 == parts.size();
        if (last != (dot == std::string_view::npos)) {
            return false;
        }
        const std::string_view part = last ? s : s.substr(0, dot);
        const auto [ptr, ec] = std::from_chars(part.data(), part.data() + part.size(), parts[i]);
        if (part.empty() || ec != std::errc() || ptr != part.data() + part.size()) {
            return false;
        }
        if (!last) {
            s.remove_prefix(dot + 1);
        }
    }
    out = parts;
    return true;
}

} // namespace

bool ParseVersionRecord(std::string_view sRecord, TFileVersionInfo& aFileVersionInfo) {
    if (!sRecord.starts_with(kVersionInfoMagic)) {
        return false;
    }
    sRecord.remove_prefix(kVersionInfoMagic.size());

    TFileVersionInfo info;
    const std::pair<std::string_view, std::string TFileVersionInfo::*> fields[] = {
        {"CompanyName", &TFileVersionInfo::fCompanyName},
        {"FileDescription", &TFileVersionInfo::fFileDescription},
        {"FileVersion", &TFileVersionInfo::fFileVersion},
        {"InternalName", &TFileVersionInfo::fInternalName},
        {"LegalCopyRight", &TFileVersionInfo::fLegalCopyRight},
        {"LegalTradeMark", &TFileVersionInfo::fLegalTradeMark},
        {"OriginalFileName", &TFileVersionInfo::fOriginalFileName},
        {"ProductName", &TFileVersionInfo::fProductName},
        {"ProductVersion", &TFileVersionInfo::fProductVersion},
        {"Comments", &TFileVersionInfo::fComments},
    };
    while (!sRecord.empty()) {
        const auto eol = sRecord.find('\n');
        const std::string_view line = sRecord.substr(0, eol);
        sRecord.remove_prefix(eol == std::string_view::npos ? sRecord.size() : eol + 1);
        const auto eq = line.find('=');
        if (eq == std::string_view::npos) {
            continue;
        }
        const std::string_view name = line.substr(0, eq);
        const std::string_view value = line.substr(eq + 1);
        if (name == "FixedFileVersion") {
            std::array<uint16_t, 4> v{};
            if (ParseFixedVersion(value, v)) {
                info.fMajor = v[0];
                info.fMinor = v[1];
                info.fRelease = v[2];
                info.fBuild = v[3];
            }
            continue;
        }
        for (const auto& [fieldName, member] : fields) {
            if (name == fieldName) {
                info.*member = std::string(value);
            }
        }
    }
    aFileVersionInfo = std::move(info);
    return true;
}

bool GetAppVersionInfo(const std::string& sAppNamePath, TFileVersionInfo& aFileVersionInfo) {
    const auto record = ReadRecordSection(sAppNamePath.empty() ? "/proc/self/exe" : sAppNamePath);
    return record && ParseVersionRecord(*record, aFileVersionInfo);
}

} // namespace ot
