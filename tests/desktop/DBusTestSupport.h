#pragma once
// A private session bus for one test (a dbus-daemon in the test's own
// temporary directory) and small fakes of the desktop services on it: the
// notification service and the desktop portal's global shortcuts.

#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantMap>

#include <vector>

namespace ot::test {

class TPrivateSessionBus {
public:
    TPrivateSessionBus();
    ~TPrivateSessionBus();
    bool Started() const { return !FAddress.isEmpty(); }
    // A new connection of its own to the bus (each is a separate client).
    QDBusConnection Connect();

private:
    QTemporaryDir FDir;
    QProcess FDaemon;
    QString FAddress;
    QStringList FConnections;
};

// org.freedesktop.Notifications: records every notification and answers
// with ids from 1 on; the test plays the user who invokes an action.
class TFakeNotificationService : public QDBusVirtualObject {
public:
    struct TNotification {
        uint Id = 0;
        QString AppName, Summary, Body;
        QStringList Actions;
        int ExpireTimeout = -1;
    };
    explicit TFakeNotificationService(QDBusConnection ABus);
    ~TFakeNotificationService() override;

    void InvokeAction(uint AId, const QString& AKey);

    std::vector<TNotification> Received;
    std::vector<uint> Closed;

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& AMessage, const QDBusConnection& ABus) override;

private:
    QDBusConnection FBus;
};

// org.freedesktop.portal.GlobalShortcuts with the Request objects its
// answers come through.
class TFakeShortcutPortal : public QDBusVirtualObject {
public:
    struct TShortcut {
        QString Id;
        QVariantMap Properties;
    };
    explicit TFakeShortcutPortal(QDBusConnection ABus);
    ~TFakeShortcutPortal() override;

    // The user presses the shortcut AId of the last session.
    void Activate(const QString& AId);

    // Answer code for BindShortcuts: 0 success, 1 cancelled by the user, 2 other.
    uint BindResponse = 0;
    QStringList Calls; // method names in order
    std::vector<TShortcut> Bound;
    QString SessionPath;

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& AMessage, const QDBusConnection& ABus) override;

private:
    // Replies to ACall with the request path, then answers on that request.
    void AnswerThroughRequest(const QDBusMessage& ACall, const QVariantMap& AOptions,
                              uint AResponse, const QVariantMap& AResults);
    QDBusConnection FBus;
};

// a{sv} as a message argument arrives marshalled.
QVariantMap ToVariantMap(const QVariant& AValue);

} // namespace ot::test
