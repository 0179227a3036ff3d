// The cloud login window on a real otCloudServer: its checks, every status
// text, one login at a time, a closed window that never hears the outcome;
// and end to end through the settings dialog: binding an account, a pass
// that pushes the tree, removing the account, binding a second account of
// the same server (nothing lost, everything pushed).

#include "desktop/DesktopTestSupport.h"

#include "cli/CliTestSupport.h"
#include "cloud/KuaipanAPI.h"
#include "cloud/KuaipanConsumer.h"
#include "desktop/OtAppCore.h"
#include "desktop/OtLang.h"
#include "desktop/OtTaskGUIUtility.h"
#include "desktop/UnitAppLog.h"
#include "desktop/UnitKuaipanLogin.h"
#include "desktop/UnitManageTaskClass.h"
#include "desktop/UnitSetting.h"
#include "support/CloudServerProcess.h"
#include "sync/OtKuaipanSyncUtility.h"
#include "syncqueue/OtSyncQueueDBModel.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace ot::test {
namespace {

namespace fs = std::filesystem;

class DesktopKuaipanLogin : public ::testing::Test {
protected:
    DesktopKuaipanLogin() { server.WriteHostsFile(dir.Path()); }

    void OpenWindow() {
        w = std::make_unique<TWindow>(dir);
        ASSERT_TRUE(w->Created);
    }
    std::unique_ptr<TfrmKuaipanLogin> NewLogin() {
        return std::make_unique<TfrmKuaipanLogin>(w->Form->AppCore(), w->Platform);
    }
    // Presses "Login & Auth" and waits for the outcome.
    static bool Login(TfrmKuaipanLogin& login, const QString& user, const QString& password) {
        login.edtUsername->setText(user);
        login.edtUserpwd->setText(password);
        login.btnLoginAuth->click();
        return QTest::qWaitFor([&] { return !login.IsLogining(); }, 30000);
    }
    std::string AuthFile() const { return dir.Path() + "/userdata/1/MyAuth.adb"; }

    CloudServerProcess server;
    TDesktopDir dir;
    std::unique_ptr<TWindow> w;
};

TEST_F(DesktopKuaipanLogin, EmptyEntriesAreRefusedBeforeAnyRequest) {
    OpenWindow();
    struct Case {
        const char* User;
        const char* Password;
        const char* Warning;
        const char* Focus;
    } cases[] = {
        {"", "secret", "Username cannot be empty!", "edtUsername"},
        {"   ", "secret", "Username cannot be empty!", "edtUsername"},
        {"alice", "", "Password cannot be empty!", "edtUserpwd"},
        {"alice", "  ", "Password cannot be empty!", "edtUserpwd"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.User) + "/" + c.Password);
        auto login = NewLogin();
        login->show();
        TModalAnswers answers;
        answers.ThenButton(QMessageBox::Ok);
        login->edtUsername->setText(QString::fromLatin1(c.User));
        login->edtUserpwd->setText(QString::fromLatin1(c.Password));
        login->btnLoginAuth->click();
        ASSERT_EQ(answers.Shown().size(), 1u);
        EXPECT_EQ(answers.Shown()[0].Text.toStdString(), c.Warning);
        EXPECT_EQ(answers.Shown()[0].Caption, QStringLiteral("Warning"));
        EXPECT_FALSE(login->IsLogining());
        ASSERT_NE(login->focusWidget(), nullptr);
        EXPECT_EQ(login->focusWidget()->objectName(), QLatin1String(c.Focus));
    }
    EXPECT_EQ(server.Counter("request_token"), 0);
}

