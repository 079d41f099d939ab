#include "platform/windowing/SingleInstance.h"

#include <algorithm>
#include <chrono>

#include <QSocketNotifier>
#include <QTimer>

#include "platform/InstanceChannel.h"
#include "platform/windowing/Application.h"
#include "platform/windowing/Form.h"
#include "platform/windowing/TrayHostWatch.h"
#include "platform/windowing/Windows.h"

namespace win {

void ShowMainFormNow() {
  TApplication* app = TApplication::Instance();
  TForm* form = app ? app->MainForm() : nullptr;
  if (!form || app->Terminated()) return;
  ShowWindow(app->Handle(), SW_RESTORE);
  ShowWindow(form->Handle(), SW_SHOWNORMAL);
  SetForegroundWindow(form->Handle());
}

TSingleInstance::TSingleInstance(std::unique_ptr<platform::ChannelServer> channel)
    : channel_(std::move(channel)),
      listening_(
          std::make_unique<QSocketNotifier>(channel_->ListenDescriptor(), QSocketNotifier::Read)),
      deadline_(std::make_unique<QTimer>()) {
  channel_->OnRequest = [this](const std::string& request) { return Answer(request); };
  QObject::connect(listening_.get(), &QSocketNotifier::activated, [this] { Accept(); });
  deadline_->setSingleShot(true);
  QObject::connect(deadline_.get(), &QTimer::timeout, [this] { CloseOverdue(); });
}

// The notifiers go before the channel closes the descriptors they watch.
TSingleInstance::~TSingleInstance() {
  connections_.clear();
  listening_.reset();
}

void TSingleInstance::Accept() {
  for (const int fd : channel_->Accept(std::chrono::steady_clock::now())) {
    auto notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, [this, fd] { Read(fd); });
    connections_[fd] = std::move(notifier);
  }
  ScheduleDeadline();
}

void TSingleInstance::Read(int fd) {
  if (channel_->Read(fd)) return;
  Forget(fd);
  ScheduleDeadline();
}

void TSingleInstance::CloseOverdue() {
  for (const int fd : channel_->CloseOverdue(std::chrono::steady_clock::now()))
    Forget(fd);
  ScheduleDeadline();
}

void TSingleInstance::Forget(int fd) {
  const auto found = connections_.find(fd);
  if (found == connections_.end()) return;
  // Deleted later, as this may run from its own signal; silent now, since the descriptor's
  // number may come back with the next connection.
  found->second->setEnabled(false);
  found->second.release()->deleteLater();
  connections_.erase(found);
}

void TSingleInstance::ScheduleDeadline() {
  const auto next = channel_->NextDeadline();
  if (!next) {
    deadline_->stop();
    return;
  }
  const auto wait =
      std::chrono::ceil<std::chrono::milliseconds>(*next - std::chrono::steady_clock::now());
  deadline_->start(std::max(wait, std::chrono::milliseconds(0)));
}

std::string TSingleInstance::Answer(const std::string& request) {
  if (request != kShowRequest) return OnRequest ? OnRequest(request) : std::string();
  // Where Qt draws nowhere, a shown window would be seen by no one.
  if (detail::PlatformShowsNothing()) return kWithoutWindowAnswer;
  ShowMainFormNow();
  return kShownAnswer;
}

}  // namespace win
