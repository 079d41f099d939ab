#include "proxy/RequestHead.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

namespace proxy {
namespace {

constexpr std::string_view kBadRequest = "HTTP/1.0 400 Bad Request";
constexpr std::string_view kVersionNotSupported = "HTTP/1.0 505 HTTP Version Not Supported";

constexpr bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The characters of a method or a field name.
bool IsToken(std::string_view text) {
  constexpr std::string_view kSymbols = "!#$%&'*+-.^_`|~";
  return !text.empty() && std::all_of(text.begin(), text.end(), [&](char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           kSymbols.find(c) != std::string_view::npos;
  });
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  return text;
}

// The elements of a comma-separated field value, blanks around them removed, empty ones left out.
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

// A Content-Length value: one number, or a list of the same number; nothing when malformed or
// beyond 64 bits.
std::optional<std::int64_t> LengthOf(std::string_view value) {
  const std::vector<std::string_view> elements = ListElements(value);
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::optional<std::int64_t> length;
  for (const std::string_view element : elements) {
    std::int64_t parsed = 0;
    for (char c : element) {
      if (!IsDigit(c) || parsed > (kMax - (c - '0')) / 10) return std::nullopt;
      parsed = parsed * 10 + (c - '0');
    }
    if (length && *length != parsed) return std::nullopt;
    length = parsed;
  }
  return length;
}

// A field line's name, or nothing when the line is no well-formed field line: folded onto the
// line before, without a colon, or with anything but a token before it (blanks included).
std::optional<std::string_view> FieldName(std::string_view line) {
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || !IsToken(line.substr(0, colon))) return std::nullopt;
  return line.substr(0, colon);
}

// The request line: method SP target SP version, as sent or refused.
RequestHead JudgeRequestLine(std::string_view requestLine) {
  RequestHead head;
  head.Refusal = kBadRequest;
  const std::string line = Trim(requestLine);
  const std::size_t methodEnd = line.find(' ');
  const std::size_t targetEnd = line.rfind(' ');
  if (methodEnd == std::string::npos || targetEnd == methodEnd) return head;
  const std::string_view method = std::string_view(line).substr(0, methodEnd);
  const std::string_view target =
      std::string_view(line).substr(methodEnd + 1, targetEnd - methodEnd - 1);
  const std::string_view version = std::string_view(line).substr(targetEnd + 1);
  if (version.size() != 8 || !version.starts_with("HTTP/") || !IsDigit(version[5]) ||
      version[6] != '.' || !IsDigit(version[7]))
    return head;
  if (!IsToken(method) || !target.starts_with("http://") ||
      std::any_of(target.begin(), target.end(),
                  [](char c) { return static_cast<unsigned char>(c) <= 32 || c == 127; }))
    return head;
  const std::size_t pathStart = target.find('/', 7);
  if (pathStart == std::string_view::npos) return head;
  const std::string_view authority = target.substr(7, pathStart - 7);
  // An IPv6 literal keeps its brackets, so that the handler can tell it apart.
  const std::size_t colon =
      authority.find(':', authority.starts_with('[') ? authority.find(']') : 0);
  head.Host = authority.substr(0, colon);
  head.PortText = colon == std::string_view::npos ? "80" : authority.substr(colon + 1);
  if (head.Host.empty()) return head;
  if (version[5] != '1') {
    head.Refusal = kVersionNotSupported;
    return head;
  }
  head.Refusal = {};
  head.Line.append(method).append(" ").append(target.substr(pathStart)).append(" HTTP/1.0");
  return head;
}

}  // namespace

bool FieldLinesWellFormed(const LineList& lines) {
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
    if (!FieldName(lines[i])) return false;
  }
  return true;
}

RequestHead JudgeRequest(const LineList& lines) {
  const auto refused = [](std::string_view status) {
    RequestHead refusal;
    refusal.Refusal = status;
    return refusal;
  };
  if (lines.empty()) return refused(kBadRequest);
  RequestHead head = JudgeRequestLine(lines.front());
  if (!head.Refusal.empty()) return head;

  std::optional<std::int64_t> length;
  std::vector<std::string_view> codings;
  bool transferEncoding = false;
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
    const std::string_view line = lines[i];
    const std::optional<std::string_view> name = FieldName(line);
    if (!name) return refused(kBadRequest);
    const std::string_view value = TrimBlanks(line.substr(name->size() + 1));
    if (FieldNameIs(*name, "content-length")) {
      const std::optional<std::int64_t> parsed = LengthOf(value);
      if (!parsed || (length && *length != *parsed)) return refused(kBadRequest);
      // One line of it goes on, and one number in it.
      if (!length) {
        head.Fields.append(value.find(',') == std::string_view::npos
                               ? line
                               : std::string(*name) + ": " + std::to_string(*parsed));
        head.Fields.append("\r\n");
      }
      length = parsed;
    } else if (FieldNameIs(*name, "transfer-encoding")) {
      transferEncoding = true;
      for (const std::string_view coding : ListElements(value))
        codings.push_back(coding);
    } else if (FieldNameIs(*name, "connection") || FieldNameIs(*name, "proxy-connection")) {
      head.Fields.append(*name).append(": close\r\n");
    } else if (!FieldNameIs(*name, "keep-alive")) {
      head.Fields.append(line).append("\r\n");
    }
  }
  if (transferEncoding) {
    if (length || codings.size() != 1 || !FieldNameIs(codings.front(), "chunked"))
      return refused(kBadRequest);
    head.BodyKind = RequestHead::Body::Chunked;
  } else if (length) {
    head.BodyKind = RequestHead::Body::Length;
    head.Length = *length;
  }
  return head;
}

}  // namespace proxy
