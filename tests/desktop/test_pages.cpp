// The pages: rows in their named styles, the context menu's enabling, copy
// and paste, completing, editing into another class, deleting.

#include "desktop/DesktopTestSupport.h"

#include "app/AppContext.h"
#include "common/Clock.h"
#include "common/FileUtil.h"
#include "common/Random.h"
#include "common/TreeLock.h"
#include "desktop/OtAppCore.h"
#include "desktop/OtLang.h"
#include "desktop/OtTaskGUIUtility.h"
#include "desktop/UnitAddEditTaskItem.h"
#include "desktop/UnitFind.h"
#include "desktop/UnitTrash.h"
#include "repository/OtTaskExchange.h"
#include "repository/OtTaskOperations.h"
#include "repository/OtTaskUndo.h"
#include "syncqueue/OtSyncQueueDBModel.h"
#include "syncqueue/OtSyncQueueUtility.h"
#include "syncqueue/SQLiteDB.h"
#include "tasks/OtTaskUtility.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QTest>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace ot::test {
namespace {

namespace fs = std::filesystem;

class DesktopPage : public ::testing::Test {
protected:
    void Open(const std::vector<std::pair<std::string, int>>& items, const char* view = "0",
              const char* style = "") {
        dir.AddClass("1000000001AA", "Home", items);
        dir.AddClass("1000000002AA", "Work");
        dir.WriteSetting("TaskListViewType", view);
        dir.WriteSetting("AppStyle", style);
        w = std::make_unique<TWindow>(dir);
    }
    TOtTaskListItem& Page() { return *w->Form->TaskClassGUI()->CurrentTaskListItem(); }
    const TTaskRow& Row(int i) { return Page().TaskListGUI().Model().Row(i); }
    std::vector<int> Priorities() {
        std::vector<int> p;
        for (const auto& item : Page().TaskClass()->TaskList())
            p.push_back(item->Priority());
        return p;
    }

