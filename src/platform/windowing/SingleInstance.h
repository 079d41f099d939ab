#pragma once

// One running program per user, port and network namespace: the first instance serves the
// instance channel (platform/InstanceChannel.h) from the Qt loop, and a later start asks it
// there, before Qt starts, to show its main form or to take a request line of its own. Showing
// is answered here, with whether there was a window to show (not where Qt draws nowhere); any
// other request goes to OnRequest.
//
// Main thread only.

#include <functional>
#include <map>
#include <memory>
#include <string>

class QSocketNotifier;
class QTimer;

namespace platform {
class ChannelServer;
}

namespace win {

// The request that asks to show the main form, and its two answers.
inline constexpr const char* kShowRequest = "show";
inline constexpr const char* kShownAnswer = "shown";
inline constexpr const char* kWithoutWindowAnswer = "no window";

class TSingleInstance {
 public:
  // Serves a channel that is open (platform::ChannelServer::Open said Serving).
  explicit TSingleInstance(std::unique_ptr<platform::ChannelServer> channel);
  ~TSingleInstance();
  TSingleInstance(const TSingleInstance&) = delete;
  TSingleInstance& operator=(const TSingleInstance&) = delete;

  // Answers a request line other than showing (without its line feed); the answer goes back as
  // one line. Unset, or returning empty text, nothing is answered.
  std::function<std::string(const std::string& request)> OnRequest;

 private:
  void Accept();
  void Read(int fd);
  void CloseOverdue();
  void Forget(int fd);
  void ScheduleDeadline();
  std::string Answer(const std::string& request);

  std::unique_ptr<platform::ChannelServer> channel_;
  std::unique_ptr<QSocketNotifier> listening_;
  std::map<int, std::unique_ptr<QSocketNotifier>> connections_;
  std::unique_ptr<QTimer> deadline_;
};

// Brings the application's main form back from wherever it is (minimized, hidden in the
// notification area) to normal state, in front.
void ShowMainFormNow();

}  // namespace win
