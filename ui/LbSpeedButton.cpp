#include "ui/LbSpeedButton.h"

#include <QEnterEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QShortcutEvent>
#include <QTimer>
#include <algorithm>

namespace {

constexpr int kFullFade = 8;
constexpr int kFadeIntervalMs = 30;

struct TPreset {
  TColor Color, Light, Shadow, WhenDown, HotTrack;
  TLbSpeedButtonStyle Style;
  bool Flat;
  TColor Font;
};

// Rows in TLbColorStyle order (lcsGold .. lcsQuicken).
const TPreset kPresets[] = {
    {0x00C0C0, 0x00FFFF, 0x008080, clNone, 0x00DFDF, bsModern, false, clBlack},
    {0xC0C0C0, 0xFFFFFF, 0x808080, clNone, clNone, bsModern, false, clBlack},
    {0xFF8000, 0xFFFF00, 0xFF0000, clNone, clNone, bsModern, false, clBlack},
    {0x0000FF, 0xC0C0FF, 0x0000C0, clNone, clNone, bsModern, false, clBlack},
    {clBtnFace, 0xB59284, 0xB59284, 0xB59284, 0xDED3D6, bsNormal, true, clBlack},
    {clBtnFace, 0x000000, 0x000000, 0x24DABC, 0x8CF6E4, bsNormal, true, clBlack},
    {0xD1D8DB, 0xB59284, 0xB59285, 0xB59285, 0xD2BDB6, bsNormal, true, clBlack},
    {0xECCE94, 0xFCE6D4, 0x000000, clNone, clNone, bsModern, false, clBlack},
    {clBtnFace, 0xFFFFFF, 0x808080, clNone, clNone, bsNormal, false, clBlack},
    {0x603000, 0xC0C0C0, 0xC0C0C0, 0xAD6529, 0xCEAE9C, bsQuicken, false, clWhite},
};

// start + (end - start) * i / n per channel, truncated toward zero.
QColor Mix(const QColor& a, const QColor& b, int i, int n) {
  auto ch = [&](int x, int y) { return x + (y - x) * i / n; };
  return QColor(ch(a.red(), b.red()), ch(a.green(), b.green()), ch(a.blue(), b.blue()));
}

// Vertical gradient of 32 bands from `from` at y0 to `to` at y1, between x0 and x1.
void Gradient(QPainter& p, int x0, int x1, int y0, int y1, const QColor& from, const QColor& to) {
  constexpr int kBands = 32;
  for (int i = 0; i < kBands; ++i) {
    const int top = y0 + (y1 - y0) * i / kBands;
    const int bottom = y0 + (y1 - y0) * (i + 1) / kBands;
    if (bottom > top && x1 > x0) p.fillRect(x0, top, x1 - x0, bottom - top, Mix(from, to, i, kBands - 1));
  }
}

void Line(QPainter& p, const QColor& c, int x0, int y0, int x1, int y1) {
  p.setPen(c);
  p.drawLine(x0, y0, x1, y1);
}

}  // namespace

std::function<int()> TLbSpeedButton::ScreenDepth = [] {
  const QScreen* screen = QGuiApplication::primaryScreen();
  return screen ? screen->depth() : 32;
};

QString FitCaption(const QString& Caption, const QFontMetrics& Metrics, int Limit) {
  QString text = Caption;
  while (!text.isEmpty() && Metrics.horizontalAdvance(text) > Limit) text.chop(1);
  return text;
}

TLbSpeedButton::TLbSpeedButton(QWidget* parent) : QWidget(parent) {
  resize(100, 23);
  HotTrackFont = parent ? parent->window()->font() : font();
  setMouseTracking(true);
}

TLbSpeedButton::~TLbSpeedButton() = default;

void TLbSpeedButton::Changed() { update(); }

#define LB_SETTER(Name, Type, Field)       \
  void TLbSpeedButton::Set##Name(Type v) { \
    if (Field == v) return;                \
    Field = v;                             \
    Changed();                             \
  }
LB_SETTER(Alignment, TAlignment, FAlignment)
LB_SETTER(Color, TColor, FColor)
LB_SETTER(ColorWhenDown, TColor, FColorWhenDown)
LB_SETTER(Flat, bool, FFlat)
LB_SETTER(HotTrackColor, TColor, FHotTrackColor)
LB_SETTER(Layout, TLbSpeedButtonLayout, FLayout)
LB_SETTER(LightColor, TColor, FLightColor)
LB_SETTER(NumGlyphs, int, FNumGlyphs)
LB_SETTER(ShadowColor, TColor, FShadowColor)
LB_SETTER(Transparent, bool, FTransparent)
LB_SETTER(UseHotTrackFont, bool, FUseHotTrackFont)
LB_SETTER(WordWrap, bool, FWordWrap)
LB_SETTER(FontColor, TColor, FFontColor)
#undef LB_SETTER

