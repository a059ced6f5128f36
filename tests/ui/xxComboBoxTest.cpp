#include "ui/xxComboBox.h"
#include "ui/QtTestSupport.h"

#include <QAbstractItemView>
#include <QTest>
#include <QWheelEvent>
#include <vector>

namespace {

void Wheel(QWidget* w, int delta) {
  QWheelEvent e(QPointF(5, 5), QPointF(w->mapToGlobal(QPoint(5, 5))), QPoint(), QPoint(0, delta), Qt::NoButton,
                Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(w, &e);
}

struct ComboFixture : ::testing::Test {
  void SetUp() override {
    combo.resize(100, 22);
    for (int i = 1; i <= 10; ++i) combo.addItem(QString("Level %1").arg(i));
    combo.setCurrentIndex(5);
    combo.OnMouseWheel = [this](TxxComboBox*, int w) { notches.push_back(w); };
    combo.show();
  }
  TxxComboBox combo;
  std::vector<int> notches;
};

TEST_F(ComboFixture, WheelOnClosedBoxFollowsWheelActiveAndAlwaysReports) {
  combo.WheelActive = false;
  Wheel(&combo, 120);
  Wheel(&combo, -120);
  EXPECT_EQ(combo.currentIndex(), 5);
  EXPECT_EQ(notches, (std::vector<int>{-1, 1}));

  combo.WheelActive = true;
  Wheel(&combo, -120);  // towards the user: next item
  EXPECT_EQ(combo.currentIndex(), 6);
  Wheel(&combo, 120);
  EXPECT_EQ(combo.currentIndex(), 5);
  EXPECT_EQ(notches.size(), 4u);
}

TEST_F(ComboFixture, CloseUpFiresOnlyWhenTheListCloses) {
  int closeUps = 0;
  combo.OnCloseUp = [&](TxxComboBox*) { ++closeUps; };
  combo.hidePopup();
  EXPECT_EQ(closeUps, 0);
  combo.showPopup();
  ASSERT_TRUE(combo.view()->isVisible());
  combo.hidePopup();
  EXPECT_EQ(closeUps, 1);
}

TEST_F(ComboFixture, FocusChangesReachTheirEvents) {
  QWidget other;
  std::vector<std::string> seen;
  combo.OnCMEnter = [&](TxxComboBox*) { seen.push_back("enter"); };
  combo.OnCMExit = [&](TxxComboBox*) { seen.push_back("exit"); };
  QFocusEvent in(QEvent::FocusIn), out(QEvent::FocusOut);
  QApplication::sendEvent(&combo, &in);
  QApplication::sendEvent(&combo, &out);
  EXPECT_EQ(seen, (std::vector<std::string>{"enter", "exit"}));
}

}  // namespace
