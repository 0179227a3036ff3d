#pragma once
// Desktop services for widget tests: records what the windows ask for and
// lets the test decide whether a tray exists and when the tray icon or the
// hot key fire.

#include "platform/OtPlatform.h"

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
    QStringList FTrayMessages; // "title: text"

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
    void ShowTrayMessage(const QString& title, const QString& text) override {
        if (FTrayShown) {
            FTrayMessages << title + QStringLiteral(": ") + text;
        }
    }

    bool RegisterHotKey() override {
        ++FHotKeyRegistrations;
        FHotKeyRegistered = FHotKeyAvailable;
        return FHotKeyRegistered;
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
