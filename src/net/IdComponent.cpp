#include "net/IdComponent.h"

#include "net/IdStack.h"

TIdComponent::TIdComponent(rtl::TComponent* owner) : rtl::TComponent(owner) {
  AddStackUser();
}

TIdComponent::~TIdComponent() {
  RemoveStackUser();
}

const char* TIdComponent::StatusText(TIdStatus status) {
  switch (status) {
    case hsResolving:
      return "Resolving hostname %s.";
    case hsConnecting:
      return "Connecting to %s.";
    case hsConnected:
      return "Connected.";
    case hsDisconnecting:
      return "Disconnecting.";
    case hsDisconnected:
      return "Disconnected.";
    case hsStatusText:
    case ftpTransfer:
    case ftpReady:
    case ftpAborted:
      return "%s";
  }
  return "%s";
}

void TIdComponent::ReportStatus(TIdStatus status, std::vector<rtl::FormatArg> arguments) {
  if (!OnStatus) return;
  // The texts with a placeholder still read sensibly when the caller has nothing to fill in.
  if (arguments.empty()) arguments.emplace_back("");
  OnStatus(this, status, rtl::FormatList(StatusText(status), arguments));
}

void TIdComponent::StartWork(TWorkMode mode, std::int32_t maximum) {
  WorkState& state = workState_[mode];
  if (++state.nesting != 1) return;
  state.maximum = maximum;
  state.position = 0;
  if (OnWorkBegin) OnWorkBegin(this, mode, maximum);
}

void TIdComponent::AdvanceWork(TWorkMode mode, std::int32_t count) {
  WorkState& state = workState_[mode];
  if (state.nesting < 1) return;
  // Long transfers pass 2^31 bytes; the count wraps as a 32-bit number instead of overflowing.
  state.position = static_cast<std::int32_t>(static_cast<std::uint32_t>(state.position) +
                                             static_cast<std::uint32_t>(count));
  if (OnWork) OnWork(this, mode, state.position);
}

void TIdComponent::FinishWork(TWorkMode mode) {
  WorkState& state = workState_[mode];
  if (state.nesting == 1 && OnWorkEnd) OnWorkEnd(this, mode);
  // A stray finish must not leave the count below zero, or the next start would never begin.
  if (state.nesting > 0) --state.nesting;
}
