#include "app/AppSettings.h"

#include "common/Text.h"

namespace ot {

int StyleVariantOf(std::string_view AAppStyle, int ACurrent) {
    const std::string lower = ToLowerAscii(AAppStyle);
    if (lower.find("1.style") != std::string::npos)
        return 1;
    if (lower.find("0.style") != std::string::npos)
        return 0;
    if (AAppStyle.empty())
        return 1;
    return ACurrent;
}

std::string LangForLocale(std::string_view ALocale) {
    // "language[_territory][.codeset][@modifier]"; "zh-Hant-TW" as well.
    std::string name(ALocale.substr(0, ALocale.find_first_of(".@")));
    for (char& c : name)
        if (c == '-')
            c = '_';
    const std::string lower = ToLowerAscii(name);
    if (lower != "zh" && lower.rfind("zh_", 0) != 0)
        return "en";
    if (lower.find("hant") != std::string::npos)
        return "tw";
    if (lower.find("hans") != std::string::npos)
        return "cn";
    const std::size_t last = lower.rfind('_');
    const std::string territory = last == std::string::npos ? "" : lower.substr(last + 1);
    if (territory == "tw" || territory == "hk" || territory == "mo")
        return "tw";
    if (territory == "cn" || territory == "sg")
        return "cn";
    // Chinese without a territory names no script.
    return "en";
}

std::string MessagesLocale(const char* ALcAll, const char* ALcMessages, const char* ALang) {
    for (const char* value : {ALcAll, ALcMessages, ALang})
        if (value && *value)
            return value;
    return "";
}

void ReadAppSettingValues(const TOtSettingFile& AFile, const std::string& AStylesPath,
                          TAppSettings& ASettings) {
    const TAppSettings defaults;
    using namespace SettingKeys;
    ASettings.Lang = AFile.ReadString(Lang, defaults.Lang);
    ASettings.IsOpenKuaipanSync = AFile.ReadBool(IsOpenKuaipanSync, defaults.IsOpenKuaipanSync);
    ASettings.SyncTimeInterval = AFile.ReadInt(SyncTimeInterval, defaults.SyncTimeInterval);
    ASettings.IsShowAppLogFormOnSyncing =
        AFile.ReadBool(IsShowAppLogFormOnSyncing, defaults.IsShowAppLogFormOnSyncing);
    ASettings.TaskListViewType = AFile.ReadInt(TaskListViewType, defaults.TaskListViewType);
    ASettings.DefaultTaskClassIndex =
        AFile.ReadInt(DefaultTaskClassIndex, defaults.DefaultTaskClassIndex);
    ASettings.IsOpenTaskAlert = AFile.ReadBool(IsOpenTaskAlert, defaults.IsOpenTaskAlert);
    ASettings.IsCheckNewVerWhenAppStart =
        AFile.ReadBool(IsCheckNewVerWhenAppStart, defaults.IsCheckNewVerWhenAppStart);
    const std::string style = AFile.ReadString(AppStyle, "");
    ASettings.StyleVariant = StyleVariantOf(style, ASettings.StyleVariant);
    ASettings.AppStyle = style.empty() ? std::string() : AStylesPath + style;
}

void ReadAppSettingValues(const TOtSettingFile& AFile, const TAppPaths& APaths,
                          TAppSettings& ASettings) {
    ReadAppSettingValues(AFile, APaths.StylesPath, ASettings);
    const std::string style = AFile.ReadString(SettingKeys::AppStyle, "");
    if (!style.empty())
        ASettings.AppStyle = APaths.StyleFile(style);
}

} // namespace ot
