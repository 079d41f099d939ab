#include "proxy/AnswerRelay.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "net/IdTCPConnection.h"
#include "proxy/Readiness.h"
#include "proxy/http/ChunkedCoding.h"

namespace proxy {
namespace {

// The download pane shows what came from the origin where it holds a line end.
void ShowText(ProxyView& view, std::string_view bytes) {
  if (bytes.find("\r\n") != std::string_view::npos) view.AppendDownloadText(bytes);
}

// A chunked body decoded on its way to the client.
class ChunkedFilter : public ReadFilter {
 public:
  void Take(std::string_view read, std::string& out) override { decoder_.Append(read, out); }
  bool Ended() const override { return decoder_.Status() == http::ChunkedDecoder::State::Done; }
  bool Failed() const override {
    return decoder_.Status() != http::ChunkedDecoder::State::Done &&
           decoder_.Status() != http::ChunkedDecoder::State::Reading;
  }

 private:
  http::ChunkedDecoder decoder_;
};

}  // namespace

AnswerRelay::AnswerRelay(TIdTCPConnection& client, TIdTCPConnection& upstream, ProxyView& view,
                         ProxyCounters& counters, Pacing pacing, std::function<bool()> giveUp,
                         std::chrono::milliseconds headDeadline, bool headRequest)
    : upstream_(upstream),
      view_(view),
      giveUp_(giveUp),
      headDeadline_(headDeadline),
      relay_(client, upstream, view, counters, std::move(pacing), std::move(giveUp)),
      framing_(headRequest) {
  // Once the answer has begun, the same bound holds for an answer that stops moving.
  relay_.SetIdleLimit(headDeadline);
}

bool AnswerRelay::RelayInterim() {
  relay_.ReadReady(RelayBuffer::kInitialCapacity);
  for (;;) {
    const http::AnswerFraming::Step step =
        framing_.Read(relay_.Held().Data(), relay_.UpstreamClosed());
    if (step != http::AnswerFraming::Step::Interim)
      return step == http::AnswerFraming::Step::More && framing_.Interim();
    if (!SendInterim()) return false;
  }
}

bool AnswerRelay::SendInterim() {
  // A client told once to go on with its body needs no second word of it.
  if (continueSent_ && framing_.Status() == 100) {
    relay_.Held().Consume(framing_.Taken());
    return true;
  }
  relay_.Held().ReplaceFront(framing_.Taken(), framing_.Block());
  ShowText(view_, framing_.Block());
  return relay_.SendFront(framing_.Block().size());
}

AnswerRelay::Outcome AnswerRelay::Run() {
  const Deadline deadline = Deadline::In(headDeadline_);
  nextLook_ = Deadline::In(kHeadLookPeriod);
  http::AnswerFraming& framing = framing_;
  RelayBuffer& held = relay_.Held();
  for (;;) {
    switch (framing.Read(held.Data(), relay_.UpstreamClosed())) {
      case http::AnswerFraming::Step::More:
        if (const std::optional<Outcome> ended = AwaitHead(deadline)) return *ended;
        // A step at a time: the body read with the block stays held until the pacing lets it
        // go, so reading all the origin has ready would hold a whole small answer per run. At
        // least a byte, for the LF a block's last CR may still have to come.
        relay_.ReadReady(static_cast<std::int64_t>(
            std::clamp<std::size_t>(http::AnswerFraming::kMaxHeadBytes -
                                        std::min(held.Size(), http::AnswerFraming::kMaxHeadBytes),
                                    1, RelayBuffer::kInitialCapacity)));
        continue;
      case http::AnswerFraming::Step::TooLarge:
        return relay_.ClientOffered() ? Outcome::Relayed : Outcome::HeadTooLarge;
      case http::AnswerFraming::Step::Interim:
        if (!SendInterim()) return Outcome::GaveUp;
        continue;
      case http::AnswerFraming::Step::Invalid:
        problem_ = framing.Problem();
        return relay_.ClientOffered() ? Outcome::CutShort : Outcome::Invalid;
      case http::AnswerFraming::Step::Final:
        break;
    }
    if (held.Size() == 0 && !relay_.ClientOffered()) return Outcome::NoAnswer;  // closed at once
    refusedHttp10_ = framing.Status() == 426 || framing.Status() == 505;
    if (retryable_ && refusedHttp10_ && !relay_.ClientOffered()) return Outcome::RefusesHttp10;
    if (OnFinalHead) OnFinalHead();
    return RelayFinal();
  }
}

AnswerRelay::Outcome AnswerRelay::RelayFinal() {
  RelayBuffer& held = relay_.Held();
  std::optional<std::int64_t> length;
  ChunkedFilter chunked;
  ReadFilter* filter = nullptr;
  const http::BodyFraming body = framing_.Body();
  if (body.Framing == http::BodyFraming::Kind::Chunked) {
    // What came with the block is decoded as what follows will be.
    std::string decoded = framing_.Block();
    chunked.Take(held.Data().substr(framing_.Taken()), decoded);
    held.ReplaceFront(held.Size(), decoded);
    filter = &chunked;
  } else {
    held.ReplaceFront(framing_.Taken(), framing_.Block());
    if (body.Framing == http::BodyFraming::Kind::Length)
      length = static_cast<std::int64_t>(framing_.Block().size()) + body.Length;
  }
  ShowText(view_, held.Data());
  switch (relay_.Run(
      length, [this](std::string_view bytes) { ShowText(view_, bytes); }, filter)) {
    case PacedRelay::Outcome::Relayed:
      return Outcome::Relayed;
    case PacedRelay::Outcome::GaveUp:
      return Outcome::GaveUp;
    case PacedRelay::Outcome::CutShort:
      return Outcome::CutShort;
  }
  return Outcome::Relayed;
}

// An origin that trickles its header block would keep every wait short and never let the run
// look at its client: the look comes by the clock instead.
std::optional<AnswerRelay::Outcome> AnswerRelay::AwaitHead(Deadline deadline) {
  for (;;) {
    if (nextLook_.Passed()) {
      if (giveUp_()) return Outcome::GaveUp;
      nextLook_ = Deadline::In(kHeadLookPeriod);
    }
    if (deadline.Passed()) return relay_.ClientOffered() ? Outcome::Relayed : Outcome::HeadTimedOut;
    if (WaitReadable(upstream_.Socket(), std::min(deadline, nextLook_).Left()) !=
        Readiness::TimedOut)
      return std::nullopt;
  }
}

}  // namespace proxy
