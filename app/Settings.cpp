#include "app/Settings.h"

#include "app/IniFile.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <algorithm>

QRect GetWorkArea(const QWidget* Window) {
  const QScreen* screen = Window && Window->isVisible() ? Window->screen() : QGuiApplication::primaryScreen();
  return screen ? screen->availableGeometry() : QRect(0, 0, 800, 600);
}

QPoint CentredPos(const QRect& WorkArea, const QSize& OuterSize) {
  return QPoint(WorkArea.left() + (WorkArea.width() - OuterSize.width()) / 2,
                WorkArea.top() + (WorkArea.height() - OuterSize.height()) / 2);
}

constexpr int kFarOut = 1 << 20;

// The available area of the screen that shows most of r; empty when r is on no screen.
static QRect BestScreenArea(const QRect& r) {
  QRect best;
  int bestArea = 0;
  for (const QScreen* screen : QGuiApplication::screens()) {
    const QRect common = screen->geometry().intersected(r);
    if (common.width() * common.height() > bestArea) {
      bestArea = common.width() * common.height();
      best = screen->availableGeometry();
    }
  }
  return best;
}

// Moves r into area as far as it fits (its top-left stays inside when r is the larger).
static QPoint KeptInside(const QRect& r, const QRect& area) {
  const int x = std::max(area.left(), std::min(r.left(), area.right() + 1 - r.width()));
  const int y = std::max(area.top(), std::min(r.top(), area.bottom() + 1 - r.height()));
  return QPoint(x, y);
}

void LoadFormPos(const std::string& Base, const std::string& Section, const std::string& Prefix, bool Centre,
                 QWidget* Window) {
  const QSize outer = Window->frameGeometry().size();
  const QPoint fallback = Centre ? CentredPos(GetWorkArea(Window), outer) : QPoint(0, 0);
  const int top = ReadIniInt(Base, Section, Prefix + "Top", kFarOut);
  const int left = ReadIniInt(Base, Section, Prefix + "Left", kFarOut);
  // Where the client area sits inside the frame (nothing while the frame is not known yet).
  const QPoint inset = Window->geometry().topLeft() - Window->frameGeometry().topLeft();
  // Missing, or too far out to be any screen's (and to compute with), counts as not stored.
  const auto onAnyScale = [](int v) { return v > -kFarOut && v < kFarOut; };
  const bool stored = onAnyScale(top) && onAnyScale(left);
  const QRect frame = stored ? QRect(QPoint(left, top) - inset, outer) : QRect();
  const QRect area = stored ? BestScreenArea(frame) : QRect();
  if (area.isEmpty()) {
    Window->move(fallback);
    return;
  }
  // The stored place is that of the client area, set as such: the window manager then puts
  // it back exactly, whatever its frame (a frame position set before the frame is known
  // comes back shifted by the frame at each start). Partly off the screen (another screen
  // layout or scale since), it is moved back onto it.
  Window->setGeometry(QRect(KeptInside(frame, area) + inset, Window->size()));
}

void SaveFormPos(const std::string& Base, const std::string& Section, const std::string& Prefix,
                 const QWidget* Window) {
  WriteIniInt(Base, Section, Prefix + "Top", Window->geometry().top());
  WriteIniInt(Base, Section, Prefix + "Left", Window->geometry().left());
}
