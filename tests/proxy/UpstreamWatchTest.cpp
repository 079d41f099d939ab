#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>

#include "proxy/UpstreamWatch.h"
#include "support/Loopback.h"
#include "support/WaitUntil.h"

// The owner opens and disconnects a blocked run's client, freeing a handler each time, while the
// watch looks every millisecond: under TSan a look that reached into the connection races.
TEST(UpstreamWatchTest, DropsTheUpstreamOnceTheClientsOwnerHasClosedIt) {
  TIdTCPConnection client;
  TIdTCPConnection upstream;
  test::RawClient clientPeer = test::AttachLoopback(client, new TIdIOHandlerSocket());
  test::RawClient origin = test::AttachLoopback(upstream, new TIdIOHandlerSocket());
  proxy::UpstreamWatch watch(std::chrono::milliseconds(1), std::chrono::seconds(60));
  std::atomic<int> looks = 0;  // that found the client open; none stops the run
  proxy::UpstreamWatch::Registration run(watch, client, [&] { return ++looks < 0; });
  run.SetUpstream(&upstream);
  proxy::UpstreamWatch::Registration::Blocking blocking(run);
  ASSERT_TRUE(test::WaitUntil([&] { return looks >= 3; }));
  EXPECT_TRUE(upstream.IsConnected()) << "dropped while its client was there";
  for (const int seen = looks; looks < seen + 5; client.Disconnect())
    clientPeer = test::AttachLoopback(client, new TIdIOHandlerSocket());
  std::string received;
  EXPECT_TRUE(origin.ReadUntilClosed(received));
}
