#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "proxy/UpstreamWatch.h"
#include "support/Loopback.h"
#include "support/WaitUntil.h"

namespace {

// The watch looks at a blocked run's client every millisecond while the client's owner opens and
// disconnects it, freeing a handler each time; under TSan a look that reached into the
// connection races with that. The run's stop callback counts the looks that found it open.
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
  for (const int seen = looks; looks < seen + 5;) {
    client.Disconnect();
    clientPeer = test::AttachLoopback(client, new TIdIOHandlerSocket());
  }
  client.Disconnect();
  std::string received;
  EXPECT_TRUE(origin.ReadUntilClosed(received));
}

}  // namespace
