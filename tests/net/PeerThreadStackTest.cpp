// Peer threads run on a small stack. How deep does the program's serving step go on one? Each
// probed peer thread fills the unused part of its stack with a pattern as its run starts, and
// finds the deepest byte overwritten as its run ends; every way a proxy run can go is taken.

#include <gtest/gtest.h>

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "net/IdPeerThread.h"
#include "net/IdThreadMgrDefault.h"
#include "support/LoopbackProxy.h"
#include "support/OriginServer.h"
#include "support/RawClient.h"
#include "support/WaitUntil.h"

namespace {

constexpr unsigned char kPaint = 0xA5;

struct StackBounds {
  unsigned char* low = nullptr;   // lowest usable byte
  unsigned char* high = nullptr;  // one past the highest
};

StackBounds OwnStack() {
  pthread_attr_t attributes;
  StackBounds bounds;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return bounds;
  void* address = nullptr;
  std::size_t size = 0;
  pthread_attr_getstack(&attributes, &address, &size);
  pthread_attr_destroy(&attributes);
  bounds.low = static_cast<unsigned char*>(address);
  bounds.high = bounds.low + size;
  return bounds;
}

// Below the caller's frame, with room for this function's own; gives the caller's frame.
__attribute__((noinline, no_sanitize_address, no_sanitize_thread)) unsigned char* Paint(
    unsigned char* low) {
  auto* frame = static_cast<unsigned char*>(__builtin_frame_address(0));
  for (volatile unsigned char* p = low; p < frame - 1024; ++p)
    *p = kPaint;
  return frame;
}

__attribute__((noinline, no_sanitize_address, no_sanitize_thread)) unsigned char* Deepest(
    unsigned char* low, unsigned char* high) {
  const volatile unsigned char* p = low;
  while (p < high && *p == kPaint)
    ++p;
  return const_cast<unsigned char*>(p);
}

// Bytes of stack used below the frame where a run starts; the thread's start and, at the top,
// its thread-local storage (which a sanitizer runtime may make large and add room for) are not
// counted.
std::atomic<std::int64_t> deepestUse{0};
std::atomic<int> probedRuns{0};

class ProbedPeerThread : public TIdPeerThread {
 public:
  using TIdPeerThread::TIdPeerThread;
  ~ProbedPeerThread() override { BeforeDestruction(); }

 protected:
  void RunStarting() override {
    bounds_ = OwnStack();
    if (bounds_.low) start_ = Paint(bounds_.low);
    TIdPeerThread::RunStarting();
  }
  void RunCleanup() override {
    TIdPeerThread::RunCleanup();
    if (!start_) return;
    const std::int64_t used = start_ - Deepest(bounds_.low, start_);
    std::int64_t seen = deepestUse.load();
    while (used > seen && !deepestUse.compare_exchange_weak(seen, used)) {
    }
    ++probedRuns;
  }

 private:
  StackBounds bounds_;
  unsigned char* start_ = nullptr;
};

class ProbingThreadMgr : public TIdThreadMgrDefault {
 public:
  std::unique_ptr<TIdThread> NewThread() override {
    return ThreadClassOf<ProbedPeerThread>()(true);
  }
};

std::string ProxyGet(const std::string& authority) {
  return "GET http://" + authority + "/ HTTP/1.1\r\nHost: " + authority + "\r\n\r\n";
}

std::string LocalHostName() {
  char name[256] = {};
  ::gethostname(name, sizeof name - 1);
  return name;
}

TEST(PeerThreadStack, TheDeepestProxyRunUsesLessThanHalfTheStack) {
  ProbingThreadMgr manager;
  test::LoopbackProxy proxy({.pause = [](std::int32_t) {}, .threadMgr = &manager});
  test::OriginServer origin({{{"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"}}});
  const std::string originPort = std::to_string(origin.Port());
  const std::string requests[] = {
      ProxyGet("127.0.0.1:" + originPort),  // relayed
      // Resolved by the system's resolver (files first, then whatever else is configured).
      ProxyGet(LocalHostName() + ":" + originPort), ProxyGet("no-such-host.invalid:" + originPort),
      ProxyGet("127.0.0.1:1"),           // refused, and the failure unwinds through the run
      "GET /relative HTTP/1.1\r\n\r\n",  // refused by the proxy itself
      std::string(70000, 'x'),           // header block too large
  };
  for (const std::string& request : requests) {
    SCOPED_TRACE(request.substr(0, 60));
    const int before = probedRuns.load();
    test::RawClient client;
    ASSERT_TRUE(client.Connect(proxy.Port()));
    ASSERT_TRUE(client.Send(request));
    EXPECT_TRUE(client.ReadToClose(10000).has_value());
    ASSERT_TRUE(test::WaitUntil([&] { return probedRuns.load() > before; }));
  }
  ASSERT_GT(deepestUse.load(), 0);
  std::printf("[ stack    ] deepest proxy run uses %lld bytes of a %zu-byte peer-thread stack\n",
              static_cast<long long>(deepestUse.load()), rtl::kSmallStackSize);
  EXPECT_LT(deepestUse.load(), static_cast<std::int64_t>(rtl::kSmallStackSize / 2));
  proxy.Server().SetActive(false);
}

}  // namespace