void TLbSpeedButton::SetCaption(const std::string& v) {
  FCaption = v;
  RegisterMnemonic();
  Changed();
}

void TLbSpeedButton::RegisterMnemonic() {
  if (FMnemonicId != 0) releaseShortcut(FMnemonicId);
  FMnemonicId = 0;
  const QKeySequence key = QKeySequence::mnemonic(QString::fromStdString(FCaption));
  if (!key.isEmpty()) FMnemonicId = grabShortcut(key);
}

void TLbSpeedButton::SetColorStyle(TLbColorStyle v) {
  if (v < lcsGold || v > lcsQuicken) return;  // lcsCustom changes nothing
  const TPreset& preset = kPresets[v];
  FFlat = preset.Flat;
  FFontColor = preset.Font;
  FColor = preset.Color;
  FLightColor = preset.Light;
  FShadowColor = preset.Shadow;
  FColorWhenDown = preset.WhenDown;
  FHotTrackColor = preset.HotTrack;
  SetStyle(preset.Style);
  Changed();
}

void TLbSpeedButton::SetDown(bool v) {
  if (FDown == v) return;
  if (v && GroupIndex != 0 && parentWidget()) {
    for (TLbSpeedButton* other : parentWidget()->findChildren<TLbSpeedButton*>(QString(), Qt::FindDirectChildrenOnly)) {
      if (other != this && other->GroupIndex == GroupIndex && other->FDown) {
        other->FDown = false;
        other->Changed();
      }
    }
  }
  FDown = v;
  Changed();
}

void TLbSpeedButton::SetGlyph(const QPixmap& v) {
  FGlyph = v;
  // A strip without alpha is keyed on its bottom-left pixel.
  if (!FGlyph.isNull() && !FGlyph.hasAlphaChannel()) {
    const QColor key = FGlyph.toImage().pixelColor(0, FGlyph.height() - 1);
    FGlyph.setMask(FGlyph.createMaskFromColor(key));
  }
  FNumGlyphs = FGlyph.isNull() || FGlyph.height() == 0 ? 0 : FGlyph.width() / FGlyph.height();
  Changed();
}

void TLbSpeedButton::SetPopupMenu(QMenu* v) {
  FPopupMenu = v;
  Changed();
}

void TLbSpeedButton::SetSlowDecease(bool v) {
  if (v == SlowDecease()) return;
  if (v) {
    FFadeTimer = new QTimer(this);
    FFadeTimer->setInterval(kFadeIntervalMs);
    connect(FFadeTimer, &QTimer::timeout, this, [this] { FadeTick(); });
  } else {
    delete FFadeTimer;
    FFadeTimer = nullptr;
    FFade = 0;
    Changed();
  }
}

void TLbSpeedButton::SetStyle(TLbSpeedButtonStyle v) {
  if (v == bsModern && ScreenDepth() <= 8) v = bsNormal;
  if (FStyle == v) return;
  FStyle = v;
  Changed();
}

void TLbSpeedButton::FadeTick() {
  if (--FFade <= 0) {
    FFade = 0;
    FFadeTimer->stop();
  }
  Changed();
}

TColor TLbSpeedButton::FaceColor() const {
  if (FDown && isEnabled() && FColorWhenDown != clNone) return FColorWhenDown;
  const TColor base = FromQColor(ToQColor(FColor));
  if (!isEnabled() || FHotTrackColor == clNone) return base;
  const TColor hot = FromQColor(ToQColor(FHotTrackColor));
  TColor mixed = 0;
  for (int shift = 0; shift <= 16; shift += 8) {
    const uint32_t c = (base >> shift) & 0xFF, h = (hot >> shift) & 0xFF;
    mixed |= ((c * (kFullFade - FFade) + h * FFade) / kFullFade) << shift;
  }
  return mixed;
}

bool TLbSpeedButton::Showing() const {
  return isEnabled() && isVisible() && (!parentWidget() || parentWidget()->isVisible());
}

void TLbSpeedButton::Click() {
  if (FPopupMenu) FPopupMenu->popup(mapToGlobal(QPoint(0, height())));
  if (OnClick) OnClick(this);
}

void TLbSpeedButton::enterEvent(QEnterEvent*) {
  if (!Showing()) return;
  FHot = true;
  FFade = kFullFade;
  Changed();
  if (OnMouseEnter) OnMouseEnter(this);
}

void TLbSpeedButton::leaveEvent(QEvent*) {
  FHot = false;
  if (FFadeTimer) {
    if (!FFadeTimer->isActive()) FFadeTimer->start();
  } else {
    FFade = 0;
    Changed();
  }
  if (Showing() && OnMouseExit) OnMouseExit(this);
}

