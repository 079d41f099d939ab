#pragma once

// A real X desktop for tests, private to one test process: Xvfb on a display number it picks
// itself, a window manager, an XEmbed tray host that can be killed and started again, and a
// private session bus. Programs are driven and looked at with the usual X tools (xdotool,
// xwininfo, ImageMagick's import). Nothing here uses Qt.
//
// Everything started is ended in the destructor, each program with its process group. Every wait
// is bounded; a Start that returns false has logged why to standard error and left nothing
// running that it started.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

namespace test {

class Desktop {
 public:
  Desktop();
  ~Desktop();
  Desktop(const Desktop&) = delete;
  Desktop& operator=(const Desktop&) = delete;

  // Xvfb -screen 0 <width>x<height>x24 -nolisten tcp; returns once it answers.
  bool StartDisplay(int width = 1024, int height = 768);
  // openbox; returns once it manages windows (a map request sent just after it announced
  // itself can be lost, and a tray host's panel with it).
  bool StartWindowManager();
  // A bus of our own, no service activation; returns once it has given its address.
  bool StartSessionBus();
  // trayer at the top right, 200 x 32; returns once it owns the tray selection and its panel
  // shows.
  bool StartTrayHost();
  // Kills the tray host; returns once the tray selection has no owner.
  bool StopTrayHost();
  // The stand-in StatusNotifierWatcher `program` with `arguments` on the session bus; returns
  // once it owns its name. Each start logs afresh.
  bool StartStatusNotifierWatcher(const std::string& program,
                                  const std::vector<std::string>& arguments = {});
  void StopStatusNotifierWatcher() { watcher_.Stop(); }
  // Whether an item registered with the watcher since it started.
  bool WatcherHasItem() const;
  // What the watcher printed since it started.
  std::string WatcherLog() const;

  const std::string& DisplayName() const { return display_; }  // ":N"
  const std::string& BusAddress() const { return busAddress_; }
  // A folder of this desktop's own for logs and files; removed with it.
  const std::string& WorkDir() const { return workDir_; }
  // DISPLAY, DBUS_SESSION_BUS_ADDRESS (as far as they exist) and XDG_RUNTIME_DIR, as NAME=VALUE.
  std::vector<std::string> Environment() const;

  // Starts a program with this desktop's environment, its output in WorkDir()/logName.
  bool StartProgram(ChildProcess& process, std::vector<std::string> argv,
                    const std::string& logName, bool reportPipe = false) const;
  // Runs a shell command with this desktop's environment, ended after timeoutSeconds; its
  // standard output, or none when it failed.
  std::optional<std::string> Run(const std::string& command, int timeoutSeconds = 10) const;

  // Whether screen 0's tray selection (_NET_SYSTEM_TRAY_S0) has an owner.
  bool TraySelectionOwned() const;
  // The window that owns it, 0 when none.
  std::uint32_t TraySelectionOwner() const;

  // The windows `xdotool search <arguments>` finds.
  std::vector<std::uint32_t> FindWindows(const std::string& searchArguments) const;
  struct Geometry {
    int x = 0, y = 0, width = 0, height = 0;  // x, y on the root window
  };
  std::optional<Geometry> WindowGeometry(std::uint32_t window) const;
  // The window's ancestors, nearest first, up to and with the root window.
  std::vector<std::uint32_t> Ancestors(std::uint32_t window) const;
  // The visible window of process pid docked in the tray host's panel; 0 while there is none.
  std::uint32_t DockedIcon(int pid) const;
  // Moves the pointer to the window's middle and clicks button (1 left, 2 middle, 3 right)
  // count times, 80 ms apart.
  bool Click(std::uint32_t window, int button, int count = 1) const;
  // The root window as a PNG file.
  bool Screenshot(const std::string& pngPath) const;
  // Copies the programs' logs and the window tree into folder, named after prefix: what a failed
  // test leaves to look at.
  void SaveDiagnostics(const std::string& folder, const std::string& prefix) const;

 private:
  bool Fail(const std::string& what) const;

  std::string workDir_;
  std::string display_;
  std::string busAddress_;
  // Ended in the reverse order of starting.
  ChildProcess xserver_;
  ChildProcess bus_;
  ChildProcess windowManager_;
  ChildProcess trayHost_;
  ChildProcess watcher_;
};

}  // namespace test
