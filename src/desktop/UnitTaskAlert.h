#pragma once
// TfrmTaskAlert: the small borderless, always-on-top window in the
// bottom-right corner of the screen that lists the tasks due now. Ticking a
// row completes the task through its page in the main window; "I Know"
// hides the window.

#include "tasks/OtTask.h"

#include <QWidget>

#include <memory>

class QFrame;
class QLabel;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace ot {

class TOtTaskAlertThread;
class TOtTaskClassGUI;
class TfrmTaskList;

class TfrmTaskAlert : public QWidget {
    Q_OBJECT
public:
    // ATaskClassGUI: the main window's pager, through which tasks are
    // completed.
    explicit TfrmTaskAlert(TOtTaskClassGUI& ATaskClassGUI);

    void FormCreate();
    // Shows AAlertTaskItemList: title, size, position, rows.
    void UpdateAlertInfo(const TOtTaskItemList& AAlertTaskItemList);
    // The check box of a row was toggled.
    void tvAlertChangeCheck(QTreeWidgetItem* ARow);
    void btnIKnowClick();
    // Takes the task out of the window (answered elsewhere: completed or
    // snoozed from its notification); the last one closes the window.
    void RemoveTaskItem(const TOtTaskItem* AItem);

    const TOtTaskItemList& AlertTaskItemList() const { return FlertTaskItemList; }

    QFrame* Panel1;
    QLabel* lblTitle;
    QTreeWidget* tvAlert;
    QWidget* Layout1;
    QPushButton* btnIKnow;

signals:
    // The task with ID AID left the window: ticked, or answered elsewhere.
    void taskItemAnswered(const QString& AID);

public:
    static constexpr int RowHeight = 41;
    static constexpr int MaxSizedRows = 8;

private:
    TOtTaskClassGUI& FTaskClassGUI;
    TOtTaskItemList FlertTaskItemList;
};

// Completes (or reopens) a task through its page, as a tick in the alert
// window does; false when the task has no page or no row there any more.
bool CompleteAlertedTaskItem(TOtTaskClassGUI& ATaskClassGUI, const TOtTaskItemPtr& AItem,
                             bool IsCompleted);

// The main window's alert thread, created suspended: its checks run on the
// window's thread, read the alert setting afresh, and also send the due
// tasks to the desktop's notification service.
std::unique_ptr<TOtTaskAlertThread> NewTaskAlertThread(TfrmTaskList& AMainForm);

} // namespace ot
