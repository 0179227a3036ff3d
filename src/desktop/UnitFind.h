#pragma once
// "Find" (Ctrl+F in the main window): a field above the pages; typing
// filters the tasks of every list by title and remarks, without regard to
// letter case (Chinese text as it is), and the results take the pages'
// place while there is text. A result chosen opens its list with the task
// selected; Escape closes the field and the pages come back.

#include "tasks/OtTask.h"

#include <QFrame>
#include <QString>

#include <functional>
#include <vector>

class QLineEdit;
class QListWidget;
class QLabel;

namespace ot {

class TOtFindPanel : public QFrame {
    Q_OBJECT
public:
    explicit TOtFindPanel(QWidget* AParent);

    // Takes the lists' texts, folded (they are read again at every opening:
    // the lists change between two), shows the field and gives it the focus.
    void Open(const TOtTaskClassList& ALists);
    // Hides the field and the results and forgets the texts.
    void Close();
    // Shows the tasks that hold AText (all of them are counted, the first
    // MaxShown shown); the number found.
    int Filter(const QString& AText);
    void Choose(int ARow);
    // Whether the results show (there is text): the pages make room.
    bool ResultsShown() const { return FResultsShown; }

    // A result was chosen (the field is closed by then).
    std::function<void(const TOtTaskItemPtr&)> OnChosen;
    // The results came or went, or the field closed.
    std::function<void()> OnChanged;

    static constexpr int MaxShown = 200;

    QLineEdit* edtFind;
    QListWidget* lvResults;
    QLabel* lblCount;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void ShowResults(bool AShown);

    struct TEntry {
        TOtTaskItemPtr Item;
        QString Shown;  // "title — list"
        QString Folded; // title and remarks, case folded
    };
    std::vector<TEntry> FEntries;
    std::vector<std::size_t> FShown; // entries in the result rows
    bool FResultsShown = false;
};

} // namespace ot
