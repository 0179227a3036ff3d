#include "app/OtSettingFile.h"

#include "common/FileUtil.h"
#include "common/Text.h"

#include <pugixml.hpp>

#include <filesystem>
#include <sstream>

namespace ot {

namespace fs = std::filesystem;

namespace {

// Comments and the declaration survive a rewrite of a file edited by hand.
constexpr unsigned kParseOptions =
    pugi::parse_default | pugi::parse_declaration | pugi::parse_comments | pugi::parse_pi;

enum class LoadResult { Missing, Unreadable, Malformed, Loaded };

LoadResult LoadDocument(const std::string& fileName, pugi::xml_document& doc, std::string& raw) {
    std::error_code ec;
    if (!fs::exists(fileName, ec))
        return LoadResult::Missing;
    if (!ReadWholeFile(fileName, raw))
        return LoadResult::Unreadable;
    if (!doc.load_buffer(raw.data(), raw.size(), kParseOptions, pugi::encoding_utf8))
        return LoadResult::Malformed;
    return LoadResult::Loaded;
}

bool MatchesEntry(const pugi::xml_node& node, std::string_view name) {
    const pugi::xml_attribute nameAttr = node.attribute("name");
    return node.type() == pugi::node_element && nameAttr && name == nameAttr.value() &&
           node.attribute("value");
}

} // namespace

TOtSettingFile::TOtSettingFile(std::string ASettingFilename)
    : FSettingFilename(std::move(ASettingFilename)) {
    const fs::path file(FSettingFilename);
    FIRST_NODE_NAME = file.stem().string();
    if (file.has_parent_path()) {
        std::error_code ec;
        fs::create_directories(file.parent_path(), ec);
    }
}

std::string TOtSettingFile::ReadSetting(std::string_view ASection, std::string_view AName,
                                        std::string_view Default) const {
    std::string result(Default);
    pugi::xml_document doc;
    std::string raw;
    if (LoadDocument(FSettingFilename, doc, raw) != LoadResult::Loaded)
        return result;
    const pugi::xml_node section =
        doc.child(FIRST_NODE_NAME.c_str()).child(std::string(ASection).c_str());
    for (pugi::xml_node child = section.first_child(); child; child = child.next_sibling())
        if (MatchesEntry(child, AName))
            result = child.attribute("value").value();
    return result;
}

bool TOtSettingFile::WriteSetting(std::string_view ASection, std::string_view AName,
                                  std::string_view AValue) {
    const std::lock_guard lock(FWriteMutex);
    pugi::xml_document doc;
    std::string raw;
    const LoadResult loaded = LoadDocument(FSettingFilename, doc, raw);
    if (loaded == LoadResult::Unreadable)
        return false;
    if (loaded == LoadResult::Malformed) {
        // Keep what the user had, then start again from an empty file.
        if (!WriteFileAtomic(FSettingFilename + ".bak", raw))
            return false;
    }
    if (loaded != LoadResult::Loaded) {
        const std::string skeleton = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<" +
                                     FIRST_NODE_NAME + ">\n<" + GeneralSection + ">\n</" +
                                     GeneralSection + ">\n</" + FIRST_NODE_NAME + ">\n";
        doc.reset();
        if (!doc.load_buffer(skeleton.data(), skeleton.size(), kParseOptions, pugi::encoding_utf8))
            return false;
    }

    pugi::xml_node root = doc.child(FIRST_NODE_NAME.c_str());
    if (!root)
        return true; // another program's file: leave it as it is
    const std::string sectionName(ASection);
    pugi::xml_node section = root.child(sectionName.c_str());
    if (!section)
        section = root.append_child(sectionName.c_str());

    pugi::xml_node entry;
    for (pugi::xml_node child = section.first_child(); child && !entry;
         child = child.next_sibling())
        if (MatchesEntry(child, AName))
            entry = child;
    const std::string value(AValue);
    if (entry) {
        entry.attribute("value").set_value(value.c_str());
    } else {
        entry = section.append_child("section");
        entry.append_attribute("name").set_value(std::string(AName).c_str());
        entry.append_attribute("value").set_value(value.c_str());
    }

    std::ostringstream out;
    doc.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
    return WriteFileAtomic(FSettingFilename, out.str());
}

bool SettingStrToBool(std::string_view AText, bool ADefault) {
    return ParseBoolText(AText).value_or(ADefault);
}

std::int32_t SettingStrToInt(std::string_view AText, std::int32_t ADefault) {
    const auto n = ParseInt32(Trim(AText));
    return n ? *n : ADefault;
}

bool TOtSettingFile::ReadBool(std::string_view AName, bool ADefault) const {
    return SettingStrToBool(ReadSetting(GeneralSection, AName, SettingBoolToStr(ADefault)),
                            ADefault);
}

std::int32_t TOtSettingFile::ReadInt(std::string_view AName, std::int32_t ADefault) const {
    return SettingStrToInt(ReadSetting(GeneralSection, AName, std::to_string(ADefault)), ADefault);
}

std::string TOtSettingFile::ReadString(std::string_view AName, std::string_view ADefault) const {
    return ReadSetting(GeneralSection, AName, ADefault);
}

bool TOtSettingFile::WriteBool(std::string_view AName, bool AValue) {
    return WriteSetting(GeneralSection, AName, SettingBoolToStr(AValue));
}

bool TOtSettingFile::WriteInt(std::string_view AName, std::int64_t AValue) {
    return WriteSetting(GeneralSection, AName, std::to_string(AValue));
}

bool TOtSettingFile::WriteString(std::string_view AName, std::string_view AValue) {
    return WriteSetting(GeneralSection, AName, AValue);
}

} // namespace ot
