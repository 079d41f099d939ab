#pragma once

#include <atomic>
#include <cstdint>

#include "rtl/Component.h"

// The hook through which blocking network calls made on the main thread may let the window system
// run while they wait. It acts only while a concrete anti-freeze exists, is active, and the caller
// is the main thread; calls from any other thread do nothing.
class TIdAntiFreezeBase : public rtl::TComponent {
 public:
  // The new instance becomes the registered anti-freeze, replacing an earlier one.
  explicit TIdAntiFreezeBase(rtl::TComponent* owner = nullptr);
  // Clears the registration when it is this instance.
  ~TIdAntiFreezeBase() override;

  bool Active() const { return active_; }
  void SetActive(bool value) { active_ = value; }
  bool ApplicationHasPriority() const { return applicationHasPriority_; }
  void SetApplicationHasPriority(bool value) { applicationHasPriority_ = value; }
  std::int32_t IdleTimeOut() const { return idleTimeOut_; }
  void SetIdleTimeOut(std::int32_t value) { idleTimeOut_ = value; }
  bool OnlyWhenIdle() const { return onlyWhenIdle_; }
  void SetOnlyWhenIdle(bool value) { onlyWhenIdle_ = value; }

  // Lets the window system handle its pending messages.
  virtual void Process() = 0;

  // The registered instance, or null.
  static TIdAntiFreezeBase* Instance();
  // An instance is registered and active, and the caller is the main thread.
  static bool IsInUse();
  static void ProcessIfNeeded(bool idle, bool override);

 private:
  std::atomic<bool> active_ = true;
  std::atomic<bool> applicationHasPriority_ = true;
  std::atomic<std::int32_t> idleTimeOut_ = 250;
  std::atomic<bool> onlyWhenIdle_ = true;
};
