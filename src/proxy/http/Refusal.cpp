#include "proxy/http/Refusal.h"

#include <array>
#include <cstddef>

namespace proxy::http {
namespace {

constexpr std::string_view kBad = "400 Bad Request";
constexpr std::string_view kBadGateway = "502 Bad Gateway";

// In the order of the enumeration.
constexpr std::array kTable{
    RefusalText{kBad, "a bare CR or a NUL byte in the header block"},
    RefusalText{kBad, "the header block ended with the connection"},
    RefusalText{kBad, "the request line is not method, target and version"},
    RefusalText{kBad, "the target is not an http:// URL with a host and a path"},
    RefusalText{kBad, "the CONNECT target is not a host and a port"},
    RefusalText{kBad, "a zone id on an IPv6 address that is not link-local"},
    RefusalText{kBad, "a folded header line"},
    RefusalText{kBad, "a header line without a name, or with blanks before its colon"},
    RefusalText{kBad, "Content-Lengths that differ or are no plain number"},
    RefusalText{kBad, "Content-Length together with Transfer-Encoding"},
    RefusalText{kBad, "a Transfer-Encoding other than chunked"},
    RefusalText{kBad, "malformed chunked framing"},
    RefusalText{kBad, "the chunked body ended with the connection"},
    RefusalText{"417 Expectation Failed", "an expectation other than 100-continue"},
    RefusalText{"505 HTTP Version Not Supported", "a version other than HTTP/1.x"},
    RefusalText{"431 Request Header Fields Too Large", "the header block is over 64 KiB"},
    RefusalText{"413 Content Too Large", "the chunked body is over 16 MiB"},
    RefusalText{"408 Request Timeout", "the header block did not come in time"},
    RefusalText{"408 Request Timeout", "the request body stopped coming"},
    RefusalText{"403 Forbidden", "a client on another host asked for this machine's loopback"},
    RefusalText{"508 Loop Detected", "the request was aimed at the proxy itself"},
    RefusalText{"503 Service Unavailable", "no socket could be opened"},
    RefusalText{"503 Service Unavailable", "the memory for held request bodies is spent"},
    RefusalText{kBadGateway, "invalid port"},
    RefusalText{kBadGateway, "the connection failed"},
    RefusalText{kBadGateway, "no answer came"},
    RefusalText{kBadGateway, "the answer's header block is too large"},
    RefusalText{kBadGateway, "the answer's Content-Lengths differ"},
    RefusalText{kBadGateway, "the answer is in a transfer coding other than chunked"},
    RefusalText{kBadGateway, "the origin switched protocols unasked"},
    RefusalText{"504 Gateway Timeout", "no answer came in time"},
    RefusalText{"504 Gateway Timeout", "no address answered in time"},
};
static_assert(kTable.size() == static_cast<std::size_t>(Refusal::ConnectTimedOut) + 1,
              "one row for every refusal");

}  // namespace

const RefusalText& Describe(Refusal refusal) {
  return kTable[static_cast<std::size_t>(refusal)];
}

std::string StatusLine(Refusal refusal) {
  return "HTTP/1.0 " + std::string(Describe(refusal).Status);
}

std::string RefusalAnswer(Refusal refusal, std::string_view text) {
  // Every refusal says why in its body, as a client that shows the body (and not our pane) needs.
  const std::string line =
      text.empty() ? "Tramlet refused the request: " + std::string(Describe(refusal).Reason)
                   : std::string(text);
  return StatusLine(refusal) +
         "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(line.size() + 2) +
         "\r\nConnection: close\r\n\r\n" + line + "\r\n";
}

}  // namespace proxy::http
