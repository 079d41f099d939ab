#include "rtl/Time.h"

#include <chrono>
#include <thread>

#include <sys/syscall.h>
#include <unistd.h>

namespace rtl {

std::uint32_t GetTickCount() {
  using namespace std::chrono;
  return static_cast<std::uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void Sleep(std::int32_t milliseconds) {
  if (milliseconds <= 0)
    std::this_thread::yield();
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

std::uint32_t GetCurrentThreadId() {
  thread_local const auto id = static_cast<std::uint32_t>(::syscall(SYS_gettid));
  return id;
}

}  // namespace rtl
