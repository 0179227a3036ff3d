#pragma once
// The directory layout of an installation. A program builds it once at
// start-up and hands it to what works in the directory: the repository, the
// queue, the data check, the token store, the engine.
//
// Everything the user owns lives below a data root, with the same layout in
// both modes:
//   portable   the program directory itself: it holds a writable userdata/
//              (a build tree, a tarball unpacked by its user, a USB stick) or
//              the marker file otTodolist.portable;
//   installed  otherwise: $XDG_DATA_HOME/otTodolist/ (~/.local/share/otTodolist/),
//              one per user. The read-only parts (styles, the empty queue
//              database) come from the installed data directory.
// This is the one place that decides; nothing else builds a data path.

#include <string>
#include <vector>

namespace ot {

// The file whose presence in the program directory asks for portable mode.
inline constexpr const char* kPortableMarkerName = "otTodolist.portable";
// The empty queue database a portable tarball carries below its program
// directory (so that unpacking a newer one never replaces the user's queue).
inline constexpr const char* kPortableTemplateName = "templates/otTodolist.db";

struct TAppPaths {
    std::string AppPath;         // program directory (the executables), trailing '/'
    std::string DataRoot;        // portable: AppPath; installed: per-user, trailing '/'
    bool Portable = true;
    std::string StylesPath;      // DataRoot + "styles/": the user's own styles
    std::string SharedStylesPath; // installed: the installed styles; portable: empty
    std::string DBTemplateFileName; // the empty queue database to copy, when there is one
    std::string UserDataPath;    // DataRoot + "userdata/1/"
    std::string TaskDataPath;    // UserDataPath + "taskdata/"
    std::string DBFileName;      // UserDataPath + "otTodolist.db"
    std::string SettingFileName; // UserDataPath + "otTodolistSettings.xml"
    std::string AuthFileName;    // UserDataPath + "MyAuth.adb"
    std::string LockFileName;    // UserDataPath + "otTodolist.lock" (TTreeLock)

    // The portable layout below programDir (a trailing '/' is added when
    // missing), whatever the directory holds: what --dir and the tests use.
    static TAppPaths FromProgramDir(std::string programDir);

    // The layout of the installation whose executables are in programDir:
    // portable when the directory says so (above), else installed with the
    // data root of the user running the program (XDG_DATA_HOME, else HOME).
    static TAppPaths ForProgram(std::string programDir);

    // The installed layout with an explicit data root (ForProgram's second case).
    static TAppPaths Installed(std::string programDir, std::string dataRoot);

    // "portable" or "installed", for messages and --version.
    const char* ModeName() const { return Portable ? "portable" : "installed"; }

    // The style directories, the user's own first.
    std::vector<std::string> StyleDirs() const;
    // The full name of the style file AName: the user's copy when there is
    // one, else the installed one; StylesPath + AName when neither exists.
    std::string StyleFile(const std::string& AName) const;

    // The per-user install step: when there is no queue database yet but a
    // template, creates UserDataPath (in installed mode readable by the user
    // alone) and copies the template there. Never replaces a database; the
    // build tree has its database from the build and no template. False with
    // a reason when the directory or the copy could not be made.
    bool PrepareDataRoot(std::string* error = nullptr) const;
};

// The installed data directory (styles, the database template) of a program
// directory: relative to the executables as the install laid them out.
std::string InstalledShareDir(const std::string& AProgramDir);

// A helper program of AProgramDir's programs: beside them (a build tree, a
// portable installation) or in the installed libexec directory.
std::string HelperProgramFile(const std::string& AProgramDir, const std::string& AName);

// $XDG_DATA_HOME/otTodolist/ when XDG_DATA_HOME is an absolute path, else
// $HOME/.local/share/otTodolist/ (HOME, else the password database's home).
// Empty when no home directory can be found.
std::string UserDataRoot();

} // namespace ot
