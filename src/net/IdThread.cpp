#include "net/IdThread.h"

#include <cxxabi.h>

#include "net/IdException.h"
#include "rtl/Exception.h"

TIdThread::TIdThread(bool ACreateSuspended, std::size_t AStackSize)
    : TIdBaseThread(ACreateSuspended, AStackSize),
      stateLock_(std::make_unique<rtl::TCriticalSection>()),
      stopped_(ACreateSuspended) {}

TIdThread::~TIdThread() {
  BeforeDestruction();
}

void TIdThread::BeforeDestruction() noexcept {
  if (destroyed_) return;
  destroyed_ = true;
  SetFreeWhenFinished(false);
  TerminateAndResume();
  Shutdown();
  try {
    RunCleanup();
  } catch (...) {
    // Destruction goes on; there is nobody left to tell.
  }
  // Whoever still holds the lock (a Start that has just resumed us) lets go before it is freed.
  { rtl::TCriticalSectionGuard wait(*stateLock_); }
  stateLock_.reset();
}

void TIdThread::Start() {
  rtl::TCriticalSectionGuard guard(*stateLock_);
  if (IsStopped()) {
    stopped_ = false;
    SetSuspended(false);
  }
}

void TIdThread::Stop() {
  rtl::TCriticalSectionGuard guard(*stateLock_);
  if (!IsStopped()) {
    if (StopMode() == StopByTerminate) Terminate();
    stopped_ = true;
  }
}

void TIdThread::Terminate() {
  // Terminated first: a body that sees itself stopped then also sees why, and does not suspend.
  TIdBaseThread::Terminate();
  stopped_ = true;
}

void TIdThread::TerminateAndWaitFor() {
  if (FreeWhenFinished()) throw EIdThreadTerminateAndWaitFor();
  TerminateAndResume();
  WaitFor();
}

void TIdThread::TerminateAndResume() noexcept {
  // The body checks Terminated and marks itself suspended under this lock, so here it is either
  // suspended already, and woken, or bound to see Terminated: the wake-up cannot fall between.
  rtl::TCriticalSectionGuard guard(*stateLock_);
  Terminate();
  if (Suspended()) SetSuspended(false);
}

bool TIdThread::IsStopped() {
  rtl::TCriticalSection* lock = stateLock_.get();
  if (!lock) return true;
  rtl::TCriticalSectionGuard guard(*lock);
  return Terminated() || stopped_ || Suspended();
}

void TIdThread::RunCleanup() {
  ClearData();
}

void TIdThread::NotifyException(const std::exception& AException) {
  if (OnException) OnException(this, AException);
}

void TIdThread::NotifyStopped() {
  if (OnStopped) OnStopped(this);
}

void TIdThread::Execute() {
  try {
    BodyStarting();
    try {
      while (!Terminated()) {
        if (IsStopped()) {
          NotifyStopped();
          if (!WaitWhileStopped()) break;
        }
        RunCycle();
      }
    } catch (...) {
      BodyEnding();
      throw;
    }
    BodyEnding();
  } catch (const std::exception& e) {
    RecordTermination(&typeid(e), e);
  } catch (...) {
    // Not a std::exception: keep its type; there is no message to keep.
    RecordTermination(abi::__cxa_current_exception_type(), Exception(""));
  }
}

bool TIdThread::WaitWhileStopped() {
  {
    rtl::TCriticalSectionGuard guard(*stateLock_);
    // A handler or another thread may have started us again meanwhile.
    if (!IsStopped()) return true;
    if (Terminated()) return false;
    // Marked under the lock so that a Start that comes before we block is not lost.
    BeginSelfSuspend();
  }
  WaitWhileSuspended();
  return !Terminated();
}

void TIdThread::RunCycle() {
  try {
    RunStarting();
    try {
      while (!IsStopped())
        RunOnce();
    } catch (...) {
      RunEnded();
      throw;
    }
    RunEnded();
  } catch (...) {
    RunCleanup();
    throw;
  }
  RunCleanup();
}

void TIdThread::RecordTermination(const std::type_info* kind, const std::exception& exception) {
  terminatingClass_ = kind;
  terminatingMessage_ = exception.what();
  try {
    NotifyException(exception);
  } catch (...) {
    Terminate();
    throw;
  }
  Terminate();
}
