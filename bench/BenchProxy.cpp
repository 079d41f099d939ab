#include "BenchProxy.h"

namespace bench {

BenchProxy::BenchProxy(std::int32_t limit)
    : handler_(view_, counters_), server_(std::make_unique<TIdTCPServer>()) {
  counters_.SpeedLimit.store(limit);
  server_->SetDefaultPort(0);
  server_->Bindings().AddBinding()->SetIP("127.0.0.1");
  server_->SetListenQueue(Id_SOMAXCONN);
  handler_.ServeOn(*server_);
  server_->SetActive(true);
  port_ = server_->Bindings().BindingAt(0)->Port();
}

BenchProxy::~BenchProxy() {
  // The server waits for the peer threads, which use the handler and the view: it goes first.
  server_.reset();
}

}  // namespace bench
