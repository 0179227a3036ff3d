#pragma once
// The program-wide values that need no window: the directory layout below
// the program directory and the constants of the cloud consumer. Start-up
// (or a test) sets the layout once; everyone else reads it.

#include <string>

namespace ot {

struct TAppPaths {
    std::string AppPath;         // program directory, trailing '/'
    std::string StylesPath;      // AppPath + "styles/"
    std::string UserDataPath;    // AppPath + "userdata/1/"
    std::string TaskDataPath;    // UserDataPath + "taskdata/"
    std::string DBFileName;      // UserDataPath + "otTodolist.db"
    std::string SettingFileName; // UserDataPath + "otTodolistSettings.xml"
    std::string AuthFileName;    // UserDataPath + "MyAuth.adb"

    // The layout below programDir (a trailing '/' is added when missing).
    static TAppPaths FromProgramDir(std::string programDir);
};

// The layout in use. Until SetAppPaths is called it is the layout below the
// running executable's directory.
TAppPaths AppPaths();
void SetAppPaths(const TAppPaths& paths);

std::string AppPath();
std::string StylesPath();
std::string UserDataPath();
std::string TaskDataPath();
std::string DBFileName();
std::string SettingFileName();
std::string AuthFileName();

inline constexpr const char* ConsumerKey = "Hy3nGv8sTa6QwU1j";
inline constexpr const char* ConsumerSecret = "Zb5kMf2cXr9NuE7d";
inline constexpr const char* AppShortName = "Dorvel";
inline constexpr int MaxTaskTitleLength = 100;     // UTF-16 code units
inline constexpr int MaxTaskClassTitleLength = 50; // UTF-16 code units

} // namespace ot
