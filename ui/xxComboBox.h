// A combo box with a close-up event, focus and mouse enter/leave events, and a switch that decides
// whether the mouse wheel changes the selection while the list is closed.
#pragma once

#include <QComboBox>
#include <functional>

class TxxComboBox : public QComboBox {
  Q_OBJECT
 public:
  using TNotifyEvent = std::function<void(TxxComboBox* Sender)>;
  using TWheelEvent = std::function<void(TxxComboBox* Sender, int Wheel)>;
  using TMouseMoveEvent =
      std::function<void(TxxComboBox* Sender, Qt::KeyboardModifiers Shift, Qt::MouseButtons Buttons, int X, int Y)>;

  explicit TxxComboBox(QWidget* parent = nullptr);

  // The wheel moves the selection of the closed box.
  bool WheelActive = true;

  TNotifyEvent OnCloseUp, OnCMEnter, OnCMExit;
  // One wheel notch: -1 turned away from the user, +1 towards.
  TWheelEvent OnMouseWheel;
  TMouseMoveEvent OnMouseEnter, OnMouseLeave;

  // Rows of the drop-down list have this height.
  void SetItemHeight(int Height);

  void hidePopup() override;

 protected:
  void wheelEvent(QWheelEvent*) override;
  void enterEvent(QEnterEvent*) override;
  void leaveEvent(QEvent*) override;
  void focusInEvent(QFocusEvent*) override;
  void focusOutEvent(QFocusEvent*) override;

 private:
  void FireMouse(const TMouseMoveEvent& handler);
};
