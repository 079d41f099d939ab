#include "proxy/http/AnswerFraming.h"

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <vector>

#include "proxy/http/FieldSyntax.h"

namespace proxy::http {
namespace {

// The status code of an HTTP/1.x status line, or nothing when the line is none.
std::optional<int> StatusCode(std::string_view line) {
  const std::optional<Version> version = ParseVersion(line.substr(0, 8));
  if (!version || version->Major != 1 || line.size() < 12 || line[8] != ' ' ||
      (line.size() > 12 && line[12] != ' '))
    return std::nullopt;
  return ParseStatusCode(line.substr(9, 3));
}

// Calls each with every line of the block and the line end after it (CR LF, a lone CR, a lone LF
// or nothing at the end).
void ForEachLine(std::string_view block,
                 const std::function<void(std::string_view, std::string_view, std::size_t)>& each) {
  for (std::size_t at = 0; at < block.size();) {
    std::size_t end = block.find_first_of("\r\n", at);
    std::size_t next = end;
    if (end == std::string_view::npos) {
      end = next = block.size();
    } else if (block[next++] == '\r' && next < block.size() && block[next] == '\n') {
      ++next;
    }
    each(block.substr(at, end - at), block.substr(end, next - end), next);
    at = next;
  }
}

// The block without the fields of these names (lower case), and the lines folded into them.
std::string WithoutFields(std::string_view block, std::initializer_list<std::string_view> names) {
  std::string out;
  bool dropping = false;
  bool statusLine = true;
  ForEachLine(block, [&](std::string_view line, std::string_view ending, std::size_t) {
    if (statusLine) {
      statusLine = false;
    } else if (line.empty() || !IsBlank(line[0])) {
      const std::string_view name = TrimBlanks(line.substr(0, line.find(':')));
      dropping = line.find(':') != std::string_view::npos &&
                 std::any_of(names.begin(), names.end(),
                             [&](std::string_view n) { return FieldNameIs(name, n); });
    }
    if (!dropping) out.append(line).append(ending);
  });
  return out;
}

}  // namespace

AnswerFraming::Step AnswerFraming::Read(std::string_view held, bool closed) {
  const std::optional<std::size_t> end = FindEnd(held, closed);
  if (!end) return tooLarge_ ? Step::TooLarge : Step::More;
  // Every byte of the block counts, the LF of its last CR LF too.
  if (*end > kMaxHeadBytes) return Step::TooLarge;
  taken_ = *end;
  block_ = RewriteAnswerHead(held.substr(0, taken_));
  status_ = StatusCode(block_.substr(0, block_.find_first_of("\r\n"))).value_or(0);
  // The next block is read from its own first byte on.
  scanned_ = 0;
  lineStart_ = true;
  afterCr_ = false;
  end_.reset();
  if (IsInterimHead(block_)) return Step::Interim;
  body_ = FrameAnswerBody(block_, headRequest_);
  if (status_ == 101) {
    problem_ = Refusal::UnaskedUpgrade;
    return Step::Invalid;
  }
  if (body_.Framing == BodyFraming::Kind::Conflicting ||
      body_.Framing == BodyFraming::Kind::OtherCoding) {
    problem_ = body_.Framing == BodyFraming::Kind::Conflicting ? Refusal::AnswerLengthsDiffer
                                                               : Refusal::AnswerOtherCoding;
    return Step::Invalid;
  }
  // A Content-Length beside a coding tells nothing true about what the client gets.
  if (body_.Coded) block_ = WithoutFields(block_, {"transfer-encoding", "content-length"});
  return Step::Final;
}

std::optional<std::size_t> AnswerFraming::FindEnd(std::string_view held, bool closed) {
  if (!end_) {
    const std::size_t limit = std::min(held.size(), kMaxHeadBytes);
    for (; scanned_ < limit && !end_; ++scanned_) {
      const char c = held[scanned_];
      if (afterCr_) {
        afterCr_ = false;
        if (c == '\n') continue;  // the LF of a CR LF: still at the start of a line
      }
      if (c != '\r' && c != '\n') {
        lineStart_ = false;
      } else if (lineStart_) {
        end_ = scanned_ + 1;  // the empty line
      } else {
        lineStart_ = true;
        afterCr_ = c == '\r';
      }
    }
    if (!end_) {
      if (held.size() >= kMaxHeadBytes) {
        tooLarge_ = true;
        return std::nullopt;
      }
      return closed ? std::optional(held.size()) : std::nullopt;
    }
  }
  // An empty line that is a CR may have its LF still to come, which belongs to the block.
  if (held[*end_ - 1] == '\r') {
    if (*end_ < held.size()) return held[*end_] == '\n' ? *end_ + 1 : *end_;
    if (!closed) return std::nullopt;
  }
  return end_;
}

std::string RewriteAnswerHead(std::string_view block) {
  // Without a status line this is no header block but a body: nothing in it is ours to change.
  if (!block.starts_with("HTTP/")) return std::string(block);
  std::string out;
  out.reserve(block.size() + 16);
  bool statusLine = true;
  bool dropping = false;  // a dropped field, or the lines folded into one we replaced
  ForEachLine(block, [&](std::string_view line, std::string_view ending, std::size_t next) {
    if (statusLine) {
      statusLine = false;
      const std::optional<Version> version = ParseVersion(line.substr(0, 8));
      if (version && version->Major == 1 && (line.size() == 8 || line[8] == ' ')) {
        out.append("HTTP/1.0").append(line.substr(8)).append(ending);
        return;
      }
    } else if (line.empty() || !IsBlank(line[0])) {
      const std::size_t colon = line.find(':');
      const std::string_view name =
          TrimBlanks(line.substr(0, colon == std::string_view::npos ? 0 : colon));
      if (FieldNameIs(name, "connection") || FieldNameIs(name, "proxy-connection")) {
        out.append(line.substr(0, colon + 1)).append(" close").append(ending);
        dropping = true;  // only its folded lines
        return;
      }
      dropping = FieldNameIs(name, "keep-alive");
    }
    if (!dropping) {
      out.append(line).append(ending);
    } else if (out.ends_with('\r') && next < block.size() && block[next] == '\n') {
      // A lone CR before the dropped line must not pair with the LF after it into one line end.
      out.push_back('\n');
    }
  });
  return out;
}

bool MayBeInterim(std::string_view start) {
  constexpr std::string_view kShape = "HTTP/1.x 1";
  for (std::size_t i = 0; i < std::min(start.size(), kShape.size()); ++i) {
    if (i == 7 ? !IsDigit(start[i]) : start[i] != kShape[i]) return false;
  }
  return start.size() < 12 || start.substr(9, 3) != "101";
}

bool IsInterimHead(std::string_view block) {
  const std::optional<int> code = StatusCode(block.substr(0, block.find_first_of("\r\n")));
  return code && *code / 100 == 1 && *code != 101;
}

BodyFraming FrameAnswerBody(std::string_view block, bool headRequest) {
  const std::size_t statusEnd = block.find_first_of("\r\n");
  const std::optional<int> code = StatusCode(block.substr(0, statusEnd));
  // After a 101 the connection carries another protocol, which ends when it closes.
  if (code == 101) return {};
  BodyFraming body;
  bool lengthValid = true;
  bool conflicting = false;  // two numbers that differ, rather than no number
  int codingFields = 0;
  std::vector<std::string_view> codings;
  std::optional<std::int64_t> length;
  ForEachLine(block.substr(std::min(statusEnd, block.size())),
              [&](std::string_view line, std::string_view, std::size_t) {
                const std::optional<Field> field = ParseField(line);
                if (!field) return;
                if (FieldNameIs(field->Name, "transfer-encoding")) {
                  for (const std::string_view coding : ListElements(field->Value))
                    codings.push_back(coding);
                  ++codingFields;
                } else if (FieldNameIs(field->Name, "content-length")) {
                  const std::optional<std::int64_t> parsed = ParseContentLength(field->Value);
                  if (!parsed) {
                    lengthValid = false;
                    return;
                  }
                  if (length && *length != *parsed) {
                    lengthValid = false;
                    conflicting = true;
                  }
                  length = parsed;
                }
              });
  body.Coded = codingFields > 0;
  if (headRequest || (code && (*code / 100 == 1 || *code == 204 || *code == 304))) {
    body.Framing = BodyFraming::Kind::Length;
    return body;
  }
  // Only a body in chunked alone can be decoded into what the client is told it gets.
  if (body.Coded) {
    body.Framing =
        codingFields == 1 && codings.size() == 1 && FieldNameIs(codings.front(), "chunked")
            ? BodyFraming::Kind::Chunked
            : BodyFraming::Kind::OtherCoding;
    return body;
  }
  if (!length) return body;
  if (!lengthValid) {
    body.Framing = conflicting ? BodyFraming::Kind::Conflicting : BodyFraming::Kind::UntilClose;
    return body;
  }
  body.Framing = BodyFraming::Kind::Length;
  body.Length = *length;
  return body;
}

}  // namespace proxy::http
