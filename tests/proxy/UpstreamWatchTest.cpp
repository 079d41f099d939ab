#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "proxy/UpstreamWatch.h"
#include "support/Loopback.h"
#include "support/WaitUntil.h"

namespace {

// The watch looks at a blocked run's client every millisecond while the client's owner
// disconnects it, freeing its handler under the watch's eyes; under TSan a look that reached
// into the connection would race with that.
TEST(UpstreamWatchTest, DropsTheUpstreamOnceTheClientsOwnerHasClosedIt) {
  TIdTCPConnection client;
  TIdTCPConnection upstream;
  test::RawClient clientPeer = test::AttachLoopback(client, new TIdIOHandlerSocket());
  test::RawClient origin = test::AttachLoopback(upstream, new TIdIOHandlerSocket());
  proxy::UpstreamWatch watch(1);
  std::atomic<int> looks = 0;
  proxy::UpstreamWatch::Registration run(watch, client, upstream, [&] {
    ++looks;
    return false;
  });
  proxy::UpstreamWatch::Registration::Blocking blocking(run);
  ASSERT_TRUE(test::WaitUntil([&] { return looks >= 3; }));
  EXPECT_TRUE(upstream.IsConnected()) << "dropped while its client was there";
  client.Disconnect();
  std::string received;
  EXPECT_TRUE(origin.ReadUntilClosed(received));
}

}  // namespace
