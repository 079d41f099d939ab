#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "proxy/PacedRelay.h"
#include "proxy/ProxyCounters.h"
#include "proxy/ProxyView.h"
#include "proxy/http/AnswerFraming.h"

class TIdTCPConnection;

namespace proxy {

// Relays the answer to one forwarded request. Its header blocks are held until each is complete
// and rewritten as a whole (http::AnswerFraming); each interim (1xx) block goes out (paced) as
// soon as it is complete, the final one with the body after it, paced by PacedRelay, up to the
// end the block announces or the origin's close; a chunked body goes decoded, ending where its last
// chunk does. The final block and every body read that holds CR LF are shown in the download pane.
class AnswerRelay {
 public:
  // Relayed, GaveUp and CutShort as PacedRelay has them. The rest say why no answer could go to
  // the client: the origin closed without a byte, the header block did not end within
  // AnswerFraming::kMaxHeadBytes or by the head deadline (after an interim block has gone, the run
  // just ends), or it is no block an answer can be relayed with (Problem says why). RefusesHttp10:
  // the origin answered 426 or 505, which say it did not act on the request, and nothing has gone
  // to the client (only when SetRetryable).
  enum class Outcome {
    Relayed,
    GaveUp,
    CutShort,
    NoAnswer,
    HeadTooLarge,
    HeadTimedOut,
    Invalid,
    RefusesHttp10
  };

  // While an answer's header block is awaited, a gone client or a stop is looked for this often,
  // whatever the origin sends meanwhile.
  static constexpr std::int32_t kHeadLookMs = 250;
  static constexpr std::int32_t kHeadDeadlineMs = 60000;

  // headDeadlineMs: how long after Run begins the final header block must be complete.
  AnswerRelay(TIdTCPConnection& client, TIdTCPConnection& upstream, ProxyView& view,
              ProxyCounters& counters, PacedRelay::PauseFunction pause,
              std::function<bool()> giveUp, std::int32_t headDeadlineMs, bool headRequest);

  Outcome Run();
  // While a request body still goes upstream: relays the interim blocks the origin has sent, and
  // says whether that is all it has sent so far, so that the body may go on. False once a final
  // answer has begun (or the origin has closed): forwarding stops, and Run relays it.
  bool RelayInterim();
  bool ClientOffered() const { return relay_.ClientOffered(); }
  // Nothing goes to the client before then, as if the origin were that slow.
  void HoldFirstByteUntil(std::chrono::steady_clock::time_point until) {
    relay_.HoldFirstByteUntil(until);
  }
  // The request may be asked again in HTTP/1.1 when the origin refuses HTTP/1.0.
  void SetRetryable(bool value) { retryable_ = value; }
  // The client has heard 100 Continue from the proxy: one from the origin does not go to it.
  void SetContinueSent(bool value) { continueSent_ = value; }
  http::Refusal Problem() const { return problem_; }
  // The final answer read was a 426 or 505, relayed or not.
  bool RefusedHttp10() const { return refusedHttp10_; }
  // Once the client has finished sending, how long the answer may stand still before the run
  // ends; the head deadline's length unless set.
  void SetIdleLimit(std::int32_t milliseconds) { relay_.SetIdleLimit(milliseconds); }

  // Fired once the final header block has come and is to be relayed, so that the request will not
  // be asked again.
  std::function<void()> OnFinalHead;

 private:
  using Clock = std::chrono::steady_clock;

  // Waits for more of a header block: nothing when bytes (or the close) have come.
  std::optional<Outcome> AwaitHead(Clock::time_point deadline);
  // Relays the final block framing_ has just read and the body after it.
  Outcome RelayFinal();
  // Sends the interim block framing_ has just read; false when the run should end.
  bool SendInterim();

  TIdTCPConnection& upstream_;
  ProxyView& view_;
  const std::function<bool()> giveUp_;
  const std::int32_t headDeadlineMs_;
  PacedRelay relay_;
  http::AnswerFraming framing_;
  Clock::time_point nextLook_;
  bool retryable_ = false;
  bool continueSent_ = false;
  bool refusedHttp10_ = false;
  http::Refusal problem_ = http::Refusal::NoAnswer;
};

}  // namespace proxy
