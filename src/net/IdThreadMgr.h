#pragma once

#include <memory>

#include "net/IdThread.h"
#include "rtl/Component.h"
#include "rtl/Thread.h"
#include "rtl/ThreadList.h"

// Hands out threads of ThreadClass and takes them back.
//
// A thread from AcquireThread is suspended and listed in ActiveThreads; the caller starts it (or
// takes it out of ActiveThreads and deletes it unstarted). ReleaseThread takes it back. The
// manager never frees the threads still listed when it goes: they belong to their runs.
class TIdThreadMgr : public rtl::TComponent {
 public:
  explicit TIdThreadMgr(rtl::TComponent* AOwner = nullptr);
  ~TIdThreadMgr() override;

  // A new suspended thread of ThreadClass at ThreadPriority, owned by the caller. Raises
  // EIdThreadClassNotSpecified when no class is set.
  virtual std::unique_ptr<TIdThread> NewThread();
  virtual TIdThread* AcquireThread() = 0;
  virtual void ReleaseThread(TIdThread* AThread) = 0;

  rtl::TThreadList<TIdThread>& ActiveThreads() { return activeThreads_; }

  const TIdThreadClass& ThreadClass() const { return threadClass_; }
  void SetThreadClass(TIdThreadClass value) { threadClass_ = std::move(value); }

  rtl::TThreadPriority ThreadPriority() const { return threadPriority_; }
  void SetThreadPriority(rtl::TThreadPriority value) { threadPriority_ = value; }

 private:
  rtl::TThreadList<TIdThread> activeThreads_;
  TIdThreadClass threadClass_;
  rtl::TThreadPriority threadPriority_ = rtl::tpNormal;
};
