// The program on the desktop's own services, each on a private session bus
// with a fake of the service: reminders as notifications with their two
// actions, the show/hide shortcut through the desktop portal; and one
// program per data root, start at login, the system's language.

#include "desktop/DBusTestSupport.h"
#include "desktop/DesktopTestSupport.h"

#include "common/Clock.h"
#include "desktop/OtAppCore.h"
#include "desktop/OtLang.h"
#include "desktop/OtTaskAlertModel.h"
#include "desktop/OtTaskGUIUtility.h"
#include "desktop/UnitAppLog.h"
#include "desktop/UnitSetting.h"
#include "desktop/UnitTaskAlert.h"
#include "platform/OtAutostart.h"
#include "platform/OtDBusNotifications.h"
#include "platform/OtPortalShortcuts.h"
#include "platform/OtSingleInstance.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace ot::test {
namespace {

const TDateTime kToday = EncodeDate(2026, 12, 10);

TDateTime At(int h, int m, int s = 0) {
    return kToday + EncodeTime(h, m, s);
}

// The window's reminders against a fake notification service: one task of
// class "Home" due today at 14:30, the clock at 14:25.
class DesktopReminders : public ::testing::Test {
protected:
    DesktopReminders()
        : clock(std::make_shared<FixedClock>(At(14, 25))), scoped(clock), service(bus.Connect()),
          client(bus.Connect()), fake(std::make_unique<TFakeNotificationService>(service)) {}

    void Open(const char* lang = "en") {
        dir.AddClass("1000000001AA", "Home");
        auto cls = std::make_shared<TOtTaskClass>("1000000001AA", "Home");
        TOtTaskItem item("Call the dentist", "before noon\nor after four", tsNotCompleted, kToday,
                         EncodeTime(14, 30), cls, nullptr);
        item.SaveToFile(dir.TaskData() + item.Path());
        dir.WriteSetting("Lang", lang);
        w = std::make_unique<TWindow>(
            dir, true, [this](TFakePlatform& p) { p.FNotifications = &notifications; });
        ASSERT_TRUE(w->Created);
        thread = w->Form->TaskAlertThread();
    }
    // The task as the file on disk has it.
    TTaskStatus StatusOnDisk() const {
        TOtTaskClassList reloaded;
        w->Form->AppCore().LoadTaskClassList(reloaded);
        return reloaded.at(0)->TaskList().at(0)->Status();
    }
    bool WaitForNotifications(std::size_t n) {
        return QTest::qWaitFor([&] { return fake->Received.size() >= n; }, 5000);
    }
    bool AlertShown() const { return thread->AlertForm() && thread->AlertForm()->isVisible(); }

    std::shared_ptr<FixedClock> clock;
    ScopedClock scoped;
    TPrivateSessionBus bus;
    QDBusConnection service;
    QDBusConnection client;
    std::unique_ptr<TFakeNotificationService> fake;
    TDBusNotifications notifications{client};
    TDesktopDir dir;
    std::unique_ptr<TWindow> w;
    TOtTaskAlertThread* thread = nullptr;
};

TEST_F(DesktopReminders, ADueTaskArrivesOnceWithBothActionsInTheCurrentLanguage) {
    struct Case {
        const char* Lang;
        QString AppName, Complete, Snooze;
    } cases[] = {
        {"en", "Dorvel", "Complete", "Remind me in 10 minutes"},
        {"cn", "Sarnic Tasks", "完成", "10 分钟后提醒我"},
    };
    Open(cases[0].Lang);
    TOtTaskItem& task = *w->Form->TaskClassList()[0]->TaskList()[0];
    int day = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Lang);
        LangApp().SetLang(QString::fromLatin1(c.Lang));
        fake->Received.clear();
        day += 2;
        task.SetExpirationDate(kToday + day);
        clock->Set(At(14, 25) + day);
        thread->Round();
        ASSERT_TRUE(WaitForNotifications(1));
        const TFakeNotificationService::TNotification& n = fake->Received[0];
        EXPECT_EQ(n.AppName, c.AppName);
        EXPECT_EQ(n.Summary, QStringLiteral("Call the dentist"));
        EXPECT_EQ(n.Body, QStringLiteral("14:30\nbefore noon or after four"));
        EXPECT_EQ(n.Actions, (QStringList{QStringLiteral("complete"), c.Complete,
                                          QStringLiteral("snooze"), c.Snooze}));
        EXPECT_EQ(n.ExpireTimeout, 0) << "stays until answered";
        EXPECT_TRUE(AlertShown()) << "the alert window as well";
        // The window shows the task at every check of its period; the
        // notification came once.
        clock->Set(At(14, 26) + day);
        thread->Round();
        QTest::qWait(200);
        EXPECT_EQ(fake->Received.size(), 1u);
        // The next day's reminder is told again.
        thread->AlertForm()->btnIKnowClick();
        task.SetExpirationDate(kToday + day + 1);
        clock->Set(At(14, 25) + day + 1);
        thread->Round();
        EXPECT_TRUE(WaitForNotifications(2));
    }
}

