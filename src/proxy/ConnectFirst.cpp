#include "proxy/ConnectFirst.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <vector>

#include "net/IdException.h"
#include "net/IdIOHandlerSocket.h"
#include "net/IdTCPClient.h"
#include "platform/WinSock2.h"
#include "rtl/CriticalSection.h"
#include "rtl/Thread.h"
#include "rtl/ThreadSafety.h"

namespace proxy {
namespace {

using Clock = std::chrono::steady_clock;

enum class Outcome { Pending, Connected, Failed };

// The attempts of one call and what became of them. Only the calling thread makes, closes and
// frees attempts; their threads only report.
class Race {
 public:
  Race(const TIdIPAddresses& addresses, std::int32_t port)
      : addresses_(addresses),
        port_(port),
        outcomes_(addresses.size(), Outcome::Pending),
        givenUp_(addresses.size(), false) {}
  // Closes every attempt still pending and ends every thread, whatever way the call ends.
  ~Race();
  Race(const Race&) = delete;
  Race& operator=(const Race&) = delete;

  std::unique_ptr<TIdTCPClient> Run(const std::function<bool()>& giveUp,
                                    std::chrono::milliseconds stagger, Deadline deadline)
      EXCLUDES(mutex_);

 private:
  class Attempt;

  void Start() EXCLUDES(mutex_);
  // From an attempt's thread: its connect succeeded (no error) or failed.
  void Report(std::size_t index, std::exception_ptr error) EXCLUDES(mutex_);
  // Closes the attempts given up on that have not reported yet; again at every pass, since a
  // close that comes before an attempt has made its socket closes nothing.
  void CloseGivenUp() EXCLUDES(mutex_);
  // Ends the threads of the attempts that have reported, so that a new one never runs beside a
  // thread that is only still on its way out.
  void JoinReported() EXCLUDES(mutex_);

  const TIdIPAddresses& addresses_;
  const std::int32_t port_;
  rtl::TMutex mutex_;
  std::condition_variable_any changed_;
  std::vector<Outcome> outcomes_ GUARDED_BY(mutex_);
  // Attempts closed to make room for the next: whatever they report, they neither win nor say
  // why the race failed.
  std::vector<bool> givenUp_ GUARDED_BY(mutex_);
  std::size_t reported_ GUARDED_BY(mutex_) = 0;
  std::size_t givingUp_ GUARDED_BY(mutex_) = 0;  // given up on, not yet reported
  std::exception_ptr lastError_ GUARDED_BY(mutex_);
  std::size_t winner_ GUARDED_BY(mutex_) = 0;
  bool won_ GUARDED_BY(mutex_) = false;
  // The calling thread's own; an attempt's thread uses only its client, and only until it reports.
  std::vector<std::unique_ptr<TIdTCPClient>> clients_;
  std::vector<std::unique_ptr<Attempt>> threads_;
};

class Race::Attempt : public rtl::TThread {
 public:
  Attempt(Race& race, std::size_t index, TIdTCPClient& client)
      : TThread(false, rtl::kSmallStackSize), race_(race), index_(index), client_(client) {}
  ~Attempt() override { Shutdown(); }
  Attempt(const Attempt&) = delete;
  Attempt& operator=(const Attempt&) = delete;

 protected:
  void Execute() override {
    std::exception_ptr error;
    try {
      client_.Connect(-1);
    } catch (...) {
      error = std::current_exception();
    }
    race_.Report(index_, error);
  }

