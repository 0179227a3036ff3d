#pragma once
// "Find" (Ctrl+F in the main window): typing filters the tasks of every list
// by title and remarks, without regard to letter case (Chinese text as it
// is); a result chosen opens its list with the task selected.

#include "tasks/OtTask.h"

#include <QDialog>
#include <QString>

#include <vector>

class QLineEdit;
class QListWidget;
class QLabel;

namespace ot {

class TfrmFind : public QDialog {
    Q_OBJECT
public:
    // The lists' texts are taken once, folded, when the window is made.
    TfrmFind(QWidget* AParent, const TOtTaskClassList& ALists);

    // Shows the tasks that hold AText (all of them are counted, the first
    // MaxShown shown); the number found.
    int Filter(const QString& AText);
    // The task of the chosen result, or nothing.
    TOtTaskItemPtr ChosenItem() const { return FChosen; }
    void Choose(int ARow);

    static constexpr int MaxShown = 200;

    QLineEdit* edtFind;
    QListWidget* lvResults;
    QLabel* lblCount;

private:
    struct TEntry {
        TOtTaskItemPtr Item;
        QString Shown;  // "title — list"
        QString Folded; // title and remarks, case folded
    };
    std::vector<TEntry> FEntries;
    std::vector<std::size_t> FShown; // entries in the result rows
    TOtTaskItemPtr FChosen;
};

} // namespace ot