TEST_F(DesktopReminders, CompleteFromTheNotificationCompletesTheTaskOnDiskAndInTheWindows) {
    Open();
    thread->Round();
    ASSERT_TRUE(WaitForNotifications(1));
    ASSERT_TRUE(AlertShown());
    fake->InvokeAction(fake->Received[0].Id, QStringLiteral("complete"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return StatusOnDisk() == tsCompleted; }, 5000));
    EXPECT_FALSE(AlertShown()) << "its only row is answered";
    TOtTaskListItem* page = w->Form->TaskClassGUI()->TaskListItems()[0].get();
    ASSERT_EQ(page->TaskCount(), 1);
    EXPECT_TRUE(page->TaskListGUI().Model().Row(0).Checked) << "the page shows it";
    // An answer that comes twice, or for another notification, does nothing.
    fake->InvokeAction(fake->Received[0].Id, QStringLiteral("complete"));
    fake->InvokeAction(99, QStringLiteral("snooze"));
    QTest::qWait(100);
    EXPECT_FALSE(thread->IsSnoozed(w->Form->TaskClassList()[0]->TaskList()[0]->ID()));
}

TEST_F(DesktopReminders, ATaskTickedInTheAlertWindowTakesItsNotificationAway) {
    Open();
    thread->Round();
    ASSERT_TRUE(WaitForNotifications(1));
    // The id has come back from the service before the tick.
    QTest::qWait(100);
    thread->AlertForm()->tvAlert->topLevelItem(0)->setCheckState(0, Qt::Checked);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !fake->Closed.empty(); }, 5000));
    EXPECT_EQ(fake->Closed, std::vector<uint>{fake->Received[0].Id});
    EXPECT_EQ(StatusOnDisk(), tsCompleted);
}

TEST_F(DesktopReminders, ASnoozedReminderComesBackOnceAfterTenMinutes) {
    Open();
    thread->Round();
    ASSERT_TRUE(WaitForNotifications(1));
    fake->InvokeAction(fake->Received[0].Id, QStringLiteral("snooze"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !AlertShown(); }, 5000)) << "answered for now";
    // Within its alert period, but snoozed: neither the window nor a notification.
    for (int minute = 26; minute < 35; ++minute) {
        clock->Set(At(14, minute, 30));
        thread->Round();
        EXPECT_FALSE(AlertShown()) << "14:" << minute;
    }
    QTest::qWait(100);
    EXPECT_EQ(fake->Received.size(), 1u);
    clock->Set(At(14, 35, 30));
    thread->Round();
    EXPECT_TRUE(AlertShown());
    ASSERT_TRUE(WaitForNotifications(2));
    EXPECT_EQ(fake->Received[1].Summary, QStringLiteral("Call the dentist"));
    EXPECT_EQ(fake->Received[1].Body.left(5), QStringLiteral("14:35")) << "due at the snooze's end";
    thread->AlertForm()->btnIKnowClick();
    clock->Set(At(14, 36, 30));
    thread->Round();
    QTest::qWait(100);
    EXPECT_FALSE(AlertShown()) << "once";
    EXPECT_EQ(fake->Received.size(), 2u);
    EXPECT_EQ(StatusOnDisk(), tsNotCompleted) << "snoozing changes nothing on disk";
}

