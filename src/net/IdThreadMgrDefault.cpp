#include "net/IdThreadMgrDefault.h"

#include "rtl/Time.h"

TIdThread* TIdThreadMgrDefault::AcquireThread() {
  std::unique_ptr<TIdThread> thread = NewThread();
  ActiveThreads().Add(thread.get());
  return thread.release();
}

void TIdThreadMgrDefault::ReleaseThread(TIdThread* AThread) {
  if (AThread->ThreadID() == rtl::GetCurrentThreadId()) {
    AThread->SetFreeWhenFinished(true);
    AThread->Terminate();
    ActiveThreads().Remove(AThread);
    return;
  }
  if (!AThread->Suspended()) AThread->TerminateAndWaitFor();
  ActiveThreads().Remove(AThread);
  delete AThread;
}
