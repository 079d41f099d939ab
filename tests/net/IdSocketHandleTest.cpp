#include "net/IdSocketHandle.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <latch>
#include <optional>
#include <string>
#include <thread>

#include "net/IdComponent.h"
#include "net/IdException.h"
#include "net/SocketTestSupport.h"
#include "rtl/Format.h"

using test::kLoopback;

namespace {

class IdSocketHandleTest : public testing::Test {
 protected:
  TIdComponent stackUser_;
};

TEST_F(IdSocketHandleTest, NewBindingTakesTheCollectionsPort) {
  TIdSocketHandles bindings;
  bindings.SetNewBindingPort(1080);
  TIdSocketHandle* binding = bindings.AddBinding();
  ASSERT_EQ(binding, bindings.BindingAt(0));
  EXPECT_EQ(&bindings, binding->Collection());
  EXPECT_EQ(1080, binding->Port());
  EXPECT_EQ("", binding->IP());
  EXPECT_EQ(0, binding->ClientPortMin());
  EXPECT_EQ(0, binding->ClientPortMax());
  EXPECT_EQ(Id_INVALID_SOCKET, binding->OsSocket());
  EXPECT_FALSE(binding->IsOpen());
}

TEST_F(IdSocketHandleTest, PortRangeIsTriedFromTheTop) {
  struct Case {
    std::array<bool, 3> held;  // base, base + 1, base + 2 kept busy
    std::optional<std::int32_t> expectedOffset;
  };
  const Case cases[] = {
      {{false, false, false}, 2}, {{false, true, false}, 2},          {{false, false, true}, 1},
      {{false, true, true}, 0},   {{true, true, true}, std::nullopt},
  };
  for (const Case& c : cases) {
    std::array<std::unique_ptr<TIdSocketHandle>, 3> held;
    const std::int32_t base = test::HoldConsecutivePorts(held);
    ASSERT_NE(0, base);
    for (int i = 0; i < 3; ++i)
      if (!c.held[i]) held[i].reset();

    TIdSocketHandle handle;
    handle.OpenSocket();
    handle.SetIP(kLoopback);
    handle.SetClientPortMin(base);
    handle.SetClientPortMax(base + 2);
    if (c.expectedOffset) {
      handle.BindLocal();
      EXPECT_EQ(base + *c.expectedOffset, handle.Port());
    } else {
      try {
        handle.BindLocal();
        ADD_FAILURE() << "bound although the whole range is busy";
      } catch (const EIdCanNotBindPortInRange& e) {
        EXPECT_EQ(Format("Can not bind in port range (%d - %d)", base, base + 2), e.Message());
      }
      EXPECT_EQ(base, handle.Port());
    }
  }
}

TEST_F(IdSocketHandleTest, RangeOnlyCountsWhenBothEndsAreSetAndNoPortIsFixed) {
  struct Case {
    std::int32_t min, max;
  };
  for (const Case c : {Case{0, 0}, Case{6000, 0}, Case{0, 6000}}) {
    TIdSocketHandle handle;
    handle.OpenSocket();
    handle.SetIP(kLoopback);
    handle.SetClientPortMin(c.min);
    handle.SetClientPortMax(c.max);
    handle.BindLocal();
    EXPECT_GT(handle.Port(), 0) << c.min << "-" << c.max;
    EXPECT_EQ(kLoopback, handle.IP());
  }
}

TEST_F(IdSocketHandleTest, InvertedRangeIsRejected) {
  TIdSocketHandle handle;
  handle.OpenSocket();
  handle.SetClientPortMin(6000);
  handle.SetClientPortMax(5000);
  try {
    handle.BindLocal();
    FAIL() << "inverted range accepted";
  } catch (const EIdInvalidPortRange& e) {
    EXPECT_EQ("Invalid Port Range (6000 - 5000)", e.Message());
  }
}

TEST_F(IdSocketHandleTest, FixedPortInUseCannotBeBound) {
  TIdSocketHandle busy;
  test::Listen(busy);
  TIdSocketHandle handle;
  handle.OpenSocket();
  handle.SetIP(kLoopback);
  handle.SetPort(busy.Port());
  // A fixed port wins over a range.
  handle.SetClientPortMin(busy.Port() + 1);
  handle.SetClientPortMax(busy.Port() + 1);
  try {
    handle.BindLocal();
    FAIL() << "bound a port that is in use";
  } catch (const EIdCouldNotBindSocket& e) {
    EXPECT_EQ("Could not bind socket. Address and port are already in use.", e.Message());
  }
}

TEST_F(IdSocketHandleTest, OtherBindErrorsAreSocketErrors) {
  TIdSocketHandle handle;
  handle.OpenSocket();
  handle.SetIP("192.0.2.1");  // not an address of this machine
  try {
    handle.BindLocal();
    FAIL() << "bound to a foreign address";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(10049, e.ErrorCode());
  }
}

TEST_F(IdSocketHandleTest, ConnectAcceptAndTransfer) {
  test::ConnectedPair pair;
  EXPECT_EQ(kLoopback, pair.client.RemoteIP());
  EXPECT_EQ(pair.listener.Port(), pair.client.RemotePort());
  EXPECT_EQ(pair.client.Port(), pair.server.RemotePort());
  EXPECT_EQ(pair.listener.Port(), pair.server.Port());
  EXPECT_TRUE(pair.server.IsOpen());

  EXPECT_FALSE(pair.server.WaitReadable(0));
  ASSERT_EQ(5, pair.client.Transmit("hello", 5));
  ASSERT_TRUE(pair.server.WaitReadable(5000));
  char buffer[16] = {};
  ASSERT_EQ(5, pair.server.Receive(buffer, sizeof buffer));
  EXPECT_EQ("hello", std::string(buffer, 5));

  pair.client.Close();
  ASSERT_TRUE(pair.server.WaitReadable(IdTimeoutInfinite));
  EXPECT_EQ(0, pair.server.Receive(buffer, sizeof buffer));
}

TEST_F(IdSocketHandleTest, AcceptEndsQuietlyWhenTheListenerIsClosedByAnotherThread) {
  TIdSocketHandle listener;
  test::Listen(listener);
  std::thread closer([&listener] {
    // Give the accept a moment to block; if it starts later it fails the same way.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    listener.Close();
  });
  TIdSocketHandle accepted;
  bool result = true;
  EXPECT_NO_THROW(result = accepted.AcceptFrom(listener.OsSocket()));
  closer.join();
  EXPECT_FALSE(result);
  EXPECT_FALSE(accepted.IsOpen());
  EXPECT_EQ(Id_INVALID_SOCKET, accepted.OsSocket());
}

TEST_F(IdSocketHandleTest, CopyFromTakesOnlyTheAddresses) {
  test::ConnectedPair pair;
  TIdSocketHandle copy;
  copy.SetClientPortMin(7);
  copy.CopyFrom(pair.client);
  EXPECT_EQ(pair.client.IP(), copy.IP());
  EXPECT_EQ(pair.client.Port(), copy.Port());
  EXPECT_EQ(kLoopback, copy.RemoteIP());
  EXPECT_EQ(pair.listener.Port(), copy.RemotePort());
  EXPECT_FALSE(copy.IsOpen());
  EXPECT_EQ(Id_INVALID_SOCKET, copy.OsSocket());
  EXPECT_EQ(7, copy.ClientPortMin());

  struct OtherItem : rtl::TCollectionItem {};
  struct DerivedHandle : TIdSocketHandle {};
  EXPECT_THROW(copy.CopyFrom(OtherItem{}), EConvertError);
  EXPECT_THROW(copy.CopyFrom(DerivedHandle{}), EConvertError);
}

class IdSocketHandleCloseTest : public testing::Test {
 protected:
  test::CountingStackUser stack_;
};

TEST_F(IdSocketHandleCloseTest, CloseShutsDownAndClosesOnce) {
  TIdSocketHandle handle;
  handle.Close();  // never opened
  EXPECT_EQ(0, test::CountingStack::closes);

  handle.OpenSocket();
  const TIdStackSocketHandle socket = handle.OsSocket();
  handle.Close();
  handle.Close();
  EXPECT_EQ(1, test::CountingStack::shutdowns);
  EXPECT_EQ(1, test::CountingStack::closes);
  EXPECT_FALSE(handle.IsOpen());
  EXPECT_EQ(socket, handle.OsSocket());
  EXPECT_THROW(handle.WaitReadable(0), EIdConnClosedGracefully);

  { TIdSocketHandle{}.OpenSocket(); }  // destruction closes what is open
  EXPECT_EQ(2, test::CountingStack::closes);
}

TEST_F(IdSocketHandleCloseTest, RacingClosersCloseOnce) {
  for (int round = 0; round < 200; ++round) {
    TIdSocketHandle handle;
    handle.OpenSocket();
    test::CountingStack::closes = 0;
    std::latch start(2);
    std::thread other([&] {
      start.arrive_and_wait();
      handle.Close();
    });
    start.arrive_and_wait();
    handle.Close();
    other.join();
    ASSERT_EQ(1, test::CountingStack::closes) << "round " << round;
  }
}

TEST_F(IdSocketHandleCloseTest, OpenSocketClosesTheOldSocketAndKeepsTheLocalAddress) {
  TIdSocketHandle handle;
  handle.OpenSocket();
  handle.SetIP(kLoopback);
  handle.BindLocal();
  const std::int32_t port = handle.Port();

  handle.OpenSocket();
  EXPECT_EQ(1, test::CountingStack::closes);
  EXPECT_TRUE(handle.IsOpen());
  EXPECT_EQ(kLoopback, handle.IP());
  EXPECT_EQ(port, handle.Port());
}

}  // namespace
