#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <typeinfo>

#include "rtl/CriticalSection.h"
#include "rtl/Thread.h"

enum TIdThreadStopMode { StopByTerminate = 0, StopBySuspend = 1 };

// The runtime thread as the network layer sees it.
class TIdBaseThread : public rtl::TThread {
 public:
  using rtl::TThread::TThread;
};

class TIdThread;
using TIdExceptionThreadEvent =
    std::function<void(TIdThread* AThread, const std::exception& AException)>;
using TIdNotifyThreadEvent = std::function<void(TIdThread* AThread)>;

// The network layer's thread: a body that runs cycles of RunStarting, RunOnce (again and again
// while the thread is not stopped), RunEnded and RunCleanup, and a stopped state of its own that
// Stop and Start enter and leave. In StopByTerminate mode (the default) the first Stop also
// terminates, so there is exactly one cycle; in StopBySuspend mode the thread suspends itself after
// a cycle and starts another each time Start resumes it, until it is terminated.
//
// An exception out of any hook ends the body normally: the cycle's cleanups run first, then the
// exception's class and message are kept (TerminatingClass, TerminatingMessage), OnException
// fires on the thread and the thread terminates.
//
// Threads: Start is meant for other threads, Stop and Terminate for anyone; the hooks and the
// events run on the thread itself with no lock held. Destruction: the most derived class must
// call BeforeDestruction() first in its own destructor, so that the body has ended before any of
// its members go (and so that its own RunCleanup runs for the last time); builds without NDEBUG
// abort when it did not (see rtl::TThread).
class TIdThread : public TIdBaseThread {
 public:
  // A thread created suspended is stopped until Start. One created running is released by
  // AfterConstruction (rtl::TThread::Create and ThreadClassOf call it). AStackSize: bytes of
  // stack, 0 for the system's default.
  explicit TIdThread(bool ACreateSuspended = true, std::size_t AStackSize = 0);
  ~TIdThread() override;

  virtual void Start();
  virtual void Stop();
  // Sets Terminated, then the stopped flag; takes no lock and does not wait.
  void Terminate() override;
  // Terminates, resumes a suspended thread and waits for the body. Raises
  // EIdThreadTerminateAndWaitFor on a FreeWhenFinished thread, which may be gone at any moment.
  virtual void TerminateAndWaitFor();
  // Terminates and resumes a thread that has suspended itself, holding StateLock, so that a body
  // about to suspend itself sees Terminated instead; does not wait.
  void TerminateAndResume() noexcept;

  // True when terminated, stopped or suspended, and always once destruction has begun.
  bool IsStopped();

  TIdThreadStopMode StopMode() const { return stopMode_.load(); }
  void SetStopMode(TIdThreadStopMode value) { stopMode_.store(value); }

  // An object the thread owns, of any type; freed (and set to none) at every RunCleanup.
  template <class T>
  void SetData(std::unique_ptr<T> data) {
    data_ =
        OwnedData(data.release(), [](void* p) { std::default_delete<T>()(static_cast<T*>(p)); });
    dataType_ = data_ ? &typeid(T) : nullptr;
  }
  void ClearData() {
    data_.reset();
    dataType_ = nullptr;
  }
  // The object, when there is one of type T; otherwise none.
  template <class T>
  T* Data() const {
    return dataType_ && *dataType_ == typeid(T) ? static_cast<T*>(data_.get()) : nullptr;
  }
  bool HasData() const { return data_ != nullptr; }

  // Guards the stopped-state transitions; none once destruction has begun.
  rtl::TCriticalSection* StateLock() const { return stateLock_.get(); }

  // Class and message of the exception that ended the body; none and empty otherwise.
  const std::type_info* TerminatingClass() const { return terminatingClass_; }
  const std::string& TerminatingMessage() const { return terminatingMessage_; }

  TIdExceptionThreadEvent OnException;
  TIdNotifyThreadEvent OnStopped;

 protected:
  void Execute() override;

  virtual void RunEnded() {}
  virtual void BodyEnding() {}
  virtual void BodyStarting() {}
  virtual void RunStarting() {}
  virtual void RunCleanup();
  virtual void NotifyException(const std::exception& AException);
  virtual void NotifyStopped();
  // One unit of work; called again and again while the thread is not stopped.
  virtual void RunOnce() = 0;

  // Ends the body, runs the final RunCleanup and frees StateLock; later calls do nothing.
  void BeforeDestruction() noexcept;

 private:
  using OwnedData = std::unique_ptr<void, void (*)(void*)>;

  void RunCycle();
  // After NotifyStopped: suspends while still stopped; false when the loop must end.
  bool WaitWhileStopped();
  void RecordTermination(const std::type_info* kind, const std::exception& exception);

  std::unique_ptr<rtl::TCriticalSection> stateLock_;
  std::atomic<bool> stopped_;
  std::atomic<TIdThreadStopMode> stopMode_{StopByTerminate};
  bool destroyed_ = false;
  OwnedData data_{nullptr, [](void*) {}};
  const std::type_info* dataType_ = nullptr;
  const std::type_info* terminatingClass_ = nullptr;
  std::string terminatingMessage_;
};

// A class reference for thread managers: makes a thread of one class, suspended or not.
using TIdThreadClass = std::function<std::unique_ptr<TIdThread>(bool ACreateSuspended)>;

template <class T>
TIdThreadClass ThreadClassOf() {
  return [](bool ACreateSuspended) -> std::unique_ptr<TIdThread> {
    auto thread = std::make_unique<T>(ACreateSuspended);
    thread->AfterConstruction();
    return thread;
  };
}
