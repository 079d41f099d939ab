#include "net/IdHostLookup.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <utility>

#include "net/IdStack.h"
#include "rtl/CriticalSection.h"
#include "rtl/ScopeExit.h"
#include "rtl/Thread.h"

namespace {

// How often a waiting asker looks at giveUp.
constexpr std::chrono::milliseconds kGiveUpCheck{50};

// What the helper hands back; shared, because either side may be the last to let go of it.
template <class Result>
struct Answer {
  rtl::TMutex mutex;
  std::condition_variable_any ready;
  bool done GUARDED_BY(mutex) = false;
  Result address GUARDED_BY(mutex);
  std::exception_ptr failure GUARDED_BY(mutex);
};

template <class Result>
class LookupThread : public rtl::TThread {
 public:
  using Lookup = Result (*)(TIdStack& stack, const std::string& host);

  // The caller has made this thread a user of stack; the thread gives that up as it ends.
  // The default stack size: the look-up runs the C library's resolver and name-service modules,
  // whose appetite for stack is not ours to bound.
  LookupThread(TIdStack* stack, Lookup lookup, std::string host,
               std::shared_ptr<Answer<Result>> answer)
      : TThread(false),
        stack_(stack),
        lookup_(lookup),
        host_(std::move(host)),
        answer_(std::move(answer)) {}
  ~LookupThread() override { Shutdown(); }
  LookupThread(const LookupThread&) = delete;
  LookupThread& operator=(const LookupThread&) = delete;

 protected:
  void Execute() override {
    Result address;
    std::exception_ptr failure;
    try {
      address = lookup_(*stack_, host_);
    } catch (...) {
      failure = std::current_exception();
    }
    // The stack may go with this (when the program has stopped meanwhile); not used after it.
    RemoveStackUser();
    {
      rtl::TMutexGuard lock(answer_->mutex);
      answer_->address = std::move(address);
      answer_->failure = std::move(failure);
      answer_->done = true;
    }
    answer_->ready.notify_all();
  }

 private:
  TIdStack* const stack_;
  const Lookup lookup_;
  const std::string host_;
  const std::shared_ptr<Answer<Result>> answer_;
};

// The helper's answer, or none when giveUp says to stop first.
template <class Result>
std::optional<Result> AwaitAnswer(Answer<Result>& answer, const std::function<bool()>& giveUp) {
  rtl::TMutexGuard lock(answer.mutex);
  while (!answer.done) {
    answer.ready.wait_for(lock, kGiveUpCheck);
    if (answer.done) break;
    lock.unlock();
    const bool stop = giveUp && giveUp();
    lock.lock();
    if (stop && !answer.done) return std::nullopt;
  }
  // Taken out under the lock, so the helper, which may let go of the answer last, never shares
  // the exception object with us.
  if (std::exception_ptr failure = std::exchange(answer.failure, nullptr))
    std::rethrow_exception(failure);
  return std::move(answer.address);
}

// Runs lookup on a helper thread and waits for it as long as giveUp lets us.
template <class Result>
std::optional<Result> LookUpUnless(typename LookupThread<Result>::Lookup lookup,
                                   const std::string& host, const std::function<bool()>& giveUp) {
  auto answer = std::make_shared<Answer<Result>>();
  AddStackUser();
  {
    auto release = rtl::OnFailure([] { RemoveStackUser(); });
    auto thread = std::make_unique<LookupThread<Result>>(GlobalStack(), lookup, host, answer);
    thread->SetFreeWhenFinished(true);
    thread.release()->AfterConstruction();  // from here on it frees itself
  }
  return AwaitAnswer(*answer, giveUp);
}

}  // namespace

std::optional<std::string> HostToAddressUnless(const std::string& host,
                                               const std::function<bool()>& giveUp) {
  // Addresses and "localhost" are answered at once; only names cost a thread.
  if (std::optional<std::string> known = GlobalStack()->AddressWithoutLookup(host)) return known;
  return LookUpUnless<std::string>(
      [](TIdStack& stack, const std::string& name) { return stack.HostToAddress(name); }, host,
      giveUp);
}

std::optional<TIdIPAddresses> HostToAddressesUnless(const std::string& host,
                                                    const std::function<bool()>& giveUp) {
  if (std::optional<TIdIPAddresses> known = GlobalStack()->AddressesWithoutLookup(host))
    return known;
  return LookUpUnless<TIdIPAddresses>(
      [](TIdStack& stack, const std::string& name) { return stack.HostToAddresses(name); }, host,
      giveUp);
}
