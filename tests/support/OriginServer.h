#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace test {

// One step of an origin server's answer: wait, then send these bytes.
struct OriginStep {
  std::string bytes;
  std::int32_t delayMs = 0;
};

// What the origin server does with every connection: read the request (until its header block
// has ended and the announced body has arrived, the client closed, or readWaitMs passed without
// bytes), play the steps, then close, or stay silent until the client closes or the server stops
// when silentAfter is set.
struct OriginScript {
  std::vector<OriginStep> steps;
  bool silentAfter = false;
  std::int32_t readWaitMs = 3000;
  // Ignore the announced length and read until readWaitMs passes without bytes.
  bool readUntilQuiet = false;
  // For requests too large to hold: bytes past the first keepBytes are not kept but handed to
  // sink, in order, on the connection's thread.
  std::size_t keepBytes = std::numeric_limits<std::size_t>::max();
  std::function<void(std::string_view)> sink = nullptr;
  // Listens on ::1 instead of 127.0.0.1.
  bool ipv6 = false;
  // Sent as soon as a request's header block has come, before its body is read (an interim
  // answer, say).
  std::string afterHead = {};
  // When set, the steps for each request, chosen by what it says; steps then go unused.
  std::function<std::vector<OriginStep>(const std::string& request)> answerFor = nullptr;
};

// A scripted HTTP origin server on 127.0.0.1 (::1 with ipv6), one thread per connection, driven by
// plain POSIX calls so that it depends on nothing under test. Stops and joins in its destructor.
class OriginServer {
 public:
  explicit OriginServer(OriginScript script);
  ~OriginServer();
  OriginServer(const OriginServer&) = delete;
  OriginServer& operator=(const OriginServer&) = delete;

  std::int32_t Port() const { return port_; }
  bool Ipv6() const { return script_.ipv6; }
  // The request bytes of each connection (up to keepBytes), in the order the requests were read.
  std::vector<std::string> Requests();
  // Waits until count requests have been read (or the client closed first).
  bool WaitForRequests(std::size_t count, std::int32_t timeoutMs = 5000);
  // Connections that have been closed by either side.
  std::int32_t Finished() const { return finished_.load(); }

 private:
  void AcceptLoop();
  void Serve(int fd);

  OriginScript script_;
  int listenFd_ = -1;
  std::int32_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<std::int32_t> finished_{0};
  std::mutex mutex_;
  std::vector<std::string> requests_;  // guarded by mutex_
  std::vector<std::thread> workers_;   // touched by the accept thread, then the destructor
  std::thread acceptThread_;
};

}  // namespace test
