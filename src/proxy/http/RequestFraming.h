#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "proxy/http/HeadReader.h"
#include "proxy/http/Refusal.h"

// A request from the bytes a client sends to what goes upstream: its header block read from reads
// of any size (RequestReader), then judged and rewritten for the origin, which gets HTTP/1.0 and
// one request per connection (JudgeRequest). Pure: no sockets, no threads.
namespace proxy::http {

// Header blocks larger than this are refused rather than held in memory.
constexpr std::int64_t kMaxRequestHeaderBytes = 65536;
// A chunked body is decoded and held whole, so that it can go on with a Content-Length; one
// larger than this is refused.
constexpr std::uint64_t kMaxChunkedBodyBytes = std::uint64_t{16} * 1024 * 1024;

// The header block of a request, taken from reads of any size. Lines end strictly, and a malformed
// line end makes the block malformed; blank lines before the request line are skipped. What
// follows the block is the body, which the reader leaves to the caller untouched.
class RequestReader : public HeadReader {
 public:
  RequestReader() : HeadReader(Direction::Request) {}
};

// A request judged: refused, or fit to go upstream as it is to be sent.
struct Request {
  enum class Body { None, Length, Chunked };

  // Why the request is answered by the proxy instead; nothing when it goes upstream.
  std::optional<Refusal> Refused;
  // A CONNECT request: a tunnel to Host:Port rather than a request to forward.
  bool Tunnel = false;
  std::string Host;  // as the target names it, an IPv6 literal in its brackets
  // The host as the resolver takes it: a name, or an address (IPv6 without brackets).
  std::string HostToResolve;
  std::string PortText;  // as the target gives it; "80" when it names none
  std::int32_t Port = 0;
  // The request line as sent upstream: method, the target's path and query byte for byte,
  // HTTP/1.0. For a tunnel, the line as an HTTP/1.0 request would carry it.
  std::string Line;
  // The header lines as sent after Host, each ended by CR LF, without the empty line that ends
  // them.
  std::string Fields;
  // The Host field's value: the target's host, and its port when not 80.
  std::string Authority;
  // The client asked to hear 100 Continue before it sends its body.
  bool ContinueExpected = false;
  bool HasConnectionField = false;
  Body BodyKind = Body::None;
  std::int64_t Length = 0;  // for Body::Length
  // A HEAD request: no body follows the answer's header block, whatever length it names.
  bool HeadOnly = false;
};

// Judges a complete request head.
//
// A request for an http:// URL is refused with 400 for: a request line that is not method,
// target and version apart by single spaces (blanks at either end allowed), a target that is not
// http:// with a host (a name, an IPv4 address or an IPv6 literal in brackets) and a path, a folded
// line, a field line without a name or with blanks before
// its colon, differing or malformed Content-Lengths, Content-Length with Transfer-Encoding, and any
// Transfer-Encoding but chunked (an empty one included); with 417 for an expectation other than
// 100-continue; with 505 for a version other than HTTP/1.x; with 502 for a port that is not 1 to
// 65535; with 400 for an IP literal with a zone on an address that is not link-local (fe80::/10).
// Connection says "close"; Keep-Alive, Transfer-Encoding, Expect and Host fields are dropped (Host
// is the target's, RequestHead), so are the fields meant for the proxy (Proxy-Connection,
// Proxy-Authorization) and repeats of a Content-Length; every other line goes as it came.
//
// A CONNECT request is "CONNECT", one space, host ":" port, one space and "HTTP/1." with one digit
// (blanks at either end allowed), where host is a plain name (letters, digits, '-' and '_' in
// dot-separated labels), an IPv4 address (four numbers up to 255, no leading zeros) or an IPv6
// literal in brackets (a zone on a link-local address alone), and port is 1 to 65535;
// its field lines must be well-formed. Anything else is refused with 400.
Request JudgeRequest(const HeadReader& head);

// The header block a forwarded request goes upstream with: its line (in HTTP/1.1 when http11, for
// origins that refuse HTTP/1.0, with Connection: close), Host, its fields, and for a chunked body
// the Content-Length of what it decoded to.
std::string RequestHead(const Request& request, bool http11, std::uint64_t decodedLength = 0);

}  // namespace proxy::http
