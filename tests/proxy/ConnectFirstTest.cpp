#include "proxy/ConnectFirst.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "net/IdComponent.h"
#include "net/IdException.h"
#include "net/IdSocketHandle.h"
#include "net/IdTCPClient.h"
#include "support/RawClient.h"
#include "support/WaitUntil.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::int32_t kGaveUp = -1;

std::unique_ptr<TIdSocketHandle> Bound(TIdIPVersion version, std::int32_t port) {
  auto handle = std::make_unique<TIdSocketHandle>();
  handle->SetIPVersion(version);
  handle->SetIP(version == Id_IPv6 ? "::1" : "127.0.0.1");
  handle->SetPort(port);
  handle->OpenSocket();
  handle->BindLocal();
  return handle;
}

// 127.0.0.1 and ::1 at one port: each listening (::1 with its accept queue full, so that the
// kernel leaves new requests unanswered) or only bound, so that connects there are refused.
struct Peers {
  Peers(bool v4Listens, bool v6Silent)
      : v4(Bound(Id_IPv4, 0)), v6(Bound(Id_IPv6, v4->Port())), port(v4->Port()) {
    if (v4Listens) v4->StartListening(4);
    if (v6Silent) v6->StartListening(0);  // queues one connection
    for (bool full = !v6Silent; !full && queued.size() < 8;) {
      TIdTCPClient& client = *queued.emplace_back(std::make_unique<TIdTCPClient>());
      client.SetIPVersion(Id_IPv6);
      client.SetHost("::1");
      client.SetPort(port);
      try {
        client.Connect(300);
      } catch (const EIdConnectTimeout&) {
        full = true;
      }
    }
  }
  std::unique_ptr<TIdSocketHandle> v4, v6;
  std::int32_t port;
  std::vector<std::unique_ptr<TIdTCPClient>> queued;
};

TEST(ConnectFirstTest, FirstToAnswerWinsAndNothingOutlivesTheCall) {
  const TIdIPAddress v4{"127.0.0.1", Id_IPv4}, v6{"::1", Id_IPv6};
  // error: 0 when 127.0.0.1 is connected; kGaveUp: giveUp says so after minMs. A stagger of 1 s
  // tells the attempts started on a failure from those started on time.
  struct Case {
    const char* name;
    bool v4Listens, v6Silent;
    TIdIPAddresses addresses;
    std::int32_t error, minMs, maxMs;
  };
  const Case cases[] = {
      {"refused, then answered", true, false, {v6, v4}, 0, 0, 900},
      {"unanswered, then answered after the stagger", true, true, {v6, v4}, 0, 1000, 3000},
      {"answered first", true, true, {v4, v6}, 0, 0, 900},
      {"all refused", false, false, {v6, v4}, 10061, 0, 900},
      {"given up while unanswered", true, true, {v6, v6}, kGaveUp, 1200, 2000},
  };
  TIdComponent stackUser;
  std::thread([] {}).join();  // ThreadSanitizer starts a thread of its own with the first one
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Peers peers(c.v4Listens, c.v6Silent);
    ASSERT_TRUE(!c.v6Silent || peers.queued.size() < 8) << "could not fill the accept queue";
    const int threads = test::ThreadCount(), descriptors = test::SteadyDescriptorCount();
    const auto start = Clock::now();
    const auto elapsed = [&] { return Clock::now() - start; };
    std::unique_ptr<TIdTCPClient> client;
    try {
      const auto giveUp = [&] {
        return c.error == kGaveUp && elapsed() >= std::chrono::milliseconds(c.minMs);
      };
      client =
          proxy::ConnectFirst(c.addresses, peers.port, giveUp, std::chrono::milliseconds(1000));
      EXPECT_EQ(0, c.error) << "connected";
      EXPECT_TRUE(client->IsConnected() && client->Host() == "127.0.0.1") << client->Host();
    } catch (const EIdSocketError& e) {
      EXPECT_EQ(c.error, e.ErrorCode()) << e.Message();
      EXPECT_NE("", e.Message());
    } catch (const EIdClosedSocket&) {
      EXPECT_EQ(kGaveUp, c.error) << "gave up";
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed()).count();
    RecordProperty(c.name, static_cast<int>(ms));
    EXPECT_TRUE(ms >= c.minMs && ms < c.maxMs) << ms << " ms";
    // Every attempt's thread has ended, and only the winner's socket is left. A joined thread
    // may still be listed for a moment: the kernel wakes the join before it unlists the thread.
    EXPECT_TRUE(test::WaitUntil([&] { return test::ThreadCount() == threads; }, 1000))
        << test::ThreadCount() << " threads, " << threads << " before";
    EXPECT_EQ(descriptors + (client ? 1 : 0), test::SteadyDescriptorCount());
  }
}

}  // namespace
