// Tramlet: a desktop HTTP proxy on port 1080 that relays every answer at no more than the limit
// set in its window. It starts as an icon in the notification area; a double click on the icon
// shows the window, and closing the window ends the program.

#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <QSocketNotifier>

#include "CommandLine.h"
#include "TramletUnit.h"
#include "platform/windowing/Application.h"
#include "platform/windowing/PlatformChoice.h"
#include "platform/windowing/Shell.h"
#include "platform/windowing/SingleInstance.h"
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

}  // namespace

int main(int argc, char** argv) {
  if (std::optional<int> status = RunCommandLine(argc, argv)) return *status;
  // One allocator arena: the extra arenas made for busy threads keep what thousands of runs
  // freed resident, and trimming cannot shrink them.
  mallopt(M_ARENA_MAX, 1);
  // Qt would abort without a platform it can start on; the proxy is still worth running.
  const bool headless = win::SetUpPlatform().headless;
  CatchStopSignals();
  rtl::RaiseOpenFileLimit();

  win::TApplication application(argc, argv);
  // Most often the port is taken by this very program, started before.
  win::TSingleInstance instance("tramlet");
  if (instance.HandedOver()) {
    std::fprintf(stderr, instance.RunningWithoutWindow()
                             ? "tramlet: already running without a window\n"
                             : "tramlet: already running; its window is shown instead\n");
    return 0;
  }
  application.SetIcon(TramletIcon());
  QSocketNotifier stopRequests(signalPipe[0], QSocketNotifier::Read);
  QObject::connect(&stopRequests, &QSocketNotifier::activated, [&] { application.Terminate(); });

  new TProxyForm(&application);  // the application owns it
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
