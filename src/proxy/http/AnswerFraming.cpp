#include "proxy/http/AnswerFraming.h"

#include <algorithm>
#include <vector>

namespace proxy::http {
namespace {

bool IsInterim(int status) {
  return status / 100 == 1 && status != 101;
}

// How the body after a final block with this status and these framing fields goes.
BodyFraming FrameBody(int status, bool headRequest, const Framing& framing) {
  // After a 101 the connection carries another protocol, which ends when it closes.
  if (status == 101) return {};
  BodyFraming body;
  body.Coded = framing.CodingFields > 0;
  if (headRequest || status / 100 == 1 || status == 204 || status == 304) {
    body.Framing = BodyFraming::Kind::Length;
    return body;
  }
  // Only a body in chunked alone can be decoded into what the client is told it gets.
  if (body.Coded) {
    body.Framing = framing.Chunked() ? BodyFraming::Kind::Chunked : BodyFraming::Kind::OtherCoding;
    return body;
  }
  if (!framing.Length) return body;
  if (framing.LengthsDiffer) {
    body.Framing = BodyFraming::Kind::Conflicting;
  } else if (!framing.LengthMalformed) {
    body.Framing = BodyFraming::Kind::Length;
    body.Length = *framing.Length;
  }
  return body;
}

}  // namespace

AnswerFraming::Step AnswerFraming::Read(std::string_view held, bool closed) {
  // Never more than a byte past the limit: the LF of a CR that ends the block right at it.
  const auto size = static_cast<std::size_t>(reader_.Size());
  const std::size_t most = std::min(held.size(), kMaxHeadBytes + 1);
  if (most > size) reader_.Append(held.substr(size, most - size));
  // Every byte of the block counts, the LF of its last CR LF too.
  const auto read = static_cast<std::size_t>(reader_.Size());
  if (read > kMaxHeadBytes ||
      (read == kMaxHeadBytes && !reader_.Complete() && !reader_.EndPending()))
    return Step::TooLarge;
  if (closed) reader_.EndOfInput();
  return reader_.Complete() ? Finish() : Step::More;
}

bool AnswerFraming::Interim() const {
  return !reader_.Started() || IsInterim(reader_.Start().Status);
}

AnswerFraming::Step AnswerFraming::Finish() {
  taken_ = static_cast<std::size_t>(reader_.Size());
  status_ = reader_.Start().Status;
  const bool interim = IsInterim(status_);
  Framing framing;
  for (const FieldLine& line : reader_.Fields()) {
    if (!interim && line.Shape == FieldLine::Form::Field)
      framing.Take(reader_.Text(line.Name), reader_.Text(line.Value));
  }
  body_ = FrameBody(status_, headRequest_, framing);
  block_ = Rewritten(body_.Coded);
  // The next block is read from its own first byte on.
  reader_ = HeadReader(Direction::Answer);
  if (interim) return Step::Interim;
  if (status_ == 101) {
    problem_ = Refusal::UnaskedUpgrade;
  } else if (body_.Framing == BodyFraming::Kind::Conflicting) {
    problem_ = Refusal::AnswerLengthsDiffer;
  } else if (body_.Framing == BodyFraming::Kind::OtherCoding) {
    problem_ = Refusal::AnswerOtherCoding;
  } else {
    return Step::Final;
  }
  return Step::Invalid;
}

std::string AnswerFraming::Rewritten(bool coded) const {
  const std::string& block = reader_.Block();
  const StartLine& start = reader_.Start();
  // Without a status line this is no header block but a body: only its framing is ours.
  const bool head = block.starts_with("HTTP/");
  std::vector<FieldEdit> edits(reader_.Fields().size());
  for (std::size_t i = 0; i < edits.size(); ++i) {
    const std::string_view name = reader_.Text(reader_.Fields()[i].Name);
    if (head && (FieldNameIs(name, "connection") || FieldNameIs(name, "proxy-connection"))) {
      edits[i] = {FieldEdit::Kind::Replace, "close"};
    } else if ((head && FieldNameIs(name, "keep-alive")) ||
               (coded &&
                (FieldNameIs(name, "transfer-encoding") || FieldNameIs(name, "content-length")))) {
      edits[i].What = FieldEdit::Kind::Drop;
    }
  }
  std::string out;
  out.reserve(block.size() + 16);
  const bool http1 = start.Protocol && start.Protocol->Major == 1;
  out.append(http1 ? "HTTP/1.0" : "").append(reader_.Text(start.Line).substr(http1 ? 8 : 0));
  out.append(reader_.Text({start.Line.End, start.Next}));
  AppendFieldLines(reader_, edits, false, out);
  const std::size_t rest = reader_.Fields().empty() ? start.Next : reader_.Fields().back().Next;
  return out.append(std::string_view(block).substr(rest));
}

}  // namespace proxy::http
