// The version record: written into our executables by the build, read back
// from their files without running them.
#include "platform/OtVersionInfo.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using ot::GetAppVersionInfo;
using ot::ParseVersionRecord;
using ot::TFileVersionInfo;

// Filled before a call that must leave it alone.
TFileVersionInfo Sentinel() {
    TFileVersionInfo v;
    v.fCompanyName = "untouched";
    v.fComments = "untouched";
    v.fMajor = 9;
    v.fBuild = 9;
    return v;
}

void ExpectUntouched(const TFileVersionInfo& v) {
    EXPECT_EQ(v.fCompanyName, "untouched");
    EXPECT_EQ(v.fComments, "untouched");
    EXPECT_EQ(v.fMajor, 9);
    EXPECT_EQ(v.fBuild, 9);
}

class TempDir {
public:
    TempDir() {
        FPath = std::filesystem::temp_directory_path() /
                ("otversion." + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                 "." + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(FPath);
        std::filesystem::create_directories(FPath);
    }
    ~TempDir() { std::filesystem::remove_all(FPath); }
    std::string Write(const std::string& name, const std::string& data) const {
        const auto p = FPath / name;
        std::ofstream(p, std::ios::binary) << data;
        return p.string();
    }

private:
    std::filesystem::path FPath;
};

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(VersionInfo, ReadsTheRecordOfAnotherProgram) {
    TFileVersionInfo v;
    ASSERT_TRUE(GetAppVersionInfo(OT_SAMPLE_EXE, v));
    EXPECT_EQ(v.fCompanyName, "Sample Company");
    EXPECT_EQ(v.fFileDescription, "Beschreibung = 任务 \"quoted\" C:\\dir\\x");
    EXPECT_EQ(v.fFileVersion, "7.3 beta");
    EXPECT_EQ(v.fInternalName, "internal");
    EXPECT_EQ(v.fLegalCopyRight, "© Sample");
    EXPECT_EQ(v.fLegalTradeMark, "TM");
    EXPECT_EQ(v.fOriginalFileName, "sample.bin");
    EXPECT_EQ(v.fProductName, "Sample Product");
    EXPECT_EQ(v.fProductVersion, "7");
    EXPECT_EQ(v.fComments, "a comment");
    EXPECT_EQ(v.fMajor, 65535);
    EXPECT_EQ(v.fMinor, 0);
    EXPECT_EQ(v.fRelease, 7);
    EXPECT_EQ(v.fBuild, 3);
}

TEST(VersionInfo, EmptyPathReadsTheRunningProgram) {
    TFileVersionInfo v;
    ASSERT_TRUE(GetAppVersionInfo("", v));
    EXPECT_EQ(v.fFileDescription, "Version record tests");
    EXPECT_EQ(v.fFileVersion, "2.4.6.8");
    EXPECT_EQ(v.fInternalName, "test_versioninfo");
    EXPECT_EQ((std::vector<int>{v.fMajor, v.fMinor, v.fRelease, v.fBuild}),
              (std::vector<int>{2, 4, 6, 8}));
}

TEST(VersionInfo, DefaultsNameOurProductAndTheProjectVersion) {
    TFileVersionInfo v;
    ASSERT_TRUE(GetAppVersionInfo(OT_DEFAULTS_EXE, v));
    std::string version = OT_PROJECT_VERSION;
    while (std::count(version.begin(), version.end(), '.') < 3) {
        version += ".0";
    }
    EXPECT_EQ(v.fCompanyName, "Brenmoor");
    EXPECT_EQ(v.fProductName, "Sarnic Tasks");
    EXPECT_EQ(v.fFileVersion, version);
    EXPECT_EQ(v.fProductVersion, version);
    EXPECT_EQ(v.fInternalName, "versioninfo_defaults");
    EXPECT_EQ(v.fOriginalFileName, "versioninfo_defaults");
    EXPECT_EQ(v.fComments, "");
    EXPECT_EQ(std::to_string(v.fMajor) + "." + std::to_string(v.fMinor) + "." +
                  std::to_string(v.fRelease) + "." + std::to_string(v.fBuild),
              version);
}

TEST(VersionInfo, FilesWithoutARecordFillNothing) {
    TempDir dir;
    const std::string sample = ReadAll(OT_SAMPLE_EXE);
    ASSERT_GT(sample.size(), 1000u);
    const std::string cases[] = {
        OT_NONE_EXE,
        dir.Write("missing", "") + ".absent",
        dir.Write("empty", ""),
        dir.Write("text", "OtVersionInfo 1\nCompanyName=x\n"),
        dir.Write("elf-magic-only", "\x7f"
                                    "ELF"),
        dir.Write("head", sample.substr(0, 64)),
        dir.Write("half", sample.substr(0, sample.size() / 2)),
        // The section table sits at the end: one byte short cuts it.
        dir.Write("short", sample.substr(0, sample.size() - 1)),
    };
    for (const auto& path : cases) {
        TFileVersionInfo v = Sentinel();
        EXPECT_FALSE(GetAppVersionInfo(path, v)) << path;
        ExpectUntouched(v);
    }
}

// A minimal ELF image with a name table and a record section, in either word
// size and byte order, to check the reader beyond the build machine's own.
struct ElfLayout {
    bool b64;
    bool bigEndian;
};

enum class Damage { None, RecordPastEnd, HugeRecord, NameTableIndex, NameOffset, NoBits };

std::string BuildElf(ElfLayout layout, const std::string& record, Damage damage = Damage::None) {
    const std::size_t headerSize = layout.b64 ? 64 : 52;
    const std::size_t entrySize = layout.b64 ? 64 : 40;
    const std::string names = std::string("\0.shstrtab\0.ot_version_info\0", 28);
    std::string image(headerSize, '\0');
    auto put = [&](std::size_t at, uint64_t value, int n) {
        for (int i = 0; i < n; ++i) {
            const int shift = layout.bigEndian ? 8 * (n - 1 - i) : 8 * i;
            image[at + i] = static_cast<char>((value >> shift) & 0xff);
        }
    };
    const int word = layout.b64 ? 8 : 4;
    const std::size_t namesAt = image.size();
    image += names;
    const std::size_t recordAt = image.size();
    image += record;
    image.push_back('\0');
    const std::size_t tableAt = image.size();
    image.append(3 * entrySize, '\0');

    image.replace(0, 4,
                  "\x7f"
                  "ELF");
    image[4] = layout.b64 ? 2 : 1;
    image[5] = layout.bigEndian ? 2 : 1;
    image[6] = 1;
    put(layout.b64 ? 0x28 : 0x20, tableAt, word);
    put(layout.b64 ? 0x3A : 0x2E, entrySize, 2);
    put(layout.b64 ? 0x3C : 0x30, 3, 2);
    put(layout.b64 ? 0x3E : 0x32, damage == Damage::NameTableIndex ? 3 : 1, 2);

    auto section = [&](int index, uint32_t name, uint32_t type, uint64_t offset, uint64_t size) {
        const std::size_t at = tableAt + index * entrySize;
        put(at, name, 4);
        put(at + 4, type, 4);
        put(at + (layout.b64 ? 24 : 16), offset, word);
        put(at + (layout.b64 ? 32 : 20), size, word);
    };
    section(1, 1, 3, namesAt, names.size());
    uint64_t offset = recordAt;
    uint64_t size = record.size() + 1;
    uint32_t name = 11;
    uint32_t type = 1;
    if (damage == Damage::RecordPastEnd) {
        offset = image.size() - 2;
    } else if (damage == Damage::HugeRecord) {
        size = uint64_t{1} << 31;
    } else if (damage == Damage::NameOffset) {
        name = 1000;
    } else if (damage == Damage::NoBits) {
        type = 8;
    }
    section(2, name, type, offset, size);
    return image;
}

TEST(VersionInfo, ReadsEveryWordSizeAndByteOrder) {
    TempDir dir;
    for (const ElfLayout layout : {ElfLayout{false, false}, ElfLayout{false, true},
                                   ElfLayout{true, false}, ElfLayout{true, true}}) {
        const std::string path = dir.Write("image", BuildElf(layout, "OtVersionInfo 1\n"
                                                                     "ProductName=P\n"
                                                                     "FixedFileVersion=1.2.3.4\n"));
        TFileVersionInfo v;
        ASSERT_TRUE(GetAppVersionInfo(path, v)) << layout.b64 << layout.bigEndian;
        EXPECT_EQ(v.fProductName, "P");
        EXPECT_EQ((std::vector<int>{v.fMajor, v.fMinor, v.fRelease, v.fBuild}),
                  (std::vector<int>{1, 2, 3, 4}));
    }
}

TEST(VersionInfo, DamagedImagesFillNothing) {
    TempDir dir;
    for (const Damage damage : {Damage::RecordPastEnd, Damage::HugeRecord, Damage::NameTableIndex,
                                Damage::NameOffset, Damage::NoBits}) {
        for (const bool b64 : {false, true}) {
            const std::string path = dir.Write(
                "image", BuildElf({b64, false}, "OtVersionInfo 1\nCompanyName=x\n", damage));
            TFileVersionInfo v = Sentinel();
            EXPECT_FALSE(GetAppVersionInfo(path, v)) << static_cast<int>(damage) << " " << b64;
            ExpectUntouched(v);
        }
    }
}

TEST(VersionInfo, RecordText) {
    struct Case {
        const char* text;
        bool ok;
        const char* company;
        const char* comments;
        std::vector<int> numbers;
    };
    const Case cases[] = {
        {"", false, "untouched", "untouched", {9, 0, 0, 9}},
        {"CompanyName=x\n", false, "untouched", "untouched", {9, 0, 0, 9}},
        {"OtVersionInfo 2\nCompanyName=x\n", false, "untouched", "untouched", {9, 0, 0, 9}},
        // Missing names stay empty, unknown ones are ignored.
        {"OtVersionInfo 1\n", true, "", "", {0, 0, 0, 0}},
        {"OtVersionInfo 1\nColour=red\nno equals sign\nComments=c", true, "", "c", {0, 0, 0, 0}},
        {"OtVersionInfo 1\nCompanyName=a=b\n", true, "a=b", "", {0, 0, 0, 0}},
        {"OtVersionInfo 1\ncompanyname=lower\n", true, "", "", {0, 0, 0, 0}},
        {"OtVersionInfo 1\nFixedFileVersion=65535.1.2.3\n", true, "", "", {65535, 1, 2, 3}},
        // Numbers that are not four 16-bit values give zeros.
        {"OtVersionInfo 1\nFixedFileVersion=65536.1.2.3\n", true, "", "", {0, 0, 0, 0}},
        {"OtVersionInfo 1\nFixedFileVersion=1.2.3\n", true, "", "", {0, 0, 0, 0}},
        {"OtVersionInfo 1\nFixedFileVersion=1.2.3.4.5\n", true, "", "", {0, 0, 0, 0}},
        {"OtVersionInfo 1\nFixedFileVersion=1..3.4\n", true, "", "", {0, 0, 0, 0}},
        {"OtVersionInfo 1\nFixedFileVersion=1.-2.3.4\n", true, "", "", {0, 0, 0, 0}},
        {"OtVersionInfo 1\nFixedFileVersion=1.2.3.4x\n", true, "", "", {0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        TFileVersionInfo v = Sentinel();
        EXPECT_EQ(ParseVersionRecord(c.text, v), c.ok) << c.text;
        EXPECT_EQ(v.fCompanyName, c.company) << c.text;
        EXPECT_EQ(v.fComments, c.comments) << c.text;
        EXPECT_EQ((std::vector<int>{v.fMajor, v.fMinor, v.fRelease, v.fBuild}), c.numbers)
            << c.text;
    }
}

} // namespace
