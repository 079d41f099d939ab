#include <climits>
#include <memory>
#include <string>
#include <vector>

#include <QtCore/qtestsupport_core.h>
#include <QtWidgets/qtestsupport_widgets.h>
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QLocale>
#include <QWindow>

#include <gtest/gtest.h>

#include "platform/windowing/Application.h"
#include "platform/windowing/Windows.h"
#include "rtl/Exception.h"
#include "ui/Spin.h"

// Qt's window-system entry points, which libQt6Gui exports for test input: events reach the
// widgets as a desktop delivers them, with focus on press, mouse grabs and shortcut overrides.
Q_GUI_EXPORT void qt_handleKeyEvent(QWindow* window, QEvent::Type type, int key,
                                    Qt::KeyboardModifiers modifiers, const QString& text,
                                    bool autorep, ushort count);
Q_GUI_EXPORT void qt_handleMouseEvent(QWindow* window, const QPointF& local, const QPointF& global,
                                      Qt::MouseButtons state, Qt::MouseButton button,
                                      QEvent::Type type, Qt::KeyboardModifiers modifiers,
                                      int timestamp);

namespace {

// Keys go to the window's focus widget, as typed.
void Key(QWidget* inWindow, int key, Qt::KeyboardModifiers modifiers = {},
         const QString& text = {}) {
  QWindow* window = inWindow->window()->windowHandle();
  qt_handleKeyEvent(window, QEvent::KeyPress, key, modifiers, text, false, 1);
  qt_handleKeyEvent(window, QEvent::KeyRelease, key, modifiers, text, false, 1);
  QApplication::processEvents();
}

void Type(QWidget* inWindow, const QString& text) {
  // Latin-1 key codes are the upper-case characters.
  for (QChar c : text)
    Key(inWindow, c.toUpper().unicode(), {}, QString(c));
}

void Mouse(QWidget* target, QEvent::Type type, Qt::MouseButtons held) {
  static int timestamp = 0;
  timestamp += 1000;  // far apart, so no two clicks make a double click
  QWidget* top = target->window();
  QPointF at = target->mapTo(top, target->rect().center());
  qt_handleMouseEvent(top->windowHandle(), at, top->mapToGlobal(at), held, Qt::LeftButton, type, {},
                      timestamp);
  QApplication::processEvents();
}

void Press(QWidget* target) {
  Mouse(target, QEvent::MouseButtonPress, Qt::LeftButton);
}

void Release(QWidget* target) {
  Mouse(target, QEvent::MouseButtonRelease, Qt::NoButton);
}

void Click(QWidget* target) {
  Press(target);
  Release(target);
}

bool ShowActive(QWidget* window) {
  window->show();
  QApplication::setActiveWindow(window);
  return QTest::qWaitForWindowActive(window);
}

int CountPixels(const QImage& image, QRgb colour) {
  int count = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      count += image.pixel(x, y) == colour;
  return count;
}

int CountOtherThan(const QImage& image, QRgb colour) {
  int count = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      count += image.pixel(x, y) != colour;
  return count;
}

TEST(SpinEditRules, ClampValue) {
  struct Case {
    int min, max, value, expected;
  } cases[] = {
      {0, 0, -7, -7},       {0, 0, INT_MAX, INT_MAX}, {1, 65535, 0, 1}, {1, 65535, 70000, 65535},
      {1, 65535, 300, 300}, {1, 65535, 1, 1},         {10, 5, 9, 10},   {10, 5, 10, 5},
      {10, 5, 100, 5},      {-3, -3, 8, 8},
  };
  ui::TSpinEdit box;
  for (const Case& c : cases) {
    box.SetMinValue(c.min);
    box.SetMaxValue(c.max);
    EXPECT_EQ(box.ClampValue(c.value), c.expected) << c.min << ".." << c.max << " " << c.value;
  }
}

TEST(SpinEditRules, ValueReadsTheTextOrMinValue) {
  struct Case {
    const char* text;
    int expected;
  } cases[] = {{"70000", 70000},   {"-12", -12},
               {"+7", 7},          {"", 1},
               {"-", 1},           {"+", 1},
               {"1.5", 1},         {"12a", 1},
               {" 5", 1},          {"2147483647", INT_MAX},
               {"2147483648", 1},  {"-2147483648", INT_MIN},
               {"-2147483649", 1}, {"99999999999999999999", 1}};
  ui::TSpinEdit box;
  box.SetMinValue(1);
  box.SetMaxValue(65535);
  for (const Case& c : cases) {
    box.setText(c.text);
    EXPECT_EQ(box.Value(), c.expected) << '"' << c.text << '"';
  }
}

TEST(SpinEditRules, SetValueFiresOnChangeOnlyWhenTheTextChanges) {
  ui::TSpinEdit box;
  EXPECT_EQ(box.text(), "0");
  box.SetMinValue(1);
  box.SetMaxValue(65535);
  std::vector<QString> changes;
  box.OnChange = [&](QObject* sender) {
    EXPECT_EQ(sender, &box);
    changes.push_back(box.text());
  };
  box.SetValue(4);
  box.SetValue(4);
  box.SetValue(70000);
  box.SetValue(99999);  // clamps to the text it already has
  box.SetValue(INT_MIN);
  EXPECT_EQ(changes, (std::vector<QString>{"4", "65535", "1"}));
}

TEST(SpinEditRules, AcceptedChars) {
  const QChar separator = QLocale().decimalPoint().at(0);
  struct Case {
    QChar key;
    bool editing, notEditing;
  } cases[] = {{u'5', true, false},      {u'+', true, false},       {u'-', true, false},
               {separator, true, false}, {u'a', false, false},      {u' ', false, false},
               {QChar(8), true, false},  {QChar(13), false, false}, {QChar(27), true, true},
               {QChar(3), true, true}};
  ui::TSpinEdit box;
  for (const Case& c : cases) {
    box.SetEditorEnabled(true);
    EXPECT_EQ(box.IsAcceptedChar(c.key), c.editing) << int(c.key.unicode());
    box.SetEditorEnabled(false);
    EXPECT_EQ(box.IsAcceptedChar(c.key), c.notEditing) << int(c.key.unicode());
  }
}

// The main window's limit box (1..65535, showing 4) in an active window, with another control
// to leave it for. Beeps and text changes are recorded.
class SpinEditTest : public ::testing::Test {
 protected:
  void SetUp() override {
    win::SetBeepSeam([this](win::UINT) { ++beeps_; });
    window_ = std::make_unique<QWidget>();
    window_->resize(120, 100);
    box_ = new ui::TSpinEdit(window_.get());
    box_->setGeometry(10, 10, 60, 30);
    box_->SetMinValue(1);
    box_->SetMaxValue(65535);
    box_->SetValue(4);
    other_ = new QLineEdit(window_.get());
    other_->setGeometry(10, 60, 60, 30);
    box_->OnChange = [this](QObject*) { changes_.push_back(box_->text()); };
    ASSERT_TRUE(ShowActive(window_.get()));
    other_->setFocus();
    EnterByTab();
  }
  void TearDown() override { win::SetBeepSeam({}); }

