#pragma once
// The operating system's desktop services the windows use: the tray icon, the
// system-wide show/hide hot key, opening documents and starting programs, and
// what the About box says about the system. One interface, so that widget
// tests run against a fake and never touch the real desktop.

#include <QIcon>
#include <QObject>
#include <QString>

#include <memory>

class QMenu;

namespace ot {

class TDBusNotifications;

class TOtPlatform : public QObject {
    Q_OBJECT
public:
    ~TOtPlatform() override = default;

    // Shows the tray icon with its tip; false when the desktop has no tray
    // (the feature then does nothing, and minimising must not hide the
    // window).
    virtual bool AddTrayIcon(const QIcon& icon, const QString& tip) = 0;
    virtual void RemoveTrayIcon() = 0;
    virtual bool HasTrayIcon() const = 0;
    // The menu of a right click on the tray icon (owned by the caller).
    virtual void SetTrayMenu(QMenu* menu) = 0;

    // The desktop's notification service; none when the program runs
    // without a session bus.
    virtual TDBusNotifications* Notifications() = 0;

    // Registers the show/hide shortcut Alt+X system-wide: a key grab on
    // X11, the desktop portal on Wayland. False when it failed at once;
    // every failure, also one that the portal reports later, is announced
    // by hotKeyUnavailable.
    virtual bool RegisterHotKey() = 0;
    virtual void UnregisterHotKey() = 0;

    // Opens a document or address with the desktop's default handler.
    virtual bool Open(const QString& sCommand) = 0;
    // Starts a program from a whole command line without waiting for it.
    virtual bool OpenEx(const QString& sCommand) = 0;

    // "x86_64 Linux" and the system's release name, for the About box.
    virtual QString ArchitectureDescription() const = 0;
    virtual QString OSDescription() const = 0;
    // The About box's third line: OSDescription with the kernel's version and
    // the system's word size, e.g. "Debian GNU/Linux 12 (bookworm) (Version
    // 6.1, Build 0, 64-bit Edition)".
    virtual QString OSVersionLine() const;

signals:
    void trayIconDoubleClicked();
    void hotKeyPressed();
    void hotKeyUnavailable(const QString& reason);
};

// "x86_64 Linux" from the processor architecture and the kernel type as
// QSysInfo names them ("x86_64", "linux").
QString FormatArchitecture(const QString& sCpuArchitecture, const QString& sKernelType);

// "%s (Version %d.%d, Build %d, %s)" filled from the release name, the
// leading numbers of a kernel version such as "6.1.0-13-amd64" (missing ones
// are 0) and "32-bit Edition" or "64-bit Edition" from the architecture.
QString FormatOSVersionLine(const QString& sReleaseName, const QString& sKernelVersion,
                            const QString& sCpuArchitecture);

// The real services of this desktop.
std::unique_ptr<TOtPlatform> CreateDesktopPlatform();

} // namespace ot
