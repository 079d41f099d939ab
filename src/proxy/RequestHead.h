#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "proxy/MessageRewriting.h"

namespace proxy {

// A request's header block judged and rewritten for the origin, which gets HTTP/1.0 and one
// request per connection. Pure, like the other text rules.
struct RequestHead {
  enum class Body { None, Length, Chunked };

  // The status line of the answer that refuses the request; empty when it goes upstream.
  std::string_view Refusal;
  std::string Host;
  std::string PortText;  // "80" when the target names no port; unchecked
  // The request line as sent: method, the target's path and query byte for byte, HTTP/1.0.
  std::string Line;
  // The header lines as sent, each ended by CR LF, without the empty line that ends them; a
  // chunked body's Content-Length is added once it is known.
  std::string Fields;
  Body BodyKind = Body::None;
  std::int64_t Length = 0;  // for Body::Length
};

// Takes a complete header block of a request for an http:// URL (the lines as RequestCapture
// gives them, the empty last line included). Refused with 400: a request line that is not
// method, target and version apart by single spaces (blanks at either end allowed), a target that
// is not http:// with a host and a path, a folded line, a field line without a name or with
// blanks before its colon, differing or malformed Content-Lengths, Content-Length with
// Transfer-Encoding, and any Transfer-Encoding but chunked. A version other than HTTP/1.x: 505.
//
// Connection and Proxy-Connection say "close", Keep-Alive and Transfer-Encoding fields are
// dropped, repeats of a Content-Length are dropped; every other line goes as it came.
RequestHead JudgeRequest(const LineList& lines);

// Whether every line after the request line is a well-formed field line (as JudgeRequest wants),
// for requests that are not forwarded as such.
bool FieldLinesWellFormed(const LineList& lines);

}  // namespace proxy
