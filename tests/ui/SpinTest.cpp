#include <climits>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QLocale>
#include <QTest>
#include <QWindow>

#include <gtest/gtest.h>

#include "platform/windowing/Application.h"
#include "platform/windowing/Windows.h"
#include "rtl/Exception.h"
#include "ui/Spin.h"

namespace {

// Input goes through the window, as a desktop delivers it: keys to the focus widget, mouse
// presses with focus changes and grabs.
void Key(QWidget* inWindow, int key, Qt::KeyboardModifiers modifiers = {},
         const QString& text = {}) {
  QWindow* window = inWindow->window()->windowHandle();
  QTest::sendKeyEvent(QTest::Press, window, Qt::Key(key), text, modifiers);
  QTest::sendKeyEvent(QTest::Release, window, Qt::Key(key), text, modifiers);
  QApplication::processEvents();
}

void Type(QWidget* inWindow, const QString& text) {
  // Latin-1 key codes are the upper-case characters.
  for (QChar c : text)
    Key(inWindow, c.toUpper().unicode(), {}, QString(c));
}

void Mouse(QWidget* target, QEvent::Type type) {
  QWidget* top = target->window();
  QPoint at = target->mapTo(top, target->rect().center());
  // QTest spaces its events in time, so no two clicks make a double click.
  if (type == QEvent::MouseButtonPress)
    QTest::mousePress(top->windowHandle(), Qt::LeftButton, {}, at);
  else
    QTest::mouseRelease(top->windowHandle(), Qt::LeftButton, {}, at);
  QApplication::processEvents();
}

void Click(QWidget* target) {
  Mouse(target, QEvent::MouseButtonPress);
  Mouse(target, QEvent::MouseButtonRelease);
}

bool ShowActive(QWidget* window) {
  window->show();
  QApplication::setActiveWindow(window);
  return QTest::qWaitForWindowActive(window);
}

int CountPixels(const QImage& image, QRgb colour, bool other = false) {
  int count = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      count += (image.pixel(x, y) == colour) != other;
  return count;
}

TEST(SpinEditRules, ClampValueValueAndSetValue) {
  EXPECT_EQ(ui::TSpinEdit().text(), "0");
  struct Clamp {
    int min, max, value, expected;
  } clamps[] = {{0, 0, -7, -7}, {1, 65535, 0, 1}, {1, 65535, 70000, 65535},  {1, 65535, 300, 300},
                {10, 5, 9, 10}, {10, 5, 10, 5},   {-3, -3, INT_MIN, INT_MIN}};
  ui::TSpinEdit box;
  for (const Clamp& c : clamps) {
    box.SetMinValue(c.min);
    box.SetMaxValue(c.max);
    EXPECT_EQ(box.ClampValue(c.value), c.expected) << c.min << ".." << c.max << " " << c.value;
  }
  const std::pair<const char*, int> reads[] = {{"70000", 70000},
                                               {"", 1},
                                               {"-", 1},
                                               {"12a", 1},
                                               {"2147483647", INT_MAX},
                                               {"2147483648", 1},
                                               {"-2147483648", INT_MIN},
                                               {"-2147483649", 1}};
  box.SetMinValue(1);
  for (auto [text, expected] : reads) {
    box.setText(text);
    EXPECT_EQ(box.Value(), expected) << '"' << text << '"';
  }

  box.SetMaxValue(65535);
  std::vector<QString> changes;
  box.OnChange = [&](QObject* sender) { changes.push_back(sender == &box ? box.text() : "?"); };
  for (int value : {4, 4, 70000, 99999, INT_MIN})
    box.SetValue(value);
  EXPECT_EQ(changes, (std::vector<QString>{"4", "65535", "1"}));  // only when the text changes
}

// The main window's limit box (1..65535, showing 4) in an active window, with another control
// to leave it for, entered by Tab. Beeps and text changes are recorded.
class SpinEditTest : public ::testing::Test {
 protected:
  void SetUp() override {
    win::SetBeepSeam([this](win::UINT) { ++beeps_; });
    window_ = std::make_unique<QWidget>();
    box_ = new ui::TSpinEdit(window_.get());
    box_->setGeometry(10, 10, 60, 30);
    box_->SetMinValue(1);
    box_->SetMaxValue(65535);
    box_->SetValue(4);
    box_->OnChange = [this](QObject*) { changes_.push_back(box_->text()); };
    other_ = new QLineEdit(window_.get());
    other_->setGeometry(10, 60, 60, 30);
    ASSERT_TRUE(ShowActive(window_.get()));
    other_->setFocus();
    Tab(box_);
  }
  void TearDown() override {
    window_.reset();  // its going ends an edit, whose change is recorded in members below
    win::SetBeepSeam({});
  }

