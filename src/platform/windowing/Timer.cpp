#include "platform/windowing/Timer.h"

#include "platform/windowing/Windows.h"

namespace win {

TTimer::TTimer(rtl::TComponent* owner) : rtl::TComponent(owner) {
  window_ = AllocateHWnd([this](TMessage& message) { WndProc(message); });
}

TTimer::~TTimer() {
  DeallocateHWnd(window_);
}

void TTimer::SetInterval(std::uint32_t interval) {
  if (interval == interval_) return;
  interval_ = interval;
  UpdateTimer();
}

void TTimer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  UpdateTimer();
}

void TTimer::SetOnTimer(TTimerEvent handler) {
  onTimer_ = std::move(handler);
  UpdateTimer();
}

void TTimer::UpdateTimer() {
  KillTimer(window_, 1);
  if (enabled_ && interval_ != 0 && onTimer_) SetTimer(window_, 1, interval_);
}

void TTimer::WndProc(TMessage& message) {
  if (message.Msg == WM_TIMER) {
    if (onTimer_) onTimer_(this);
    return;
  }
  message.Result = DefWindowProcA(window_, message.Msg, message.WParam, message.LParam);
}

}  // namespace win
