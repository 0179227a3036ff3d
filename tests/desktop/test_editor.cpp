// The task editor and its pickers: the two modes, which date and time
// buttons are active when, and what OK saves.

#include "desktop/DesktopTestSupport.h"

#include "desktop/OtDateTimeText.h"
#include "desktop/OtTaskGUIUtility.h"
#include "desktop/UnitAddEditTaskItem.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>

#include <gtest/gtest.h>

namespace ot::test {
namespace {

class DesktopEditor : public ::testing::Test {
protected:
    DesktopEditor() {
        dir.AddClass("1000000001AA", "Home");
        dir.AddClass("1000000002AA", "Work");
        w = std::make_unique<TWindow>(dir);
        editor = w->Form->Context().frmAddEditTaskItem;
        home = w->Form->TaskClassList()[0];
    }
    TOtTaskItemPtr Item() {
        auto item = std::make_shared<TOtTaskItem>("call Bob", home);
        item->SetCreateDateTime(EncodeDateTime(2024, 1, 2, 3, 4, 5));
        return item;
    }
    // Which of the four date/time buttons have their active style.
    std::string ActiveButtons() {
        std::string s;
        for (auto [name, b] : {std::pair{"date ", editor->btnExpirationDate},
                               std::pair{"time ", editor->btnAlertTime},
                               std::pair{"cleardate ", editor->btnClearDate},
                               std::pair{"cleartime ", editor->btnClearTime}})
            if (TfrmAddEditTaskItem::IsActive(b))
                s += name;
        return s;
    }

