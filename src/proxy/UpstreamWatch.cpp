#include "proxy/UpstreamWatch.h"

#include "net/IdTCPConnection.h"
#include "platform/WinSock2.h"
#include "proxy/Readiness.h"
#include "rtl/Thread.h"

namespace proxy {
namespace {

// Whether a client that is not read meanwhile has closed its end or failed: readable, and either
// a reset is pending or a peek finds no byte. Bytes it still has for us alone mean nothing: a
// client that resets leaves the bytes it sent before unread. The owner may close the socket at
// any moment; the calls on its number then fail, which reads as closed.
bool PeerClosed(const TIdTCPConnection& client) {
  const TIdStackSocketHandle socket = client.SocketFromAnotherThread();
  if (socket == Id_INVALID_SOCKET) return true;
  if (ProbeReadable(socket, 0) != Readiness::Readable) return false;
  int error = 0;
  int length = sizeof error;
  if (winsock::getsockopt(socket, winsock::SOL_SOCKET, winsock::SO_ERROR,
                          reinterpret_cast<char*>(&error), &length) != 0 ||
      error != 0)
    return true;
  char byte;
  return winsock::recv(socket, &byte, 1, winsock::MSG_PEEK) <= 0;
}

}  // namespace

class UpstreamWatch::Thread : public rtl::TThread {
 public:
  explicit Thread(UpstreamWatch& watch) : TThread(false, rtl::kSmallStackSize), watch_(watch) {}
  ~Thread() override { Shutdown(); }

 protected:
  void Execute() override { watch_.Look(); }

 private:
  UpstreamWatch& watch_;
};

UpstreamWatch::UpstreamWatch(std::int32_t periodMs)
    : periodMs_(periodMs), thread_(rtl::TThread::Create<Thread>(*this)) {}

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
  while (!stop_.wait_for(lock, std::chrono::milliseconds(periodMs_),
                         [this]() REQUIRES(mutex_) { return stopping_; })) {
    const auto now = std::chrono::steady_clock::now();
    for (Run& run : blocked_) {
      // The run does not read its client while it is blocked upstream, so a peek here takes
      // nothing from it and cannot block.
      if (!Gone(run, now - run.blockedSince)) continue;
      try {
        // Again at every look: a close that came before the socket was made closed nothing.
        run.upstream->DropSocket();
      } catch (...) {
        // Nothing to do about a failed close; the next look tries again.
      }
    }
  }
}

bool UpstreamWatch::Gone(const Run& run, std::chrono::steady_clock::duration waited) {
  return run.client->IsClosedFromAnotherThread() || run.terminated() ||
         (waited >= std::chrono::seconds(1) && PeerClosed(*run.client));
}

UpstreamWatch::Registration::Registration(UpstreamWatch& watch, TIdTCPConnection& client,
                                          TIdTCPConnection& upstream,
                                          std::function<bool()> terminated)
    : watch_(watch) {
  rtl::TMutexGuard lock(watch_.mutex_);
  run_ = watch_.idle_.insert(watch_.idle_.end(),
                             Run{&client, &upstream, std::move(terminated), false, {}});
}

UpstreamWatch::Registration::~Registration() {
  rtl::TMutexGuard lock(watch_.mutex_);
  (run_->blocking ? watch_.blocked_ : watch_.idle_).erase(run_);
}

bool UpstreamWatch::Registration::GivenUp() const {
  // Only the run's own thread moves its entry, and the fields read here never change.
  return Gone(*run_, std::chrono::steady_clock::now() - registered_);
}

UpstreamWatch::Registration::Blocking::Blocking(Registration& registration)
    : registration_(registration) {
  UpstreamWatch& watch = registration_.watch_;
  rtl::TMutexGuard lock(watch.mutex_);
  registration_.run_->blocking = true;
  registration_.run_->blockedSince = std::chrono::steady_clock::now();
  watch.blocked_.splice(watch.blocked_.end(), watch.idle_, registration_.run_);
}

UpstreamWatch::Registration::Blocking::~Blocking() {
  UpstreamWatch& watch = registration_.watch_;
  rtl::TMutexGuard lock(watch.mutex_);
  registration_.run_->blocking = false;
  watch.idle_.splice(watch.idle_.end(), watch.blocked_, registration_.run_);
}

}  // namespace proxy
