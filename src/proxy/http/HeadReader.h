#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "proxy/http/FieldSyntax.h"

// The one model of a header block, for requests and answers alike: a reader that yields its start
// line, parsed once, and its field lines by where they lie; what its framing fields say; and the
// rewrite that sends its field lines on by those places. Pure: no sockets, no threads.
namespace proxy::http {

// Where a piece of a header block lies in it.
struct Span {
  std::size_t Begin = 0;
  std::size_t End = 0;
};

// The first line of a block, parsed when it ends.
struct StartLine {
  Span Line;             // as it came, without its line end
  std::size_t Next = 0;  // where the line after it begins
  // A request line, without blanks and control bytes at either end, is method, target and
  // version: what stands before its first space, between that and its last space, and after that.
  Span Method;
  Span Target;
  // A request's last word, an answer's first eight bytes when a space or the line's end follows.
  std::optional<Version> Protocol;
  // An answer's: three digits after "HTTP/1.x ", before a space or the line's end; else 0.
  int Status = 0;
};

// A line after the start line.
struct FieldLine {
  enum class Form {
    Field,      // a token, the colon right after it, and a value
    Folded,     // it begins with a blank, going on with the line before
    Malformed,  // no colon, or something else than a token before it (blanks included)
  };
  Form Shape = Form::Field;
  Span Line;             // without its line end
  std::size_t Next = 0;  // where the line after it begins
  std::size_t Colon = 0;
  Span Name;   // before the colon, without blanks right before it; empty without a colon
  Span Value;  // after the colon, without blanks at either end
};

// Which way a message goes; how its lines end and what its start line is follow from it.
enum class Direction {
  Request,  // lines end strictly (LineEnds); blank lines before the request line are skipped
  Answer,   // lines end leniently; the first empty line ends the block, whatever came before it
};

// A header block read from reads of any size; what follows it is left to the caller untouched.
class HeadReader {
 public:
  explicit HeadReader(Direction direction)
      : direction_(direction),
        lineEnds_(direction == Direction::Request ? LineEnds::Rule::Strict
                                                  : LineEnds::Rule::Lenient) {}

  // Takes bytes of the block from the front of bytes and gives how many it took. Takes nothing
  // once the block has ended or turned out malformed.
  std::size_t Append(std::string_view bytes);
  // No byte follows: the block ends where the bytes did, as an answer's when its origin closes.
  void EndOfInput();

  bool Complete() const { return state_ == State::Complete; }
  bool Malformed() const { return state_ == State::Malformed; }
  // An answer's empty line has begun with a CR: the block ends with it, or with an LF right after.
  bool EndPending() const {
    return direction_ == Direction::Answer && lineEnds_.Pending() && lineEnd_ == lineBegin_;
  }
  // Bytes taken so far, blank lines before a request line included.
  std::int64_t Size() const { return size_; }

  // The block from its start line on, its line ends as they came.
  const std::string& Block() const { return block_; }
  std::string_view Text(Span span) const {
    return std::string_view(block_).substr(span.Begin, span.End - span.Begin);
  }
  // Whether the start line has ended; Start() is all empty until then.
  bool Started() const { return started_; }
  const StartLine& Start() const { return start_; }
  // The lines after the start line that have ended, in order; the empty line is none of them.
  const std::vector<FieldLine>& Fields() const { return fields_; }

 private:
  enum class State { Reading, Complete, Malformed };

  void EndLine();
  void ReadStartLine(Span line);
  FieldLine ReadFieldLine(Span line) const;

  Direction direction_;
  LineEnds lineEnds_;
  State state_ = State::Reading;
  std::int64_t size_ = 0;
  std::string block_;
  std::size_t lineBegin_ = 0;  // of the line being read
  std::size_t lineEnd_ = 0;    // where its line end began, once it has
  bool started_ = false;
  StartLine start_;
  std::vector<FieldLine> fields_;
};

// What the Content-Length and Transfer-Encoding fields of a head say, taken one field at a time
// by the same rules for requests and answers; each direction decides what to make of it.
struct Framing {
  std::optional<std::int64_t> Length;  // the last Content-Length that is a number
  bool LengthMalformed = false;  // a Content-Length that is no number, or a list of differing ones
  bool LengthsDiffer = false;    // Content-Lengths that are numbers, but not the same one
  int CodingFields = 0;          // Transfer-Encoding fields
  bool ChunkedAlone = false;     // the last Transfer-Encoding names chunked and nothing else

  // Takes a well-formed field; false when it is neither of the two.
  bool Take(std::string_view name, std::string_view value);
  // A chunked body, and nothing else to undo: one Transfer-Encoding, naming chunked alone.
  bool Chunked() const { return CodingFields == 1 && ChunkedAlone; }
};

// How a field line goes on when its head is rewritten.
struct FieldEdit {
  enum class Kind { Keep, Drop, Replace };
  Kind What = Kind::Keep;
  std::string Value;  // for Replace: the value it says instead
};

// Appends the head's field lines to out, each as its edit says (edits[i] for Fields()[i]): a
// replaced line keeps what comes before its value; a folded line goes only after a line that is
// kept as it came. With crlf every line ends in CR LF, else as it came.
void AppendFieldLines(const HeadReader& head, const std::vector<FieldEdit>& edits, bool crlf,
                      std::string& out);

}  // namespace proxy::http
