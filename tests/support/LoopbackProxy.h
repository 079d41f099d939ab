#pragma once

// The proxy served as the program serves it (a TCP server whose execute handler is a proxy
// handler run), on 127.0.0.1 at a port the system picks, with counters of its own and without
// the one-second pauses.

#include <cstdint>
#include <memory>
#include <string>

#include "net/IdPeerThread.h"
#include "net/IdSocketHandle.h"
#include "net/IdTCPServer.h"
#include "proxy/ProxyCounters.h"
#include "proxy/ProxyHandler.h"
#include "proxy/ProxyView.h"

namespace test {

class NullProxyView : public proxy::ProxyView {
 public:
  void SetConnectionCaption(std::string) override {}
  void SetStatusCaption(std::string) override {}
  void AppendUploadLine(std::string) override {}
  void AppendDownloadText(std::string) override {}
};

class LoopbackProxy {
 public:
  // threadMgr, when given, supplies the peer threads; it must outlive the proxy.
  explicit LoopbackProxy(TIdThreadMgr* threadMgr = nullptr)
      : handler_(view_, counters_, [](std::int32_t) {}), server_(std::make_unique<TIdTCPServer>()) {
    TIdSocketHandle* binding = server_->Bindings().AddBinding();
    binding->SetIP("127.0.0.1");
    binding->SetPort(0);
    if (threadMgr) server_->SetThreadMgr(threadMgr);
    handler_.ServeOn(*server_);
  }
  ~LoopbackProxy() { server_.reset(); }  // its runs use the handler and the view
  LoopbackProxy(const LoopbackProxy&) = delete;
  LoopbackProxy& operator=(const LoopbackProxy&) = delete;

  TIdTCPServer& Server() { return *server_; }
  proxy::ProxyCounters& Counters() { return counters_; }
  std::int32_t Port() { return server_->Bindings().BindingAt(0)->Port(); }

 private:
  NullProxyView view_;
  proxy::ProxyCounters counters_;
  proxy::ProxyHandler handler_;
  std::unique_ptr<TIdTCPServer> server_;
};

}  // namespace test
