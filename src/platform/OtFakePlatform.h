#pragma once
// Desktop services for widget tests: records what the windows ask for and
// lets the test decide whether a tray exists and when the tray icon or the
// hot key fire.

#include "platform/OtDBusNotifications.h"
#include "platform/OtPlatform.h"

#include <QMenu>
#include <QStringList>

namespace ot {

class TFakePlatform : public TOtPlatform {
public:
    // What the fake desktop offers.
    bool FTrayAvailable = true;
    bool FHotKeyAvailable = true;
    bool FOpenResult = true;
    bool FOpenExResult = true;
    QString FArchitecture = QStringLiteral("x86_64 Linux");
    QString FOSDescription = QStringLiteral("Test OS 1.0");

    // What the windows did.
    bool FTrayShown = false;
    QString FTrayTip;
    QIcon FTrayIcon;
    int FTrayAdds = 0;
    int FTrayRemoves = 0;
    bool FHotKeyRegistered = false;
    int FHotKeyRegistrations = 0;
    int FHotKeyUnregistrations = 0;
    QStringList FOpened;
    QStringList FStarted;
    QMenu* FTrayMenu = nullptr;
    // The notification service the windows use; tests point it at one on a
    // private bus.
    TDBusNotifications* FNotifications = nullptr;

    bool AddTrayIcon(const QIcon& icon, const QString& tip) override {
        ++FTrayAdds;
        if (!FTrayAvailable) {
            return false;
        }
        FTrayShown = true;
        FTrayIcon = icon;
        FTrayTip = tip;
        return true;
    }
    void RemoveTrayIcon() override {
        ++FTrayRemoves;
        FTrayShown = false;
    }
    bool HasTrayIcon() const override { return FTrayShown; }
    void SetTrayMenu(QMenu* menu) override { FTrayMenu = menu; }
    TDBusNotifications* Notifications() override { return FNotifications; }

    bool RegisterHotKey() override {
        ++FHotKeyRegistrations;
        FHotKeyRegistered = FHotKeyAvailable;
        if (!FHotKeyRegistered)
            emit hotKeyUnavailable(QStringLiteral("another program holds Alt+X"));
        return FHotKeyRegistered;
    }
    // A failure that the desktop reports after registering seemed to work
    // (the portal's answer).
    void FailHotKeyLater(const QString& reason) {
        FHotKeyRegistered = false;
        emit hotKeyUnavailable(reason);
    }
    void UnregisterHotKey() override {
        ++FHotKeyUnregistrations;
        FHotKeyRegistered = false;
    }

    bool Open(const QString& sCommand) override {
        FOpened << sCommand;
        return FOpenResult;
    }
    bool OpenEx(const QString& sCommand) override {
        FStarted << sCommand;
        return FOpenExResult;
    }

    QString ArchitectureDescription() const override { return FArchitecture; }
    QString OSDescription() const override { return FOSDescription; }

    // A double click on the icon, as the real tray reports it: only while
    // the icon is shown.
    void DoubleClickTrayIcon() {
        if (FTrayShown) {
            emit trayIconDoubleClicked();
        }
    }
    // Alt+X, delivered only while the key is registered.
    void PressHotKey() {
        if (FHotKeyRegistered) {
            emit hotKeyPressed();
        }
    }
};

} // namespace ot
