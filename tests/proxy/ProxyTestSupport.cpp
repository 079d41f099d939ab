#include "ProxyTestSupport.h"

#include <gtest/gtest.h>

namespace test {

std::vector<std::string> RecordingView::Of(const std::string& kind) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> texts;
  for (const auto& [k, text] : events_)
    if (k == kind) texts.push_back(text);
  return texts;
}

void RecordingView::Add(std::string kind, std::string text) {
  std::lock_guard lock(mutex_);
  events_.emplace_back(std::move(kind), std::move(text));
}

void PauseGate::Pause(std::int32_t) {
  std::unique_lock lock(mutex_);
  ++entered_;
  changed_.notify_all();
  changed_.wait(lock, [this] { return open_ || permits_ > 0; });
  if (!open_) --permits_;
}

void PauseGate::Release() {
  std::lock_guard lock(mutex_);
  ++permits_;
  changed_.notify_all();
}

void PauseGate::Open() {
  std::lock_guard lock(mutex_);
  open_ = true;
  changed_.notify_all();
}

int PauseGate::Entered() const {
  std::lock_guard lock(mutex_);
  return entered_;
}

ProxyUnderTest::ProxyUnderTest(proxy::ProxyHandler::PauseFunction pause,
                               proxy::ProxyHandler::Timing timing)
    : handler_(view_, counters_, std::move(pause), timing),
      server_(std::make_unique<TIdTCPServer>()) {
  server_->SetDefaultPort(0);
  server_->Bindings().AddBinding()->SetIP("127.0.0.1");
  handler_.ServeOn(*server_);
  server_->SetActive(true);
  port_ = server_->Bindings().BindingAt(0)->Port();
}

ProxyUnderTest::~ProxyUnderTest() {
  server_.reset();
}

}  // namespace test
