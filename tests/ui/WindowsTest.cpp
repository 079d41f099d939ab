#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <QTest>
#include <QTimer>

#include "platform/windowing/Application.h"
#include "platform/windowing/FileVersion.h"
#include "platform/windowing/Form.h"
#include "platform/windowing/Timer.h"
#include "platform/windowing/Windows.h"
#include "rtl/Synchronize.h"
#include "rtl/Time.h"

namespace {

using namespace win;

TEST(RegisteredMessages, SameNameSameNumber) {
  UINT first = RegisterWindowMessageA("TramletTestMessage");
  EXPECT_GE(first, 0xC000u);
  EXPECT_EQ(first, RegisterWindowMessageA("TramletTestMessage"));
  EXPECT_NE(first, RegisterWindowMessageA("TramletOtherMessage"));
}

TEST(ErrorReportText, AddsAFullStopOnlyAfterCharactersAboveIt) {
  const std::pair<std::string, std::string> cases[] = {
      {"Address in use", "Address in use."},
      {"Error 42", "Error 42."},
      {"Done.", "Done."},
      {"Socket Error # 10048\r\n(x)", "Socket Error # 10048\r\n(x)"},  // ')' comes before '.'
      {"Ends in a slash/", "Ends in a slash/."},
      {"", ""},
  };
  for (const auto& [message, shown] : cases)
    EXPECT_EQ(ErrorReportText(message), shown) << message;
}

// Records window messages; the procedure of a utility window.
struct Recorder {
  std::vector<TMessage> messages;
  HWND window = AllocateHWnd([this](TMessage& m) { messages.push_back(m); });
  ~Recorder() { DeallocateHWnd(window); }
};

TEST(PostedMessages, ArriveInOrderFromAnyThreadAndNotAfterTheWindowIsGone) {
  Recorder recorder;
  std::thread poster([&] {
    for (WPARAM i = 0; i < 50; ++i)
      PostMessageA(recorder.window, WM_USER, i, 0);
  });
  poster.join();
  QTRY_COMPARE(recorder.messages.size(), 50u);
  for (WPARAM i = 0; i < 50; ++i)
    EXPECT_EQ(recorder.messages[i].WParam, i);

  auto gone = std::make_unique<Recorder>();
  HWND goneWindow = gone->window;
  EXPECT_TRUE(PostMessageA(goneWindow, WM_USER, 0, 0));
  gone.reset();  // a stale delivery would reach freed memory
  QTest::qWait(20);
  EXPECT_FALSE(PostMessageA(kNoWindow, WM_USER, 0, 0));
}

TEST(WindowTimers, APeriodBeyondTheLongestIsCappedNotRefused) {
  Recorder recorder;
  for (UINT period : {0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu})
    EXPECT_EQ(SetTimer(recorder.window, 7, period), 7u) << period;
  EXPECT_TRUE(KillTimer(recorder.window, 7));
}

TEST(WindowProcedures, AReplacementSeesMessagesFirstAndCanPassThemOn) {
  Recorder recorder;
  std::vector<UINT> seen;
  WNDPROC saved;
  auto replacement = std::make_shared<const WindowProcedure>(
      [&](HWND window, UINT msg, WPARAM w, LPARAM l) -> LRESULT {
        seen.push_back(msg);
        if (msg == WM_USER + 1) return 7;  // answered here
        return CallWindowProcA(saved, window, msg, w, l);
      });
  saved = SetWindowLongA(recorder.window, GWL_WNDPROC, replacement);
  EXPECT_EQ(SendMessageA(recorder.window, WM_USER + 1, 0, 0), 7);
  SendMessageA(recorder.window, WM_USER + 2, 0, 0);
  EXPECT_EQ(seen, (std::vector<UINT>{WM_USER + 1, WM_USER + 2}));
  ASSERT_EQ(recorder.messages.size(), 1u);
  EXPECT_EQ(recorder.messages[0].Msg, WM_USER + 2);
  SetWindowLongA(recorder.window, GWL_WNDPROC, saved);
  EXPECT_EQ(GetWindowLongA(recorder.window, GWL_WNDPROC), saved);
}

TEST(MainThreadQueue, CallsFromAnotherThreadRunOnTheLoopInOrder) {
  std::vector<int> order;
  std::atomic<bool> allOnMain{true};
  std::thread worker([&] {
    for (int i = 0; i < 100; ++i)
      rtl::Queue([&, i] {
        if (!rtl::IsMainThread()) allOnMain = false;
        order.push_back(i);
      });
  });
  worker.join();
  QTRY_COMPARE(order.size(), 100u);  // only the Qt loop serves the queue here
  for (int i = 0; i < 100; ++i)
    EXPECT_EQ(order[i], i);
  EXPECT_TRUE(allOnMain);
}

TEST(FileVersion, CommonControlsAnswersSixAndOthersNothing) {
  DWORD handle = 1;
  DWORD size = GetFileVersionInfoSizeA("comctl32.dll", handle);
  ASSERT_GT(size, 0u);
  std::vector<char> block(size);
  ASSERT_TRUE(GetFileVersionInfoA("comctl32.dll", handle, size, block.data()));
  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\", &value, &length));
  EXPECT_GE(static_cast<VS_FIXEDFILEINFO*>(value)->dwFileVersionMS, 0x00040047u);
  EXPECT_EQ(GetFileVersionInfoSizeA("shell32.dll", handle), 0u);
}

// The standard error report, seen through the seam.
class ErrorReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Application().SetErrorReportSeam([this](const std::string& caption, const std::string& text) {
      reports.push_back(caption + "|" + text);
      if (nest) Application().HandleException(std::runtime_error("nested"));
    });
  }
  void TearDown() override { Application().SetErrorReportSeam({}); }
  std::vector<std::string> reports;
  bool nest = false;
};

