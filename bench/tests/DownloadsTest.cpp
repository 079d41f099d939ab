#include "Downloads.h"

#include <numeric>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Answer.h"
#include "Origin.h"

namespace bench {
namespace {

DownloadSpec Direct(const Origin& origin, std::int64_t body, std::int64_t id) {
  return {origin.Port(), DirectRequest(body, id), AnswerHeader(body, "1.1"), body, id};
}

// A loopback socket bound to a port of its own; listening when asked, so that connects complete
// but nothing is ever answered, otherwise refusing them.
class BoundSocket {
 public:
  explicit BoundSocket(bool listening) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), length), 0);
    if (listening) {
      EXPECT_EQ(::listen(fd_, 16), 0);
    }
    EXPECT_EQ(::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length), 0);
    port_ = ntohs(address.sin_port);
  }
  ~BoundSocket() { ::close(fd_); }
  std::int32_t Port() const { return port_; }

 private:
  int fd_;
  std::int32_t port_ = 0;
};

class DownloadsFromEitherOriginTest : public ::testing::TestWithParam<bool> {};

INSTANTIATE_TEST_SUITE_P(Origins, DownloadsFromEitherOriginTest, ::testing::Bool(),
                         [](const auto& instance) {
                           return instance.param ? "HeaderApart" : "OnePiece";
                         });

TEST_P(DownloadsFromEitherOriginTest, EveryAnswerArrivesWholeAndChecked) {
  Origin origin({.HeaderApart = GetParam()});
  const std::int64_t bodies[] = {0, 1, 65535, 65536, 300000, 2 << 20};
  std::vector<DownloadSpec> specs;
  for (std::int64_t body : bodies)
    specs.push_back(Direct(origin, body, body % 97));
  DownloadOptions options;
  options.Threads = 2;
  DownloadBatch batch = RunDownloads(specs, options);
  ASSERT_EQ(batch.Results.size(), specs.size());
  for (std::size_t i = 0; i < specs.size(); ++i) {
    const DownloadResult& result = batch.Results[i];
    EXPECT_TRUE(result.Correct) << bodies[i] << ": " << result.Error;
    EXPECT_EQ(result.Bytes, static_cast<std::int64_t>(specs[i].ExpectedHeader.size()) + bodies[i]);
    EXPECT_LE(result.Started, result.FirstByte);
    EXPECT_LE(result.FirstByte, result.Ended);
  }
  EXPECT_EQ(origin.Answered(), static_cast<std::int64_t>(specs.size()));
}

TEST(DownloadsTest, AnswersThatDifferFromTheExpectedOneFail) {
  Origin origin;
  struct Case {
    const char* name;
    DownloadSpec spec;
    const char* error;
  };
  DownloadSpec foreign = Direct(origin, 5000, 1);
  foreign.Id = 2;
  DownloadSpec longer = Direct(origin, 200, 1);
  longer.BodyBytes = 100;
  DownloadSpec shorter = Direct(origin, 100, 1);
  shorter.BodyBytes = 200;
  DownloadSpec unknown = Direct(origin, 100, 1);
  unknown.Request = "GET /nothing HTTP/1.0\r\n\r\n";
  const Case cases[] = {
      {"another answer's body", foreign, "unexpected bytes"},
      {"more bytes than announced", longer, "unexpected bytes"},
      {"fewer bytes than expected", shorter, "closed after"},
      {"a 404 for an unknown path", unknown, "answered: HTTP/1.1 404 Not Found"},
  };
  for (const Case& c : cases) {
    DownloadResult result = RunDownloads({c.spec}, {}).Results.front();
    EXPECT_FALSE(result.Correct) << c.name;
    EXPECT_EQ(result.Error.rfind(c.error, 0), 0u) << c.name << ": " << result.Error;
  }
}

TEST(DownloadsTest, TheOriginAnswersUnknownPathsWithAnEmpty404) {
  Origin origin;
  DownloadSpec spec = Direct(origin, 0, 0);
  spec.Request = "GET /nothing HTTP/1.0\r\n\r\n";
  spec.ExpectedHeader = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  DownloadResult result = RunDownloads({spec}, {}).Results.front();
  EXPECT_TRUE(result.Correct) << result.Error;
}

TEST(DownloadsTest, AnyHeaderTakesTheServersOwnAndStillChecksTheBody) {
  Origin origin;
  DownloadSpec spec = Direct(origin, 3000, 5);
  spec.ExpectedHeader = "not what comes";
  spec.AnyHeader = true;
  DownloadResult result = RunDownloads({spec}, {}).Results.front();
  EXPECT_TRUE(result.Correct) << result.Error;
  spec.Id = 6;
  EXPECT_EQ(RunDownloads({spec}, {}).Results.front().Error, "unexpected bytes");
}

TEST(DownloadsTest, FirstByteOnlyStopsAfterOneByte) {
  Origin origin;
  DownloadSpec spec = Direct(origin, 1 << 20, 4);
  spec.FirstByteOnly = true;
  DownloadResult result = RunDownloads({spec}, {}).Results.front();
  EXPECT_TRUE(result.Correct) << result.Error;
  EXPECT_EQ(result.Bytes, 1);
  EXPECT_GE(result.FirstByte, result.Started);
}

TEST(DownloadsTest, RefusedAndSilentServersEndInErrors) {
  BoundSocket refusing(false);
  BoundSocket silent(true);
  std::vector<DownloadSpec> specs = {
      {refusing.Port(), DirectRequest(10, 1), AnswerHeader(10, "1.1"), 10, 1},
      {silent.Port(), DirectRequest(10, 1), AnswerHeader(10, "1.1"), 10, 1},
  };
  DownloadOptions options;
  options.TimeLimit = std::chrono::milliseconds(300);
  DownloadBatch batch = RunDownloads(specs, options);
  EXPECT_FALSE(batch.Results[0].Correct);
  EXPECT_EQ(batch.Results[0].Error.rfind("connect:", 0), 0u) << batch.Results[0].Error;
  EXPECT_FALSE(batch.Results[1].Correct);
  EXPECT_EQ(batch.Results[1].Error, "timed out");
  EXPECT_LT(batch.Seconds, 5.0);
}

TEST(DownloadsTest, ARampedBatchStillFinishesEveryDownload) {
  Origin origin;
  std::vector<DownloadSpec> specs;
  for (int i = 0; i < 40; ++i)
    specs.push_back(Direct(origin, 1000 + i, i));
  DownloadOptions options;
  options.Threads = 3;
  options.MaxAwaitingFirstByte = 1;
  DownloadBatch batch = RunDownloads(specs, options);
  for (const DownloadResult& result : batch.Results)
    EXPECT_TRUE(result.Correct) << result.Error;
}

TEST(DownloadsTest, BurstsAddUpToTheBytesReceived) {
  Origin origin;
  DownloadSpec spec = Direct(origin, 300000, 9);
  spec.RecordBursts = true;
  DownloadResult result = RunDownloads({spec}, {}).Results.front();
  ASSERT_TRUE(result.Correct) << result.Error;
  ASSERT_FALSE(result.Bursts.empty());
  EXPECT_EQ(std::accumulate(result.Bursts.begin(), result.Bursts.end(), std::int64_t{0}),
            result.Bytes);
}

}  // namespace
}  // namespace bench
