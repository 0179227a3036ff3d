#pragma once
// The show/hide shortcut on Wayland, where no program may grab keys: it is
// asked of the desktop portal (org.freedesktop.portal.GlobalShortcuts),
// which lets the user confirm or change the keys. Every step is
// asynchronous; the outcome arrives as registered() or failed().

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QObject>
#include <QString>
#include <QVariantMap>

namespace ot {

class TPortalShortcuts : public QObject {
    Q_OBJECT
public:
    // AId names the shortcut to the portal, ADescription is what the user
    // sees, APreferredTrigger the keys asked for ("ALT+x").
    TPortalShortcuts(const QDBusConnection& ABus, QString AId, QString ADescription,
                     QString APreferredTrigger, QObject* AParent = nullptr);

    // Creates a session and binds the shortcut to it.
    void Register();
    bool IsRegistered() const { return FRegistered; }

signals:
    void registered();
    void failed(const QString& reason);
    void activated();

private slots:
    void OnResponse(uint response, const QVariantMap& results);
    void OnActivated(const QDBusObjectPath& session, const QString& shortcutId,
                     qulonglong timestamp, const QVariantMap& options);

private:
    enum class TStep { Idle, CreatingSession, Binding, Done };
    // Calls a portal method whose answer comes as the Response signal of a
    // request object; listens there before calling, so no answer is missed.
    void CallWithRequest(const QString& AMethod, QList<QVariant> AArguments, QVariantMap AOptions);
    void Fail(const QString& AReason);

    QDBusConnection FBus;
    QString FId, FDescription, FTrigger;
    TStep FStep = TStep::Idle;
    QString FRequestPath;
    QString FSessionPath;
    int FToken = 0;
    bool FRegistered = false;
};

} // namespace ot
