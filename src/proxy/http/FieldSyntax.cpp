#include "proxy/http/FieldSyntax.h"

#include <algorithm>
#include <limits>

namespace proxy::http {
namespace {

// Digits only, at most max; nothing for anything else or an empty text.
std::optional<std::int64_t> Number(std::string_view text, std::int64_t max) {
  if (text.empty()) return std::nullopt;
  std::int64_t value = 0;
  for (char c : text) {
    if (!IsDigit(c) || value > (max - (c - '0')) / 10) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

bool IsToken(std::string_view text) {
  constexpr std::string_view kSymbols = "!#$%&'*+-.^_`|~";
  return !text.empty() && std::all_of(text.begin(), text.end(), [&](char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           kSymbols.find(c) != std::string_view::npos;
  });
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back()))
    text.remove_suffix(1);
  return text;
}

std::vector<std::string_view> ListElements(std::string_view value) {
  std::vector<std::string_view> elements;
  for (std::size_t at = 0; at <= value.size();) {
    const std::size_t comma = std::min(value.find(',', at), value.size());
    if (const std::string_view element = TrimBlanks(value.substr(at, comma - at)); !element.empty())
      elements.push_back(element);
    at = comma + 1;
  }
  return elements;
}

bool FieldNameIs(std::string_view name, std::string_view lowerCaseName) {
  return name.size() == lowerCaseName.size() &&
         std::equal(name.begin(), name.end(), lowerCaseName.begin(),
                    [](char c, char lower) { return AsciiLower(c) == lower; });
}

std::optional<std::int64_t> ParseContentLength(std::string_view value) {
  std::optional<std::int64_t> length;
  for (const std::string_view element : ListElements(value)) {
    const std::optional<std::int64_t> parsed =
        Number(element, std::numeric_limits<std::int64_t>::max());
    if (!parsed || (length && *length != *parsed)) return std::nullopt;
    length = parsed;
  }
  return length;
}

std::optional<Version> ParseVersion(std::string_view text) {
  if (text.size() != 8 || !text.starts_with("HTTP/") || !IsDigit(text[5]) || text[6] != '.' ||
      !IsDigit(text[7]))
    return std::nullopt;
  return Version{text[5] - '0', text[7] - '0'};
}

std::optional<int> ParseStatusCode(std::string_view text) {
  if (text.size() != 3) return std::nullopt;
  const std::optional<std::int64_t> code = Number(text, 999);
  if (!code) return std::nullopt;
  return static_cast<int>(*code);
}

std::optional<std::int32_t> ParsePort(std::string_view text) {
  const std::optional<std::int64_t> port = Number(text, 65535);
  if (!port || *port == 0) return std::nullopt;
  return static_cast<std::int32_t>(*port);
}

}  // namespace proxy::http