  void Tab(QWidget* to) {
    Key(window_.get(), Qt::Key_Tab, {}, "\t");
    ASSERT_TRUE(to->hasFocus());
  }

  std::unique_ptr<QWidget> window_;
  ui::TSpinEdit* box_ = nullptr;
  QLineEdit* other_ = nullptr;
  std::vector<QString> changes_;
  int beeps_ = 0;
};

TEST_F(SpinEditTest, TypedTextIsKeptUntilTheBoxIsLeft) {
  struct Case {
    const char* typed;
    int valueWhileTyping;
    const char* afterLeaving;
  } cases[] = {
      {"70000", 70000, "65535"}, {"0", 0, "1"}, {"-", 1, "1"}, {"", 1, "1"}, {"300", 300, "300"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    ASSERT_EQ(box_->selectedText(), box_->text());  // AutoSelect on entry
    Key(box_, Qt::Key_Backspace, {}, "\b");
    Type(box_, c.typed);
    EXPECT_EQ(box_->Value(), c.valueWhileTyping);
    changes_.clear();
    Tab(other_);
    EXPECT_EQ(box_->text(), c.afterLeaving);
    std::vector<QString> expected;
    if (QString(c.typed) != c.afterLeaving) expected.push_back(c.afterLeaving);
    EXPECT_EQ(changes_, expected);
    Tab(box_);
  }
  EXPECT_EQ(beeps_, 0);
  Tab(other_);
  box_->SetAutoSelect(false);
  Tab(box_);
  EXPECT_FALSE(box_->hasSelectedText());
}

TEST_F(SpinEditTest, TheWindowLosingActivationEndsTheEditAsLeavingTheBoxDoes) {
  Type(box_, "0");
  QWidget elsewhere;
  ASSERT_TRUE(ShowActive(&elsewhere));
  EXPECT_EQ(changes_, (std::vector<QString>{"0", "1"}));
}

TEST_F(SpinEditTest, ArrowKeysAndButtonsStepWithinTheBounds) {
  Key(box_, Qt::Key_Up);
  Key(box_, Qt::Key_Up);
  Key(box_, Qt::Key_Down);
  EXPECT_EQ(changes_, (std::vector<QString>{"5", "6", "5"}));
  for (auto [text, key] : {std::pair{"65535", Qt::Key_Up}, std::pair{"1", Qt::Key_Down}}) {
    box_->setText(text);
    changes_.clear();
    Key(box_, key);
    EXPECT_TRUE(changes_.empty()) << text;
  }
  Tab(other_);
  Click(box_->Button()->UpButton());  // focuses the box, as a press on it would
  EXPECT_TRUE(box_->hasFocus());
  Click(box_->Button()->DownButton());
  EXPECT_EQ(changes_, (std::vector<QString>{"2", "1"}));
  EXPECT_EQ(beeps_, 0);

  box_->SetReadOnly(true);
  Key(box_, Qt::Key_Up);
  Click(box_->Button()->UpButton());
  EXPECT_EQ(beeps_, 2);
  EXPECT_EQ(changes_.size(), 2u);
}

TEST_F(SpinEditTest, RefusedCharactersBeepAndAreDropped) {
  Type(box_, "7a 8");
  Key(box_, Qt::Key_Return, {}, "\r");
  EXPECT_EQ(box_->text(), "78");
  EXPECT_EQ(beeps_, 3);
  Type(box_, QLocale().decimalPoint());
  const QString accepted = "78" + QLocale().decimalPoint();
  EXPECT_EQ(box_->text(), accepted);
  EXPECT_EQ(box_->Value(), 1);

  QInputMethodEvent composed;
  composed.setCommitString("x");
  QApplication::sendEvent(box_, &composed);
  EXPECT_EQ(box_->text(), accepted);
  EXPECT_EQ(beeps_, 4);
}

TEST_F(SpinEditTest, EditorOffLeavesOnlyTheButtonsAndArrows) {
  QApplication::clipboard()->setText("77");
  box_->SetEditorEnabled(false);
  Type(box_, "9");
  Key(box_, Qt::Key_Backspace, {}, "\b");
  Key(box_, Qt::Key_V, Qt::ControlModifier, "\x16");
  Key(box_, Qt::Key_X, Qt::ControlModifier, "\x18");
  EXPECT_EQ(box_->text(), "4");
  EXPECT_EQ(beeps_, 2);
  Key(box_, Qt::Key_Up);
  box_->SetEditorEnabled(true);
  box_->selectAll();
  Key(box_, Qt::Key_V, Qt::ControlModifier, "\x16");
  EXPECT_EQ(changes_, (std::vector<QString>{"5", "77"}));
}

TEST_F(SpinEditTest, LayoutKeepsTheMinimumHeightAndTheButtonsClearOfTheText) {
  box_->resize(60, 5);
  EXPECT_GE(box_->height(), box_->fontMetrics().height() + 6);
  EXPECT_EQ(box_->height(), box_->MinHeight());
  box_->resize(80, 60);
  EXPECT_EQ(box_->height(), 60);

  const ui::TSpinButton* pair = box_->Button();
  EXPECT_EQ(pair->width(), 15);
  EXPECT_TRUE(box_->rect().adjusted(0, 0, -1, -1).contains(pair->geometry()));
  const QRect up = pair->UpButton()->geometry(), down = pair->DownButton()->geometry();
  EXPECT_EQ(up, QRect(0, 0, 15, pair->height() / 2));
  EXPECT_EQ(down, QRect(0, up.height() - 1, 15, pair->height() - up.height() + 1));

  // Full blocks ink the text area up to where it ends, 2 pixels short of the buttons (set once
  // the box is left, which would put the limit in force back).
  Tab(other_);
  box_->setText(QString(30, QChar(0x2588)));
  QImage drawn = box_->grab().toImage().convertToFormat(QImage::Format_RGB32);
  const QRgb base = box_->palette().color(QPalette::Base).rgb();
  QRect gap(pair->x() - 2, pair->y() + 2, 2, pair->height() - 4);
  EXPECT_EQ(CountPixels(drawn.copy(gap), base, true), 0);
  EXPECT_GT(CountPixels(drawn.copy(gap.translated(-10, 0)), base, true), 0);
}

TEST_F(SpinEditTest, TheWidestValueShowsWholeAtAnyFontSize) {
  auto cursorX = [&] {
    return box_->inputMethodQuery(Qt::ImCursorRectangle).toRect().center().x();
  };
  for (const int points : {8, 16}) {
    QFont font = box_->font();
    font.setPointSize(points);
    box_->setFont(font);
    box_->resize(20, box_->height());  // as narrow as a layout may ask
    box_->setText("65535");
    // Text that does not fit scrolls: its end is then nearer to its start than its width.
    box_->home(false);
    const int start = cursorX();
    box_->end(false);
    EXPECT_EQ(cursorX() - start, box_->fontMetrics().horizontalAdvance("65535")) << points;
    EXPECT_LT(cursorX(), box_->Button()->x() - 1) << points;
  }
}

TEST(SpinButtonGlyphs, OliveIsTransparentAndTheArrowIsDrawn) {
  const QRgb olive = qRgb(128, 128, 0), black = qRgb(0, 0, 0), red = qRgb(255, 0, 0);
  ui::TSpinButton pair;
  EXPECT_EQ(pair.size(), QSize(20, 25));
  auto drawn = [](QWidget* button) {
    return button->grab().toImage().convertToFormat(QImage::Format_RGB32);
  };
  for (ui::TTimerSpeedButton* button : {pair.UpButton(), pair.DownButton()}) {
    EXPECT_EQ(CountPixels(drawn(button), olive), 0);
    EXPECT_EQ(CountPixels(drawn(button), black), 7 + 5 + 3 + 1);  // the triangle, row by row
  }
  QImage custom(9, 6, QImage::Format_RGB32);
  custom.fill(olive);
  custom.setPixel(4, 2, red);
  pair.SetUpGlyph(custom);
  EXPECT_EQ(CountPixels(drawn(pair.UpButton()), red), 1);
  pair.SetUpGlyph(QImage());  // back to the default arrow
  EXPECT_EQ(CountPixels(drawn(pair.UpButton()), black), 16);

  // The focus rectangle: dotted, 3 pixels in, one pixel lower while pressed.
  ui::TTimerSpeedButton* up = pair.UpButton();
  const QRgb ink = up->palette().color(QPalette::ButtonText).rgb();
  auto inkInRow = [&](int y) { return CountPixels(drawn(up).copy(0, y, up->width(), 1), ink); };
  EXPECT_EQ(inkInRow(3), 0);
  up->SetShowFocusRect(true);
  EXPECT_GT(inkInRow(3), 3);
  EXPECT_LT(inkInRow(3), up->width() - 8);
  up->setDown(true);
  EXPECT_EQ(inkInRow(3), 0);
  EXPECT_GT(inkInRow(4), 3);
}

// A pair alone in an active window; up clicks are stamped with the time since the press.
class SpinButtonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window_ = std::make_unique<QWidget>();
    pair_ = new ui::TSpinButton(window_.get());
    pair_->OnUpClick = [this](QObject*) { ups_.push_back(held_.elapsed()); };
    pair_->OnDownClick = [this](QObject*) { ++downs_; };
    ASSERT_TRUE(ShowActive(window_.get()));
  }
  void TearDown() override { win::Application().SetErrorReportSeam({}); }

