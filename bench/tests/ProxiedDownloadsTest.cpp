#include <gtest/gtest.h>

#include "Answer.h"
#include "BenchProxy.h"
#include "Downloads.h"
#include "Origin.h"

// Kept apart from the plain-socket tests: the proxy's headers bring the WinSock names, which the
// POSIX socket headers define as macros.
namespace bench {
namespace {

// Through the proxy as the program builds it; at limit 1024 none of these answers waits a second.
TEST(DownloadsTest, ThroughTheProxyAnswersArriveRewrittenAndPaced) {
  Origin origin;
  test::LoopbackProxy proxy(PacedProxy(1024));
  std::vector<DownloadSpec> specs;
  for (int i = 0; i < 3; ++i) {
    std::int64_t body = 50000 + i;
    specs.push_back(
        {proxy.Port(), ProxyRequest(origin.Port(), body, i), AnswerHeader(body, "1.0"), body, i});
    specs.back().RecordBursts = true;
  }
  // The same through a tunnel: the answer passes unrewritten.
  specs.push_back({proxy.Port(), TunnelRequest(origin.Port(), 4000, 3),
                   std::string(kTunnelEstablished) + AnswerHeader(4000, "1.1"), 4000, 3});
  specs.back().RecordBursts = true;
  DownloadBatch batch = RunDownloads(specs, {});
  for (const DownloadResult& result : batch.Results) {
    EXPECT_TRUE(result.Correct) << result.Error;
    EXPECT_FALSE(result.Bursts.empty());
  }
  EXPECT_GE(proxy.View().StatusCount(), 3);
}

}  // namespace
}  // namespace bench
