// Request capture fed in pieces: whatever the pieces, it must take the same header block as when
// the request comes in one read, and that block must split into the lines it reports.
#include <cctype>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "proxy/MessageRewriting.h"
#include "proxy/RequestCapture.h"

namespace {

using proxy::RequestCapture;

// Whether a header line announces this body length: its value is a plain decimal number, and
// either that number or, when it is too large for 64 bits, the largest there is.
bool AnnouncesLength(std::string_view line, std::int64_t length) {
  constexpr std::string_view kName = "content-length:";
  if (line.size() < kName.size()) return false;
  for (std::size_t i = 0; i < kName.size(); ++i) {
    if (static_cast<char>(std::tolower(static_cast<unsigned char>(line[i]))) != kName[i])
      return false;
  }
  const std::string value = proxy::Trim(line.substr(kName.size()));
  if (value.empty()) return false;
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::int64_t parsed = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return false;
    parsed = parsed > (kMax - (c - '0')) / 10 ? kMax : parsed * 10 + (c - '0');
  }
  // Numbers near the top may be taken as the largest a little early; all are far beyond any body.
  return parsed == length || (length == kMax && parsed > kMax / 10);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  const std::vector<std::size_t> cuts = input.Cuts();
  const bool finish = input.Bool();
  const std::string_view request = input.Rest();

  RequestCapture whole;
  const std::size_t wholeTaken = whole.Append(request);
  if (finish) whole.Finish();

  RequestCapture pieces;
  std::size_t taken = 0;
  std::size_t at = 0;
  for (std::size_t i = 0; at < request.size(); ++i) {
    std::size_t length = cuts.empty() ? request.size() : cuts[i % cuts.size()];
    if (length == 0) {
      // An empty read changes nothing, not even a CR waiting for its LF.
      FUZZ_CHECK(pieces.Append({}) == 0);
      length = 1;
    }
    const std::string_view read = request.substr(at, length);
    const std::size_t took = pieces.Append(read);
    FUZZ_CHECK(took <= read.size());
    taken += took;
    at += read.size();
    if (took < read.size()) {
      // The rest of this read is body, and so is everything after it.
      const std::size_t more = pieces.Append(request.substr(at));
      FUZZ_CHECK(more == 0);
      break;
    }
  }
  if (finish) pieces.Finish();

  FUZZ_CHECK(taken == wholeTaken);
  FUZZ_CHECK(pieces.Lines() == whole.Lines());
  FUZZ_CHECK(pieces.HeaderComplete() == whole.HeaderComplete());
  FUZZ_CHECK(pieces.Cut() == whole.Cut());
  FUZZ_CHECK(pieces.Size() == whole.Size());
  FUZZ_CHECK(static_cast<std::size_t>(whole.Size()) == wholeTaken);
  FUZZ_CHECK(pieces.ContentLength() == whole.ContentLength());

  const std::string_view head = request.substr(0, wholeTaken);
  if (whole.HeaderComplete()) {
    FUZZ_CHECK(!whole.Lines().empty() && whole.Lines().back().empty());
    FUZZ_CHECK(proxy::SplitLines(head) == whole.Lines());
    FUZZ_CHECK(head.find('\0') == std::string_view::npos);
  } else {
    // Not complete: every byte was header (or cut off after a NUL).
    FUZZ_CHECK(wholeTaken == request.size());
    FUZZ_CHECK(!whole.ContentLength());
    proxy::LineList expected = proxy::SplitLines(request);
    const bool openLine = !whole.Cut() && !finish && !request.empty() && request.back() != '\r' &&
                          request.back() != '\n';
    if (openLine) expected.pop_back();
    FUZZ_CHECK(expected == whole.Lines());
  }
  if (const auto length = whole.ContentLength()) {
    bool announced = false;
    for (const std::string& line : whole.Lines())
      announced = announced || AnnouncesLength(line, *length);
    FUZZ_CHECK(announced);
  }
  return 0;
}