  std::unique_ptr<QWidget> window_;
  ui::TSpinButton* pair_ = nullptr;
  QElapsedTimer held_;
  std::vector<qint64> ups_;
  int downs_ = 0;
};

TEST_F(SpinButtonTest, HoldingRepeatsAfter400ThenEvery100Ms) {
  held_.start();
  Mouse(pair_->UpButton(), QEvent::MouseButtonPress);
  QTest::qWait(750);  // holding the button is the input here, not a wait for a condition
  Mouse(pair_->UpButton(), QEvent::MouseButtonRelease);
  // 400, 500, 600, 700 and the release; late timers may drop some on a busy machine.
  ASSERT_GE(ups_.size(), 3u);
  EXPECT_LE(ups_.size(), 6u);
  EXPECT_GE(ups_.front(), 350);
  std::size_t afterRelease = ups_.size();
  QTest::qWait(300);  // the absence of clicks cannot be waited for
  EXPECT_EQ(ups_.size(), afterRelease);
}

TEST_F(SpinButtonTest, ErrorFromARepeatedClickStopsRepeatingAndIsReported) {
  std::vector<std::string> reports;
  win::Application().SetErrorReportSeam(
      [&](const std::string&, const std::string& text) { reports.push_back(text); });
  pair_->OnDownClick = [this](QObject*) {
    if (++downs_ == 2) throw Exception("Limit not stepped");
  };
  Mouse(pair_->DownButton(), QEvent::MouseButtonPress);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !reports.empty(); }, 5000));
  QTest::qWait(300);  // no further clicks may come
  Mouse(pair_->DownButton(), QEvent::MouseButtonRelease);
  EXPECT_EQ(downs_, 2);
  EXPECT_EQ(reports, std::vector<std::string>{"Limit not stepped."});
}

TEST_F(SpinButtonTest, PressAndKeysMoveTheFocusOnlyWithTabStop) {
  ui::TTimerSpeedButton* up = pair_->UpButton();
  ui::TTimerSpeedButton* down = pair_->DownButton();
  auto* control = new QLineEdit(window_.get());
  control->setGeometry(0, 40, 60, 20);
  control->show();
  pair_->SetFocusControl(control);
  Click(down);  // no TabStop: the focus goes to FocusControl, the focused button stays
  EXPECT_TRUE(control->hasFocus());
  EXPECT_EQ(pair_->FocusedButton(), up);

  pair_->SetTabStop(true);
  Click(down);  // FocusControl has the focus already: the pair takes it
  EXPECT_TRUE(pair_->hasFocus());
  EXPECT_TRUE(down->ShowFocusRect());
  Key(pair_, Qt::Key_Space, {}, " ");
  EXPECT_EQ(downs_, 3);
  Key(pair_, Qt::Key_Up);
  EXPECT_EQ(ups_.size(), 1u);
  EXPECT_TRUE(up->ShowFocusRect());
  EXPECT_FALSE(down->ShowFocusRect());
  pair_->clearFocus();
  EXPECT_FALSE(up->ShowFocusRect());
}

}  // namespace
