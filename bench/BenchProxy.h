#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "net/IdPeerThread.h"
#include "net/IdSocketHandle.h"
#include "net/IdTCPServer.h"
#include "proxy/ProxyCounters.h"
#include "proxy/ProxyHandler.h"
#include "proxy/ProxyView.h"

namespace bench {

// A view that only counts: every "Speed limit in action" caption is one paced slice.
class CountingView : public proxy::ProxyView {
 public:
  void SetConnectionCaption(std::string) override {}
  void SetStatusCaption(std::string) override { slices_.fetch_add(1); }
  void AppendUploadLine(std::string) override {}
  void AppendDownloadText(std::string) override {}

  std::int64_t Slices() const { return slices_.load(); }

 private:
  std::atomic<std::int64_t> slices_{0};
};

// The proxy as the program builds it (a TCP server with the system's largest listen queue whose
// execute handler is a proxy handler run, with real one-second pauses), on a system-chosen port of
// 127.0.0.1 and with counters of its own, so several can pace at different limits side by side.
class BenchProxy {
 public:
  explicit BenchProxy(std::int32_t limit);
  ~BenchProxy();
  BenchProxy(const BenchProxy&) = delete;
  BenchProxy& operator=(const BenchProxy&) = delete;

  std::int32_t Port() const { return port_; }
  proxy::ProxyCounters& Counters() { return counters_; }
  std::int64_t Slices() const { return view_.Slices(); }

 private:
  CountingView view_;
  proxy::ProxyCounters counters_;
  proxy::ProxyHandler handler_;
  std::unique_ptr<TIdTCPServer> server_;
  std::int32_t port_ = 0;
};

}  // namespace bench
