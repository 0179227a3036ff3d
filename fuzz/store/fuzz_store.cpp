// One fuzzer over the inputs of the task store that come from outside:
// class and item names, task file content and the settings file. The first
// byte picks the target; the rest is the input.

#include "app/AppSettings.h"
#include "app/OtSettingFile.h"
#include "common/AppPaths.h"
#include "common/FileUtil.h"
#include "tasks/OtTaskUtility.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

using namespace ot;
namespace fs = std::filesystem;

namespace {

const std::string& WorkDir() {
    static const std::string dir = [] {
        // Memory-backed when there is such a place: the settings writes flush.
        std::error_code ec;
        const fs::path base =
            fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
        std::string tmpl = (base / "ot-fuzz-store-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr)
            std::abort();
        static std::string made;
        made = tmpl;
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(made, ec);
        });
        return tmpl;
    }();
    return dir;
}

void Check(bool ok) {
    if (!ok)
        __builtin_trap();
}

void WriteRaw(const std::string& file, std::string_view data) {
    if (FILE* f = std::fopen(file.c_str(), "wb")) {
        std::fwrite(data.data(), 1, data.size(), f);
        std::fclose(f);
    }
}

void FuzzNames(std::string_view input) {
    // Escaping never leaves a character that names may not hold, and decoding
    // what was encoded is decoding the original.
    const std::string encoded = TOtTaskUtility::EncodeSpecialChars(input);
    Check(encoded.find_first_of(" #_$@!()'\\/:*?\"<>|") == std::string::npos);
    Check(TOtTaskUtility::DecodeSpecialChars(encoded) == TOtTaskUtility::DecodeSpecialChars(input));

    auto cls = TOtTaskUtility::ParseTaskClass(input);
    if (cls)
        Check(TOtTaskUtility::ParseTaskClass(cls->DirName())->Title() == cls->Title());
    if (!cls)
        cls = std::make_shared<TOtTaskClass>("1A", "fuzz");

    // Below a directory that does not exist, so no file is ever read.
    const std::string path = "/nonexistent-ot-fuzz/" + std::string(input);
    if (auto item = TOtTaskUtility::ParseTaskItem(cls, path)) {
        // What a name says survives writing it again. The optional
        // date-times may change once (a field is read by its length, not by
        // its place), after which the name is stable.
        auto again = TOtTaskUtility::ParseTaskItem(cls, item->FileName() + ".tsk");
        Check(again != nullptr);
        Check(again->ID() == item->ID() && again->Title() == item->Title() &&
              again->Status() == item->Status() && again->Priority() == item->Priority() &&
              again->CreateDateTime() == item->CreateDateTime());
        const std::string name = again->FileName();
        auto third = TOtTaskUtility::ParseTaskItem(cls, name + ".tsk");
        Check(third != nullptr && third->FileName() == name);
        (void)item->ToString();
        (void)item->KuaipanPath();
    }
    TDateTime dt = 0;
    (void)TOtTaskUtility::TryParseDateTime(input.substr(0, 12), dt);
}

std::string NormalisedLineEnds(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\r') {
            out += '\n';
            if (i + 1 < s.size() && s[i + 1] == '\n')
                ++i;
        } else {
            out += s[i];
        }
    }
    return out;
}

void FuzzTaskFile(std::string_view input, bool throughFile) {
    std::string remarks;
    bool found = false;
    (void)TOtTaskUtility::ParseTaskFileContent(input, remarks, found);

    // Any remarks without a NUL come back as written, line ends made LF.
    if (input.find('\0') == std::string_view::npos) {
        std::string back;
        Check(TOtTaskUtility::ParseTaskFileContent(TOtTaskUtility::TaskFileContent(input), back,
                                                   found));
        Check(found && back == NormalisedLineEnds(input));
    }
    if (throughFile) {
        const std::string file = WorkDir() + "/1A#0#t#5#201603051430###.tsk";
        WriteRaw(file, input);
        auto cls = std::make_shared<TOtTaskClass>("1A", "fuzz");
        auto item = TOtTaskUtility::ParseTaskItem(cls, file);
        Check(item != nullptr);
    }
}

void FuzzSettings(std::string_view input, bool write) {
    const std::string file = WorkDir() + "/otTodolistSettings.xml";
    WriteRaw(file, input);
    TOtSettingFile settings(file);
    TAppSettings values;
    ReadAppSettingValues(settings, TAppPaths::FromProgramDir(WorkDir()).StylesPath, values);
    (void)settings.ReadSetting(GeneralSection, "Lang", "en");
    if (write) {
        // Writing answers true, and writing the same value again changes no
        // byte: a file is normalised once and then stays as it is.
        Check(settings.WriteSetting(GeneralSection, "Lang", "zh"));
        std::string first, second;
        Check(ReadWholeFile(file, first));
        Check(settings.WriteSetting(GeneralSection, "Lang", "zh"));
        Check(ReadWholeFile(file, second));
        Check(first == second);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    WorkDir();
    if (size == 0)
        return 0;
    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 8) {
    case 0:
    case 1:
    case 2:
        FuzzNames(input);
        break;
    case 3:
    case 4:
        FuzzTaskFile(input, false);
        break;
    case 5:
        FuzzTaskFile(input, true);
        break;
    case 6:
        FuzzSettings(input, false);
        break;
    default:
        FuzzSettings(input, true);
        break;
    }
    return 0;
}
