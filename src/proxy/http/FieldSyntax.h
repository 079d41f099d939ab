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

// Where lines end, fed one byte at a time across reads. Strict, as requests and chunked framing
// have them: at LF, with a CR right before it dropped; a CR before anything else, or a NUL, makes
// the text malformed, since an origin might read such a line differently from us. Lenient, as
// answers come: CR LF, a lone CR and a lone LF each end a line, and every other byte is text.
class LineEnds {
 public:
  enum class Rule { Strict, Lenient };
  // EndBefore: the CR before this byte ended the line, and this byte is yet to be taken.
  enum class Byte { Text, Pending, End, EndBefore, Malformed };

  explicit LineEnds(Rule rule = Rule::Strict) : strict_(rule == Rule::Strict) {}

  Byte Take(char c) {
    if (afterCr_) {
      afterCr_ = false;
      if (c == '\n') return Byte::End;
      return strict_ ? Byte::Malformed : Byte::EndBefore;
    }
    if (c == '\r') {
      afterCr_ = true;
      return Byte::Pending;
    }
    if (c == '\n') return Byte::End;
    return c == '\0' && strict_ ? Byte::Malformed : Byte::Text;
  }
  // A CR has come and the byte after it decides.
  bool Pending() const { return afterCr_; }

 private:
  bool strict_;
  bool afterCr_ = false;
};

}  // namespace proxy::http
