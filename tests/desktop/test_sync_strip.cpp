// The window side of synchronization: what the sync thread shows reaches the
// window through its own thread, a failing pass is reported in the strip and
// the log, and the upgrade package left in apptemp is unpacked at start-up.

#include "desktop/DesktopTestSupport.h"

#include "desktop/OtAppCore.h"
#include "desktop/UnitAppLog.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QToolButton>

#include <zip.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

namespace ot::test {
namespace {

namespace fs = std::filesystem;

TEST(DesktopSyncObserver, CallsFromTheSyncThreadAreAppliedOnTheWindowThreadBeforeTheyReturn) {
    TDesktopDir dir;
    TWindow w(dir);
    TQtSyncObserver observer(*w.Form);
    std::atomic<bool> done{false};
    std::vector<bool> seenOnReturn;
    std::thread sync([&] {
        observer.ShowSyncStatusBar();
        seenOnReturn.push_back(w.Form->AniIndicatorSync->isVisibleTo(w.Form.get()));
        observer.SetStatusText("Synchronizing - Step 1:  1/2");
        seenOnReturn.push_back(w.Form->lblStatus->text() ==
                               QStringLiteral("Synchronizing - Step 1:  1/2"));
        observer.AddLog(">> a line");
        seenOnReturn.push_back(w.Form->AppLog().mmLogs->toPlainText() ==
                               QStringLiteral(">> a line"));
        observer.ShowLogForm();
        seenOnReturn.push_back(w.Form->AppLog().isVisible());
        done = true;
    });
    while (!done)
        QTest::qWait(5);
    sync.join();
    EXPECT_EQ(seenOnReturn, std::vector<bool>(4, true));
    EXPECT_FALSE(w.Form->btnManualSync->isEnabled());
}

TEST(DesktopSyncObserver, AFailingPassIsReportedAndTheButtonComesBack) {
    TDesktopDir dir;
    TWindow w(dir); // no access token: the pass fails in the cloud client
    w.Form->tmrSync->start();
    w.Form->tmrSyncTimer();
    EXPECT_FALSE(w.Form->tmrSync->isActive());
    TKuaipanSyncThread* thread = w.Form->AppCore().KuaipanSyncThread();
    ASSERT_TRUE(thread->Started());
    QElapsedTimer clock;
    clock.start();
    while ((thread->RoundCount() < 1 || w.Flags.IsSyncRunning) && clock.elapsed() < 30000)
        QTest::qWait(10);
    const QString log = w.Form->AppLog().mmLogs->toPlainText();
    EXPECT_TRUE(log.startsWith(QStringLiteral("Sync Count: 1"))) << log.toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("An error occurred. "))) << log.toStdString();
    EXPECT_EQ(w.Form->lblStatus->text(), QStringLiteral("An error occurred."));
    EXPECT_TRUE(w.Form->btnManualSync->isEnabled());
    EXPECT_FALSE(w.Form->AniIndicatorSync->isVisibleTo(w.Form.get()));
}

void AddToZip(zip_t* z, const char* name, const std::string& data) {
    zip_source_t* src = zip_source_buffer(z, data.data(), data.size(), 0);
    ASSERT_GE(zip_file_add(z, name, src, ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8), 0) << name;
}

std::string ReadAll(const std::string& f) {
    std::ifstream in(f);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(DesktopUpgrade, ThePackageIsUnpackedIntoTheProgramDirectoryAndThenRemoved) {
    TDesktopDir dir;
    fs::create_directories(dir.Path() + "/apptemp");
    const std::string zipFile = dir.Path() + "/apptemp/otUpgrade.zip";
    const std::string a = "new program", b = "style";
    int error = 0;
    zip_t* z = zip_open(zipFile.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    ASSERT_NE(z, nullptr);
    AddToZip(z, "otUpgrade", a);
    AddToZip(z, "styles/New.1.Style", b);
    ASSERT_EQ(zip_close(z), 0);
    std::ofstream(dir.Path() + "/otUpgrade") << "old program";

    TWindow w(dir);
    EXPECT_EQ(ReadAll(dir.Path() + "/otUpgrade"), a);
    EXPECT_EQ(ReadAll(dir.Path() + "/styles/New.1.Style"), b);
    EXPECT_FALSE(fs::exists(zipFile));
}

TEST(DesktopUpgrade, APackageWithAnEntryOutsideTheProgramDirectoryIsRefusedWhole) {
    for (const char* evilName : {"../escaped.txt", "styles/../../escaped.txt", "/tmp/abs.txt"}) {
        TDesktopDir dir;
        fs::create_directories(dir.Path() + "/apptemp");
        const std::string zipFile = dir.Path() + "/apptemp/otUpgrade.zip";
        int error = 0;
        zip_t* z = zip_open(zipFile.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
        ASSERT_NE(z, nullptr);
        // libzip reads the buffers only when the archive is closed.
        const std::string program = "new program", outside = "outside";
        AddToZip(z, "otUpgrade", program);
        AddToZip(z, evilName, outside);
        ASSERT_EQ(zip_close(z), 0);
        std::ofstream(dir.Path() + "/otUpgrade") << "old program";

        TWindow w(dir);
        EXPECT_TRUE(w.Created) << evilName;
        EXPECT_EQ(ReadAll(dir.Path() + "/otUpgrade"), "old program") << evilName;
        EXPECT_FALSE(fs::exists(fs::path(dir.Path()).parent_path() / "escaped.txt")) << evilName;
        EXPECT_TRUE(fs::exists(zipFile)) << evilName;
    }
}

TEST(DesktopUpgrade, AnUnreadablePackageIsLeftForTheNextStart) {
    TDesktopDir dir;
    fs::create_directories(dir.Path() + "/apptemp");
    std::ofstream(dir.Path() + "/apptemp/otUpgrade.zip") << "not a zip";
    TWindow w(dir);
    EXPECT_TRUE(w.Created);
    EXPECT_TRUE(fs::exists(dir.Path() + "/apptemp/otUpgrade.zip"));
}

} // namespace
} // namespace ot::test
