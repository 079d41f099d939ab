// An answer's header block found in reads of any size, then rewritten in place as the relay does:
// the block must end at its first empty line wherever the reads were cut, still end there once
// rewritten, and the body must come out as it went in.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "proxy/AnswerHead.h"
#include "proxy/MessageRewriting.h"
#include "proxy/PacedRelay.h"
#include "proxy/RelayBuffer.h"

namespace {

using proxy::AnswerHead;

struct Found {
  std::size_t end = 0;
  std::size_t held = 0;  // bytes held when the end became known
  bool closed = false;
  bool tooLong = false;
};

// Gives the answer to Find in the pieces a relay would hold: growing, never past kMaxBytes.
Found FindInReads(std::string_view answer, const std::vector<std::size_t>& cuts) {
  AnswerHead head;
  std::size_t held = 0;
  for (std::size_t i = 0;; ++i) {
    std::size_t step = cuts.empty() ? answer.size() : cuts[i % cuts.size()];
    if (step == 0) {
      // Asking again with nothing new must not end the block early.
      if (const auto end = head.Find(answer.substr(0, held), false)) return {*end, held, false};
      step = 1;
    }
    held = std::min({held + step, answer.size(), AnswerHead::kMaxBytes});
    const bool closed = held == answer.size();
    const std::optional<std::size_t> end = head.Find(answer.substr(0, held), closed);
    if (end) return {*end, held, closed};
    if (head.TooLong()) return {0, held, false, true};
    FUZZ_CHECK(!closed && held < AnswerHead::kMaxBytes);
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
    while (answer.size() <= AnswerHead::kMaxBytes)
      answer.append(answer.substr(0, AnswerHead::kMaxBytes + 1 - answer.size()));
  }

  const Found once = FindInReads(answer, {});
  const Found pieces = FindInReads(answer, cuts);
  FUZZ_CHECK(once.tooLong == pieces.tooLong);
  if (once.tooLong) {
    FUZZ_CHECK(once.held == AnswerHead::kMaxBytes && pieces.held == AnswerHead::kMaxBytes);
    return 0;
  }
  FUZZ_CHECK(once.end <= once.held && pieces.end <= pieces.held);
  FUZZ_CHECK(once.end <= AnswerHead::kMaxBytes);
  // A CR LF cut after its CR ends the block one byte sooner; the LF then goes with the body.
  const bool lfLeftOut = pieces.end > 0 && pieces.end + 1 == once.end &&
                         pieces.end == pieces.held && answer.substr(pieces.end - 1, 2) == "\r\n";
  FUZZ_CHECK(pieces.end == once.end || lfLeftOut);

  // Rewritten, a block that ended at its empty line still ends there and nowhere sooner, so no
  // field of it can turn into body or body into fields.
  const std::string_view block = std::string_view(answer).substr(0, once.end);
  const std::string rewritten = proxy::RewriteAnswerHead(block);
  if (!once.closed || once.end < answer.size()) {
    AnswerHead again;
    FUZZ_CHECK(again.Find(rewritten, false) == rewritten.size());
  }

  // The relay rewrites the block where it is held; the body must follow it untouched.
  proxy::RelayBuffer held(proxy::PacedRelay::kMaxHeldBytes);
  const std::string_view sent = std::string_view(answer).substr(0, pieces.held);
  std::size_t stored = 0;
  while (stored < sent.size()) {
    const std::span<char> space = held.Space(sent.size() - stored);
    FUZZ_CHECK(!space.empty());
    std::copy_n(sent.begin() + stored, space.size(), space.begin());
    held.Commit(space.size());
    stored += space.size();
  }
  const std::string rewrittenPiece = proxy::RewriteAnswerHead(sent.substr(0, pieces.end));
  held.ReplaceFront(pieces.end, rewrittenPiece);
  FUZZ_CHECK(held.Data() == rewrittenPiece + std::string(sent.substr(pieces.end)));
  return 0;
}
