#include "ui/LbSpeedButton.h"
#include "ui/QtTestSupport.h"

#include <QEnterEvent>
#include <QMenu>
#include <QTest>
#include <memory>

BREL_QT_TEST_ENVIRONMENT;

namespace {

class LbSpeedButtonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    parent = std::make_unique<QWidget>();
    parent->resize(300, 100);
    parent->show();
  }
  TLbSpeedButton* Make(TLbColorStyle preset = lcsCustom, QSize size = {80, 22}) {
    auto* b = new TLbSpeedButton(parent.get());
    b->resize(size);
    b->SetColorStyle(preset);
    b->show();
    return b;
  }
  static void Enter(TLbSpeedButton* b) {
    QEnterEvent e(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QApplication::sendEvent(b, &e);
  }
  static void Leave(TLbSpeedButton* b) {
    QEvent e(QEvent::Leave);
    QApplication::sendEvent(b, &e);
  }
  static QRgb Pixel(const QImage& image, int x, int y) { return image.pixel(x, y); }
  static QRgb Rgb(TColor c) { return ToQColor(c).rgb(); }

  std::unique_ptr<QWidget> parent;
};

TEST_F(LbSpeedButtonTest, PresetsSetTheirRowAndReadBackAsCustom) {
  struct Row {
    TLbColorStyle preset;
    TColor color, light, shadow, whenDown, hot, font;
    TLbSpeedButtonStyle style;
    bool flat;
  };
  const Row rows[] = {
      {lcsGold, 0x00C0C0, 0x00FFFF, 0x008080, clNone, 0x00DFDF, clBlack, bsModern, false},
      {lcsUltraFlat2, clBtnFace, 0x000000, 0x000000, 0x24DABC, 0x8CF6E4, clBlack, bsNormal, true},
      {lcsDefault, clBtnFace, 0xFFFFFF, 0x808080, clNone, clNone, clBlack, bsNormal, false},
      {lcsQuicken, 0x603000, 0xC0C0C0, 0xC0C0C0, 0xAD6529, 0xCEAE9C, clWhite, bsQuicken, false},
  };
  for (const Row& r : rows) {
    TLbSpeedButton* b = Make();
    b->SetFlat(!r.flat);
    b->SetFontColor(0x123456);
    b->SetColorStyle(r.preset);
    SCOPED_TRACE(int(r.preset));
    EXPECT_EQ(b->Color(), r.color);
    EXPECT_EQ(b->LightColor(), r.light);
    EXPECT_EQ(b->ShadowColor(), r.shadow);
    EXPECT_EQ(b->ColorWhenDown(), r.whenDown);
    EXPECT_EQ(b->HotTrackColor(), r.hot);
    EXPECT_EQ(b->FontColor(), r.font);
    EXPECT_EQ(b->Style(), r.style);
    EXPECT_EQ(b->Flat(), r.flat);
    EXPECT_EQ(b->ColorStyle(), lcsCustom);
  }
  // lcsCustom changes nothing.
  TLbSpeedButton* b = Make(lcsQuicken);
  b->SetColorStyle(lcsCustom);
  EXPECT_EQ(b->Style(), bsQuicken);
  EXPECT_EQ(b->FontColor(), clWhite);
}

TEST_F(LbSpeedButtonTest, ModernDrawsAsNormalOnEightBitScreens) {
  const auto saved = TLbSpeedButton::ScreenDepth;
  TLbSpeedButton::ScreenDepth = [] { return 8; };
  TLbSpeedButton* b = Make(lcsGold);
  EXPECT_EQ(b->Style(), bsNormal);
  b->SetStyle(bsQuicken);
  EXPECT_EQ(b->Style(), bsQuicken);
  TLbSpeedButton::ScreenDepth = [] { return 16; };
  b->SetStyle(bsModern);
  EXPECT_EQ(b->Style(), bsModern);
  TLbSpeedButton::ScreenDepth = saved;
}

TEST_F(LbSpeedButtonTest, HotTrackColourAppearsAtOnceAndLeavesWithTheMouse) {
  TLbSpeedButton* b = Make(lcsGold);
  EXPECT_EQ(b->FaceColor(), 0x00C0C0u);
  Enter(b);
  EXPECT_TRUE(b->Hot());
  EXPECT_EQ(b->FaceColor(), 0x00DFDFu);
  Leave(b);
  EXPECT_FALSE(b->Hot());
  EXPECT_EQ(b->FaceColor(), 0x00C0C0u);

  // A disabled button does not light up.
  b->setEnabled(false);
  Enter(b);
  EXPECT_FALSE(b->Hot());
  EXPECT_EQ(b->FaceColor(), 0x00C0C0u);
}