TEST_F(DesktopReminders, WithoutANotificationServiceTheAlertWindowStillShows) {
    fake.reset();
    Open();
    bool answered = false;
    uint id = 7;
    notifications.Notify(QStringLiteral("a"), QStringLiteral("b"), QString(), {}, [&](uint n) {
        answered = true;
        id = n;
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return answered; }, 10000));
    EXPECT_EQ(id, 0u) << "no service took it";
    thread->Round();
    EXPECT_TRUE(AlertShown());
}

// ---- the show/hide shortcut through the portal ------------------------------------------------

TEST(DesktopPortalShortcut, IsBoundThroughTheSessionAndActivatesTheToggle) {
    TPrivateSessionBus bus;
    QDBusConnection service = bus.Connect();
    TFakeShortcutPortal portal(service);
    TPortalShortcuts shortcut(bus.Connect(), QStringLiteral("show-hide"),
                              QStringLiteral("Show or hide the task list"),
                              QStringLiteral("ALT+x"));
    QSignalSpy registered(&shortcut, &TPortalShortcuts::registered);
    QSignalSpy failed(&shortcut, &TPortalShortcuts::failed);
    QSignalSpy activated(&shortcut, &TPortalShortcuts::activated);
    shortcut.Register();
    ASSERT_TRUE(registered.wait(5000));
    EXPECT_TRUE(shortcut.IsRegistered());
    EXPECT_EQ(failed.count(), 0);
    EXPECT_EQ(portal.Calls,
              (QStringList{QStringLiteral("CreateSession"), QStringLiteral("BindShortcuts")}));
    ASSERT_EQ(portal.Bound.size(), 1u);
    EXPECT_EQ(portal.Bound[0].Id, QStringLiteral("show-hide"));
    EXPECT_EQ(portal.Bound[0].Properties.value(QStringLiteral("preferred_trigger")).toString(),
              QStringLiteral("ALT+x"));
    EXPECT_FALSE(
        portal.Bound[0].Properties.value(QStringLiteral("description")).toString().isEmpty());
    portal.Activate(QStringLiteral("show-hide"));
    EXPECT_TRUE(activated.wait(5000));
    portal.Activate(QStringLiteral("another"));
    QTest::qWait(100);
    EXPECT_EQ(activated.count(), 1) << "only its own shortcut";
}

TEST(DesktopPortalShortcut, ARefusalOrAMissingPortalIsReportedOnce) {
    for (bool withPortal : {true, false}) {
        SCOPED_TRACE(withPortal ? "refused" : "no portal");
        TPrivateSessionBus bus;
        QDBusConnection service = bus.Connect();
        std::unique_ptr<TFakeShortcutPortal> portal;
        if (withPortal) {
            portal = std::make_unique<TFakeShortcutPortal>(service);
            portal->BindResponse = 1;
        }
        TPortalShortcuts shortcut(bus.Connect(), QStringLiteral("show-hide"), QStringLiteral("d"),
                                  QStringLiteral("ALT+x"));
        QSignalSpy failed(&shortcut, &TPortalShortcuts::failed);
        shortcut.Register();
        ASSERT_TRUE(failed.wait(15000));
        QTest::qWait(100);
        EXPECT_EQ(failed.count(), 1);
        EXPECT_FALSE(shortcut.IsRegistered());
    }
}

TEST(DesktopPortalShortcut, TheLogSaysOnceThatNoShortcutCouldBeRegistered) {
    TDesktopDir dir;
    TWindow w(dir, true, [](TFakePlatform& p) { p.FHotKeyAvailable = false; });
    ASSERT_TRUE(w.Created);
    w.Platform.FailHotKeyLater(QStringLiteral("the portal refused it"));
    const QString log = w.Form->AppLog().mmLogs->toPlainText();
    EXPECT_EQ(log.count(QStringLiteral("could not be registered")), 1) << log.toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("another program holds Alt+X")));
}

// ---- one program per data root -------------------------------------------------------------

