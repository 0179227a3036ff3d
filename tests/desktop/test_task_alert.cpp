// Alerts against a fixed clock: the due rule, reminders that fell into a
// gap, the alert window's rows, size and place, completing from it, "I
// Know", the setting, and the thread's start and end.

#include "desktop/DesktopTestSupport.h"

#include "common/Clock.h"
#include "desktop/OtAppCore.h"
#include "desktop/OtLang.h"
#include "desktop/OtTaskAlertModel.h"
#include "desktop/OtTaskGUIUtility.h"
#include "desktop/UnitTaskAlert.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

namespace ot::test {
namespace {

const TDateTime kToday = EncodeDate(2026, 12, 10);

TDateTime At(int h, int m, int s = 0) {
    return kToday + EncodeTime(h, m, s);
}

TOtTaskItem Item(TDateTime expiration, TDateTime alert, TTaskStatus status = tsNotCompleted) {
    return TOtTaskItem("t", "", status, expiration, alert, nullptr, nullptr);
}

TEST(DesktopAlertRule, AnOpenTaskIsDueFromTenMinutesBeforeItsAlertTimeToOneMinuteAfter) {
    struct Case {
        const char* Name;
        TDateTime Expiration, Alert;
        TTaskStatus Status;
        TDateTime Now;
        bool Due;
    } cases[] = {
        {"due now", kToday, EncodeTime(14, 30), tsNotCompleted, At(14, 30), true},
        {"ten minutes before", kToday, EncodeTime(14, 30), tsNotCompleted, At(14, 20), true},
        {"one second earlier", kToday, EncodeTime(14, 30), tsNotCompleted, At(14, 19, 59), false},
        {"one minute after", kToday, EncodeTime(14, 30), tsNotCompleted, At(14, 31), true},
        {"one second later", kToday, EncodeTime(14, 30), tsNotCompleted, At(14, 31, 1), false},
        {"two minutes after", kToday, EncodeTime(14, 30), tsNotCompleted, At(14, 32), false},
        {"no alert time: 08:50", kToday, 0, tsNotCompleted, At(8, 50), true},
        {"no alert time: 09:01", kToday, 0, tsNotCompleted, At(9, 1), true},
        {"no alert time: 08:49:59", kToday, 0, tsNotCompleted, At(8, 49, 59), false},
        {"completed", kToday, EncodeTime(14, 30), tsCompleted, At(14, 30), false},
        {"cleared", kToday, EncodeTime(14, 30), tsCleared, At(14, 30), false},
        {"due tomorrow", kToday + 1, EncodeTime(14, 30), tsNotCompleted, At(14, 30), false},
        {"no expiration date", 0, EncodeTime(14, 30), tsNotCompleted, At(14, 30), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(IsTaskItemDue(Item(c.Expiration, c.Alert, c.Status), c.Now), c.Due);
    }
}

TEST(DesktopAlertRule, AnAlertPeriodThatPassedWithoutACheckIsMissed) {
    struct Case {
        const char* Name;
        TDateTime PreviousCheck, Now;
        TTaskStatus Status;
        bool Missed;
    } cases[] = {
        {"first check of the run, after the period", 0, At(16, 0), tsNotCompleted, true},
        {"first check of the run, within the period", 0, At(14, 30), tsNotCompleted, false},
        {"first check of the run, before the period", 0, At(14, 0), tsNotCompleted, false},
        {"asleep from before the period to after it", At(14, 19), At(15, 0), tsNotCompleted, true},
        {"the last check fell into the period", At(14, 25), At(15, 0), tsNotCompleted, false},
        {"the last check came after the period", At(14, 31, 30), At(14, 32, 30), tsNotCompleted,
         false},
        {"completed meanwhile", 0, At(16, 0), tsCompleted, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(IsTaskItemAlertMissed(Item(kToday, EncodeTime(14, 30), c.Status), c.PreviousCheck,
                                        c.Now),
                  c.Missed);
    }
}

class DesktopTaskAlert : public ::testing::Test {
protected:
    DesktopTaskAlert() : clock(std::make_shared<FixedClock>(At(14, 25))), scoped(clock) {}

    // Items of class "Home", alert time 14:30 today, titles as given.
    void Open(const std::vector<std::pair<std::string, std::string>>& items,
              const char* alerts = "True") {
        dir.AddClass("1000000001AA", "Home");
        dir.AddClass("1000000002AA", "Work");
        auto cls = std::make_shared<TOtTaskClass>("1000000001AA", "Home");
        int n = 0;
        for (const auto& [title, remarks] : items) {
            TOtTaskItem item(title, remarks, tsNotCompleted, kToday, EncodeTime(14, 30), cls,
                             nullptr);
            item.SetPriority(n++);
            item.SaveToFile(dir.TaskData() + item.Path());
        }
        dir.WriteSetting("IsOpenTaskAlert", alerts);
        w = std::make_unique<TWindow>(dir);
        ASSERT_TRUE(w->Created);
        // The alerts are on the second page: its rows are not built yet.
        w->Form->TaskClassGUI()->SetTaskClassIndex(1);
        thread = w->Form->TaskAlertThread();
        ASSERT_NE(thread, nullptr);
    }
    TfrmTaskAlert* Window() const { return thread->AlertForm(); }
    bool Shown() const { return Window() && Window()->isVisible(); }

    std::shared_ptr<FixedClock> clock;
    ScopedClock scoped;
    TDesktopDir dir;
    std::unique_ptr<TWindow> w;
    TOtTaskAlertThread* thread = nullptr;
};

TEST_F(DesktopTaskAlert, TheWindowListsTheDueTasksInTheBottomRightCorner) {
    Open({{"one", "first line\nsecond line"}, {"two", ""}});
    thread->Round();
    ASSERT_TRUE(Shown());
    TfrmTaskAlert& a = *Window();
    EXPECT_EQ(a.lblTitle->text(), QStringLiteral("Dorvel - Alert"));
    EXPECT_EQ(a.size(), QSize(270, 2 * 42 + 56));
    // In the corner of the area the panels leave free, wholly inside it.
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(a.frameGeometry().bottomRight(), area.bottomRight());
    EXPECT_TRUE(area.contains(a.frameGeometry()));
    ASSERT_EQ(a.tvAlert->topLevelItemCount(), 2);
    // Sorted by priority on load, highest first: "two" then "one".
    QTreeWidgetItem* withRemarks = a.tvAlert->topLevelItem(1);
    EXPECT_EQ(withRemarks->text(0), QStringLiteral("one\nfirst line second line"));
    EXPECT_EQ(withRemarks->data(0, Qt::UserRole + 1).toString(),
              QStringLiteral("TVTaskItemDetailWithRemarks1"));
    EXPECT_EQ(withRemarks->text(1), QStringLiteral("26-12-10\r\n14:30"));
    EXPECT_EQ(a.tvAlert->topLevelItem(0)->data(0, Qt::UserRole + 1).toString(),
              QStringLiteral("TVTaskItemDetailNoRemarks1"));
    EXPECT_EQ(a.tvAlert->topLevelItem(0)->sizeHint(0).height(), 41);
}

TEST_F(DesktopTaskAlert, OneRowIsFortyTwoPlusFiftySixHighAndOnlyAlertIsTranslated) {
    Open({{"one", ""}});
    LangApp().SetLang(QStringLiteral("cn"));
    thread->Round();
    ASSERT_TRUE(Shown());
    EXPECT_EQ(Window()->height(), 42 + 56) << "whatever its controls would like";
    EXPECT_EQ(Window()->lblTitle->text(), QStringLiteral("Dorvel - 提醒"));
}

TEST_F(DesktopTaskAlert, NineDueTasksSizeTheWindowForEight) {
    std::vector<std::pair<std::string, std::string>> items;
    for (int i = 0; i < 9; ++i)
        items.push_back({"task " + std::to_string(i), ""});
    Open(items);
    thread->Round();
    ASSERT_TRUE(Shown());
    EXPECT_EQ(Window()->height(), 8 * 42 + 56);
    EXPECT_EQ(Window()->tvAlert->topLevelItemCount(), 9);
}

TEST_F(DesktopTaskAlert, TickingARowCompletesTheTaskThroughItsPage) {
    Open({{"a", ""}, {"b", ""}, {"c", ""}});
    thread->Round();
    ASSERT_TRUE(Shown());
    TfrmTaskAlert& a = *Window();
    const TOtTaskItemList shown = a.AlertTaskItemList();
    a.tvAlert->topLevelItem(0)->setCheckState(0, Qt::Checked);
    EXPECT_EQ(shown[0]->Status(), tsCompleted);
    TOtTaskListItem* page = w->Form->TaskClassGUI()->TaskListItems()[0].get();
    ASSERT_TRUE(page->IsLoaded());
    const int row = page->GetTreeViewItemByTaskItem(shown[0]);
    ASSERT_GE(row, 0);
    EXPECT_TRUE(page->TaskListGUI().Model().Row(row).Checked) << "the page shows it";
    TOtTaskClassList reloaded;
    w->Form->AppCore().LoadTaskClassList(reloaded);
    int completedOnDisk = 0;
    for (const auto& item : reloaded[0]->TaskList())
        completedOnDisk += item->Status() == tsCompleted;
    EXPECT_EQ(completedOnDisk, 1) << "saved";
    EXPECT_TRUE(Shown());
    EXPECT_EQ(a.tvAlert->topLevelItemCount(), 2);
    EXPECT_EQ(a.height(), 2 * 42 + 56) << "shrinks";

    a.tvAlert->topLevelItem(0)->setCheckState(0, Qt::Checked);
    a.tvAlert->topLevelItem(0)->setCheckState(0, Qt::Checked);
    EXPECT_FALSE(Shown()) << "the last row closes the window";
    for (const auto& item : shown)
        EXPECT_EQ(item->Status(), tsCompleted);
}

TEST_F(DesktopTaskAlert, ATaskWithoutAPageSpringsBack) {
    Open({{"a", ""}});
    thread->Round();
    ASSERT_TRUE(Shown());
    TOtTaskItemPtr item = Window()->AlertTaskItemList()[0];
    // Its class was deleted meanwhile, as the class manager does it.
    w->Form->TaskClassGUI()->Delete(item->TaskClass());
    w->Form->TaskClassList().erase(w->Form->TaskClassList().begin());
    Window()->tvAlert->topLevelItem(0)->setCheckState(0, Qt::Checked);
    EXPECT_EQ(Window()->tvAlert->topLevelItem(0)->checkState(0), Qt::Unchecked);
    EXPECT_EQ(item->Status(), tsNotCompleted);
    EXPECT_TRUE(Shown());
}

TEST_F(DesktopTaskAlert, IKnowHidesTheWindowUntilTheNextCheckFindsSomething) {
    Open({{"a", ""}});
    thread->Round();
    ASSERT_TRUE(Shown());
    Window()->btnIKnow->click();
    EXPECT_FALSE(Shown());
    clock->AdvanceSeconds(60); // 14:26, still within the period
    thread->Round();
    EXPECT_TRUE(Shown());
    Window()->btnIKnow->click();
    clock->Set(At(14, 32));
    thread->Round();
    EXPECT_FALSE(Shown()) << "reported during its period already";
}

TEST_F(DesktopTaskAlert, TheSettingIsReadAtEveryRound) {
    Open({{"a", ""}}, "False");
    thread->Round();
    EXPECT_EQ(Window(), nullptr) << "no check, no window";
    dir.WriteSetting("IsOpenTaskAlert", "True");
    clock->AdvanceSeconds(60);
    thread->Round();
    EXPECT_TRUE(Shown());
}

TEST_F(DesktopTaskAlert, RemindersMissedWhileNotRunningOrAsleepAreShownOnce) {
    clock->Set(At(17, 0)); // the program starts long after the alert time
    Open({{"a", ""}});
    thread->Round();
    ASSERT_TRUE(Shown());
    EXPECT_EQ(Window()->tvAlert->topLevelItemCount(), 1);
    Window()->btnIKnow->click();
    clock->AdvanceSeconds(60);
    thread->Round();
    EXPECT_FALSE(Shown()) << "once";
}

TEST_F(DesktopTaskAlert, TheTimerStartsTheThreadOnceAndItsRoundsRunOnTheWindowThread) {
    Open({{"a", ""}});
    w->Form->tmrAlertTimer();
    EXPECT_FALSE(w->Form->tmrAlert->isActive());
    EXPECT_EQ(w->Form->tmrAlert->property("Tag").toInt(), 100);
    EXPECT_TRUE(thread->Started());
    EXPECT_TRUE(QTest::qWaitFor([&] { return thread->Rounds() >= 1; }, 5000));
    EXPECT_TRUE(Shown());
    w->Form->tmrAlertTimer(); // later ticks start nothing
    // Ending the program waits for the thread without hanging.
    w.reset();
}

} // namespace
} // namespace ot::test
