#pragma once

// Light timers that share one hidden window: each timer is a window timer on that window whose
// identifier is the timer object's own address. The window is made with the first timer and
// destroyed with the last. Main thread only.

#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>

#include "platform/windowing/WinTypes.h"

namespace ui {

class TSimpleTimer;
using TSimpleTimerEvent = std::function<void(TSimpleTimer* Sender)>;

// The owner of the shared window. One exists while any timer does.
class TSimpleTimerHandler {
 public:
  TSimpleTimerHandler();
  ~TSimpleTimerHandler();
  TSimpleTimerHandler(const TSimpleTimerHandler&) = delete;
  TSimpleTimerHandler& operator=(const TSimpleTimerHandler&) = delete;

  std::int32_t TimerCount = 0;
  win::HWND Window = win::kNoWindow;
  // The live timers by id, so that an expiry queued before its timer went is recognised.
  std::unordered_map<std::uintptr_t, TSimpleTimer*> LiveTimers;

 private:
  void TimerWindowProc(win::TMessage& message);
};

class TSimpleTimer {
 public:
  // Period 1000 ms, no handler, not running.
  TSimpleTimer();
  TSimpleTimer(std::uint32_t period, TSimpleTimerEvent onTick);
  ~TSimpleTimer();
  TSimpleTimer(const TSimpleTimer&) = delete;
  TSimpleTimer& operator=(const TSimpleTimer&) = delete;

  // False, changing nothing, when Period is 0 or the system refuses the timer.
  bool StartTimer();
  // markStopped false suspends: the system timer goes, Running stays true, and a later non-zero
  // Period starts it again. Returns whether a system timer was running.
  bool StopTimer(bool markStopped);

  std::uintptr_t TimerId() const { return timerId_; }
  bool Running() const { return running_; }
  void SetRunning(bool running);
  std::uint32_t Period() const { return period_; }
  void SetPeriod(std::uint32_t period);
  bool OneShot() const { return oneShot_; }
  void SetOneShot(bool oneShot) { oneShot_ = oneShot; }
  const TSimpleTimerEvent& OnTick() const { return onTick_; }
  void SetOnTick(TSimpleTimerEvent onTick);

  // The shared window's owner, or none while no timer exists.
  static TSimpleTimerHandler* TimerWindowOwner();

 private:
  friend class TSimpleTimerHandler;  // the shared window calls Tick
  void Tick();

  std::uintptr_t timerId_;
  bool running_ = false;
  std::uint32_t period_ = 1000;
  bool oneShot_ = false;
  TSimpleTimerEvent onTick_;
};

}  // namespace ui
