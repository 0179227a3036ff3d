#include "platform/OtDBusNotifications.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace ot {

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
constexpr int kCallTimeoutMs = 5000;
} // namespace

TDBusNotifications::TDBusNotifications(const QDBusConnection& ABus, QObject* AParent)
    : QObject(AParent), FBus(ABus) {
    FBus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                 SLOT(OnActionInvoked(uint, QString)));
    FBus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                 SLOT(OnNotificationClosed(uint, uint)));
}

void TDBusNotifications::Notify(const QString& AAppName, const QString& ASummary,
                                const QString& ABody, const QStringList& AActions,
                                const std::function<void(uint)>& ADone) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    QVariantMap hints;
    // Lets the desktop show the program's name and icon from its menu entry.
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("org.brenmoor.ottodolist"));
    call << AAppName << uint(0) << QStringLiteral("otTodolist") << ASummary << ABody << AActions
         << hints << int(0);
    if (!FBus.isConnected()) {
        if (ADone)
            ADone(0);
        return;
    }
    auto* watcher = new QDBusPendingCallWatcher(FBus.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [ADone](QDBusPendingCallWatcher* w) {
        const QDBusPendingReply<uint> reply = *w;
        w->deleteLater();
        if (ADone)
            ADone(reply.isValid() ? reply.value() : 0);
    });
}

void TDBusNotifications::Close(uint AId) {
    if (AId == 0 || !FBus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                       QStringLiteral("CloseNotification"));
    call << AId;
    FBus.asyncCall(call, kCallTimeoutMs);
}

void TDBusNotifications::OnActionInvoked(uint id, const QString& actionKey) {
    emit actionInvoked(id, actionKey);
}

void TDBusNotifications::OnNotificationClosed(uint id, uint) {
    emit notificationClosed(id);
}

} // namespace ot
