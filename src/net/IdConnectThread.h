#pragma once

#include <string>

#include "net/IdSocketHandle.h"
#include "rtl/Thread.h"

// Makes one blocking connect of a socket handle on a thread of its own, so that the caller can
// give up after a time-out: closing the socket from the caller ends the pending connect.
//
// Created suspended and never frees itself. The caller gives it the handle, resumes it, and reads
// FailureMessage only after Terminated is set: the thread sets that flag itself as its last step,
// so it doubles as the finished flag. Until then the thread is the only user of the handle apart
// from Close.
class TIdConnectThread : public rtl::TThread {
 public:
  TIdConnectThread() : TThread(true) {}
  ~TIdConnectThread() override;

  TIdSocketHandle* SocketHandle() const { return socketHandle_; }
  void SetSocketHandle(TIdSocketHandle* value) { socketHandle_ = value; }
  // The message of the error that ended the connect; empty when it succeeded.
  const std::string& FailureMessage() const { return failureMessage_; }

 protected:
  void Execute() override;

 private:
  TIdSocketHandle* socketHandle_ = nullptr;  // not owned
  std::string failureMessage_;               // written by the thread before it sets Terminated
};
