#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>

#include "proxy/Limits.h"
#include "rtl/CriticalSection.h"
#include "rtl/ThreadSafety.h"

class TIdTCPConnection;

namespace proxy {

// Ends the blocking upstream calls (a connect, a send) of runs whose client has gone or whose
// thread is told to stop, by closing the upstream socket from its own thread: a close from
// another thread ends a blocked call at once. Without it a connect to an address that never
// answers, or a send to an origin that never reads, would hold a run - and a server shutdown -
// for as long as the system keeps retrying.
//
// A client dropped by the server or reset, or a thread told to stop, ends the call within one
// period. A client that only finished sending (an orderly half-close) is still waiting for its
// answer: its call ends only once it has blocked for the idle limit. A call may also be given a
// deadline of its own, which ends it within a period of passing.
//
// Threads: runs register and mark their blocking calls from their own threads; one thread of the
// watch's own looks at them every period. A run's connections stay valid while it is registered,
// but stay its own: the watch only asks whether the client is closed, peeks at its socket by
// number and drops the upstream socket, the calls a connection allows from another thread.
class UpstreamWatch {
 public:
  class Registration;

  UpstreamWatch(std::chrono::milliseconds period, std::chrono::milliseconds idleLimit);
  ~UpstreamWatch();
  UpstreamWatch(const UpstreamWatch&) = delete;
  UpstreamWatch& operator=(const UpstreamWatch&) = delete;

 private:
  class Thread;
  struct Run {
    TIdTCPConnection* client;
    std::function<bool()> terminated;  // the watch's own copy
    TIdTCPConnection* upstream = nullptr;
    bool blocking = false;
    std::chrono::steady_clock::time_point blockedSince = {};
    Deadline deadline = {};  // of the blocking call
  };

  void Look() EXCLUDES(mutex_);
  // A client dropped or reset or a thread told to stop, or a half-closed client once the run has
  // waited the idle limit. Safe from any thread: it touches the client only through calls made
  // for that.
  bool Gone(const Run& run, std::chrono::steady_clock::duration waited) const;

  const std::chrono::milliseconds period_;
  const std::chrono::milliseconds idleLimit_;
  rtl::TMutex mutex_;
  std::condition_variable_any stop_;
  bool stopping_ GUARDED_BY(mutex_) = false;
  // Runs move to blocked_ for the length of a blocking call, so a look passes over only those.
  std::list<Run> idle_ GUARDED_BY(mutex_);
  std::list<Run> blocked_ GUARDED_BY(mutex_);
  std::unique_ptr<Thread> thread_;
};

// A run's place in the watch, from when it sets out to reach the origin to its end.
class UpstreamWatch::Registration {
 public:
  Registration(UpstreamWatch& watch, TIdTCPConnection& client, std::function<bool()> terminated);
  ~Registration();
  Registration(const Registration&) = delete;
  Registration& operator=(const Registration&) = delete;

  // The upstream connection whose blocking calls the watch may end; null for none. It stays valid
  // until it is replaced or the registration goes, and is set only while no call is blocking.
  void SetUpstream(TIdTCPConnection* upstream);

  // Whether the run is over by the watch's own rule, counting from when it registered: for the
  // waits that are no socket call (a name look-up), which the run watches itself.
  bool GivenUp() const;

  // Marks one blocking call on the upstream connection for as long as the guard lives; the watch
  // ends it at the deadline, when one is given.
  class Blocking {
   public:
    explicit Blocking(Registration& registration, Deadline deadline = Deadline::Never());
    ~Blocking();
    Blocking(const Blocking&) = delete;
    Blocking& operator=(const Blocking&) = delete;

   private:
    Registration& registration_;
  };

 private:
  UpstreamWatch& watch_;
  std::list<Run>::iterator run_;
  const std::chrono::steady_clock::time_point registered_ = std::chrono::steady_clock::now();
};

}  // namespace proxy