TEST_F(LbSpeedButtonTest, SlowDeceaseFadesTheHotColourOut) {
  TLbSpeedButton* b = Make(lcsGold);
  b->SetSlowDecease(true);
  Enter(b);
  Leave(b);
  EXPECT_EQ(b->FadeLevel(), 8);  // the fade starts from full
  QTRY_COMPARE(b->FadeLevel(), 0);
  EXPECT_EQ(b->FaceColor(), 0x00C0C0u);
  // Switching the fade off drops the fade level at once.
  Enter(b);
  b->SetSlowDecease(false);
  EXPECT_EQ(b->FadeLevel(), 0);
}

TEST_F(LbSpeedButtonTest, PlainButtonIsDownWhilePressedAndClicksOnRelease) {
  TLbSpeedButton* b = Make(lcsGold);
  int clicks = 0;
  b->OnClick = [&](TLbSpeedButton*) { ++clicks; };
  QTest::mousePress(b, Qt::LeftButton, {}, QPoint(10, 10));
  EXPECT_TRUE(b->Down());
  QTest::mouseRelease(b, Qt::LeftButton, {}, QPoint(10, 10));
  EXPECT_FALSE(b->Down());
  EXPECT_EQ(clicks, 1);

  // Released outside: no click.
  QTest::mousePress(b, Qt::LeftButton, {}, QPoint(10, 10));
  QTest::mouseRelease(b, Qt::LeftButton, {}, QPoint(200, 10));
  EXPECT_EQ(clicks, 1);
  // The right button neither presses nor clicks.
  QTest::mouseClick(b, Qt::RightButton, {}, QPoint(10, 10));
  EXPECT_FALSE(b->Down());
  EXPECT_EQ(clicks, 1);
}

TEST_F(LbSpeedButtonTest, GroupedButtonsExcludeEachOther) {
  TLbSpeedButton* a = Make();
  TLbSpeedButton* b = Make();
  TLbSpeedButton* other = Make();
  a->GroupIndex = b->GroupIndex = 1;
  other->GroupIndex = 2;
  other->SetDown(true);

  QTest::mouseClick(a, Qt::LeftButton, {}, QPoint(5, 5));
  EXPECT_TRUE(a->Down());
  QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(5, 5));
  EXPECT_TRUE(b->Down());
  EXPECT_FALSE(a->Down());
  EXPECT_TRUE(other->Down());  // another group is left alone

  // Clicked again without AllowAllUp it stays down; with it, it comes up.
  QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(5, 5));
  EXPECT_TRUE(b->Down());
  b->AllowAllUp = true;
  QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(5, 5));
  EXPECT_FALSE(b->Down());
}

TEST_F(LbSpeedButtonTest, GlyphStripGivesImageCountAndPicksImageByState) {
  TLbSpeedButton* b = Make();
  QPixmap strip(64, 16);
  strip.fill(Qt::red);
  b->SetGlyph(strip);
  EXPECT_EQ(b->NumGlyphs(), 4);
  b->SetGlyph(QPixmap());
  EXPECT_EQ(b->NumGlyphs(), 0);

  // Four images in four colours (normal, disabled, down, hot) on fuchsia, which the
  // bottom-left pixel makes the transparent colour.
  QImage image(64, 16, QImage::Format_RGB32);
  image.fill(QColor(255, 0, 255));
  const QColor colours[] = {Qt::red, Qt::green, Qt::blue, Qt::yellow};
  for (int i = 0; i < 4; ++i)
    for (int x = 4; x < 12; ++x)
      for (int y = 4; y < 12; ++y) image.setPixelColor(i * 16 + x, y, colours[i]);
  b->SetGlyph(QPixmap::fromImage(image));
  b->SetCaption("");
  b->resize(24, 24);
  auto glyphColour = [&] { return Rendered(*b).pixelColor(12, 12); };
  EXPECT_EQ(glyphColour(), QColor(Qt::red));
  EXPECT_EQ(Rendered(*b).pixelColor(6, 6), ToQColor(clBtnFace));  // the key colour is not drawn
  Enter(b);
  EXPECT_EQ(glyphColour(), QColor(Qt::yellow));
  b->SetDown(true);
  EXPECT_EQ(Rendered(*b).pixelColor(13, 13), QColor(Qt::blue));  // down moves it by one pixel
  b->setEnabled(false);
  EXPECT_EQ(glyphColour(), QColor(Qt::green));  // never drawn down while disabled
}

