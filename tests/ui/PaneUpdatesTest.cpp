// What handler runs show reaches the window in batches: the panes stay bounded and readable, the
// captions end with the last text given, and each run's lines keep their order.

#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <QAbstractTextDocumentLayout>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QtGlobal>

#include "TramletUnit.h"
#include "platform/windowing/Application.h"
#include "platform/windowing/StdCtrls.h"
#include "proxy/ProxyView.h"

namespace {

std::vector<std::string> QtMessages;

void Record(QtMsgType, const QMessageLogContext&, const QString& message) {
  QtMessages.push_back(message.toStdString());
}

class PaneUpdatesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    form = std::make_unique<TProxyForm>(&win::Application());
    form->show();  // the offscreen platform's own notes on showing come before the test's
    QCoreApplication::processEvents();
    QtMessages.clear();
    previous = qInstallMessageHandler(Record);
  }
  void TearDown() override {
    qInstallMessageHandler(previous);
    form.reset();
  }
  proxy::ProxyView& View() { return *form; }

  std::unique_ptr<TProxyForm> form;
  QtMessageHandler previous = nullptr;
};

TEST_F(PaneUpdatesTest, BinaryChunksShowAsPlaceholdersWithoutComplaints) {
  std::mt19937 random(24);
  std::string last;
  std::thread run([&] {
    for (int chunk = 0; chunk < 40; ++chunk) {
      std::string bytes(4000, '\0');
      for (char& byte : bytes)
        byte = static_cast<char>(random());
      bytes += "\r\n";
      View().AppendDownloadText(bytes);
    }
    View().AppendDownloadText(last = std::string(1 << 20, 'x') + "\r\n");
  });
  run.join();
  QTRY_VERIFY(form->Memo2->Text().ends_with(" more bytes not shown]"));
  const std::string shown = form->Memo2->Text();
  EXPECT_NE(shown.find(std::string(4096, 'x') + "\n[" + std::to_string(last.size() - 4096)),
            std::string::npos);
  EXPECT_LE(form->Memo2->TextLength(), TProxyForm::kMaxPaneBytes);
  EXPECT_NE(shown.find("\xC2\xB7"), std::string::npos);
  // Every line laid out, as scrolling through the pane would.
  QTextDocument* document = form->Memo2->document();
  for (QTextBlock block = document->begin(); block.isValid(); block = block.next())
    document->documentLayout()->blockBoundingRect(block);
  form->Memo2->viewport()->repaint();
  EXPECT_TRUE(QtMessages.empty()) << QtMessages.front();
}

TEST_F(PaneUpdatesTest, RunsKeepTheirOrderAndCaptionsEndWithTheLast) {
  constexpr int kRuns = 8;
  constexpr int kLines = 100;
  std::vector<std::thread> runs;
  for (int r = 0; r < kRuns; ++r)
    runs.emplace_back([this, r] {
      for (int i = 0; i < kLines; ++i) {
        View().AppendUploadLine(std::to_string(r) + " " + std::to_string(i));
        View().SetStatusCaption("status " + std::to_string(i));
      }
    });
  for (std::thread& run : runs)
    run.join();
  View().SetConnectionCaption("Concurrent connections: 0");
  QTRY_COMPARE(form->Label1->Caption(), std::string("Concurrent connections: 0"));
  EXPECT_EQ(form->Label3->Caption(), "status " + std::to_string(kLines - 1));

  std::vector<int> next(kRuns, 0);
  const QStringList lines = form->Memo1->toPlainText().split('\n');
  ASSERT_EQ(lines.size(), kRuns * kLines + 1);
  EXPECT_EQ(lines[0], "Upload window");
  for (qsizetype n = 1; n < lines.size(); ++n) {
    const QStringList parts = lines[n].split(' ');
    ASSERT_EQ(parts.size(), 2);
    const int r = parts[0].toInt();
    EXPECT_EQ(parts[1].toInt(), next[r]++) << "run " << r;
  }
}

TEST_F(PaneUpdatesTest, APaneIsEmptiedWhenItPassesItsBytes) {
  const std::string line(4000, 'y');
  for (std::size_t i = 0; i * (line.size() + 1) <= TProxyForm::kMaxPaneBytes; ++i)
    form->Memo2->Add(line);
  EXPECT_EQ(form->Memo2->LineCount(), 0);
}

}  // namespace
