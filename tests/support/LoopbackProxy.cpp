#include "support/LoopbackProxy.h"

#include "support/WaitUntil.h"

namespace test {

std::vector<std::string> RecordingView::Of(const std::string& kind) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> texts;
  for (const auto& [k, text] : events_)
    if (k == kind) texts.push_back(text);
  return texts;
}

void RecordingView::Add(std::string kind, std::string_view text) {
  if (!keepTexts_) return;
  std::lock_guard lock(mutex_);
  events_.emplace_back(std::move(kind), std::string(text));
}

LoopbackProxy::LoopbackProxy(LoopbackProxyOptions options)
    : view_(options.keepViewTexts),
      handler_(view_, settings_, counters_, std::move(options.pause), options.limits),
      server_(std::make_unique<TIdTCPServer>()) {
  if (options.speedLimit > 0) settings_.SpeedLimit.store(options.speedLimit);
  TIdSocketHandle* binding = server_->Bindings().AddBinding();
  binding->SetIP("127.0.0.1");
  binding->SetPort(0);
  if (options.listenQueue > 0) server_->SetListenQueue(options.listenQueue);
  if (options.threadMgr) server_->SetThreadMgr(options.threadMgr);
  server_->OnExecute = [this](TIdPeerThread* thread) { handler_.Execute(thread); };
  if (options.activate) server_->SetActive(true);
}

bool LoopbackProxy::WaitUntilIdle() {
  return WaitUntil([this] {
    if (counters_.ConnectionCount.load() != 0) return false;
    const std::vector<std::string> counts = view_.Of("count");
    return counts.empty() || counts.back() == "Concurrent connections: 0";
  });
}

LoopbackProxy::~LoopbackProxy() {
  // The server waits for the peer threads, whose runs use the handler and the view: it goes first.
  server_.reset();
}

}  // namespace test
