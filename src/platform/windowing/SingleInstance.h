#pragma once

// One running program per user and network namespace. The first instance listens on a local
// socket named after the program and the user, in the abstract namespace, whose scope is the
// network namespace, as the proxy port's is. A later instance asks it to show its main form and
// is told to end, and whether there was a window to show (not where Qt draws nowhere); a peer of
// another user is neither asked nor heard.
//
// Besides showing, a later instance may send a request line of its own, which the first hands to
// OnRequest and answers with what that returns.
//
// Main thread only; the first instance serves requests from the Qt loop.

#include <functional>
#include <memory>
#include <string>

class QLocalServer;

namespace win {

class TSingleInstance {
 public:
  // How a later start asks: to show the main form, or with its own request line (ending in a line
  // feed), and whether it becomes the one that is asked when none answers.
  struct Request {
    std::string line = "show\n";
    bool askOnly = false;
  };

  // Asks an instance already running under that name (the program's, and what sets one instance
  // apart from another) as request says; when none answers, becomes the one that is asked unless
  // told only to ask.
  explicit TSingleInstance(const std::string& name, Request request);
  explicit TSingleInstance(const std::string& name) : TSingleInstance(name, Request{}) {}
  ~TSingleInstance();
  TSingleInstance(const TSingleInstance&) = delete;
  TSingleInstance& operator=(const TSingleInstance&) = delete;

  // An instance already running answered: this one has nothing to do.
  bool HandedOver() const { return handedOver_; }
  // The one that answered runs without a window, so none was shown.
  bool RunningWithoutWindow() const { return withoutWindow_; }
  // What the running instance answered to a request of this start's own.
  const std::string& Answer() const { return answer_; }

  // Answers a request line other than showing (without its line feed); the answer goes back as
  // one line. Unset, or returning empty text, nothing is answered.
  std::function<std::string(const std::string& request)> OnRequest;

 private:
  bool AskRunning();
  void Serve();

  std::string name_;
  Request request_;
  std::string answer_;
  bool handedOver_ = false;
  bool withoutWindow_ = false;
  std::unique_ptr<QLocalServer> server_;
};

// Brings the application's main form back from wherever it is (minimized, hidden in the
// notification area) to normal state, in front.
void ShowMainFormNow();

}  // namespace win
