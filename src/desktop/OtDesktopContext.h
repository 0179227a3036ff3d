#pragma once
// The window side of the application context: the settings values the
// windows read, and the long-lived windows and presenters every part of the
// program reaches. One per program run (tests make one per main window).

#include "app/AppSettings.h"
#include "tasks/OtTask.h"

namespace ot {

class TfrmAddEditTaskItem;
class TfrmSetDate;
class TfrmSetTime;
class TOtTaskClassGUI;
class TOtTaskUndo;

struct TDesktopContext {
    TAppSettings Settings;
    TOtTaskClassList* TaskClassList = nullptr;
    TOtTaskClassGUI* TaskClassGUI = nullptr;
    // The main window's changes, for Ctrl+Z.
    TOtTaskUndo* Undo = nullptr;
    TfrmAddEditTaskItem* frmAddEditTaskItem = nullptr;
    TfrmSetDate* frmSetDate = nullptr;
    TfrmSetTime* frmSetTime = nullptr;
};

TDesktopContext& DesktopContext();

} // namespace ot
