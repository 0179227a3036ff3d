#include "common/AppPaths.h"

namespace ot {

TAppPaths TAppPaths::FromProgramDir(std::string programDir) {
    if (programDir.empty() || programDir.back() != '/')
        programDir += '/';
    TAppPaths p;
    p.AppPath = programDir;
    p.StylesPath = p.AppPath + "styles/";
    p.UserDataPath = p.AppPath + "userdata/1/";
    p.TaskDataPath = p.UserDataPath + "taskdata/";
    p.DBFileName = p.UserDataPath + "otTodolist.db";
    p.SettingFileName = p.UserDataPath + "otTodolistSettings.xml";
    p.AuthFileName = p.UserDataPath + "MyAuth.adb";
    p.LockFileName = p.UserDataPath + "otTodolist.lock";
    return p;
}

} // namespace ot
