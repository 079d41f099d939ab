#include "proxy/http/Refusal.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>

#include "proxy/Limits.h"

namespace proxy::http {
namespace {

constexpr std::string_view kBad = "400 Bad Request";
constexpr std::string_view kBadGateway = "502 Bad Gateway";
constexpr std::string_view kTimeout = "504 Gateway Timeout";
constexpr std::string_view kNoConnect = "could not connect to";
constexpr std::string_view kNoAnswer = "got no answer from";
constexpr std::string_view kNoRelay = "got no answer it can relay from";

// A size as the texts give it: "64 KiB", "16 MiB".
std::string SizeText(std::int64_t bytes) {
  if (bytes % kMiB == 0) return std::to_string(bytes / kMiB) + " MiB";
  if (bytes % kKiB == 0) return std::to_string(bytes / kKiB) + " KiB";
  return std::to_string(bytes) + " bytes";
}

// In the order of the enumeration.
const auto& Table() {
  static const std::string headerTooLarge =
      "the header block is over " + SizeText(kMaxRequestHeadBytes);
  static const std::string bodyTooLarge =
      "the chunked body is over " + SizeText(kMaxChunkedBodyBytes);
  static const std::array table{
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
      RefusalText{"431 Request Header Fields Too Large", headerTooLarge},
      RefusalText{"413 Content Too Large", bodyTooLarge},
      RefusalText{"408 Request Timeout", "the header block did not come in time"},
      RefusalText{"408 Request Timeout", "the request body stopped coming"},
      RefusalText{"403 Forbidden", "a client on another host asked for this machine's loopback"},
      RefusalText{"508 Loop Detected", "the request was aimed at the proxy itself"},
      RefusalText{"503 Service Unavailable", "no socket could be opened"},
      RefusalText{"503 Service Unavailable", "the memory for held request bodies is spent",
                  "has no room to hold this request's body now; try again later"},
      RefusalText{kBadGateway, "invalid port", kNoConnect},
      RefusalText{kBadGateway, "the connection failed", kNoConnect},
      RefusalText{kBadGateway, "no answer came", kNoAnswer},
      RefusalText{kBadGateway, "the answer's header block is too large", kNoAnswer},
      RefusalText{kBadGateway, "the answer's Content-Lengths differ", kNoRelay},
      RefusalText{kBadGateway, "the answer is in a transfer coding other than chunked", kNoRelay},
      RefusalText{kBadGateway, "the origin switched protocols unasked", kNoRelay},
      RefusalText{kTimeout, "no answer came in time", kNoAnswer},
      RefusalText{kTimeout, "no address answered in time", kNoConnect},
  };
  static_assert(std::tuple_size_v<std::remove_cvref_t<decltype(table)>> ==
                    static_cast<std::size_t>(Refusal::ConnectTimedOut) + 1,
                "one row for every refusal");
  return table;
}

}  // namespace

const RefusalText& Describe(Refusal refusal) {
  return Table()[static_cast<std::size_t>(refusal)];
}

std::string RefusalLine(Refusal refusal, std::string_view subject, std::string_view detail) {
  const RefusalText& text = Describe(refusal);
  if (text.Failure.empty()) return "Tramlet refused the request: " + std::string(text.Reason);
  std::string line = "Tramlet " + std::string(text.Failure);
  if (!subject.empty()) (line += ' ') += subject;
  if (!detail.empty()) (line += ": ") += detail;
  return line;
}

std::string PaneText(Refusal refusal, std::string_view line) {
  const RefusalText& text = Describe(refusal);
  if (!text.Failure.empty()) return std::string(line);
  return std::string(text.Status) + ": " + std::string(text.Reason);
}

std::string StatusLine(Refusal refusal) {
  return "HTTP/1.0 " + std::string(Describe(refusal).Status);
}

std::string RefusalAnswer(Refusal refusal, std::string_view line) {
  // Every refusal says why in its body, as a client that shows the body (and not our pane) needs.
  const std::string text = line.empty() ? RefusalLine(refusal) : std::string(line);
  return StatusLine(refusal) +
         "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(text.size() + 2) +
         "\r\nConnection: close\r\n\r\n" + text + "\r\n";
}

}  // namespace proxy::http