    TDesktopDir dir;
    std::unique_ptr<TWindow> w;
    TfrmAddEditTaskItem* editor = nullptr;
    TOtTaskClassPtr home;
};

TEST_F(DesktopEditor, AddAndEditModesPrepareTheirControls) {
    auto item = Item();
    item->SetRemarks("about the roof");
    item->SetPriority(8);
    item->SetStatus(tsCleared);
    item->SetExpirationDate(EncodeDate(2025, 6, 7));
    item->SetAlertTime(EncodeTime(18, 30));
    item->SetFinishDateTime(EncodeDateTime(2024, 1, 3, 9, 0));
    struct Case {
        TaskItemFormStatus Mode;
        const char* Caption;
        bool Delete;
        const char* Title;
        bool Completed;
        int Priority;
        bool ClassEnabled;
        std::string Active;
    } cases[] = {
        {tfsAdd, "Add Task Item", false, "call Bob", false, 5, false, "date "},
        {tfsEdit, "Edit Task Item", true, "call Bob", true, 8, true,
         "date time cleardate cleartime "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Caption);
        editor->LoadTaskItemForm(c.Mode, item);
        EXPECT_EQ(editor->windowTitle().toStdString(), c.Caption);
        EXPECT_EQ(!editor->btnDelete->isHidden(), c.Delete);
        EXPECT_EQ(editor->edtTaskTitle->text().toStdString(), c.Title);
        EXPECT_EQ(editor->chkbxCompleted->isChecked(), c.Completed);
        EXPECT_EQ(editor->spnbxPriority->value(), c.Priority);
        EXPECT_EQ(editor->cmbbxTaskClass->isEnabled(), c.ClassEnabled);
        EXPECT_EQ(editor->cmbbxTaskClass->currentText(), QStringLiteral("Home"));
        EXPECT_EQ(ActiveButtons(), c.Active);
    }
    EXPECT_EQ(editor->mmTaskRemarks->toPlainText(), QStringLiteral("about the roof"));
    EXPECT_EQ(editor->btnExpirationDate->text(), ShortDateText(item->ExpirationDate()));
    EXPECT_EQ(editor->lblAttribute->text(), DateTimeText(item->CreateDateTime()) +
                                                QStringLiteral(" ~ ") +
                                                DateTimeText(item->FinishDateTime()));
    item->SetFinishDateTime(0);
    editor->LoadTaskItemForm(tfsEdit, item);
    EXPECT_EQ(editor->lblAttribute->text(),
              QStringLiteral("Create DateTime: ") + DateTimeText(item->CreateDateTime()));
}

TEST_F(DesktopEditor, AlertTimeNeedsADateAndClearingTheDateClearsTheTime) {
    editor->LoadTaskItemForm(tfsAdd, Item());
    {
        TModalAnswers none; // the inactive alert button opens nothing
        editor->btnAlertTimeClick();
        editor->btnClearDateClick();
    }
    EXPECT_EQ(ActiveButtons(), "date ");

    TModalAnswers answers;
    answers
        .Then([](QDialog& d) {
            static_cast<TfrmSetDate&>(d).SetDate(EncodeDate(2025, 2, 3));
            return static_cast<int>(QDialog::Accepted);
        })
        .Then([](QDialog& d) {
            auto& picker = static_cast<TfrmSetTime&>(d);
            EXPECT_EQ(picker.nmbbxHour->text(), QStringLiteral("09")) << "leading zero";
            picker.nmbbxHour->setValue(7);
            picker.nmbbxMin->setValue(45);
            return static_cast<int>(QDialog::Accepted);
        });
    editor->btnExpirationDateClick();
    EXPECT_EQ(ActiveButtons(), "date time cleardate ");
    editor->btnAlertTimeClick();
    EXPECT_EQ(ActiveButtons(), "date time cleardate cleartime ");
    EXPECT_EQ(editor->btnAlertTime->text(), QStringLiteral("07:45"));

    editor->btnClearTimeClick();
    EXPECT_EQ(ActiveButtons(), "date time cleardate ") << "clearing the time keeps the date";
    EXPECT_EQ(editor->btnAlertTime->text(), QStringLiteral("No Alert"));
    editor->btnClearDateClick();
    EXPECT_EQ(ActiveButtons(), "date ");
    EXPECT_EQ(editor->btnExpirationDate->text(), QStringLiteral("Set Date"));
}

TEST_F(DesktopEditor, OKCopiesTheDialogIntoTheItem) {
    auto item = Item();
    item->SetStatus(tsCompleted);
    item->SetFinishDateTime(EncodeDate(2000, 1, 1));
    item->SetExpirationDate(EncodeDate(2025, 6, 7));
    item->SetAlertTime(EncodeTime(18, 30));
    editor->LoadTaskItemForm(tfsEdit, item);
    editor->edtTaskTitle->setText(QStringLiteral(" call Bob twice "));
    editor->mmTaskRemarks->setPlainText(QStringLiteral("a\nb"));
    editor->spnbxPriority->setValue(2);
    editor->cmbbxTaskClass->setCurrentIndex(1);
    editor->btnOKClick();
    EXPECT_EQ(editor->result(), QDialog::Accepted);
    EXPECT_EQ(item->Title(), " call Bob twice ");
    EXPECT_EQ(item->Remarks(), "a\nb");
    EXPECT_EQ(item->Priority(), 2);
    EXPECT_EQ(item->Status(), tsCompleted);
    EXPECT_EQ(item->FinishDateTime(), EncodeDate(2000, 1, 1))
        << "a task completed before keeps when it was finished";
    EXPECT_EQ(item->ExpirationDate(), EncodeDate(2025, 6, 7));
    EXPECT_EQ(item->AlertTime(), EncodeTime(18, 30));
    EXPECT_EQ(item->TaskClass(), w->Form->TaskClassList()[1]);
    EXPECT_TRUE(item->IsTaskClassChange());

    editor->LoadTaskItemForm(tfsEdit, item);
    editor->chkbxCompleted->setChecked(false);
    editor->btnClearDateClick();
    editor->btnOKClick();
    EXPECT_EQ(item->Status(), tsNotCompleted);
    EXPECT_EQ(item->FinishDateTime(), 0);
    EXPECT_EQ(item->ExpirationDate(), 0);
    EXPECT_EQ(item->AlertTime(), 0);
}

TEST_F(DesktopEditor, DeleteAsksAndNoKeepsTheEditorOpen) {
    TOtTaskListItem& page = *w->Form->TaskClassGUI()->CurrentTaskListItem();
    ASSERT_TRUE(page.DoAddTaskItemQuick(QStringLiteral("old")));
    page.SelectRow(0);
    editor->LoadTaskItemForm(tfsEdit, page.TaskClass()->TaskList()[0]);
    for (int answer : {QMessageBox::No, QMessageBox::Yes}) {
        TModalAnswers answers;
        answers.ThenButton(answer);
        editor->setResult(-1);
        editor->btnDeleteClick();
        EXPECT_EQ(editor->result(), answer == QMessageBox::Yes ? QDialog::Rejected : -1);
    }
    EXPECT_EQ(page.TaskCount(), 0);
}

} // namespace
} // namespace ot::test
