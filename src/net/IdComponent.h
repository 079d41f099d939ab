#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "rtl/Component.h"
#include "rtl/Format.h"

enum TIdStatus {
  hsResolving,
  hsConnecting,
  hsConnected,
  hsDisconnecting,
  hsDisconnected,
  hsStatusText,
  ftpTransfer,
  ftpReady,
  ftpAborted
};

enum TWorkMode { wmRead, wmWrite };

class TIdComponent;
using TIdStatusEvent =
    std::function<void(TIdComponent* ASender, TIdStatus AStatus, const std::string& AStatusText)>;
using TWorkBeginEvent =
    std::function<void(TIdComponent* Sender, TWorkMode AWorkMode, std::int32_t AWorkCountMax)>;
using TWorkEvent =
    std::function<void(TIdComponent* Sender, TWorkMode AWorkMode, std::int32_t AWorkCount)>;
using TWorkEndEvent = std::function<void(TIdComponent* Sender, TWorkMode AWorkMode)>;

// Base of every network component: status and work events, and registration as a user of the
// process-wide socket stack (the first component creates the stack, the last one frees it).
class TIdComponent : public rtl::TComponent {
 public:
  explicit TIdComponent(rtl::TComponent* owner = nullptr);
  ~TIdComponent() override;

  TIdStatusEvent OnStatus;
  TWorkBeginEvent OnWorkBegin;
  TWorkEvent OnWork;
  TWorkEndEvent OnWorkEnd;

  // The format string of a status ("Connecting to %s.").
  static const char* StatusText(TIdStatus status);

  // Formats the status text with the arguments (one empty text when none) and fires OnStatus.
  void ReportStatus(TIdStatus status, std::vector<rtl::FormatArg> arguments = {});

  virtual void StartWork(TWorkMode mode, std::int32_t maximum);
  virtual void AdvanceWork(TWorkMode mode, std::int32_t count);
  virtual void FinishWork(TWorkMode mode);

 private:
  struct WorkState {
    std::int32_t nesting = 0;
    std::int32_t maximum = 0;
    std::int32_t position = 0;
  };
  WorkState workState_[2];
};
