#include "proxy/MessageRewriting.h"

#include <algorithm>

namespace proxy {

namespace {

constexpr std::string_view kKeepAlive = "keep-alive";  // lower case, compared case-blind
constexpr std::string_view kClose = "close";

// ASCII only: the wire has no code page, and bytes above 127 must never fold into a keyword
// letter.
constexpr char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

bool KeepAliveAt(std::string_view text, std::size_t at) {
  if (text.size() - at < kKeepAlive.size()) return false;
  for (std::size_t i = 0; i < kKeepAlive.size(); ++i) {
    if (AsciiLower(text[at + i]) != kKeepAlive[i]) return false;
  }
  return true;
}

bool VersionAt(std::string_view text, std::size_t at) {
  return text.size() - at >= 3 && text[at] == '1' && text[at + 1] == '.' && text[at + 2] == '1';
}

// One left-to-right scan doing either or both replacements. Doing both at once gives the same
// bytes as closing keep-alives first and downgrading afterwards: "close" holds no '1' or '.', and
// "keep-alive" shares no byte with "1.1", so no match of one kind can overlap, hide or create a
// match of the other. Unchanged runs are copied in bulk.
template <bool kCloseKeepAlive, bool kDowngrade>
std::string Rewrite(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t pending = 0;  // start of the bytes not yet copied
  std::size_t at = 0;
  while (at < text.size()) {
    const char c = text[at];
    if (kCloseKeepAlive && (c == 'k' || c == 'K') && KeepAliveAt(text, at)) {
      out.append(text.substr(pending, at - pending));
      out.append(kClose);
      at += kKeepAlive.size();
      pending = at;
    } else if (kDowngrade && c == '1' && VersionAt(text, at)) {
      out.append(text.substr(pending, at + 2 - pending));  // keep "1."
      out.push_back('0');
      at += 3;
      pending = at;
    } else {
      ++at;
    }
  }
  out.append(text.substr(pending));
  return out;
}

constexpr bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

constexpr bool IsNameChar(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_';
}

// Digits only, at most `digits` of them, and not above `max`.
std::optional<std::int32_t> SmallNumber(std::string_view text, std::size_t digits,
                                        std::int32_t max) {
  if (text.empty() || text.size() > digits) return std::nullopt;
  std::int32_t value = 0;
  for (char c : text) {
    if (!IsDigit(c)) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value > max) return std::nullopt;
  return value;
}

// Dot-separated labels of name characters; a host of digits and dots only must be a dotted
// address ("1.2.3" or "10.1.300.4" name no host).
bool IsTunnelHost(std::string_view host) {
  if (host.empty() || host.size() > 253) return false;
  const bool address =
      std::all_of(host.begin(), host.end(), [](char c) { return IsDigit(c) || c == '.'; });
  std::size_t labels = 0;
  for (std::size_t at = 0; at <= host.size(); ++labels) {
    std::size_t end = std::min(host.find('.', at), host.size());
    const std::string_view label = host.substr(at, end - at);
    if (label.empty() || label.size() > 63) return false;
    if (!std::all_of(label.begin(), label.end(), IsNameChar)) return false;
    if (address && !SmallNumber(label, 3, 255)) return false;
    at = end + 1;
  }
  return !address || labels == 4;
}

}  // namespace

LineList SplitLines(std::string_view text) {
  LineList lines;
  std::size_t at = 0;
  while (at < text.size() && text[at] != '\0') {
    const std::size_t start = at;
    while (at < text.size() && text[at] != '\r' && text[at] != '\n' && text[at] != '\0')
      ++at;
    lines.emplace_back(text.substr(start, at - start));
    if (at < text.size() && text[at] == '\r') ++at;
    if (at < text.size() && text[at] == '\n') ++at;
  }
  return lines;
}

std::string JoinLines(const LineList& lines) {
  std::size_t size = 0;
  for (const std::string& line : lines)
    size += line.size() + 2;
  std::string text;
  text.reserve(size);
  for (const std::string& line : lines) {
    text.append(line);
    text.append("\r\n");
  }
  return text;
}

RequestTarget ParseRequestLine(std::string_view line) {
  RequestTarget target;
  const std::size_t version = line.find("HTTP/");
  if (version == std::string_view::npos) {
    target.Line = line;
    return target;
  }
  // The head keeps the "HT" of that "HTTP/" and the rest starts at "TP/", so no ':' or '/' of the
  // version (or anything after it) can be taken for part of the target.
  std::string_view head = line.substr(0, version + 2);
  const std::string_view rest = line.substr(version + 2);

  const std::size_t scheme = head.find("http://");
  if (scheme == std::string_view::npos) {
    target.Line = line;
    return target;
  }
  const std::string_view method = head.substr(0, scheme);
  head.remove_prefix(scheme + 7);

  target.PortText = "80";
  const std::size_t colon = head.find(':');
  const std::size_t slash = head.find('/');
  if (colon != std::string_view::npos && slash != std::string_view::npos && colon < slash) {
    target.Host = head.substr(0, colon);
    head.remove_prefix(colon + 1);
    const std::size_t pathStart = head.find('/');  // the slash found above, still ahead
    target.PortText = head.substr(0, pathStart);
    head.remove_prefix(pathStart);
  } else if (slash != std::string_view::npos) {
    target.Host = head.substr(0, slash);
    head.remove_prefix(slash);
  }

  target.Line.reserve(method.size() + head.size() + rest.size());
  target.Line.append(method).append(head).append(rest);
  return target;
}

bool IsConnectLine(std::string_view line) {
  return Trim(line).starts_with("CONNECT ");
}

std::optional<TunnelTarget> ParseConnectLine(std::string_view line) {
  const std::string trimmed = Trim(line);
  std::string_view rest(trimmed);
  constexpr std::string_view kMethod = "CONNECT ";
  if (!rest.starts_with(kMethod)) return std::nullopt;
  rest.remove_prefix(kMethod.size());
  const std::size_t space = rest.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  const std::string_view authority = rest.substr(0, space);
  const std::string_view version = rest.substr(space + 1);
  if (version.size() != 8 || !version.starts_with("HTTP/1.") || !IsDigit(version.back()))
    return std::nullopt;
  const std::size_t colon = authority.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::string_view host = authority.substr(0, colon);
  const std::optional<std::int32_t> port = SmallNumber(authority.substr(colon + 1), 5, 65535);
  if (!port || *port == 0 || !IsTunnelHost(host)) return std::nullopt;
  return TunnelTarget{std::string(host), *port};
}

bool HasAbsoluteTarget(std::string_view line) {
  const std::size_t version = line.find("HTTP/");
  return version != std::string_view::npos &&
         line.substr(0, version + 2).find("http://") != std::string_view::npos;
}

bool TargetIsAbsoluteUrl(std::string_view line) {
  const std::string trimmed = Trim(line);
  const std::size_t space = trimmed.find(' ');
  return space != std::string::npos && space > 0 && trimmed.find("http://") == space + 1;
}

std::string DowngradeVersion(std::string_view text) {
  return Rewrite<false, true>(text);
}

std::string CloseKeepAlive(std::string_view text) {
  return Rewrite<true, false>(text);
}

std::string RewriteResponseChunk(std::string_view chunk) {
  return Rewrite<true, true>(chunk);
}

std::int64_t SliceSize(std::int32_t speedLimit) {
  return static_cast<std::int64_t>(speedLimit) * 1000;
}

std::string_view FirstChars(std::string_view text, std::int64_t n) {
  if (n <= 0) return {};
  if (static_cast<std::uint64_t>(n) >= text.size()) return text;
  return text.substr(0, static_cast<std::size_t>(n));
}

void RemoveFirstChars(std::string& text, std::int64_t n) {
  if (n <= 0) return;
  if (static_cast<std::uint64_t>(n) >= text.size()) {
    text.clear();
  } else {
    text.erase(0, static_cast<std::size_t>(n));
  }
}

}  // namespace proxy
