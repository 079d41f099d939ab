#include "support/desktop/Desktop.h"

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>

#include <xcb/xcb.h>

#include "support/Subprocess.h"

namespace test {
namespace {

// Polls condition every 20 ms until it holds or timeoutMs has passed.
template <class Condition>
bool Await(Condition condition, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// A short-lived connection to the display for questions the X tools do not answer.
class XConnection {
 public:
  explicit XConnection(const std::string& display) {
    connection_ = xcb_connect(display.c_str(), &screen_);
    if (xcb_connection_has_error(connection_)) return;
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection_));
    for (int i = 0; i < screen_ && screens.rem; ++i)
      xcb_screen_next(&screens);
    if (screens.rem) root_ = screens.data->root;
  }
  ~XConnection() { xcb_disconnect(connection_); }

  bool Ok() const { return root_ != 0; }
  xcb_window_t Root() const { return root_; }

  xcb_atom_t Atom(const std::string& name) {
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(
            connection_,
            xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(name.size()), name.c_str()),
            nullptr),
        &std::free);
    return reply ? reply->atom : XCB_NONE;
  }

  xcb_window_t SelectionOwner(const std::string& selection) {
    std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> reply(
        xcb_get_selection_owner_reply(
            connection_, xcb_get_selection_owner(connection_, Atom(selection)), nullptr),
        &std::free);
    return reply ? reply->owner : XCB_NONE;
  }

  bool RootHasProperty(const std::string& name) {
    std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
        xcb_get_property_reply(
            connection_,
            xcb_get_property(connection_, 0, root_, Atom(name), XCB_GET_PROPERTY_TYPE_ANY, 0, 1),
            nullptr),
        &std::free);
    return reply && reply->type != XCB_NONE;
  }

  // Maps a small window until a window manager takes it into a frame of its own: proof that it
  // handles map requests. One that has only just announced itself may drop them, so each try
  // asks again.
  bool WindowGetsManaged(int timeoutMs) {
    const xcb_window_t probe = xcb_generate_id(connection_);
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, probe, root_, 0, 0, 10, 10, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
    const bool managed = Await(
        [&] {
          xcb_map_window(connection_, probe);
          xcb_flush(connection_);
          return Await([&] { return Parent(probe) != root_; }, 300);
        },
        timeoutMs);
    xcb_destroy_window(connection_, probe);
    xcb_flush(connection_);
    return managed;
  }

  // 0 for the root window or an unknown one.
  xcb_window_t Parent(xcb_window_t window) {
    std::unique_ptr<xcb_query_tree_reply_t, decltype(&std::free)> reply(
        xcb_query_tree_reply(connection_, xcb_query_tree(connection_, window), nullptr),
        &std::free);
    return reply ? reply->parent : XCB_NONE;
  }

 private:
  xcb_connection_t* connection_ = nullptr;
  int screen_ = 0;
  xcb_window_t root_ = 0;
};

}  // namespace

Desktop::Desktop() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "tramlet-desktop-XXXXXX").string();
  if (::mkdtemp(pattern.data())) workDir_ = pattern;
}

Desktop::~Desktop() {
  watcher_.Stop();
  trayHost_.Stop();
  windowManager_.Stop();
  bus_.Stop();
  xserver_.Stop();
  if (!workDir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(workDir_, ignored);
  }
}

bool Desktop::Fail(const std::string& what) const {
  std::cerr << "desktop: " << what << " (logs in " << workDir_ << ")\n";
  return false;
}

std::vector<std::string> Desktop::Environment() const {
  // GTK programs would look for an accessibility bus we do not run; Qt wants a private runtime
  // folder (the work folder is the caller's alone).
  std::vector<std::string> environment{"NO_AT_BRIDGE=1", "XDG_RUNTIME_DIR=" + workDir_};
  if (!display_.empty()) environment.push_back("DISPLAY=" + display_);
  if (!busAddress_.empty()) environment.push_back("DBUS_SESSION_BUS_ADDRESS=" + busAddress_);
  return environment;
}

