// End to end: a task typed into the window's quick entry becomes a file and a
// queue row, the window's sync thread carries it to a real otCloudServer, a
// second installation (ottodo) sees it, and an edit made there comes back
// into the window's page with the next pass.

#include "desktop/DesktopTestSupport.h"

#include "cli/CliTestSupport.h"
#include "desktop/OtAppCore.h"
#include "desktop/OtTaskGUIUtility.h"
#include "desktop/UnitAppLog.h"
#include "support/CloudServerProcess.h"
#include "sync/OtKuaipanSyncUtility.h"
#include "syncqueue/OtSyncQueueDBModel.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
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

void WriteCloudConfig(const std::string& dir, const CloudServerProcess& server,
                      const std::pair<std::string, std::string>& token) {
    server.WriteHostsFile(dir);
    std::ofstream(dir + "/userdata/1/MyAuth.adb") << token.first << "\r\n"
                                                  << token.second << "\r\n";
}

TEST(DesktopEndToEnd, QuickEntryReachesASecondInstallationAndItsEditComesBack) {
    CloudServerProcess server;

    TDesktopDir a;
    WriteCloudConfig(a.Path(), server, server.IssueAccessToken());
    a.WriteSetting("IsShowAppLogFormOnSyncing", "True");
    TWindow w(a);
    ASSERT_TRUE(w.Created);
    EXPECT_TRUE(w.Form->tmrSync->isActive()) << "a token switches the sync timer on";
    EXPECT_TRUE(w.Form->btnManualSync->isEnabled());
    w.Form->AppCore().KuaipanSyncUtility()->SetRowPause(std::chrono::milliseconds(0));

    w.Form->edtTask->setText(QStringLiteral("Buy milk"));
    QTest::keyClick(w.Form->edtTask, Qt::Key_Return);
    TOtTaskListItem& page = *w.Form->TaskClassGUI()->CurrentTaskListItem();
    ASSERT_EQ(page.TaskCount(), 1);
    const TOtTaskItemPtr item = page.TaskClass()->TaskList()[0];
    EXPECT_TRUE(fs::exists(a.TaskData() + item->Path()));
    EXPECT_TRUE(TOtSyncQueueDBUtility(a.Database()).GetSyncQueueItem(item->ID()));

    // The timer's first tick starts the thread, which runs a pass at once.
    w.Form->tmrSyncTimer();
    ASSERT_TRUE(WaitForPasses(w, 1)) << server.Log();
    const QString log = w.Form->AppLog().mmLogs->toPlainText();
    EXPECT_TRUE(log.contains(QStringLiteral("Sync Count: 1"))) << log.toStdString();
    EXPECT_FALSE(log.contains(QStringLiteral("An error occurred."))) << log.toStdString();
    EXPECT_TRUE(w.Form->btnManualSync->isEnabled()) << "enabled again after the pass";
    EXPECT_TRUE(w.Form->AppLog().isVisible()) << "the setting shows the log as a pass starts";
    const auto row = TOtSyncQueueDBUtility(a.Database()).GetSyncQueueItem(item->ID());
    ASSERT_TRUE(row);
    EXPECT_NE(row->KuaipanFileID(), "") << "uploaded";

    clitest::TProgramDir b;
    WriteCloudConfig(b.Path(), server, server.IssueAccessToken());
    ASSERT_EQ(b.Spawn({"sync", "--pause", "0"}).ExitCode, 0);
    const auto lists = nlohmann::json::parse(b.Spawn({"list", "--json"}).Out);
    ASSERT_EQ(lists.size(), 1u);
    ASSERT_EQ(lists[0]["items"].size(), 1u);
    EXPECT_EQ(lists[0]["items"][0]["title"], "Buy milk");
    EXPECT_EQ(lists[0]["items"][0]["id"], item->ID());

    ASSERT_EQ(b.Spawn({"done", item->ID()}).ExitCode, 0);
    ASSERT_EQ(b.Spawn({"sync", "--pause", "0"}).ExitCode, 0);

    w.Form->btnManualSyncClick();
    ASSERT_TRUE(WaitForPasses(w, 2));
    ASSERT_EQ(page.TaskCount(), 1);
    const TTaskRow& shown = page.TaskListGUI().Model().Row(0);
    EXPECT_EQ(shown.Title, QStringLiteral("Buy milk"));
    EXPECT_TRUE(shown.Checked) << w.Form->AppLog().mmLogs->toPlainText().toStdString();
    EXPECT_EQ(shown.Item->Status(), tsCompleted);
}

} // namespace
} // namespace ot::test
