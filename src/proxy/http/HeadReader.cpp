#include "proxy/http/HeadReader.h"

namespace proxy::http {

std::size_t HeadReader::Append(std::string_view bytes) {
  // A NUL is malformed only in a request; in an answer it is text like any other byte.
  const bool nulEnds = direction_ == Direction::Request;
  std::size_t at = 0;
  while (state_ == State::Reading && at < bytes.size()) {
    // Plain text goes in a run at a time; line-end bytes, and the byte after a CR, one by one.
    if (!lineEnds_.Pending()) {
      std::size_t end = at;
      while (end < bytes.size() && bytes[end] != '\r' && bytes[end] != '\n' &&
             (bytes[end] != '\0' || !nulEnds))
        ++end;
      block_.append(bytes.substr(at, end - at));
      at = end;
      if (at == bytes.size()) break;
    }
    const bool afterCr = lineEnds_.Pending();
    const char c = bytes[at];
    const LineEnds::Byte kind = lineEnds_.Take(c);
    if (kind == LineEnds::Byte::EndBefore) {
      EndLine();  // a lone CR ended the line; this byte is read again after it
      continue;
    }
    ++at;
    if (kind == LineEnds::Byte::Malformed) {
      state_ = State::Malformed;
      break;
    }
    // A line's end begins at its CR, or at its LF when no CR came before it.
    if (kind == LineEnds::Byte::Pending || (kind == LineEnds::Byte::End && !afterCr))
      lineEnd_ = block_.size();
    block_.push_back(c);
    if (kind == LineEnds::Byte::End) EndLine();
  }
  size_ += static_cast<std::int64_t>(at);
  return at;
}

void HeadReader::EndOfInput() {
  if (state_ != State::Reading) return;
  if (!lineEnds_.Pending()) lineEnd_ = block_.size();
  if (block_.size() > lineBegin_) EndLine();  // the last line, its end cut off or a lone CR
  state_ = State::Complete;
}

void HeadReader::EndLine() {
  const Span line{lineBegin_, lineEnd_};
  if (line.Begin == line.End) {
    if (direction_ == Direction::Answer || started_) {
      state_ = State::Complete;
      return;
    }
    block_.clear();  // a blank line before the request line
  } else if (!started_) {
    ReadStartLine(line);
    started_ = true;
  } else {
    fields_.push_back(ReadFieldLine(line));
  }
  lineBegin_ = block_.size();
}

void HeadReader::ReadStartLine(Span line) {
  start_.Line = line;
  start_.Next = block_.size();
  const std::string_view text = Text(line);
  if (direction_ == Direction::Answer) {
    if (text.size() == 8 || (text.size() > 8 && text[8] == ' '))
      start_.Protocol = ParseVersion(text.substr(0, 8));
    if (start_.Protocol && start_.Protocol->Major == 1 && text.size() >= 12 &&
        (text.size() == 12 || text[12] == ' '))
      start_.Status = ParseStatusCode(text.substr(9, 3)).value_or(0);
    return;
  }
  // Blanks and control bytes may stand at either end of a request line.
  const auto blank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  std::size_t begin = line.Begin;
  std::size_t end = line.End;
  while (begin < end && blank(block_[begin]))
    ++begin;
  while (end > begin && blank(block_[end - 1]))
    --end;
  const std::string_view trimmed = Text({begin, end});
  const std::size_t first = trimmed.find(' ');
  const std::size_t last = trimmed.rfind(' ');
  if (first == std::string_view::npos) return;
  start_.Method = {begin, begin + first};
  if (first == last) return;
  start_.Target = {begin + first + 1, begin + last};
  start_.Protocol = ParseVersion(trimmed.substr(last + 1));
}

FieldLine HeadReader::ReadFieldLine(Span line) const {
  const Span none{line.Begin, line.Begin};
  FieldLine field{.Line = line, .Next = block_.size(), .Name = none, .Value = none};
  const std::string_view text = Text(line);
  const std::size_t colon = IsBlank(text.front()) ? std::string_view::npos : text.find(':');
  if (colon == std::string_view::npos) {
    field.Shape = IsBlank(text.front()) ? FieldLine::Form::Folded : FieldLine::Form::Malformed;
    return field;
  }
  const std::string_view name = text.substr(0, colon);
  const std::string_view value = TrimBlanks(text.substr(colon + 1));
  field.Shape = IsToken(name) ? FieldLine::Form::Field : FieldLine::Form::Malformed;
  field.Colon = line.Begin + colon;
  field.Name.End += TrimBlanks(name).size();
  field.Value.Begin = static_cast<std::size_t>(value.data() - block_.data());
  field.Value.End = field.Value.Begin + value.size();
  return field;
}

bool Framing::Take(std::string_view name, std::string_view value) {
  if (FieldNameIs(name, "content-length")) {
    const std::optional<std::int64_t> parsed = ParseContentLength(value);
    if (!parsed) {
      LengthMalformed = true;
    } else {
      LengthsDiffer = LengthsDiffer || (Length && *Length != *parsed);
      Length = parsed;
    }
    return true;
  }
  if (!FieldNameIs(name, "transfer-encoding")) return false;
  const std::vector<std::string_view> codings = ListElements(value);
  ++CodingFields;
  ChunkedAlone = codings.size() == 1 && FieldNameIs(codings.front(), "chunked");
  return true;
}

void AppendFieldLines(const HeadReader& head, const std::vector<FieldEdit>& edits, bool crlf,
                      std::string& out) {
  const std::string& block = head.Block();
  bool kept = true;  // the line before, for the lines folded into it
  for (std::size_t i = 0; i < head.Fields().size(); ++i) {
    const FieldLine& line = head.Fields()[i];
    const FieldEdit& edit = edits[i];
    if (line.Shape != FieldLine::Form::Folded) kept = edit.What == FieldEdit::Kind::Keep;
    const std::string_view ending =
        crlf ? std::string_view("\r\n") : head.Text({line.Line.End, line.Next});
    if (kept) {
      out.append(head.Text(line.Line)).append(ending);
    } else if (edit.What == FieldEdit::Kind::Replace && line.Shape != FieldLine::Form::Folded) {
      out.append(head.Text({line.Line.Begin, line.Colon + 1})).append(" ").append(edit.Value);
      out.append(ending);
    } else if (!crlf && out.ends_with('\r') && line.Next < block.size() &&
               block[line.Next] == '\n') {
      // A lone CR before the dropped line must not pair with the LF after it into one line end.
      out.push_back('\n');
    }
  }
}

}  // namespace proxy::http
