#pragma once
// The task editor (add and edit mode) and the two pickers it opens. All three
// are created once and reused; every use loads them first.

#include "tasks/OtTask.h"

#include <QDialog>

class QCalendarWidget;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QScrollArea;
class QSpinBox;
class QWidget;

namespace ot {

enum TaskItemFormStatus { tfsAdd, tfsEdit };

class TfrmSetDate : public QDialog {
    Q_OBJECT
public:
    explicit TfrmSetDate(QWidget* parent = nullptr);
    TDateTime Date() const;
    void SetDate(TDateTime value);
    QCalendarWidget* Calendar1;
    QPushButton* btnOK;
    QPushButton* btnCancel;

private:
    void FormCreate();
};

class TfrmSetTime : public QDialog {
    Q_OBJECT
public:
    explicit TfrmSetTime(QWidget* parent = nullptr);
    TDateTime Time() const;
    void SetTime(TDateTime value);
    QSpinBox* nmbbxHour;
    QSpinBox* nmbbxMin;
    QPushButton* btnOK;
    QPushButton* btnCancel;

private:
    void FormCreate();
    void OnNumberBoxChange(QSpinBox* ABox);
};

class TfrmAddEditTaskItem : public QDialog {
    Q_OBJECT
public:
    explicit TfrmAddEditTaskItem(QWidget* parent = nullptr);

    void LoadTaskItemForm(TaskItemFormStatus AFormStatus, const TOtTaskItemPtr& ATaskItem);
    TaskItemFormStatus FormStatus() const { return FFormStatus; }

    void btnOKClick();
    void btnDeleteClick();
    void btnExpirationDateClick();
    void btnAlertTimeClick();
    void btnClearDateClick();
    void btnClearTimeClick();

    // Whether a date/time or clear button has its active style.
    static bool IsActive(const QPushButton* AButton);

    QPushButton* btnCancel;
    QPushButton* btnDelete;
    QPushButton* btnOK;
    QScrollArea* ScrollBox1;
    QWidget* Layout00;
    QLineEdit* edtTaskTitle;
    QCheckBox* chkbxCompleted;
    QLabel* lblRemarks;
    QPlainTextEdit* mmTaskRemarks;
    QLabel* lblExpirationDateAlertTime;
    QPushButton* btnExpirationDate;
    QPushButton* btnClearDate;
    QPushButton* btnAlertTime;
    QPushButton* btnClearTime;
    QLabel* lblPriority;
    QSpinBox* spnbxPriority;
    QLabel* lblTaskClass;
    QComboBox* cmbbxTaskClass;
    QWidget* lytAttribute;
    QLabel* lblAttribute;

private:
    void LoadTaskClassCombobox();
    void LoadAddForm();
    void LoadEditForm();
    bool SaveTaskItemForm();
    void ResetDateTimeButtons();
    bool WarnTitle(const QString& AText);

    TaskItemFormStatus FFormStatus = tfsAdd;
    TOtTaskItemPtr FTaskItem;
};

// Sets a date/time or clear button's style to its active or inactive name.
void SetButtonStyle(QPushButton* AButton, const char* ABaseName);

} // namespace ot
