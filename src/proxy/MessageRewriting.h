#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rtl/Text.h"

// The text rules the proxy handler applies to what it relays. All of them are pure: no I/O, no
// state, no exceptions beyond allocation failure, safe to call from any thread. Text is bytes with
// no encoding.

namespace proxy {

// Captured request text, one entry per line, without line ends.
using LineList = std::vector<std::string>;

// Where a tunnel request "CONNECT host:port HTTP/1.x" asks to be connected.
struct TunnelTarget {
  std::string Host;
  std::int32_t Port = 0;
};

// Whether the line, trimmed, is a CONNECT request.
bool IsConnectLine(std::string_view line);

// The target of a CONNECT line (blanks at either end allowed): nothing unless the line is
// "CONNECT", one space, host ":" port, one space and "HTTP/1." with one digit, where host is a
// plain name (letters, digits, '-' and '_' in dot-separated labels) or a dotted address of four
// numbers up to 255, and port is 1 to 65535 in digits.
std::optional<TunnelTarget> ParseConnectLine(std::string_view line);

// Whether a header field name is this one, in any ASCII letter case.
bool FieldNameIs(std::string_view name, std::string_view lowerCaseName);

// An answer's header block (status line, fields and the empty line, with their line ends as they
// came) as it goes to our client: an HTTP/1.x status line says HTTP/1.0, Connection and
// Proxy-Connection say "close", Keep-Alive fields (and lines folded into any of these) are gone.
// Every other byte is kept. Lines end at CR LF, a lone CR or a lone LF. Bytes that do not begin
// with "HTTP/" are no header block and come back unchanged.
std::string RewriteAnswerHead(std::string_view block);

// Whether the block is an interim (1xx) answer that another header block follows. 101 is not:
// after it the connection carries another protocol.
bool IsInterimHead(std::string_view block);

// How many body bytes follow a final answer's header block, when the block says so: none after
// a HEAD request or with status 1xx (but 101), 204 or 304, else its Content-Length (one number of
// up to 18 digits). Nothing when the body ends with the connection: after a 101, without a
// Content-Length, with a malformed or conflicting one, or with a Transfer-Encoding.
std::optional<std::int64_t> AnswerBodyLength(std::string_view block, bool headRequest);

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
