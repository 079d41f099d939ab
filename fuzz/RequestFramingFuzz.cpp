// A request as the handler takes it: the header block read from reads of any size, judged and
// rewritten for the origin, and a chunked body decoded from reads of any size. However the
// reads are cut the outcome must be the same, and what goes upstream must keep the input's bytes
// except where the rules say.
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "net/IdStack.h"
#include "proxy/http/ChunkedCoding.h"
#include "proxy/http/FieldSyntax.h"
#include "proxy/http/RequestFraming.h"
#include "rtl/Text.h"

namespace {

using proxy::http::ChunkedDecoder;
using proxy::http::HeadReader;
using proxy::http::Request;
using proxy::http::RequestReader;

// The lines of a header block without their line ends, the empty one that ends it left out.
std::vector<std::string_view> LinesOf(const HeadReader& head) {
  std::vector<std::string_view> lines;
  if (head.Started()) lines.push_back(head.Text(head.Start().Line));
  for (const proxy::http::FieldLine& line : head.Fields())
    lines.push_back(head.Text(line.Line));
  return lines;
}

Request Judge(const std::string& block) {
  RequestReader reader;
  reader.Append(block);
  return proxy::http::JudgeRequest(reader);
}

// Feeds the stream in reads of the cut sizes (all at once when there are none) until the reader
// takes less than a read; gives how many bytes it took in all.
template <typename Append>
std::size_t FeedInReads(const Append& append, std::string_view stream,
                        const std::vector<std::size_t>& cuts) {
  std::size_t taken = 0;
  for (std::size_t i = 0, at = 0; at < stream.size(); ++i) {
    const std::size_t length =
        cuts.empty() ? stream.size() : std::max<std::size_t>(1, cuts[i % cuts.size()]);
    const std::string_view read = stream.substr(at, length);
    const std::size_t took = append(read);
    FUZZ_CHECK(took <= read.size());
    taken += took;
    at += read.size();
    if (took < read.size()) break;
  }
  return taken;
}

// The fields the proxy writes itself (or drops) rather than passing them on.
bool IsFramingOrConnectionField(std::string_view line) {
  const std::string_view name = line.substr(0, line.find(':'));
  return proxy::http::FieldNameIs(name, "connection") ||
         proxy::http::FieldNameIs(name, "proxy-connection") ||
         proxy::http::FieldNameIs(name, "proxy-authorization") ||
         proxy::http::FieldNameIs(name, "keep-alive") ||
         proxy::http::FieldNameIs(name, "transfer-encoding") ||
         proxy::http::FieldNameIs(name, "content-length") ||
         proxy::http::FieldNameIs(name, "host") || proxy::http::FieldNameIs(name, "expect");
}

// A tunnel's host is a plain name, an IPv4 address or an IPv6 literal whose address the resolver
// gets, zone aside; asked for again in plain words, it is the same tunnel.
void CheckTunnel(const HeadReader& reader, const Request& head) {
  FUZZ_CHECK(rtl::Trim(reader.Text(reader.Start().Line)).starts_with("CONNECT "));
  FUZZ_CHECK(head.Host.size() <= 253);
  if (head.Host.starts_with('[')) {
    FUZZ_CHECK(head.Host.ends_with(']'));
    const auto address = TIdStack::ParseIPAddress(
        std::string_view(head.HostToResolve).substr(0, head.HostToResolve.find('%')));
    FUZZ_CHECK(address && address->IPVersion == Id_IPv6);
  } else {
    FUZZ_CHECK(head.HostToResolve == head.Host);
    for (char c : head.Host) {
      const bool nameChar = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                            (c >= 'A' && c <= 'Z') || c == '-' || c == '_' || c == '.';
      FUZZ_CHECK(nameChar);
    }
  }
  const Request again =
      Judge("CONNECT " + head.Host + ":" + std::to_string(head.Port) + " HTTP/1.1\r\n\r\n");
  FUZZ_CHECK(!again.Refused && again.Host == head.Host && again.Port == head.Port);
}

void CheckJudged(const RequestReader& reader) {
  const Request head = proxy::http::JudgeRequest(reader);
  if (head.Refused) return;
  FUZZ_CHECK(head.Line.ends_with(" HTTP/1.0") && !head.Host.empty());
  FUZZ_CHECK(head.Port >= 1 && head.Port <= 65535);
  // An IP literal's zone goes on with a link-local address alone.
  if (const std::size_t zone = head.HostToResolve.find('%');
      head.Host.starts_with('[') && zone != std::string::npos) {
    const auto address =
        TIdStack::ParseIPAddress(std::string_view(head.HostToResolve).substr(0, zone));
    FUZZ_CHECK(address && address->Bytes[0] == 0xfe && (address->Bytes[1] & 0xc0) == 0x80);
  }
  if (head.Tunnel) {
    CheckTunnel(reader, head);
    return;
  }
  // Every other field line goes as it came, in order; Connection says close, the framing fields
  // are the proxy's own and those meant for the proxy stay with it.
  std::string kept, sent;
  for (const proxy::http::FieldLine& line : reader.Fields()) {
    if (!IsFramingOrConnectionField(reader.Text(line.Line)))
      kept.append(reader.Text(line.Line)).append("\r\n");
  }
  for (std::size_t at = 0, end = 0; at < head.Fields.size(); at = end + 2) {
    end = head.Fields.find("\r\n", at);
    const std::string_view line = std::string_view(head.Fields).substr(at, end - at);
    const std::string_view name = line.substr(0, line.find(':'));
    if (!IsFramingOrConnectionField(line)) {
      sent.append(line).append("\r\n");
    } else if (!proxy::http::FieldNameIs(name, "content-length")) {
      FUZZ_CHECK(proxy::http::FieldNameIs(name, "connection") &&
                 line.substr(name.size()) == ": close");
    }
  }
  FUZZ_CHECK(sent == kept);
  // The header block as it goes: one Host, the target's.
  const std::string block = proxy::http::RequestHead(head, false);
  FUZZ_CHECK(block.starts_with(head.Line + "\r\nHost: " + head.Authority + "\r\n") &&
             block.ends_with("\r\n\r\n"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  const std::vector<std::size_t> cuts = input.Cuts();
  const std::string_view request = input.Rest();

  RequestReader whole;
  const std::size_t wholeTaken = whole.Append(request);
  RequestReader pieces;
  FUZZ_CHECK(FeedInReads([&](std::string_view read) { return pieces.Append(read); }, request,
                         cuts) == wholeTaken);
  FUZZ_CHECK(LinesOf(pieces) == LinesOf(whole) && pieces.Block() == whole.Block());
  FUZZ_CHECK(pieces.Complete() == whole.Complete());
  FUZZ_CHECK(pieces.Malformed() == whole.Malformed());
  FUZZ_CHECK(pieces.Size() == whole.Size());
  FUZZ_CHECK(static_cast<std::size_t>(whole.Size()) == wholeTaken);
  for (const std::string_view line : LinesOf(whole))
    FUZZ_CHECK(line.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos);
  if (!whole.Complete()) {
    FUZZ_CHECK(wholeTaken == request.size() || whole.Malformed());
    return 0;
  }
  FUZZ_CHECK(whole.Started() && !LinesOf(whole).front().empty());
  CheckJudged(whole);

  // What follows the block, taken as a chunked body.
  const std::string_view body = request.substr(wholeTaken);
  ChunkedDecoder once(proxy::http::kMaxChunkedBodyBytes);
  std::string onceData;
  const std::size_t onceTaken = once.Append(body, onceData);
  ChunkedDecoder inReads(proxy::http::kMaxChunkedBodyBytes);
  std::string inReadsData;
  FUZZ_CHECK(FeedInReads([&](std::string_view read) { return inReads.Append(read, inReadsData); },
                         body, cuts) == onceTaken);
  FUZZ_CHECK(inReads.Status() == once.Status());
  FUZZ_CHECK(inReadsData == onceData && once.Decoded() == onceData.size());
  FUZZ_CHECK(onceData.size() <= proxy::http::kMaxChunkedBodyBytes);
  FUZZ_CHECK(onceTaken == body.size() || once.Status() != ChunkedDecoder::State::Reading);
  return 0;
}