    TDesktopDir dir;
    std::unique_ptr<TWindow> w;
};

TEST_F(DesktopPage, ContextMenuEnablingFollowsTheRowAndTheClipboard) {
    Open({{"a", 5}});
    struct Case {
        int Row;
        QString Clipboard;
        std::set<QString> Enabled;
    } cases[] = {
        {0,
         QStringLiteral("hello"),
         {"pmiEdit", "pmiDelete", "pmiCopyText", "pmiCopy", "pmiRefresh"}},
        {0,
         QStringLiteral("TaskFilePath:/x"),
         {"pmiEdit", "pmiDelete", "pmiCopyText", "pmiCopy", "pmiPaste", "pmiRefresh"}},
        {-1, QStringLiteral(" TaskFilePath:/x"), {"pmiAdd", "pmiRefresh"}},
        {-1, QStringLiteral("TaskFilePath:/x"), {"pmiAdd", "pmiPaste", "pmiRefresh"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Row << " " << c.Clipboard.toStdString());
        QGuiApplication::clipboard()->setText(c.Clipboard);
        Page().PreparePopupMenu(c.Row);
        std::set<QString> enabled;
        for (QAction* a : Page().PopupMenu()->actions())
            if (!a->isSeparator() && a->isEnabled())
                enabled.insert(a->objectName());
        EXPECT_EQ(enabled, c.Enabled);
    }
}

TEST_F(DesktopPage, RightClickOnARowSelectsItAndOpensTheMenu) {
    Open({{"a", 5}, {"b", 3}});
    QListView* view = Page().TreeView();
    const QRect second = view->visualRect(Page().TaskListGUI().Model().index(1));
    Page().TreeViewMouseDown(second.center());
    EXPECT_EQ(Page().SelectedRow(), 1);
    EXPECT_TRUE(Page().PopupMenu()->isVisible());
    EXPECT_FALSE(Page().PopupMenu()->findChild<QAction*>(QStringLiteral("pmiAdd"))->isEnabled());
    Page().PopupMenu()->hide();
}

TEST_F(DesktopPage, NewItemsGoAboveTheirOwnPriority) {
    struct Case {
        std::vector<int> Existing;
        int Priority;
        int Want;
    } cases[] = {{{9, 5, 3, 1}, 3, 2}, {{9, 5, 3, 1}, 0, 4}, {{9, 1}, 2, 1}, {{}, 7, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "priority " << c.Priority);
        TDesktopDir d;
        std::vector<std::pair<std::string, int>> items;
        for (int p : c.Existing)
            items.push_back({"p" + std::to_string(p), p});
        d.AddClass("1000000001AA", "Home", items);
        TWindow win(d);
        TOtTaskListItem& page = *win.Form->TaskClassGUI()->CurrentTaskListItem();
        auto item = std::make_shared<TOtTaskItem>("new", page.TaskClass());
        item->SetPriority(c.Priority);
        ASSERT_TRUE(page.DoAddTaskItem(item));
        EXPECT_EQ(page.GetTreeViewItemByTaskItem(item), c.Want);
        EXPECT_EQ(page.TaskClass()->TaskList()[static_cast<std::size_t>(c.Want)], item);
    }
}

TEST_F(DesktopPage, SimpleRowsShowCompletionTickedStruckOutInTheirStyle) {
    Open({{"a", 5}}, "0", "Dark.0.Style");
    EXPECT_EQ(Row(0).StyleName, QStringLiteral("TVTaskItemSimpleNotCompleted0"));
    EXPECT_FALSE(Row(0).Checked);
    EXPECT_EQ(Row(0).Height, 23);

    // The check box of the row, as the user clicks it.
    QListView* view = Page().TreeView();
    const QRect rect = view->visualRect(Page().TaskListGUI().Model().index(0));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {},
                      TTaskItemDelegate::CheckBoxRect(rect).center());
    const TOtTaskItemPtr item = Row(0).Item;
    EXPECT_EQ(item->Status(), tsCompleted);
    EXPECT_NE(item->FinishDateTime(), 0);
    EXPECT_EQ(Row(0).StyleName, QStringLiteral("TVTaskItemSimpleCompleted0"));
    EXPECT_TRUE(Row(0).Checked);
    EXPECT_TRUE(Row(0).StrikeOut);
    EXPECT_TRUE(fs::exists(dir.TaskData() + item->Path())) << "saved under its new name";

    Page().DoTaskItemCompleted(0, false);
    EXPECT_EQ(item->Status(), tsNotCompleted);
    EXPECT_EQ(item->FinishDateTime(), 0);
    EXPECT_FALSE(Row(0).Checked);
    EXPECT_FALSE(Row(0).StrikeOut);
}

TEST(DesktopRowLook, RowsTakeTheirColoursAndFontsFromTheStyleSheet) {
    qApp->setStyleSheet(QStringLiteral(
        "[StyleLookup=\"TVTaskItemSimpleCompleted0\"] { background-color: #101010; }"
        "[StyleLookup=\"TVTaskItemSimpleCompleted0\"][selected=\"true\"] "
        "{ background-color: #202020; }"
        "[StyleLookup=\"TVTaskItemSimpleCompleted0\"] QLabel#title { color: #303030; }"
        "[StyleLookup=\"TVTaskItemSimpleCompleted0\"][selected=\"true\"] QLabel#title "
        "{ color: #404040; }"
        "[StyleLookup=\"TVTaskItemDetailWithRemarks0\"] QLabel#title { font-size: 15px; }"
        "[StyleLookup=\"TVTaskItemDetailWithRemarks0\"] QLabel#remarks { color: #505050; }"));
    const TRowLook simple = RowLook(QStringLiteral("TVTaskItemSimpleCompleted0"));
    EXPECT_EQ(simple.Background, QColor(0x10, 0x10, 0x10));
    EXPECT_EQ(simple.SelectedBackground, QColor(0x20, 0x20, 0x20));
    EXPECT_EQ(simple.Title, QColor(0x30, 0x30, 0x30));
    EXPECT_EQ(simple.SelectedTitle, QColor(0x40, 0x40, 0x40));
    const TRowLook detail = RowLook(QStringLiteral("TVTaskItemDetailWithRemarks0"));
    EXPECT_EQ(detail.TitleFont.pixelSize(), 15);
    EXPECT_EQ(detail.Other, QColor(0x50, 0x50, 0x50));

    qApp->setStyleSheet(QString());
    const TRowLook builtIn = RowLook(QStringLiteral("TVTaskItemSimpleCompleted0"));
    EXPECT_NE(builtIn.Background, QColor(0x10, 0x10, 0x10)) << "a new sheet is read again";
    EXPECT_NE(builtIn.Title, RowLook(QStringLiteral("TVTaskItemSimpleNotCompleted0")).Title)
        << "completed simple rows are greyed";
}

TEST_F(DesktopPage, DetailRowsShowRemarksOnOneLineAndDateAndTime) {
    Open({}, "1");
    struct Case {
        const char* Remarks;
        TDateTime Date, Alert;
        const char* Style;
        const char* RemarksShown;
        const char* DateTime;
    } cases[] = {
        {"one\ntwo\nthree", 0, 0, "TVTaskItemDetailWithRemarks1", "one two three", ""},
        {"", EncodeDate(2024, 3, 9), 0, "TVTaskItemDetailNoRemarks1", "", "24-03-09"},
        {"", EncodeDate(2024, 3, 9), EncodeTime(7, 5), "TVTaskItemDetailNoRemarks1", "",
         "24-03-09\r\n07:05"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Style);
        auto item = std::make_shared<TOtTaskItem>("t", Page().TaskClass());
        item->SetRemarks(c.Remarks);
        item->SetExpirationDate(c.Date);
        item->SetAlertTime(c.Alert);
        ASSERT_TRUE(Page().DoAddTaskItem(item));
        const TTaskRow& row = Row(Page().GetTreeViewItemByTaskItem(item));
        EXPECT_EQ(row.StyleName.toStdString(), c.Style);
        EXPECT_EQ(row.Remarks.toStdString(), c.RemarksShown);
        EXPECT_EQ(row.DateTime.toStdString(), c.DateTime);
        EXPECT_EQ(row.Height, 41);
    }
}

TEST_F(DesktopPage, CopyThenPasteDuplicatesTheItemAfterTheQuestion) {
    Open({{"milk", 4}});
    Page().SelectRow(0);
    Page().DoCopyTaskItem();
    const TOtTaskItemPtr original = Row(0).Item;
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(),
              "TaskFilePath:" + dir.TaskData() + original->Path());
    {
        TModalAnswers answers;
        answers.ThenButton(QMessageBox::No);
        Page().DoPasteTaskItem();
        ASSERT_EQ(answers.Shown().size(), 1u);
        EXPECT_EQ(answers.Shown()[0].Text, QStringLiteral("Paste the task item \"milk\"?"));
        EXPECT_EQ(Page().TaskCount(), 1);
    }
    TModalAnswers answers;
    answers.ThenButton(QMessageBox::Yes);
    Page().DoPasteTaskItem();
    ASSERT_EQ(Page().TaskCount(), 2);
    const auto& list = Page().TaskClass()->TaskList();
    const TOtTaskItemPtr copy = list[0] == original ? list[1] : list[0];
    EXPECT_EQ(copy->Title(), "milk");
    EXPECT_EQ(copy->Priority(), 4);
    EXPECT_NE(copy->ID(), original->ID());
    EXPECT_NE(copy->CreateDateTime(), original->CreateDateTime());
    EXPECT_TRUE(TOtSyncQueueDBUtility(dir.Database()).GetSyncQueueItem(copy->ID()));

