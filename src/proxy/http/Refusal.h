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
  // For what the proxy could not do for a request it took on: how the answer's line of text says
  // it, before the origin is named ("could not connect to"); empty for a request refused as it
  // came.
  std::string_view Failure = {};
};

const RefusalText& Describe(Refusal refusal);

// The one line of text an answer that refuses a request carries: "Tramlet refused the request: "
// and the reason; or, where the refusal names a failure, "Tramlet ", the failure, the subject
// (the origin, and what else is said of it) and ": " and the detail, each when given.
std::string RefusalLine(Refusal refusal, std::string_view subject = {},
                        std::string_view detail = {});
// What the download pane shows for it: the line where it names a failure, else the status and
// the reason.
std::string PaneText(Refusal refusal, std::string_view line);

// The status line the client gets: "HTTP/1.0 " and the status.
std::string StatusLine(Refusal refusal);

// The whole answer that refuses a request: the status line, a body of one line of text (the line
// given, else RefusalLine's), and Connection: close.
std::string RefusalAnswer(Refusal refusal, std::string_view line = {});

}  // namespace proxy::http
