// The main window: start-up (missing database, default list, position
// clamp), quick entry, moving between pages, the wheel, closing while a pass
// runs, minimising, tray and hot key, the upgrade command line.

#include "desktop/DesktopTestSupport.h"

#include "app/AppContext.h"
#include "desktop/OtLang.h"
#include "desktop/OtMessageDialog.h"
#include "desktop/OtTaskGUIUtility.h"
#include "desktop/UnitAddEditTaskItem.h"
#include "desktop/UnitAppLog.h"
#include "syncqueue/OtSyncQueueDBModel.h"

#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace ot::test {
namespace {

namespace fs = std::filesystem;

TOtTaskListItem& CurrentPage(TWindow& w) {
    return *w.Form->TaskClassGUI()->CurrentTaskListItem();
}

// ---- start-up -------------------------------------------------------------------

TEST(DesktopStartUp, MissingDatabaseIsReportedWithItsFullPathAndCreatesNothing) {
    TDesktopDir dir(/*withDatabase=*/false);
    TModalAnswers answers;
    answers.ThenButton(QMessageBox::Ok);
    TWindow w(dir);
    EXPECT_FALSE(w.Created);
    ASSERT_EQ(answers.Shown().size(), 1u);
    EXPECT_EQ(answers.Shown()[0].Text.toStdString(),
              "The database file \"" + dir.Database() +
                  "\" is missing, the program will be terminated!");
    EXPECT_FALSE(fs::exists(dir.TaskData()));
    EXPECT_FALSE(fs::exists(dir.Database()));
}

TEST(DesktopStartUp, FirstStartCreatesTheDefaultListInTheCurrentLanguageWithAQueueRow) {
    for (auto [lang, title] : {std::pair{"en", "Default List"}, std::pair{"cn", "默认任务列表"},
                               std::pair{"tw", "默認任務列表"}}) {
        SCOPED_TRACE(lang);
        TDesktopDir dir;
        dir.WriteSetting("Lang", lang);
        TWindow w(dir);
        ASSERT_TRUE(w.Created);
        ASSERT_EQ(w.Form->TaskClassList().size(), 1u);
        const TOtTaskClassPtr cls = w.Form->TaskClassList()[0];
        EXPECT_EQ(cls->Title(), title);
        EXPECT_TRUE(fs::is_directory(dir.TaskData() + cls->DirName()));
        EXPECT_TRUE(TOtSyncQueueDBUtility(dir.Database()).GetSyncQueueItem(cls->ID()).has_value());
        EXPECT_EQ(w.Form->TaskClassGUI()->TaskClassCount(), 1);
        EXPECT_EQ(CurrentPage(w).Title().toStdString(), title);
    }
}

TEST(DesktopStartUp, WindowPositionIsKeptOnThePrimaryScreen) {
    const QSize screen = QGuiApplication::primaryScreen()->size();
    struct Case {
        int X, Y, WantX, WantY;
    } cases[] = {
        {-5, -5, 100, 60},
        {screen.width() + 1, screen.height() + 1, 100, 60},
        {screen.width(), screen.height(), screen.width(), screen.height()},
        {40, 30, 40, 30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.X << "," << c.Y);
        TDesktopDir dir;
        dir.WriteSetting("MainFormPosX", std::to_string(c.X));
        dir.WriteSetting("MainFormPosY", std::to_string(c.Y));
        TWindow w(dir, /*show=*/false);
        EXPECT_EQ(w.Form->x(), c.WantX);
        EXPECT_EQ(w.Form->y(), c.WantY);
    }
}

TEST(DesktopStartUp, DefaultTaskClassIndexOutsideThePagesLeavesTheFirstPage) {
    for (auto [index, want] : {std::pair{"1", 1}, std::pair{"3", 0}, std::pair{"-1", 0}}) {
        SCOPED_TRACE(index);
        TDesktopDir dir;
        dir.AddClass("1000000001AA", "A");
        dir.AddClass("1000000002AA", "B");
        dir.AddClass("1000000003AA", "C");
        dir.WriteSetting("DefaultTaskClassIndex", index);
        TWindow w(dir);
        EXPECT_EQ(w.Form->TaskClassGUI()->TaskClassIndex(), want);
    }
}

TEST(DesktopStartUp, TheStyleFileIsLoadedAndNamesTheRowVariant) {
    struct Case {
        const char* File;
        int Variant;
    } cases[] = {{"", 1}, {"Dark.0.Style", 0}, {"LIGHT.1.STYLE", 1}, {"Plain.qss", 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.File);
        TDesktopDir dir;
        const std::string sheet = std::string("QLineEdit { color: #123456; } /* ") + c.File + " */";
        if (*c.File) {
            fs::create_directories(dir.Path() + "/styles");
            std::ofstream(dir.Path() + "/styles/" + c.File) << sheet;
        }
        dir.WriteSetting("AppStyle", c.File);
        TWindow w(dir);
        EXPECT_EQ(w.Form->Context().Settings.StyleVariant, c.Variant);
        EXPECT_EQ(qApp->styleSheet().toStdString(), *c.File ? sheet : "");
        EXPECT_EQ(w.Form->CurrentStyleFile().toStdString(),
                  *c.File ? dir.Path() + "/styles/" + c.File : "");
        w.Form->edtTask->setText(QStringLiteral("x"));
        QTest::keyClick(w.Form->edtTask, Qt::Key_Return);
        EXPECT_EQ(CurrentPage(w).TaskListGUI().Model().Row(0).StyleName.toStdString(),
                  "TVTaskItemSimpleNotCompleted" + std::to_string(c.Variant));
    }
}

TEST(DesktopStartUp, ClosingSavesPositionPageAndTheZeroWatermark) {
    TDesktopDir dir;
    dir.AddClass("1000000001AA", "A");
    dir.AddClass("1000000002AA", "B");
    {
        TWindow w(dir);
        w.Form->btnMoveRightClick();
        w.Form->move(123, 77);
        EXPECT_TRUE(w.Form->close());
    }
    EXPECT_EQ(dir.ReadSetting("MainFormPosX"), "123");
    EXPECT_EQ(dir.ReadSetting("MainFormPosY"), "77");
    EXPECT_EQ(dir.ReadSetting("DefaultTaskClassIndex"), "1");
    EXPECT_EQ(dir.ReadSetting("LastDateTimeSyncSuccess"), "1899-12-30");
}

// ---- quick entry ------------------------------------------------------------------

TEST(DesktopQuickEntry, EnterChecksTheTitleAndAddsOrOpensTheEditor) {
    // Titles are stored without the blanks around them, which do not count
    // towards the limit either.
    const QString hundred =
        QStringLiteral("  ") + QString(100, QLatin1Char('x')) + QStringLiteral("  ");
    struct Case {
        const char* Name;
        QString Text;
        Qt::KeyboardModifiers Mods;
        QString Warning;     // expected warning, empty for none
        QString EditorTitle; // title shown by the editor when it opens
        std::string Added;   // title added, empty for nothing
    } cases[] = {
        {"only blanks",
         QStringLiteral("   "),
         Qt::NoModifier,
         QStringLiteral("Task title cannot be empty!"),
         {},
         {}},
        {"100 with blanks", hundred, Qt::NoModifier, {}, {}, std::string(100, 'x')},
        {"101 with blanks",
         hundred + QLatin1Char('y'),
         Qt::NoModifier,
         QStringLiteral("The length of task title cannot be longer than 100!"),
         {},
         {}},
        {"quotes and slashes are stored",
         QStringLiteral("it's a/b \"c\""),
         Qt::NoModifier,
         {},
         {},
         "it's a/b \"c\""},
        {"plain enter trims", QStringLiteral("  milk "), Qt::NoModifier, {}, {}, "milk"},
        {"ctrl enter opens the editor trimmed",
         QStringLiteral("  bread "),
         Qt::ControlModifier,
         {},
         QStringLiteral("bread"),
         "bread"},
        {"ctrl shift enter adds at once",
         QStringLiteral(" eggs "),
         Qt::ControlModifier | Qt::ShiftModifier,
         {},
         {},
         "eggs"},
        {"alt ctrl enter adds at once",
         QStringLiteral("tea"),
         Qt::ControlModifier | Qt::AltModifier,
         {},
         {},
         "tea"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TDesktopDir dir;
        TWindow w(dir);
        TModalAnswers answers;
        QString editorTitle;
        if (!c.Warning.isEmpty())
            answers.ThenButton(QMessageBox::Ok);
        if (!c.EditorTitle.isEmpty())
            answers.Then([&](QDialog& d) {
                auto& editor = static_cast<TfrmAddEditTaskItem&>(d);
                editorTitle = editor.edtTaskTitle->text();
                editor.btnOKClick();
                return d.result();
            });
        w.Form->edtTask->setText(c.Text);
        QTest::keyClick(w.Form->edtTask, Qt::Key_Return, c.Mods);

        EXPECT_EQ(answers.Pending(), 0u);
        if (!c.Warning.isEmpty()) {
            ASSERT_FALSE(answers.Shown().empty());
            EXPECT_EQ(answers.Shown()[0].Text, c.Warning);
            EXPECT_EQ(answers.Shown()[0].Caption, QStringLiteral("Warning"));
        }
        EXPECT_EQ(editorTitle, c.EditorTitle);
        const auto& list = CurrentPage(w).TaskClass()->TaskList();
        if (c.Added.empty()) {
            EXPECT_TRUE(list.empty());
            EXPECT_EQ(w.Form->edtTask->text(), c.Text) << "the text stays after a refusal";
            continue;
        }
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0]->Title(), c.Added);
        EXPECT_EQ(list[0]->Priority(), 5);
        EXPECT_EQ(CurrentPage(w).TaskCount(), 1);
        EXPECT_TRUE(fs::exists(dir.TaskData() + list[0]->Path()));
        EXPECT_TRUE(TOtSyncQueueDBUtility(dir.Database()).GetSyncQueueItem(list[0]->ID()));
        EXPECT_TRUE(w.Form->edtTask->text().isEmpty());
    }
}

