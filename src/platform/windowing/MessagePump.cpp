#include "platform/windowing/MessagePump.h"

#include <algorithm>
#include <exception>
#include <mutex>

#include <QCoreApplication>
#include <QEvent>
#include <QTimerEvent>

#include "platform/windowing/Application.h"
#include "platform/windowing/Windows.h"
#include "rtl/Exception.h"
#include "rtl/Synchronize.h"

namespace win::detail {
namespace {

const QEvent::Type kPostedMessage = static_cast<QEvent::Type>(QEvent::User + 1);
const QEvent::Type kQueuedCalls = static_cast<QEvent::Type>(QEvent::User + 2);

struct PostedMessage : QEvent {
  PostedMessage(HWND w, UINT m, WPARAM wp, LPARAM lp)
      : QEvent(kPostedMessage), window(w), msg(m), wParam(wp), lParam(lp) {}
  HWND window;
  UINT msg;
  WPARAM wParam;
  LPARAM lParam;
};

// Other threads post through this; the pump clears it under the lock before it goes, so no post
// can reach a freed pump.
std::mutex pumpMutex;
MessagePump* thePump = nullptr;  // guarded by pumpMutex for other threads' reads

}  // namespace

MessagePump::MessagePump() {
  {
    std::lock_guard lock(pumpMutex);
    thePump = this;
  }
  rtl::SetWakeMainThread([] {
    std::lock_guard lock(pumpMutex);
    if (thePump) thePump->WakeForQueuedCalls();
  });
  // Calls queued before the loop existed still run.
  WakeForQueuedCalls();
}

MessagePump::~MessagePump() {
  rtl::SetWakeMainThread({});
  std::lock_guard lock(pumpMutex);
  thePump = nullptr;
}

MessagePump* MessagePump::Instance() {
  return thePump;  // main thread only: it is set and cleared there
}

bool MessagePump::Post(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  std::lock_guard lock(pumpMutex);
  if (!thePump) return false;
  QCoreApplication::postEvent(thePump, new PostedMessage(window, msg, wParam, lParam));
  return true;
}

void MessagePump::WakeForQueuedCalls() {
  // One wake-up event at a time is enough: it serves every call queued before it runs.
  if (wakePending_.exchange(true)) return;
  QCoreApplication::postEvent(this, new QEvent(kQueuedCalls));
}

void MessagePump::customEvent(QEvent* event) {
  if (event->type() == kQueuedCalls) {
    wakePending_.store(false);
    try {
      rtl::CheckSynchronize(0);
    } catch (...) {
      // The calls behind the one that raised stay queued: serve them on the next turn, before
      // the report's own loop can hold them up.
      WakeForQueuedCalls();
      ReportLoopException();
    }
    return;
  }
  if (event->type() == kPostedMessage) {
    auto* posted = static_cast<PostedMessage*>(event);
    if (!IsWindow(posted->window)) return;
    DeliverFromLoop(
        [&] { SendMessageA(posted->window, posted->msg, posted->wParam, posted->lParam); });
  }
}

std::uintptr_t MessagePump::SetTimer(HWND window, std::uintptr_t id, UINT periodMs) {
  if (!IsWindow(window)) return 0;
  KillTimer(window, id);
  // Periods are held to the system's limits, as Windows does, rather than refused.
  constexpr UINT kShortestPeriod = 10;
  constexpr UINT kLongestPeriod = 0x7FFFFFFF;
  const UINT period = std::clamp(periodMs, kShortestPeriod, kLongestPeriod);
  int qtId = startTimer(static_cast<int>(period), Qt::PreciseTimer);
  if (qtId == 0) return 0;
  TimerKey key{window, id};
  timers_[key] = qtId;
  timersByQtId_[qtId] = key;
  return id == 0 ? 1 : id;
}

bool MessagePump::KillTimer(HWND window, std::uintptr_t id) {
  auto found = timers_.find(TimerKey{window, id});
  if (found == timers_.end()) return false;
  killTimer(found->second);
  timersByQtId_.erase(found->second);
  timers_.erase(found);
  return true;
}

void MessagePump::KillTimersOf(HWND window) {
  auto it = timers_.lower_bound(TimerKey{window, 0});
  while (it != timers_.end() && it->first.window == window) {
    killTimer(it->second);
    timersByQtId_.erase(it->second);
    it = timers_.erase(it);
  }
}

void MessagePump::timerEvent(QTimerEvent* event) {
  auto found = timersByQtId_.find(event->timerId());
  if (found == timersByQtId_.end()) return;
  TimerKey key = found->second;
  DeliverFromLoop([&] { SendMessageA(key.window, WM_TIMER, key.id, 0); });
}

void ReportLoopException() {
  TApplication* app = TApplication::Instance();
  try {
    throw;
  } catch (const std::exception& e) {
    if (app) app->HandleException(e);
  } catch (...) {
    if (app) app->HandleException(Exception("Unknown exception"));
  }
}

}  // namespace win::detail
