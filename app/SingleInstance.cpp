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
// The running copy answers between two steps of a job at the latest.
constexpr int kAnswerWaitMs = 10000;
// Message: the header, every path followed by a NUL, then one more NUL. Answer: kTaken.
const QByteArray kActivate = "activate\n";
const QByteArray kTaken = "ok\n";
const QByteArray kEnding = "quitting\n";
// A copy that is ending cleans up its run first (the component removes its temporary files).
constexpr int kEndingWaitMs = 60000;
constexpr qsizetype kMaxMessage = 1 << 20;

// The paths of a complete message; false while more is to come.
bool ParseMessage(const QByteArray& message, std::vector<std::string>& paths) {
  const QByteArray body = message.mid(kActivate.size());
  const qsizetype end = body.startsWith('\0') ? 0 : body.indexOf(QByteArray("\0\0", 2));
  if (end < 0) return false;
  if (end > 0)
    for (const QByteArray& p : body.left(end).split('\0')) paths.push_back(p.toStdString());
  return true;
}

}  // namespace

TSingleInstance::TSingleInstance(const QString& Name, const QString& Folder) {
  // The runtime folder is private to the user (XDG_RUNTIME_DIR, or a 0700 folder Qt makes).
  QString dir = Folder.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) : Folder;
  if (dir.isEmpty()) dir = QDir::tempPath();
  FSocketPath = dir + "/" + Name;
  FLockPath = FSocketPath + ".lock";
}

TSingleInstance::~TSingleInstance() {
  if (FServer) FServer->close();
}

TInstanceStart TSingleInstance::Start(const std::vector<std::string>& Paths) {
  const TInstanceStart start = Claim(Paths);
  if (start == isFirst) Listen();
  return start;
}

TInstanceStart TSingleInstance::Claim(const std::vector<std::string>& Paths) {
  FLock = std::make_unique<QLockFile>(FLockPath);
  FLock->setStaleLockTime(0);  // stale only when its process is gone
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (FLock->tryLock(0)) return isFirst;
    const std::optional<TInstanceStart> asked = AskRunning(Paths);
    if (asked == isQuitting) return FLock->tryLock(kEndingWaitMs) ? isFirst : isNoAnswer;
    if (asked) return *asked;
    QThread::msleep(kAttemptPauseMs);
  }
  return isNoAnswer;
}

void TSingleInstance::Listen() {
  QLocalServer::removeServer(FSocketPath);  // left by a copy that ended abnormally
  FServer = new QLocalServer(this);
  FServer->setSocketOptions(QLocalServer::UserAccessOption);
  connect(FServer, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* client = FServer->nextPendingConnection()) {
      auto buffer = std::make_shared<QByteArray>();
      connect(client, &QLocalSocket::readyRead, this, [this, client, buffer] { Receive(client, buffer); });
      connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
    }
  });
  // Without the socket this copy still runs; later copies then find the lock and give up.
  FServer->listen(FSocketPath);
}

void TSingleInstance::Receive(QLocalSocket* Client, const std::shared_ptr<QByteArray>& Buffer) {
  Buffer->append(Client->readAll());
  const bool header = Buffer->startsWith(kActivate);
  if (!header && !kActivate.startsWith(*Buffer)) return Client->abort();  // not our message
  std::vector<std::string> paths;
  if (!header || !ParseMessage(*Buffer, paths)) {
    if (Buffer->size() > kMaxMessage) Client->abort();
    return;
  }
  Buffer->clear();
  if (FQuitting) {
    ++FRefused;
    Client->write(kEnding);
    Client->flush();
    return;
  }
  if (OnActivate) OnActivate(paths);
  Client->write(kTaken);
  Client->flush();
}

std::optional<TInstanceStart> TSingleInstance::AskRunning(const std::vector<std::string>& Paths) const {
  QLocalSocket socket;
  socket.connectToServer(FSocketPath);
  if (!socket.waitForConnected(kSocketWaitMs)) return std::nullopt;
  QByteArray message = kActivate;
  for (const std::string& p : Paths)
    if (!p.empty() && p.find('\0') == std::string::npos) message.append(p.data(), qsizetype(p.size())).append('\0');
  message.append('\0');
  socket.write(message);
  socket.waitForBytesWritten(kSocketWaitMs);
  QByteArray answer;
  while (!answer.contains(kTaken) && !answer.contains(kEnding) && socket.waitForReadyRead(kAnswerWaitMs))
    answer += socket.readAll();
  // Gone without an answer (it ended meanwhile): ask again, or take its place.
  if (answer.isEmpty() && socket.state() == QLocalSocket::UnconnectedState) return std::nullopt;
  socket.disconnectFromServer();
  if (answer.contains(kEnding)) return isQuitting;
  return answer.contains(kTaken) ? isHandedOver : isNoAnswer;
}