TEST(DesktopQuickEntry, PlusButtonWithAnEmptyBoxOpensAnEmptyEditorThatRefusesOK) {
    TDesktopDir dir;
    TWindow w(dir);
    TModalAnswers answers;
    answers
        .Then([&](QDialog& d) {
            auto& editor = static_cast<TfrmAddEditTaskItem&>(d);
            EXPECT_TRUE(editor.edtTaskTitle->text().isEmpty());
            editor.btnOKClick(); // answered by the warning below; the editor stays open
            EXPECT_EQ(d.result(), QDialog::Rejected);
            return static_cast<int>(QDialog::Rejected);
        })
        .ThenButton(QMessageBox::Ok);
    QTest::mouseClick(w.Form->btnAddTask, Qt::LeftButton);
    ASSERT_EQ(answers.Shown().size(), 2u);
    EXPECT_EQ(answers.Shown()[1].Text, QStringLiteral("Task title cannot be empty!"));
    EXPECT_TRUE(CurrentPage(w).TaskClass()->TaskList().empty());
}

// ---- pages: arrows, swipe, wheel ------------------------------------------------------

class DesktopPager : public ::testing::Test {
protected:
    void Open(int classes) {
        for (int k = 0; k < classes; ++k)
            dir.AddClass("10000000" + std::to_string(10 + k) + "AA", "List " + std::to_string(k),
                         {{"item " + std::to_string(k), 5}});
        w = std::make_unique<TWindow>(dir);
    }
    TOtTaskClassGUI& Pager() { return *w->Form->TaskClassGUI(); }
    int ScrollPos() { return w->Form->sbTasks->horizontalScrollBar()->value(); }

