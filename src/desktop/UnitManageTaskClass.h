#pragma once
// TfrmManageTaskClass: the task class manager. Classes are added (title in
// the edit box, Enter or the plus button), deleted (minus button, after a
// question) and jumped to (double click); every change is made at once, on
// disk, in the class list, in the pages and in the list box.

#include <QDialog>

#include <memory>

class QLineEdit;
class QListWidget;
class QToolButton;

namespace ot {

class TfrmTaskList;
class TOtManageTaskClassGUI;

class TfrmManageTaskClass : public QDialog {
    Q_OBJECT
public:
    explicit TfrmManageTaskClass(TfrmTaskList& AMainForm);
    ~TfrmManageTaskClass() override;

    void FormCreate();
    void FormDestroy();
    void btnAddTaskClassClick();
    void btnDelTaskClassClick();
    void lbTaskClassDblClick();
    void edtTaskClassNameKeyDown(int Key, Qt::KeyboardModifiers Shift);

    TOtManageTaskClassGUI& ManageTaskClassGUI() { return *FManageTaskClassGUI; }

    QWidget* ToolBar1;
    QLineEdit* edtTaskClassName;
    QToolButton* btnAddTaskClass;
    QToolButton* btnDelTaskClass;
    QListWidget* lbTaskClass;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Warn(const QString& AText);

    TfrmTaskList& FMainForm;
    std::unique_ptr<TOtManageTaskClassGUI> FManageTaskClassGUI;
};

// Shows the manager modally at the main window's place.
void ExecManageTaskClass(TfrmTaskList& AMainForm);

} // namespace ot
