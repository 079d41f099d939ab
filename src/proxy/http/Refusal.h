#pragma once

#include <string>
#include <string_view>

// Every reason the proxy answers a client itself instead of relaying an origin's answer, and the
// one table that gives each its status and the words the download pane shows for it.
namespace proxy::http {

enum class Refusal {
  // 400: the request is malformed or framed so that an origin could read it differently.
  MalformedHeaderBlock,
  HeaderBlockCutShort,
  MalformedRequestLine,
  TargetNotHttpUrl,
  MalformedConnectTarget,
  ZoneOffLinkLocal,
  FoldedField,
  MalformedField,
  InvalidContentLength,
  LengthWithTransferEncoding,
  UnsupportedTransferEncoding,
  MalformedChunkedBody,
  ChunkedBodyCutShort,
  ExpectationFailed,    // 417
  VersionNotSupported,  // 505
  HeaderTooLarge,       // 431
  BodyTooLarge,         // 413
  HeaderTimedOut,       // 408
  BodyTimedOut,         // 408
  LoopbackForbidden,    // 403
  LoopDetected,         // 508
  OutOfSockets,         // 503
  BodyBudgetSpent,      // 503
  // 502: no answer can come from the origin.
  InvalidPort,
  ConnectFailed,
  NoAnswer,
  AnswerHeadTooLarge,
  AnswerLengthsDiffer,
  AnswerOtherCoding,
  UnaskedUpgrade,
  AnswerHeadTimedOut,  // 504
  ConnectTimedOut,     // 504
};

struct RefusalText {
  std::string_view Status;  // code and reason phrase, as in the status line
  std::string_view Reason;  // what went wrong, for the download pane
};

const RefusalText& Describe(Refusal refusal);

// The status line the client gets: "HTTP/1.0 " and the status.
std::string StatusLine(Refusal refusal);

// The whole answer that refuses a request: the status line, a body of one line of text (the text
// given, else the refusal's reason), and Connection: close.
std::string RefusalAnswer(Refusal refusal, std::string_view text = {});

}  // namespace proxy::http
