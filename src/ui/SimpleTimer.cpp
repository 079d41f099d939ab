#include "ui/SimpleTimer.h"

#include "platform/windowing/Windows.h"

namespace ui {
namespace {

std::unique_ptr<TSimpleTimerHandler>& Owner() {
  static std::unique_ptr<TSimpleTimerHandler> owner;
  return owner;
}

TSimpleTimerHandler& AttachTimerWindow(std::uintptr_t timerId, TSimpleTimer* timer) {
  auto& owner = Owner();
  if (!owner) owner = std::make_unique<TSimpleTimerHandler>();
  ++owner->TimerCount;
  owner->LiveTimers.emplace(timerId, timer);
  return *owner;
}

void DetachTimerWindow(std::uintptr_t timerId) {
  auto& owner = Owner();
  if (!owner) return;
  owner->LiveTimers.erase(timerId);
  if (owner->TimerCount > 0) --owner->TimerCount;
  if (owner->TimerCount == 0) owner.reset();
}

win::HWND SharedWindow() {
  auto& owner = Owner();
  return owner ? owner->Window : win::kNoWindow;
}

}  // namespace

TSimpleTimerHandler::TSimpleTimerHandler() {
  Window = win::AllocateHWnd([this](win::TMessage& message) { TimerWindowProc(message); });
}

TSimpleTimerHandler::~TSimpleTimerHandler() {
  win::DeallocateHWnd(Window);
}

void TSimpleTimerHandler::TimerWindowProc(win::TMessage& message) {
  if (message.Msg != win::WM_TIMER) {
    message.Result = win::DefWindowProcA(Window, message.Msg, message.WParam, message.LParam);
    return;
  }
  // An expiry queued before its timer was destroyed names no live timer.
  const auto live = LiveTimers.find(message.WParam);
  if (live == LiveTimers.end()) return;
  live->second->Tick();
}

TSimpleTimer::TSimpleTimer() : TSimpleTimer(1000, {}) {}

TSimpleTimer::TSimpleTimer(std::uint32_t period, TSimpleTimerEvent onTick)
    : timerId_(reinterpret_cast<std::uintptr_t>(this)),
      period_(period),
      onTick_(std::move(onTick)) {
  AttachTimerWindow(timerId_, this);
}

TSimpleTimer::~TSimpleTimer() {
  if (running_) StopTimer(true);
  DetachTimerWindow(timerId_);
}

bool TSimpleTimer::StartTimer() {
  if (period_ == 0) return false;
  if (running_) StopTimer(true);
  if (win::SetTimer(SharedWindow(), timerId_, period_) == 0) return false;
  running_ = true;
  return true;
}

bool TSimpleTimer::StopTimer(bool markStopped) {
  if (markStopped) running_ = false;
  return win::KillTimer(SharedWindow(), timerId_);
}

void TSimpleTimer::SetRunning(bool running) {
  if (running)
    StartTimer();
  else
    StopTimer(true);
}

void TSimpleTimer::SetPeriod(std::uint32_t period) {
  if (period == period_) return;
  period_ = period;
  if (!running_) return;
  if (period != 0)
    StartTimer();
  else
    StopTimer(false);
}

void TSimpleTimer::SetOnTick(TSimpleTimerEvent onTick) {
  onTick_ = std::move(onTick);
  if (!onTick_ && running_) StopTimer(false);
}

TSimpleTimerHandler* TSimpleTimer::TimerWindowOwner() {
  return Owner().get();
}

void TSimpleTimer::Tick() {
  if (oneShot_) StopTimer(true);
  if (onTick_) onTick_(this);
}

}  // namespace ui