TEST(DesktopSingleInstance, ASecondStartOnTheSameTreeAsksTheFirstAndEnds) {
    TDesktopDir dir, other;
    const QString sockets = QString::fromStdString(dir.Path()) + QStringLiteral("/sockets");
    QDir().mkpath(sockets);
    TOtSingleInstance first(QString::fromStdString(dir.Path()), sockets);
    QSignalSpy asked(&first, &TOtSingleInstance::activationRequested);
    ASSERT_TRUE(first.Claim());
    // The same tree by another spelling of its path.
    TOtSingleInstance second(QString::fromStdString(dir.Path()) + QStringLiteral("/userdata/.."),
                             sockets);
    EXPECT_FALSE(second.Claim());
    EXPECT_TRUE(asked.count() == 1 || asked.wait(5000));
    TOtSingleInstance elsewhere(QString::fromStdString(other.Path()), sockets);
    EXPECT_TRUE(elsewhere.Claim()) << "another tree is another program";
    EXPECT_EQ(asked.count(), 1);
}

TEST(DesktopSingleInstance, ASocketLeftByAProgramThatDiedDoesNotStopTheNextStart) {
    TDesktopDir dir;
    const QString sockets = QString::fromStdString(dir.Path());
    TOtSingleInstance probe(sockets, sockets);
    // A socket file nobody listens on, as a crash leaves it.
    const QByteArray path = probe.SocketName().toLocal8Bit();
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(static_cast<std::size_t>(path.size()), sizeof(addr.sun_path));
    std::memcpy(addr.sun_path, path.constData(), static_cast<std::size_t>(path.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ::close(fd);
    ASSERT_TRUE(QFileInfo::exists(probe.SocketName()));

    TOtSingleInstance next(sockets, sockets);
    ASSERT_TRUE(next.Claim());
    QSignalSpy asked(&next, &TOtSingleInstance::activationRequested);
    TOtSingleInstance after(sockets, sockets);
    EXPECT_FALSE(after.Claim()) << "the new one listens";
    EXPECT_TRUE(asked.count() == 1 || asked.wait(5000));
}

// The program itself in a program directory of its own: a second start ends
// at once and leaves the first running; after the first was killed, its
// socket left behind does not stop the next start.
TEST(DesktopSingleInstance, TheProgramStartedTwiceOnOneTreeRunsOnce) {
    TDesktopDir dir;
    for (const auto& [key, value] :
         {std::pair{"IsOpenKuaipanSync", "False"}, std::pair{"IsOpenTaskAlert", "False"},
          std::pair{"IsCheckNewVerWhenAppStart", "False"}})
        dir.WriteSetting(key, value);
    const QString program = QString::fromStdString(dir.Path()) + QStringLiteral("/otTodolist");
    ASSERT_TRUE(QFile::copy(QStringLiteral(OT_TODOLIST_EXE), program));
    const QString sockets = QString::fromStdString(dir.Path()) + QStringLiteral("/run");
    QDir().mkpath(sockets);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), sockets);
    env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    const QString socket =
        TOtSingleInstance(QString::fromStdString(dir.Path()) + QLatin1Char('/'), sockets)
            .SocketName();
    const auto start = [&](QProcess& p) {
        p.setProcessEnvironment(env);
        p.start(program, {});
        return p.waitForStarted(10000);
    };
    const auto listening = [&] {
        return QTest::qWaitFor([&] { return QFileInfo::exists(socket); }, 60000);
    };

    QProcess first;
    ASSERT_TRUE(start(first));
    ASSERT_TRUE(listening()) << "the first start listens";
    QProcess second;
    ASSERT_TRUE(start(second));
    EXPECT_TRUE(second.waitForFinished(60000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(first.state(), QProcess::Running) << "the first one goes on";

    first.kill();
    first.waitForFinished(10000);
    ASSERT_TRUE(QFileInfo::exists(socket)) << "a killed program leaves its socket";
    QProcess third;
    ASSERT_TRUE(start(third));
    // It runs and listens: the next start is the one that ends.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            QLocalSocket probe;
            probe.connectToServer(socket);
            return probe.waitForConnected(200);
        },
        60000));
    QProcess fourth;
    ASSERT_TRUE(start(fourth));
    EXPECT_TRUE(fourth.waitForFinished(60000));
    EXPECT_EQ(fourth.exitCode(), 0);
    EXPECT_EQ(third.state(), QProcess::Running);
    third.kill();
    third.waitForFinished(10000);
}

