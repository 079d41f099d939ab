#pragma once

#include <cstdint>

namespace rtl {

// Milliseconds since an arbitrary start, wrapping at 2^32 like the Windows tick count.
std::uint32_t GetTickCount();

// Blocks the calling thread; 0 or less just yields.
void Sleep(std::int32_t milliseconds);

// A small number that identifies the calling thread for as long as it runs.
std::uint32_t GetCurrentThreadId();

}  // namespace rtl
