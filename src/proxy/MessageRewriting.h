#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rtl/Text.h"

// The text rules the proxy handler applies to what it relays. All of them are pure: no I/O, no
// state, no exceptions beyond allocation failure, safe to call from any thread. Text is bytes with
// no encoding; a NUL byte is an ordinary byte everywhere except in SplitLines. Every function is
// a single pass over its input.

namespace proxy {

// Captured request text, one entry per line, without line ends.
using LineList = std::vector<std::string>;

// The first request line taken apart: where to connect and what to send instead.
struct RequestTarget {
  std::string Host;      // upstream host name or address, possibly empty
  std::string PortText;  // upstream port as text, unchecked, possibly empty
  std::string Line;      // the request line rebuilt with a path-only target
};

// Lines end at CR LF, a lone CR or a lone LF (LF CR is two ends). A break at the very end adds
// no empty line. Everything from the first NUL byte on is dropped, so text that starts with NUL
// gives no lines at all.
LineList SplitLines(std::string_view text);

// Each line followed by CR LF, the last one too; no lines give the empty text.
std::string JoinLines(const LineList& lines);

// Turns a proxy request line such as "GET http://host:81/a HTTP/1.1" into Host "host",
// PortText "81" and Line "GET /a HTTP/1.1"; PortText is "80" when the target names no port.
// Only what stands before the first "HTTP/" is searched, so nothing in the version part (or
// after an "HTTP/" inside the path) is taken for a port or a path.
//
// A line we cannot take apart - one without "HTTP/", or one without a lower-case "http://"
// before it (CONNECT, path-only requests, an upper-case scheme) - comes back unchanged with
// Host and PortText empty. The empty port then stops the handler before anything is sent
// upstream, instead of forwarding a mangled line to an empty host.
RequestTarget ParseRequestLine(std::string_view line);

// Where a tunnel request "CONNECT host:port HTTP/1.x" asks to be connected.
struct TunnelTarget {
  std::string Host;
  std::int32_t Port = 0;
};

// Whether the line, trimmed, is a CONNECT request; it then never goes through ParseRequestLine.
bool IsConnectLine(std::string_view line);

// The target of a CONNECT line (blanks at either end allowed): nothing unless the line is
// "CONNECT", one space, host ":" port, one space and "HTTP/1." with one digit, where host is a
// plain name (letters, digits, '-' and '_' in dot-separated labels) or a dotted address of four
// numbers up to 255, and port is 1 to 65535 in digits.
std::optional<TunnelTarget> ParseConnectLine(std::string_view line);

// True when the line has an "HTTP/" with a lower-case "http://" before it, the only form of
// request line ParseRequestLine takes apart; CONNECT and path-only requests are not.
bool HasAbsoluteTarget(std::string_view line);

// True when the line (blanks at either end allowed) is a method, one space and a target that
// itself begins with "http://", and no "http://" stands before it - so ParseRequestLine takes the
// host from the target and nowhere else.
bool TargetIsAbsoluteUrl(std::string_view line);

// Every "1.1" becomes "1.0", left to right without overlap; the length never changes.
std::string DowngradeVersion(std::string_view text);

// Every "keep-alive", in any ASCII letter case, becomes "close"; all other bytes keep their own
// case. Bytes outside ASCII never match a letter of the keyword.
std::string CloseKeepAlive(std::string_view text);

// DowngradeVersion(CloseKeepAlive(chunk)), done in one pass. The relay gives it an answer's whole
// header block (AnswerHead) and never the body, whose bytes must arrive as the origin sent them.
std::string RewriteResponseChunk(std::string_view chunk);

// Bytes that one paced slice may carry: limit x 1000, in 64 bits so that no 32-bit limit
// overflows. A limit of 0 or less gives 0 or less, which FirstChars/RemoveFirstChars treat as
// nothing.
std::int64_t SliceSize(std::int32_t speedLimit);

// Blanks and control characters off both ends: the runtime's own, named here for the rules' users.
using rtl::Trim;

// The first n bytes: empty for n <= 0, the whole text when n exceeds its length.
std::string_view FirstChars(std::string_view text, std::int64_t n);

// Removes the first n bytes: nothing for n <= 0, everything when n exceeds the length.
void RemoveFirstChars(std::string& text, std::int64_t n);

}  // namespace proxy
