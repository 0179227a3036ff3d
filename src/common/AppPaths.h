#pragma once
// The directory layout below the program directory. A program builds it once
// at start-up (FromProgramDir) and hands it to what works in the directory:
// the repository, the queue, the data check, the token store, the engine.

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
    std::string LockFileName;    // UserDataPath + "otTodolist.lock" (TTreeLock)

    // The layout below programDir (a trailing '/' is added when missing).
    static TAppPaths FromProgramDir(std::string programDir);
};

} // namespace ot
