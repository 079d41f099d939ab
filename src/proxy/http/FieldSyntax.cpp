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

bool IsHexDigit(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Four decimal numbers up to 255, apart by dots.
bool IsDottedQuad(std::string_view text) {
  std::size_t parts = 0;
  for (std::size_t at = 0; at <= text.size(); at = std::min(text.find('.', at), text.size()) + 1) {
    const std::string_view part = text.substr(at, std::min(text.find('.', at), text.size()) - at);
    if (part.size() > 3 || !Number(part, 255) || ++parts > 4) return false;
  }
  return parts == 4;
}

}  // namespace

bool IsIPv6Literal(std::string_view text) {
  if (text.size() < 2 || text.size() > 45) return false;
  std::size_t groups = 0;
  bool gap = false;
  std::size_t at = 0;
  if (text.starts_with("::")) {
    gap = true;
    at = 2;
  } else if (text.front() == ':') {
    return false;
  }
  while (at < text.size()) {
    const std::size_t end = std::min(text.find(':', at), text.size());
    const std::string_view group = text.substr(at, end - at);
    if (end == text.size() && group.find('.') != std::string_view::npos) {
      if (!IsDottedQuad(group)) return false;
      groups += 2;
      break;
    }
    if (group.empty() || group.size() > 4 || !std::all_of(group.begin(), group.end(), IsHexDigit))
      return false;
    ++groups;
    if (end == text.size()) break;
    at = end + 1;
    if (at == text.size()) return false;  // a lone colon at the end
    if (text[at] == ':') {
      if (gap) return false;
      gap = true;
      ++at;
    }
  }
  return gap ? groups <= 7 : groups == 8;
}

bool IsLinkLocalIPv6(std::string_view literal) {
  // The first group is written out unless the address starts with "::", which makes it 0.
  const std::string_view first = literal.substr(0, literal.find(':'));
  if (first.empty() || first.size() > 4 || !std::all_of(first.begin(), first.end(), IsHexDigit))
    return false;
  unsigned value = 0;
  for (const char c : first)
    value = value * 16 + static_cast<unsigned>(IsDigit(c) ? c - '0' : (AsciiLower(c) - 'a' + 10));
  return (value & 0xffc0U) == 0xfe80U;
}

std::optional<std::string> IPv6LiteralAddress(std::string_view inside) {
  const std::size_t percent = inside.find('%');
  const std::string_view address = inside.substr(0, percent);
  if (!IsIPv6Literal(address)) return std::nullopt;
  if (percent == std::string_view::npos) return std::string(address);
  // A zone is written "%25" and a name of unreserved characters.
  const std::string_view zone = inside.substr(percent);
  constexpr std::size_t kMaxZoneBytes = 64;  // interface names are far shorter
  if (!zone.starts_with("%25") || zone.size() == 3 || zone.size() > 3 + kMaxZoneBytes ||
      !std::all_of(zone.begin() + 3, zone.end(), [](char c) {
        return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
               c == '.' || c == '_' || c == '~';
      }))
    return std::nullopt;
  return std::string(address) + "%" + std::string(zone.substr(3));
}

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

std::optional<Field> ParseField(std::string_view line) {
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || !IsToken(line.substr(0, colon))) return std::nullopt;
  return Field{line.substr(0, colon), TrimBlanks(line.substr(colon + 1))};
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
