// Tramlet: a desktop HTTP proxy on port 1080 that relays every answer at no more than the limit
// set in its window or on the command line. It starts as an icon in the notification area; a
// double click on the icon shows the window, and closing the window ends the program. Started
// again with settings, it hands them to the one that runs.

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <QSocketNotifier>

#include "CommandLine.h"
#include "Presets.h"
#include "Settings.h"
#include "TramletUnit.h"
#include "platform/InstanceChannel.h"
#include "platform/windowing/Application.h"
#include "platform/windowing/PlatformChoice.h"
#include "platform/windowing/Shell.h"
#include "platform/windowing/SingleInstance.h"
#include "proxy/LiveSettings.h"
#include "proxy/ProxyCounters.h"
#include "rtl/ResourceLimit.h"
#include "rtl/Time.h"
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

// What a later start sends to the instance on its port, and whether it may run the proxy itself
// when none answers.
struct Request {
  std::string line;
  bool askOnly = false;
};

Request RequestFor(const tramlet::Settings& settings) {
  // They must not change what a running instance can take: only ask whether one runs.
  if (settings.AsksStartOnly()) return {"status"};
  if (settings.ChangesLive() || settings.status)
    return {tramlet::EncodeRequest(settings), settings.status};
  return {win::kShowRequest};
}

constexpr std::chrono::milliseconds kAnswerTime{1000};
// How long a start that found the channel held waits for its holder to listen and answer: the
// holder may be starting Qt, or probing a display that is slow to answer.
constexpr std::chrono::milliseconds kHolderAnswerTime{5000};

// The channel of the instance on the port, in this network namespace: tests run instances of
// one user side by side in namespaces of their own, as their ports are.
platform::ChannelPlace ChannelPlaceFor(const tramlet::Settings& settings) {
  std::string name = "tramlet-" + std::to_string(settings.Port());
  if (const std::string net = platform::NetworkNamespaceId(); !net.empty()) name += "-net" + net;
  return platform::FindChannelPlace(name, std::getenv("XDG_RUNTIME_DIR"));
}

// Asks the holder of the channel, waiting for it to listen.
platform::ChannelAnswer AskHolder(const platform::ChannelPlace& place, const std::string& line) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + kHolderAnswerTime;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    platform::ChannelAnswer answer = platform::AskChannel(place.socketPath, line, left);
    if (answer.outcome != platform::ChannelAnswer::Outcome::NoneRunning) return answer;
    if (Clock::now() >= deadline)
      return {platform::ChannelAnswer::Outcome::Failed, {}, "it does not listen"};
    rtl::Sleep(20);
  }
}

// A problem's text on one line of standard error.
std::string OneLine(std::string text) {
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  for (std::size_t twice; (twice = text.find("  ")) != std::string::npos;)
    text.erase(twice, 1);
  return text;
}

tramlet::LiveState StateOf(const tramlet::Settings& started, const TProxyForm& form) {
  const proxy::ProxyCounters& counters = proxy::Counters();
  const proxy::LiveSettings& live = proxy::Live();
  tramlet::LiveState state;
  state.inForce.limit = live.SpeedLimit.load();
  state.inForce.delayMs = live.DelayMs.load();
  state.inForce.uploadLimit = live.UploadLimit.load();
  const bool shared = live.SharedMode.load();
  state.inForce.mode = shared ? tramlet::Settings::kShared : tramlet::Settings::kPerDownload;
  const tramlet::Preset* preset = tramlet::PresetInForce(
      shared, *state.inForce.limit, *state.inForce.uploadLimit, *state.inForce.delayMs);
  state.inForce.preset = preset ? preset->name : "";
  state.inForce.only = live.Scope.List();
  state.inForce.port = started.Port();
  state.connections = counters.ConnectionCount.load();
  for (const TProxyForm::Listener& listener : form.Listeners())
    state.listeners.push_back(
        {listener.where,
         listener.listening ? std::string() : OneLine(win::ErrorReportText(listener.problem))});
  return state;
}

// A preset first: settings given beside it change its values.
void Apply(TProxyForm& form, const tramlet::Settings& settings) {
  if (const tramlet::Preset* preset = tramlet::PresetNamed(settings.preset.value_or("")))
    form.ApplyPreset(*preset);
  if (settings.mode)
    proxy::Live().SharedMode.store(*settings.mode == tramlet::Settings::kShared);
  if (settings.limit) form.SetLimit(*settings.limit);
  if (settings.delayMs) proxy::Live().DelayMs.store(*settings.delayMs);
  if (settings.uploadLimit) proxy::Live().UploadLimit.store(*settings.uploadLimit);
  if (settings.only) proxy::Live().Scope.SetList(*settings.only);
  form.SettingsChanged();
}

// A later start, answered by the instance that runs on its port: the exit status.
int Handed(const std::string& answer, const tramlet::Settings& settings) {
  if (settings.AsksStartOnly()) {
    const std::string startOnly =
        tramlet::OptionsNamed({tramlet::When::Picks, tramlet::When::Start});
    std::fprintf(stderr, "tramlet: %s apply at start only, and Tramlet already runs on port %d\n",
                 startOnly.c_str(), settings.Port());
    return 2;
  }
  std::optional<tramlet::LiveState> state;
  if (!settings.ChangesLive() && !settings.status) {
    if (answer == win::kShownAnswer || answer == win::kWithoutWindowAnswer) {
      std::fprintf(stderr, answer == win::kWithoutWindowAnswer
                               ? "tramlet: already running without a window\n"
                               : "tramlet: already running; its window is shown instead\n");
      return 0;
    }
  } else {
    state = tramlet::DecodeState(answer);
  }
  if (!state) {
    std::fprintf(stderr, "tramlet: the Tramlet running on port %d did not understand\n",
                 settings.Port());
    return 1;
  }
  const std::string text = tramlet::DescribeState(*state, settings.status);
  return std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0 ? 1 : 0;
}

