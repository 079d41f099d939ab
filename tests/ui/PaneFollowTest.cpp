// A pane follows its newest line as a terminal does: at every size, after being hidden, and
// until the user scrolls up; scrolled back to the end, it follows again.

#include <string>

#include <gtest/gtest.h>
#include <QApplication>
#include <QTest>
#include <QTextBlock>
#include <QWheelEvent>

#include "platform/windowing/StdCtrls.h"

namespace {

class PaneFollow : public ::testing::Test {
 protected:
  void SetUp() override {
    pane.resize(200, pane.HeightFor(3));
    pane.show();
    for (int i = 1; i <= 40; ++i)
      pane.Add("line " + std::to_string(i));
  }

  // The line shown at the bottom of the pane, whole.
  std::string BottomLine() {
    QApplication::processEvents();
    const int bottom = pane.viewport()->height() - pane.fontMetrics().height() / 2 - 4;
    return pane.cursorForPosition(QPoint(2, bottom)).block().text().toStdString();
  }

  void ScrollUp() {
    const QPointF at(10, 10);
    QWheelEvent wheel(at, pane.viewport()->mapToGlobal(at), QPoint(), QPoint(0, 120 * 3),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(pane.viewport(), &wheel);
  }

  win::TMemo pane;
};

TEST_F(PaneFollow, TheNewestLineStaysInViewAtEverySizeAndAfterBeingHidden) {
  const int sizes[] = {pane.HeightFor(3),     400, pane.HeightFor(1),
                       pane.HeightFor(3) + 7, 250, pane.HeightFor(2)};
  std::string newest = "line 40";
  for (int height : sizes) {
    SCOPED_TRACE(height);
    pane.resize(200, height);
    EXPECT_EQ(BottomLine(), newest) << "resized";
    newest = "added at " + std::to_string(height);
    pane.Add(newest);
    EXPECT_EQ(BottomLine(), newest) << "added to";
  }
  pane.hide();
  pane.Add("while hidden");
  pane.show();
  EXPECT_EQ(BottomLine(), "while hidden");
}

TEST_F(PaneFollow, ScrolledUpItStaysAndFromTheEndItFollowsAgain) {
  ScrollUp();
  const std::string shown = BottomLine();
  ASSERT_NE(shown, "line 40");
  pane.Add("unseen");
  pane.resize(200, pane.HeightFor(4));
  pane.resize(200, pane.HeightFor(3));
  EXPECT_EQ(BottomLine(), shown) << "moved while the user reads";
  EXPECT_FALSE(pane.Following());

  QTest::keyClick(&pane, Qt::Key_End, Qt::ControlModifier);
  EXPECT_EQ(BottomLine(), "unseen");
  pane.Add("seen");
  EXPECT_EQ(BottomLine(), "seen");
  EXPECT_TRUE(pane.Following());
}

}  // namespace