    Page().SelectRow(Page().GetTreeViewItemByTaskItem(original));
    original->SetRemarks("2 litres");
    Page().DoCopyTaskItemText();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("milk\r\n2 litres"));
}

TEST_F(DesktopPage, DeleteAsksAndOnlyYesDeletes) {
    Open({{"milk", 4}});
    const TOtTaskItemPtr item = Row(0).Item;
    for (int answer : {QMessageBox::No, QMessageBox::Yes}) {
        Page().SelectRow(0);
        TModalAnswers answers;
        answers.ThenButton(answer);
        EXPECT_EQ(Page().DoDeleteTaskItem(), answer == QMessageBox::Yes);
        EXPECT_EQ(answers.Shown()[0].Text, QStringLiteral("Delete the task item \"milk\"?"));
    }
    EXPECT_EQ(Page().TaskCount(), 0);
    EXPECT_TRUE(Page().TaskClass()->TaskList().empty());
    EXPECT_EQ(dir.Tree().size(), 2u) << "only the two class directories are left";
}

TEST_F(DesktopPage, EditingIntoAnotherClassMovesTheRowAndMarksThatPage) {
    Open({{"milk", 4}, {"bread", 2}});
    Page().SelectRow(0);
    TModalAnswers answers;
    answers.Then([](QDialog& d) {
        auto& editor = static_cast<TfrmAddEditTaskItem&>(d);
        EXPECT_EQ(editor.FormStatus(), tfsEdit);
        editor.cmbbxTaskClass->setCurrentIndex(1);
        editor.btnOKClick();
        return d.result();
    });
    ASSERT_TRUE(Page().DoEditTaskItem());
    EXPECT_EQ(Page().TaskCount(), 1);
    TOtTaskListItem& work = *w->Form->TaskClassGUI()->TaskListItems()[1];
    EXPECT_EQ(work.Tag(), 1);
    ASSERT_EQ(work.TaskClass()->TaskList().size(), 1u);
    EXPECT_EQ(work.TaskClass()->TaskList()[0]->Title(), "milk");
    w->Form->btnMoveRightClick();
    EXPECT_EQ(work.TaskCount(), 1) << "the target page shows it when it is shown";
    EXPECT_EQ(work.Tag(), 0);
}

