// Tramlet: a desktop HTTP proxy on port 1080 that relays every answer at no more than the limit
// set in its window or on the command line. It starts as an icon in the notification area; a
// double click on the icon shows the window, and closing the window ends the program. Started
// again with settings, it hands them to the one that runs.

#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <QSocketNotifier>

#include "CommandLine.h"
#include "Settings.h"
#include "TramletUnit.h"
#include "platform/windowing/Application.h"
#include "platform/windowing/PlatformChoice.h"
#include "platform/windowing/Shell.h"
#include "platform/windowing/SingleInstance.h"
#include "proxy/ProxyCounters.h"
#include "rtl/ResourceLimit.h"
#include "ui/CoolTrayIcon.h"

namespace {

int signalPipe[2] = {-1, -1};

void OnStopSignal(int) {
  const char byte = 1;
  // Only async-signal-safe work here: the loop reads the pipe and ends the program.
  [[maybe_unused]] ssize_t written = write(signalPipe[1], &byte, 1);
}

// SIGINT and SIGTERM end the program the orderly way closing the window does.
void CatchStopSignals() {
  if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

QIcon TramletIcon() {
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
    icon.addFile(QStringLiteral(":/icons/tramlet-%1.png").arg(size), QSize(size, size));
  return icon;
}

// --listen, or --port with nothing else: both take effect at start only, so an instance already
// running on the port refuses them. Beside live settings or --status, --port only says which
// instance is meant.
bool AsksStartOnly(const tramlet::Settings& settings) {
  return !settings.listen.empty() || (settings.port && !settings.ChangesLive() && !settings.status);
}

// What a later start sends to the instance on its port.
win::TSingleInstance::Request RequestFor(const tramlet::Settings& settings) {
  // They must not change what a running instance can take: only ask whether one runs.
  if (AsksStartOnly(settings)) return {"status\n", false};
  if (settings.ChangesLive() || settings.status)
    return {tramlet::EncodeRequest(settings), settings.status};
  return {};
}

tramlet::LiveState StateOf(const tramlet::Settings& started) {
  const proxy::ProxyCounters& counters = proxy::Counters();
  return {counters.SpeedLimit.load(),
          counters.DelayMs.load(),
          counters.UploadLimit.load(),
          started.Port(),
          started.listen,
          counters.ConnectionCount.load()};
}

void Apply(TProxyForm& form, const tramlet::Settings& settings) {
  if (settings.limit) form.SetLimit(*settings.limit);
  if (settings.delayMs) proxy::Counters().DelayMs.store(*settings.delayMs);
  if (settings.uploadLimit) proxy::Counters().UploadLimit.store(*settings.uploadLimit);
  form.SettingsChanged();
}

// A later start, answered by the instance that runs on its port: the exit status.
int Handed(const win::TSingleInstance& instance, const tramlet::Settings& settings) {
  if (AsksStartOnly(settings)) {
    std::fprintf(stderr,
                 "tramlet: --port and --listen apply at start only, and Tramlet already "
                 "runs on port %d\n",
                 settings.Port());
    return 2;
  }
  if (!settings.ChangesLive() && !settings.status) {
    std::fprintf(stderr, instance.RunningWithoutWindow()
                             ? "tramlet: already running without a window\n"
                             : "tramlet: already running; its window is shown instead\n");
    return 0;
  }
  const std::optional<tramlet::LiveState> state = tramlet::DecodeState(instance.Answer());
  if (!state) {
    std::fprintf(stderr, "tramlet: the Tramlet running on port %d did not understand\n",
                 settings.Port());
    return 1;
  }
  const std::string text = tramlet::DescribeState(*state, settings.status);
  return std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const CommandLine commandLine = ReadCommandLine(argc, argv);
  if (commandLine.exitStatus) return *commandLine.exitStatus;
  const tramlet::Settings& settings = commandLine.settings;
  // One allocator arena: the extra arenas made for busy threads keep what thousands of runs
  // freed resident, and trimming cannot shrink them.
  mallopt(M_ARENA_MAX, 1);
  // Qt would abort without a platform it can start on; the proxy is still worth running.
  // Said only once this start runs the proxy itself.
  const win::TPlatformChoice platform = win::SetUpPlatform(false);
  const bool headless = platform.headless;
  CatchStopSignals();
  rtl::RaiseOpenFileLimit();

  win::TApplication application(argc, argv);
  // Most often the port is taken by this very program, started before. One instance per port:
  // a start with --port asks the one on that port, and may run beside one on another.
  win::TSingleInstance instance("tramlet-" + std::to_string(settings.Port()), RequestFor(settings));
  if (instance.HandedOver()) return Handed(instance, settings);
  if (settings.status) {
    std::printf("tramlet: not running on port %d\n", settings.Port());
    return 1;
  }
  if (!platform.notice.empty()) std::fprintf(stderr, "%s\n", platform.notice.c_str());
  application.SetIcon(TramletIcon());
  QSocketNotifier stopRequests(signalPipe[0], QSocketNotifier::Read);
  QObject::connect(&stopRequests, &QSocketNotifier::activated, [&] { application.Terminate(); });

  auto* form = new TProxyForm(&application);  // the application owns it
  form->ListenOn(settings.Port(), settings.listen);
  Apply(*form, settings);
  instance.OnRequest = [form, &settings](const std::string& request) -> std::string {
    if (request != "status") {
      const std::optional<tramlet::Settings> changes = tramlet::DecodeSetRequest(request);
      if (!changes) return {};
      Apply(*form, *changes);
    }
    std::string state = tramlet::EncodeState(StateOf(settings));
    state.pop_back();  // the channel ends the line
    return state;
  };
  // The program begins as its icon alone; without a display there is nothing to show at all.
  if (headless || win::TrayHostAvailable()) {
    application.SetShowMainForm(false);
  } else {
    // The icon hides the window only once a host shows it.
    std::fprintf(stderr,
                 "tramlet: no notification area found; showing the window instead of an icon\n");
  }
  application.Run();
  return 0;  // the application destroys the window, whose server stops as it goes
}
