#include "ui/xxComboBox.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCursor>
#include <QStyledItemDelegate>
#include <QWheelEvent>

namespace {

// Gives every row of the list the same height.
class TFixedRowDelegate : public QStyledItemDelegate {
 public:
  TFixedRowDelegate(int height, QObject* parent) : QStyledItemDelegate(parent), FHeight(height) {}
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    return QSize(QStyledItemDelegate::sizeHint(option, index).width(), FHeight);
  }

 private:
  int FHeight;
};

}  // namespace

TxxComboBox::TxxComboBox(QWidget* parent) : QComboBox(parent) {}

void TxxComboBox::SetItemHeight(int Height) { setItemDelegate(new TFixedRowDelegate(Height, this)); }

void TxxComboBox::hidePopup() {
  const bool wasOpen = view() && view()->isVisible();
  QComboBox::hidePopup();
  if (wasOpen && OnCloseUp) OnCloseUp(this);
}

void TxxComboBox::wheelEvent(QWheelEvent* e) {
  const bool dropped = view() && view()->isVisible();
  if (dropped || WheelActive)
    QComboBox::wheelEvent(e);
  else
    e->accept();  // the closed box keeps its selection
  if (OnMouseWheel) OnMouseWheel(this, e->angleDelta().y() > 0 ? -1 : 1);
}

void TxxComboBox::FireMouse(const TMouseMoveEvent& handler) {
  if (!handler) return;
  const QPoint pos = mapFromGlobal(QCursor::pos());
  handler(this, QApplication::queryKeyboardModifiers(), QApplication::mouseButtons(), pos.x(), pos.y());
}

void TxxComboBox::enterEvent(QEnterEvent* e) {
  QComboBox::enterEvent(e);
  FireMouse(OnMouseEnter);
}

void TxxComboBox::leaveEvent(QEvent* e) {
  QComboBox::leaveEvent(e);
  FireMouse(OnMouseLeave);
}

void TxxComboBox::focusInEvent(QFocusEvent* e) {
  QComboBox::focusInEvent(e);
  if (OnCMEnter) OnCMEnter(this);
}

void TxxComboBox::focusOutEvent(QFocusEvent* e) {
  QComboBox::focusOutEvent(e);
  if (OnCMExit) OnCMExit(this);
}
