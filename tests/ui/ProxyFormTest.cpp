#include "TramletUnit.h"

#include <algorithm>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <QApplication>
#include <QTest>
#include <QTextBlock>

#include "net/IdException.h"
#include "net/IdSocketHandle.h"
#include "net/IdTCPServer.h"
#include "platform/windowing/Application.h"
#include "platform/windowing/Menus.h"
#include "platform/windowing/StdCtrls.h"
#include "platform/windowing/Timer.h"
#include "proxy/LiveSettings.h"
#include "proxy/ProxyCounters.h"
#include "rtl/Synchronize.h"
#include "support/OriginServer.h"
#include "support/RawClient.h"
#include "ui/CoolTrayIcon.h"
#include "ui/Spin.h"

namespace {

// A port nothing listens on now, for a server that must not take the real 1080. It is taken below
// the range the system gives outgoing connections: the suite's other tests fill that range in
// parallel, and one of them could take the port before the form binds it.
std::int32_t FreePort() {
  int low = 32768;
  std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low;
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> below(std::max(1024, low - 16384), std::max(1025, low - 1));
  for (;;) {
    TIdTCPServer probe;
    probe.SetDefaultPort(below(random));
    probe.OnExecute = [](TIdPeerThread*) {};
    try {
      probe.SetActive(true);
    } catch (const EIdCouldNotBindSocket&) {
      continue;
    }
    probe.SetActive(false);
    return probe.DefaultPort();
  }
}

class ProxyFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    proxy::Live().SpeedLimit = 4;
    proxy::Live().DelayMs = 0;
    proxy::Live().UploadLimit = 0;
    proxy::Live().SharedMode = false;
    form = std::make_unique<TProxyForm>(&win::Application());
    port = FreePort();
    form->IdTCPServer1->SetDefaultPort(port);
    win::Application().SetErrorReportSeam(
        [this](const std::string& caption, const std::string& text) {
          reports.push_back(caption + "|" + text);
        });
  }
  void TearDown() override {
    form.reset();
    win::Application().SetErrorReportSeam({});
  }
  std::unique_ptr<TProxyForm> form;
  std::int32_t port = 0;
  std::vector<std::string> reports;
};

TEST_F(ProxyFormTest, StartsAsItsLayoutSays) {
  EXPECT_EQ(form->Caption(), "HTTP Proxy - Speed limiter");
  EXPECT_EQ(form->FormStyle(), win::fsStayOnTop);
  EXPECT_EQ(form->size(), QSize(404, 76));
  EXPECT_EQ(form->Label1->Caption(), "Connections");
  EXPECT_EQ(form->Label2->Caption(), "Max Kb/s");
  EXPECT_EQ(form->Label3->Caption(), "Status ...");
  EXPECT_EQ(form->Memo1->Text(), "Upload window");
  EXPECT_EQ(form->Memo2->Text(), "Download window");
  EXPECT_TRUE(form->Memo1->isReadOnly());
  EXPECT_EQ(form->SpinEdit1->Value(), 4);
  // As wide as the layout says, or as its widest value needs in the font that stands in.
  EXPECT_EQ(form->SpinEdit1->geometry(),
            QRect(200, 17, std::max(47, form->SpinEdit1->MinWidth()), 22));
  EXPECT_EQ(form->Tray->Hint(), "Double Click To Show");
  EXPECT_TRUE(form->Tray->IconVisible());
  EXPECT_TRUE(form->Tray->MinimizeToTray());
  EXPECT_FALSE(form->IdTCPServer1->Active());
  form->show();  // the layout places the panes side by side over the status strip
  EXPECT_EQ(form->Memo1->geometry(), QRect(0, 0, 193, 35));
  EXPECT_EQ(form->Memo2->geometry(), QRect(193, 0, 211, 35));
  EXPECT_EQ(form->Panel1->geometry(), QRect(0, 35, 404, 41));
}

TEST_F(ProxyFormTest, TheHeartbeatShowsTheCountAndOpensTheListener) {
  form->Timer1Timer(form->Timer1);
  EXPECT_EQ(form->Label1->Caption(), "Concurrent connections: 0");
  EXPECT_TRUE(form->IdTCPServer1->Active());
  EXPECT_TRUE(reports.empty());
}

// What the relays counted since the last tick, beside the count (right of the box, on its row)
// and as the icon's first menu line, which nobody can choose.
TEST_F(ProxyFormTest, TheHeartbeatShowsTheRateToClientsBesideTheCountAndAtopTheMenu) {
  form->Timer1Timer(form->Timer1);
  win::TMenuItem* first = form->TrayMenu->Items(0);
  EXPECT_EQ(first->Caption, "To clients: 0.0 KB/s");
  proxy::Counters().BytesToClients += 50'000'000;  // more than a tick apart could count at 0
  form->Timer1Timer(form->Timer1);
  const std::string caption = form->RateLabel->Caption();
  EXPECT_EQ(first->Caption, caption);
  ASSERT_EQ(caption.rfind("To clients: ", 0), 0u) << caption;
  EXPECT_GT(std::stod(caption.substr(12)), 1000.0) << caption;
  EXPECT_EQ(form->TrayMenu->Items(form->TrayMenu->Count() - 2)->Caption, "Show window");
  bool ran = false;
  first->OnClick = [&](win::TMenuItem*) { ran = true; };
  first->Click();
  EXPECT_FALSE(ran) << "the rate line is there to read";
  EXPECT_EQ(form->RateLabel->y(), form->Label1->y());
  EXPECT_GT(form->RateLabel->x(), form->SpinEdit1->geometry().right());
}

