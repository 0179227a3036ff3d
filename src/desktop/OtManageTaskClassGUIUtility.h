#pragma once
// TOtManageTaskClassGUI: the class manager's presenter. It keeps the
// manager's list box, the program's class list and the main window's pages
// in step, and has the repository create and delete the classes on disk.
// Entry k of the list box stands for class k and page k.

#include "tasks/OtTask.h"

#include <QString>

class QListWidget;

namespace ot {

class TOtAppCore;
class TOtTaskClassGUI;

class TOtManageTaskClassGUI {
public:
    TOtManageTaskClassGUI(QListWidget* AListBox, TOtTaskClassList& ATaskClassList,
                          TOtTaskClassGUI& ATaskClassGUI, TOtAppCore& AAppCore);

    // One entry per class, in list order.
    void Load();
    void Refresh() { Load(); }
    // Creates the class on disk, appends it to the list and its page to the
    // pager; false when the repository refused.
    bool DoAddTaskClass(const QString& ATaskClassTitle);
    // Asks, then deletes the selected entry's class with all its tasks.
    void DoDeleteTaskClass();

private:
    void AddEntry(const TOtTaskClassPtr& ATaskClass);

    QListWidget* FListBox;
    TOtTaskClassList& FTaskClassList;
    TOtTaskClassGUI& FTaskClassGUI;
    TOtAppCore& FAppCore;
};

// Marks an entry widget selected or not, for the style sheet.
void SetTaskClassEntrySelected(QListWidget* AListBox);

} // namespace ot
