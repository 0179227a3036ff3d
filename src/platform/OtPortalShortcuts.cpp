#include "platform/OtPortalShortcuts.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace ot {

namespace {
const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequestInterface = QStringLiteral("org.freedesktop.portal.Request");
constexpr int kCallTimeoutMs = 10000;

// One entry of BindShortcuts' a(sa{sv}).
struct TShortcut {
    QString Id;
    QVariantMap Properties;
};

QDBusArgument& operator<<(QDBusArgument& arg, const TShortcut& s) {
    arg.beginStructure();
    arg << s.Id << s.Properties;
    arg.endStructure();
    return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, TShortcut& s) {
    arg.beginStructure();
    arg >> s.Id >> s.Properties;
    arg.endStructure();
    return arg;
}
} // namespace

} // namespace ot

Q_DECLARE_METATYPE(ot::TShortcut)
Q_DECLARE_METATYPE(QList<ot::TShortcut>)

namespace ot {

TPortalShortcuts::TPortalShortcuts(const QDBusConnection& ABus, QString AId, QString ADescription,
                                   QString APreferredTrigger, QObject* AParent)
    : QObject(AParent), FBus(ABus), FId(std::move(AId)), FDescription(std::move(ADescription)),
      FTrigger(std::move(APreferredTrigger)) {
    qDBusRegisterMetaType<TShortcut>();
    qDBusRegisterMetaType<QList<TShortcut>>();
    // A slot is matched to a signal by the names of its argument types,
    // which must be known by then.
    qRegisterMetaType<QDBusObjectPath>();
}

void TPortalShortcuts::Register() {
    if (FStep != TStep::Idle)
        return;
    if (!FBus.isConnected()) {
        Fail(QStringLiteral("no session bus"));
        return;
    }
    if (!FBus.connect(kService, kPath, kInterface, QStringLiteral("Activated"), this,
                      SLOT(OnActivated(QDBusObjectPath, QString, qulonglong, QVariantMap)))) {
        Fail(QStringLiteral("its signal cannot be received"));
        return;
    }
    FStep = TStep::CreatingSession;
    QVariantMap options;
    options.insert(QStringLiteral("session_handle_token"), QStringLiteral("otTodolist"));
    CallWithRequest(QStringLiteral("CreateSession"), {}, options);
}

void TPortalShortcuts::CallWithRequest(const QString& AMethod, QList<QVariant> AArguments,
                                       QVariantMap AOptions) {
    // The request object's path is known in advance: the caller's unique
    // name without ':' and with '_' for '.', and the token.
    const QString token = QStringLiteral("otTodolist%1").arg(++FToken);
    AOptions.insert(QStringLiteral("handle_token"), token);
    QString sender = FBus.baseService();
    sender.remove(0, 1).replace(QLatin1Char('.'), QLatin1Char('_'));
    if (!FRequestPath.isEmpty())
        FBus.disconnect(kService, FRequestPath, kRequestInterface, QStringLiteral("Response"), this,
                        SLOT(OnResponse(uint, QVariantMap)));
    FRequestPath = kPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
    FBus.connect(kService, FRequestPath, kRequestInterface, QStringLiteral("Response"), this,
                 SLOT(OnResponse(uint, QVariantMap)));

    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, AMethod);
    AArguments << AOptions;
    call.setArguments(AArguments);
    auto* watcher = new QDBusPendingCallWatcher(FBus.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        const QDBusPendingReply<QDBusObjectPath> reply = *w;
        w->deleteLater();
        if (reply.isError()) {
            Fail(reply.error().message().isEmpty() ? reply.error().name()
                                                   : reply.error().message());
            return;
        }
        // An older portal may answer with a path of its own choosing.
        const QString path = reply.value().path();
        if (path != FRequestPath) {
            FBus.disconnect(kService, FRequestPath, kRequestInterface, QStringLiteral("Response"),
                            this, SLOT(OnResponse(uint, QVariantMap)));
            FRequestPath = path;
            FBus.connect(kService, FRequestPath, kRequestInterface, QStringLiteral("Response"),
                         this, SLOT(OnResponse(uint, QVariantMap)));
        }
    });
}

void TPortalShortcuts::OnResponse(uint response, const QVariantMap& results) {
    if (response != 0) {
        Fail(response == 1 ? QStringLiteral("the user declined it")
                           : QStringLiteral("the portal refused it"));
        return;
    }
    if (FStep == TStep::CreatingSession) {
        // A string by the documentation; some portals send an object path.
        const QVariant handle = results.value(QStringLiteral("session_handle"));
        FSessionPath = handle.userType() == qMetaTypeId<QDBusObjectPath>()
                           ? handle.value<QDBusObjectPath>().path()
                           : handle.toString();
        if (FSessionPath.isEmpty()) {
            Fail(QStringLiteral("the portal gave no session"));
            return;
        }
        FStep = TStep::Binding;
        QVariantMap properties;
        properties.insert(QStringLiteral("description"), FDescription);
        properties.insert(QStringLiteral("preferred_trigger"), FTrigger);
        const QList<TShortcut> shortcuts{{FId, properties}};
        CallWithRequest(QStringLiteral("BindShortcuts"),
                        {QVariant::fromValue(QDBusObjectPath(FSessionPath)),
                         QVariant::fromValue(shortcuts), QString()},
                        {});
    } else if (FStep == TStep::Binding) {
        FStep = TStep::Done;
        FRegistered = true;
        emit registered();
    }
}

void TPortalShortcuts::OnActivated(const QDBusObjectPath& session, const QString& shortcutId,
                                   qulonglong, const QVariantMap&) {
    if (FRegistered && session.path() == FSessionPath && shortcutId == FId)
        emit activated();
}

void TPortalShortcuts::Fail(const QString& AReason) {
    if (FStep == TStep::Done && !FRegistered)
        return;
    FStep = TStep::Done;
    FRegistered = false;
    emit failed(AReason);
}

} // namespace ot
