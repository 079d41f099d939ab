#pragma once

// Watches the host that shows this process's tray icons (internal to the windowing layer), so
// that the shell layer can forget icons whose host went away and announce a new one.
//
// Qt picks the protocol once per process: StatusNotifierItem over the session bus when a watcher
// with a registered host is there, else XEmbed on X11. The watch makes the same choice when it is
// made, and must be made before the first tray icon. Main thread only.

#include <cstdint>
#include <functional>
#include <memory>

#include <QObject>

namespace win::detail {

enum class TrayProtocol { None, XEmbed, StatusNotifier };

// Qt platforms that draw nowhere (offscreen, minimal), where no tray can exist.
bool PlatformShowsNothing();

class TrayHostWatch : public QObject {
 public:
  // lost: the host that was there has gone. appeared: a host is there that was not before
  // (after lost, or a first one).
  TrayHostWatch(std::function<void()> lost, std::function<void()> appeared);
  ~TrayHostWatch() override;

  TrayProtocol Protocol() const { return protocol_; }
  // False only while the host is known to be gone; true where it cannot be watched.
  bool HostPresent() const { return present_; }

 private:
  class SelectionWatch;

  void StartStatusNotifier();
  void StartXEmbed();
  void OwnerChanged(std::uint32_t owner);
  void SetPresent(bool present);

  std::function<void()> lost_;
  std::function<void()> appeared_;
  TrayProtocol protocol_ = TrayProtocol::None;
  bool present_ = true;
  std::uint32_t owner_ = 0;
  std::unique_ptr<SelectionWatch> selection_;
};

}  // namespace win::detail
