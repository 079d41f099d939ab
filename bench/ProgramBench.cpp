// Prints what the program users run costs under thousands of concurrent throttled downloads, next
// to the proxy core alone on the same load in the same run: the program with its window shown on
// a desktop of its own (Xvfb and openbox), with only its icon (with the trayer tray host), and
// without any display.
// For each: CPU per download, peak memory growth per download and memory 5 s after the load;
// during the largest load with the window shown, how long a click on the limit box's arrows
// takes to show on screen. Everything runs in a network namespace of its own, so that port 1080
// is the program's whatever else runs on the machine. See README.md.

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Answer.h"
#include "Downloads.h"
#include "ScaleLoad.h"
#include "rtl/ResourceLimit.h"
#include "support/ChildProcess.h"
#include "support/PrivateNetwork.h"
#include "support/desktop/Desktop.h"

namespace bench {

// ProgramCore.cpp: kept apart, as the proxy's socket layer and the system's cannot meet in one
// file.
int RunCoreProcess(std::int32_t limit);

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::int32_t kLimit = 4;
constexpr std::int32_t kProgramPort = 1080;
constexpr std::int64_t kBodyBytes = 40 * 1000;
constexpr int kRampAwaiting = 32;
constexpr auto kAfterLoad = std::chrono::seconds(5);
const std::string kWindowTitle = "HTTP Proxy - Speed limiter";

void Progress(const std::string& text) {
  std::fprintf(stderr, "[program] %s\n", text.c_str());
}

std::vector<DownloadSpec> Specs(int count, std::int32_t port, std::int32_t originPort) {
  std::vector<DownloadSpec> specs;
  for (int i = 0; i < count; ++i)
    specs.push_back({port, ProxyRequest(originPort, kBodyBytes, i), AnswerHeader(kBodyBytes, "1.0"),
                     kBodyBytes, i});
  return specs;
}

struct Figures {
  std::string Relay;
  int Downloads = 0;
  int Correct = 0;
  std::map<std::string, int> Errors;
  double CpuSeconds = 0;
  double MainThreadCpuSeconds = 0;  // the window's thread, for the program
  std::int64_t StartKb = 0;         // before the process's first load
  std::int64_t IdleKb = 0;          // before this load
  std::int64_t PeakKb = 0;
  std::int64_t AfterKb = 0;  // kAfterLoad after the last download ended
  std::vector<double> ClickMs;
  std::string Error;
};

// Samples the resident memory of a process every 10 ms and keeps the highest.
class PeakWatch {
 public:
  explicit PeakWatch(pid_t pid) : pid_(pid), thread_([this] { Loop(); }) {}
  ~PeakWatch() { Stop(); }
  std::int64_t Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return peak_;
  }