// Ctrl+F finds tasks of every list by title and remarks, in any letter case
// and in Chinese; the one chosen is shown selected in its page.
TEST_F(DesktopPage, FindShowsTheChosenTaskInItsPage) {
    dir.AddClass("1000000003AA", "\xE6\x97\x85\xE8\xA1\x8C",
                 {{"\xE8\xAE\xA2\xE9\xA5\xAD\xE5\xBA\x97", 5}});
    Open({{"Buy MILK", 4}, {"bread", 2}});
    QTest::keyClick(w->Form.get(), Qt::Key_F, Qt::ControlModifier);
    TOtFindPanel& find = *w->Form->pnlFind;
    ASSERT_TRUE(find.isVisible());
    EXPECT_TRUE(find.edtFind->hasFocus());
    const struct {
        const char* Text;
        int Found;
    } cases[] = {{"milk", 1}, {"MiLk", 1}, {"b", 2}, {"\xE9\xA5\xAD", 1}, {"nothing", 0}, {"", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        EXPECT_EQ(find.Filter(QString::fromUtf8(c.Text)), c.Found);
        EXPECT_EQ(find.lvResults->count(), c.Found);
    }
    // Typed into the field, the results stand in the pages' place; Escape
    // brings the pages back.
    QTest::keyClicks(find.edtFind, QStringLiteral("bre"));
    EXPECT_EQ(find.lvResults->count(), 1);
    EXPECT_TRUE(w->Form->sbTasks->isHidden());
    QTest::keyClick(find.edtFind, Qt::Key_Escape);
    EXPECT_TRUE(find.isHidden());
    EXPECT_FALSE(w->Form->sbTasks->isHidden());
    // Chosen with Enter: the field closes, its page comes to the front.
    QTest::keyClick(w->Form.get(), Qt::Key_F, Qt::ControlModifier);
    EXPECT_EQ(find.edtFind->text(), QString()) << "a new search each time";
    find.edtFind->setText(QString::fromUtf8("\xE9\xA5\xAD"));
    QTest::keyClick(find.edtFind, Qt::Key_Return);
    EXPECT_TRUE(find.isHidden());
    EXPECT_FALSE(w->Form->sbTasks->isHidden());
    EXPECT_EQ(Page().TaskClass()->ID(), "1000000003AA");
    ASSERT_GE(Page().SelectedRow(), 0);
    EXPECT_EQ(Row(Page().SelectedRow()).Title,
              QString::fromUtf8("\xE8\xAE\xA2\xE9\xA5\xAD\xE5\xBA\x97"));
}

// A deleted task is back from "Recently Deleted" as a new task in its page;
// the window then shows nothing more.
TEST_F(DesktopPage, ADeletedTaskComesBackFromRecentlyDeleted) {
    Open({{"milk", 4}, {"bread", 2}});
    Page().SelectRow(0);
    {
        TModalAnswers answers;
        answers.ThenButton(QMessageBox::Yes);
        ASSERT_TRUE(Page().DoDeleteTaskItem());
    }
    ASSERT_EQ(Page().TaskCount(), 1);
    QAction* entry = w->Form->ToolPopupMenu()->findChild<QAction*>(QStringLiteral("pmiTrash"));
    ASSERT_TRUE(entry);
    TModalAnswers answers;
    answers.Then([](QDialog& d) {
        auto& trash = static_cast<TfrmTrash&>(d);
        EXPECT_EQ(trash.tvTrash->topLevelItemCount(), 1);
        EXPECT_EQ(trash.tvTrash->topLevelItem(0)->text(2), QStringLiteral("milk"));
        EXPECT_FALSE(trash.btnRestore->isEnabled()) << "nothing chosen yet";
        trash.tvTrash->setCurrentItem(trash.tvTrash->topLevelItem(0));
        EXPECT_TRUE(trash.btnRestore->isEnabled());
        trash.btnRestoreClick();
        EXPECT_EQ(trash.tvTrash->topLevelItemCount(), 0);
        EXPECT_FALSE(trash.lblEmpty->isHidden());
        return static_cast<int>(QDialog::Accepted);
    });
    entry->trigger();
    ASSERT_EQ(Page().TaskCount(), 2);
    EXPECT_EQ(Row(0).Title, QStringLiteral("milk"));
    const auto& list = Page().TaskClass()->TaskList();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_TRUE(fs::exists(dir.TaskData() + list[0]->Path())) << "stored again";
}

// Ctrl+Z takes the window's changes back one by one, newest first: a
// deletion (the task comes back), a move into another list, a completion,
// an addition; each undo is stored like any change. In the entry box,
// Ctrl+Z undoes the typing while there is some.
TEST_F(DesktopPage, CtrlZUndoesTheLastChangesOfTheWindow) {
    Open({{"milk", 4}, {"bread", 2}});
    const auto shown = [&] {
        std::string out;
        for (const auto& page : w->Form->TaskClassGUI()->TaskListItems()) {
            if (!page->IsLoaded() || page->Tag() == 1)
                page->LoadTaskList(TaskSortField, TaskSortOrder);
            out += page->TaskClass()->Title() + ":";
            for (int i = 0; i < page->TaskCount(); ++i) {
                const TOtTaskItem& item = *page->TaskListGUI().Model().Row(i).Item;
                out += " " + item.Title() + (item.Status() == tsCompleted ? "+" : "");
                EXPECT_TRUE(fs::exists(dir.TaskData() + item.Path())) << item.Title();
            }
            out += "\n";
        }
        return out;
    };
    const auto ctrlZ = [&] {
        w->Form->TaskClassGUI()->SetTaskClassIndex(0);
        QTest::keyClick(w->Form.get(), Qt::Key_Z, Qt::ControlModifier);
    };
    std::vector<std::string> states{shown()};
    ASSERT_TRUE(Page().DoAddTaskItemQuick(QStringLiteral("eggs")));
    states.push_back(shown());
    Page().DoTaskItemCompleted(Page().GetTreeViewItemByTaskItem(Page().TaskClass()->TaskList()[2]),
                               true);
    states.push_back(shown());
    Page().SelectRow(0);
    {
        TModalAnswers answers;
        answers.Then([](QDialog& d) {
            auto& editor = static_cast<TfrmAddEditTaskItem&>(d);
            editor.cmbbxTaskClass->setCurrentIndex(1);
            editor.btnOKClick();
            return d.result();
        });
        ASSERT_TRUE(Page().DoEditTaskItem());
    }
    states.push_back(shown());
    Page().SelectRow(0);
    {
        TModalAnswers answers;
        answers.ThenButton(QMessageBox::Yes);
        ASSERT_TRUE(Page().DoDeleteTaskItem());
    }
    ASSERT_EQ(states.size(), 4u);
    EXPECT_EQ(states[3], "Home: milk bread+\nWork: eggs\n");
    EXPECT_EQ(shown(), "Home: bread+\nWork: eggs\n");

    // Typing in the entry box is undone there first.
    w->Form->edtTask->setFocus();
    QTest::keyClicks(w->Form->edtTask, QStringLiteral("tea"));
    QTest::keyClick(w->Form->edtTask, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(w->Form->edtTask->text(), QString());
    EXPECT_EQ(w->Form->UndoHistory()->Size(), 4u);
    for (int k = 3; k >= 0; --k) {
        ctrlZ();
        EXPECT_EQ(shown(), states[static_cast<std::size_t>(k)]) << "undo " << 4 - k;
    }
    EXPECT_FALSE(w->Form->UndoHistory()->CanUndo());
    ctrlZ();
    EXPECT_EQ(shown(), states[0]) << "nothing left to undo changes nothing";
    // Stored: the lists read again from disk say the same.
    TOtTaskClassList loaded;
    TOtAppCore(dir.Path()).LoadTaskClassList(loaded);
    std::set<std::string> titles;
    for (const auto& c : loaded)
        for (const auto& i : c->TaskList())
            titles.insert(c->Title() + "/" + i->Title() + (i->Status() == tsCompleted ? "+" : ""));
    EXPECT_EQ(titles, (std::set<std::string>{"Home/bread", "Home/milk"}));
}

// "Export…" writes every list into the file chosen, in the format its name
// tells; "Import…" reads another program's file into the lists (a task that
// names no list goes into the page shown, a list it names is made with its
// page), says what it took, and a second import of the file adds nothing.
TEST_F(DesktopPage, ImportAndExportFromTheToolMenu) {
    Open({{"milk", 4}, {"bread", 2}});
    const auto trigger = [&](const char* name) {
        QAction* entry = w->Form->ToolPopupMenu()->findChild<QAction*>(QLatin1String(name));
        ASSERT_TRUE(entry) << name;
        entry->trigger();
    };
    const std::string ics = dir.Path() + "/out.ics";
    w->Form->ChooseExchangeFile = [&](bool save) {
        EXPECT_TRUE(save);
        return QString::fromStdString(ics);
    };
    {
        TModalAnswers answers;
        answers.ThenButton(QMessageBox::Ok);
        trigger("pmiExport");
        ASSERT_EQ(answers.Shown().size(), 1u);
        EXPECT_EQ(answers.Shown()[0].Text,
                  QString::fromStdString("2 task(s) exported to " + ics + "."));
    }
    {
        // A file that cannot be written is said so, and nothing else is made.
        const std::string nowhere = dir.Path() + "/no such folder/out.json";
        w->Form->ChooseExchangeFile = [&](bool) { return QString::fromStdString(nowhere); };
        TModalAnswers answers;
        answers.ThenButton(QMessageBox::Ok);
        trigger("pmiExport");
        ASSERT_EQ(answers.Shown().size(), 1u);
        EXPECT_TRUE(
            answers.Shown()[0].Text.startsWith(QStringLiteral("The tasks could not be exported: ")))
            << answers.Shown()[0].Text.toStdString();
        EXPECT_FALSE(fs::exists(fs::path(nowhere).parent_path()));
    }
    std::string text;
    ASSERT_TRUE(ReadWholeFile(ics, text));
    const TImportSource back = ReadImport(text);
    EXPECT_EQ(back.Format, "iCalendar");
    ASSERT_EQ(back.Tasks.size(), 2u);
    EXPECT_EQ(back.Tasks[0].List + "/" + back.Tasks[0].Title, "Home/milk");

    const std::string todo = dir.Path() + "/todo.txt";
    ASSERT_TRUE(WriteFileAtomic(todo, "(A) 2030-01-02 call Bob +Errands due:2030-03-07\n"
                                      "x 2030-01-05 2030-01-02 paid rent\n"));
    w->Form->ChooseExchangeFile = [&](bool save) {
        EXPECT_FALSE(save);
        return QString::fromStdString(todo);
    };
    const auto titles = [&] {
        std::set<std::string> out;
        for (const auto& page : w->Form->TaskClassGUI()->TaskListItems()) {
            page->LoadTaskList(TaskSortField, TaskSortOrder);
            for (int i = 0; i < page->TaskCount(); ++i)
                out.insert(page->TaskClass()->Title() + "/" +
                           page->TaskListGUI().Model().Row(i).Item->Title());
        }
        return out;
    };
    // The window's items stay the objects its pages show (not read again).
    const TOtTaskItemPtr milk = Page().TaskClass()->TaskList()[0];
    const std::set<std::string> expected{"Home/milk", "Home/bread", "Home/paid rent",
                                         "Errands/call Bob"};
    for (const char* report : {"Imported 2 task(s) into 2 list(s), skipped 0.",
                               "Imported 0 task(s) into 0 list(s), skipped 2.\n"
                               "call Bob: already in the list \"Errands\"\n"
                               "paid rent: already in the list \"Home\""}) {
        TModalAnswers answers;
        answers.ThenButton(QMessageBox::Ok);
        trigger("pmiImport");
        ASSERT_EQ(answers.Shown().size(), 1u);
        EXPECT_EQ(answers.Shown()[0].Text, QString::fromUtf8(report));
        EXPECT_EQ(titles(), expected);
    }
    {
        // In another language, the reasons are translated too.
        LangApp().SetLang(QStringLiteral("cn"));
        TModalAnswers answers;
        answers.ThenButton(QMessageBox::Ok);
        trigger("pmiImport");
        LangApp().SetLang(QStringLiteral("en"));
        ASSERT_EQ(answers.Shown().size(), 1u);
        EXPECT_EQ(answers.Shown()[0].Text,
                  QStringLiteral("已导入 0 个任务到 0 个任务分类，跳过 2 个。\n"
                                 "call Bob: 已在任务分类“Errands”中\n"
                                 "paid rent: 已在任务分类“Home”中"));
    }
    const auto& home = w->Form->TaskClassList()[0]->TaskList();
    EXPECT_NE(std::find(home.begin(), home.end(), milk), home.end());
    ASSERT_EQ(w->Form->TaskClassGUI()->TaskClassCount(), 3);
    TOtTaskClassList loaded;
    TOtAppCore(dir.Path()).LoadTaskClassList(loaded);
    std::size_t stored = 0;
    for (const auto& c : loaded)
        stored += c->TaskList().size();
    EXPECT_EQ(stored, 4u) << "the imported tasks are stored";

    // A file no format reads is refused with the reason; nothing changes.
    ASSERT_TRUE(WriteFileAtomic(todo, "{ not json"));
    TModalAnswers answers;
    answers.ThenButton(QMessageBox::Ok);
    trigger("pmiImport");
    ASSERT_EQ(answers.Shown().size(), 1u);
    EXPECT_TRUE(answers.Shown()[0].Text.startsWith(
        QString::fromStdString("The file " + todo + " cannot be imported: ")))
        << answers.Shown()[0].Text.toStdString();
    EXPECT_EQ(titles(), expected);
}

// A start reads only the files of what it shows; the remarks of the other
// lists are read soon after, each as its file holds it.
TEST_F(DesktopPage, AStartReadsTheRestOfTheRemarksAfterItsFirstPage) {
    dir.AddClass("1000000003AA", "Later", {{"a", 1}, {"b", 2}, {"c", 3}});
    const fs::path later =
        fs::path(dir.TaskData()) / TOtTaskClass("1000000003AA", "Later").DirName();
    for (const auto& e : fs::directory_iterator(later))
        ASSERT_TRUE(WriteFileAtomic(
            e.path(), TOtTaskUtility::TaskFileContent("notes of " + e.path().filename().string())));
    {
        TOtTaskClassList loaded;
        TOtAppCore(dir.Path()).LoadTaskClassList(loaded);
        ASSERT_EQ(loaded.size(), 1u);
        for (const auto& item : loaded[0]->TaskList())
            EXPECT_FALSE(item->RemarksRead()) << "the loading opens no task file";
    }
    Open({{"milk", 4}});
    TOtTaskClassPtr cls;
    for (const auto& c : w->Form->TaskClassList())
        if (c->Title() == "Later")
            cls = c;
    ASSERT_TRUE(cls);
    ASSERT_EQ(cls->TaskList().size(), 3u);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    const auto allRead = [&] {
        return std::all_of(cls->TaskList().begin(), cls->TaskList().end(),
                           [](const auto& i) { return i->RemarksRead(); });
    };
    while (!allRead() && std::chrono::steady_clock::now() < until)
        QTest::qWait(20);
    ASSERT_TRUE(allRead());
    for (const auto& item : cls->TaskList())
        EXPECT_EQ(item->Remarks(), "notes of " + item->DiskFileName() + ".tsk");
}

// The changed task's row moves to its place and stays selected; the other
// rows are the same objects in the same order (the page is not refilled).
TEST_F(DesktopPage, APriorityChangeMovesItsRowToItsPlace) {
    Open({{"milk", 7}, {"tea", 5}, {"bread", 3}, {"rice", 1}});
    const auto before = Page().TaskClass()->TaskList();
    const struct {
        int Row, Priority;
        std::vector<int> Priorities;
        const char* Moved;
        int MovedTo;
    } cases[] = {
        {3, 9, {9, 7, 5, 3}, "rice", 0},
        {0, 0, {7, 5, 3, 0}, "rice", 3},
        {1, 4, {7, 4, 3, 0}, "tea", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Moved);
        Page().SelectRow(c.Row);
        TModalAnswers answers;
        answers.Then([&](QDialog& d) {
            auto& editor = static_cast<TfrmAddEditTaskItem&>(d);
            editor.spnbxPriority->setValue(c.Priority);
            editor.btnOKClick();
            return d.result();
        });
        ASSERT_TRUE(Page().DoEditTaskItem());
        EXPECT_EQ(Priorities(), c.Priorities);
        EXPECT_EQ(Row(c.MovedTo).Title, QString::fromUtf8(c.Moved));
        EXPECT_EQ(Page().SelectedRow(), c.MovedTo);
        const auto& now = Page().TaskClass()->TaskList();
        ASSERT_EQ(now.size(), before.size());
        for (int i = 0; i < Page().TaskCount(); ++i)
            EXPECT_EQ(Row(i).Item, now[static_cast<std::size_t>(i)]) << "rows follow the list";
        EXPECT_TRUE(std::is_permutation(now.begin(), now.end(), before.begin()));
    }
}

// Another process drew an ID in the same two seconds and recorded it:
// replaying its draw (same seed, same packed time, after a draw at another
// time made this process forget it) shows that a task added in the window
// and a pasted one take IDs from the unique draw, never that one.
TEST_F(DesktopPage, NewTasksInTheWindowNeverTakeAnIdAnotherProcessRecorded) {
    Open({{"milk", 4}});
    auto clock = std::make_shared<FixedClock>(EncodeDateTime(2030, 6, 1, 12, 0));
    ScopedClock fixed(clock);
    const TDateTime now = clock->Now();
    auto replay = [&](std::uint64_t seed) {
        NewTaskIDAt(now + 1);
        SeedRandom(seed);
    };
    for (std::uint64_t seed : {11u, 12u}) {
        SCOPED_TRACE(seed);
        replay(seed);
        const std::string taken = NewTaskIDAt(now);
        ASSERT_TRUE(TOtSyncQueueUtility::WriteToSyncQueue(dir.Database(), sqItemCreated,
                                                          {taken, "gone", "elsewhere"}));
        replay(seed);
        if (seed == 11) {
            ASSERT_TRUE(Page().DoAddTaskItemQuick(QStringLiteral("bread")));
        } else {
            Page().SelectRow(Page().GetTreeViewItemByTaskItem(Page().TaskClass()->TaskList()[0]));
            Page().DoCopyTaskItem();
            TModalAnswers answers;
            answers.ThenButton(QMessageBox::Yes);
            replay(seed);
            Page().DoPasteTaskItem();
        }
        std::set<std::string> ids;
        for (const auto& item : Page().TaskClass()->TaskList())
            ids.insert(item->ID());
        EXPECT_EQ(ids.size(), seed == 11 ? 2u : 3u);
        EXPECT_EQ(ids.count(taken), 0u);
    }
}

// A change the queue cannot record (a full disk, a read-only database) is
// not made: the message box says why, and the page, the item and the files
// stay as they were. The same changes go through once the queue works.
TEST_F(DesktopPage, AChangeTheQueueCannotRecordIsRefusedWithAMessageAndThePageKeepsItsState) {
    Open({{"milk", 4}});
    const TOtTaskItemPtr item = Row(0).Item;
    const auto tree = dir.Tree();
    auto editTitle = [](QDialog& d) {
        auto& editor = static_cast<TfrmAddEditTaskItem&>(d);
        editor.edtTaskTitle->setText(QStringLiteral("oat milk"));
        editor.btnOKClick();
        return d.result();
    };
    auto refused = [&](TModalAnswers& answers) {
        ASSERT_FALSE(answers.Shown().empty());
        EXPECT_TRUE(answers.Shown().back().Text.contains(QStringLiteral("could not be recorded")))
            << answers.Shown().back().Text.toStdString();
        EXPECT_EQ(Page().TaskCount(), 1);
        EXPECT_EQ(Row(0).Item, item);
        EXPECT_EQ(Row(0).Title, QStringLiteral("milk"));
        EXPECT_FALSE(Row(0).Checked);
        EXPECT_EQ(item->Title(), "milk");
        EXPECT_EQ(item->Status(), tsNotCompleted);
        EXPECT_FALSE(item->IsDirty());
        EXPECT_EQ(dir.Tree(), tree);
    };
    // No transaction can start: what a read-only database answers.
    SetSQLFaultHook([](std::string_view sql) { return sql.starts_with("begin"); });
    {
        TModalAnswers answers;
        answers.ThenButton(QMessageBox::Ok);
        Page().DoTaskItemCompleted(0, true);
        refused(answers);
    }
    {
        Page().SelectRow(0);
        TModalAnswers answers;
        answers.Then(editTitle).ThenButton(QMessageBox::Ok);
        EXPECT_FALSE(Page().DoEditTaskItem());
        refused(answers);
    }
    {
        Page().SelectRow(0);
        TModalAnswers answers;
        answers.ThenButton(QMessageBox::Yes).ThenButton(QMessageBox::Ok);
        EXPECT_FALSE(Page().DoDeleteTaskItem());
        refused(answers);
    }
    {
        TModalAnswers answers;
        answers.ThenButton(QMessageBox::Ok);
        EXPECT_FALSE(Page().DoAddTaskItemQuick(QStringLiteral("bread")));
        refused(answers);
    }
    SetSQLFaultHook({});

    Page().DoTaskItemCompleted(0, true);
    EXPECT_TRUE(Row(0).Checked);
    Page().SelectRow(0);
    TModalAnswers answers;
    answers.Then(editTitle);
    EXPECT_TRUE(Page().DoEditTaskItem());
    EXPECT_EQ(Row(0).Title, QStringLiteral("oat milk"));
    EXPECT_TRUE(Page().DoAddTaskItemQuick(QStringLiteral(" bread ")));
    EXPECT_EQ(Page().TaskCount(), 2);
    EXPECT_TRUE(fs::exists(dir.TaskData() + item->Path()));
}

// The window's change waits while a pass of another process (ottodo sync)
// has the tree, says so on the status strip, and lands once the pass lets
// go: the pass's change of the same task and the window's are both there.
TEST_F(DesktopPage, AnEditWaitsForAPassOfAnotherProcessAndThenLands) {
    Open({{"milk", 4}});
    const TOtTaskItemPtr item = Row(0).Item;
    const TAppPaths paths = w->Form->AppCore().Paths();
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t pass = ::fork();
    if (pass == 0) {
        // The other process: holds the lock as a pass does, reads the tree
        // at its start and changes the same task from what it read a while
        // later. No Qt here.
        TTreeLock turn(paths.LockFileName);
        TOtTaskOperations theirs{TOtTaskRepository(paths)};
        TOtTaskClassList lists;
        TOtTaskUtility::LoadTaskClassList(paths.TaskDataPath, lists);
        const TOtTaskItemPtr milk = lists.at(0)->TaskList().at(0);
        const char c = '1';
        if (::write(ready[1], &c, 1) != 1)
            ::_exit(2);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const bool made =
            theirs.EditTaskItem(milk, [](TOtTaskItem& i) { i.SetRemarks("from the pass"); }).Ok;
        ::_exit(turn.Held() && made ? 0 : 1);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, '1');
    const auto start = std::chrono::steady_clock::now();
    Page().DoTaskItemCompleted(0, true);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300))
        << "the change waited for the pass";
    EXPECT_EQ(w->Form->lblStatus->text(),
              QStringLiteral("Waiting for another program to finish changing the task lists ..."));
    int status = 0;
    ASSERT_EQ(::waitpid(pass, &status, 0), pass);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the pass's own change found the task where it had read it";
    ::close(ready[0]);
    ::close(ready[1]);

    EXPECT_TRUE(Row(0).Checked);
    TOtTaskClassList onDisk;
    TOtTaskUtility::LoadTaskClassList(paths.TaskDataPath, onDisk);
    ASSERT_EQ(onDisk.at(0)->TaskList().size(), 1u);
    const TOtTaskItemPtr stored = onDisk[0]->TaskList()[0];
    EXPECT_EQ(stored->Status(), tsCompleted);
    EXPECT_EQ(stored->Remarks(), "from the pass");
    EXPECT_EQ(stored->FileName(), item->FileName());
}

