#include "ui/AdvStatus.h"
#include "ui/QtTestSupport.h"

#include <QProgressBar>
#include <utility>

namespace {

TEST(AdvStatus, StaysAtTheBottomAndKeepsItsChildren) {
  QWidget window;
  window.resize(492, 476);
  auto* bar = new TAdvStatus(&window);
  auto* gauge = new QProgressBar(bar);
  gauge->setGeometry(180, 3, 150, 16);
  window.show();
  EXPECT_EQ(bar->geometry(), QRect(0, 454, 492, 22));
  window.resize(492, 193);
  EXPECT_EQ(bar->geometry(), QRect(0, 171, 492, 22));
  EXPECT_EQ(gauge->parentWidget(), bar);
  EXPECT_EQ(gauge->geometry(), QRect(180, 3, 150, 16));
}

TEST(AdvStatus, PanelTextsAndColour) {
  QWidget window;
  window.resize(300, 100);
  TAdvStatus bar(&window);
  bar.AddPanel(174, "     Ready");
  bar.AddPanel(318);
  bar.SetPanelText(0, "     Execute");
  bar.SetPanelText(5, "ignored");
  EXPECT_EQ(bar.PanelText(0), "     Execute");
  EXPECT_EQ(bar.PanelText(1), "");
  EXPECT_EQ(bar.PanelText(-1), "");
  // Tooltips belong to panels: the last panel reaches to the end of the bar.
  bar.SetPanelHint(1, "second");
  const std::pair<int, int> at[] = {{0, 0}, {173, 0}, {174, 1}, {299, 1}, {300, -1}, {-1, -1}};
  for (const auto& [x, panel] : at) EXPECT_EQ(bar.PanelAt(x), panel) << x;
  EXPECT_EQ(bar.PanelHint(1), "second");
  EXPECT_EQ(bar.PanelHint(0), "");
  bar.SetColor(0x00EBD6DD);
  EXPECT_EQ(Rendered(bar).pixelColor(bar.width() - 1, 0), QColor(0xDD, 0xD6, 0xEB));
}

}  // namespace
