#pragma once
// Which tray icon activations make a double click. Qt's X11 tray reports a
// double click as such; the desktops that talk to the tray over D-Bus
// (StatusNotifierItem) report every click as a plain activation, so two of
// those within the double-click interval count as one double click there.

#include <QSystemTrayIcon>

#include <cstdint>
#include <optional>

namespace ot {

class TTrayClicks {
public:
    explicit TTrayClicks(int doubleClickIntervalMs) : FInterval(doubleClickIntervalMs) {}

    // True when this activation, at nowMs on a monotonic clock, completes a
    // double click. A right click (Context) never does.
    bool IsDoubleClick(QSystemTrayIcon::ActivationReason reason, int64_t nowMs) {
        if (reason == QSystemTrayIcon::DoubleClick) {
            FLastTrigger.reset();
            return true;
        }
        if (reason != QSystemTrayIcon::Trigger) {
            return false;
        }
        if (FLastTrigger && nowMs - *FLastTrigger <= FInterval) {
            FLastTrigger.reset();
            return true;
        }
        FLastTrigger = nowMs;
        return false;
    }

private:
    int FInterval;
    std::optional<int64_t> FLastTrigger;
};

} // namespace ot