void TLbSpeedButton::mousePressEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton) {
    FPressedInside = true;
    if (GroupIndex == 0 || !FDown)
      SetDown(true);
    else if (AllowAllUp)
      SetDown(false);
  }
  if (OnMouseDown)
    OnMouseDown(this, e->button(), e->modifiers(), e->position().toPoint().x(), e->position().toPoint().y());
}

void TLbSpeedButton::mouseDoubleClickEvent(QMouseEvent* e) { mousePressEvent(e); }

void TLbSpeedButton::mouseReleaseEvent(QMouseEvent* e) {
  const QPoint pos = e->position().toPoint();
  const bool click = e->button() == Qt::LeftButton && FPressedInside && rect().contains(pos);
  if (e->button() == Qt::LeftButton) {
    FPressedInside = false;
    if (GroupIndex == 0) SetDown(false);
  }
  if (OnMouseUp) OnMouseUp(this, e->button(), e->modifiers(), pos.x(), pos.y());
  if (click) Click();
}

void TLbSpeedButton::mouseMoveEvent(QMouseEvent* e) {
  if (OnMouseMove)
    OnMouseMove(this, Qt::NoButton, e->modifiers(), e->position().toPoint().x(), e->position().toPoint().y());
}

bool TLbSpeedButton::event(QEvent* e) {
  if (e->type() == QEvent::Shortcut && static_cast<QShortcutEvent*>(e)->shortcutId() == FMnemonicId) {
    if (!Showing()) return false;
    const bool old = FDown;
    FDown = true;
    repaint();
    Click();
    FDown = old;
    repaint();
    return true;
  }
  return QWidget::event(e);
}

void TLbSpeedButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const bool down = FDown && isEnabled();
  const int press = (down && FStyle != bsEncarta) ? 1 : 0;
  const QColor face = ToQColor(FaceColor());
  PaintBackground(p, face, press);
  PaintBorder(p, face, down);
  PaintContent(p, down, press);
  if (hasFocus()) {
    p.setPen(QPen(ToQColor(FFontColor), 1, Qt::DotLine));
    p.setBrush(Qt::NoBrush);
    p.drawRect(rect().adjusted(2, 2, -3, -3));
  }
}

void TLbSpeedButton::keyPressEvent(QKeyEvent* e) {
  const int key = e->key();
  if (e->modifiers() & ~Qt::KeypadModifier || (key != Qt::Key_Space && key != Qt::Key_Return && key != Qt::Key_Enter))
    return QWidget::keyPressEvent(e);
  if (Showing()) Click();
}

void TLbSpeedButton::focusInEvent(QFocusEvent* e) {
  QWidget::focusInEvent(e);
  update();
}

void TLbSpeedButton::focusOutEvent(QFocusEvent* e) {
  QWidget::focusOutEvent(e);
  update();
}

void TLbSpeedButton::PaintBackground(QPainter& p, const QColor& face, int press) const {
  const int w = width(), h = height();
  if (FStyle == bsShape || FTransparent || FStyle == bsQuicken) return;  // nothing filled: the parent shows through
  if (FStyle == bsModern) {
    const QColor light = ToQColor(FLightColor);
    const int middle = h / 4 + press;
    Gradient(p, 2, w - 2, 2, middle, light, face);
    Gradient(p, 2, w - 2, middle, h - 1, face, light);
    return;
  }
  p.fillRect(rect(), face);
}

void TLbSpeedButton::PaintBorder(QPainter& p, const QColor& face, bool down) const {
  const int w = width(), h = height();
  const bool framed = isEnabled() ? (!FFlat || FHot || down) : !FFlat;
  const QColor light = ToQColor(FLightColor), shadow = ToQColor(FShadowColor);
  switch (FStyle) {
    case bsNormal:
    case bsEncarta:
    case bsOld: {
      if (!framed) return;
      const QColor dark = FStyle == bsOld ? ToQColor(cl3DDkShadow) : shadow;
      const QColor topLeft = down ? dark : light, bottomRight = down ? light : dark;
      Line(p, topLeft, 0, 0, w - 1, 0);
      Line(p, topLeft, 0, 0, 0, h - 1);
      Line(p, bottomRight, 0, h - 1, w - 1, h - 1);
      Line(p, bottomRight, w - 1, 0, w - 1, h - 1);
      if (FStyle == bsOld) {
        if (down) {
          Line(p, shadow, 1, 1, w - 2, 1);
          Line(p, shadow, 1, 1, 1, h - 2);
        } else {
          Line(p, shadow, 1, h - 2, w - 2, h - 2);
          Line(p, shadow, w - 2, 1, w - 2, h - 2);
        }
      }
      return;
    }
    case bsModern:
      p.setBrush(Qt::NoBrush);
      p.setPen(down ? shadow : face);
      p.drawRect(1, 1, w - 3, h - 3);
      p.setPen(shadow);
      p.drawRoundedRect(QRect(0, 0, w - 1, h - 1), 3, 3);
      return;
    case bsQuicken:
      p.setPen(Qt::NoPen);
      p.setBrush(face);
      p.drawRoundedRect(QRect(0, 1, w, h - 1), 2, 2);
      p.setBrush(Qt::NoBrush);
      Line(p, shadow, 4, 0, w - 5, 0);
      Line(p, shadow, 4, h - 1, w - 5, h - 1);
      return;
    case bsShape: return;
  }
}

