#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "proxy/Limits.h"
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
  // kMaxAnswerHeadBytes or by the head deadline (after an interim block has gone, the run
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

  // headDeadline: how long after Run begins the final header block must be complete. Once the
  // client has finished sending, the answer may stand still as long before the run ends, unless
  // SetIdleLimit says otherwise.
  AnswerRelay(TIdTCPConnection& client, TIdTCPConnection& upstream, ProxyView& view,
              ProxyCounters& counters, Pacing pacing, std::function<bool()> giveUp,
              std::chrono::milliseconds headDeadline, bool headRequest);

  Outcome Run();
  // While a request body still goes upstream: relays the interim blocks the origin has sent, and
  // says whether that is all it has sent so far, so that the body may go on. False once a final
  // answer has begun (or the origin has closed): forwarding stops, and Run relays it.
  bool RelayInterim();
  bool ClientOffered() const { return relay_.ClientOffered(); }
  // Nothing goes to the client before then, as if the origin were that slow.
  void DelayFirstByteUntil(Deadline until) { relay_.DelayFirstByteUntil(until); }
  // The request may be asked again in HTTP/1.1 when the origin refuses HTTP/1.0.
  void SetRetryable(bool value) { retryable_ = value; }
  // The client has heard 100 Continue from the proxy: one from the origin does not go to it.
  void SetContinueSent(bool value) { continueSent_ = value; }
  http::Refusal Problem() const { return problem_; }
  // The final answer read was a 426 or 505, relayed or not.
  bool RefusedHttp10() const { return refusedHttp10_; }
  // Once the client has finished sending, how long the answer may stand still before the run
  // ends.
  void SetIdleLimit(std::chrono::milliseconds limit) { relay_.SetIdleLimit(limit); }

  // Fired once the final header block has come and is to be relayed, so that the request will not
  // be asked again.
  std::function<void()> OnFinalHead;

 private:
  // Waits for more of a header block: nothing when bytes (or the close) have come.
  std::optional<Outcome> AwaitHead(Deadline deadline);
  // Relays the final block framing_ has just read and the body after it.
  Outcome RelayFinal();
  // Sends the interim block framing_ has just read; false when the run should end.
  bool SendInterim();

  TIdTCPConnection& upstream_;
  ProxyView& view_;
  const std::function<bool()> giveUp_;
  const std::chrono::milliseconds headDeadline_;
  PacedRelay relay_;
  http::AnswerFraming framing_;
  Deadline nextLook_;
  bool retryable_ = false;
  bool continueSent_ = false;
  bool refusedHttp10_ = false;
  http::Refusal problem_ = http::Refusal::NoAnswer;
};

}  // namespace proxy
