#include "ProxyTestSupport.h"

#include <gtest/gtest.h>

namespace test {

std::string Get(std::int32_t originPort, const std::string& path) {
  return "GET http://127.0.0.1:" + std::to_string(originPort) + path +
         " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n\r\n";
}

OriginScript ReadUntilQuiet(std::string answer) {
  OriginScript script{{{std::move(answer)}}};
  script.readWaitMs = 300;
  script.readUntilQuiet = true;
  return script;
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

}  // namespace test
