#include "platform/OtSingleInstance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>

namespace ot {

namespace {
constexpr int kConnectTimeoutMs = 1000;
constexpr int kLockTimeoutMs = 5000;
const QByteArray kShowRequest = QByteArrayLiteral("show\n");
} // namespace

TOtSingleInstance::TOtSingleInstance(const QString& ADataRoot, const QString& ASocketDir,
                                     QObject* AParent)
    : QObject(AParent) {
    // The same tree reached by another spelling of its path is the same tree.
    QString root = QFileInfo(ADataRoot).canonicalFilePath();
    if (root.isEmpty())
        root = QDir::cleanPath(QDir(ADataRoot).absolutePath());
    const QByteArray hash =
        QCryptographicHash::hash(root.toUtf8(), QCryptographicHash::Sha256).toHex().left(20);
    FSocketName = QDir(ASocketDir).filePath(QStringLiteral("otTodolist-") + QLatin1String(hash));
}

TOtSingleInstance::~TOtSingleInstance() = default;

QString TOtSingleInstance::DefaultSocketDir() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo(runtime).isDir() ? runtime : QDir::tempPath();
}

bool TOtSingleInstance::Claim() {
    // Two starts at the same moment take turns: the second one then finds
    // the first one's socket.
    FLock = std::make_unique<QLockFile>(FSocketName + QStringLiteral(".lock"));
    FLock->setStaleLockTime(0);
    const bool locked = FLock->tryLock(kLockTimeoutMs);
    if (AskRunningInstance())
        return false;
    FServer = std::make_unique<QLocalServer>();
    FServer->setSocketOptions(QLocalServer::UserAccessOption);
    if (!FServer->listen(FSocketName)) {
        // Nobody answered, so the socket was left by a program that ended
        // without removing it.
        QLocalServer::removeServer(FSocketName);
        FServer->listen(FSocketName);
    }
    connect(FServer.get(), &QLocalServer::newConnection, this, &TOtSingleInstance::OnNewConnection);
    if (locked)
        FLock->unlock();
    // Without a socket the program still runs: one instance cannot be
    // promised then, but the user's work is not refused.
    return true;
}

bool TOtSingleInstance::AskRunningInstance() {
    QLocalSocket socket;
    socket.connectToServer(FSocketName);
    if (!socket.waitForConnected(kConnectTimeoutMs))
        return false;
    socket.write(kShowRequest);
    if (!socket.waitForBytesWritten(kConnectTimeoutMs))
        return false;
    // The running program answers once it has taken the request.
    socket.waitForReadyRead(kConnectTimeoutMs);
    socket.disconnectFromServer();
    return true;
}

void TOtSingleInstance::OnNewConnection() {
    while (QLocalSocket* socket = FServer->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine())
                return;
            if (socket->readLine() == kShowRequest) {
                socket->write("ok\n");
                socket->flush();
                emit activationRequested();
            }
        });
    }
}

} // namespace ot
