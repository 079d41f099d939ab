#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ProxyTestSupport.h"
#include "support/OriginServer.h"

namespace {

// curl fetching through the proxy, with the real one-second pause after every slice.
TEST(ProxyCurlTest, DownloadsAFileByteForByteAtTheSetPace) {
  if (std::system("command -v curl >/dev/null 2>&1") != 0) GTEST_SKIP() << "curl is not installed";
  std::string body(10000, '\0');
  for (std::size_t i = 0; i < body.size(); ++i)
    body[i] = static_cast<char>(i * 31 + 7);
  test::OriginServer origin({{{"HTTP/1.1 200 OK\r\nContent-Length: 10000\r\n\r\n" + body}}});
  test::LoopbackProxy proxy;  // limit 4: 4000-byte slices, one second apart

  auto output =
      std::filesystem::temp_directory_path() / ("tramlet-curl-" + std::to_string(proxy.Port()));
  std::string command = "curl -s -S --max-time 30 -o " + output.string() +
                        " -x http://127.0.0.1:" + std::to_string(proxy.Port()) +
                        " http://127.0.0.1:" + std::to_string(origin.Port()) + "/file";
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  auto elapsed = std::chrono::steady_clock::now() - start;

  std::ifstream in(output, std::ios::binary);
  std::stringstream received;
  received << in.rdbuf();
  std::filesystem::remove(output);
  EXPECT_EQ(received.str(), body);
  // Head and body leave in three slices; the last one comes after two full seconds of pause.
  EXPECT_GE(elapsed, std::chrono::milliseconds(1900));
  ASSERT_TRUE(origin.WaitForRequests(1));
  EXPECT_EQ(origin.Requests()[0].substr(0, 20), "GET /file HTTP/1.0\r\n");
}

}  // namespace
