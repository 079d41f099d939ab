#pragma once

// Helpers shared by the TCP server and command handler tests.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/IdPeerThread.h"
#include "net/IdSocketHandle.h"
#include "net/IdTCPServer.h"
#include "support/RawClient.h"
#include "support/WaitUntil.h"

namespace test {

// What the server's events saw, in order; written by peer threads, read by the test.
class EventLog {
 public:
  void Add(std::string event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
  }
  std::vector<std::string> Events() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  int Count(const std::string& event) {
    std::lock_guard lock(mutex_);
    int n = 0;
    for (const auto& e : events_)
      n += e == event;
    return n;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
  }
  bool WaitFor(const std::string& event, int times = 1, std::int32_t timeoutMs = 5000) {
    return test::WaitUntil([&] { return Count(event) >= times; }, timeoutMs);
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> events_;
};

// A server with one binding on 127.0.0.1 and a port the system picks.
inline std::unique_ptr<TIdTCPServer> MakeLoopbackServer() {
  auto server = std::make_unique<TIdTCPServer>();
  TIdSocketHandle* binding = server->Bindings().AddBinding();
  binding->SetIP("127.0.0.1");
  binding->SetPort(0);
  return server;
}

inline std::int32_t PortOf(TIdTCPServer& server, int binding = 0) {
  return server.Bindings().BindingAt(binding)->Port();
}

inline std::size_t ListenerCount(TIdTCPServer& server) {
  auto* listeners = server.ListenerThreads();
  return listeners ? listeners->Count() : 0;
}

// Lets a deliberately stuck handler go; bounded so that a failing test cannot hang.
class Gate {
 public:
  void Open() { open_ = true; }
  bool IsOpen() const { return open_; }
  void Wait(std::int32_t timeoutMs = 20000) const {
    test::WaitUntil([&] { return open_.load(); }, timeoutMs);
  }

 private:
  std::atomic<bool> open_{false};
};

inline std::int64_t MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

}  // namespace test
