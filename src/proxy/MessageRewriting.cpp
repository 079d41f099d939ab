#include "proxy/MessageRewriting.h"

#include <algorithm>

namespace proxy {

namespace {

constexpr bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// ASCII only: the wire has no code page, and bytes above 127 must never fold into a letter.
constexpr char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

// "HTTP/1." and one digit.
bool IsHttp1Version(std::string_view text) {
  return text.size() == 8 && text.starts_with("HTTP/1.") && IsDigit(text[7]);
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

bool FieldNameIs(std::string_view name, std::string_view lowerCaseName) {
  return name.size() == lowerCaseName.size() &&
         std::equal(name.begin(), name.end(), lowerCaseName.begin(),
                    [](char c, char lower) { return AsciiLower(c) == lower; });
}

std::string RewriteAnswerHead(std::string_view block) {
  // Without a status line this is no header block but a body: nothing in it is ours to change.
  if (!block.starts_with("HTTP/")) return std::string(block);
  std::string out;
  out.reserve(block.size() + 16);
  bool statusLine = true;
  bool dropping = false;  // a dropped field, or the lines folded into one we replaced
  for (std::size_t at = 0; at < block.size();) {
    std::size_t end = block.find_first_of("\r\n", at);
    std::size_t next = end;
    if (end == std::string_view::npos) {
      end = next = block.size();
    } else if (block[next++] == '\r' && next < block.size() && block[next] == '\n') {
      ++next;
    }
    const std::string_view line = block.substr(at, end - at);
    const std::string_view ending = block.substr(end, next - end);
    at = next;
    if (statusLine) {
      statusLine = false;
      if (IsHttp1Version(line.substr(0, 8)) && (line.size() == 8 || line[8] == ' ')) {
        out.append("HTTP/1.0").append(line.substr(8)).append(ending);
        continue;
      }
    } else if (line.empty() || (line[0] != ' ' && line[0] != '\t')) {
      dropping = false;
      const std::size_t colon = line.find(':');
      std::string_view name = line.substr(0, colon == std::string_view::npos ? 0 : colon);
      while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
        name.remove_suffix(1);
      if (FieldNameIs(name, "connection") || FieldNameIs(name, "proxy-connection")) {
        out.append(line.substr(0, colon + 1)).append(" close").append(ending);
        dropping = true;  // only its folded lines
        continue;
      }
      dropping = FieldNameIs(name, "keep-alive");
    }
    if (!dropping) {
      out.append(line).append(ending);
    } else if (out.ends_with('\r') && at < block.size() && block[at] == '\n') {
      // A lone CR before the dropped line must not pair with the LF after it into one line end.
      out.push_back('\n');
    }
  }
  return out;
}

bool IsInterimHead(std::string_view block) {
  const std::string_view line = block.substr(0, block.find_first_of("\r\n"));
  if (line.size() < 12 || !IsHttp1Version(line.substr(0, 8)) || line[8] != ' ' ||
      (line.size() > 12 && line[12] != ' '))
    return false;
  const std::string_view code = line.substr(9, 3);
  return code[0] == '1' && IsDigit(code[1]) && IsDigit(code[2]) && code != "101";
}

std::optional<std::int64_t> AnswerBodyLength(std::string_view block, bool headRequest) {
  std::size_t end = block.find_first_of("\r\n");
  const std::string_view status = block.substr(0, end);
  if (status.size() >= 12 && status[8] == ' ') {
    const std::string_view code = status.substr(9, 3);
    // After a 101 the connection carries another protocol, which ends when it closes.
    if (code == "101") return std::nullopt;
    if (headRequest || code[0] == '1' || code == "204" || code == "304") return 0;
  } else if (headRequest) {
    return 0;
  }
  std::optional<std::int64_t> length;
  while (end < block.size()) {
    const std::size_t start = block.find_first_not_of("\r\n", end);
    if (start == std::string_view::npos) break;
    end = std::min(block.find_first_of("\r\n", start), block.size());
    const std::string_view line = block.substr(start, end - start);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = line.substr(0, colon);
    if (FieldNameIs(name, "transfer-encoding")) return std::nullopt;
    if (!FieldNameIs(name, "content-length")) continue;
    const std::string value = Trim(std::string(line.substr(colon + 1)));
    if (value.empty() || value.size() > 18 || !std::all_of(value.begin(), value.end(), IsDigit))
      return std::nullopt;
    const std::int64_t parsed = std::stoll(value);
    if (length && *length != parsed) return std::nullopt;
    length = parsed;
  }
  return length;
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
