#pragma once

// The one object through which the Qt event loop delivers posted messages, timer expiries and the
// calls other threads hand to the main thread (internal to the windowing layer). The application
// object makes it and frees it.

#include <atomic>
#include <cstdint>
#include <map>
#include <unordered_map>

#include <QObject>

#include "platform/windowing/WinTypes.h"

namespace win::detail {

class MessagePump : public QObject {
 public:
  MessagePump();
  ~MessagePump() override;

  static MessagePump* Instance();

  // Any thread.
  static bool Post(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
  void WakeForQueuedCalls();

  std::uintptr_t SetTimer(HWND window, std::uintptr_t id, UINT periodMs);
  bool KillTimer(HWND window, std::uintptr_t id);
  void KillTimersOf(HWND window);

 protected:
  void customEvent(QEvent* event) override;
  void timerEvent(QTimerEvent* event) override;

 private:
  struct TimerKey {
    HWND window;
    std::uintptr_t id;
    bool operator<(const TimerKey& other) const {
      return window != other.window ? window < other.window : id < other.id;
    }
  };

  std::map<TimerKey, int> timers_;                  // our key -> Qt timer id
  std::unordered_map<int, TimerKey> timersByQtId_;  // Qt timer id -> our key
  std::atomic<bool> wakePending_{false};
};

// Hands the exception being handled to the application's standard error report.
void ReportLoopException();

// Runs a call made from the event loop; Qt cannot carry exceptions, so they are reported here.
template <class Call>
void DeliverFromLoop(Call&& call) {
  try {
    call();
  } catch (...) {
    ReportLoopException();
  }
}

}  // namespace win::detail