bool Desktop::StartProgram(ChildProcess& process, std::vector<std::string> argv,
                           const std::string& logName, bool reportPipe) const {
  ChildOptions options;
  options.argv = std::move(argv);
  options.environment = Environment();
  options.outputPath = workDir_ + "/" + logName;
  options.reportPipe = reportPipe;
  return process.Start(options);
}

bool Desktop::StartDisplay(int width, int height) {
  if (workDir_.empty()) return Fail("no work folder");
  // Xvfb picks a free display number itself and reports it: parallel tests cannot collide.
  const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
  if (!StartProgram(
          xserver_,
          {"Xvfb", "-displayfd", "3", "-screen", "0", screen, "-nolisten", "tcp", "-noreset"},
          "xvfb.log", true))
    return Fail("Xvfb did not start");
  std::optional<std::string> number = xserver_.ReadReportLine(15000);
  if (!number || number->empty()) {
    xserver_.Stop();
    return Fail("Xvfb reported no display number");
  }
  display_ = ":" + *number;
  if (!Await([&] { return Run("xdpyinfo >/dev/null", 5).has_value(); }, 10000)) {
    xserver_.Stop();
    display_.clear();
    return Fail("Xvfb does not answer");
  }
  return true;
}

bool Desktop::StartWindowManager() {
  if (!StartProgram(windowManager_, {"openbox", "--sm-disable"}, "openbox.log"))
    return Fail("openbox did not start");
  XConnection x(display_);
  if (!x.Ok() || !Await([&] { return x.RootHasProperty("_NET_SUPPORTING_WM_CHECK"); }, 10000) ||
      !x.WindowGetsManaged(10000)) {
    windowManager_.Stop();
    return Fail("openbox did not start managing windows");
  }
  return true;
}

bool Desktop::StartSessionBus() {
  const std::string config = workDir_ + "/session-bus.conf";
  std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus "
                           "Configuration 1.0//EN\"\n"
                           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                           "<busconfig>\n"
                           "  <type>session</type>\n"
                           "  <listen>unix:dir="
                        << workDir_
                        << "</listen>\n"
                           "  <auth>EXTERNAL</auth>\n"
                           "  <policy context=\"default\">\n"
                           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                           "    <allow eavesdrop=\"true\"/>\n"
                           "    <allow own=\"*\"/>\n"
                           "  </policy>\n"
                           "</busconfig>\n";
  if (!StartProgram(bus_,
                    {"dbus-daemon", "--config-file=" + config, "--nofork", "--nopidfile",
                     "--print-address=3"},
                    "session-bus.log", true))
    return Fail("dbus-daemon did not start");
  std::optional<std::string> address = bus_.ReadReportLine(10000);
  if (!address || address->empty()) {
    bus_.Stop();
    return Fail("dbus-daemon gave no address");
  }
  busAddress_ = *address;
  return true;
}

bool Desktop::StartTrayHost() {
  if (!StartProgram(trayHost_,
                    {"trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel",
                     "--width", "200", "--height", "32", "--transparent", "false"},
                    "trayer.log"))
    return Fail("trayer did not start");
  // Its panel is mapped only once the window manager has handled it, which a busy machine may
  // take a while to do; until then docked icons are not on the screen.
  if (!Await([&] { return TraySelectionOwned(); }, 20000) ||
      !Await([&] { return !FindWindows("--onlyvisible --class trayer").empty(); }, 20000)) {
    trayHost_.Stop();
    return Fail("trayer did not take the tray selection and show its panel");
  }
  return true;
}

bool Desktop::StopTrayHost() {
  trayHost_.Stop();
  return Await([&] { return !TraySelectionOwned(); }, 10000) ||
         Fail("the tray selection still has an owner");
}

bool Desktop::StartStatusNotifierWatcher(const std::string& program,
                                         const std::vector<std::string>& arguments) {
  const std::string log = workDir_ + "/sni-watcher.log";
  std::ofstream(log, std::ios::trunc);  // each start logs afresh
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  if (!StartProgram(watcher_, argv, "sni-watcher.log") ||
      !Await([&] { return ReadFile(log).find("ready\n") != std::string::npos; }, 10000)) {
    watcher_.Stop();
    return Fail("the StatusNotifierWatcher did not start");
  }
  return true;
}

bool Desktop::WatcherHasItem() const {
  return WatcherLog().find("\nregistered ") != std::string::npos;
}

