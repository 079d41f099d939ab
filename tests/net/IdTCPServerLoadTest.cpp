#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "ServerTestSupport.h"
#include "net/IdThreadMgr.h"
#include "platform/WinSockInternal.h"

namespace {

using test::MakeLoopbackServer;
using test::PortOf;
using test::RawClient;
using test::WaitUntil;

constexpr int kClients = 1000;

// Every client connects before any is answered, so all peer threads live at once; afterwards no
// thread, socket or descriptor of theirs may be left.
TEST(ServerLoadTest, AThousandClientsAtOnceAreAllServedAndLeaveNothingBehind) {
  // Each client costs the process its own descriptor and the server's, and nothing more.
  if (test::RaiseOpenFileLimit(2 * kClients + 256) < 2 * kClients + 256)
    GTEST_SKIP() << "the open-file limit cannot be raised far enough";

  auto server = MakeLoopbackServer();
  server->SetListenQueue(kClients);  // the clients connect faster than one listener accepts
  std::atomic<int> served{0};
  std::atomic<int> disconnects{0};
  server->OnExecute = [&](TIdPeerThread* AThread) {
    TIdTCPServerConnection* connection = AThread->Connection();
    connection->WriteLine("echo " + connection->ReadLine());
    ++served;
  };
  server->OnDisconnect = [&](TIdPeerThread*) { ++disconnects; };
  server->SetActive(true);
  const auto& sockets = winsock::detail::Sockets();
  const std::size_t socketsBefore = sockets.Count();
  {
    // One client first, so that the listener's own lazily made descriptors exist already.
    RawClient warmUp;
    ASSERT_TRUE(warmUp.Connect(PortOf(*server)));
    ASSERT_TRUE(warmUp.Send("warm-up\r\n"));
    ASSERT_EQ("echo warm-up", warmUp.ReadLine());
  }
  ASSERT_TRUE(WaitUntil([&] { return disconnects == 1 && sockets.Count() == socketsBefore; }));
  served = 0;
  disconnects = 0;
  const int descriptorsBefore = test::SteadyDescriptorCount();
  const int threadsBefore = test::ThreadCount();

  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<RawClient>());
    ASSERT_TRUE(clients.back()->Connect(PortOf(*server))) << "client " << i;
  }
  for (int i = 0; i < kClients; ++i)
    ASSERT_TRUE(clients[i]->Send("line " + std::to_string(i) + "\r\n"));
  int answered = 0;
  for (int i = 0; i < kClients; ++i)
    answered += clients[i]->ReadLine(20000) == "echo line " + std::to_string(i);
  EXPECT_EQ(kClients, answered);
  EXPECT_EQ(static_cast<std::size_t>(kClients), server->PeerThreads().Count())
      << "every client is still connected, so every peer thread still runs";
  EXPECT_EQ(descriptorsBefore + 2 * kClients, test::SteadyDescriptorCount())
      << "two descriptors per client, each waiting in a read";

  clients.clear();
  EXPECT_TRUE(WaitUntil([&] { return server->PeerThreads().Count() == 0; }, 30000));
  EXPECT_EQ(kClients, served.load());
  EXPECT_EQ(kClients, disconnects.load());
  EXPECT_EQ(0u, server->ThreadMgr()->ActiveThreads().Count());
  // A peer thread frees its connection just after it leaves the list.
  EXPECT_TRUE(WaitUntil([&] { return sockets.Count() == socketsBefore; }, 10000))
      << sockets.Count() << " sockets, " << socketsBefore << " before";
  EXPECT_TRUE(WaitUntil([&] { return test::OpenDescriptorCount() == descriptorsBefore; }, 10000))
      << test::OpenDescriptorCount() << " descriptors, " << descriptorsBefore << " before";
  EXPECT_TRUE(WaitUntil([&] { return test::ThreadCount() == threadsBefore; }, 10000))
      << test::ThreadCount() << " threads, " << threadsBefore << " before";
  server->SetActive(false);
}

// Short runs that end as soon as they begin, while the server is being switched off: the peer
// threads free themselves as the listener starts them and as deactivation drops their sockets.
TEST(ServerLoadTest, ShortRunsRacingDeactivationAreEachAccountedFor) {
  constexpr int kRounds = 5;
  constexpr int kPerRound = 40;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    auto server = MakeLoopbackServer();
    server->SetReuseSocket(rsTrue);
    server->SetListenQueue(kPerRound);
    std::atomic<int> connects{0};
    std::atomic<int> disconnects{0};
    server->OnConnect = [&](TIdPeerThread*) { ++connects; };
    server->OnExecute = [](TIdPeerThread* AThread) {
      AThread->Connection()->WriteLine("bye");
      AThread->Connection()->Disconnect();
    };
    server->OnDisconnect = [&](TIdPeerThread*) { ++disconnects; };
    server->SetActive(true);
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < kPerRound; ++i) {
      clients.push_back(std::make_unique<RawClient>());
      ASSERT_TRUE(clients.back()->Connect(PortOf(*server)));
    }
    ASSERT_TRUE(WaitUntil([&] { return connects.load() > 0; }));
    server->SetActive(false);  // some runs are still starting
    EXPECT_EQ(0u, server->PeerThreads().Count());
    EXPECT_EQ(connects.load(), disconnects.load());
    server.reset();
  }
}

}  // namespace
