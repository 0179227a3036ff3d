#pragma once
// The settings values of the application context that need no window, read
// from the settings file with their defaults, and the fixed list order.

#include "app/OtSettingFile.h"
#include "common/AppPaths.h"
#include "tasks/OtTask.h"

#include <string>
#include <string_view>

namespace ot {

// Keys of the general section.
namespace SettingKeys {
inline constexpr const char* MainFormPosX = "MainFormPosX";
inline constexpr const char* MainFormPosY = "MainFormPosY";
inline constexpr const char* Lang = "Lang";
inline constexpr const char* IsOpenKuaipanSync = "IsOpenKuaipanSync";
inline constexpr const char* SyncTimeInterval = "SyncTimeInterval";
inline constexpr const char* IsShowAppLogFormOnSyncing = "IsShowAppLogFormOnSyncing";
inline constexpr const char* TaskListViewType = "TaskListViewType";
inline constexpr const char* DefaultTaskClassIndex = "DefaultTaskClassIndex";
inline constexpr const char* IsOpenTaskAlert = "IsOpenTaskAlert";
inline constexpr const char* IsCheckNewVerWhenAppStart = "IsCheckNewVerWhenAppStart";
inline constexpr const char* AppStyle = "AppStyle";
inline constexpr const char* LastDateTimeSyncSuccess = "LastDateTimeSyncSuccess";
inline constexpr const char* KuaipanAccount = "KuaipanAccount";
} // namespace SettingKeys

// Every page lists its items in this order.
inline constexpr TTaskSortField TaskSortField = tsfPriority;
inline constexpr TSortOrder TaskSortOrder = soDesc;

struct TAppSettings {
    std::string Lang = "en";
    bool IsOpenKuaipanSync = true;
    std::int32_t SyncTimeInterval = 5; // minutes
    bool IsShowAppLogFormOnSyncing = false;
    std::int32_t TaskListViewType = 0; // 0 simple, 1 detailed
    std::int32_t DefaultTaskClassIndex = 0;
    bool IsOpenTaskAlert = true;
    bool IsCheckNewVerWhenAppStart = true;
    // After a read: the full name of the style file below TAppPaths::StylesPath, or
    // empty for the built-in style.
    std::string AppStyle;
    // 0 or 1, derived from the style file name; 1 before the first read.
    int StyleVariant = 1;
};

// The style variant for a style file name: 1 when its lower-case form holds
// "1.style", 0 when it holds "0.style", 1 for no style, else ACurrent.
int StyleVariantOf(std::string_view AAppStyle, int ACurrent);

// The language of the translation tables for a locale name such as
// "zh_TW.UTF-8": simplified Chinese ("cn") for zh_CN and zh_SG, traditional
// ("tw") for zh_TW, zh_HK and zh_MO, English ("en") for everything else.
std::string LangForLocale(std::string_view ALocale);
// The locale that chooses the language of messages, from the values of
// LC_ALL, LC_MESSAGES and LANG (the first one set wins).
std::string MessagesLocale(const char* ALcAll, const char* ALcMessages, const char* ALang);

// Reads every value of ASettings from the file, each with its default (the
// style file below AStylesPath);
// StyleVariant keeps its value for a style name that tells nothing.
void ReadAppSettingValues(const TOtSettingFile& AFile, const std::string& AStylesPath,
                          TAppSettings& ASettings);
// The same with the style file looked up in the installation's style
// directories (the user's own first, then the installed ones).
void ReadAppSettingValues(const TOtSettingFile& AFile, const TAppPaths& APaths,
                          TAppSettings& ASettings);

} // namespace ot
