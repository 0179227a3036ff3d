// The desktop services on Linux: Qt's tray icon, the notification service
// and the desktop portal on the session bus, an X11 key grab for Alt+X, the
// desktop's default handlers and detached processes.
#include "platform/OtCommandLine.h"
#include "platform/OtDBusNotifications.h"
#include "platform/OtPlatform.h"
#include "platform/OtPortalShortcuts.h"
#include "platform/OtTrayClicks.h"
#include "platform/OtX11HotKey.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMenu>
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
            // A right click (Context) opens the tray menu, not this.
            connect(FTray.get(), &QSystemTrayIcon::activated, this,
                    [this](QSystemTrayIcon::ActivationReason reason) {
                        if (FClicks.IsDoubleClick(reason, FClock.elapsed())) {
                            emit trayIconDoubleClicked();
                        }
                    });
        }
        FTray->setContextMenu(FTrayMenu);
        FTray->setIcon(icon);
        FTray->setToolTip(tip);
        FTray->show();
        return FTray->isVisible();
    }
    void RemoveTrayIcon() override { FTray.reset(); }
    bool HasTrayIcon() const override { return FTray && FTray->isVisible(); }
    void SetTrayMenu(QMenu* menu) override {
        FTrayMenu = menu;
        if (FTray) {
            FTray->setContextMenu(menu);
        }
    }

    TDBusNotifications* Notifications() override {
        if (!FNotifications && HasSessionBus()) {
            FNotifications = std::make_unique<TDBusNotifications>(QDBusConnection::sessionBus());
        }
        return FNotifications.get();
    }

    bool RegisterHotKey() override {
        if (QGuiApplication::platformName() == u"wayland") {
            return RegisterPortalShortcut();
        }
        if (QGuiApplication::platformName() != u"xcb") {
            emit hotKeyUnavailable(QStringLiteral("the display server \"%1\" has no global keys")
                                       .arg(QGuiApplication::platformName()));
            return false;
        }
        if (!FHotKey.Register()) {
            emit hotKeyUnavailable(QStringLiteral("another program holds Alt+X"));
            return false;
        }
        return true;
    }
    void UnregisterHotKey() override {
        FHotKey.Unregister();
        FPortal.reset();
    }

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
    // Where libdbus would find the session bus. Asking for it where there
    // is none would try to start one.
    static bool HasSessionBus() {
        if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) {
            return QDBusConnection::sessionBus().isConnected();
        }
        const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
        return !runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus")) &&
               QDBusConnection::sessionBus().isConnected();
    }

    bool RegisterPortalShortcut() {
        if (!HasSessionBus()) {
            emit hotKeyUnavailable(
                QStringLiteral("there is no session bus for the desktop portal"));
            return false;
        }
        FPortal = std::make_unique<TPortalShortcuts>(
            QDBusConnection::sessionBus(), QStringLiteral("show-hide"),
            QStringLiteral("Show or hide the task list"), QStringLiteral("ALT+x"));
        connect(FPortal.get(), &TPortalShortcuts::activated, this, &TOtPlatform::hotKeyPressed);
        connect(FPortal.get(), &TPortalShortcuts::failed, this, [this](const QString& reason) {
            emit hotKeyUnavailable(
                QStringLiteral("the desktop portal did not register it (%1)").arg(reason));
        });
        FPortal->Register();
        return true;
    }

    std::unique_ptr<QSystemTrayIcon> FTray;
    QMenu* FTrayMenu = nullptr;
    TTrayClicks FClicks{QApplication::doubleClickInterval()};
    QElapsedTimer FClock;
    TX11HotKey FHotKey;
    std::unique_ptr<TDBusNotifications> FNotifications;
    std::unique_ptr<TPortalShortcuts> FPortal;
};

} // namespace

std::unique_ptr<TOtPlatform> CreateDesktopPlatform() {
    return std::make_unique<TDesktopPlatform>();
}

} // namespace ot
