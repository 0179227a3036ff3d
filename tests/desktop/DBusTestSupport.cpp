#include "desktop/DBusTestSupport.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QFile>
#include <QTimer>

#include <gtest/gtest.h>

namespace ot::test {

namespace {
int gConnections = 0;

// The sender's unique name as it appears in request and session paths.
QString SenderElement(const QString& AUniqueName) {
    return QString(AUniqueName).remove(0, 1).replace(QLatin1Char('.'), QLatin1Char('_'));
}
} // namespace

QVariantMap ToVariantMap(const QVariant& AValue) {
    if (AValue.canConvert<QDBusArgument>())
        return qdbus_cast<QVariantMap>(AValue.value<QDBusArgument>());
    return AValue.toMap();
}

TPrivateSessionBus::TPrivateSessionBus() {
    if (!FDir.isValid()) {
        ADD_FAILURE() << "no temporary directory";
        return;
    }
    // No service directories: nothing on this bus is started on demand.
    const QString config = FDir.filePath(QStringLiteral("session.conf"));
    QFile f(config);
    f.open(QIODevice::WriteOnly);
    f.write(QStringLiteral("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus "
                           "Configuration 1.0//EN\" "
                           "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                           "<busconfig><type>session</type><listen>unix:dir=%1</listen>"
                           "<auth>EXTERNAL</auth><policy context=\"default\">"
                           "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                           "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n")
                .arg(FDir.path())
                .toUtf8());
    f.close();
    FDaemon.start(QStringLiteral("dbus-daemon"),
                  {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                   QStringLiteral("--print-address=1")});
    if (!FDaemon.waitForStarted(10000)) {
        ADD_FAILURE() << "dbus-daemon did not start";
        return;
    }
    while (!FDaemon.canReadLine() && FDaemon.waitForReadyRead(10000)) {
    }
    FAddress = QString::fromUtf8(FDaemon.readLine()).trimmed();
    EXPECT_FALSE(FAddress.isEmpty()) << "dbus-daemon printed no address";
}

TPrivateSessionBus::~TPrivateSessionBus() {
    for (const QString& name : FConnections)
        QDBusConnection::disconnectFromBus(name);
    if (FDaemon.state() != QProcess::NotRunning) {
        FDaemon.terminate();
        if (!FDaemon.waitForFinished(5000))
            FDaemon.kill();
        FDaemon.waitForFinished(5000);
    }
}

QDBusConnection TPrivateSessionBus::Connect() {
    const QString name = QStringLiteral("ot-test-bus-%1").arg(++gConnections);
    FConnections << name;
    QDBusConnection bus = QDBusConnection::connectToBus(FAddress, name);
    EXPECT_TRUE(bus.isConnected()) << bus.lastError().message().toStdString();
    return bus;
}

// ---- notifications ------------------------------------------------------------------------

TFakeNotificationService::TFakeNotificationService(QDBusConnection ABus) : FBus(ABus) {
    EXPECT_TRUE(FBus.registerVirtualObject(QStringLiteral("/org/freedesktop/Notifications"), this));
    EXPECT_TRUE(FBus.registerService(QStringLiteral("org.freedesktop.Notifications")));
}

TFakeNotificationService::~TFakeNotificationService() {
    FBus.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
    FBus.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
}

bool TFakeNotificationService::handleMessage(const QDBusMessage& AMessage,
                                             const QDBusConnection& ABus) {
    const QList<QVariant> args = AMessage.arguments();
    if (AMessage.member() == u"Notify" && args.size() == 8) {
        TNotification n;
        n.Id = static_cast<uint>(Received.size()) + 1;
        n.AppName = args[0].toString();
        n.Summary = args[3].toString();
        n.Body = args[4].toString();
        n.Actions = args[5].toStringList();
        n.ExpireTimeout = args[7].toInt();
        Received.push_back(n);
        ABus.send(AMessage.createReply(QVariant::fromValue(n.Id)));
        return true;
    }
    if (AMessage.member() == u"CloseNotification" && args.size() == 1) {
        Closed.push_back(args[0].toUInt());
        ABus.send(AMessage.createReply());
        return true;
    }
    if (AMessage.member() == u"GetCapabilities") {
        ABus.send(
            AMessage.createReply(QStringList{QStringLiteral("actions"), QStringLiteral("body")}));
        return true;
    }
    return false;
}

void TFakeNotificationService::InvokeAction(uint AId, const QString& AKey) {
    // As a server does it: the action, then the notification closes.
    QDBusMessage action = QDBusMessage::createSignal(
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("ActionInvoked"));
    action << AId << AKey;
    FBus.send(action);
    QDBusMessage closed = QDBusMessage::createSignal(
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("NotificationClosed"));
    closed << AId << uint(2);
    FBus.send(closed);
}

// ---- portal -----------------------------------------------------------------------------

TFakeShortcutPortal::TFakeShortcutPortal(QDBusConnection ABus) : FBus(ABus) {
    EXPECT_TRUE(
        FBus.registerVirtualObject(QStringLiteral("/org/freedesktop/portal/desktop"), this));
    EXPECT_TRUE(FBus.registerService(QStringLiteral("org.freedesktop.portal.Desktop")));
}

TFakeShortcutPortal::~TFakeShortcutPortal() {
    FBus.unregisterService(QStringLiteral("org.freedesktop.portal.Desktop"));
    FBus.unregisterObject(QStringLiteral("/org/freedesktop/portal/desktop"));
}

void TFakeShortcutPortal::AnswerThroughRequest(const QDBusMessage& ACall,
                                               const QVariantMap& AOptions, uint AResponse,
                                               const QVariantMap& AResults) {
    const QString path = QStringLiteral("/org/freedesktop/portal/desktop/request/") +
                         SenderElement(ACall.service()) + QLatin1Char('/') +
                         AOptions.value(QStringLiteral("handle_token")).toString();
    FBus.send(ACall.createReply(QVariant::fromValue(QDBusObjectPath(path))));
    QDBusConnection bus = FBus;
    // The answer comes later, as the portal's dialog would give it.
    QTimer::singleShot(0, [bus, path, AResponse, AResults]() mutable {
        QDBusMessage response = QDBusMessage::createSignal(
            path, QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Response"));
        response << AResponse << AResults;
        bus.send(response);
    });
}

bool TFakeShortcutPortal::handleMessage(const QDBusMessage& AMessage, const QDBusConnection&) {
    if (AMessage.interface() != u"org.freedesktop.portal.GlobalShortcuts")
        return false;
    const QList<QVariant> args = AMessage.arguments();
    Calls << AMessage.member();
    if (AMessage.member() == u"CreateSession" && args.size() == 1) {
        const QVariantMap options = ToVariantMap(args[0]);
        SessionPath = QStringLiteral("/org/freedesktop/portal/desktop/session/") +
                      SenderElement(AMessage.service()) + QLatin1Char('/') +
                      options.value(QStringLiteral("session_handle_token")).toString();
        AnswerThroughRequest(AMessage, options, 0,
                             {{QStringLiteral("session_handle"), SessionPath}});
        return true;
    }
    if (AMessage.member() == u"BindShortcuts" && args.size() == 4) {
        EXPECT_EQ(args[0].value<QDBusObjectPath>().path(), SessionPath);
        const QDBusArgument list = args[1].value<QDBusArgument>();
        list.beginArray();
        while (!list.atEnd()) {
            TShortcut s;
            list.beginStructure();
            list >> s.Id >> s.Properties;
            list.endStructure();
            Bound.push_back(s);
        }
        list.endArray();
        AnswerThroughRequest(AMessage, ToVariantMap(args[3]), BindResponse, {});
        return true;
    }
    return false;
}

void TFakeShortcutPortal::Activate(const QString& AId) {
    QDBusMessage activated = QDBusMessage::createSignal(
        QStringLiteral("/org/freedesktop/portal/desktop"),
        QStringLiteral("org.freedesktop.portal.GlobalShortcuts"), QStringLiteral("Activated"));
    activated << QVariant::fromValue(QDBusObjectPath(SessionPath)) << AId << qulonglong(1)
              << QVariantMap();
    FBus.send(activated);
}

} // namespace ot::test