TEST_F(DesktopKuaipanLogin, TheStatusLineTellsHowTheLoginEnded) {
    OpenWindow();
    struct Case {
        const char* Name;
        std::vector<CloudServerProcess::Fault> Faults;
        const char* Password;
        const char* WantStatus; // the start of the status line
        bool WantOK;
        int WantWebLogins;
    } cases[] = {
        {"no address after three attempts",
         {{.Kind = "request_token", .Count = 3}},
         "open sesame",
         "Login failed!",
         false,
         0},
        {"wrong password", {}, "wrong", "Authorization failed:", false, 1},
        {"the verifier cannot be exchanged",
         {{.Kind = "access_token", .Count = 1}},
         "open sesame",
         "Authorization failed! Verifier: ",
         false,
         1},
        {"a failed first address attempt, then one web login",
         {{.Kind = "request_token", .Count = 1}},
         " open sesame ",
         "Authorized success!",
         true,
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        server.ClearFaults();
        server.ResetCounters();
        fs::remove(AuthFile());
        for (const auto& f : c.Faults)
            server.AddFault(f);
        auto login = NewLogin();
        ASSERT_TRUE(Login(*login, QStringLiteral(" alice "), QString::fromLatin1(c.Password)));
        EXPECT_TRUE(login->lblMessage->text().startsWith(QLatin1String(c.WantStatus)))
            << login->lblMessage->text().toStdString();
        EXPECT_EQ(login->result() == QDialog::Accepted, c.WantOK);
        EXPECT_EQ(fs::exists(AuthFile()), c.WantOK);
        EXPECT_EQ(server.Counter("authorise_check"), c.WantWebLogins);
        EXPECT_TRUE(login->AniIndicator1->isVisibleTo(login.get())) << "stays visible";
    }
}

TEST_F(DesktopKuaipanLogin, OneLoginAtATimeAndAClosedWindowHearsNothing) {
    OpenWindow();
    server.AddFault({.Kind = "authorise_check", .Count = 1, .Action = "delay", .DelayMs = 1500});
    auto login = NewLogin();
    login->edtUsername->setText(QStringLiteral("alice"));
    login->edtUserpwd->setText(QStringLiteral("open sesame"));
    login->btnLoginAuth->click();
    ASSERT_TRUE(login->IsLogining());
    EXPECT_EQ(login->lblMessage->text(), QStringLiteral("Logining, please wait ..."));
    login->btnLoginAuth->click(); // pressed again meanwhile
    auto second = NewLogin();     // or another window tries
    second->edtUsername->setText(QStringLiteral("alice"));
    second->edtUserpwd->setText(QStringLiteral("open sesame"));
    second->btnLoginAuth->click();
    EXPECT_FALSE(second->IsLogining());
    // Closed while the web login runs: the login stops before a token is
    // exchanged, and the window (gone by then) hears nothing.
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.Counter("authorise_page") == 1; }, 30000));
    login->btnClose->click();
    EXPECT_EQ(login->result(), QDialog::Rejected);
    login.reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w->Form->AppCore().IsLoginRunning(); }, 30000));
    QTest::qWait(50);
    EXPECT_EQ(server.Counter("request_token"), 1);
    EXPECT_EQ(server.Counter("authorise_check"), 1);
    EXPECT_EQ(server.Counter("access_token"), 0);
    EXPECT_FALSE(fs::exists(AuthFile()));

    // The next login runs normally.
    ASSERT_TRUE(Login(*second, QStringLiteral("alice"), QStringLiteral("open sesame")));
    EXPECT_EQ(second->result(), QDialog::Accepted);
}

TEST_F(DesktopKuaipanLogin, SettingsWrittenWhileTheLoginRunsAreAllKept) {
    OpenWindow();
    // The login records the linked account while this thread keeps writing
    // settings, as the windows do.
    server.AddFault({.Kind = "access_token", .Count = 1, .Action = "delay", .DelayMs = 300});
    auto login = NewLogin();
    login->edtUsername->setText(QStringLiteral("alice"));
    login->edtUserpwd->setText(QStringLiteral("open sesame"));
    login->btnLoginAuth->click();
    TOtSettingFile& settings = w->Form->AppCore().SettingFile();
    int written = 0;
    QElapsedTimer timer;
    timer.start();
    while (login->IsLogining() && timer.elapsed() < 30000) {
        ASSERT_TRUE(settings.WriteString("Probe" + std::to_string(written), "x"));
        ++written;
        QCoreApplication::processEvents();
    }
    ASSERT_EQ(login->result(), QDialog::Accepted) << login->lblMessage->text().toStdString();
    EXPECT_NE(dir.ReadSetting("KuaipanLinkedAccount"), "");
    for (int i = 0; i < written; ++i)
        EXPECT_EQ(dir.ReadSetting("Probe" + std::to_string(i)), "x") << i << " of " << written;
}

