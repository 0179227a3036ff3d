#pragma once
// The directory layout below the program directory.

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

} // namespace ot