// However small the window is made, the status strip leaves each pane its newest line.
TEST_F(ProxyFormTest, AtItsSmallestEachPaneShowsItsNewestLineAboveTheStrip) {
  form->show();
  for (int i = 1; i <= 30; ++i)
    form->Memo2->Add("line " + std::to_string(i));
  form->resize(404, 1);
  QApplication::processEvents();
  for (win::TMemo* pane : {form->Memo1, form->Memo2}) {
    EXPECT_GE(pane->height(), pane->HeightFor(1));
    EXPECT_LE(pane->geometry().bottom(), form->Panel1->geometry().top());
  }
  const int bottom = form->Memo2->viewport()->height() - 5;
  EXPECT_EQ(form->Memo2->cursorForPosition(QPoint(2, bottom)).block().text(), "line 30");
}

TEST_F(ProxyFormTest, AFailedActivationIsReportedOncePerStreakAndRetriedEveryTick) {
  const std::string retrying = "Port " + std::to_string(port) + " in use; retrying";
  std::vector<std::vector<std::string>> started;
  form->OnListening = [&](const std::vector<std::string>& where) { started.push_back(where); };
  for (int streak = 0; streak < 2; ++streak) {
    SCOPED_TRACE(streak);
    form->IdTCPServer1->SetActive(false);
    TIdTCPServer holder;
    holder.SetDefaultPort(port);
    holder.SetActive(true);
    reports.clear();
    started.clear();
    form->Timer1Timer(form->Timer1);
    form->Timer1Timer(form->Timer1);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(
        reports[0].find("|Cannot listen on *:" + std::to_string(port) + ": Could not bind socket."),
        std::string::npos)
        << reports[0];
    EXPECT_FALSE(form->IdTCPServer1->Active());
    EXPECT_EQ(form->Label3->Caption(), retrying);
    EXPECT_EQ(form->Label3->text().toStdString(), retrying) << "shown whole";
    ASSERT_EQ(form->Listeners().size(), 1u);
    EXPECT_FALSE(form->Listeners()[0].listening);
    EXPECT_TRUE(started.empty());
    holder.SetActive(false);
    form->Timer1Timer(form->Timer1);
    EXPECT_TRUE(form->IdTCPServer1->Active());
    EXPECT_EQ(form->Label3->Caption(), TProxyForm::kStatusCaption);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].front(), "0.0.0.0:" + std::to_string(port));
  }
}

TEST_F(ProxyFormTest, ARequestShowsInThePanesAndTheCount) {
  test::OriginServer origin(
      test::OriginScript{{{"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"}}});
  form->Timer1Timer(form->Timer1);
  test::RawClient client;
  ASSERT_TRUE(client.Connect(port));
  std::string target = "http://127.0.0.1:" + std::to_string(origin.Port()) + "/page";
  ASSERT_TRUE(client.Send("GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n"));
  QTRY_VERIFY(form->Memo2->Text().find("HTTP/1.0 200 OK") != std::string::npos);
  EXPECT_NE(form->Memo2->Text().find("Connected to 127.0.0.1"), std::string::npos);
  EXPECT_NE(form->Memo1->Text().find("GET /page HTTP/1.0"), std::string::npos);
  QTRY_VERIFY(form->Label3->Caption().rfind("Speed limit in action ", 0) == 0);
  QTRY_COMPARE(form->Label1->Caption(), std::string("Concurrent connections: 0"));
}

TEST_F(ProxyFormTest, APanePastAThousandLinesIsEmptied) {
  for (int i = 1; i < 1000; ++i)
    form->Memo1->Add("line " + std::to_string(i));
  EXPECT_EQ(form->Memo1->LineCount(), 1000);  // with "Upload window"
  form->Memo1->Add("line 1000");
  EXPECT_EQ(form->Memo1->LineCount(), 0);
  form->Memo1->Add("next");
  EXPECT_EQ(form->Memo1->Text(), "next");
}