TEST_F(DesktopKuaipanLogin, RegisterOpensTheServicesWebSite) {
    OpenWindow();
    auto login = NewLogin();
    EXPECT_EQ(login->windowTitle(), QStringLiteral("Kuaipan Account"));
    EXPECT_EQ(login->edtUserpwd->echoMode(), QLineEdit::Password);
    EXPECT_FALSE(login->AniIndicator1->isVisibleTo(login.get()));
    login->btnRegisterKuaipanAccount->click();
    EXPECT_EQ(w->Platform.FOpened,
              QStringList{QStringLiteral("http://") + QString::fromStdString(server.PlainHost()) +
                          QStringLiteral("/")});
}

// ---- end to end through the settings dialog --------------------------------------------------

// Presses the account button of the settings dialog (its login window is
// answered next), then OK.
TModalAnswers::TAnswer BindThenOK() {
    return [](QDialog& d) {
        auto& s = dynamic_cast<TfrmSetting&>(d);
        s.btnKuaipanAccount->click();
        s.btnOK->click();
        return s.result();
    };
}

// Removes the account in the settings dialog (its confirmation is answered
// next), then OK.
TModalAnswers::TAnswer RemoveAccountThenOK() {
    return [](QDialog& d) {
        auto& s = dynamic_cast<TfrmSetting&>(d);
        s.btnClearKuaipanAccount->click();
        s.btnOK->click();
        return s.result();
    };
}

// Binds a program directory's installation by writing its access-token file.
void WriteToken(const std::string& programDir, const std::pair<std::string, std::string>& token) {
    std::ofstream(programDir + "/userdata/1/MyAuth.adb") << token.first << "\r\n"
                                                         << token.second << "\r\n";
}

TModalAnswers::TAnswer AnswerLogin(const char* user, const char* password) {
    return [user, password](QDialog& d) {
        auto& login = dynamic_cast<TfrmKuaipanLogin&>(d);
        login.edtUsername->setText(QString::fromUtf8(user));
        login.edtUserpwd->setText(QString::fromUtf8(password));
        login.btnLoginAuth->click();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !login.IsLogining(); }, 30000));
        return login.result();
    };
}

std::map<std::string, std::string> ItemTitles(const clitest::TProgramDir& machine) {
    std::map<std::string, std::string> titles;
    for (const auto& list : nlohmann::json::parse(machine.Spawn({"list", "--json"}).Out))
        for (const auto& item : list["items"])
            titles[item["id"]] = std::string(list["title"]) + "/" + std::string(item["title"]);
    return titles;
}

