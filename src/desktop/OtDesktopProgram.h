#pragma once
// The program entry of otTodolist: the application object, the main window
// with its start-up, the dialogs, the event loop.

#include "common/AppPaths.h"

#include <functional>
#include <string>

namespace ot {

class TfrmTaskList;

// Runs the program on the layout below AProgramDir. AOnCreated runs once the
// main window and its dialogs exist, just before the window is shown.
int RunOtTodolist(int& argc, char** argv, const std::string& AProgramDir,
                  const std::function<void(TfrmTaskList&)>& AOnCreated = {});
// The same on the layout APaths (portable or installed).
int RunOtTodolist(int& argc, char** argv, const TAppPaths& APaths,
                  const std::function<void(TfrmTaskList&)>& AOnCreated = {});

} // namespace ot
