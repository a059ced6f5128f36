#include "ui/Colors.h"

#include <QApplication>
#include <QPalette>

QColor ToQColor(TColor c) {
  if ((c & 0xFF000000u) == 0xFF000000u) {
    const QPalette pal = QApplication::palette();
    switch (c & 0xFFu) {
      case 0x10: return pal.color(QPalette::Dark);
      case 0x15: return pal.color(QPalette::Shadow);
      default: return pal.color(QPalette::Button);
    }
  }
  return QColor(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF));
}

TColor FromQColor(const QColor& c) { return TColor(c.red()) | (TColor(c.green()) << 8) | (TColor(c.blue()) << 16); }