    TDesktopDir dir;
    std::unique_ptr<TWindow> w;
};

TEST_F(DesktopPager, ArrowsShowWhereThereIsAPageToGoTo) {
    struct Case {
        int Classes, Index;
        bool Left, Right;
    } cases[] = {
        {1, 0, false, false}, {3, 0, false, true}, {3, 1, true, true}, {3, 2, true, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Classes << " pages, page " << c.Index);
        TDesktopDir d;
        for (int k = 0; k < c.Classes; ++k)
            d.AddClass("10000000" + std::to_string(10 + k) + "AA", "L" + std::to_string(k));
        d.WriteSetting("DefaultTaskClassIndex", std::to_string(c.Index));
        TWindow win(d);
        EXPECT_EQ(win.Form->btnMoveLeft->isVisible(), c.Left);
        EXPECT_EQ(win.Form->btnMoveRight->isVisible(), c.Right);
    }
}

TEST_F(DesktopPager, TheStartPageIsTheOneOnScreen) {
    // The page is chosen before the window is shown and laid out; the scroll
    // box must still show it, not the first page.
    for (int index : {0, 1, 2}) {
        SCOPED_TRACE(testing::Message() << "page " << index);
        TDesktopDir d;
        for (int k = 0; k < 3; ++k)
            d.AddClass("10000000" + std::to_string(10 + k) + "AA", "L" + std::to_string(k));
        d.WriteSetting("DefaultTaskClassIndex", std::to_string(index));
        TWindow win(d);
        QApplication::processEvents();
        const QScrollArea* box = win.Form->sbTasks;
        EXPECT_EQ(box->horizontalScrollBar()->value(), box->viewport()->width() * index);
        EXPECT_TRUE(win.Form->TaskClassGUI()->CurrentTaskListItem()->IsLoaded());
    }
}

TEST_F(DesktopPager, ArrowButtonsMoveAndFillTheNewPage) {
    Open(3);
    EXPECT_FALSE(Pager().TaskListItems()[1]->IsLoaded()) << "only the page on screen is built";
    QTest::mouseClick(w->Form->btnMoveRight, Qt::LeftButton);
    EXPECT_EQ(Pager().TaskClassIndex(), 1);
    EXPECT_EQ(ScrollPos(), w->Form->sbTasks->viewport()->width());
    EXPECT_EQ(Pager().CurrentTaskListItem()->TaskCount(), 1);
    QTest::mouseClick(w->Form->btnMoveLeft, Qt::LeftButton);
    EXPECT_EQ(Pager().TaskClassIndex(), 0);
    EXPECT_EQ(ScrollPos(), 0);
}