// ---- start at login ----------------------------------------------------------------------

TEST(DesktopAutostart, TheEntryQuotesAProgramPathThatNeedsIt) {
    const struct {
        const char* Path;
        const char* Exec;
    } cases[] = {
        {"/usr/bin/otTodolist", "/usr/bin/otTodolist"},
        {"/home/a b/otTodolist", "\"/home/a b/otTodolist\""},
        {"/opt/100%/otTodolist", "/opt/100%%/otTodolist"},
        {"/opt/$x/o\"t", "\"/opt/\\\\$x/o\\\\\"t\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Path);
        EXPECT_EQ(DesktopExecQuote(QString::fromUtf8(c.Path)), QString::fromUtf8(c.Exec));
    }
}

TEST(DesktopAutostart, TheSettingWritesAndRemovesTheAutostartEntry) {
    TDesktopDir dir;
    const QString config = QString::fromStdString(dir.Path()) + QStringLiteral("/config");
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", config.toLocal8Bit());
    const QString entry = config + QStringLiteral("/autostart/org.brenmoor.ottodolist.desktop");
    TWindow w(dir);
    const auto runDialog = [&](std::function<void(TfrmSetting&)> change) {
        bool wasOn = false;
        TModalAnswers answers;
        answers.Then([&](QDialog& d) {
            auto& s = dynamic_cast<TfrmSetting&>(d);
            wasOn = s.swStartAtLogin->isChecked();
            change(s);
            s.btnOK->click();
            return s.result();
        });
        ExecSettingDialog(*w.Form);
        return wasOn;
    };
    EXPECT_FALSE(runDialog([](TfrmSetting& s) { s.swStartAtLogin->click(); }));
    ASSERT_TRUE(QFileInfo::exists(entry));
    QFile f(entry);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(f.readAll());
    EXPECT_TRUE(text.startsWith(QStringLiteral("[Desktop Entry]\nType=Application\n")));
    EXPECT_TRUE(text.contains(QStringLiteral("\nExec=") +
                              DesktopExecQuote(QCoreApplication::applicationFilePath()) +
                              QLatin1Char('\n')));
    EXPECT_TRUE(runDialog([](TfrmSetting&) {})) << "the switch shows the entry";
    EXPECT_TRUE(QFileInfo::exists(entry));
    EXPECT_TRUE(runDialog([](TfrmSetting& s) { s.swStartAtLogin->click(); }));
    EXPECT_FALSE(QFileInfo::exists(entry));
    qputenv("XDG_CONFIG_HOME", saved);
}

// ---- the system's language at the first start -------------------------------------------

TEST(DesktopSystemLanguage, AFirstStartFollowsTheSystemAChoiceInTheSettingsWins) {
    const struct {
        const char* Name;
        const char* Locale;
        const char* Setting; // null: none yet
        const char* Lang;
        const char* DefaultList;
    } cases[] = {
        {"traditional", "zh_TW.UTF-8", nullptr, "tw", "默認任務列表"},
        {"simplified", "zh_CN.UTF-8", nullptr, "cn", "默认任务列表"},
        {"other", "de_DE.UTF-8", nullptr, "en", "Default List"},
        {"chosen before", "zh_CN.UTF-8", "en", "en", "Default List"},
    };
    const QByteArray saved[] = {qgetenv("LC_ALL"), qgetenv("LC_MESSAGES"), qgetenv("LANG")};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        qunsetenv("LC_ALL");
        qunsetenv("LC_MESSAGES");
        qputenv("LANG", c.Locale);
        TDesktopDir dir;
        if (c.Setting)
            dir.WriteSetting("Lang", c.Setting);
        TWindow w(dir);
        ASSERT_TRUE(w.Created);
        EXPECT_EQ(LangApp().Lang(), QString::fromLatin1(c.Lang));
        ASSERT_EQ(w.Form->TaskClassList().size(), 1u);
        EXPECT_EQ(w.Form->TaskClassList()[0]->Title(), c.DefaultList);
    }
    const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    for (int i = 0; i < 3; ++i)
        if (saved[i].isNull())
            qunsetenv(names[i]);
        else
            qputenv(names[i], saved[i]);
}

} // namespace
} // namespace ot::test
