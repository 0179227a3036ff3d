// Translations: the lookup rules, the built-in tables, and a live switch of
// the language in open windows.

#include "desktop/DesktopTestSupport.h"

#include "desktop/OtLang.h"
#include "desktop/OtMessageDialog.h"
#include "desktop/OtTaskGUIUtility.h"
#include "desktop/UnitAddEditTaskItem.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>

#include <gtest/gtest.h>

namespace ot::test {
namespace {

TEST(DesktopLang, LookupFallsBackToEnglishThenToTheKey) {
    TLangApp lang;
    lang.SetTable(QStringLiteral("zz"), TLangApp::ParseTable(QStringLiteral(
                                            "Add=\nEdit=Bearbeiten\nTwo lines=a\\nb\r\n")));
    struct Case {
        const char* Lang;
        const char* Key;
        const char* Want;
    } cases[] = {
        {"en", "Synchronous time interval", "Synchronous time interval (Minute)"},
        {"en", "Add", "Add"},
        {"en", "not a key", "not a key"},
        {"cn", "Default List", "默认任务列表"},
        {"tw", "Default List", "默認任務列表"},
        {"cn", "Dorvel", "Sarnic Tasks"},
        {"en", "Dorvel", "Dorvel"},
        {"cn", "Delete the task item \"%s\"?", "删除任务项“%s”吗？"},
        {"tw", "Expiration Date & Alert Time ", "到期日期 & 提醒時間"},
        {"tw", "Expiration Date & Alert Time", "Expiration Date & Alert Time"},
        {"xx", "_LangTitle", "English"},
        {"zz", "Add", "Add"},
        {"zz", "Edit", "Bearbeiten"},
        {"zz", "Two lines", "a\nb"},
        {"cn", "btnAlertTime", "btnAlertTime"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Lang << ": " << c.Key);
        lang.SetLang(QString::fromUtf8(c.Lang));
        EXPECT_EQ(lang.LangTranslate(QString::fromUtf8(c.Key)).toStdString(), c.Want);
    }
    EXPECT_EQ(lang.Languages(), (QStringList{"en", "cn", "tw", "zz"}));
}

TEST(DesktopLang, SwitchingTheLanguageRetranslatesOpenWindows) {
    TDesktopDir dir;
    dir.AddClass("1000000001AA", "Home");
    TWindow w(dir);
    TfrmAddEditTaskItem& editor = *w.Form->Context().frmAddEditTaskItem;
    EXPECT_EQ(editor.lblPriority->text(), QStringLiteral("Priority"));
    EXPECT_EQ(w.Form->windowTitle(), QStringLiteral("Dorvel"));

    LangApp().SetLang(QStringLiteral("cn"));
    EXPECT_EQ(editor.lblPriority->text(), LangTranslate(QStringLiteral("Priority")));
    EXPECT_NE(editor.lblPriority->text(), QStringLiteral("Priority"));
    EXPECT_EQ(editor.btnOK->text(), QStringLiteral("确定"));
    w.Form->TranslateUI();
    EXPECT_EQ(w.Form->windowTitle(), QStringLiteral("Sarnic Tasks"));
    QAction* about = w.Form->ToolPopupMenu()->findChild<QAction*>(QStringLiteral("pmiAbout"));
    EXPECT_EQ(about->text(), QStringLiteral("关于本程序"));
    // A key beyond ASCII is found as well.
    EXPECT_EQ(w.Form->ToolPopupMenu()->findChild<QAction*>(QStringLiteral("pmiImport"))->text(),
              QStringLiteral("导入…"));
    // A page's menu follows when it opens; a class title never changes.
    TOtTaskListItem& page = *w.Form->TaskClassGUI()->CurrentTaskListItem();
    page.PreparePopupMenu(-1);
    EXPECT_EQ(page.PopupMenu()->findChild<QAction*>(QStringLiteral("pmiAdd"))->text(),
              LangTranslate(QStringLiteral("Add")));
    EXPECT_EQ(page.Title(), QStringLiteral("Home"));

    LangApp().SetLang(QStringLiteral("tw"));
    EXPECT_EQ(editor.lblPriority->text(), LangTranslate(QStringLiteral("Priority")));
    w.Form->TranslateUI();
    EXPECT_EQ(about->text(), QStringLiteral("關於本程式"));
}

TEST(DesktopLang, MessageBoxesTranslateCaptionTextAndButtons) {
    TDesktopDir dir;
    dir.WriteSetting("Lang", "cn");
    TWindow w(dir);
    TModalAnswers answers;
    QString yes, no;
    answers.Then([&](QDialog& d) {
        auto& box = static_cast<QMessageBox&>(d);
        yes = box.button(QMessageBox::Yes)->text();
        no = box.button(QMessageBox::No)->text();
        EXPECT_EQ(box.defaultButton(), box.button(QMessageBox::No));
        // Centred on the recorded main window.
        EXPECT_EQ(box.x(), MainFormPosSize.Left + MainFormPosSize.Width / 2 - box.width() / 2);
        EXPECT_EQ(box.y(), MainFormPosSize.Top + MainFormPosSize.Height / 2 - box.height() / 2);
        return static_cast<int>(QMessageBox::No);
    });
    w.Flags.IsSyncRunning = true;
    MainFormPosSize = {100, 200, 320, 480};
    EXPECT_FALSE(w.Form->close());
    w.Flags.IsSyncRunning = false;
    ASSERT_EQ(answers.Shown().size(), 1u);
    EXPECT_EQ(answers.Shown()[0].Caption, LangTranslate(QStringLiteral("Confirm")));
    EXPECT_EQ(answers.Shown()[0].Text,
              LangTranslate(QStringLiteral("Data synchronization is running in the background! "
                                           "If you want to quit the program, synchronization "
                                           "will be terminated. Continue?")));
    EXPECT_EQ(yes, QStringLiteral("是"));
    EXPECT_EQ(no, QStringLiteral("否"));
}

} // namespace
} // namespace ot::test
