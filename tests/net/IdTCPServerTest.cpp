#include "net/IdTCPServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "ServerTestSupport.h"
#include "SocketTestSupport.h"
#include "net/IdException.h"
#include "net/IdServerIntercept.h"
#include "net/IdThreadMgrDefault.h"
#include "rtl/Time.h"

namespace {

using test::EventLog;
using test::Gate;
using test::ListenerCount;
using test::MakeLoopbackServer;
using test::MsSince;
using test::PortOf;
using test::RawClient;
using test::WaitUntil;
using Clock = std::chrono::steady_clock;

// A short name for the kind of error a handler saw.
std::string KindOf(const std::exception& e) {
  if (auto* socket = dynamic_cast<const EIdSocketError*>(&e))
    return "socket " + std::to_string(socket->ErrorCode());
  if (dynamic_cast<const EIdConnClosedGracefully*>(&e) || dynamic_cast<const EIdClosedSocket*>(&e))
    return "closed";
  return std::string("other: ") + e.what();
}

// Records every event of a server, and echoes lines when asked to.
class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = MakeLoopbackServer();
    server->OnConnect = [this](TIdPeerThread*) { log.Add("connect"); };
    server->OnDisconnect = [this](TIdPeerThread*) { log.Add("disconnect"); };
    server->OnException = [this](TIdPeerThread*, const std::exception& e) {
      log.Add("exception " + KindOf(e));
    };
  }
  void TearDown() override {
    gate.Open();  // a stuck handler of a failed test must not hold the server up
    server.reset();
  }
  void EchoLines() {
    server->OnExecute = [](TIdPeerThread* AThread) {
      TIdTCPServerConnection* connection = AThread->Connection();
      connection->WriteLine("echo " + connection->ReadLine());
    };
  }

  EventLog log;
  Gate gate;
  std::unique_ptr<TIdTCPServer> server;
};

// --- Activation -----------------------------------------------------------------------------

using ServerActivationTest = ServerTest;

TEST_F(ServerActivationTest, WritingTheCurrentValueChangesNothing) {
  server->SetActive(false);
  EXPECT_FALSE(server->Active());
  EXPECT_EQ(nullptr, server->ListenerThreads());
  EXPECT_FALSE(server->OwnsThreadMgr()) << "an inactive server made a thread manager";

  server->SetActive(true);
  auto* listeners = server->ListenerThreads();
  ASSERT_NE(nullptr, listeners);
  server->SetActive(true);
  EXPECT_EQ(listeners, server->ListenerThreads()) << "a second activation replaced the listeners";
  EXPECT_EQ(1u, ListenerCount(*server));

  EchoLines();
  RawClient client;
  ASSERT_TRUE(client.Connect(PortOf(*server)));
  ASSERT_TRUE(client.Send("hi\r\n"));
  EXPECT_EQ("echo hi", client.ReadLine());
}

TEST_F(ServerActivationTest, EmptyBindingsGetOneOnTheDefaultPortForAllAddresses) {
  server->Bindings().Clear();
  server->SetDefaultPort(0);
  server->SetActive(true);
  ASSERT_EQ(1, server->Bindings().Count());
  TIdSocketHandle* binding = server->Bindings().BindingAt(0);
  EXPECT_EQ("0.0.0.0", binding->IP());
  EXPECT_GT(binding->Port(), 0);
  RawClient client;
  EXPECT_TRUE(client.Connect(binding->Port()));
  client.Close();

  server->SetActive(false);
  EXPECT_EQ(1, server->Bindings().Count()) << "the made binding is kept for later activations";
  server->SetActive(true);
  EXPECT_EQ(1, server->Bindings().Count());
}

TEST_F(ServerActivationTest, PortInUseFailsUntilItIsFreed) {
  auto holder = std::make_unique<TIdSocketHandle>();
  test::Listen(*holder);
  server->Bindings().BindingAt(0)->SetPort(holder->Port());

  EXPECT_THROW(server->SetActive(true), EIdCouldNotBindSocket);
  EXPECT_FALSE(server->Active());
  EXPECT_EQ(0u, ListenerCount(*server));
  EXPECT_THROW(server->SetActive(true), EIdCouldNotBindSocket) << "a later write retries";

  const std::int32_t port = holder->Port();
  holder.reset();
  server->SetActive(true);
  EXPECT_TRUE(server->Active());
  RawClient client;
  EXPECT_TRUE(client.Connect(port));
}