TEST_F(ErrorReportTest, ATimerHandlerThatRaisesIsReportedEveryTickAndKeepsRunning) {
  Application().SetTitle("tramlet");
  TTimer timer;
  timer.SetInterval(20);
  timer.SetOnTimer([](TTimer*) { throw std::runtime_error("Could not bind socket"); });
  QTRY_VERIFY(reports.size() >= 2);
  EXPECT_EQ(reports[0], "tramlet|Could not bind socket.");
}

TEST_F(ErrorReportTest, AFailureWhileAReportIsOpenIsNotReportedAgain) {
  nest = true;
  Application().HandleException(std::runtime_error("first"));
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_FALSE(Application().ReportOpen());
  Application().HandleException(std::runtime_error("second"));  // the box closed: reported
  EXPECT_EQ(reports.size(), 2u);
}

// A main form whose minimize and restore reach the application's hooks as Windows would send them.
class MainFormTest : public ::testing::Test {
 protected:
  struct Form : TForm {
    explicit Form(rtl::TComponent* owner) : TForm(owner) { resize(200, 100); }
  };
  void SetUp() override {
    form = new Form(&Application());
    ASSERT_EQ(Application().MainForm(), form);
    token = Application().HookMainWindow([this](TMessage& m) {
      if (m.Msg == WM_SIZE) sizes.push_back(m.WParam);
      return false;
    });
  }
  void TearDown() override {
    Application().UnhookMainWindow(token);
    delete form;
  }
  Form* form = nullptr;
  int token = 0;
  std::vector<WPARAM> sizes;
};

TEST_F(MainFormTest, MinimizedByTheWindowManagerMinimizesTheApplication) {
  form->SetVisible(true);
  form->setWindowState(Qt::WindowMinimized);  // as the window manager reports it
  EXPECT_TRUE(Application().Minimized());
  EXPECT_EQ(sizes, std::vector<WPARAM>{SIZE_MINIMIZED});
  EXPECT_EQ(form->WindowState(), wsMinimized);
  Application().Restore();
  EXPECT_FALSE(Application().Minimized());
  EXPECT_EQ(form->WindowState(), wsNormal);
  EXPECT_EQ(sizes, (std::vector<WPARAM>{SIZE_MINIMIZED, SIZE_RESTORED}));
}

TEST_F(MainFormTest, ShowAndHideReachTheInstalledProcedure) {
  std::vector<std::pair<WPARAM, LPARAM>> shows;
  WNDPROC saved;
  saved = SetWindowLongA(form->Handle(), GWL_WNDPROC,
                         std::make_shared<const WindowProcedure>(
                             [&](HWND window, UINT msg, WPARAM w, LPARAM l) -> LRESULT {
                               if (msg == WM_SHOWWINDOW) shows.emplace_back(w, l);
                               return CallWindowProcA(saved, window, msg, w, l);
                             }));
  form->SetVisible(true);
  form->SetVisible(false);
  EXPECT_EQ(shows, (std::vector<std::pair<WPARAM, LPARAM>>{{1, 0}, {0, 0}}));
  SetWindowLongA(form->Handle(), GWL_WNDPROC, saved);
}

TEST_F(MainFormTest, ClosingTheMainFormEndsTheLoop) {
  form->SetVisible(true);
  QTimer::singleShot(0, form, [this] { form->close(); });
  Application().Run();  // returns only once the close terminated it
  EXPECT_TRUE(Application().Terminated());
}

}  // namespace
