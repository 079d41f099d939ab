#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/IdPeerThread.h"
#include "net/IdSocketHandle.h"
#include "net/IdTCPServer.h"
#include "proxy/ProxyHandler.h"

namespace test {

// Records what handler runs show, in the order the runs issued it.
class RecordingView : public proxy::ProxyView {
 public:
  void SetConnectionCaption(std::string text) override { Add("count", std::move(text)); }
  void SetStatusCaption(std::string text) override { Add("status", std::move(text)); }
  void AppendUploadLine(std::string line) override { Add("upload", std::move(line)); }
  void AppendDownloadText(std::string text) override { Add("download", std::move(text)); }

  // Every text shown under one kind ("count", "status", "upload", "download").
  std::vector<std::string> Of(const std::string& kind) const;

 private:
  void Add(std::string kind, std::string text);
  mutable std::mutex mutex_;
  std::vector<std::pair<std::string, std::string>> events_;  // guarded by mutex_
};

// A slice pause the test opens one slice at a time, so pacing is observed without sleeping.
class PauseGate {
 public:
  void Pause(std::int32_t milliseconds);
  // Lets one waiting (or the next) pause pass.
  void Release();
  // Lets every pause pass from now on.
  void Open();
  // Pauses entered so far.
  int Entered() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int permits_ = 0;
  int entered_ = 0;
  bool open_ = false;
};

// The proxy as the program builds it: a TCP server whose execute handler is a proxy handler run,
// here on a system-chosen loopback port.
class ProxyUnderTest {
 public:
  explicit ProxyUnderTest(proxy::ProxyHandler::PauseFunction pause = {},
                          proxy::ProxyHandler::Timing timing = {});
  ~ProxyUnderTest();

  std::int32_t Port() const { return port_; }
  RecordingView& View() { return view_; }
  proxy::ProxyCounters& Counters() { return counters_; }
  TIdTCPServer& Server() { return *server_; }

 private:
  RecordingView view_;
  proxy::ProxyCounters counters_;
  proxy::ProxyHandler handler_;
  std::unique_ptr<TIdTCPServer> server_;
  std::int32_t port_ = 0;
};

}  // namespace test