TEST_F(DesktopPager, SwipeDistancesDecideBetweenPageChangeAndSnapBack) {
    Open(3);
    const double width = w->Form->sbTasks->width();
    struct Case {
        const char* Name;
        int From;
        double D;
        int Want;
    } cases[] = {
        {"exactly a third snaps back", 1, width / 3, 1},
        {"just over a third to the right", 1, width / 3 + 1, 0},
        {"exactly six sevenths to the left", 1, -6 * width / 7, 2},
        {"exactly six sevenths to the right", 1, 6 * width / 7, 0},
        {"longer snaps back", 1, -(6 * width / 7 + 1), 1},
        {"right on the first page", 0, 6 * width / 7, 0},
        {"left on the last page", 2, -6 * width / 7, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Pager().SetTaskClassIndex(c.From);
        w->Form->SetMoveButtons();
        // Leave the scroller off its rest so a snap-back shows.
        w->Form->sbTasks->horizontalScrollBar()->setValue(ScrollPos() + 7);
        const int before = ScrollPos();
        const QPointF start(width / 2 - c.D / 2, 50);
        w->Form->sbTasksMouseDown(start);
        w->Form->sbTasksMouseUp(start + QPointF(c.D, 30));
        EXPECT_EQ(Pager().TaskClassIndex(), c.Want);
        const bool edge =
            c.Want == c.From && std::abs(c.D) > width / 3 && std::abs(c.D) <= 6 * width / 7;
        if (edge)
            EXPECT_EQ(ScrollPos(), before) << "no page there: nothing happens, no snap";
        else
            EXPECT_EQ(ScrollPos(), c.Want * w->Form->sbTasks->viewport()->width());
    }
}

TEST_F(DesktopPager, ADragOverAListChangesThePage) {
    Open(2);
    QWidget* surface = Pager().CurrentTaskListItem()->TreeView()->viewport();
    const int width = w->Form->sbTasks->width();
    QTest::mousePress(surface, Qt::LeftButton, {}, QPoint(width - 20, 40));
    QTest::mouseRelease(surface, Qt::LeftButton, {}, QPoint(width - 20 - width / 2, 40));
    EXPECT_EQ(Pager().TaskClassIndex(), 1);
    EXPECT_EQ(Pager().CurrentTaskListItem()->TaskCount(), 1);
}

TEST_F(DesktopPager, TheWheelNeverChangesThePage) {
    Open(3);
    QWidget* viewport = w->Form->sbTasks->viewport();
    for (QPoint delta : {QPoint(-120, 0), QPoint(120, 0), QPoint(0, -120), QPoint(0, 120)}) {
        QWheelEvent wheel(QPointF(50, 50), viewport->mapToGlobal(QPointF(50, 50)), QPoint(), delta,
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(viewport, &wheel);
        EXPECT_EQ(ScrollPos(), 0);
        EXPECT_EQ(Pager().TaskClassIndex(), 0);
    }
}

TEST_F(DesktopPager, ANeighbourIsReachedInStepsAFartherPageAtOnce) {
    Open(4);
    const int width = w->Form->sbTasks->viewport()->width();
    std::vector<int> positions;
    QObject::connect(w->Form->sbTasks->horizontalScrollBar(), &QScrollBar::valueChanged,
                     [&](int v) { positions.push_back(v); });
    Pager().SetTaskClassIndex(1);
    ASSERT_GT(positions.size(), 2u) << "animated";
    EXPECT_EQ(positions.front(), 20);
    EXPECT_EQ(positions.back(), width);
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
    positions.clear();
    Pager().SetTaskClassIndex(3);
    EXPECT_EQ(positions, std::vector<int>{3 * width}) << "two pages away: at once";
}

TEST_F(DesktopPager, RemovingAPageBeforeTheCurrentOneKeepsThePageOnScreen) {
    Open(3);
    Pager().SetTaskClassIndex(2);
    const TOtTaskClassPtr shown = Pager().CurrentTaskClass();
    Pager().Delete(w->Form->TaskClassList()[0]);
    auto& list = w->Form->TaskClassList();
    list.erase(list.begin());
    EXPECT_EQ(Pager().TaskClassIndex(), 1);
    EXPECT_EQ(Pager().CurrentTaskListItem()->TaskClass(), shown);
    EXPECT_EQ(ScrollPos(), w->Form->sbTasks->viewport()->width());
    EXPECT_TRUE(w->Form->btnMoveLeft->isVisible());
    EXPECT_FALSE(w->Form->btnMoveRight->isVisible());
}

TEST_F(DesktopPager, RemovingTheLastPageWhileOnItShowsTheNewLastPage) {
    Open(3);
    Pager().SetTaskClassIndex(2);
    Pager().Delete(w->Form->TaskClassList()[2]);
    w->Form->TaskClassList().pop_back();
    EXPECT_EQ(Pager().TaskClassIndex(), 1);
    EXPECT_EQ(Pager().CurrentTaskListItem()->Title(), QStringLiteral("List 1"));
    EXPECT_EQ(Pager().CurrentTaskListItem()->TaskCount(), 1) << "the new page is filled";
}

// ---- closing, minimising, tray, hot key ------------------------------------------------

TEST(DesktopClose, AQuestionOnlyWhileAPassRunsAndOnlyYesCloses) {
    struct Case {
        bool Running;
        int Answer; // 0: no question expected
        bool Closes;
    } cases[] = {{false, 0, true}, {true, QMessageBox::No, false}, {true, QMessageBox::Yes, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Running << " " << c.Answer);
        TDesktopDir dir;
        TWindow w(dir);
        w.Flags.IsSyncRunning = c.Running;
        TModalAnswers answers;
        if (c.Answer)
            answers.ThenButton(c.Answer);
        EXPECT_EQ(w.Form->close(), c.Closes);
        EXPECT_EQ(w.Form->isVisible(), !c.Closes);
        EXPECT_EQ(answers.Shown().size(), c.Answer ? 1u : 0u);
        if (c.Answer) {
            EXPECT_EQ(answers.Shown()[0].Caption, QStringLiteral("Confirm"));
            EXPECT_TRUE(answers.Shown()[0].Text.startsWith(
                QStringLiteral("Data synchronization is running in the background!")));
        }
        w.Flags.IsSyncRunning = false;
    }
}

TEST(DesktopTray, MinimisingHidesOnlyWhenATrayIconIsPresent) {
    for (bool tray : {true, false}) {
        SCOPED_TRACE(tray ? "with tray" : "without tray");
        TDesktopDir dir;
        TFakePlatform platform;
        platform.FTrayAvailable = tray;
        TSyncFlags flags;
        TfrmTaskList form(platform, dir.Path(), flags);
        ASSERT_TRUE(form.FormCreate());
        form.show();
        EXPECT_EQ(platform.FTrayTip, tray ? QStringLiteral("Dorvel") : QString());
        form.showMinimized();
        QTest::qWait(20);
        EXPECT_EQ(form.isVisible(), !tray);
        if (!tray) {
            EXPECT_TRUE(form.isMinimized()) << "it minimises and can come back";
        }
        LangApp().SetLang(QStringLiteral("en"));
    }
}

TEST(DesktopTray, DoubleClickAndAltXToggleTheWindow) {
    TDesktopDir dir;
    TWindow w(dir);
    w.Platform.DoubleClickTrayIcon();
    EXPECT_FALSE(w.Form->isVisible());
    w.Platform.DoubleClickTrayIcon();
    EXPECT_TRUE(w.Form->isVisible());
    ASSERT_TRUE(w.Platform.FHotKeyRegistered);
    w.Platform.PressHotKey();
    EXPECT_FALSE(w.Form->isVisible());
    w.Platform.PressHotKey();
    EXPECT_TRUE(w.Form->isVisible());
    w.Form.reset();
    EXPECT_FALSE(w.Platform.FHotKeyRegistered) << "unregistered at tear-down";
}

TEST(DesktopTray, TheTrayMenuShowsHidesAddsSynchronizesAndQuitsInTheCurrentLanguage) {
    TDesktopDir dir;
    std::ofstream(dir.Path() + "/userdata/1/MyAuth.adb") << "token\r\nsecret\r\n";
    dir.WriteSetting("IsOpenKuaipanSync", "False");
    TWindow w(dir);
    QMenu* menu = w.Form->TrayPopupMenu();
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(w.Platform.FTrayMenu, menu) << "given to the tray icon";
    const auto entry = [&](const char* name) {
        QAction* a = menu->findChild<QAction*>(QLatin1String(name));
        EXPECT_NE(a, nullptr) << name;
        return a;
    };
    const auto texts = [&] {
        emit menu->aboutToShow();
        QStringList l;
        for (QAction* a : menu->actions())
            l << (a->isSeparator() ? QStringLiteral("-") : a->text());
        return l;
    };
    EXPECT_EQ(texts(), (QStringList{"Hide", "New Task", "Synchronize Now", "-", "Quit"}));
    entry("pmiTrayShowHide")->trigger();
    EXPECT_FALSE(w.Form->isVisible());
    LangApp().SetLang(QStringLiteral("tw"));
    EXPECT_EQ(texts(), (QStringList{"顯示", "新增任務", "立即同步", "-", "結束"}));
    LangApp().SetLang(QStringLiteral("en"));

    // New task: the window comes back with the editor in add mode.
    {
        TModalAnswers answers;
        answers.Then([&](QDialog& d) {
            EXPECT_TRUE(w.Form->isVisible());
            EXPECT_EQ(d.windowTitle(), QStringLiteral("Add Task Item"));
            return static_cast<int>(QDialog::Rejected);
        });
        entry("pmiTrayNewTask")->trigger();
        EXPECT_EQ(answers.Pending(), 0u);
    }
    // Synchronize now, as the strip's button does (enabled with a token).
    EXPECT_TRUE((emit menu->aboutToShow(), entry("pmiTraySync")->isEnabled()));
    entry("pmiTraySync")->trigger();
    EXPECT_TRUE(w.Flags.IsManualSyncRequested);
    EXPECT_EQ(w.Form->lblStatus->text(), QStringLiteral("Manual sync will begin."));
    EXPECT_TRUE(w.Form->tmrSync->isActive());

    // Quit closes the window (saving as closing does) and ends the program.
    int quits = 0;
    w.Form->QuitApplication = [&] { ++quits; };
    w.Form->move(140, 90);
    entry("pmiTrayQuit")->trigger();
    EXPECT_FALSE(w.Form->isVisible());
    EXPECT_EQ(quits, 1);
    EXPECT_EQ(dir.ReadSetting("MainFormPosX"), "140");
}

TEST(DesktopTray, QuitWhileAPassRunsAsksAndNoKeepsTheProgram) {
    TDesktopDir dir;
    TWindow w(dir);
    int quits = 0;
    w.Form->QuitApplication = [&] { ++quits; };
    w.Flags.IsSyncRunning = true;
    TModalAnswers answers;
    answers.ThenButton(QMessageBox::No);
    w.Form->TrayPopupMenu()->findChild<QAction*>(QStringLiteral("pmiTrayQuit"))->trigger();
    EXPECT_TRUE(w.Form->isVisible());
    EXPECT_EQ(quits, 0);
    w.Flags.IsSyncRunning = false;
}

TEST(DesktopSyncStrip, ALongStatusIsElidedInTheMiddleAndNeverWidensTheWindow) {
    TDesktopDir dir;
    TWindow w(dir);
    const int width = w.Form->width();
    const QString text = QStringLiteral("Synchronization finished. 3 uploaded, 2 downloaded, 1 "
                                        "deleted, 0 errors.  [2026-12-11 11:45:00]");
    w.Form->SetStatusText(text);
    QTest::qWait(20);
    w.Form->lblStatus->repaint();
    EXPECT_EQ(w.Form->width(), width);
    EXPECT_EQ(w.Form->lblStatus->text(), text) << "the whole text stays the label's";
    EXPECT_EQ(w.Form->lblStatus->toolTip(), text) << "shown whole as the tip";
    w.Form->SetStatusText(QStringLiteral("1/3"));
    w.Form->lblStatus->repaint();
    EXPECT_EQ(w.Form->lblStatus->toolTip(), QString()) << "a text that fits needs no tip";
}

TEST(DesktopStartUp, AWiderWindowGivesTheRoomToTheQuickEntryBox) {
    TDesktopDir dir;
    TWindow w(dir);
    EXPECT_EQ(w.Form->edtTask->geometry(), QRect(8, 8, 249, 22)) << "as designed";
    EXPECT_EQ(w.Form->btnAddTask->pos(), QPoint(235, 9));
    EXPECT_EQ(w.Form->btnMenu->pos(), QPoint(288, 8));
    w.Form->resize(420, 480);
    QTest::qWait(20);
    EXPECT_EQ(w.Form->edtTask->geometry(), QRect(8, 8, 349, 22));
    EXPECT_EQ(w.Form->btnAddTask->pos(), QPoint(335, 9)) << "over the box's right end";
    EXPECT_EQ(w.Form->btnManageTaskClass->pos(), QPoint(364, 8));
    EXPECT_EQ(w.Form->btnMenu->pos(), QPoint(388, 8));
}

TEST(DesktopMessageBox, ALongQuestionWrapsWithinTheWidthOfTheMainWindow) {
    TDesktopDir dir;
    dir.WriteSetting("Lang", "cn");
    TWindow w(dir);
    w.Form->GetMainFormPosSize();
    int width = 0;
    bool whole = false;
    TModalAnswers answers;
    answers.Then([&](QDialog& d) {
        d.show();
        // Also after the layout requests that follow showing it.
        QTest::qWait(50);
        width = d.width();
        auto* label = d.findChild<QLabel*>(QStringLiteral("Message"));
        EXPECT_NE(label, nullptr);
        if (label) {
            // Two lines or more, and room for all of them.
            whole = label->wordWrap() &&
                    label->heightForWidth(label->width()) >= 2 * label->fontMetrics().height() &&
                    label->minimumHeight() >= label->heightForWidth(label->width());
        }
        d.hide();
        return static_cast<int>(QMessageBox::No);
    });
    ShowMessageDialogEx(QStringLiteral("Do you want to start data consistency check and repair? "
                                       "According to the amount of data, the operation will take "
                                       "some time."),
                        mtConfirmation, QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    EXPECT_LE(width, w.Form->width());
    EXPECT_TRUE(whole);
}

// ---- after the settings dialog ------------------------------------------------------------

TEST(DesktopSetting, TheToolMenuEntryOpensTheSettingsDialogAndCancelChangesNothing) {
    TDesktopDir dir;
    TWindow w(dir);
    TModalAnswers answers;
    answers.Then([](QDialog& d) {
        EXPECT_EQ(d.objectName(), QStringLiteral("frmSetting"));
        return static_cast<int>(QDialog::Rejected);
    });
    w.Form->OnToolMenuItemClick(
        w.Form->ToolPopupMenu()->findChild<QAction*>(QStringLiteral("pmiSetting")));
    EXPECT_EQ(answers.Shown().size(), 1u);
    EXPECT_EQ(LangApp().Lang(), QStringLiteral("en"));
    EXPECT_EQ(dir.ReadSetting("Lang"), "");
}

TEST(DesktopSetting, OKFollowsTheSavedSettingsAndCancelUndoesPreviews) {
    struct Case {
        const char* Name;
        TSettingDialogResult Result;
        const char* SavedLang;   // what the dialog saved
        const char* PreviewLang; // what it showed meanwhile
        const char* SavedSync;   // IsOpenKuaipanSync saved
        const char* WantLang;
        const char* WantCaption;
        bool WantTimer, WantButton, WantCleared, WantReload;
    } cases[] = {
        {"cancel undoes a previewed language",
         {},
         "en",
         "cn",
         "False",
         "en",
         "Dorvel",
         false,
         true,
         false,
         true},
        {"ok with a new language",
         {true, false, false, false, true},
         "cn",
         "cn",
         "False",
         "cn",
         "Sarnic Tasks",
         false,
         true,
         false,
         true},
        {"ok switching sync on",
         {true},
         "en",
         "en",
         "True",
         "en",
         "Dorvel",
         true,
         true,
         false,
         false},
        {"ok removing the account",
         {true, false, true},
         "en",
         "en",
         "False",
         "en",
         "Dorvel",
         false,
         false,
         true,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TDesktopDir dir;
        dir.AddClass("1000000001AA", "Home", {{"a", 5}});
        dir.WriteSetting("IsOpenKuaipanSync", "False");
        std::ofstream(dir.Path() + "/userdata/1/MyAuth.adb") << "token\r\nsecret\r\n";
        TWindow w(dir);
        ASSERT_FALSE(w.Form->tmrSync->isActive());
        ASSERT_TRUE(w.Form->btnManualSync->isEnabled()) << "a token exists";
        TOtTaskListItem& page = CurrentPage(w);
        // Changed behind the row's back: only a rebuilt page shows it.
        page.TaskClass()->TaskList()[0]->SetTitle("b");
        w.Form->ShowSettingDialog = [&] {
            dir.WriteSetting("Lang", c.SavedLang);
            dir.WriteSetting("IsOpenKuaipanSync", c.SavedSync);
            LangApp().SetLang(QString::fromLatin1(c.PreviewLang));
            return c.Result;
        };
        w.Form->DoSetting();
        EXPECT_EQ(LangApp().Lang().toStdString(), c.WantLang);
        EXPECT_EQ(w.Form->windowTitle().toStdString(), c.WantCaption);
        EXPECT_EQ(w.Form->tmrSync->isActive(), c.WantTimer);
        EXPECT_EQ(w.Form->btnManualSync->isEnabled(), c.WantButton);
        EXPECT_EQ(w.Flags.IsKuaipanAccountCleared.load(), c.WantCleared);
        EXPECT_EQ(page.TaskListGUI().Model().Row(0).Title == QStringLiteral("b"), c.WantReload);
        LangApp().SetLang(QStringLiteral("en"));
    }
}

TEST(DesktopSetting, ACancelledStylePreviewIsUndone) {
    TDesktopDir dir;
    fs::create_directories(dir.Path() + "/styles");
    std::ofstream(dir.Path() + "/styles/Dark.0.Style") << "QWidget { color: white; }";
    TWindow w(dir);
    w.Form->ShowSettingDialog = [&] {
        w.Form->ApplyStyleFile(QString::fromStdString(dir.Path() + "/styles/Dark.0.Style"));
        return TSettingDialogResult{};
    };
    w.Form->DoSetting();
    EXPECT_TRUE(qApp->styleSheet().isEmpty());
    EXPECT_TRUE(w.Form->CurrentStyleFile().isEmpty());
}

// ---- upgrade, about, timers ---------------------------------------------------------------

TEST(DesktopUpgrade, TheUpgradeProgramGetsTheLanguageAndSilenceArguments) {
    struct Case {
        const char* Lang;
        bool Silent;
        const char* Args;
    } cases[] = {
        {"en", false, "otUpgrade -L:en -App:Dorvel -Auth:free"},
        {"cn", false, "otUpgrade -L:zh -App:Dorvel -Auth:free"},
        {"tw", true, "otUpgrade -L:tw -App:Dorvel -Auth:free -Silence"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Lang);
        TDesktopDir dir;
        dir.WriteSetting("Lang", c.Lang);
        TWindow w(dir);
        if (c.Silent)
            w.Form->tmrUpgradeTimer();
        else
            w.Form->OnToolMenuItemClick(
                w.Form->ToolPopupMenu()->findChild<QAction*>(QStringLiteral("pmiCheckUpdate")));
        ASSERT_EQ(w.Platform.FStarted.size(), 1);
        EXPECT_EQ(w.Platform.FStarted[0].toStdString(), dir.Path() + "/" + c.Args);
    }
}

TEST(DesktopUpgrade, TheTimerChecksEverySixHoursOnlyWhenTheSettingAsks) {
    TDesktopDir dir;
    dir.WriteSetting("IsCheckNewVerWhenAppStart", "False");
    TWindow w(dir);
    EXPECT_TRUE(w.Form->tmrUpgrade->isActive());
    EXPECT_EQ(w.Form->tmrUpgrade->interval(), 30000);
    w.Form->tmrUpgradeTimer();
    EXPECT_EQ(w.Form->tmrUpgrade->interval(), 21600000);
    EXPECT_TRUE(w.Platform.FStarted.isEmpty());
}

TEST(DesktopAbout, NamesTheProgramItsVersionArchitectureAndSystem) {
    TDesktopDir dir;
    TWindow w(dir);
    const QStringList lines = w.Form->AboutText().split(QStringLiteral("\r\n"));
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines[0], QStringLiteral("Brenmoor Sarnic Tasks (Dorvel)"));
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("Version ")));
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral(" (x86_64 Linux)")));
    EXPECT_EQ(lines[2], QStringLiteral("Test OS 1.0"));
    TModalAnswers answers;
    answers.ThenButton(QMessageBox::Ok);
    w.Form->DoAbout();
    ASSERT_EQ(answers.Shown().size(), 1u);
    EXPECT_EQ(answers.Shown()[0].Caption, QStringLiteral("About"));
}