 private:
  Race& race_;
  const std::size_t index_;
  TIdTCPClient& client_;
};

Race::~Race() {
  for (;;) {
    std::vector<std::size_t> pending;
    {
      rtl::TMutexGuard lock(mutex_);
      for (std::size_t i = 0; i < threads_.size(); ++i)
        if (outcomes_[i] == Outcome::Pending) pending.push_back(i);
    }
    if (pending.empty()) break;
    for (const std::size_t i : pending) {
      try {
        clients_[i]->DropSocket();
      } catch (...) {
        // A failed close is tried again after the next wait.
      }
    }
    rtl::TMutexGuard lock(mutex_);
    // Again after each wait: a close that came before an attempt made its socket closed nothing.
    changed_.wait_for(lock, kConnectRaceLook, [this, &pending]() REQUIRES(mutex_) {
      return std::all_of(pending.begin(), pending.end(), [this](std::size_t i) REQUIRES(mutex_) {
        return outcomes_[i] != Outcome::Pending;
      });
    });
  }
  // Every body has reported; the threads are joined before the clients they used go.
  threads_.clear();
  clients_.clear();
}

std::unique_ptr<TIdTCPClient> Race::Run(const std::function<bool()>& giveUp,
                                        std::chrono::milliseconds stagger, Deadline deadline) {
  if (addresses_.empty())
    throw EIdSocketError(winsock::WSAHOST_NOT_FOUND, "No address to connect to.");
  Start();
  Clock::time_point lastStart = Clock::now();
  for (;;) {
    if (giveUp()) throw EIdClosedSocket();
    CloseGivenUp();
    bool startNext = false;
    {
      rtl::TMutexGuard lock(mutex_);
      if (won_) {
        // The others are closed as the race ends; the winner's client is the caller's.
        return std::move(clients_[winner_]);
      }
      if (reported_ == addresses_.size()) {
        if (lastError_) std::rethrow_exception(lastError_);
        throw EIdConnectTimeout();  // every one was given up on
      }
      const Clock::time_point now = Clock::now();
      if (now >= deadline.At()) throw EIdConnectTimeout();
      const std::size_t started = threads_.size();
      bool due = false;
      bool gaveUpOne = false;
      if (started < addresses_.size()) {
        due = outcomes_[started - 1] == Outcome::Failed || now - lastStart >= stagger;
        if (due && started - reported_ < kMaxConnectAttempts) {
          startNext = true;
        } else if (due && givingUp_ == 0) {
          // Room for the next one is made by giving up the oldest one still pending.
          for (std::size_t i = 0; i < started && !gaveUpOne; ++i) {
            if (outcomes_[i] != Outcome::Pending || givenUp_[i]) continue;
            givenUp_[i] = true;
            ++givingUp_;
            gaveUpOne = true;
          }
        }
      }
      if (!startNext && !gaveUpOne) {
        Clock::time_point until = std::min(now + kConnectRaceLook, deadline.At());
        if (started < addresses_.size() && !due) until = std::min(until, lastStart + stagger);
        const std::size_t reportedBefore = reported_;
        changed_.wait_until(lock, until,
                            [&]() REQUIRES(mutex_) { return won_ || reported_ != reportedBefore; });
      }
    }
    if (startNext) {
      JoinReported();
      Start();
      lastStart = Clock::now();
    }
  }
}

void Race::CloseGivenUp() {
  std::vector<std::size_t> closing;
  {
    rtl::TMutexGuard lock(mutex_);
    for (std::size_t i = 0; i < threads_.size(); ++i)
      if (givenUp_[i] && outcomes_[i] == Outcome::Pending) closing.push_back(i);
  }
  for (const std::size_t i : closing) {
    try {
      clients_[i]->DropSocket();
    } catch (...) {
      // Tried again at the next pass.
    }
  }
}

void Race::JoinReported() {
  std::vector<std::size_t> reported;
  {
    rtl::TMutexGuard lock(mutex_);
    for (std::size_t i = 0; i < threads_.size(); ++i)
      if (threads_[i] && outcomes_[i] != Outcome::Pending) reported.push_back(i);
  }
  for (const std::size_t i : reported)
    threads_[i].reset();
}

void Race::Start() {
  clients_.push_back(NewUpstreamClient(addresses_[threads_.size()], port_));
  threads_.push_back(rtl::TThread::Create<Attempt>(*this, threads_.size(), *clients_.back()));
}

void Race::Report(std::size_t index, std::exception_ptr error) {
  {
    rtl::TMutexGuard lock(mutex_);
    ++reported_;
    if (givenUp_[index]) {
      // Closed by us, though it may have connected a moment before: its socket is gone.
      outcomes_[index] = Outcome::Failed;
      --givingUp_;
    } else if (error) {
      outcomes_[index] = Outcome::Failed;
      lastError_ = std::move(error);
    } else {
      outcomes_[index] = Outcome::Connected;
      if (!won_) {
        won_ = true;
        winner_ = index;
      }
    }
  }
  changed_.notify_all();
}

}  // namespace

std::unique_ptr<TIdTCPClient> NewUpstreamClient(const TIdIPAddress& address, std::int32_t port) {
  auto client = std::make_unique<TIdTCPClient>();
  client->SetIPVersion(address.IPVersion);
  client->SetHost(address.IP);
  client->SetPort(port);
  auto handler = std::make_unique<TIdIOHandlerSocket>(client.get());
  TIdIOHandlerSocket& socket = *handler;
  client->SetIOHandler(std::move(handler));
  socket.Open();
  return client;
}

std::unique_ptr<TIdTCPClient> ConnectFirst(const TIdIPAddresses& addresses, std::int32_t port,
                                           const std::function<bool()>& giveUp,
                                           std::chrono::milliseconds stagger, Deadline deadline) {
  Race race(addresses, port);
  return race.Run(giveUp, stagger, deadline);
}

}  // namespace proxy
