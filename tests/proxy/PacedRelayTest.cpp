#include "proxy/PacedRelay.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "net/IdTCPConnection.h"
#include "support/Loopback.h"
#include "support/LoopbackProxy.h"

namespace {

// The relay keeps its own copies of the callbacks it is given, so lambdas made in the
// constructor's argument list still work when it runs, a statement later.
TEST(PacedRelayTest, CallsLambdasPassedStraightToItsConstructor) {
  TIdTCPConnection client, upstream;
  test::RawClient clientPeer = test::AttachLoopback(client);
  test::RawClient originPeer = test::AttachLoopback(upstream);
  test::RecordingView view;
  proxy::ProxyCounters counters;
  const std::atomic<std::int32_t> limit = 0;  // paused until the give-up callback says so
  int pauses = 0;
  proxy::PacedRelay relay(
      client, upstream, view, counters,
      {limit, proxy::Pacing::AtZero::Pauses, [&pauses](std::int32_t) { ++pauses; }},
      [&pauses] { return pauses == 3; });
  ASSERT_TRUE(originPeer.Send("held"));
  EXPECT_EQ(relay.Run(), proxy::PacedRelay::Outcome::GaveUp);
  EXPECT_EQ(pauses, 3);
  EXPECT_EQ(clientPeer.ReadExactly(1, 50), "");
}

}  // namespace
