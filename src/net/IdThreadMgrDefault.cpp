#include "net/IdThreadMgrDefault.h"

#include "net/IdGlobal.h"

TIdThread* TIdThreadMgrDefault::AcquireThread() {
  std::unique_ptr<TIdThread> thread = NewThread();
  ActiveThreads().Add(thread.get());
  return thread.release();
}

void TIdThreadMgrDefault::ReleaseThread(TIdThread* AThread) {
  if (IsCallingThread(AThread->ThreadID())) {
    AThread->SetFreeWhenFinished(true);
    AThread->Terminate();
    ActiveThreads().Remove(AThread);
    return;
  }
  // Handed out by AcquireThread, ours again; freed once its body has ended.
  std::unique_ptr<TIdThread> thread(AThread);
  if (!thread->Suspended()) thread->TerminateAndWaitFor();
  ActiveThreads().Remove(AThread);
}
