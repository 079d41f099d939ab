#pragma once

#include <future>
#include <memory>
#include <thread>
#include <utility>

namespace test {

// Runs call on a thread of its own that is detached, so that a call which never returns fails the
// test at its time limit instead of hanging the program. call must own what it uses.
template <class Call>
auto RunDetached(Call call) -> std::future<decltype(call())> {
  auto promise = std::make_shared<std::promise<decltype(call())>>();
  auto result = promise->get_future();
  std::thread([promise, call = std::move(call)]() mutable { promise->set_value(call()); }).detach();
  return result;
}

}  // namespace test