TEST_F(ProxyFormTest, TheLimitFollowsTheBoxAsTypedAndTheCorrection) {
  form->show();
  QApplication::setActiveWindow(form.get());
  form->SpinEdit1->setFocus();
  form->SpinEdit1->selectAll();
  QTest::keyClicks(form->SpinEdit1, "16");
  EXPECT_EQ(proxy::Live().SpeedLimit.load(), 16);
  form->SpinEdit1->selectAll();
  QTest::keyClicks(form->SpinEdit1, "0");
  EXPECT_EQ(proxy::Live().SpeedLimit.load(), 0);  // held until the box is left
  // Held relays still report their ticks; while paused the status says so instead.
  static_cast<proxy::ProxyView&>(*form).SetStatusCaption("Speed limit in action 1");
  rtl::CheckSynchronize(0);
  EXPECT_EQ(form->Label3->Caption(), "Paused: the limit is 0");
  form->Memo1->setFocus();
  EXPECT_EQ(form->SpinEdit1->text(), "1");
  EXPECT_EQ(proxy::Live().SpeedLimit.load(), 1);
  EXPECT_EQ(form->Label3->Caption(), TProxyForm::kStatusCaption);
}

// Settings a later start hands over: the box shows the limit, the status line the rest.
TEST_F(ProxyFormTest, SettingsFromOutsideShowInTheBoxAndAfterTheTickCount) {
  form->SetLimit(12);
  EXPECT_EQ(form->SpinEdit1->text(), "12");
  EXPECT_EQ(proxy::Live().SpeedLimit.load(), 12);
  static_cast<proxy::ProxyView&>(*form).SetStatusCaption("Speed limit in action 7");
  QTRY_COMPARE(form->Label3->Caption(), std::string("Speed limit in action 7"));
  proxy::Live().DelayMs = 400;
  proxy::Live().UploadLimit = 4;
  form->SettingsChanged();
  EXPECT_EQ(form->Label3->Caption(), "Speed limit in action 7, delay 400 ms, uploads 4 Kb/s");
  proxy::Live().DelayMs = 0;
  form->SettingsChanged();
  EXPECT_EQ(form->Label3->Caption(), "Speed limit in action 7, uploads 4 Kb/s");
}

// The menu's presets and its choice of mode set the values; the marks, the box's tooltip and the
// status line follow what is in force, however it was set.
TEST_F(ProxyFormTest, TheMenusPresetsAndModeSetTheValuesAndShowWhatIsInForce) {
  win::TMenuItem* threeG = form->TrayMenu->Items(2)->Items(3);
  win::TMenuItem* each = form->TrayMenu->Items(3);
  win::TMenuItem* together = form->TrayMenu->Items(4);
  ASSERT_EQ(threeG->Caption, "3G (94 KB/s down, 31 up, 100 ms)");
  ASSERT_EQ(together->Caption, "Limit all downloads together");
  static_cast<proxy::ProxyView&>(*form).SetStatusCaption("Speed limit in action 7");
  QTRY_COMPARE(form->Label3->Caption(), std::string("Speed limit in action 7"));

  threeG->Click();
  const proxy::LiveSettings& live = proxy::Live();
  EXPECT_TRUE(live.SharedMode && live.UploadLimit == 31 && live.DelayMs == 100);
  EXPECT_EQ(form->SpinEdit1->text(), "94");
  EXPECT_TRUE(threeG->Checked && together->Checked && !each->Checked);
  EXPECT_EQ(form->Label3->Caption(),
            "Speed limit in action 7, shared by all downloads, delay 100 ms, uploads 31 Kb/s");
  EXPECT_NE(form->SpinEdit1->toolTip().indexOf("shared by all downloads"), -1);
  form->SpinEdit1->SetValue(95);  // by hand
  EXPECT_FALSE(threeG->Checked);
  each->Click();
  EXPECT_TRUE(!live.SharedMode && each->Checked && !together->Checked);
  EXPECT_EQ(form->Label3->Caption(), "Speed limit in action 7, delay 100 ms, uploads 31 Kb/s");
  EXPECT_NE(form->SpinEdit1->toolTip().indexOf("for each download"), -1);
}

TEST_F(ProxyFormTest, LabelsStayClearOfTheLimitBoxWhateverTheirCaptions) {
  for (const QString ticks : {"1036800000", "4294967295123"}) {
    static_cast<proxy::ProxyView&>(*form).SetStatusCaption("Speed limit in action " +
                                                           ticks.toStdString());
    QTRY_VERIFY(form->Label3->Caption().ends_with(ticks.toStdString()));  // applied in a batch
    EXPECT_LT(form->Label3->geometry().right(), form->SpinEdit1->geometry().left())
        << ticks.toStdString();
    EXPECT_TRUE(form->Label3->text().endsWith(ticks.right(8))) << "the changing end shows";
  }
}

TEST_F(ProxyFormTest, UpdatesStillQueuedWhenTheWindowGoesNeverRun) {
  proxy::ProxyView& view = *form;
  std::thread([&] {
    for (int i = 0; i < 100; ++i)
      view.AppendDownloadText("late " + std::to_string(i));
  }).join();
  form.reset();  // under AddressSanitizer a late update would reach the freed pane
  EXPECT_FALSE(rtl::CheckSynchronize(0));
}

}  // namespace