TEST(DesktopSyncStrip, SyncTimerStartsTheThreadOnceAndOnlyWithAToken) {
    TDesktopDir dir;
    TWindow w(dir);
    EXPECT_FALSE(w.Form->tmrSync->isActive()) << "no token: the timer stays off";
    EXPECT_FALSE(w.Form->btnManualSync->isEnabled());
    TModalAnswers none;
    w.Form->btnManualSyncClick();
    EXPECT_EQ(w.Form->lblStatus->text(), QStringLiteral("Manual sync will begin."));
    EXPECT_TRUE(w.Flags.IsManualSyncRequested);
}

TEST(DesktopSyncStrip, TheLogWindowHoldsAtMostOneThousandAndOneLines) {
    TDesktopDir dir;
    TWindow w(dir);
    TfrmAppLog& log = w.Form->AppLog();
    for (int i = 1; i <= 1001; ++i)
        log.AddLog(QString::number(i));
    EXPECT_EQ(log.mmLogs->document()->blockCount(), 1001);
    log.AddLog(QStringLiteral("1002"));
    EXPECT_EQ(log.mmLogs->toPlainText(), QStringLiteral("1002"));
    EXPECT_EQ(log.windowTitle(), QStringLiteral("App Logs"));
}

TEST(DesktopSyncStrip, TheLogWindowCaptionFollowsTheLanguageOfTheSettings) {
    // The log window exists before the settings choose the language.
    TDesktopDir dir;
    dir.WriteSetting("Lang", "cn");
    TWindow w(dir);
    EXPECT_EQ(w.Form->AppLog().windowTitle(), QStringLiteral("程序日志"));
    LangApp().SetLang(QStringLiteral("tw"));
    EXPECT_EQ(w.Form->AppLog().windowTitle(), QStringLiteral("程式日誌"));
}

TEST(DesktopSyncStrip, DoubleClickOnTheStatusShowsTheLogBesideTheWindow) {
    TDesktopDir dir;
    TWindow w(dir);
    w.Form->move(10, 20);
    w.Form->GetMainFormPosSize();
    QTest::mouseDClick(w.Form->lblStatus, Qt::LeftButton);
    EXPECT_TRUE(w.Form->AppLog().isVisible());
    EXPECT_EQ(w.Form->AppLog().pos(), QPoint(10 + w.Form->AppLog().width(), 20));
}

} // namespace
} // namespace ot::test