// The instance on the port answered this start (the exit status), or this start runs the proxy,
// serving the channel unless it cannot be made (problem says why).
struct Contact {
  std::optional<int> exitStatus;
  std::unique_ptr<platform::ChannelServer> channel;
  std::string problem;
};

// Before anything of Qt starts: a start that only talks to the running instance shows nothing,
// and says nothing on standard error when all is well.
Contact ContactRunning(const tramlet::Settings& settings) {
  using Outcome = platform::ChannelAnswer::Outcome;
  const Request request = RequestFor(settings);
  const platform::ChannelPlace place = ChannelPlaceFor(settings);
  Contact contact;
  if (!place.problem.empty()) {
    if (!settings.status) return {std::nullopt, nullptr, place.problem};
    std::fprintf(stderr, "tramlet: no channel to a Tramlet on port %d: %s\n", settings.Port(),
                 place.problem.c_str());
    return {1, nullptr, {}};
  }
  platform::ChannelAnswer answer =
      platform::AskChannel(place.socketPath, request.line, kAnswerTime);
  if (answer.outcome != Outcome::Answered && !request.askOnly) {
    contact.channel = std::make_unique<platform::ChannelServer>(place);
    switch (contact.channel->Open()) {
      case platform::ChannelServer::OpenResult::Serving:
        return contact;
      case platform::ChannelServer::OpenResult::Failed:
        contact.problem = contact.channel->Problem();
        contact.channel.reset();
        return contact;
      case platform::ChannelServer::OpenResult::Taken:
        // Another start holds it: it runs but did not answer in time, or is about to listen.
        contact.channel.reset();
        answer = AskHolder(place, request.line);
        break;
    }
  }
  if (answer.outcome == Outcome::Answered) return {Handed(answer.line, settings), nullptr, {}};
  if (answer.outcome == Outcome::NoneRunning) {
    std::fprintf(stderr, "tramlet: not running on port %d\n", settings.Port());
  } else {
    std::fprintf(stderr, "tramlet: the Tramlet on port %d cannot be reached: %s\n", settings.Port(),
                 answer.problem.c_str());
  }
  return {1, nullptr, {}};
}

}  // namespace

int main(int argc, char** argv) {
  const CommandLine commandLine = ReadCommandLine(argc, argv);
  if (commandLine.exitStatus) return *commandLine.exitStatus;
  const tramlet::Settings& settings = commandLine.settings;
  // Most often the port is taken by this very program, started before. One instance per port:
  // a start with --port asks the one on that port, and may run beside one on another.
  Contact contact = ContactRunning(settings);
  if (contact.exitStatus) return *contact.exitStatus;
  // One allocator arena: the extra arenas made for busy threads keep what thousands of runs
  // freed resident, and trimming cannot shrink them.
  mallopt(M_ARENA_MAX, 1);
  // Qt would abort without a platform it can start on; the proxy is still worth running.
  const win::TPlatformChoice platform = win::SetUpPlatform(false);
  const bool headless = platform.headless;
  CatchStopSignals();
  // What it says on standard error later (where it listens, what fails) must not end it once
  // the reader has gone, as a script that waited for one line and left.
  std::signal(SIGPIPE, SIG_IGN);
  rtl::RaiseOpenFileLimit();

  // Qt wants a runtime directory and complains on standard error when none is set: it may have
  // the private one the channel lives in.
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); !runtime || !*runtime) {
    const platform::ChannelPlace place = ChannelPlaceFor(settings);
    const std::size_t slash = place.socketPath.rfind('/');
    if (place.problem.empty() && slash != std::string::npos && slash > 0)
      setenv("XDG_RUNTIME_DIR", place.socketPath.substr(0, slash).c_str(), 1);
  }
  win::TApplication application(argc, argv);
  if (!platform.notice.empty()) std::fprintf(stderr, "%s\n", platform.notice.c_str());
  if (!contact.channel) {
    std::fprintf(stderr,
                 "tramlet: no channel for later starts (%s); --status cannot reach this one\n",
                 contact.problem.c_str());
  }
  application.SetIcon(TramletIcon());
  // Without a display no box can be seen: what it would show goes to standard error.
  if (headless) {
    application.OnException = [](const std::exception& error) {
      std::fprintf(stderr, "tramlet: %s\n", OneLine(win::ErrorReportText(error.what())).c_str());
    };
  }
  QSocketNotifier stopRequests(signalPipe[0], QSocketNotifier::Read);
  QObject::connect(&stopRequests, &QSocketNotifier::activated, [&] { application.Terminate(); });

  auto* form = new TProxyForm(&application);  // the application owns it
  form->ListenOn(settings.Port(), settings.listen);
  Apply(*form, settings);
  // A script started beside it can wait for this line before it sends its first request.
  form->OnListening = [](const std::vector<std::string>& where) {
    std::string line = "tramlet: listening on";
    for (const std::string& address : where)
      line += " " + address;
    std::fprintf(stderr, "%s\n", line.c_str());
  };
  std::unique_ptr<win::TSingleInstance> instance;
  if (contact.channel) {
    instance = std::make_unique<win::TSingleInstance>(std::move(contact.channel));
    instance->OnRequest = [form, &settings](const std::string& request) -> std::string {
      if (request != "status") {
        const std::optional<tramlet::Settings> changes = tramlet::DecodeSetRequest(request);
        if (!changes) return {};
        Apply(*form, *changes);
      }
      return tramlet::EncodeState(StateOf(settings, *form));
    };
  }
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
