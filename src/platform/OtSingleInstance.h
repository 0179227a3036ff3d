#pragma once
// One running program per data root: the first start listens on a local
// socket named after the data root; a later start finds it, asks it to
// bring its window to the front, and ends.

#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;
class QLockFile;

namespace ot {

class TOtSingleInstance : public QObject {
    Q_OBJECT
public:
    // ADataRoot: the directory whose task tree the program works on.
    // ASocketDir: where the socket lives (the user's runtime directory).
    TOtSingleInstance(const QString& ADataRoot, const QString& ASocketDir,
                      QObject* AParent = nullptr);
    ~TOtSingleInstance() override;

    // True when this is the only program on the data root (it then
    // listens); false when another one runs, which was asked to show its
    // window.
    bool Claim();

    QString SocketName() const { return FSocketName; }

    // The socket directory of this user: $XDG_RUNTIME_DIR, else the
    // temporary directory.
    static QString DefaultSocketDir();

signals:
    // Another start on the same data root wants the window in front.
    void activationRequested();

private:
    bool AskRunningInstance();
    void OnNewConnection();

    QString FSocketName;
    std::unique_ptr<QLockFile> FLock;
    std::unique_ptr<QLocalServer> FServer;
};

} // namespace ot
