#pragma once
// The settings file: one XML document per user,
//   <otTodolistSettings>                     (root named after the file)
//     <otGeneralSections>                    (the one section)
//       <section name="Key" value="Text"/>   (one element per setting)
// Every read and write parses the whole file again; nothing is cached, so
// a value edited by hand is seen by the next read. A write reads, changes and
// replaces the whole file, so the writes of one object are serialized: two
// threads writing through it never lose each other's values. Threads of one
// program share one object for that reason.

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace ot {

inline constexpr const char* GeneralSection = "otGeneralSections";

class TOtSettingFile {
public:
    // Remembers the file name and creates its directory when missing; the
    // file itself is created by the first write.
    explicit TOtSettingFile(std::string ASettingFilename);

    // The value of the last entry of ASection named AName that has a value;
    // Default when there is none, or when the file is missing, not XML, or
    // has another root element.
    std::string ReadSetting(std::string_view ASection, std::string_view AName,
                            std::string_view Default) const;
    // Sets the value of the first such entry, or appends a new entry. A file
    // with another root element is left unchanged (and the answer is true);
    // a file that is not XML is kept as <file>.bak and a fresh file started.
    // False only when the file cannot be read or written.
    bool WriteSetting(std::string_view ASection, std::string_view AName, std::string_view AValue);

    // Typed access to the general section. A Boolean reads "True"/"False" in
    // any letter case or a whole number (0 false, other true); an integer is
    // a decimal number. A value that does not convert gives the default.
    bool ReadBool(std::string_view AName, bool ADefault) const;
    std::int32_t ReadInt(std::string_view AName, std::int32_t ADefault) const;
    std::string ReadString(std::string_view AName, std::string_view ADefault) const;
    bool WriteBool(std::string_view AName, bool AValue);
    bool WriteInt(std::string_view AName, std::int64_t AValue);
    bool WriteString(std::string_view AName, std::string_view AValue);

    const std::string& SettingFilename() const { return FSettingFilename; }
    const std::string& FirstNodeName() const { return FIRST_NODE_NAME; }

private:
    std::string FSettingFilename;
    std::string FIRST_NODE_NAME;
    std::mutex FWriteMutex;
};

// The conversions of the typed reads, for values that come from elsewhere.
bool SettingStrToBool(std::string_view AText, bool ADefault);
std::int32_t SettingStrToInt(std::string_view AText, std::int32_t ADefault);
inline const char* SettingBoolToStr(bool AValue) {
    return AValue ? "True" : "False";
}

} // namespace ot