std::string Desktop::WatcherLog() const {
  return ReadFile(workDir_ + "/sni-watcher.log");
}

std::optional<std::string> Desktop::Run(const std::string& command, int timeoutSeconds) const {
  std::string line = "env";
  for (const std::string& entry : Environment())
    line.append(" ").append(Quoted(entry));
  line.append(" timeout -k 2 ").append(std::to_string(timeoutSeconds));
  line.append(" sh -c ").append(Quoted(command));
  return RunAndCapture(line);
}

bool Desktop::TraySelectionOwned() const {
  return TraySelectionOwner() != 0;
}

std::uint32_t Desktop::TraySelectionOwner() const {
  XConnection x(display_);
  return x.Ok() ? x.SelectionOwner("_NET_SYSTEM_TRAY_S0") : 0;
}

std::vector<std::uint32_t> Desktop::FindWindows(const std::string& searchArguments) const {
  std::vector<std::uint32_t> windows;
  std::optional<std::string> found = Run("xdotool search " + searchArguments + " 2>/dev/null");
  if (!found) return windows;
  std::istringstream lines(*found);
  for (std::string line; std::getline(lines, line);)
    if (!line.empty()) windows.push_back(static_cast<std::uint32_t>(std::stoul(line)));
  return windows;
}

std::uint32_t Desktop::DockedIcon(int pid) const {
  const std::vector<std::uint32_t> panels = FindWindows("--class trayer");
  for (std::uint32_t window : FindWindows("--onlyvisible --pid " + std::to_string(pid))) {
    const std::vector<std::uint32_t> above = Ancestors(window);
    for (std::uint32_t panel : panels)
      if (std::find(above.begin(), above.end(), panel) != above.end()) return window;
  }
  return 0;
}

std::optional<Desktop::Geometry> Desktop::WindowGeometry(std::uint32_t window) const {
  std::optional<std::string> shell =
      Run("xdotool getwindowgeometry --shell " + std::to_string(window));
  if (!shell) return std::nullopt;
  Geometry geometry;
  int seen = 0;
  std::istringstream lines(*shell);
  for (std::string line; std::getline(lines, line);) {
    std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string name = line.substr(0, equals);
    int value = std::atoi(line.c_str() + equals + 1);
    if (name == "X") geometry.x = value, ++seen;
    if (name == "Y") geometry.y = value, ++seen;
    if (name == "WIDTH") geometry.width = value, ++seen;
    if (name == "HEIGHT") geometry.height = value, ++seen;
  }
  if (seen != 4) return std::nullopt;
  return geometry;
}

std::vector<std::uint32_t> Desktop::Ancestors(std::uint32_t window) const {
  std::vector<std::uint32_t> ancestors;
  XConnection x(display_);
  if (!x.Ok()) return ancestors;
  for (xcb_window_t at = x.Parent(window); at != XCB_NONE; at = x.Parent(at)) {
    ancestors.push_back(at);
    if (at == x.Root()) break;
  }
  return ancestors;
}

bool Desktop::Click(std::uint32_t window, int button, int count) const {
  std::optional<Geometry> at = WindowGeometry(window);
  if (!at) return false;
  return Run("xdotool mousemove " + std::to_string(at->x + at->width / 2) + " " +
             std::to_string(at->y + at->height / 2) + " click --repeat " + std::to_string(count) +
             " --delay 80 " + std::to_string(button))
      .has_value();
}

bool Desktop::Screenshot(const std::string& pngPath) const {
  return Run("import -window root " + Quoted(pngPath), 20).has_value();
}

void Desktop::SaveDiagnostics(const std::string& folder, const std::string& prefix) const {
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  const std::string base = folder + "/" + prefix;
  for (const auto& entry : std::filesystem::directory_iterator(workDir_, ignored))
    if (entry.path().extension() == ".log")
      std::filesystem::copy_file(entry.path(), base + "-" + entry.path().filename().string(),
                                 std::filesystem::copy_options::overwrite_existing, ignored);
  Run("xwininfo -root -tree > " + Quoted(base + "-tree.txt"));
  Screenshot(base + "-screen.png");
}

}  // namespace test
