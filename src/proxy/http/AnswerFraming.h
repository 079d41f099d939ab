#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "proxy/http/HeadReader.h"
#include "proxy/http/Refusal.h"

// An answer from the bytes an origin sends to what the client gets: its header blocks (interim
// ones, then the final one) found in bytes that arrive in pieces and rewritten as wholes, and the
// framing of the body after them. Pure: no sockets, no threads.
namespace proxy::http {

// How the body after a final header block ends.
struct BodyFraming {
  // Conflicting: Content-Lengths that differ, which no recipient can frame safely. OtherCoding: a
  // transfer coding besides chunked alone, which an HTTP/1.0 client cannot undo.
  enum class Kind { Length, Chunked, UntilClose, Conflicting, OtherCoding };
  Kind Framing = Kind::UntilClose;
  std::int64_t Length = 0;  // for Kind::Length
  // The block names a Transfer-Encoding, whatever the framing.
  bool Coded = false;
};

// Reads an answer's header blocks once, in bytes that arrive in pieces (HeadReader, lines ending
// leniently); a block ends with its empty line. Only the blocks are rewritten, each as a whole;
// every byte after the final one is the body and goes out as it came.
class AnswerFraming {
 public:
  // A block not ended within this many bytes is no answer we relay.
  static constexpr std::size_t kMaxHeadBytes = 65536;

  explicit AnswerFraming(bool headRequest) : headRequest_(headRequest) {}

  enum class Step {
    More,      // the block may still go on: hold what came and read on
    Interim,   // a 1xx block (but 101) is complete; another block follows it
    Final,     // the final block is complete; the body follows it
    TooLarge,  // the block has not ended within kMaxHeadBytes
    Invalid,   // a final block no answer can be relayed with (Problem says why)
  };
  // held is the answer from the first byte of the block not yet taken on, as much of it as has
  // come; each call sees at least what the call before it saw, until a block is taken. closed: the
  // origin sends no more, so whatever is held is the block.
  Step Read(std::string_view held, bool closed);
  // While More: whether the block being read may still be interim, which it is until its status
  // line has ended and said otherwise.
  bool Interim() const;

  // After Interim, Final or Invalid: how many bytes of held the block took, the block as the
  // client gets it, and its status code (0 when its status line is none). The client gets an
  // HTTP/1.x status line saying HTTP/1.0, Connection and Proxy-Connection saying "close", no
  // Keep-Alive (nor lines folded into these), every other byte as it came. Bytes that do not begin
  // with "HTTP/" are no header block: only their framing fields may go. HTTP/1.0 has no transfer
  // codings: a final block that names one goes without Transfer-Encoding and Content-Length, its
  // body decoded when chunked, else having none.
  //
  // After Final, the body: none after a HEAD request or with status 1xx, 204 or 304 (but 101,
  // after which another protocol runs until the close); chunked with one Transfer-Encoding of
  // chunked alone, whatever Content-Length it has; OtherCoding with any other, an empty one
  // included; else by Content-Length, conflicting when its values differ, until the close when
  // there is none that is a number.
  std::size_t Taken() const { return taken_; }
  const std::string& Block() const { return block_; }
  int Status() const { return status_; }
  BodyFraming Body() const { return body_; }
  // After Invalid: a 101 that nobody asked for (the proxy always sends Connection: close),
  // Content-Lengths that differ, or a body in another transfer coding than chunked.
  Refusal Problem() const { return problem_; }

 private:
  // The block the reader has read whole, rewritten and judged.
  Step Finish();
  // The block as the client gets it: coded, it names a transfer coding the client will not see.
  std::string Rewritten(bool coded) const;

  const bool headRequest_;
  HeadReader reader_{Direction::Answer};
  std::size_t taken_ = 0;
  std::string block_;
  int status_ = 0;
  BodyFraming body_;
  Refusal problem_ = Refusal::AnswerLengthsDiffer;
};

}  // namespace proxy::http
