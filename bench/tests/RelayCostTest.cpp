#include "RelayCost.h"

#include <gtest/gtest.h>

#include "Answer.h"
#include "Downloads.h"
#include "Nginx.h"
#include "Origin.h"

namespace bench {
namespace {

TEST(RelayCostTest, AMemoryRunsLineReadsBackAsWritten) {
  MemoryPerRun figures;
  figures.Limit = 65535;
  figures.Downloads = 100;
  figures.Correct = 98;
  figures.PeakRuns = 97;
  figures.IdleKb = 4056;
  figures.PeakKb = 5960;
  figures.Error = "closed after 10\nof 1133 bytes";  // one line, whatever the text holds
  MemoryPerRun back = FromLine(ToLine(figures));
  EXPECT_EQ(back.Limit, figures.Limit);
  EXPECT_EQ(back.Correct, figures.Correct);
  EXPECT_EQ(back.PeakRuns, figures.PeakRuns);
  EXPECT_EQ(back.PeakKb, figures.PeakKb);
  EXPECT_EQ(back.Error, "closed after 10 of 1133 bytes");
  EXPECT_DOUBLE_EQ(back.KbPerRun(), (5960.0 - 4056.0) / 97);
  EXPECT_EQ(FromLine("memory-run 4 x").Error.rfind("unreadable", 0), 0u);
}

// The reference relay of figure 6, where nginx is installed: it starts from our configuration
// and passes an answer on whole.
TEST(RelayCostTest, NginxRelaysAnAnswerWhole) {
  const std::string program = Nginx::Program();
  if (program.empty()) GTEST_SKIP() << "nginx is not installed";
  Origin origin;
  Nginx nginx(program, origin.Port(), "limit_rate 0;");
  DownloadSpec spec{nginx.Port(), DirectRequest(300000, 3), "", 300000, 3};
  spec.AnyHeader = true;
  DownloadResult result = RunDownloads({spec}, {}).Results.front();
  EXPECT_TRUE(result.Correct) << result.Error;
  EXPECT_GT(nginx.Stop(), 0.0);
}

}  // namespace
}  // namespace bench
