#pragma once

// One running program per user and network namespace. The first instance listens on a local
// socket named after the program and the user, in the abstract namespace, whose scope is the
// network namespace, as the proxy port's is. A later instance asks it to show its main form and
// is told to end, and whether there was a window to show (not where Qt draws nowhere); a peer of
// another user is neither asked nor heard.
//
// Main thread only; the first instance serves requests from the Qt loop.

#include <memory>
#include <string>

class QLocalServer;

namespace win {

class TSingleInstance {
 public:
  // Asks an instance already running to show its main form; when none answers, becomes the one
  // that is asked.
  explicit TSingleInstance(const std::string& program);
  ~TSingleInstance();
  TSingleInstance(const TSingleInstance&) = delete;
  TSingleInstance& operator=(const TSingleInstance&) = delete;

  // An instance already running answered: this one has nothing to do.
  bool HandedOver() const { return handedOver_; }
  // The one that answered runs without a window, so none was shown.
  bool RunningWithoutWindow() const { return withoutWindow_; }

 private:
  bool AskRunning();
  void Serve();

  std::string name_;
  bool handedOver_ = false;
  bool withoutWindow_ = false;
  std::unique_ptr<QLocalServer> server_;
};

// Brings the application's main form back from wherever it is (minimized, hidden in the
// notification area) to normal state, in front.
void ShowMainFormNow();

}  // namespace win
