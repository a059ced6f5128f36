// One running copy per user. The first copy holds a lock file and listens on a local socket of
// the same name; a later copy finds the lock taken, asks the first to come forward and ends.
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class QLocalServer;
class QLockFile;

class TSingleInstance : public QObject {
    Q_OBJECT
public:
    // Folder: where the lock and the socket live (empty: the user's runtime folder).
    explicit TSingleInstance(const QString& Name, const QString& Folder = QString());
    ~TSingleInstance() override;

    // True when this process is now the one instance; false when another one runs (it has been
    // asked to come forward) or cannot be reached.
    bool Start();

    // Fired in the running instance when a later start asks it to come forward.
    std::function<void()> OnActivate;

private:
    bool Listen();
    bool AskRunning() const;

    QString FLockPath, FSocketPath;
    std::unique_ptr<QLockFile> FLock;
    QLocalServer* FServer = nullptr;
};
