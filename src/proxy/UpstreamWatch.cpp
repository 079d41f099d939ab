#include "proxy/UpstreamWatch.h"

#include "net/IdTCPConnection.h"
#include "proxy/Readiness.h"
#include "rtl/Thread.h"

namespace proxy {

class UpstreamWatch::Thread : public rtl::TThread {
 public:
  explicit Thread(UpstreamWatch& watch) : TThread(false, rtl::kSmallStackSize), watch_(watch) {}
  ~Thread() override { Shutdown(); }

 protected:
  void Execute() override { watch_.Look(); }

 private:
  UpstreamWatch& watch_;
};

UpstreamWatch::UpstreamWatch(std::chrono::milliseconds period, std::chrono::milliseconds idleLimit)
    : period_(period), idleLimit_(idleLimit), thread_(rtl::TThread::Create<Thread>(*this)) {}

UpstreamWatch::~UpstreamWatch() {
  {
    rtl::TMutexGuard lock(mutex_);
    stopping_ = true;
  }
  stop_.notify_all();
  thread_.reset();
}

void UpstreamWatch::Look() {
  rtl::TMutexGuard lock(mutex_);
  while (!stop_.wait_for(lock, period_, [this]() REQUIRES(mutex_) { return stopping_; })) {
    const auto now = std::chrono::steady_clock::now();
    for (Run& run : blocked_) {
      // The run does not read its client while it is blocked upstream, so a peek here takes
      // nothing from it and cannot block.
      if (!run.upstream || (now < run.deadline.At() && !Gone(run, now - run.blockedSince)))
        continue;
      try {
        // Again at every look: a close that came before the socket was made closed nothing.
        run.upstream->DropSocket();
      } catch (...) {
        // Nothing to do about a failed close; the next look tries again.
      }
    }
  }
}

bool UpstreamWatch::Gone(const Run& run, std::chrono::steady_clock::duration waited) const {
  if (run.client->IsClosedFromAnotherThread() || run.terminated()) return true;
  // Bytes the client still has for us mean nothing here: one that resets leaves them unread.
  const PeerState peer = PeekPeer(run.client->SocketFromAnotherThread());
  return peer == PeerState::Reset || (peer == PeerState::HalfClosed && waited >= idleLimit_);
}

UpstreamWatch::Registration::Registration(UpstreamWatch& watch, TIdTCPConnection& client,
                                          std::function<bool()> terminated)
    : watch_(watch) {
  rtl::TMutexGuard lock(watch_.mutex_);
  run_ = watch_.idle_.insert(watch_.idle_.end(), Run{&client, std::move(terminated)});
}

void UpstreamWatch::Registration::SetUpstream(TIdTCPConnection* upstream) {
  rtl::TMutexGuard lock(watch_.mutex_);
  run_->upstream = upstream;
}

UpstreamWatch::Registration::~Registration() {
  rtl::TMutexGuard lock(watch_.mutex_);
  (run_->blocking ? watch_.blocked_ : watch_.idle_).erase(run_);
}

bool UpstreamWatch::Registration::GivenUp() const {
  // Only the run's own thread moves its entry, and the fields read here never change.
  return watch_.Gone(*run_, std::chrono::steady_clock::now() - registered_);
}

UpstreamWatch::Registration::Blocking::Blocking(Registration& registration, Deadline deadline)
    : registration_(registration) {
  UpstreamWatch& watch = registration_.watch_;
  rtl::TMutexGuard lock(watch.mutex_);
  registration_.run_->blocking = true;
  registration_.run_->blockedSince = std::chrono::steady_clock::now();
  registration_.run_->deadline = deadline;
  watch.blocked_.splice(watch.blocked_.end(), watch.idle_, registration_.run_);
}

UpstreamWatch::Registration::Blocking::~Blocking() {
  UpstreamWatch& watch = registration_.watch_;
  rtl::TMutexGuard lock(watch.mutex_);
  registration_.run_->blocking = false;
  watch.idle_.splice(watch.idle_.end(), watch.blocked_, registration_.run_);
}

}  // namespace proxy