TEST_F(DesktopPage, EngineChangesReachThePagesOnTheWindowThread) {
    Open({{"milk", 4}});
    // A second thread adds to both classes, as the sync engine does.
    TOtQtLocalTaskTree tree(w->Form->TaskClassList(), w->Form->AppCore().Repository(),
                            *w->Form->TaskClassGUI());
    const auto home = w->Form->TaskClassList()[0];
    const auto work = w->Form->TaskClassList()[1];
    std::atomic<bool> done{false};
    std::thread engine([&] {
        auto a = std::make_shared<TOtTaskItem>("from cloud", home);
        auto b = std::make_shared<TOtTaskItem>("other", work);
        EXPECT_TRUE(tree.AddTaskItem(home, a));
        EXPECT_TRUE(tree.AddTaskItem(work, b));
        EXPECT_TRUE(tree.RenameTaskClass(work, "Office"));
        done = true;
    });
    while (!done)
        QTest::qWait(5);
    engine.join();
    EXPECT_EQ(Page().TaskCount(), 2);
    TOtTaskListItem& workPage = *w->Form->TaskClassGUI()->TaskListItems()[1];
    EXPECT_EQ(workPage.TaskCount(), 0) << "an unbuilt page gets no single row";
    EXPECT_EQ(workPage.Title(), QStringLiteral("Office")) << "a renamed list shows its new title";
    w->Form->btnMoveRightClick();
    EXPECT_EQ(workPage.TaskCount(), 1);
}

