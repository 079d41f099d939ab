#include "net/IdAntiFreezeBase.h"

#include "net/IdGlobal.h"

namespace {

// Written on the main thread as instances come and go; read by every thread that waits.
std::atomic<TIdAntiFreezeBase*> gAntiFreeze{nullptr};

}  // namespace

TIdAntiFreezeBase::TIdAntiFreezeBase(rtl::TComponent* owner) : rtl::TComponent(owner) {
  gAntiFreeze.store(this);
}

TIdAntiFreezeBase::~TIdAntiFreezeBase() {
  // An older instance that was replaced must not unregister the newer one.
  TIdAntiFreezeBase* expected = this;
  gAntiFreeze.compare_exchange_strong(expected, nullptr);
}

TIdAntiFreezeBase* TIdAntiFreezeBase::Instance() {
  return gAntiFreeze.load();
}

bool TIdAntiFreezeBase::IsInUse() {
  TIdAntiFreezeBase* instance = Instance();
  return instance != nullptr && IsMainThread() && instance->Active();
}

void TIdAntiFreezeBase::ProcessIfNeeded(bool idle, bool override) {
  if (!IsInUse()) return;
  TIdAntiFreezeBase* instance = Instance();
  if (instance == nullptr) return;
  if ((idle || !instance->OnlyWhenIdle() || override) && instance->Active()) instance->Process();
}