int TLbSpeedButton::GlyphIndex(bool down) const {
  if (!isEnabled()) return FNumGlyphs > 1 ? 1 : 0;
  if (down && FNumGlyphs > 2) return 2;
  if (FHot && FNumGlyphs > 3) return 3;
  return 0;
}

void TLbSpeedButton::PaintContent(QPainter& p, bool down, int press) const {
  const int w = width(), h = height();
  QFont f = (FHot && FUseHotTrackFont) ? HotTrackFont : font();
  if (FStyle == bsEncarta && down) f.setBold(true);
  p.setFont(f);
  const QFontMetrics fm(f);

  QPixmap glyph;
  if (!FGlyph.isNull() && FNumGlyphs > 0) {
    const int gw = FGlyph.width() / FNumGlyphs;
    glyph = FGlyph.copy(GlyphIndex(down) * gw, 0, gw, FGlyph.height());
  }
  const int gw = glyph.isNull() ? 0 : glyph.width(), gh = glyph.isNull() ? 0 : glyph.height();
  const bool sideGlyph = gw > 0 && (FLayout == blGlyphLeft || FLayout == blGlyphRight);
  const int limit = std::max(0, sideGlyph ? w - gw - 12 : w - 8);

  QString text = QString::fromStdString(FCaption);
  if (!FWordWrap) text = FitCaption(text, fm, limit);
  const int textFlags = Qt::TextWordWrap | Qt::TextShowMnemonic;
  const QRect measured = fm.boundingRect(QRect(0, 0, limit, 100000), textFlags, text);
  const int textH = text.isEmpty() ? 0 : measured.height();
  const int textW = text.isEmpty() ? 0 : measured.width() + 4;
  const int align = FAlignment == taCenter         ? Qt::AlignHCenter
                    : FAlignment == taRightJustify ? Qt::AlignRight
                                                   : Qt::AlignLeft;

  QPoint glyphAt, textAt;
  QRect textRect;
  if (FStyle == bsShape) {
    glyphAt = QPoint((w - gw) / 2 + press, (h - gh) / 2 + press);
    textRect = QRect(QPoint(press, (h - textH) / 2 + press), QPoint(w - 1, h - 1));
  } else if (FLayout == blGlyphLeft || FLayout == blGlyphRight) {
    const bool left = FLayout == blGlyphLeft;
    const TAlignment glyphAlign = FWordWrap ? taLeftJustify : FAlignment;
    int gx = 0;
    if (glyphAlign == taLeftJustify)
      gx = left ? press + 4 : press + 4 + textW;
    else if (glyphAlign == taRightJustify)
      gx = left ? w + press - gw - textW - 4 : w + press - gw - 4;
    else
      gx = left ? (w - gw) / 2 + press - textW / 2 : (w - gw) / 2 + press + textW / 2;
    glyphAt = QPoint(gx, (h - gh) / 2 + press);
    const int tx = press + 4 + ((left && gw > 0) ? gw + 4 : 0);
    textRect = QRect(tx, (h - textH) / 2 + press, limit, textH);
  } else {
    const int total = gw > 0 ? textH + gh + 4 : textH;
    const int top = (h - total) / 2;
    const bool glyphFirst = FLayout == blGlyphTop;
    const int gy = glyphFirst ? top + press : top + textH + press;
    const int ty = glyphFirst ? top + gh + press : top + press;
    const int gx = FAlignment == taLeftJustify    ? press + 4
                   : FAlignment == taRightJustify ? w + press - gw - 4
                                                  : (w - gw) / 2 + press;
    glyphAt = QPoint(gx, gy);
    textRect = QRect(press + 4, ty, limit, textH);
  }

  if (!glyph.isNull()) p.drawPixmap(glyphAt, glyph);
  if (!text.isEmpty()) {
    p.setPen(ToQColor(isEnabled() ? FFontColor : clGray));
    const int flags = textFlags | (FStyle == bsShape ? Qt::AlignHCenter : align);
    p.drawText(textRect, flags, text);
  }
  if (FPopupMenu) {
    p.setPen(Qt::NoPen);
    p.setBrush(ToQColor(isEnabled() ? FFontColor : clGray));
    const int x = w - 11, y = h / 2;
    const QPoint arrow[] = {{x, y}, {x + 6, y}, {x + 3, y + 3}};
    p.drawPolygon(arrow, 3);
  }
}
