#pragma once
// Pictures of the windows for whoever changes one (scripts/screenshots):
//
//   otTodolist --screenshot VIEW=FILE [--screenshot VIEW=FILE ...]
//
// Once the main window is shown with its current page filled, each VIEW
// ("main", "add", "menu", "toolmenu", "log", "classes", "setting",
// "settingbound", "login", "alert") is grabbed and saved as a PNG,
// in the order given; then the program ends. No sync pass, alert or upgrade
// check starts meanwhile.

#include <QString>
#include <QStringList>

#include <vector>

namespace ot {

class TfrmTaskList;

struct TScreenshotRequest {
    QString View;
    QString File;
};

// The requests of a command line; false when one is malformed.
bool ParseScreenshotRequests(const QStringList& AArgs, std::vector<TScreenshotRequest>& ARequests);
// Takes the pictures; false when one could not be saved.
bool TakeScreenshots(TfrmTaskList& AForm, const std::vector<TScreenshotRequest>& ARequests);

} // namespace ot
