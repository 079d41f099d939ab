#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The syntax HTTP/1 gives the pieces of a message, written once for requests and answers alike:
// tokens, blanks, field lines and lists, and the numbers a message carries (Content-Length, the
// version, a status code, a port). Pure functions, safe from any thread. Text is bytes compared as
// ASCII: no byte above 127 is ever a letter, a digit or a blank.
namespace proxy::http {

constexpr bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// SP and HTAB, the only blanks inside a line.
constexpr bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

constexpr char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

// One or more token characters: what a method or a field name is made of.
bool IsToken(std::string_view text);

// The text without blanks at either end.
std::string_view TrimBlanks(std::string_view text);

// The elements of a comma-separated field value, blanks around them removed, empty ones left out.
std::vector<std::string_view> ListElements(std::string_view value);

// Whether a field name is this one, in any ASCII letter case.
bool FieldNameIs(std::string_view name, std::string_view lowerCaseName);

// A field line taken apart: a token, the colon right after it, and the value without blanks at
// either end. Nothing for a line that is no well-formed field line: folded onto the line before,
// without a colon, or with anything but a token before the colon (blanks included).
struct Field {
  std::string_view Name;
  std::string_view Value;
};
std::optional<Field> ParseField(std::string_view line);

// A Content-Length value: one number, or a list of the same number repeated; nothing when it is
// empty, holds anything but digits, differs within itself or passes 64 bits.
std::optional<std::int64_t> ParseContentLength(std::string_view value);

// "HTTP/" DIGIT "." DIGIT, exactly.
struct Version {
  int Major = 0;
  int Minor = 0;
};
std::optional<Version> ParseVersion(std::string_view text);

// A status code: exactly three digits.
std::optional<int> ParseStatusCode(std::string_view text);

// A TCP port: digits only, 1 to 65535, so that no port wraps around to another in the 16-bit
// address field.
std::optional<std::int32_t> ParsePort(std::string_view text);

// An IPv6 address as text (hex groups, at most one "::", an IPv4 address as its last 32 bits
// allowed), without brackets or zone.
bool IsIPv6Literal(std::string_view text);

// Whether an IPv6 address (as IsIPv6Literal takes it) is link-local, in fe80::/10: the only
// addresses a zone means anything on.
bool IsLinkLocalIPv6(std::string_view literal);

// The address inside the brackets of a URL's IP literal, as the resolver takes it: an IPv6
// address, with its zone when the literal has one ("fe80::1%25eth0" gives "fe80::1%eth0");
// nothing when it is no IPv6 literal.
std::optional<std::string> IPv6LiteralAddress(std::string_view inside);

// Where the lines of a request (its header block, a chunked body's framing) end: at LF, with a CR
// right before it dropped. A CR before anything else, or a NUL, makes the text malformed, since an
// origin might read such a line differently from us. Fed one byte at a time, across reads.
class LineEnds {
 public:
  enum class Byte { Text, Pending, End, Malformed };
  Byte Take(char c) {
    if (afterCr_) {
      afterCr_ = false;
      return c == '\n' ? Byte::End : Byte::Malformed;
    }
    if (c == '\r') {
      afterCr_ = true;
      return Byte::Pending;
    }
    if (c == '\n') return Byte::End;
    return c == '\0' ? Byte::Malformed : Byte::Text;
  }
  // A CR has come and the byte after it decides.
  bool Pending() const { return afterCr_; }

 private:
  bool afterCr_ = false;
};

}  // namespace proxy::http
