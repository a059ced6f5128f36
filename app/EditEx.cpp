#include "app/EditEx.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMessageBox>
#include <QMimeData>
#include <QUrl>
#include <QWidget>
#include <stdexcept>

std::vector<std::string> DroppedPaths(const QMimeData* Data) {
  std::vector<std::string> paths;
  if (!Data || !Data->hasUrls()) return paths;
  for (const QUrl& url : Data->urls())
    if (url.isLocalFile() && !url.toLocalFile().isEmpty()) paths.push_back(url.toLocalFile().toStdString());
  return paths;
}

TFileDrop::TFileDrop(QWidget* Owner) : QObject(Owner) {
  if (!Owner || !Owner->isWindow()) throw std::invalid_argument("Invalidate Window Handle in FileDrop");
  Attach(Owner);
}

TFileDrop::~TFileDrop() { Detach(); }

void TFileDrop::SetAccept(bool v) {
  FAccept = v;
  if (FControl) FControl->setAcceptDrops(v);
}

void TFileDrop::SetControl(QWidget* v) {
  if (v == FControl) return;
  Detach();
  Attach(v ? v : qobject_cast<QWidget*>(parent()));
}

void TFileDrop::Attach(QWidget* control) {
  FControl = control;
  if (!control) return;
  control->installEventFilter(this);
  control->setAcceptDrops(FAccept);
  connect(control, &QObject::destroyed, this, [this](QObject* gone) {
    if (gone == FControl.data() || FControl.isNull()) {
      FControl = nullptr;
      FAccept = false;
    }
  });
}

void TFileDrop::Detach() {
  if (!FControl) return;
  FControl->removeEventFilter(this);
  disconnect(FControl, nullptr, this, nullptr);
  FControl = nullptr;
}

bool TFileDrop::eventFilter(QObject* watched, QEvent* e) {
  if (watched != FControl) return false;
  switch (e->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
      auto* drag = static_cast<QDragMoveEvent*>(e);
      if (FAccept && !DroppedPaths(drag->mimeData()).empty())
        drag->acceptProposedAction();
      else
        drag->ignore();
      return true;
    }
    case QEvent::Drop: Drop(e); return true;
    default: return false;
  }
}

void TFileDrop::Drop(QEvent* e) {
  auto* drop = static_cast<QDropEvent*>(e);
  const std::vector<std::string> files = DroppedPaths(drop->mimeData());
  if (!FAccept || files.empty()) {
    drop->ignore();
    return;
  }
  drop->acceptProposedAction();
  if (!OnFileDrop) return;
  const QPoint at = drop->position().toPoint();
  try {
    OnFileDrop(this, int(files.size()), files, at.x(), at.y());
  } catch (const std::exception& ex) {
    QMessageBox::critical(FControl, QApplication::applicationName(), QString::fromUtf8(ex.what()));
  }
}
