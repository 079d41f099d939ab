#pragma once

// Small helpers the network layer shares: integer and text routines, pauses and thread tests.
// Positions are 1-based with 0 meaning "not found", as the layer's callers expect.

#include <cstdint>
#include <string>
#include <string_view>

// The smaller of a and b.
constexpr std::int32_t MinInt(std::int32_t a, std::int32_t b) {
  return a < b ? a : b;
}

// Suspends the calling thread for the given milliseconds.
void PauseMs(std::int32_t milliseconds);

// True on the process's main thread (the one that ran main()).
bool IsMainThread();

// True when threadId is the calling thread's id (rtl::GetCurrentThreadId).
bool IsCallingThread(std::uint32_t threadId);

// Position of pattern within the first size bytes of buffer; 0 when the pattern is empty, longer
// than size, or absent.
std::int32_t FindInMemory(std::string_view pattern, const void* buffer, std::int32_t size);

// Position of pattern in text at or after position start (0 counts as 1); 0 when the pattern is
// empty, longer than the text, or absent.
std::int32_t FindFrom(std::string_view pattern, std::string_view text, std::int32_t start = 1);

// text without the blanks and control characters (bytes 0 to 32) at either end.
std::string TrimControls(std::string_view text);

// Returns the part of text before the first delimiter. With remove set, text becomes what follows
// the delimiter, or empty when there is none. The case-insensitive form compares ASCII upper case.
std::string CutToken(std::string& text, std::string_view delimiter, bool remove = true,
                     bool caseSensitive = true);

// Strict decimal conversion: an optional sign and digits, nothing else, within 32 bits. Anything
// else raises EConvertError "'%s' is not a valid integer value".
std::int32_t StrToInt(std::string_view text);

// As StrToInt, but gives fallback instead of raising.
std::int32_t StrToIntDef(std::string_view text, std::int32_t fallback);