  void EnterByTab() {
    Key(other_, Qt::Key_Tab, {}, "\t");
    ASSERT_TRUE(box_->hasFocus());
  }
  void Leave() {
    Key(box_, Qt::Key_Tab, {}, "\t");
    ASSERT_TRUE(other_->hasFocus());
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
      {"70000", 70000, "65535"}, {"0", 0, "1"}, {"-", 1, "-"}, {"", 1, ""}, {"300", 300, "300"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    ASSERT_EQ(box_->selectedText(), box_->text());  // entered by Tab: all selected
    Key(box_, Qt::Key_Backspace, {}, "\b");
    Type(box_, c.typed);
    EXPECT_EQ(box_->text(), c.typed);
    EXPECT_EQ(box_->Value(), c.valueWhileTyping);
    changes_.clear();
    Leave();
    EXPECT_EQ(box_->text(), c.afterLeaving);
    std::vector<QString> expected;
    if (QString(c.typed) != c.afterLeaving) expected.push_back(c.afterLeaving);
    EXPECT_EQ(changes_, expected);
    EnterByTab();
  }
  EXPECT_EQ(beeps_, 0);
}

TEST_F(SpinEditTest, ArrowKeysStepWithinTheBounds) {
  Key(box_, Qt::Key_Up);
  Key(box_, Qt::Key_Up);
  Key(box_, Qt::Key_Down);
  EXPECT_EQ(changes_, (std::vector<QString>{"5", "6", "5"}));

  for (auto [text, key] : {std::pair{"65535", Qt::Key_Up}, std::pair{"1", Qt::Key_Down}}) {
    box_->setText(text);
    changes_.clear();
    Key(box_, key);
    EXPECT_EQ(box_->text(), text);
    EXPECT_TRUE(changes_.empty()) << text;
  }
  EXPECT_EQ(beeps_, 0);
}

TEST_F(SpinEditTest, ReadOnlyBoxOnlyBeepsOnStepping) {
  box_->SetReadOnly(true);
  changes_.clear();
  Key(box_, Qt::Key_Up);
  Key(box_, Qt::Key_Down);
  Click(box_->Button()->UpButton());
  Click(box_->Button()->DownButton());
  EXPECT_EQ(beeps_, 4);
  EXPECT_EQ(box_->text(), "4");
  EXPECT_TRUE(changes_.empty());
}

TEST_F(SpinEditTest, RefusedCharactersBeepAndAreDropped) {
  Type(box_, "7a 8");
  Key(box_, Qt::Key_Return, {}, "\r");
  EXPECT_EQ(box_->text(), "78");
  EXPECT_EQ(beeps_, 3);

  Type(box_, QLocale().decimalPoint());
  EXPECT_EQ(box_->text(), "78" + QLocale().decimalPoint());
  EXPECT_EQ(box_->Value(), 1);

  QInputMethodEvent composed;
  composed.setCommitString("x");
  QApplication::sendEvent(box_, &composed);
  EXPECT_EQ(box_->text(), "78" + QLocale().decimalPoint());
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
  EXPECT_EQ(box_->text(), "5");

  box_->SetEditorEnabled(true);
  box_->selectAll();
  Key(box_, Qt::Key_V, Qt::ControlModifier, "\x16");
  EXPECT_EQ(box_->text(), "77");
  EXPECT_EQ(changes_, (std::vector<QString>{"5", "77"}));
}

TEST_F(SpinEditTest, ButtonsFocusTheBoxAndStep) {
  Leave();
  Click(box_->Button()->UpButton());
  EXPECT_TRUE(box_->hasFocus());
  EXPECT_EQ(box_->text(), "5");
  Click(box_->Button()->DownButton());
  Click(box_->Button()->DownButton());
  EXPECT_TRUE(box_->hasFocus());
  EXPECT_EQ(changes_, (std::vector<QString>{"5", "4", "3"}));
}

TEST_F(SpinEditTest, AutoSelectOnlyWhenSet) {
  Leave();
  box_->SetAutoSelect(false);
  box_->deselect();
  EnterByTab();
  EXPECT_FALSE(box_->hasSelectedText());
}

TEST_F(SpinEditTest, LayoutKeepsTheMinimumHeightAndTheButtonsClearOfTheText) {
  box_->resize(60, 5);
  EXPECT_GE(box_->height(), box_->fontMetrics().height() + 6);
  EXPECT_EQ(box_->height(), box_->MinHeight());
  QFont bigger = box_->font();
  bigger.setPixelSize(box_->fontMetrics().height() * 2);
  box_->setFont(bigger);
  EXPECT_GE(box_->height(), box_->fontMetrics().height() + 6);
  box_->resize(80, 60);
  EXPECT_EQ(box_->height(), 60);

  const ui::TSpinButton* pair = box_->Button();
  EXPECT_EQ(pair->width(), 15);
  EXPECT_GT(pair->x(), box_->width() - 15 - 6);
  EXPECT_LT(pair->geometry().right(), box_->width() - 1);
  EXPECT_GE(pair->y(), 0);
  EXPECT_LT(pair->geometry().bottom(), box_->height() - 1);
  const QRect up = pair->UpButton()->geometry(), down = pair->DownButton()->geometry();
  EXPECT_EQ(up, QRect(0, 0, 15, pair->height() / 2));
  EXPECT_EQ(down, QRect(0, up.height() - 1, 15, pair->height() - up.height() + 1));

  // Long text reaches the end of the text area, which stops 2 pixels short of the buttons.
  box_->setText(QString(30, QChar(0x2588)));  // full blocks: ink up to where the text is cut off
  box_->end(false);
  Leave();
  QImage drawn = box_->grab().toImage().convertToFormat(QImage::Format_RGB32);
  const QRgb base = box_->palette().color(QPalette::Base).rgb();
  QRect gap(pair->x() - 2, pair->y() + 2, 2, pair->height() - 4);
  QRect text = gap.translated(-12, 0).adjusted(0, 0, 10, 0);
  EXPECT_EQ(CountOtherThan(drawn.copy(gap), base), 0);
  EXPECT_GT(CountOtherThan(drawn.copy(text), base), 0);
}

TEST(SpinButtonGlyphs, OliveIsTransparentAndTheArrowIsDrawn) {
  const QRgb olive = qRgb(128, 128, 0), black = qRgb(0, 0, 0), red = qRgb(255, 0, 0);
  ui::TSpinButton pair;
  EXPECT_EQ(pair.size(), QSize(20, 25));
  EXPECT_EQ(pair.UpNumGlyphs(), 1);
  for (ui::TTimerSpeedButton* button : {pair.UpButton(), pair.DownButton()}) {
    QImage drawn = button->grab().toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(CountPixels(drawn, olive), 0);
    EXPECT_EQ(CountPixels(drawn, black), 7 + 5 + 3 + 1);  // the triangle, row by row
  }

  QImage custom(9, 6, QImage::Format_RGB32);
  custom.fill(olive);
  custom.setPixel(4, 2, red);
  custom.setPixel(4, 3, red);
  pair.SetUpGlyph(custom);
  QImage drawn = pair.UpButton()->grab().toImage().convertToFormat(QImage::Format_RGB32);
  EXPECT_EQ(CountPixels(drawn, red), 2);
  EXPECT_EQ(CountPixels(drawn, black), 0);
  pair.SetUpGlyph(QImage());
  drawn = pair.UpButton()->grab().toImage().convertToFormat(QImage::Format_RGB32);
  EXPECT_EQ(CountPixels(drawn, black), 16);
}

TEST(SpinButtonGlyphs, FocusRectIsDottedInsideTheEdgesAndShiftsWhenPressed) {
  ui::TTimerSpeedButton button;
  button.resize(30, 30);
  const QRgb ink = button.palette().color(QPalette::ButtonText).rgb();
  auto row = [&](int y) {
    QImage drawn = button.grab().toImage().convertToFormat(QImage::Format_RGB32);
    return CountPixels(drawn.copy(0, y, 30, 1), ink);
  };
  EXPECT_EQ(row(3), 0);
  button.SetShowFocusRect(true);
  EXPECT_GT(row(3), 3);
  EXPECT_LT(row(3), 24);  // dotted, not solid
  EXPECT_EQ(row(2), 0);
  button.setDown(true);
  EXPECT_EQ(row(3), 0);
  EXPECT_GT(row(4), 3);
}

// A pair alone in an active window; clicks are stamped with the time since the press.
class SpinButtonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window_ = std::make_unique<QWidget>();
    window_->resize(60, 60);
    pair_ = new ui::TSpinButton(window_.get());
    pair_->move(10, 10);
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
  Press(pair_->UpButton());
  QTest::qWait(750);  // holding the button is the input here, not a wait for a condition
  Release(pair_->UpButton());
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
  Press(pair_->DownButton());
  ASSERT_TRUE(QTest::qWaitFor([&] { return !reports.empty(); }, 5000));
  QTest::qWait(300);  // no further clicks may come
  Release(pair_->DownButton());
  EXPECT_EQ(downs_, 2);
  EXPECT_EQ(reports, std::vector<std::string>{"Limit not stepped."});
}

TEST_F(SpinButtonTest, KeyboardClicksAndMovesTheFocusRectWithTabStop) {
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
  EXPECT_FALSE(up->ShowFocusRect());
  Key(pair_, Qt::Key_Space, {}, " ");
  EXPECT_EQ(downs_, 3);
  Key(pair_, Qt::Key_Up);
  EXPECT_EQ(ups_.size(), 1u);
  EXPECT_TRUE(up->ShowFocusRect());
  EXPECT_FALSE(down->ShowFocusRect());
  Key(pair_, Qt::Key_Down);
  EXPECT_EQ(downs_, 4);
  EXPECT_EQ(pair_->FocusedButton(), down);
  pair_->clearFocus();
  EXPECT_FALSE(down->ShowFocusRect());
}

}  // namespace
