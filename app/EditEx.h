// TFileDrop: makes a window a drop target for files and folders from any file manager
// (text/uri-list with file: URLs) and reports the dropped paths in drop order.
#pragma once

#include <QObject>
#include <QPointer>
#include <functional>
#include <string>
#include <vector>

class QWidget;

class TFileDrop : public QObject {
  Q_OBJECT
 public:
  using TFileDropEvent =
      std::function<void(TFileDrop* Sender, int Num, const std::vector<std::string>& Files, int X, int Y)>;

  // Attaches to Owner, which must be a window; throws std::invalid_argument otherwise.
  explicit TFileDrop(QWidget* Owner);
  ~TFileDrop() override;

  bool Accept() const { return FAccept; }
  void SetAccept(bool v);
  // The window whose drops are received (the owner unless set).
  QWidget* Control() const { return FControl; }
  void SetControl(QWidget* v);

  TFileDropEvent OnFileDrop;

 protected:
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  void Attach(QWidget* control);
  void Detach();
  void Drop(QEvent* e);

  bool FAccept = true;
  QPointer<QWidget> FControl;
};

// Local paths of the file: URLs of a drag, in their order.
std::vector<std::string> DroppedPaths(const class QMimeData* Data);
