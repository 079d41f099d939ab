#pragma once

// The proxy served as the program serves it (a TCP server whose execute handler is a proxy
// handler run), on 127.0.0.1 at a port the system picks, with settings, counters and a view of its
// own, so that several can run side by side.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "net/IdPeerThread.h"
#include "net/IdSocketHandle.h"
#include "net/IdTCPServer.h"
#include "proxy/Limits.h"
#include "proxy/LiveSettings.h"
#include "proxy/ProxyCounters.h"
#include "proxy/ProxyHandler.h"
#include "proxy/ProxyView.h"

namespace test {

// Records what handler runs show, in the order the runs issued it. Without keepTexts it only
// counts the status captions (each paced slice shows one), for loads too large to keep the texts.
class RecordingView : public proxy::ProxyView {
 public:
  explicit RecordingView(bool keepTexts = true) : keepTexts_(keepTexts) {}

  void SetConnectionCaption(std::string text) override { Add("count", text); }
  void SetStatusCaption(std::string text) override {
    ++statusCount_;
    Add("status", text);
  }
  void AppendUploadLine(std::string_view line) override { Add("upload", line); }
  void AppendDownloadText(std::string_view text) override { Add("download", text); }

  // Every text shown under one kind ("count", "status", "upload", "download").
  std::vector<std::string> Of(const std::string& kind) const;
  std::int64_t StatusCount() const { return statusCount_.load(); }

 private:
  void Add(std::string kind, std::string_view text);

  const bool keepTexts_;
  std::atomic<std::int64_t> statusCount_{0};
  mutable std::mutex mutex_;
  std::vector<std::pair<std::string, std::string>> events_;  // guarded by mutex_
};

struct LoopbackProxyOptions {
  // The runs' pause between slices; empty: the real one-second pause.
  proxy::ProxyHandler::PauseFunction pause = {};
  // The runs' deadlines and budget; tests shorten them.
  proxy::RunLimits limits = {};
  // Supplies the peer threads when given; it must outlive the proxy.
  TIdThreadMgr* threadMgr = nullptr;
  // The listen queue; 0 leaves the server's default.
  std::int32_t listenQueue = 0;
  // The speed limit in kB/s; 0 leaves the settings' default.
  std::int32_t speedLimit = 0;
  bool keepViewTexts = true;
  // Whether the server listens at once; when not, the test activates it through Server().
  bool activate = true;
};

class LoopbackProxy {
 public:
  explicit LoopbackProxy(proxy::ProxyHandler::PauseFunction pause = {})
      : LoopbackProxy(LoopbackProxyOptions{std::move(pause)}) {}
  explicit LoopbackProxy(LoopbackProxyOptions options);
  ~LoopbackProxy();
  LoopbackProxy(const LoopbackProxy&) = delete;
  LoopbackProxy& operator=(const LoopbackProxy&) = delete;

  TIdTCPServer& Server() { return *server_; }
  RecordingView& View() { return view_; }
  proxy::LiveSettings& Settings() { return settings_; }
  proxy::ProxyCounters& Counters() { return counters_; }
  proxy::ProxyHandler& Handler() { return handler_; }
  std::int32_t Port() const { return server_->Bindings().BindingAt(0)->Port(); }
  // Waits until no run is counted and the last count shown (if any) says so: a run lowers the
  // count before it shows the new one.
  bool WaitUntilIdle();

 private:
  RecordingView view_;
  proxy::LiveSettings settings_;
  proxy::ProxyCounters counters_;
  proxy::ProxyHandler handler_;
  std::unique_ptr<TIdTCPServer> server_;
};

}  // namespace test
