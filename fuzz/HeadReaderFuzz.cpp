// A header block read either way, as a request and as an answer, from reads of any size. However
// the reads are cut the reader must take the same bytes and find the same start line and field
// lines; its lines and their ends must make up the block again, each name and value within its
// line; and a request line must be what its method, target and version say, without the blanks
// and control bytes at its ends.
#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzInput.h"
#include "proxy/http/FieldSyntax.h"
#include "proxy/http/HeadReader.h"
#include "rtl/Text.h"

namespace {

using proxy::http::Direction;
using proxy::http::FieldLine;
using proxy::http::HeadReader;
using proxy::http::Span;

// Feeds the text in reads of the cut sizes in turn (a cut of 0 reads a byte) until the reader
// takes less than a read; an answer's text then ends, as when its origin closes.
HeadReader Read(Direction direction, std::string_view text,
                const std::array<std::size_t, 4>& cuts) {
  HeadReader reader(direction);
  for (std::size_t i = 0, at = 0; at < text.size(); ++i) {
    const std::string_view read = text.substr(at, std::max<std::size_t>(1, cuts[i % cuts.size()]));
    const std::size_t took = reader.Append(read);
    FUZZ_CHECK(took <= read.size());
    at += took;
    if (took < read.size()) break;
  }
  if (direction == Direction::Answer) reader.EndOfInput();
  return reader;
}

// Where the lines the reader found, and their parts, lie.
std::vector<std::size_t> Places(const HeadReader& head) {
  const proxy::http::StartLine& start = head.Start();
  std::vector<std::size_t> places{start.Line.Begin,   start.Line.End,   start.Next,
                                  start.Method.Begin, start.Method.End, start.Target.Begin,
                                  start.Target.End};
  for (const FieldLine& line : head.Fields()) {
    places.insert(places.end(), {line.Line.Begin, line.Line.End, line.Next, line.Name.Begin,
                                 line.Name.End, line.Value.Begin, line.Value.End});
  }
  return places;
}

bool SameShapes(const HeadReader& a, const HeadReader& b) {
  return std::equal(a.Fields().begin(), a.Fields().end(), b.Fields().begin(), b.Fields().end(),
                    [](const FieldLine& x, const FieldLine& y) { return x.Shape == y.Shape; });
}

bool Within(Span inner, Span outer) {
  return outer.Begin <= inner.Begin && inner.Begin <= inner.End && inner.End <= outer.End;
}

void CheckLines(const HeadReader& head, Direction direction) {
  if (!head.Started()) return;
  const std::string_view block = head.Block();
  const proxy::http::StartLine& start = head.Start();
  FUZZ_CHECK(start.Line.Begin == 0 && start.Line.End <= start.Next);
  std::size_t at = start.Next;
  for (const FieldLine& line : head.Fields()) {
    FUZZ_CHECK(line.Line.Begin == at && line.Line.Begin < line.Line.End &&
               line.Line.End <= line.Next && line.Next <= block.size());
    FUZZ_CHECK(Within(line.Name, line.Line) && Within(line.Value, line.Line));
    const std::string_view name = head.Text(line.Name);
    if (line.Shape == FieldLine::Form::Field)
      FUZZ_CHECK(proxy::http::IsToken(name) && block[line.Name.End] == ':');
    at = line.Next;
  }
  // What is left is the line end of the empty line that ended the block, if it has ended so.
  const std::string_view rest = block.substr(at);
  if (head.Complete())
    FUZZ_CHECK(rest.empty() || rest == "\n" || rest == "\r\n" ||
               (direction == Direction::Answer && rest == "\r"));
  if (direction == Direction::Request && start.Protocol) {
    const std::string version = "HTTP/" + std::to_string(start.Protocol->Major) + "." +
                                std::to_string(start.Protocol->Minor);
    FUZZ_CHECK(rtl::Trim(head.Text(start.Line)) == std::string(head.Text(start.Method)) + " " +
                                                       std::string(head.Text(start.Target)) + " " +
                                                       version);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  const std::array<std::size_t, 4> cuts{input.Byte(), input.Byte(), input.Byte(), input.Byte()};
  const std::string_view text = input.Rest();
  for (const Direction direction : {Direction::Request, Direction::Answer}) {
    const HeadReader whole = Read(direction, text, {text.size(), 1, 1, 1});
    const HeadReader pieces = Read(direction, text, cuts);
    FUZZ_CHECK(whole.Size() == pieces.Size() && whole.Complete() == pieces.Complete() &&
               whole.Malformed() == pieces.Malformed() && whole.Block() == pieces.Block());
    FUZZ_CHECK(whole.Started() == pieces.Started() && Places(whole) == Places(pieces) &&
               SameShapes(whole, pieces) && whole.Start().Status == pieces.Start().Status &&
               whole.Start().Protocol.has_value() == pieces.Start().Protocol.has_value());
    CheckLines(whole, direction);
  }
  return 0;
}
