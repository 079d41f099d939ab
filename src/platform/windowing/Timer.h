#pragma once

// The window timer component: OnTimer every Interval milliseconds while Enabled, from the event
// loop. It runs as soon as it is enabled, has a non-zero interval and has a handler. An exception
// that leaves OnTimer goes to the application's standard error report; the timer keeps running.

#include <cstdint>
#include <functional>

#include "platform/windowing/WinTypes.h"
#include "rtl/Component.h"

namespace win {

class TTimer : public rtl::TComponent {
 public:
  explicit TTimer(rtl::TComponent* owner = nullptr);
  ~TTimer() override;

  std::uint32_t Interval() const { return interval_; }
  void SetInterval(std::uint32_t interval);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);

  using TTimerEvent = std::function<void(TTimer* Sender)>;
  const TTimerEvent& OnTimer() const { return onTimer_; }
  void SetOnTimer(TTimerEvent handler);

 private:
  void UpdateTimer();
  void WndProc(TMessage& message);

  HWND window_ = kNoWindow;
  std::uint32_t interval_ = 1000;
  bool enabled_ = true;
  TTimerEvent onTimer_;
};

}  // namespace win