TEST_F(DesktopKuaipanLogin, BindingPushingRemovingAndBindingASecondAccount) {
    server.AddUser("bob", "bob's secret");
    OpenWindow();
    w->Form->AppCore().KuaipanSyncUtility()->SetRowPause(std::chrono::milliseconds(0));
    // The tree is made the way a user makes it: the default list, a second
    // one from the class manager, items by quick entry.
    {
        TfrmManageTaskClass manager(*w->Form);
        manager.edtTaskClassName->setText(QStringLiteral("Work"));
        manager.btnAddTaskClassClick();
    }
    const std::vector<std::vector<const char*>> items = {
        {"milk", "bread"}, {"report", "slides", "budget", "plan", "mail", "call", "review"}};
    for (int page = 0; page < 2; ++page) {
        w->Form->TaskClassGUI()->SetTaskClassIndex(page);
        for (const char* title : items[static_cast<std::size_t>(page)]) {
            w->Form->edtTask->setText(QString::fromLatin1(title));
            QTest::keyClick(w->Form->edtTask, Qt::Key_Return);
        }
    }
    EXPECT_FALSE(w->Form->tmrSync->isActive()) << "no account yet";
    const auto localFiles = dir.Tree();

    {
        TModalAnswers answers;
        answers.Then(BindThenOK()).Then(AnswerLogin("alice", "open sesame"));
        w->Form->DoSetting();
        EXPECT_EQ(answers.Pending(), 0u);
    }
    EXPECT_TRUE(fs::exists(AuthFile()));
    EXPECT_EQ(dir.ReadSetting("KuaipanAccount"), "alice");
    EXPECT_TRUE(w->Form->tmrSync->isActive()) << "the new account switches the timer on";
    EXPECT_TRUE(w->Form->btnManualSync->isEnabled());
    w->Form->tmrSyncTimer();
    ASSERT_TRUE(WaitForPasses(*w, 1)) << server.Log();
    const auto expectAllLinked = [&] {
        TOtSyncQueueList rows;
        TOtSyncQueueDBUtility(dir.Database()).ListSyncQueue(rows, "");
        EXPECT_EQ(rows.size(), 11u) << "two lists, nine items";
        for (const auto& row : rows) {
            EXPECT_NE(row.KuaipanFileID(), "") << row.TaskItemID() << " pushed";
            EXPECT_EQ(row.SyncType(), 0);
        }
    };
    expectAllLinked();

    clitest::TProgramDir aliceMachine;
    server.WriteHostsFile(aliceMachine.Path());
    const auto token = server.IssueAccessToken("alice");
    WriteToken(aliceMachine.Path(), token);
    const auto alicePass = aliceMachine.Spawn({"sync", "--pause", "0"});
    ASSERT_EQ(alicePass.ExitCode, 0) << alicePass.Out << alicePass.Err;
    const auto titles = ItemTitles(aliceMachine);
    EXPECT_EQ(titles.size(), 9u) << alicePass.Out << aliceMachine.Spawn({"list", "--json"}).Out;

    // Removing the account takes effect on OK: no token, no automatic pass.
    {
        TModalAnswers answers;
        answers.Then(RemoveAccountThenOK()).ThenButton(QMessageBox::Yes);
        w->Form->DoSetting();
    }
    EXPECT_FALSE(fs::exists(AuthFile()));
    EXPECT_EQ(dir.ReadSetting("KuaipanAccount"), "");
    EXPECT_TRUE(w->Flags.IsKuaipanAccountCleared.load());
    EXPECT_FALSE(w->Form->btnManualSync->isEnabled());
    const int passes = w->Form->AppCore().KuaipanSyncThread()->SyncCount();
    QTest::qWait(300);
    EXPECT_EQ(w->Form->AppCore().KuaipanSyncThread()->SyncCount(), passes);

    // A second account of the same server: the whole tree goes there, the
    // guard against mass deletions holds nothing back, nothing is lost.
    {
        TModalAnswers answers;
        answers.Then(BindThenOK()).Then(AnswerLogin("bob", "bob's secret"));
        w->Form->DoSetting();
        EXPECT_EQ(answers.Pending(), 0u);
    }
    EXPECT_FALSE(w->Flags.IsKuaipanAccountCleared.load());
    EXPECT_EQ(dir.ReadSetting("KuaipanAccount"), "bob");
    EXPECT_TRUE(w->Form->btnManualSync->isEnabled());
    w->Form->btnManualSyncClick();
    ASSERT_TRUE(WaitForPasses(*w, passes + 1));
    w->Form->btnManualSyncClick();
    ASSERT_TRUE(WaitForPasses(*w, passes + 2)) << "a later pass runs as well";
    const QString log = w->Form->AppLog().mmLogs->toPlainText();
    EXPECT_FALSE(log.contains(QStringLiteral("error"), Qt::CaseInsensitive)) << log.toStdString();
    EXPECT_EQ(dir.Tree(), localFiles);
    EXPECT_EQ(w->Form->TaskClassGUI()->TaskClassCount(), 2);
    expectAllLinked();

    clitest::TProgramDir bobMachine;
    server.WriteHostsFile(bobMachine.Path());
    const auto bobToken = server.IssueAccessToken("bob");
    WriteToken(bobMachine.Path(), bobToken);
    ASSERT_EQ(bobMachine.Spawn({"sync", "--pause", "0"}).ExitCode, 0);
    EXPECT_EQ(ItemTitles(bobMachine), titles);
}

