#pragma once
// Reminders through the desktop's notification service
// (org.freedesktop.Notifications on the session bus): a notification with
// actions, and the user's answer to it. Works whether or not the desktop
// has a tray.

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

namespace ot {

class TDBusNotifications : public QObject {
    Q_OBJECT
public:
    // ABus: the session bus (tests give a private one).
    explicit TDBusNotifications(const QDBusConnection& ABus, QObject* AParent = nullptr);

    // Shows a notification that stays until the user answers it. AActions
    // holds pairs of action key and its text. ADone receives the id the
    // service gave it, or 0 when no service took it; it runs later, from the
    // event loop, so a slow service never holds the windows up.
    void Notify(const QString& AAppName, const QString& ASummary, const QString& ABody,
                const QStringList& AActions, const std::function<void(uint)>& ADone);
    void Close(uint AId);

signals:
    void actionInvoked(uint id, const QString& actionKey);
    void notificationClosed(uint id);

private slots:
    void OnActionInvoked(uint id, const QString& actionKey);
    void OnNotificationClosed(uint id, uint reason);

private:
    QDBusConnection FBus;
};

} // namespace ot