 private:
  void Loop() {
    while (!stop_) {
      peak_ = std::max(peak_, SampleProcess(pid_, false).VmRssKb);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  const pid_t pid_;
  std::atomic<bool> stop_{false};
  std::int64_t peak_ = 0;  // written by the thread, read after the join
  std::thread thread_;
};

double MainThreadCpuSeconds(pid_t pid) {
  const std::string path =
      "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/stat";
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return CpuSecondsFromStat(text.str(), ::sysconf(_SC_CLK_TCK));
}

// Runs the load against the process and measures it. idleNow tells when it has let go of every
// download; during runs beside the load, on a thread of its own.
Figures Measure(const std::string& relay, pid_t pid, const std::vector<DownloadSpec>& specs,
                const std::function<bool(const ProcessSample&)>& idleNow,
                const std::function<void()>& during) {
  Figures figures;
  figures.Relay = relay;
  figures.Downloads = static_cast<int>(specs.size());
  const ProcessSample idle = SampleProcess(pid, true);
  figures.IdleKb = figures.StartKb = idle.VmRssKb;
  const bool hwmReset = ResetPeakRssOf(pid);
  const double cpuBefore = CpuSecondsOf(pid);
  const double mainBefore = MainThreadCpuSeconds(pid);
  PeakWatch watch(pid);
  std::thread beside;
  if (during) beside = std::thread(during);
  const DownloadBatch batch = RunManyDownloads(specs, kRampAwaiting, std::chrono::seconds(240));
  const Clock::time_point loadEnd = Clock::now();
  if (beside.joinable()) beside.join();
  for (int i = 0; i < 1000 && !idleNow(idle); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  figures.CpuSeconds = CpuSecondsOf(pid) - cpuBefore;
  figures.MainThreadCpuSeconds = MainThreadCpuSeconds(pid) - mainBefore;
  figures.PeakKb = watch.Stop();
  if (hwmReset) figures.PeakKb = std::max(figures.PeakKb, SampleProcess(pid, false).VmHwmKb);
  std::this_thread::sleep_until(loadEnd + kAfterLoad);
  figures.AfterKb = SampleProcess(pid, false).VmRssKb;
  for (const DownloadResult& result : batch.Results) {
    if (result.Correct)
      ++figures.Correct;
    else
      ++figures.Errors[result.Error];
  }
  return figures;
}

// The proxy core alone in a process of its own, built as the benchmarks build it (a view that
// only counts); its count of runs is asked for over its input.
Figures MeasureCore(int count, std::int32_t originPort) {
  Figures failed;
  failed.Relay = "core";
  failed.Downloads = count;
  try {
    BenchChild proxy({"--proxy-process", std::to_string(kLimit)});
    const std::optional<std::string> ready = proxy.ReadLine(10000);
    if (!ready || ready->rfind("port ", 0) != 0) throw std::runtime_error("the core did not start");
    const std::int32_t port = std::atoi(ready->c_str() + 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Figures figures = Measure("core", proxy.Pid(), Specs(count, port, originPort),
                              [&](const ProcessSample&) {
                                proxy.WriteLine("count");
                                const std::optional<std::string> line = proxy.ReadLine(5000);
                                return line && *line == "count 0";
                              },
                              {});
    proxy.Finish();
    return figures;
  } catch (const std::exception& e) {
    failed.Error = e.what();
    return failed;
  }
}

// Looks at a small area of a window on the display, as its pixels.
class ScreenArea {
 public:
  ScreenArea(const std::string& display, std::uint32_t window, int x, int y, int width, int height)
      : connection_(xcb_connect(display.c_str(), nullptr)),
        window_(window),
        x_(static_cast<std::int16_t>(x)),
        y_(static_cast<std::int16_t>(y)),
        width_(static_cast<std::uint16_t>(width)),
        height_(static_cast<std::uint16_t>(height)) {}
  ~ScreenArea() { xcb_disconnect(connection_); }
  ScreenArea(const ScreenArea&) = delete;
  ScreenArea& operator=(const ScreenArea&) = delete;

  std::string Pixels() {
    const xcb_get_image_cookie_t cookie = xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP,
                                                        window_, x_, y_, width_, height_, ~0U);
    std::unique_ptr<xcb_get_image_reply_t, decltype(&std::free)> reply(
        xcb_get_image_reply(connection_, cookie, nullptr), &std::free);
    if (!reply) return {};
    return std::string(reinterpret_cast<const char*>(xcb_get_image_data(reply.get())),
                       static_cast<std::size_t>(xcb_get_image_data_length(reply.get())));
  }

 private:
  xcb_connection_t* connection_;
  std::uint32_t window_;
  std::int16_t x_, y_;
  std::uint16_t width_, height_;
};

// Clicks at (x, y) of the window and gives the milliseconds until the area's pixels change,
// from just before xdotool starts (its start-up counts too); -1 when they did not within 3 s.
double ClickAndWatch(const test::Desktop& desktop, ScreenArea& area, std::uint32_t window, int x,
                     int y) {
  const std::string before = area.Pixels();
  const Clock::time_point start = Clock::now();
  std::thread click([&] {
    desktop.Run("xdotool mousemove --window " + std::to_string(window) + " " + std::to_string(x) +
                " " + std::to_string(y) + " click 1");
  });
  double ms = -1;
  while (Clock::now() - start < std::chrono::seconds(3)) {
    if (area.Pixels() != before) {
      ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  click.join();
  return ms;
}

bool Listening(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

template <class Condition>
bool Await(Condition condition, int timeoutMs) {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

enum class Mode { Shown, IconOnly, Headless };

// The real program on a desktop of its own: its window shown (no tray host, so it shows the
// window itself) or only its icon (trayer); or without any display, on Qt's offscreen platform.
std::vector<Figures> MeasureProgram(const std::string& relay, Mode mode,
                                    const std::vector<int>& counts, std::int32_t originPort) {
  std::vector<Figures> all;
  auto fail = [&](const std::string& why) {
    for (int count : counts) {
      Figures failed;
      failed.Relay = relay;
      failed.Downloads = count;
      failed.Error = why;
      all.push_back(failed);
    }
    return all;
  };
  test::Desktop desktop;
  test::ChildOptions options;
  options.argv = {TRAMLET_PROGRAM};
  options.outputPath = desktop.WorkDir() + "/tramlet.log";
  if (mode == Mode::Headless) {
    options.environment = {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=offscreen"};
  } else {
    if (!desktop.StartDisplay() || !desktop.StartWindowManager() || !desktop.StartSessionBus())
      return fail("no desktop");
    if (mode == Mode::IconOnly && !desktop.StartTrayHost()) return fail("no tray host");
    options.environment = desktop.Environment();
    options.environment.insert(
        options.environment.end(),
        {"QT_QPA_PLATFORM=xcb", "QT_QPA_PLATFORMTHEME=", "XDG_CURRENT_DESKTOP="});
  }
  test::ChildProcess program;
  if (!program.Start(options)) return fail("the program did not start");
  if (!Await([] { return Listening(kProgramPort); }, 10000)) return fail("nothing on port 1080");
  std::uint32_t window = 0;
  if (mode == Mode::Shown) {
    Await(
        [&] {
          const auto found = desktop.FindWindows("--onlyvisible --name '^" + kWindowTitle + "$'");
          window = found.empty() ? 0 : found.front();
          return window != 0;
        },
        10000);
    if (window == 0) return fail("no window shown");
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));  // settled after start-up
  const pid_t pid = program.Pid();
  for (std::size_t i = 0; i < counts.size(); ++i) {
    std::vector<double> clicks;
    std::function<void()> during;
    if (window != 0 && i + 1 == counts.size()) {
      during = [&] {
        // Once every download is under way. The limit box sits at (200, 17) of the status strip
        // (35 down), its arrows at its right. The box is given the focus first, so that only
        // its digit can change: the area watched is the digit alone, left of where the caret
        // goes. Up, then down again, so the limit ends where it was.
        std::this_thread::sleep_for(std::chrono::seconds(4));
        desktop.Run("xdotool mousemove --window " + std::to_string(window) + " 205 63 click 1");
        std::this_thread::sleep_for(std::chrono::seconds(1));
        ScreenArea digit(desktop.DisplayName(), window, 202, 56, 7, 12);
        clicks.push_back(ClickAndWatch(desktop, digit, window, 237, 57));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        clicks.push_back(ClickAndWatch(desktop, digit, window, 237, 67));
      };
    }
    Progress(std::to_string(counts[i]) + " downloads through the program, " + relay);
    Figures figures = Measure(
        relay, pid, Specs(counts[i], kProgramPort, originPort),
        [&](const ProcessSample& idle) {
          return SampleProcess(pid, true).Descriptors <= idle.Descriptors;
        },
        during);
    figures.ClickMs = clicks;
    if (!all.empty()) figures.StartKb = all.front().StartKb;
    all.push_back(figures);
  }
  // Qt's complaints about what the panes were given would show here.
  const std::string log =
      desktop.Run("head -c 2000 " + desktop.WorkDir() + "/tramlet.log").value_or("");
  Progress(relay + ", the program's standard error:\n" + log);
  program.Stop();
  return all;
}

void Print(const Figures& figures, const Figures* core) {
  if (!figures.Error.empty()) {
    std::printf("  %-12s %5d  failed: %s\n", figures.Relay.c_str(), figures.Downloads,
                figures.Error.c_str());
    return;
  }
  const double n = figures.Downloads;
  const double cpuMs = figures.CpuSeconds * 1000 / n;
  std::string ratio = "";
  if (core && core->Error.empty() && core->CpuSeconds > 0) {
    char text[16];
    std::snprintf(text, sizeof text, "%.2fx", figures.CpuSeconds / core->CpuSeconds);
    ratio = text;
  }
  std::string clicks;
  for (double ms : figures.ClickMs) {
    char text[16];
    std::snprintf(text, sizeof text, "%s%.0f", clicks.empty() ? "" : ", ", ms);
    clicks += text;
  }
  std::printf("  %-12s %5d  %5d  %6.3f  %6s  %6.3f  %7.1f  %6.1f  %6.1f  %+7.1f  %s\n",
              figures.Relay.c_str(), figures.Downloads, figures.Correct, cpuMs, ratio.c_str(),
              figures.MainThreadCpuSeconds * 1000 / n,
              static_cast<double>(figures.PeakKb - figures.IdleKb) / n,
              static_cast<double>(figures.StartKb) / 1000,
              static_cast<double>(figures.AfterKb) / 1000,
              static_cast<double>(figures.AfterKb - figures.StartKb) / 1000, clicks.c_str());
  for (const auto& [error, count] : figures.Errors)
    std::printf("                 failed: %d x %s\n", count, error.c_str());
}

int RunDriver(const std::vector<int>& counts) {
  rtl::RaiseOpenFileLimit();
  BenchChild origin({"--origin-process"});
  const std::optional<std::string> ready = origin.ReadLine(10000);
  if (!ready || ready->rfind("port ", 0) != 0) {
    std::fprintf(stderr, "the origin server did not start\n");
    return 1;
  }
  const std::int32_t originPort = std::atoi(ready->c_str() + 5);
  std::vector<Figures> core;
  for (int count : counts) {
    Progress(std::to_string(count) + " downloads through the core alone");
    core.push_back(MeasureCore(count, originPort));
  }
  const std::vector<Figures> shown =
      MeasureProgram("window shown", Mode::Shown, counts, originPort);
  const std::vector<Figures> icon = MeasureProgram("icon only", Mode::IconOnly, counts, originPort);
  const std::vector<Figures> headless =
      MeasureProgram("no display", Mode::Headless, counts, originPort);
  origin.Finish();

  std::printf(
      "\nThe program against the core alone: %lld-byte binary answers at limit %d, connects "
      "ramped (at most %d waiting for their first byte)\n",
      static_cast<long long>(kBodyBytes), kLimit, kRampAwaiting);
  std::printf(
      "  goals: window shown at most 1.3x the core's CPU; peak growth at most 64 KiB per "
      "download;\n  5 s after the load within 20 MB of idle; a click on the limit box shown "
      "within 200 ms.\n");
  std::printf(
      "  relay        loads correct  CPU ms  / core   main    peak kB  start   after   after-   "
      "click ms\n"
      "                              per dl          thread  per dl   MB      MB (5s) start MB\n");
  for (std::size_t i = 0; i < counts.size(); ++i) {
    Print(core[i], nullptr);
    Print(shown[i], &core[i]);
    Print(icon[i], &core[i]);
    Print(headless[i], &core[i]);
  }
  return 0;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  using namespace bench;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::vector<int> counts = {1000, 3000};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--proxy-process" && i + 1 < argc) return RunCoreProcess(std::atoi(argv[i + 1]));
    if (arg == "--origin-process") return RunManyOriginProcess("program-origin");
    if (arg == "--counts" && i + 1 < argc) {
      counts = ParseCounts(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--counts N,N,...]\n", argv[0]);
      return 2;
    }
  }
  // Before any thread: the origin, the core and the program are all started from in here.
  if (!test::EnterPrivateNetwork()) {
    std::perror("the benchmark's network namespace could not be made");
    return 1;
  }
  try {
    return RunDriver(counts);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "benchmark failed: %s\n", e.what());
    return 1;
  }
}