TEST_F(DesktopKuaipanLogin, APassAfterTheAccountWasRemovedSendsNothing) {
    const auto token = server.IssueAccessToken("alice");
    WriteToken(dir.Path(), token);
    dir.WriteSetting("KuaipanAccount", "alice");
    OpenWindow();
    w->Form->AppCore().KuaipanSyncUtility()->SetRowPause(std::chrono::milliseconds(0));
    w->Form->tmrSyncTimer();
    ASSERT_TRUE(WaitForPasses(*w, 1)) << server.Log();
    {
        TModalAnswers answers;
        answers.Then(RemoveAccountThenOK()).ThenButton(QMessageBox::Yes);
        w->Form->DoSetting();
    }
    ASSERT_FALSE(fs::exists(AuthFile()));
    // A manual request made before the removal still reaches the thread.
    server.ResetCounters();
    w->Form->AppCore().KuaipanSyncThread()->RequestManualSync();
    ASSERT_TRUE(WaitForPasses(*w, 2));
    EXPECT_EQ(server.TotalRequests(), 0) << "the removed token is not used";
    const QString log = w->Form->AppLog().mmLogs->toPlainText();
    EXPECT_TRUE(log.contains(QStringLiteral("No Kuaipan account is bound"))) << log.toStdString();
}

TEST_F(DesktopKuaipanLogin, HeldBackDeletionsAreConfirmedOnceDefaultNo) {
    const auto token = server.IssueAccessToken("alice");
    WriteToken(dir.Path(), token);
    OpenWindow();
    w->Form->AppCore().KuaipanSyncUtility()->SetRowPause(std::chrono::milliseconds(0));
    for (int i = 1; i <= 8; ++i) {
        w->Form->edtTask->setText(QStringLiteral("task %1").arg(i));
        QTest::keyClick(w->Form->edtTask, Qt::Key_Return);
    }
    w->Form->tmrSyncTimer();
    ASSERT_TRUE(WaitForPasses(*w, 1)) << server.Log();
    TOtTaskClass& list = *w->Form->TaskClassList()[0];
    // Another computer deletes most of the list.
    auto session = std::make_shared<TOauthSession>(ConsumerKey, ConsumerSecret, server.Hosts());
    session->SetAuthToken(token.first, token.second);
    TKuaipanAPI cloud(session);
    std::vector<std::string> paths;
    for (const auto& item : list.TaskList())
        paths.push_back(item->KuaipanPath());
    for (int i = 0; i < 6; ++i)
        ASSERT_EQ(cloud.Delete(paths[static_cast<std::size_t>(i)], false).Code, 200);
    const auto pass = [&](int n) {
        w->Form->btnManualSyncClick();
        return WaitForPasses(*w, n);
    };
    const auto question = [](int count) {
        return QStringLiteral("%1 task(s) in \"%2\" were deleted in Kuaipan; synchronization "
                              "held these deletions back.\nDelete these tasks on this computer "
                              "too?")
            .arg(count)
            .arg(LangTranslate(QStringLiteral("Default List")));
    };
    {
        TModalAnswers answers;
        answers.Then([](QDialog& d) {
            auto& box = dynamic_cast<QMessageBox&>(d);
            EXPECT_EQ(box.defaultButton(), box.button(QMessageBox::No));
            return static_cast<int>(QMessageBox::No);
        });
        ASSERT_TRUE(pass(2));
        ASSERT_EQ(answers.Shown().size(), 1u);
        EXPECT_EQ(answers.Shown()[0].Text, question(6));
        EXPECT_EQ(list.TaskList().size(), 8u);
        // The same set again: no question (one would fail the test).
        ASSERT_TRUE(pass(3));
        EXPECT_EQ(answers.Shown().size(), 1u);
    }
    EXPECT_EQ(list.TaskList().size(), 8u);
    EXPECT_EQ(w->Form->TaskClassGUI()->CurrentTaskListItem()->TaskCount(), 8);

    ASSERT_EQ(cloud.Delete(paths[6], false).Code, 200);
    {
        TModalAnswers answers;
        answers.ThenButton(QMessageBox::Yes);
        ASSERT_TRUE(pass(4));
        ASSERT_EQ(answers.Shown().size(), 1u);
        EXPECT_EQ(answers.Shown()[0].Text, question(7));
    }
    ASSERT_EQ(list.TaskList().size(), 1u);
    EXPECT_EQ(list.TaskList()[0]->KuaipanPath(), paths[7]);
    EXPECT_EQ(w->Form->TaskClassGUI()->CurrentTaskListItem()->TaskCount(), 1);
}

} // namespace
} // namespace ot::test
