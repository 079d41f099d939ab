// An answer's header blocks read in reads of any size, then rewritten in place as the relay does:
// a block must end at its first empty line wherever the reads were cut, still end there once
// rewritten and read as it was, and the body must come out as it went in.
#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "proxy/Limits.h"
#include "proxy/RelayBuffer.h"
#include "proxy/http/AnswerFraming.h"

namespace {

using proxy::http::AnswerFraming;
using Step = AnswerFraming::Step;

struct Found {
  Step step = Step::More;
  std::size_t taken = 0;
  std::size_t held = 0;  // bytes held when the block was read
  bool closed = false;
  std::string block;
  int status = 0;
  bool coded = false;
};

// Reads the first block in the pieces a relay would hold: growing, never past the block limit
// but for the one byte that may complete a CR LF.
Found ReadInPieces(std::string_view answer, const std::vector<std::size_t>& cuts) {
  AnswerFraming framing(false);
  const std::size_t most = AnswerFraming::kMaxHeadBytes + 1;
  std::size_t held = 0;
  for (std::size_t i = 0;; ++i) {
    std::size_t step = cuts.empty() ? answer.size() : cuts[i % cuts.size()];
    if (step == 0) {
      // Asking again with nothing new must not end the block early.
      FUZZ_CHECK(held == 0 || framing.Read(answer.substr(0, held), false) == Step::More);
      step = 1;
    }
    held = std::min({held + step, answer.size(), most});
    const bool closed = held == answer.size();
    const Step read = framing.Read(answer.substr(0, held), closed);
    if (read != Step::More) {
      const int status = framing.Status();
      return {read, framing.Taken(), held, closed, framing.Block(), status, framing.Body().Coded};
    }
    FUZZ_CHECK(!closed && held < most);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  const std::vector<std::size_t> cuts = input.Cuts();
  // Sometimes the answer is repeated past the block limit, to reach it.
  const bool longAnswer = input.Byte() == 0xFF;
  std::string answer(input.Rest());
  if (longAnswer && !answer.empty()) {
    while (answer.size() <= AnswerFraming::kMaxHeadBytes)
      answer.append(answer.substr(0, AnswerFraming::kMaxHeadBytes + 1 - answer.size()));
  }

  const Found once = ReadInPieces(answer, {});
  const Found pieces = ReadInPieces(answer, cuts);
  FUZZ_CHECK(once.step == pieces.step);
  if (once.step == Step::TooLarge) return 0;
  FUZZ_CHECK(once.taken == pieces.taken && once.block == pieces.block);
  FUZZ_CHECK(pieces.taken <= pieces.held && once.taken <= AnswerFraming::kMaxHeadBytes + 1);

  // Rewritten, a block that ended at its empty line still ends there and nowhere sooner, so no
  // field of it can turn into body or body into fields; read again, it is the same block, interim
  // or final as it was.
  if (once.block.size() <= AnswerFraming::kMaxHeadBytes) {
    AnswerFraming again(false);
    const bool interim = again.Read(once.block, true) == Step::Interim;
    FUZZ_CHECK(interim == (once.step == Step::Interim) && again.Taken() == once.block.size());
    FUZZ_CHECK(again.Block() == once.block && again.Status() == once.status);
  }
  // Bytes that are no header block go as they came, but for a transfer coding the client will
  // not see; an HTTP/1.x status line says HTTP/1.0.
  if (!answer.starts_with("HTTP/") && !once.coded)
    FUZZ_CHECK(once.block == answer.substr(0, once.taken));
  if (answer.size() > 8 && answer.starts_with("HTTP/1.") && answer[7] >= '0' && answer[7] <= '9' &&
      answer[8] == ' ')
    FUZZ_CHECK(once.block.starts_with("HTTP/1.0 "));

  // The relay rewrites the block where it is held; the body must follow it untouched.
  proxy::RelayBuffer held(proxy::kAnswerBufferBytes);
  const std::string_view sent = std::string_view(answer).substr(0, pieces.held);
  std::size_t stored = 0;
  while (stored < sent.size()) {
    const std::span<char> space = held.Space(sent.size() - stored);
    FUZZ_CHECK(!space.empty());
    std::copy_n(sent.begin() + stored, space.size(), space.begin());
    held.Commit(space.size());
    stored += space.size();
  }
  held.ReplaceFront(pieces.taken, pieces.block);
  FUZZ_CHECK(held.Data() == pieces.block + std::string(sent.substr(pieces.taken)));
  return 0;
}
