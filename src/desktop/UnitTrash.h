#pragma once
// "Recently Deleted": the tasks deleted in the last 30 days (here, or by a
// pass applying a deletion made on another computer), newest first; one is
// brought back into its list as a new task, which the next pass uploads.

#include "repository/OtTaskOperations.h"
#include "repository/OtTaskTrash.h"

#include <QDialog>

#include <functional>
#include <vector>

class QLabel;
class QPushButton;
class QTreeWidget;

namespace ot {

class TfrmTrash : public QDialog {
    Q_OBJECT
public:
    // AOnRestored runs after a task was stored again (the pages show it).
    TfrmTrash(QWidget* AParent, const TOtTaskOperations& AOperations, TOtTaskClassList& ALists,
              std::function<void(const TOtTaskItemPtr&)> AOnRestored);

    // Reads the trash again and shows it.
    void Reload();
    void btnRestoreClick();

    QTreeWidget* tvTrash;
    QLabel* lblEmpty;
    QPushButton* btnRestore;
    QPushButton* btnClose;

private:
    void TranslateUI();

    const TOtTaskOperations& FOperations;
    TOtTaskClassList& FLists;
    std::function<void(const TOtTaskItemPtr&)> FOnRestored;
    std::vector<TTrashedTask> FKept;
};

} // namespace ot
