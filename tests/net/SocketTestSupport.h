#pragma once

// Loopback helpers shared by the socket handle, I/O handler and anti-freeze tests.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <random>

#include "net/IdComponent.h"
#include "net/IdException.h"
#include "net/IdSocketHandle.h"
#include "net/IdStackWindows.h"

namespace test {

inline constexpr const char* kLoopback = "127.0.0.1";

// The real stack, counting the shutdown and close calls that pass through it.
class CountingStack : public TIdStackWindows {
 public:
  static inline std::atomic<int> shutdowns{0};
  static inline std::atomic<int> closes{0};

  static std::unique_ptr<TIdStack> Make() { return std::make_unique<CountingStack>(); }

  std::int32_t SockShutdown(TIdStackSocketHandle s, std::int32_t how) override {
    ++shutdowns;
    return TIdStackWindows::SockShutdown(s, how);
  }
  std::int32_t SockClose(TIdStackSocketHandle s) override {
    ++closes;
    return TIdStackWindows::SockClose(s);
  }
};

// Keeps a counting stack alive for a test: it is the first network component, so it makes the
// stack; the previous stack class comes back when it goes.
class CountingStackUser {
 public:
  CountingStackUser() : previous_(StackClass()) {
    SetStackClass(&CountingStack::Make);
    user_ = std::make_unique<TIdComponent>();
    CountingStack::shutdowns = 0;
    CountingStack::closes = 0;
  }
  ~CountingStackUser() {
    user_.reset();
    SetStackClass(previous_);
  }

 private:
  TIdStackClass previous_;
  std::unique_ptr<TIdComponent> user_;
};

// Opens, binds to 127.0.0.1:port (0 = any) and listens.
inline void Listen(TIdSocketHandle& handle, std::int32_t port = 0) {
  handle.OpenSocket();
  handle.SetIP(kLoopback);
  handle.SetPort(port);
  handle.BindLocal();
  handle.StartListening(5);
}

// Finds three consecutive free loopback ports and holds each with a listening handle; the caller
// releases those it wants free. Bases lie below the ephemeral range, so the port-0 binds of tests
// running in parallel do not take them. Returns the lowest port.
inline std::int32_t HoldConsecutivePorts(std::array<std::unique_ptr<TIdSocketHandle>, 3>& held) {
  std::mt19937 random{std::random_device{}()};
  std::uniform_int_distribution<std::int32_t> pick(20000, 32000);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::int32_t base = pick(random);
    bool all = true;
    for (std::int32_t i = 0; i < 3 && all; ++i) {
      held[i] = std::make_unique<TIdSocketHandle>();
      try {
        Listen(*held[i], base + i);
      } catch (const EIdCouldNotBindSocket&) {
        all = false;
      }
    }
    if (all) return base;
    for (auto& handle : held)
      handle.reset();
  }
  ADD_FAILURE() << "no three consecutive free ports found";
  return 0;
}

// A connected loopback pair: client connected to a listener, server side accepted.
struct ConnectedPair {
  TIdSocketHandle listener;
  TIdSocketHandle client;
  TIdSocketHandle server;

  ConnectedPair() {
    Listen(listener);
    client.OpenSocket();
    client.SetPeerAddress(kLoopback, listener.Port());
    EXPECT_EQ(0, client.ConnectPeer());
    EXPECT_TRUE(server.AcceptFrom(listener.OsSocket()));
  }
};

}  // namespace test
