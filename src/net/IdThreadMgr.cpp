#include "net/IdThreadMgr.h"

#include "net/IdException.h"

TIdThreadMgr::TIdThreadMgr(rtl::TComponent* AOwner) : rtl::TComponent(AOwner) {}

TIdThreadMgr::~TIdThreadMgr() = default;

std::unique_ptr<TIdThread> TIdThreadMgr::NewThread() {
  if (!threadClass_) throw EIdThreadClassNotSpecified();
  std::unique_ptr<TIdThread> thread = threadClass_(true);
  thread->SetPriority(threadPriority_);
  return thread;
}
