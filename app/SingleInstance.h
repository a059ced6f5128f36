// One running copy per user. The first copy holds a lock file and listens on a local socket of
// the same name; a later copy finds the lock taken, hands its paths to the first (which comes
// forward and lists them) and ends.
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QLocalServer;
class QLockFile;

// How Start went: this process is the one instance; its paths went to the running one; or the
// running one could not be reached or did not confirm them. isQuitting is AskRunning's answer
// from a copy that is ending: Claim then waits for it to end and becomes the one instance.
enum TInstanceStart { isFirst, isHandedOver, isNoAnswer, isQuitting };

class TSingleInstance : public QObject {
  Q_OBJECT
 public:
  // Folder: where the lock and the socket live (empty: the user's runtime folder).
  explicit TSingleInstance(const QString& Name, const QString& Folder = QString());
  ~TSingleInstance() override;

  // Becomes the one instance, or hands Paths (absolute) to the running one, which confirms
  // them once it has taken them: Claim, then Listen when first.
  TInstanceStart Start(const std::vector<std::string>& Paths = {});
  // The first half of Start, which needs no application object (a later start then needs
  // no display): takes the lock, or hands Paths over.
  TInstanceStart Claim(const std::vector<std::string>& Paths);
  // The second half, once the application object exists: accepts later starts.
  void Listen();

  // Fired in the running instance when a later start hands over its paths (possibly none).
  std::function<void(const std::vector<std::string>& Paths)> OnActivate;
  // This copy is ending: later starts are told so, wait for it to end and open a window of
  // their own, so their paths are not handed to a window that goes.
  void StopTaking() { FQuitting = true; }
  // How many later starts were told so.
  int Refused() const { return FRefused; }

 private:
  void Receive(class QLocalSocket* Client, const std::shared_ptr<QByteArray>& Buffer);
  // Hands Paths over; nullopt when the running copy cannot be reached (yet).
  std::optional<TInstanceStart> AskRunning(const std::vector<std::string>& Paths) const;

  QString FLockPath, FSocketPath;
  std::unique_ptr<QLockFile> FLock;
  QLocalServer* FServer = nullptr;
  bool FQuitting = false;
  int FRefused = 0;
};
