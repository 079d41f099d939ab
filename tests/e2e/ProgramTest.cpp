// The whole program as a user meets it: the real tramlet binary on an X desktop of its own
// (Xvfb, openbox, the trayer notification area), driven with xdotool and curl, its port 1080
// private to these tests (TestMain puts them in a network namespace of their own).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <list>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/ChildProcess.h"
#include "support/OriginServer.h"
#include "support/Pattern.h"
#include "support/Subprocess.h"
#include "support/WaitUntil.h"
#include "support/desktop/Desktop.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kProxyPort = 1080;

// Another program on the proxy's port, on every IPv4 address: the socket, or -1.
int TakeProxyPort() {
  const int taken = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(kProxyPort);
  if (::bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(taken, 1) != 0) {
    ::close(taken);
    return -1;
  }
  return taken;
}
const std::string kWindowTitle = "HTTP Proxy - Speed limiter";

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool Listening(int port, const char* ip = "127.0.0.1") {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  ::inet_pton(AF_INET, ip, &address.sin_addr);
  bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string OutputPath(const std::string& name) {
  std::filesystem::create_directories(TRAMLET_E2E_OUTPUT);
  return std::string(TRAMLET_E2E_OUTPUT) + "/" + name;
}

// An origin that answers every request with the same body.
struct Origin {
  explicit Origin(std::int64_t size, bool ipv6 = false)
      : body(test::Pattern(0, size)),
        server(test::OriginScript{.steps = {{"HTTP/1.0 200 OK\r\nContent-Length: " +
                                             std::to_string(size) + "\r\n\r\n" + body}},
                                  .ipv6 = ipv6}) {}
  std::string Url() const {
    return std::string(server.Ipv6() ? "http://[::1]:" : "http://127.0.0.1:") +
           std::to_string(server.Port()) + "/file";
  }
  std::string body;
  test::OriginServer server;
};

struct Download {
  bool ok = false;
  std::string body;
  double seconds = 0;
};

Download Fetch(const Origin& origin, const std::string& file,
               const std::string& proxy = "127.0.0.1:1080") {
  Download download;
  Clock::time_point start = Clock::now();
  download.ok = test::RunAndCapture("timeout 60 curl -s -S -x http://" + proxy + " -o '" + file +
                                    "' " + origin.Url())
                    .has_value();
  download.seconds = SecondsSince(start);
  download.body = ReadFile(file);
  return download;
}

// The program on a desktop of its own, with or without a notification area.
class Program : public ::testing::Test {
 protected:
  void StartDesktop(bool withTray) {
    ASSERT_TRUE(desktop.StartDisplay() && desktop.StartWindowManager() &&
                desktop.StartSessionBus());
    if (withTray) {
      ASSERT_TRUE(desktop.StartTrayHost());
    }
  }

  void StartProgram(std::vector<std::string> environment, std::vector<std::string> arguments = {}) {
    test::ChildOptions options;
    options.argv = launcher;
    options.argv.push_back(TRAMLET_PROGRAM);
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    // Later starts share its runtime directory, as a user's sessions do.
    for (const std::string& entry : environment)
      if (entry.rfind("XDG_RUNTIME_DIR=", 0) == 0) runtimeDir = entry;
    options.environment = std::move(environment);
    options.outputPath = desktop.WorkDir() + "/tramlet.log";
    started = Clock::now();
    ASSERT_TRUE(program.Start(options));
  }
  std::vector<std::string> OnTheDesktop(std::vector<std::string> more = {}) const {
    std::vector<std::string> environment = desktop.Environment();
    more.insert(more.end(),
                {"QT_QPA_PLATFORM=xcb", "QT_QPA_PLATFORMTHEME=", "XDG_CURRENT_DESKTOP="});
    environment.insert(environment.end(), more.begin(), more.end());
    return environment;
  }
  void StartProgramOnTheDesktop() { StartProgram(OnTheDesktop()); }

  std::string Log() const { return ReadFile(desktop.WorkDir() + "/tramlet.log"); }

  bool AwaitListening(int timeoutMs = 5000) {
    return test::WaitUntil([] { return Listening(kProxyPort); }, timeoutMs);
  }

  std::uint32_t DockedIcon() const { return desktop.DockedIcon(program.Pid()); }
  std::uint32_t AwaitDockedIcon() {
    std::uint32_t icon = 0;
    test::WaitUntil([&] { return (icon = DockedIcon()) != 0; }, 10000);
    return icon;
  }

  // The shown main window, 0 when it is not shown.
  std::uint32_t ShownWindow() const {
    std::vector<std::uint32_t> windows =
        desktop.FindWindows("--onlyvisible --name '^" + kWindowTitle + "$'");
    return windows.empty() ? 0 : windows.front();
  }
  std::string Property(std::uint32_t window, const std::string& name) const {
    return desktop.Run("xprop -id " + std::to_string(window) + " " + name).value_or("");
  }
  bool Iconic(std::uint32_t window) const {
    return Property(window, "WM_STATE").find("Iconic") != std::string::npos;
  }
  // The program's visible windows whose `xwininfo` says `what`.
  std::vector<std::uint32_t> OwnWindows(const std::string& what) const {
    std::vector<std::uint32_t> windows =
        desktop.FindWindows("--all --onlyvisible --pid " + std::to_string(program.Pid()));
    std::erase_if(windows, [&](std::uint32_t window) {
      return desktop.Run("xwininfo -all -id " + std::to_string(window)).value_or("").find(what) ==
             std::string::npos;
    });
    return windows;
  }

  // Right-clicks the docked icon and, once its menu shows (and is photographed, given a file
  // name), presses keys in it (xdotool's names).
  bool ChooseInTheIconsMenu(const std::string& keys, const std::string& screenshot = {}) {
    // Unframed windows, as the menu is, but for the icon itself.
    auto menus = [&] {
      std::vector<std::uint32_t> unframed = OwnWindows("Override Redirect State: yes");
      std::erase(unframed, DockedIcon());
      return unframed;
    };
    return test::WaitUntil([&] { return menus().empty(); }, 3000) &&
           desktop.Click(AwaitDockedIcon(), 3) &&
           test::WaitUntil([&] { return !menus().empty(); }, 5000) &&
           (screenshot.empty() || desktop.Screenshot(OutputPath(screenshot))) &&
           desktop.Run("xdotool key --delay 100 " + keys).has_value();
  }

  // Whether --status comes to say each of `lines`; what it said last is in `said`.
  bool StatusSays(const std::vector<std::string>& lines, std::string& said) {
    return test::WaitUntil([&] {
      said = StartAgain({"--status"}).out;
      return std::ranges::all_of(
          lines, [&](const std::string& line) { return said.find(line) != std::string::npos; });
    });
  }

  // The window manager's top-level windows, bottom first.
  std::vector<std::uint32_t> Stacking() const {
    std::vector<std::uint32_t> windows;
    const std::string list = desktop.Run("xprop -root _NET_CLIENT_LIST_STACKING").value_or("");
    std::istringstream words(list.substr(std::min(list.size(), list.find('#') + 1)));
    for (std::string word; words >> word;)
      windows.push_back(static_cast<std::uint32_t>(std::stoul(word, nullptr, 16)));
    return windows;
  }

  // SIGTERM, then the exit status; none when it did not end within timeoutMs.
  std::optional<int> Terminate(int timeoutMs) {
    ::kill(-program.Pid(), SIGTERM);  // a launcher's child as well
    return program.WaitForExit(timeoutMs);
  }

  // A later start with these arguments, run to its end.
  struct Later {
    std::optional<int> status;
    std::string out;
    std::string err;
  };
  Later StartAgain(const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment = kHeadless) {
    const std::string out = desktop.WorkDir() + "/later.out";
    const std::string err = desktop.WorkDir() + "/later.err";
    test::ChildOptions options;
    options.argv = {"sh", "-c", "exec \"$@\" >" + out + " 2>" + err, "sh", TRAMLET_PROGRAM};
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    options.environment = environment;
    if (!runtimeDir.empty()) options.environment.push_back(runtimeDir);
    test::ChildProcess later;
    if (!later.Start(options)) return {};
    std::optional<int> status = later.WaitForExit(10000);
    return {status, ReadFile(out), ReadFile(err)};
  }
  static inline const std::vector<std::string> kHeadless = {
      "DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="};

  test::Desktop desktop;
  std::vector<std::string> launcher;  // what runs the program, if anything
  test::ChildProcess program;
  std::string runtimeDir;  // the XDG_RUNTIME_DIR entry the program was given, if any
  Clock::time_point started;
};

TEST_F(Program, StartsAsAnIconListensAfterItsFirstTickAndPacesDownloads) {
  StartDesktop(true);
  StartProgramOnTheDesktop();
  ASSERT_TRUE(AwaitListening(6000)) << Log();
  // The listener opens on the heartbeat's first tick, a second after the window was made.
  EXPECT_GE(SecondsSince(started), 0.9);
  ASSERT_NE(AwaitDockedIcon(), 0u) << Log();
  EXPECT_EQ(ShownWindow(), 0u);  // only the icon
  desktop.Screenshot(OutputPath("tray.png"));

  Origin origin(10000);
  Download download = Fetch(origin, desktop.WorkDir() + "/file");
  ASSERT_TRUE(download.ok);
  EXPECT_EQ(download.body, origin.body);
  // Limit 4: slices of 4000, 4000 and 2000 bytes, a second apart.
  EXPECT_GE(download.seconds, 1.9);
  EXPECT_EQ(Terminate(6000), std::optional<int>(0));
}

TEST_F(Program, TheIconShowsTheWindowWhoseLimitBoxSetsThePaceAndClosingItEndsTheProgram) {
  StartDesktop(true);
  StartProgramOnTheDesktop();
  std::uint32_t icon = AwaitDockedIcon();
  ASSERT_NE(icon, 0u) << Log();
  ASSERT_TRUE(AwaitListening());

  ASSERT_TRUE(desktop.Click(icon, 1, 2));
  std::uint32_t window = 0;
  ASSERT_TRUE(test::WaitUntil([&] { return (window = ShownWindow()) != 0; }, 5000));
  EXPECT_NE(Property(window, "_NET_WM_STATE").find("_NET_WM_STATE_ABOVE"), std::string::npos);

  // The limit box sits in the status strip under the panes (client 220, 63).
  ASSERT_TRUE(desktop.Run("xdotool mousemove --window " + std::to_string(window) +
                          " 222 64 click --repeat 3 1 type 16"));
  Origin origin(40000);
  Download download = Fetch(origin, desktop.WorkDir() + "/file");
  ASSERT_TRUE(download.ok);
  EXPECT_EQ(download.body, origin.body);
  EXPECT_LT(download.seconds, 4.5);  // 16000, 16000, 8000; at the old 4 it takes 9 s or more
  test::WaitUntil([] { return false; }, 1100);  // a heartbeat: the count is back to 0
  desktop.Screenshot(OutputPath("window.png"));

  // A 0 left in the box when the window goes is corrected as on leaving the box: a download
  // still completes, at limit 1 (1000 and 500 bytes a second apart).
  ASSERT_TRUE(desktop.Run("xdotool mousemove --window " + std::to_string(window) +
                          " 222 64 click --repeat 3 1 type 0"));
  ASSERT_TRUE(desktop.Run("xdotool windowminimize " + std::to_string(window)));
  EXPECT_TRUE(test::WaitUntil([&] { return ShownWindow() == 0; }, 5000));
  EXPECT_FALSE(Iconic(window));  // hidden in the icon
  EXPECT_NE(DockedIcon(), 0u);
  Origin small(1500);
  EXPECT_EQ(Fetch(small, desktop.WorkDir() + "/small").body, small.body);

  ASSERT_TRUE(desktop.Click(AwaitDockedIcon(), 1, 2));
  ASSERT_TRUE(test::WaitUntil([&] { return (window = ShownWindow()) != 0; }, 5000));
  EXPECT_TRUE(test::WaitUntil(  // back in front
      [&] { return desktop.Run("xdotool getactivewindow") == std::to_string(window) + "\n"; },
      3000));
  ASSERT_TRUE(desktop.Run("wmctrl -i -c " + std::to_string(window)));
  EXPECT_EQ(program.WaitForExit(6000), std::optional<int>(0));
}

TEST_F(Program, TheWindowStaysOnTopAfterEveryWayOfShowingItAgain) {
  StartDesktop(true);
  StartProgramOnTheDesktop();
  ASSERT_NE(AwaitDockedIcon(), 0u) << Log();
  auto showByDoubleClick = [&] { return desktop.Click(AwaitDockedIcon(), 1, 2); };
  // "Show window", the last entry but one.
  auto showByMenu = [&] { return ChooseInTheIconsMenu("Up Up Return"); };
  auto showBySecondStart = [&] {
    test::ChildProcess second;
    return second.Start({{TRAMLET_PROGRAM}, OnTheDesktop(), ""}) &&
           second.WaitForExit(5000) == std::optional<int>(0);
  };
  std::list<test::ChildProcess> others;  // xmessage windows over the program's place
  auto openOther = [&] {
    const std::string name = "other-" + std::to_string(others.size() + 1);
    return desktop.StartProgram(others.emplace_back(),
                                {"xmessage", "-title", name, "-geometry", "+330+90", name},
                                name + ".log") &&
           test::WaitUntil(
               [&] {
                 return !desktop.FindWindows("--onlyvisible --name '^" + name + "$'").empty();
               },
               5000);
  };
  std::uint32_t window = 0;
  auto aboveTheOthers = [&] {
    const std::vector<std::uint32_t> stacked = Stacking();
    const auto at = std::find(stacked.begin(), stacked.end(), window);
    return at != stacked.end() &&
           std::ranges::none_of(desktop.FindWindows("--name '^other-'"), [&](std::uint32_t id) {
             return std::find(at, stacked.end(), id) != stacked.end();
           });
  };
  const std::pair<const char*, std::function<bool()>> ways[] = {
      {"double click", showByDoubleClick},
      {"double click again", showByDoubleClick},
      {"Show window", showByMenu},
      {"second start", showBySecondStart}};
  for (const auto& [way, show] : ways) {
    SCOPED_TRACE(way);
    ASSERT_TRUE(show());
    ASSERT_TRUE(test::WaitUntil([&] { return (window = ShownWindow()) != 0; }, 5000));
    // A window opened while it is shown opens below it.
    ASSERT_TRUE(openOther());
    EXPECT_TRUE(test::WaitUntil(aboveTheOthers, 2000));
    desktop.Screenshot(OutputPath("on-top.png"));  // the last way's is left
    // Hidden in the icon, with another window opened meanwhile.
    ASSERT_TRUE(desktop.Run("xdotool windowminimize " + std::to_string(window)));
    ASSERT_TRUE(test::WaitUntil([&] { return ShownWindow() == 0; }, 5000));
    ASSERT_TRUE(openOther());
  }
  EXPECT_EQ(Terminate(6000), std::optional<int>(0));
}

// A machine up for twelve days (a ten-digit tick count), a 1280 x 800 screen, at 1x and 2x.
class ProgramOnASmallScreen : public Program, public ::testing::WithParamInterface<int> {};

TEST_P(ProgramOnASmallScreen, TheWindowOpensWhollyOnTheScreen) {
  const std::string scale = std::to_string(GetParam());
  ASSERT_TRUE(desktop.StartDisplay(1280, 800) && desktop.StartWindowManager() &&
              desktop.StartSessionBus() && desktop.StartTrayHost());
  launcher = {"unshare", "--time", "--monotonic=1036800", "--boottime=1036800", "--fork"};
  StartProgram(OnTheDesktop({"QT_SCALE_FACTOR=" + scale}));
  ASSERT_TRUE(AwaitListening(6000)) << Log();
  Origin origin(5000);  // two slices, each with the tick count in the status line
  ASSERT_TRUE(Fetch(origin, desktop.WorkDir() + "/file").ok);
  test::ChildProcess second;  // asks the first to show its window
  ASSERT_TRUE(second.Start({{TRAMLET_PROGRAM}, OnTheDesktop(), ""}));
  std::uint32_t window = 0;
  ASSERT_TRUE(test::WaitUntil([&] { return (window = ShownWindow()) != 0; }, 5000)) << Log();
  const std::vector<std::uint32_t> above = desktop.Ancestors(window);
  ASSERT_GE(above.size(), 2u);  // the window manager's frame is the one below the root
  EXPECT_TRUE(test::WaitUntil(
      [&] {
        std::optional<test::Desktop::Geometry> at = desktop.WindowGeometry(above[above.size() - 2]);
        return at && at->x >= 0 && at->y >= 0 && at->x + at->width <= 1280 &&
               at->y + at->height <= 800;
      },
      3000));
  // The box's largest value, to be seen whole in the screenshot.
  ASSERT_TRUE(desktop.Run("xdotool mousemove --window " + std::to_string(window) + " " +
                          std::to_string(222 * GetParam()) + " " + std::to_string(64 * GetParam()) +
                          " click --repeat 3 1 type 65535"));
  desktop.Screenshot(OutputPath("window-1280x800-" + scale + "x.png"));
  EXPECT_EQ(Terminate(6000), std::optional<int>(0));
}

INSTANTIATE_TEST_SUITE_P(Scales, ProgramOnASmallScreen, ::testing::Values(1, 2));

TEST_F(Program, APortInUseIsReportedOnceAndTheProxyListensSoonAfterItIsFree) {
  const int taken = TakeProxyPort();
  ASSERT_GE(taken, 0);

  StartDesktop(true);
  StartProgramOnTheDesktop();
  auto boxes = [&] { return OwnWindows("Dialog"); };
  std::vector<std::uint32_t> shown;
  ASSERT_TRUE(test::WaitUntil([&] { return !(shown = boxes()).empty(); }, 8000)) << Log();
  desktop.Screenshot(OutputPath("port-in-use.png"));
  ASSERT_TRUE(desktop.Run("xdotool windowactivate --sync " + std::to_string(shown.front()) +
                          " key Return"));
  ASSERT_TRUE(test::WaitUntil([&] { return boxes().empty(); }, 3000));
  // Five more failing ticks, none of them reported.
  bool reportedAgain = false;
  test::WaitUntil(
      [&] {
        reportedAgain = reportedAgain || !boxes().empty();
        return false;
      },
      5000);
  EXPECT_FALSE(reportedAgain);

  ::close(taken);
  EXPECT_TRUE(AwaitListening(1500));
  EXPECT_EQ(Terminate(6000), std::optional<int>(0));
}

TEST_F(Program, ASecondInstanceShowsTheFirstOnesWindowAndTheIconsMenuQuits) {
  StartDesktop(true);
  StartProgramOnTheDesktop();
  ASSERT_NE(AwaitDockedIcon(), 0u) << Log();
  ASSERT_EQ(ShownWindow(), 0u);
  test::ChildProcess second;
  ASSERT_TRUE(second.Start({{TRAMLET_PROGRAM}, OnTheDesktop(), desktop.WorkDir() + "/second.log"}));
  EXPECT_EQ(second.WaitForExit(2000), std::optional<int>(0));
  EXPECT_NE(ReadFile(desktop.WorkDir() + "/second.log").find("already running"), std::string::npos);
  EXPECT_TRUE(test::WaitUntil([&] { return ShownWindow() != 0; }, 2000));

  // Quit is the menu's last entry.
  ASSERT_TRUE(ChooseInTheIconsMenu("Up Return", "tray-menu.png"));
  EXPECT_EQ(program.WaitForExit(6000), std::optional<int>(0));
}

TEST_F(Program, AStatusNotifierHostDrawsTheIconsMenuWhoseQuitEndsTheProgram) {
  StartDesktop(false);
  ASSERT_TRUE(desktop.StartStatusNotifierWatcher(TRAMLET_SNI_WATCHER, {"--choose", "Quit"}));
  StartProgramOnTheDesktop();
  EXPECT_EQ(program.WaitForExit(10000), std::optional<int>(0)) << desktop.WatcherLog() << Log();
  EXPECT_NE(desktop.WatcherLog().find("/StatusNotifierItem [To clients: 0.0 KB/s]|-|Presets{"),
            std::string::npos)
      << desktop.WatcherLog();
  EXPECT_NE(desktop.WatcherLog().find("|-|Show window|Quit\nchose Quit\n"), std::string::npos)
      << desktop.WatcherLog();
}

TEST_F(Program, EndsWithinSixSecondsOfSigtermDuringTenThrottledDownloads) {
  StartDesktop(true);
  StartProgramOnTheDesktop();
  ASSERT_TRUE(AwaitListening(6000));
  Origin origin(200000);  // 50 s each at limit 4
  std::vector<test::ChildProcess> clients(10);
  test::ChildOptions download;
  download.argv = {"curl", "-s", "-x", "http://127.0.0.1:1080", "-o", "/dev/null", origin.Url()};
  for (test::ChildProcess& client : clients)
    ASSERT_TRUE(client.Start(download));
  ASSERT_TRUE(origin.server.WaitForRequests(10, 10000));
  Clock::time_point signalled = Clock::now();
  EXPECT_EQ(Terminate(6000), std::optional<int>(0));
  EXPECT_LT(SecondsSince(signalled), 6.0);
}

TEST_F(Program, WithoutANotificationAreaTheWindowStartsShownAndMinimizesNormally) {
  StartDesktop(false);
  StartProgramOnTheDesktop();
  std::uint32_t window = 0;
  ASSERT_TRUE(test::WaitUntil([&] { return (window = ShownWindow()) != 0; }, 8000)) << Log();
  EXPECT_NE(Log().find("no notification area"), std::string::npos) << Log();
  ASSERT_TRUE(desktop.Run("xdotool windowminimize " + std::to_string(window)));
  EXPECT_TRUE(test::WaitUntil([&] { return Iconic(window); }, 5000));
  EXPECT_EQ(Terminate(6000), std::optional<int>(0));
}

class ProgramWithTrayHost : public Program, public ::testing::WithParamInterface<bool> {};

TEST_P(ProgramWithTrayHost, AHiddenWindowComesBackWhenTheHostGoesAndHidesAgainOnceOneIsBack) {
  const bool statusNotifier = GetParam();
  auto StartHost = [&] {
    return statusNotifier ? desktop.StartStatusNotifierWatcher(TRAMLET_SNI_WATCHER)
                          : desktop.StartTrayHost();
  };
  auto StopHost = [&] {
    return statusNotifier ? (desktop.StopStatusNotifierWatcher(), true) : desktop.StopTrayHost();
  };
  auto IconShown = [&] { return statusNotifier ? desktop.WatcherHasItem() : DockedIcon() != 0; };
  StartDesktop(false);
  ASSERT_TRUE(StartHost());
  StartProgramOnTheDesktop();
  ASSERT_TRUE(test::WaitUntil(IconShown, 10000)) << Log();
  ASSERT_EQ(ShownWindow(), 0u);

  ASSERT_TRUE(StopHost());
  std::uint32_t window = 0;
  ASSERT_TRUE(test::WaitUntil([&] { return (window = ShownWindow()) != 0; }, 1000)) << Log();
  EXPECT_TRUE(test::WaitUntil(
      [&] { return desktop.Run("xdotool getactivewindow") == std::to_string(window) + "\n"; },
      3000));

  // No host: a minimized window stays within reach, iconic.
  ASSERT_TRUE(desktop.Run("xdotool windowminimize " + std::to_string(window)));
  EXPECT_TRUE(test::WaitUntil([&] { return Iconic(window); }, 5000));

  ASSERT_TRUE(StartHost());
  EXPECT_TRUE(test::WaitUntil(IconShown, 10000)) << "the icon did not come back";
  ASSERT_TRUE(desktop.Run("xdotool windowactivate " + std::to_string(window)));
  ASSERT_TRUE(test::WaitUntil([&] { return ShownWindow() != 0 && !Iconic(window); }, 5000));
  ASSERT_TRUE(desktop.Run("xdotool windowminimize " + std::to_string(window)));
  EXPECT_TRUE(test::WaitUntil([&] { return ShownWindow() == 0; }, 5000));
  EXPECT_FALSE(Iconic(window)) << "minimized into the icon, not iconic";
  EXPECT_EQ(Terminate(6000), std::optional<int>(0));
}

// XEmbed (trayer) and a StatusNotifierWatcher.
INSTANTIATE_TEST_SUITE_P(Hosts, ProgramWithTrayHost, ::testing::Bool());

// Notification areas that start after the program: a StatusNotifier host alone, and one that
// speaks both protocols as xfce4-panel does (a StatusNotifierWatcher beside an XEmbed tray).
class ProgramBeforeItsTrayHost : public Program, public ::testing::WithParamInterface<bool> {
 protected:
  // "<service>/StatusNotifierItem" as the watcher saw it register last; empty when none did.
  std::string RegisteredItem() const {
    const std::string log = desktop.WatcherLog();
    const std::size_t at = log.rfind("registered ");
    if (at == std::string::npos || (at > 0 && log[at - 1] != '\n')) return {};
    return log.substr(at + 11, log.find('\n', at) - at - 11);
  }
  // Two Activate calls within the double-click time, as a host makes of a double click.
  bool DoubleActivate(const std::string& item) const {
    const std::string call =
        "dbus-send --session --type=method_call --dest=" + item.substr(0, item.find('/')) +
        " /StatusNotifierItem org.kde.StatusNotifierItem.Activate int32:0 "
        "int32:0";
    return desktop.Run(call + " && " + call).has_value();
  }
  bool Minimize(std::uint32_t window) {
    return desktop.Run("xdotool windowminimize " + std::to_string(window)) &&
           test::WaitUntil([&] { return ShownWindow() == 0; }, 5000);
  }
};

TEST_P(ProgramBeforeItsTrayHost, TheIconComesWithItsMenuAndActivationWhenTheHostDoes) {
  const bool xembedToo = GetParam();
  StartDesktop(false);
  StartProgramOnTheDesktop();
  std::uint32_t window = 0;
  ASSERT_TRUE(test::WaitUntil([&] { return (window = ShownWindow()) != 0; }, 8000)) << Log();

  if (xembedToo) {
    ASSERT_TRUE(desktop.StartTrayHost());
  }
  ASSERT_TRUE(desktop.StartStatusNotifierWatcher(TRAMLET_SNI_WATCHER));
  ASSERT_TRUE(test::WaitUntil([&] { return !RegisteredItem().empty(); }, 10000)) << Log();
  const std::string item = RegisteredItem();
  EXPECT_TRUE(test::WaitUntil(
      [&] {
        return desktop.WatcherLog().find("menu " + item + " [To clients: 0.0 KB/s]|-|Presets{") !=
               std::string::npos;
      },
      5000))
      << desktop.WatcherLog();
  EXPECT_TRUE(test::WaitUntil([&] { return DockedIcon() == 0; }, 3000))
      << "one icon, on the bus, where a host speaks both";
  ASSERT_TRUE(Minimize(window)) << "not hidden in the icon";
  ASSERT_TRUE(DoubleActivate(item));
  ASSERT_TRUE(test::WaitUntil([&] { return ShownWindow() != 0; }, 5000)) << Log();
  if (!xembedToo) {
    EXPECT_EQ(Terminate(6000), std::optional<int>(0));
    return;
  }

  // The StatusNotifier side goes and the XEmbed one stays: the icon moves over, the window
  // stays where it is, and a double click on the docked icon shows it.
  ASSERT_TRUE(Minimize(window));
  desktop.StopStatusNotifierWatcher();
  const std::uint32_t docked = AwaitDockedIcon();
  ASSERT_NE(docked, 0u) << Log();
  EXPECT_EQ(ShownWindow(), 0u) << "a host remained: nothing to come back from";
  ASSERT_TRUE(desktop.Click(docked, 1, 2));
  ASSERT_TRUE(test::WaitUntil([&] { return ShownWindow() != 0; }, 5000)) << Log();

  // Back on the bus once the StatusNotifier side restarts.
  ASSERT_TRUE(desktop.StartStatusNotifierWatcher(TRAMLET_SNI_WATCHER));
  EXPECT_TRUE(test::WaitUntil([&] { return !RegisteredItem().empty(); }, 10000)) << Log();
  EXPECT_TRUE(test::WaitUntil([&] { return DockedIcon() == 0; }, 5000));
  EXPECT_EQ(Terminate(6000), std::optional<int>(0));
}

// false: a StatusNotifier host alone; true: with an XEmbed tray beside it.
INSTANTIATE_TEST_SUITE_P(Hosts, ProgramBeforeItsTrayHost, ::testing::Bool());

// The rate to clients heads the icon's menu, disabled, and follows the heartbeat: during one
// download at a limit of 20, about 20 KB/s.
TEST_F(Program, TheMenusFirstLineIsTheRateToClients) {
  StartDesktop(false);
  ASSERT_TRUE(desktop.StartStatusNotifierWatcher(TRAMLET_SNI_WATCHER));
  StartProgram(OnTheDesktop(), {"--limit", "20"});
  ASSERT_TRUE(AwaitListening(6000)) << Log();
  Origin origin(2000000);
  const std::string file = desktop.WorkDir() + "/rate-file";
  test::ChildProcess client;
  ASSERT_TRUE(client.Start(
      {{"curl", "-s", "-x", "http://127.0.0.1:1080", "-o", file, origin.Url()}, {}, ""}));
  // Six periods in, the partial first second is well behind the last reading.
  ASSERT_TRUE(test::WaitUntil(
      [&] {
        std::error_code missing;
        const std::uintmax_t size = std::filesystem::file_size(file, missing);
        return !missing && size >= 6 * 20000;
      },
      15000));
  const std::string log = desktop.WatcherLog();
  const std::size_t at = log.rfind("[To clients: ");
  ASSERT_NE(at, std::string::npos) << log;
  const double rate = std::strtod(log.c_str() + at + 13, nullptr);
  EXPECT_NEAR(rate, 20.0, 2.0) << log.substr(at, 40);
  client.Stop();
  EXPECT_EQ(Terminate(6000), std::optional<int>(0));
}

// A preset chosen in the menu a StatusNotifier host draws is in force, checked there, until a value
// is changed by hand.
TEST_F(Program, APresetChosenInTheHostsMenuIsInForceUntilAValueChangesByHand) {
  StartDesktop(false);
  const std::string threeG = "3G (94 KB/s down, 31 up, 100 ms)";
  ASSERT_TRUE(desktop.StartStatusNotifierWatcher(TRAMLET_SNI_WATCHER, {"--choose-once", threeG}));
  StartProgramOnTheDesktop();
  ASSERT_TRUE(AwaitListening(6000)) << Log();
  std::string said;
  EXPECT_TRUE(StatusSays({"limit: 94 KB/s\n", "delay: 100 ms", "upload limit: 31 KB/s\n",
                          "mode: shared (", "preset: 3g\n"},
                         said))
      << said << desktop.WatcherLog();
  // Whether the host's latest reading of the menu marks the entry.
  auto marked = [&](const std::string& entry) {
    const std::string log = desktop.WatcherLog();
    const std::size_t on = log.rfind("(x) " + entry), off = log.rfind("( ) " + entry);
    return on != std::string::npos && (off == std::string::npos || on > off);
  };
  EXPECT_TRUE(test::WaitUntil([&] {
    return marked(threeG) && marked("Limit all downloads together");
  })) << desktop.WatcherLog();

  EXPECT_NE(StartAgain({"--limit", "50"}).out.find("preset: none\n"), std::string::npos);
  EXPECT_TRUE(test::WaitUntil([&] { return !marked(threeG); })) << desktop.WatcherLog();
  EXPECT_EQ(Terminate(6000), std::optional<int>(0));
}

// In an XEmbed tray the program draws the menu itself: a preset from its submenu, then the mode.
TEST_F(Program, TheIconsOwnMenuSetsAPresetAndThenTheMode) {
  StartDesktop(true);
  StartProgramOnTheDesktop();
  ASSERT_NE(AwaitDockedIcon(), 0u) << Log();
  ASSERT_TRUE(AwaitListening(6000)) << Log();
  std::string said;
  // The first entry that can be chosen is the submenu, whose first entry is GPRS.
  ASSERT_TRUE(ChooseInTheIconsMenu("Down Right Return"));
  EXPECT_TRUE(StatusSays({"limit: 6 KB/s\n", "mode: shared (", "preset: gprs\n"}, said)) << said;
  // "Limit each download" comes next.
  ASSERT_TRUE(ChooseInTheIconsMenu("Down Down Return"));
  EXPECT_TRUE(StatusSays({"limit: 6 KB/s\n", "mode: per-download (", "preset: none\n"}, said))
      << said;
  EXPECT_EQ(Terminate(6000), std::optional<int>(0));
}

TEST_F(Program, AskedForWaylandWithoutItsPluginItRunsOnTheXDisplay) {
  StartDesktop(true);
  // The tests do not install Wayland's plugin; where it is there, no Wayland display answers.
  StartProgram(OnTheDesktop({"QT_QPA_PLATFORM=wayland"}));
  ASSERT_NE(AwaitDockedIcon(), 0u) << Log();  // on xcb, not headless
  ASSERT_TRUE(AwaitListening());
  Origin origin(5000);
  EXPECT_EQ(Fetch(origin, desktop.WorkDir() + "/file").body, origin.body);
  EXPECT_EQ(Terminate(6000), std::optional<int>(0));
  EXPECT_NE(Log().find("using xcb instead\n"), std::string::npos) << Log();
}

// A Wayland session with XWayland, as a desktop starts programs in it: the window runs on the X
// display, where it can stay above the others, and says nothing of Wayland. (A Wayland display
// that answers, standing in for a compositor; whether Qt's Wayland plugin is there or not, X wins.)
TEST_F(Program, InAWaylandSessionWithAnXDisplayTheWindowRunsOnXAndStaysOnTop) {
  StartDesktop(true);
  const std::string socketPath = desktop.WorkDir() + "/wayland-stand-in";
  const int compositor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
  ASSERT_EQ(::bind(compositor, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(compositor, 4), 0);
  std::vector<std::string> environment = desktop.Environment();
  environment.insert(environment.end(),
                     {"XDG_SESSION_TYPE=wayland", "WAYLAND_DISPLAY=wayland-stand-in",
                      "QT_QPA_PLATFORM=", "QT_QPA_PLATFORMTHEME=", "XDG_CURRENT_DESKTOP="});
  StartProgram(environment);
  const std::uint32_t icon = AwaitDockedIcon();
  ASSERT_NE(icon, 0u) << Log();  // docked in the X tray: on xcb
  ASSERT_TRUE(desktop.Click(icon, 1, 2));
  std::uint32_t window = 0;
  ASSERT_TRUE(test::WaitUntil([&] { return (window = ShownWindow()) != 0; }, 5000)) << Log();
  test::ChildProcess other;
  ASSERT_TRUE(desktop.StartProgram(
      other, {"xmessage", "-title", "other", "-geometry", "+330+90", "other"}, "other.log"));
  std::vector<std::uint32_t> others;
  ASSERT_TRUE(test::WaitUntil(
      [&] { return !(others = desktop.FindWindows("--onlyvisible --name '^other$'")).empty(); },
      5000));
  EXPECT_TRUE(test::WaitUntil(
      [&] {
        const std::vector<std::uint32_t> stacked = Stacking();
        const auto mine = std::find(stacked.begin(), stacked.end(), window);
        return mine != stacked.end() &&
               std::find(mine, stacked.end(), others.front()) == stacked.end();
      },
      2000))
      << "the other window came above";
  EXPECT_EQ(Terminate(6000), std::optional<int>(0));
  ::close(compositor);
  EXPECT_EQ(Log().find("cannot keep itself above"), std::string::npos) << Log();
}

TEST_F(Program, WithoutADisplayThatAnswersItServesOffscreenUntilStopped) {
  int dead = 99;  // a display number nothing on this machine serves
  while (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(dead)))
    ++dead;
  const std::pair<std::string, std::string> cases[] = {
      {"DISPLAY=", "no display found"},
      {"DISPLAY=:" + std::to_string(dead),
       "the X display :" + std::to_string(dead) + " does not answer"}};
  Origin origin(5000);
  for (const auto& [display, said] : cases) {
    SCOPED_TRACE(display);
    StartProgram({display, "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="});
    ASSERT_TRUE(AwaitListening(6000)) << Log();
    EXPECT_EQ(Fetch(origin, desktop.WorkDir() + "/file").body, origin.body);
    test::ChildProcess second;  // told there is no window to show
    const std::string secondLog = desktop.WorkDir() + "/second.log";
    std::filesystem::remove(secondLog);
    ASSERT_TRUE(second.Start({{TRAMLET_PROGRAM}, {display, "WAYLAND_DISPLAY="}, secondLog}));
    EXPECT_EQ(second.WaitForExit(5000), std::optional<int>(0));
    EXPECT_NE(ReadFile(secondLog).find("already running without a window"), std::string::npos);
    EXPECT_EQ(Terminate(6000), std::optional<int>(0));
    EXPECT_NE(Log().find(said), std::string::npos) << Log();
    std::filesystem::remove(desktop.WorkDir() + "/tramlet.log");
  }
}

// The proxy listens on IPv6 too: a client at [::1]:1080 reaches an origin on ::1, and a request
// aimed back at the proxy over IPv6 is a loop.
TEST_F(Program, ServesIPv6ClientsAndOriginsAndSeesLoopsOverIPv6) {
  StartProgram({"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="});
  ASSERT_TRUE(AwaitListening(6000)) << Log();
  Origin origin(3000, true);
  EXPECT_EQ(Fetch(origin, desktop.WorkDir() + "/file", "[::1]:1080").body, origin.body);
  for (const char* proxy : {"127.0.0.1:1080", "[::1]:1080"}) {
    SCOPED_TRACE(proxy);
    const std::optional<std::string> status = test::RunAndCapture(
        std::string("timeout 20 curl -s -o /dev/null -w '%{http_code}' -x http://") + proxy +
        " http://[::1]:1080/");
    EXPECT_EQ(status, std::optional<std::string>("508"));
  }
  EXPECT_EQ(Terminate(6000), std::optional<int>(0));
}

// A script changes a running Tramlet by starting another with settings, and reads them back.
TEST_F(Program, ASecondStartChangesTheLimitDelayAndUploadLimitOfTheRunningOne) {
  StartDesktop(true);
  StartProgram(OnTheDesktop(), {"--limit", "40"});
  ASSERT_TRUE(AwaitListening(6000)) << Log();
  EXPECT_NE(StartAgain({"--status"}).out.find("limit: 40 KB/s"), std::string::npos);

  Later changed = StartAgain({"--limit=8", "--delay", "300", "--upload-limit", "2"});
  EXPECT_EQ(changed.status, std::optional<int>(0)) << changed.err;
  EXPECT_EQ(changed.err, "");
  for (const char* line : {"limit: 8 KB/s", "delay: 300 ms", "upload limit: 2 KB/s"})
    EXPECT_NE(changed.out.find(line), std::string::npos) << changed.out;
  EXPECT_EQ(changed.out.find("connections:"), std::string::npos);
  // Start-only settings are refused, and change nothing else.
  for (const std::vector<std::string>& startOnly :
       {std::vector<std::string>{"--listen", "127.0.0.1", "--limit", "5"}, {"--port", "1080"}}) {
    Later refused = StartAgain(startOnly);
    EXPECT_EQ(refused.status, std::optional<int>(2));
    EXPECT_NE(refused.err.find("apply at start only"), std::string::npos) << refused.err;
    EXPECT_EQ(refused.out, "");
  }
  const Later status = StartAgain({"--status"});
  EXPECT_EQ(status.status, std::optional<int>(0));
  EXPECT_EQ(status.err, "");
  for (const char* line : {"limit: 8 KB/s", "delay: 300 ms", "connections: 0\n"})
    EXPECT_NE(status.out.find(line), std::string::npos) << status.out;

  // 20000 bytes at 8000 a second leave in three seconds' periods, after the delay.
  Origin origin(20000);
  Download download = Fetch(origin, desktop.WorkDir() + "/file");
  EXPECT_EQ(download.body, origin.body);
  EXPECT_GE(download.seconds, 2.2);

  // A start without settings still shows the window; its status line names what is in force.
  ASSERT_EQ(StartAgain({}, OnTheDesktop()).status, std::optional<int>(0));
  ASSERT_TRUE(test::WaitUntil([&] { return ShownWindow() != 0; }, 5000));
  desktop.Screenshot(OutputPath("delay-status.png"));
  EXPECT_EQ(Terminate(6000), std::optional<int>(0));
  Later none = StartAgain({"--status"});
  EXPECT_EQ(none.status, std::optional<int>(1));
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(none.err, "tramlet: not running on port 1080\n");
}

TEST_F(Program, ListensOnlyOnTheAddressAndPortItIsGiven) {
  // An address not on the machine keeps none of the others from listening.
  StartProgram(kHeadless, {"--port", "1081", "--listen", "192.0.2.1", "--listen", "127.0.0.1"});
  ASSERT_TRUE(test::WaitUntil([] { return Listening(1081); }, 6000)) << Log();
  // Another local address, IPv6 loopback and the usual port are not listened on.
  EXPECT_FALSE(Listening(1081, "127.0.0.2"));
  EXPECT_FALSE(Listening(kProxyPort));
  EXPECT_FALSE(test::RunAndCapture("timeout 5 curl -s -o /dev/null http://[::1]:1081/"));
  Origin origin(3000);
  EXPECT_EQ(Fetch(origin, desktop.WorkDir() + "/file", "127.0.0.1:1081").body, origin.body);

  // The channel is per port: the usual port has none, this one answers.
  EXPECT_EQ(StartAgain({"--status"}).status, std::optional<int>(1));
  Later status = StartAgain({"--port", "1081", "--status"});
  EXPECT_EQ(status.status, std::optional<int>(0));
  for (const char* line :
       {"port: 1081\n", "listening on: 127.0.0.1:1081\n", "not listening on 192.0.2.1:1081: "})
    EXPECT_NE(status.out.find(line), std::string::npos) << status.out;
  EXPECT_EQ(Terminate(6000), std::optional<int>(0));
}

// Without a display no box can be seen: standard error says that the port is taken, once, and
// when the proxy listens; --status says what is bound and what is not, and why.
TEST_F(Program, HeadlessItSaysOnceThatThePortIsTakenAndWhenItListens) {
  const int taken = TakeProxyPort();
  ASSERT_GE(taken, 0);

  StartProgram(kHeadless);
  const std::string refused = "tramlet: Cannot listen on *:1080: Could not bind socket.";
  ASSERT_TRUE(test::WaitUntil([&] { return Log().find(refused) != std::string::npos; }, 6000))
      << Log();
  const Later status = StartAgain({"--status"});
  EXPECT_EQ(status.status, std::optional<int>(0));
  EXPECT_EQ(status.err, "");
  EXPECT_NE(status.out.find("not listening on *:1080: Could not bind socket. Address and port "
                            "are already in use.\n"),
            std::string::npos)
      << status.out;
  EXPECT_EQ(status.out.find("listening on:"), std::string::npos) << status.out;
  // A few more failing ticks; no tick can be seen from outside, so this waits.
  test::WaitUntil([] { return false; }, 2500);

  ::close(taken);
  const std::string listening = "tramlet: listening on 0.0.0.0:1080 [::]:1080\n";
  ASSERT_TRUE(test::WaitUntil([&] { return Log().find(listening) != std::string::npos; }, 3000))
      << Log();
  EXPECT_TRUE(Listening(kProxyPort));
  const std::string log = Log();
  EXPECT_EQ(log.find(refused), log.rfind(refused)) << "reported once: " << log;
  const Later after = StartAgain({"--limit", "5"});
  EXPECT_EQ(after.status, std::optional<int>(0));
  EXPECT_EQ(after.err, "");
  EXPECT_NE(after.out.find("listening on: 0.0.0.0:1080, [::]:1080\n"), std::string::npos)
      << after.out;
  EXPECT_EQ(after.out.find("not listening"), std::string::npos) << after.out;
  EXPECT_EQ(Terminate(6000), std::optional<int>(0));
}

}  // namespace