TEST_F(DesktopPage, PagesAreFoundByTheirClassWhileAClassIsBeingRemoved) {
    dir.AddClass("1000000003AA", "Shop");
    dir.AddClass("1000000004AA", "Trip");
    Open({{"milk", 4}});
    // The class managers remove the page first and the class from the list
    // after it; the answers must hold in between and after.
    for (std::size_t removed = 0; removed < 4; ++removed) {
        SCOPED_TRACE(removed);
        w = std::make_unique<TWindow>(dir);
        TOtTaskClassGUI& gui = *w->Form->TaskClassGUI();
        TOtTaskClassList& list = w->Form->TaskClassList();
        ASSERT_EQ(list.size(), 4u);
        const TOtTaskClassList classes = list;
        gui.SetTaskClassIndex(3);
        gui.Delete(classes[removed]);
        for (int phase = 0; phase < 2; ++phase) {
            SCOPED_TRACE(phase == 0 ? "class still listed" : "class gone from the list");
            EXPECT_EQ(gui.GetTaskListItemByTaskClass(classes[removed]), nullptr);
            for (const auto& cls : classes) {
                if (cls == classes[removed])
                    continue;
                const TOtTaskListItem* page = gui.GetTaskListItemByTaskClass(cls);
                ASSERT_NE(page, nullptr) << cls->Title();
                EXPECT_EQ(page->TaskClass()->Title(), cls->Title());
            }
            const auto* current = gui.CurrentTaskListItem();
            ASSERT_NE(current, nullptr);
            EXPECT_EQ(gui.CurrentTaskClass(), current->TaskClass());
            EXPECT_EQ(current->TaskClass()->Title(), classes[removed == 3 ? 2 : 3]->Title());
            if (phase == 0)
                list.erase(std::find(list.begin(), list.end(), classes[removed]));
        }
    }
}

} // namespace
} // namespace ot::test
