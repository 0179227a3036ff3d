#include "common/AppPaths.h"

#include "common/FileUtil.h"

#include <mutex>
#include <optional>

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
    return p;
}

namespace {
std::mutex gMutex;
std::optional<TAppPaths>& Slot() {
    static std::optional<TAppPaths> paths;
    return paths;
}
} // namespace

TAppPaths AppPaths() {
    std::lock_guard lock(gMutex);
    if (!Slot())
        Slot() = TAppPaths::FromProgramDir(ExecutableDir());
    return *Slot();
}

void SetAppPaths(const TAppPaths& paths) {
    std::lock_guard lock(gMutex);
    Slot() = paths;
}

std::string AppPath() { return AppPaths().AppPath; }
std::string StylesPath() { return AppPaths().StylesPath; }
std::string UserDataPath() { return AppPaths().UserDataPath; }
std::string TaskDataPath() { return AppPaths().TaskDataPath; }
std::string DBFileName() { return AppPaths().DBFileName; }
std::string SettingFileName() { return AppPaths().SettingFileName; }
std::string AuthFileName() { return AppPaths().AuthFileName; }

} // namespace ot
