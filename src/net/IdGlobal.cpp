#include "net/IdGlobal.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include <unistd.h>

#include "rtl/Exception.h"
#include "rtl/Format.h"
#include "rtl/Synchronize.h"
#include "rtl/Time.h"

namespace {

char UpperAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::optional<std::int32_t> ParseInt32(std::string_view text) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  if (i == text.size()) return std::nullopt;
  std::int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
    if (value > std::int64_t{INT32_MAX} + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

}  // namespace

void PauseMs(std::int32_t milliseconds) {
  rtl::Sleep(milliseconds);
}

// On Linux the main thread's id is the process id, so no start-up registration is needed.
bool IsMainThread() { return rtl::IsMainThread(); }

bool IsCallingThread(std::uint32_t threadId) {
  return threadId == rtl::GetCurrentThreadId();
}

std::int32_t FindInMemory(std::string_view pattern, const void* buffer, std::int32_t size) {
  if (pattern.empty() || buffer == nullptr || size <= 0 ||
      pattern.size() > static_cast<std::size_t>(size))
    return 0;
  std::string_view haystack(static_cast<const char*>(buffer), static_cast<std::size_t>(size));
  std::size_t at = haystack.find(pattern);
  return at == std::string_view::npos ? 0 : static_cast<std::int32_t>(at + 1);
}

std::int32_t FindFrom(std::string_view pattern, std::string_view text, std::int32_t start) {
  if (pattern.empty() || pattern.size() > text.size()) return 0;
  std::size_t from = start <= 1 ? 0 : static_cast<std::size_t>(start - 1);
  if (from >= text.size()) return 0;
  std::size_t at = text.find(pattern, from);
  return at == std::string_view::npos ? 0 : static_cast<std::int32_t>(at + 1);
}

std::string TrimControls(std::string_view text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= 32) ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 32) --end;
  return std::string(text.substr(begin, end - begin));
}

std::string CutToken(std::string& text, std::string_view delimiter, bool remove,
                     bool caseSensitive) {
  std::size_t at;
  if (caseSensitive) {
    at = delimiter.empty() ? std::string::npos : text.find(delimiter);
  } else {
    auto equal = [](char a, char b) { return UpperAscii(a) == UpperAscii(b); };
    auto found = std::search(text.begin(), text.end(), delimiter.begin(), delimiter.end(), equal);
    at = (delimiter.empty() || found == text.end())
             ? std::string::npos
             : static_cast<std::size_t>(found - text.begin());
  }
  if (at == std::string::npos) {
    std::string whole = text;
    if (remove) text.clear();
    return whole;
  }
  std::string head = text.substr(0, at);
  if (remove) text.erase(0, at + delimiter.size());
  return head;
}

std::int32_t StrToInt(std::string_view text) {
  if (auto value = ParseInt32(text)) return *value;
  throw EConvertError(Format("'%s' is not a valid integer value", text));
}

std::int32_t StrToIntDef(std::string_view text, std::int32_t fallback) {
  return ParseInt32(text).value_or(fallback);
}
