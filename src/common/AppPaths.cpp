#include "common/AppPaths.h"

#include "common/FileUtil.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#ifndef OT_LIBEXEC_FROM_PROGRAM_DIR
#define OT_LIBEXEC_FROM_PROGRAM_DIR "../libexec/otTodolist"
#endif
#ifndef OT_SHARE_FROM_PROGRAM_DIR
#define OT_SHARE_FROM_PROGRAM_DIR "../share/otTodolist"
#endif

namespace ot {

namespace fs = std::filesystem;

namespace {

std::string WithSlash(std::string dir) {
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    return dir;
}

void FillUserData(TAppPaths& p) {
    p.StylesPath = p.DataRoot + "styles/";
    p.UserDataPath = p.DataRoot + "userdata/1/";
    p.TaskDataPath = p.UserDataPath + "taskdata/";
    p.DBFileName = p.UserDataPath + "otTodolist.db";
    p.SettingFileName = p.UserDataPath + "otTodolistSettings.xml";
    p.AuthFileName = p.UserDataPath + "MyAuth.adb";
    p.LockFileName = p.UserDataPath + "otTodolist.lock";
}

bool IsPortableDir(const std::string& dir) {
    std::error_code ec;
    if (fs::exists(dir + kPortableMarkerName, ec))
        return true;
    const std::string userdata = dir + "userdata";
    return fs::is_directory(userdata, ec) && ::access(userdata.c_str(), W_OK | X_OK) == 0;
}

bool Fail(std::string* error, const std::string& text) {
    if (error)
        *error = text;
    return false;
}

} // namespace

TAppPaths TAppPaths::FromProgramDir(std::string programDir) {
    TAppPaths p;
    p.AppPath = WithSlash(std::move(programDir));
    p.DataRoot = p.AppPath;
    p.Portable = true;
    FillUserData(p);
    std::error_code ec;
    if (fs::exists(p.AppPath + kPortableTemplateName, ec))
        p.DBTemplateFileName = p.AppPath + kPortableTemplateName;
    return p;
}

TAppPaths TAppPaths::Installed(std::string programDir, std::string dataRoot) {
    TAppPaths p;
    p.AppPath = WithSlash(std::move(programDir));
    p.DataRoot = WithSlash(std::move(dataRoot));
    p.Portable = false;
    FillUserData(p);
    const std::string share = InstalledShareDir(p.AppPath);
    std::error_code ec;
    // An unpacked tarball used read-only keeps its styles beside the programs.
    p.SharedStylesPath =
        fs::is_directory(share + "styles", ec) ? share + "styles/" : p.AppPath + "styles/";
    if (fs::exists(share + "otTodolist.db", ec))
        p.DBTemplateFileName = share + "otTodolist.db";
    else if (fs::exists(p.AppPath + kPortableTemplateName, ec))
        p.DBTemplateFileName = p.AppPath + kPortableTemplateName;
    return p;
}

TAppPaths TAppPaths::ForProgram(std::string programDir) {
    programDir = WithSlash(std::move(programDir));
    if (IsPortableDir(programDir))
        return FromProgramDir(programDir);
    const std::string root = UserDataRoot();
    // Without any home the program directory is all there is.
    if (root.empty())
        return FromProgramDir(programDir);
    return Installed(programDir, root);
}

std::vector<std::string> TAppPaths::StyleDirs() const {
    std::vector<std::string> dirs{StylesPath};
    if (!SharedStylesPath.empty() && SharedStylesPath != StylesPath)
        dirs.push_back(SharedStylesPath);
    return dirs;
}

std::string TAppPaths::StyleFile(const std::string& AName) const {
    std::error_code ec;
    for (const std::string& dir : StyleDirs())
        if (fs::is_regular_file(dir + AName, ec))
            return dir + AName;
    return StylesPath + AName;
}

bool TAppPaths::PrepareDataRoot(std::string* error) const {
    std::error_code ec;
    if (!Portable && !fs::is_directory(UserDataPath, ec)) {
        // ~/.local/share may not exist yet on a fresh account.
        fs::create_directories(fs::path(DataRoot.substr(0, DataRoot.size() - 1)).parent_path(), ec);
        // Tasks and the cloud token are the user's alone.
        for (const std::string& dir : {DataRoot, DataRoot + "userdata/", UserDataPath}) {
            if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
                return Fail(error, "cannot create the directory \"" + dir +
                                       "\": " + std::strerror(errno));
        }
    }
    if (fs::exists(DBFileName, ec) || DBTemplateFileName.empty())
        return true;
    if (Portable)
        fs::create_directories(UserDataPath, ec);
    std::string data;
    if (!ReadWholeFile(DBTemplateFileName, data))
        return Fail(error, "cannot read the database template \"" + DBTemplateFileName + "\"");
    // Written beside and linked into place: a second program starting at the
    // same moment keeps the copy that came first, with whatever it wrote since.
    const fs::path temp = TempNameBeside(DBFileName);
    if (!WriteFileAtomic(temp, data, 0600))
        return Fail(error, "cannot write \"" + temp.string() + "\"");
    const bool linked = ::link(temp.c_str(), DBFileName.c_str()) == 0 || errno == EEXIST;
    const int linkErrno = errno;
    fs::remove(temp, ec);
    if (!linked)
        return Fail(error, "cannot create \"" + DBFileName + "\": " + std::strerror(linkErrno));
    return true;
}

std::string InstalledShareDir(const std::string& AProgramDir) {
    const fs::path share =
        (fs::path(WithSlash(AProgramDir)) / OT_SHARE_FROM_PROGRAM_DIR).lexically_normal();
    return WithSlash(share.string());
}

std::string HelperProgramFile(const std::string& AProgramDir, const std::string& AName) {
    const std::string beside = WithSlash(AProgramDir) + AName;
    std::error_code ec;
    if (fs::exists(beside, ec))
        return beside;
    return (fs::path(WithSlash(AProgramDir)) / OT_LIBEXEC_FROM_PROGRAM_DIR / AName)
        .lexically_normal()
        .string();
}

std::string UserDataRoot() {
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && xdg[0] == '/')
        return WithSlash(xdg) + "otTodolist/";
    std::string home;
    if (const char* h = std::getenv("HOME"); h && h[0] == '/')
        home = h;
    else if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && pw->pw_dir[0] == '/')
        home = pw->pw_dir;
    if (home.empty())
        return {};
    return WithSlash(home) + ".local/share/otTodolist/";
}

} // namespace ot
