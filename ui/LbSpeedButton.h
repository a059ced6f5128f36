// A push button that draws itself: six visual styles, a hot-track colour that can fade out, an
// optional glyph strip and popup menu, grouping like radio buttons, and colour presets.
#pragma once

#include "ui/Colors.h"

#include <QFont>
#include <QPixmap>
#include <QWidget>
#include <functional>
#include <string>

class QMenu;
class QTimer;

enum TAlignment { taLeftJustify, taRightJustify, taCenter };
enum TLbSpeedButtonLayout { blGlyphLeft, blGlyphRight, blGlyphTop, blGlyphBottom };
enum TLbSpeedButtonStyle { bsNormal, bsEncarta, bsModern, bsOld, bsShape, bsQuicken };
enum TLbColorStyle {
  lcsGold,
  lcsChrome,
  lcsBlue,
  lcsRed,
  lcsUltraFlat1,
  lcsUltraFlat2,
  lcsUltraFlatXP,
  lcsAqua,
  lcsDefault,
  lcsQuicken,
  lcsCustom
};

class TLbSpeedButton : public QWidget {
  Q_OBJECT
 public:
  using TNotifyEvent = std::function<void(TLbSpeedButton* Sender)>;
  using TMouseEvent =
      std::function<void(TLbSpeedButton* Sender, Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X, int Y)>;

  explicit TLbSpeedButton(QWidget* parent = nullptr);
  ~TLbSpeedButton() override;

  TAlignment Alignment() const { return FAlignment; }
  void SetAlignment(TAlignment v);
  bool AllowAllUp = false;
  std::string Caption() const { return FCaption; }
  void SetCaption(const std::string& v);
  TColor Color() const { return FColor; }
  void SetColor(TColor v);
  TColor ColorWhenDown() const { return FColorWhenDown; }
  void SetColorWhenDown(TColor v);
  // Applies a preset; always reads lcsCustom.
  TLbColorStyle ColorStyle() const { return lcsCustom; }
  void SetColorStyle(TLbColorStyle v);
  bool Down() const { return FDown; }
  void SetDown(bool v);
  bool Flat() const { return FFlat; }
  void SetFlat(bool v);
  const QPixmap& Glyph() const { return FGlyph; }
  void SetGlyph(const QPixmap& v);
  int GroupIndex = 0;
  TColor HotTrackColor() const { return FHotTrackColor; }
  void SetHotTrackColor(TColor v);
  QFont HotTrackFont;
  TLbSpeedButtonLayout Layout() const { return FLayout; }
  void SetLayout(TLbSpeedButtonLayout v);
  TColor LightColor() const { return FLightColor; }
  void SetLightColor(TColor v);
  int NumGlyphs() const { return FNumGlyphs; }
  void SetNumGlyphs(int v);
  QMenu* PopupMenu() const { return FPopupMenu; }
  void SetPopupMenu(QMenu* v);
  TColor ShadowColor() const { return FShadowColor; }
  void SetShadowColor(TColor v);
  bool SlowDecease() const { return FFadeTimer != nullptr; }
  void SetSlowDecease(bool v);
  TLbSpeedButtonStyle Style() const { return FStyle; }
  void SetStyle(TLbSpeedButtonStyle v);
  bool Transparent() const { return FTransparent; }
  void SetTransparent(bool v);
  bool UseHotTrackFont() const { return FUseHotTrackFont; }
  void SetUseHotTrackFont(bool v);
  bool WordWrap() const { return FWordWrap; }
  void SetWordWrap(bool v);
  // Caption (and disabled caption) colour; presets set it.
  TColor FontColor() const { return FFontColor; }
  void SetFontColor(TColor v);

  TNotifyEvent OnClick, OnMouseEnter, OnMouseExit;
  TMouseEvent OnMouseDown, OnMouseMove, OnMouseUp;

  bool Hot() const { return FHot; }
  int FadeLevel() const { return FFade; }
  // The face colour the button paints now: hot-track blend and pressed colour applied.
  TColor FaceColor() const;
  // Runs the click: popup menu, then OnClick.
  void Click();

  // Colour depth of the screen; at 8 bits or fewer bsModern draws as bsNormal. Replaceable.
  static std::function<int()> ScreenDepth;

 protected:
  void paintEvent(QPaintEvent*) override;
  void enterEvent(QEnterEvent*) override;
  void leaveEvent(QEvent*) override;
  void mousePressEvent(QMouseEvent*) override;
  void mouseDoubleClickEvent(QMouseEvent*) override;
  void mouseReleaseEvent(QMouseEvent*) override;
  void mouseMoveEvent(QMouseEvent*) override;
  bool event(QEvent*) override;
  // With a focus policy set, the focused button clicks on Space, Return and Enter and shows a
  // dotted focus frame.
  void keyPressEvent(QKeyEvent*) override;
  void focusInEvent(QFocusEvent*) override;
  void focusOutEvent(QFocusEvent*) override;

 private:
  void Changed();
  void FadeTick();
  bool Showing() const;
  void RegisterMnemonic();
  void PaintBackground(QPainter& p, const QColor& face, int press) const;
  void PaintBorder(QPainter& p, const QColor& face, bool down) const;
  void PaintContent(QPainter& p, bool down, int press) const;
  int GlyphIndex(bool down) const;

  TAlignment FAlignment = taLeftJustify;
  std::string FCaption;
  TColor FColor = clBtnFace;
  TColor FColorWhenDown = clNone;
  bool FDown = false;
  bool FFlat = false;
  QPixmap FGlyph;
  TColor FHotTrackColor = clNone;
  TLbSpeedButtonLayout FLayout = blGlyphLeft;
  TColor FLightColor = clWhite;
  int FNumGlyphs = 0;
  QMenu* FPopupMenu = nullptr;
  TColor FShadowColor = clBlack;
  TLbSpeedButtonStyle FStyle = bsNormal;
  bool FTransparent = false;
  bool FUseHotTrackFont = false;
  bool FWordWrap = false;
  TColor FFontColor = clBlack;
  bool FHot = false;
  int FFade = 0;
  bool FPressedInside = false;
  int FMnemonicId = 0;
  QTimer* FFadeTimer = nullptr;
};

// The caption as drawn without word wrap: cut from the end, one character at a time, until its
// width is at most Limit.
QString FitCaption(const QString& Caption, const QFontMetrics& Metrics, int Limit);