TEST_F(ServerActivationTest, AFailedLaterBindingLeavesNothingListening) {
  TIdSocketHandle holder;
  test::Listen(holder);
  TIdSocketHandle* second = server->Bindings().AddBinding();
  second->SetIP(test::kLoopback);
  second->SetPort(holder.Port());

  EXPECT_THROW(server->SetActive(true), EIdCouldNotBindSocket);
  const std::int32_t firstPort = PortOf(*server, 0);
  ASSERT_GT(firstPort, 0);
  EXPECT_FALSE(server->Bindings().BindingAt(0)->IsOpen());
  RawClient client;
  EXPECT_FALSE(client.Connect(firstPort)) << "the first binding still listens after the failure";
}

TEST_F(ServerActivationTest, ReuseSocketSetsAddressReuseUnlessFalse) {
  const struct {
    TIdReuseSocket mode;
    std::int32_t expected;
  } cases[] = {{rsOSDependent, 1}, {rsTrue, 1}, {rsFalse, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    auto subject = MakeLoopbackServer();
    subject->SetReuseSocket(c.mode);
    subject->SetActive(true);
    std::int32_t value = -1;
    std::int32_t length = sizeof value;
    ASSERT_EQ(0, GlobalStack()->SockGetOption(subject->Bindings().BindingAt(0)->OsSocket(),
                                              winsock::SOL_SOCKET, winsock::SO_REUSEADDR, &value,
                                              length));
    EXPECT_EQ(c.expected, value != 0 ? 1 : 0);
  }
}

TEST_F(ServerActivationTest, ARestartRebindsAPortInTimeWaitButNeverALiveListener) {
  // We close first, so the connection's TIME_WAIT is on the server's port.
  server->OnExecute = [](TIdPeerThread* AThread) { AThread->Connection()->Disconnect(); };
  server->SetActive(true);
  const std::int32_t port = PortOf(*server);
  RawClient client;
  ASSERT_TRUE(client.Connect(port));
  ASSERT_TRUE(client.ReadToClose().has_value());
  client.Close();

  auto rival = MakeLoopbackServer();
  rival->Bindings().BindingAt(0)->SetPort(port);
  try {
    rival->SetActive(true);
    ADD_FAILURE() << "a second live listener took the port";
  } catch (const EIdCouldNotBindSocket& e) {
    EXPECT_EQ(e.Message(), "Could not bind socket. Address and port are already in use.");
  }

  server->SetActive(false);
  rival->SetReuseSocket(rsFalse);
  EXPECT_THROW(rival->SetActive(true), EIdCouldNotBindSocket)
      << "the port is free without address reuse: nothing waits in TIME_WAIT to test against";
  rival->SetReuseSocket(rsOSDependent);
  rival->SetActive(true);
  EXPECT_TRUE(rival->Active());
  RawClient again;
  EXPECT_TRUE(again.Connect(port));
}

// --- Serving clients ------------------------------------------------------------------------

using ServerServingTest = ServerTest;

TEST_F(ServerServingTest, GreetingIsWrittenBeforeOnConnectAndFilledFromReplyTexts) {
  struct Case {
    const char* name;
    std::int32_t code;
    std::vector<std::string> text;
    std::string expected;  // first line the client reads
  };
  const Case cases[] = {
      {"own text", 220, {"ready"}, "220 ready"},
      {"text from the table", 221, {}, "221 from table"},
      {"no content", 0, {}, "connected"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto subject = MakeLoopbackServer();
    subject->Greeting().SetNumericCode(c.code);
    subject->Greeting().SetText(c.text);
    subject->ReplyTexts().Add()->SetReply(221, "from table");
    subject->OnConnect = [](TIdPeerThread* AThread) {
      AThread->Connection()->WriteLine("connected");
    };
    subject->OnExecute = [](TIdPeerThread* AThread) { AThread->Connection()->Disconnect(); };
    subject->SetActive(true);
    RawClient client;
    ASSERT_TRUE(client.Connect(PortOf(*subject)));
    EXPECT_EQ(c.expected, client.ReadLine());
    EXPECT_TRUE(subject->Greeting().Text() == c.text) << "the shared greeting was changed";
  }
}

TEST_F(ServerServingTest, OnExecuteRunsAgainWhileTheClientStaysConnected) {
  std::atomic<int> calls{0};
  server->OnExecute = [&](TIdPeerThread*) { ++calls; };
  server->SetActive(true);
  RawClient client;
  ASSERT_TRUE(client.Connect(PortOf(*server)));
  EXPECT_TRUE(WaitUntil([&] { return calls.load() >= 100; }));
  EXPECT_EQ(1, log.Count("connect"));
  EXPECT_EQ(0, log.Count("disconnect"));

  // The handler never reads, so only the server dropping the socket ends the run.
  server->SetActive(false);
  EXPECT_EQ(1, log.Count("disconnect"));
  EXPECT_EQ(0u, server->PeerThreads().Count());
}

TEST_F(ServerServingTest, AClientLeavingWhileOnExecuteReadsEndsTheRun) {
  const struct {
    const char* name;
    bool reset;
    std::string kind;
  } cases[] = {{"orderly close", false, "exception closed"},
               {"reset", true, "exception socket 10054"}};
  EchoLines();
  server->SetActive(true);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RawClient client;
    ASSERT_TRUE(client.Connect(PortOf(*server)));
    ASSERT_TRUE(client.Send("one\r\n"));
    ASSERT_EQ("echo one", client.ReadLine());
    ASSERT_TRUE(WaitUntil([&] { return server->PeerThreads().Count() == 1; }));
    if (c.reset)
      client.Reset();
    else
      client.Close();
    ASSERT_TRUE(WaitUntil([&] { return server->PeerThreads().Count() == 0; }));
    EXPECT_TRUE(log.WaitFor("disconnect"));
    auto events = log.Events();
    ASSERT_EQ(3u, events.size());
    EXPECT_EQ("connect", events[0]);
    EXPECT_EQ(c.kind, events[1]);
    EXPECT_EQ("disconnect", events[2]);
    log.Clear();
  }
}

TEST_F(ServerServingTest, RunEndsOnErrorsThatAreNotAboutTheConnection) {
  const struct {
    const char* name;
    bool withExecute;
    std::string kind;
  } cases[] = {{"no execute handler", false, "exception other: No execute handler found."},
               {"handler raises", true, "exception other: boom"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto subject = MakeLoopbackServer();
    EventLog events;
    subject->OnConnect = [&](TIdPeerThread*) { events.Add("connect"); };
    subject->OnDisconnect = [&](TIdPeerThread*) { events.Add("disconnect"); };
    subject->OnException = [&](TIdPeerThread*, const std::exception& e) {
      events.Add("exception " + KindOf(e));
    };
    if (c.withExecute) subject->OnExecute = [](TIdPeerThread*) { throw Exception("boom"); };
    subject->SetActive(true);
    RawClient client;
    ASSERT_TRUE(client.Connect(PortOf(*subject)));
    EXPECT_EQ("", client.ReadToClose()) << "the client is dropped";
    ASSERT_TRUE(events.WaitFor("disconnect"));
    EXPECT_EQ((std::vector<std::string>{"connect", c.kind, "disconnect"}), events.Events());
    EXPECT_TRUE(WaitUntil([&] { return subject->PeerThreads().Count() == 0; }));
  }
}

TEST_F(ServerServingTest, AFailingOnConnectDropsTheClientWithoutFurtherEvents) {
  server->OnConnect = [this](TIdPeerThread*) {
    log.Add("connect");
    throw Exception("refused");
  };
  EchoLines();
  server->SetActive(true);
  RawClient client;
  ASSERT_TRUE(client.Connect(PortOf(*server)));
  EXPECT_EQ("", client.ReadToClose());
  EXPECT_TRUE(WaitUntil([&] { return server->PeerThreads().Count() == 0; }));
  EXPECT_EQ(std::vector<std::string>{"connect"}, log.Events());
}

TEST_F(ServerServingTest, MaxConnectionsRefusesExtraClientsWithTheReply) {
  const struct {
    const char* name;
    std::int32_t code;
    std::string expected;
  } cases[] = {{"with a reply", 421, "421 busy\r\n"}, {"empty reply", 0, ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto subject = MakeLoopbackServer();
    EventLog events;
    subject->SetMaxConnections(1);
    if (c.code) subject->MaxConnectionReply().SetReply(c.code, "busy");
    subject->OnConnect = [&](TIdPeerThread*) { events.Add("connect"); };
    subject->OnExecute = [](TIdPeerThread* AThread) {
      TIdTCPServerConnection* connection = AThread->Connection();
      connection->WriteLine("echo " + connection->ReadLine());
    };
    subject->SetActive(true);

    RawClient first, second;
    ASSERT_TRUE(first.Connect(PortOf(*subject)));
    ASSERT_TRUE(events.WaitFor("connect"));
    ASSERT_TRUE(second.Connect(PortOf(*subject)));
    EXPECT_EQ(c.expected, second.ReadToClose());
    EXPECT_EQ(1, events.Count("connect")) << "a refused client reached OnConnect";
    ASSERT_TRUE(first.Send("still here\r\n"));
    EXPECT_EQ("echo still here", first.ReadLine());

    first.Close();
    ASSERT_TRUE(WaitUntil([&] { return subject->PeerThreads().Count() == 0; }));
    RawClient third;
    ASSERT_TRUE(third.Connect(PortOf(*subject)));
    ASSERT_TRUE(third.Send("after\r\n"));
    EXPECT_EQ("echo after", third.ReadLine()) << "a freed place is given again";
  }
}

// Hands each connection an intercept that counts what it receives, and counts the intercepts.
class CountingServerIntercept : public TIdServerIntercept {
 public:
  class Counting : public TIdConnectionIntercept {
   public:
    explicit Counting(CountingServerIntercept& owner) : owner_(owner) {}
    ~Counting() override { ++owner_.freed; }
    void Receive(rtl::TStream& stream) override {
      ++owner_.receives;
      TIdConnectionIntercept::Receive(stream);
    }

   private:
    CountingServerIntercept& owner_;
  };

  std::unique_ptr<TIdConnectionIntercept> InterceptFor(TIdTCPConnection*) override {
    ++made;
    return std::make_unique<Counting>(*this);
  }

  std::atomic<int> made{0};
  std::atomic<int> freed{0};
  std::atomic<int> receives{0};
};

TEST_F(ServerServingTest, EachConnectionGetsItsOwnInterceptFreedAfterIt) {
  CountingServerIntercept intercept;
  server->SetIntercept(&intercept);
  std::atomic<bool> installed{false};
  server->OnExecute = [&](TIdPeerThread* AThread) {
    TIdTCPServerConnection* connection = AThread->Connection();
    installed = connection->Intercept() != nullptr;
    connection->WriteLine("echo " + connection->ReadLine());
  };
  server->SetActive(true);
  for (int i = 0; i < 2; ++i) {
    RawClient client;
    ASSERT_TRUE(client.Connect(PortOf(*server)));
    ASSERT_TRUE(client.Send("x\r\n"));
    EXPECT_EQ("echo x", client.ReadLine());
  }
  EXPECT_TRUE(WaitUntil([&] { return intercept.freed.load() == 2; }));
  EXPECT_EQ(2, intercept.made.load());
  EXPECT_TRUE(installed.load());
  EXPECT_GE(intercept.receives.load(), 2);
  server->SetActive(false);
  server->SetIntercept(nullptr);
}

// A manager whose first acquisitions fail.
class FailingThreadMgr : public TIdThreadMgrDefault {
 public:
  using TIdThreadMgrDefault::TIdThreadMgrDefault;
  TIdThread* AcquireThread() override {
    if (failures-- > 0) throw Exception("no thread today");
    return TIdThreadMgrDefault::AcquireThread();
  }
  std::atomic<int> failures{1};
};

TEST_F(ServerServingTest, AcceptFailuresAreReportedAndTheListenerGoesOn) {
  FailingThreadMgr manager;
  server->SetThreadMgr(&manager);
  server->OnListenException = [this](TIdListenerThread*, const std::exception& e) {
    log.Add(std::string("listen ") + e.what());
  };
  EchoLines();
  server->SetActive(true);

  RawClient refused;
  ASSERT_TRUE(refused.Connect(PortOf(*server)));
  EXPECT_EQ("", refused.ReadToClose()) << "the client whose thread failed is dropped";
  EXPECT_TRUE(log.WaitFor("listen no thread today"));

  RawClient served;
  ASSERT_TRUE(served.Connect(PortOf(*server)));
  ASSERT_TRUE(served.Send("next\r\n"));
  EXPECT_EQ("echo next", served.ReadLine());
  EXPECT_EQ(1u, manager.ActiveThreads().Count());
  served.Close();
  server->SetActive(false);
  EXPECT_EQ(0u, manager.ActiveThreads().Count());
  EXPECT_EQ(&manager, server->ThreadMgr()) << "a given manager is kept";
  server->SetThreadMgr(nullptr);
}

// --- Deactivation ---------------------------------------------------------------------------

using ServerDeactivationTest = ServerTest;

TEST_F(ServerDeactivationTest, WithoutClientsItTakesOnePoll) {
  server->SetActive(true);
  const auto start = Clock::now();
  server->SetActive(false);
  const auto elapsed = MsSince(start);
  EXPECT_GE(elapsed, TIdTCPServer::TerminatePollMs);
  EXPECT_LT(elapsed, 2 * TIdTCPServer::TerminatePollMs + 500);
  EXPECT_FALSE(server->Active());
  EXPECT_EQ(nullptr, server->ListenerThreads());
  EXPECT_FALSE(server->OwnsThreadMgr()) << "the made manager is freed when no peer is left";
}

TEST_F(ServerDeactivationTest, DropsClientsThatWaitForData) {
  EchoLines();
  server->SetActive(true);
  RawClient client;
  ASSERT_TRUE(client.Connect(PortOf(*server)));
  ASSERT_TRUE(log.WaitFor("connect"));
  server->SetActive(false);
  EXPECT_FALSE(server->Active());
  EXPECT_EQ(1, log.Count("disconnect"));
  EXPECT_EQ(std::optional<std::string>(""), client.ReadToClose());
}

TEST_F(ServerDeactivationTest, AStuckHandlerRaisesTheTimeOutUntilItLeaves) {
  server->SetTerminateWaitTime(500);
  server->OnExecute = [this](TIdPeerThread*) {
    log.Add("execute");
    gate.Wait();  // never touches its socket
  };
  server->SetActive(true);
  const std::int32_t port = PortOf(*server);
  RawClient client;
  ASSERT_TRUE(client.Connect(port));
  // Listed is not enough: a run that has not begun sees its dropped socket and never executes.
  ASSERT_TRUE(log.WaitFor("execute"));

  const auto start = Clock::now();
  try {
    server->SetActive(false);
    FAIL() << "no time-out";
  } catch (const EIdTerminateThreadTimeout& e) {
    EXPECT_STREQ("Terminate Thread Timeout", e.what());
  }
  EXPECT_GE(MsSince(start), 500);
  EXPECT_TRUE(server->Active()) << "a timed-out deactivation still reads active";
  EXPECT_EQ(nullptr, server->ListenerThreads());
  EXPECT_TRUE(server->OwnsThreadMgr()) << "the manager stays while a peer thread may use it";
  RawClient late;
  EXPECT_FALSE(late.Connect(port)) << "the listener outlived the time-out";

  gate.Open();
  ASSERT_TRUE(log.WaitFor("disconnect"));
  server->SetActive(false);
  EXPECT_FALSE(server->Active());
}

TEST_F(ServerDeactivationTest, AWaitBelowOnePollLooksOnceWithoutSleeping) {
  for (std::int32_t wait : {0, 249}) {
    SCOPED_TRACE(wait);
    auto subject = MakeLoopbackServer();
    Gate stuck;
    subject->SetTerminateWaitTime(wait);
    std::atomic<bool> executing{false};
    subject->OnExecute = [&](TIdPeerThread*) {
      executing = true;
      stuck.Wait();
    };
    subject->SetActive(true);

    auto start = Clock::now();
    subject->SetActive(false);
    EXPECT_LT(MsSince(start), TIdTCPServer::TerminatePollMs) << "slept although nobody was left";

    subject->SetActive(true);
    RawClient client;
    ASSERT_TRUE(client.Connect(PortOf(*subject)));
    ASSERT_TRUE(WaitUntil([&] { return executing.load(); }));
    start = Clock::now();
    EXPECT_THROW(subject->SetActive(false), EIdTerminateThreadTimeout);
    EXPECT_LT(MsSince(start), TIdTCPServer::TerminatePollMs);
    stuck.Open();
  }
}

// --- Destruction ----------------------------------------------------------------------------

// Outlives the server, so that what the handlers touch after a too-early return stays valid and
// the sanitizers see the server's own memory used.
struct Witness {
  EventLog log;
  Gate gate;
  std::atomic<bool> serverGone{false};
  std::atomic<bool> disconnectAfterGone{false};
};

std::unique_ptr<TIdTCPServer> StuckServer(Witness& witness, bool watchTerminated) {
  auto server = MakeLoopbackServer();
  server->SetTerminateWaitTime(500);
  server->OnExecute = [&witness, watchTerminated](TIdPeerThread* AThread) {
    witness.log.Add("execute");
    if (watchTerminated)
      WaitUntil([&] { return AThread->Terminated(); }, 20000);
    else
      witness.gate.Wait();
  };
  server->OnDisconnect = [&witness](TIdPeerThread*) {
    if (witness.serverGone) witness.disconnectAfterGone = true;
    witness.log.Add("disconnect");
  };
  return server;
}

TEST(ServerDestructionTest, WaitsPastTheTimeOutForAHandlerWatchingTerminated) {
  Witness witness;
  auto server = StuckServer(witness, true);
  server->SetActive(true);
  RawClient client;
  ASSERT_TRUE(client.Connect(PortOf(*server)));
  ASSERT_TRUE(witness.log.WaitFor("execute"));

  const auto start = Clock::now();
  EXPECT_NO_THROW(server.reset());
  witness.serverGone = true;
  EXPECT_GE(MsSince(start), 500);
  EXPECT_EQ(1, witness.log.Count("disconnect"));
  EXPECT_FALSE(witness.disconnectAfterGone.load());
}

TEST(ServerDestructionTest, WaitsForAHandlerThatIgnoresEverything) {
  Witness witness;
  auto server = StuckServer(witness, false);
  server->SetActive(true);
  RawClient client;
  ASSERT_TRUE(client.Connect(PortOf(*server)));
  ASSERT_TRUE(witness.log.WaitFor("execute"));

  // Released from outside well after the time-out; only then may destruction end.
  std::thread releaser([&] {
    rtl::Sleep(1200);
    witness.gate.Open();
  });
  EXPECT_NO_THROW(server.reset());
  witness.serverGone = true;
  EXPECT_TRUE(witness.gate.IsOpen()) << "destruction returned while the handler still ran";
  EXPECT_EQ(1, witness.log.Count("disconnect"));
  EXPECT_FALSE(witness.disconnectAfterGone.load());
  releaser.join();
}

// Has an override of its own, which peer threads call, but leaves stopping to the base destructor.
class ForgetfulServer : public TIdTCPServer {
 public:
  bool ServePeer(TIdPeerThread* AThread) override { return TIdTCPServer::ServePeer(AThread); }
};

TEST(ServerDestructionTest, ADerivedServerNotStoppedByItsOwnDestructorAborts) {
#ifdef NDEBUG
  GTEST_SKIP() << "checked only in builds without NDEBUG";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        ForgetfulServer server;
        TIdSocketHandle* binding = server.Bindings().AddBinding();
        binding->SetIP("127.0.0.1");
        binding->SetPort(0);
        server.SetActive(true);
      },
      "ForgetfulServer.*not stopped first");
#endif
}

}  // namespace
