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
