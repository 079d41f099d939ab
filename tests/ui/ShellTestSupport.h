#pragma once

// Shared by the notification-area tests, offscreen and on a real desktop: a utility window that
// records what the shell sends it, records to add, and a loop runner that waits for conditions.

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <QColor>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QIcon>
#include <QPixmap>
#include <QTimer>

#include "platform/windowing/Shell.h"
#include "platform/windowing/Windows.h"

namespace test {

constexpr win::UINT kTrayCallback = win::WM_USER + 1024;

// Runs the Qt loop until condition holds or timeoutMs has passed; the condition's last value.
template <class Condition>
bool PumpUntil(Condition condition, int timeoutMs = 5000) {
  QDeadlineTimer deadline(timeoutMs);
  while (!condition()) {
    if (deadline.hasExpired()) return condition();
    QEventLoop loop;
    QTimer::singleShot(5, &loop, &QEventLoop::quit);
    loop.exec();
  }
  return true;
}

// Runs the Qt loop for ms: for waits whose condition is the passing of time itself.
inline void PumpFor(int ms) {
  QDeadlineTimer deadline(ms);
  PumpUntil([&] { return deadline.hasExpired(); }, ms + 1000);
}

// A hidden utility window that keeps the shell's callbacks and counts "TaskbarCreated".
class NoticeRecorder {
 public:
  NoticeRecorder()
      : taskbarCreated_(win::RegisterWindowMessageA("TaskbarCreated")),
        window_(win::AllocateHWnd([this](win::TMessage& message) { Handle(message); })) {}
  ~NoticeRecorder() { win::DeallocateHWnd(window_); }
  NoticeRecorder(const NoticeRecorder&) = delete;
  NoticeRecorder& operator=(const NoticeRecorder&) = delete;

  win::HWND Window() const { return window_; }
  // The second parameters of the callbacks about icon id, in order.
  std::vector<win::UINT> Notices(win::UINT id) const {
    std::vector<win::UINT> notices;
    for (const auto& [icon, notice] : callbacks_)
      if (icon == id) notices.push_back(static_cast<win::UINT>(notice));
    return notices;
  }
  std::size_t CallbackCount() const { return callbacks_.size(); }
  int TaskbarCreatedCount() const { return taskbarCreatedCount_; }
  void Clear() { callbacks_.clear(); }

  // Runs inside the window procedure, as a component's re-add does.
  std::function<void()> OnTaskbarCreated;

 private:
  void Handle(win::TMessage& message) {
    if (message.Msg == kTrayCallback) {
      callbacks_.emplace_back(message.WParam, message.LParam);
    } else if (message.Msg == taskbarCreated_) {
      ++taskbarCreatedCount_;
      if (OnTaskbarCreated) OnTaskbarCreated();
    }
  }

  win::UINT taskbarCreated_;
  win::HWND window_;
  std::vector<std::pair<win::WPARAM, win::LPARAM>> callbacks_;
  int taskbarCreatedCount_ = 0;
};

// The record a component fills: callback 2048, an image and a tip.
inline win::NOTIFYICONDATAA IconRecord(win::HWND window, win::UINT id, win::HICON image,
                                       const std::string& tip) {
  win::NOTIFYICONDATAA data;
  data.cbSize = sizeof data;
  data.hWnd = window;
  data.uID = id;
  data.uFlags = win::NIF_MESSAGE | win::NIF_ICON | win::NIF_TIP;
  data.uCallbackMessage = kTrayCallback;
  data.hIcon = image;
  std::memcpy(data.szTip, tip.data(), std::min(tip.size(), sizeof data.szTip));
  return data;
}

inline QIcon SolidIcon(const QColor& colour) {
  QPixmap pixmap(32, 32);
  pixmap.fill(colour);
  return QIcon(pixmap);
}

}  // namespace test
