// The desktop services on Linux: Qt's tray icon, an X11 key grab for Alt+X,
// the desktop's default handlers and detached processes.
#include "platform/OtCommandLine.h"
#include "platform/OtPlatform.h"
#include "platform/OtTrayClicks.h"
#include "platform/OtX11HotKey.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSysInfo>
#include <QSystemTrayIcon>
#include <QUrl>

#include <xcb/xcb.h>

namespace ot {

namespace {

constexpr uint32_t kKeysymX = 0x78; // 'x'; the grab is by keycode, so 'X' is the same key

class TDesktopPlatform final : public TOtPlatform {
public:
    TDesktopPlatform() : FHotKey(kKeysymX, XCB_MOD_MASK_1, [this] { emit hotKeyPressed(); }) {}

    bool AddTrayIcon(const QIcon& icon, const QString& tip) override {
        if (!QSystemTrayIcon::isSystemTrayAvailable()) {
            return false;
        }
        if (!FTray) {
            FTray = std::make_unique<QSystemTrayIcon>();
            FClock.start();
            // There is no tray menu: a right click (Context) does nothing.
            connect(FTray.get(), &QSystemTrayIcon::activated, this,
                    [this](QSystemTrayIcon::ActivationReason reason) {
                        if (FClicks.IsDoubleClick(reason, FClock.elapsed())) {
                            emit trayIconDoubleClicked();
                        }
                    });
        }
        FTray->setIcon(icon);
        FTray->setToolTip(tip);
        FTray->show();
        return FTray->isVisible();
    }
    void RemoveTrayIcon() override { FTray.reset(); }
    bool HasTrayIcon() const override { return FTray && FTray->isVisible(); }
    void ShowTrayMessage(const QString& title, const QString& text) override {
        if (HasTrayIcon()) {
            FTray->showMessage(title, text);
        }
    }

    bool RegisterHotKey() override { return FHotKey.Register(); }
    void UnregisterHotKey() override { FHotKey.Unregister(); }

    bool Open(const QString& sCommand) override {
        return QDesktopServices::openUrl(
            QUrl::fromUserInput(sCommand, QDir::currentPath(), QUrl::AssumeLocalFile));
    }

    bool OpenEx(const QString& sCommand) override {
        const auto words = SplitCommandLine(sCommand);
        if (!words || words->isEmpty()) {
            return false;
        }
        const QStringList command = JoinProgramWithBlanks(*words);
        return QProcess::startDetached(command.front(), command.mid(1));
    }

    QString ArchitectureDescription() const override {
        return FormatArchitecture(QSysInfo::currentCpuArchitecture(), QSysInfo::kernelType());
    }
    QString OSDescription() const override { return QSysInfo::prettyProductName(); }

private:
    std::unique_ptr<QSystemTrayIcon> FTray;
    TTrayClicks FClicks{QApplication::doubleClickInterval()};
    QElapsedTimer FClock;
    TX11HotKey FHotKey;
};

} // namespace

std::unique_ptr<TOtPlatform> CreateDesktopPlatform() {
    return std::make_unique<TDesktopPlatform>();
}

} // namespace ot