TEST_F(LbSpeedButtonTest, CaptionTooWideIsCutFromTheEnd) {
  const QFontMetrics fm(QApplication::font());
  EXPECT_EQ(FitCaption("Execute", fm, fm.horizontalAdvance("Execute")), "Execute");
  EXPECT_EQ(FitCaption("Execute", fm, fm.horizontalAdvance("Exec")), "Exec");
  EXPECT_EQ(FitCaption("Execute", fm, 0), "");
}

TEST_F(LbSpeedButtonTest, ModernAndQuickenFacesFollowTheirDrawingRules) {
  TLbSpeedButton* gold = Make(lcsGold, {80, 22});
  QImage img = Rendered(*gold);
  EXPECT_EQ(qAlpha(Pixel(img, 0, 0)), 0);       // rounded corner left open
  EXPECT_EQ(Pixel(img, 40, 0), Rgb(0x008080));  // outline in the shadow colour
  EXPECT_EQ(Pixel(img, 1, 11), Rgb(0x00C0C0));  // inner outline in the face colour
  // Gradient from light at the top to the face a quarter down, then back to light.
  const int top = qRed(Pixel(img, 40, 2)), quarter = qRed(Pixel(img, 40, 22 / 4)), bottom = qRed(Pixel(img, 40, 19));
  EXPECT_GT(top, quarter);
  EXPECT_GT(bottom, quarter);
  EXPECT_NEAR(quarter, 0xC0, 4);
  EXPECT_NEAR(bottom, 0xFF, 12);
  EXPECT_EQ(qBlue(Pixel(img, 40, 2)), 0);
  gold->SetDown(true);
  img = Rendered(*gold);
  EXPECT_EQ(Pixel(img, 1, 11), Rgb(0x008080));  // pressed: inner outline dark

  TLbSpeedButton* quicken = Make(lcsQuicken, {65, 19});
  img = Rendered(*quicken);
  EXPECT_EQ(Pixel(img, 30, 0), Rgb(0xC0C0C0));   // top line
  EXPECT_EQ(Pixel(img, 30, 18), Rgb(0xC0C0C0));  // bottom line
  EXPECT_EQ(qAlpha(Pixel(img, 2, 0)), 0);        // lines stop short of the ends
  EXPECT_EQ(Pixel(img, 2, 3), Rgb(0x603000));    // filled face
}

TEST_F(LbSpeedButtonTest, PopupMenuOpensOnClickBeforeOnClick) {
  TLbSpeedButton* b = Make();
  QMenu menu;
  menu.addAction("item");
  b->SetPopupMenu(&menu);
  bool menuShownAtClick = false;
  b->OnClick = [&](TLbSpeedButton*) { menuShownAtClick = menu.isVisible(); };
  b->Click();
  EXPECT_TRUE(menuShownAtClick);
  menu.hide();
}

TEST_F(LbSpeedButtonTest, FocusedButtonClicksOnSpaceAndEnterOnly) {
  TLbSpeedButton* b = Make(lcsGold);
  b->setFocusPolicy(Qt::StrongFocus);
  int clicks = 0;
  b->OnClick = [&](TLbSpeedButton*) { ++clicks; };
  const std::pair<Qt::Key, Qt::KeyboardModifiers> keys[] = {{Qt::Key_Space, Qt::NoModifier},
                                                            {Qt::Key_Return, Qt::NoModifier},
                                                            {Qt::Key_Enter, Qt::KeypadModifier},
                                                            {Qt::Key_A, Qt::NoModifier},
                                                            {Qt::Key_Return, Qt::ControlModifier}};
  for (const auto& [key, mods] : keys) QTest::keyClick(b, key, mods);
  EXPECT_EQ(clicks, 3);
  b->setEnabled(false);
  QTest::keyClick(b, Qt::Key_Space);
  EXPECT_EQ(clicks, 3);
}

}  // namespace
