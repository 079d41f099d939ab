#pragma once

// Loopback peers for the client and SOCKS tests, driven with plain POSIX calls so that they do not
// depend on the layers under test. Declared without any system socket header: the test files
// include the WinSock stand-in, whose names those headers would clash with. Every wait is bounded.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/ChildProcess.h"

namespace test {

// One exchange of a script: read exactly `expect` bytes from the client, then send each piece of
// `reply` on its own, with a short pause between pieces so that they arrive separately.
struct ScriptStep {
  std::size_t expect = 0;
  std::vector<std::string> reply;
};

// Accepts one connection on 127.0.0.1 and plays a script on its own thread. Afterwards it either
// reads whatever else comes until the client closes, or closes at once (a server that hangs up).
class ScriptedServer {
 public:
  explicit ScriptedServer(std::vector<ScriptStep> script, bool drainUntilClose = true);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  std::int32_t Port() const { return port_; }
  // Waits for the script to end (the client must have closed when draining), then gives every
  // byte the client sent.
  std::string Received();
  // False when a step did not get its bytes in time.
  bool Completed();

 private:
  void Run();
  bool WaitFor(int fd, short events);

  std::vector<ScriptStep> script_;
  bool drainUntilClose_;
  int listenFd_ = -1;
  std::int32_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex lock_;
  std::string received_;    // guarded by lock_
  bool completed_ = false;  // guarded by lock_
  std::thread thread_;
};

// A listener on 127.0.0.1 (or ::1) whose accept queue is full and never served, so the kernel
// drops new connection requests to it and a connect there hangs until given up.
class UnansweredListener {
 public:
  explicit UnansweredListener(bool ipv6 = false);
  ~UnansweredListener();
  UnansweredListener(const UnansweredListener&) = delete;
  UnansweredListener& operator=(const UnansweredListener&) = delete;

  // 0 when the queue could not be filled.
  std::int32_t Port() const { return ready_ ? port_ : 0; }

 private:
  int listenFd_ = -1;
  std::int32_t port_ = 0;
  bool ready_ = false;
  std::vector<int> queued_;
};

// A port on 127.0.0.1 that is bound but not listening, so connects to it are refused; the port
// stays reserved while the object lives, so no parallel test can start listening there.
class RefusingPort {
 public:
  RefusingPort();
  ~RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  std::int32_t Port() const { return port_; }

 private:
  int fd_ = -1;
  std::int32_t port_ = 0;
};

// A loopback port that was free a moment ago, for servers that must be told their port.
std::int32_t FreeLoopbackPort();

// The full path of an installed program (PATH, then /usr/sbin and /sbin); empty when missing.
std::string FindProgram(const std::string& name);

// A server program run as a child in a process group of its own, for at most lifetimeSeconds.
// Stop (and the destructor) ends the whole group.
class ChildServer {
 public:
  ChildServer() = default;
  ChildServer(const ChildServer&) = delete;
  ChildServer& operator=(const ChildServer&) = delete;

  // Starts argv and waits until 127.0.0.1:port accepts connections; false with a reason in
  // error when the program ends or stays silent.
  bool Start(const std::vector<std::string>& argv, std::int32_t port, int lifetimeSeconds,
             std::string& error);
  void Stop();

 private:
  ChildProcess process_;
};

}  // namespace test
