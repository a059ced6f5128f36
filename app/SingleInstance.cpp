#include "app/SingleInstance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QThread>

namespace {

// A later start waits this long for the first copy, which may still be starting up.
constexpr int kAttempts = 20;
constexpr int kAttemptPauseMs = 100;
constexpr int kSocketWaitMs = 500;
const QByteArray kActivate = "activate\n";

}  // namespace

TSingleInstance::TSingleInstance(const QString& Name, const QString& Folder)
{
    // The runtime folder is private to the user (XDG_RUNTIME_DIR, or a 0700 folder Qt makes).
    QString dir = Folder.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) : Folder;
    if (dir.isEmpty())
        dir = QDir::tempPath();
    FSocketPath = dir + "/" + Name;
    FLockPath = FSocketPath + ".lock";
}

TSingleInstance::~TSingleInstance()
{
    if (FServer)
        FServer->close();
}

bool TSingleInstance::Start()
{
    FLock = std::make_unique<QLockFile>(FLockPath);
    FLock->setStaleLockTime(0);  // stale only when its process is gone
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (FLock->tryLock(0))
            return Listen();
        if (AskRunning())
            return false;
        QThread::msleep(kAttemptPauseMs);
    }
    return false;
}

bool TSingleInstance::Listen()
{
    QLocalServer::removeServer(FSocketPath);  // left by a copy that ended abnormally
    FServer = new QLocalServer(this);
    FServer->setSocketOptions(QLocalServer::UserAccessOption);
    connect(FServer, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* client = FServer->nextPendingConnection()) {
            connect(client, &QLocalSocket::readyRead, this, [this, client] {
                if (client->readAll().contains(kActivate) && OnActivate)
                    OnActivate();
            });
            connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        }
    });
    // Without the socket this copy still runs; later copies then find the lock and give up.
    FServer->listen(FSocketPath);
    return true;
}

bool TSingleInstance::AskRunning() const
{
    QLocalSocket socket;
    socket.connectToServer(FSocketPath);
    if (!socket.waitForConnected(kSocketWaitMs))
        return false;
    socket.write(kActivate);
    socket.waitForBytesWritten(kSocketWaitMs);
    socket.disconnectFromServer();
    return true;
}
