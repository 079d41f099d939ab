// The CONNECT line, answer header and slice rules on any bytes: what they take apart must put
// back together, and what they rewrite must leave nothing they were meant to rewrite.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzInput.h"
#include "proxy/Limits.h"
#include "proxy/StringCuts.h"
#include "proxy/http/AnswerFraming.h"
#include "proxy/http/FieldSyntax.h"
#include "proxy/http/RequestFraming.h"
#include "rtl/Text.h"

namespace {

using namespace proxy;
using namespace proxy::http;
using rtl::Trim;

bool IsBlank(char c) {
  return static_cast<unsigned char>(c) <= 32;
}

// An answer's header block: rewriting it twice changes nothing more, the version is 1.0, and the
// block stays interim or final as it was; bytes that are no header block stay as they are.
void CheckAnswerHead(std::string_view block) {
  const std::string rewritten = RewriteAnswerHead(block);
  FUZZ_CHECK(RewriteAnswerHead(rewritten) == rewritten);
  FUZZ_CHECK(IsInterimHead(rewritten) == IsInterimHead(block));
  if (!block.starts_with("HTTP/")) {
    FUZZ_CHECK(rewritten == block);  // a body, not a header block
    return;
  }
  if (block.starts_with("HTTP/1.") && block.size() > 8 && block[7] >= '0' && block[7] <= '9' &&
      block[8] == ' ')
    FUZZ_CHECK(rewritten.starts_with("HTTP/1.0 "));
}

void CheckTrim(std::string_view text) {
  const std::string trimmed = Trim(text);
  FUZZ_CHECK(text.find(trimmed) != std::string_view::npos);
  FUZZ_CHECK(trimmed.empty() || (!IsBlank(trimmed.front()) && !IsBlank(trimmed.back())));
  FUZZ_CHECK(Trim(trimmed) == trimmed);
}

void CheckConnectLine(std::string_view line) {
  const Request target = JudgeRequest({std::string(line), ""});
  if (target.Refused || !target.Tunnel) return;
  FUZZ_CHECK(Trim(line).starts_with("CONNECT "));
  FUZZ_CHECK(target.Port >= 1 && target.Port <= 65535);
  FUZZ_CHECK(!target.Host.empty() && target.Host.size() <= 253);
  if (target.Host.starts_with('[')) {
    // An IPv6 literal: what is inside the brackets is the address the resolver gets, zone aside.
    FUZZ_CHECK(target.Host.ends_with(']'));
    FUZZ_CHECK(IsIPv6Literal(target.HostName.substr(0, target.HostName.find('%'))));
  } else {
    FUZZ_CHECK(target.HostName == target.Host);
    for (char c : target.Host) {
      const bool nameChar = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                            (c >= 'A' && c <= 'Z') || c == '-' || c == '_' || c == '.';
      FUZZ_CHECK(nameChar);
    }
  }
  const Request again = JudgeRequest(
      {"CONNECT " + target.Host + ":" + std::to_string(target.Port) + " HTTP/1.1", ""});
  FUZZ_CHECK(!again.Refused && again.Host == target.Host && again.Port == target.Port);
}

void CheckSlices(std::string_view text, std::int32_t limit) {
  const std::int64_t slice = SliceSize(limit);
  FUZZ_CHECK(slice == std::int64_t{limit} * 1000);
  for (const std::int64_t n : {slice, std::int64_t{limit}}) {
    const std::string_view first = FirstChars(text, n);
    std::string rest(text);
    RemoveFirstChars(rest, n);
    FUZZ_CHECK(std::string(first) + rest == text);
    FUZZ_CHECK(first.size() ==
               static_cast<std::size_t>(std::clamp<std::int64_t>(n, 0, std::int64_t(text.size()))));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  const auto limit = static_cast<std::int32_t>(std::uint32_t{input.Word()} << 16 | input.Word());
  const std::string_view text = input.Rest();

  const std::string_view first = text.substr(0, text.find_first_of("\r\n"));
  CheckConnectLine(first);
  CheckAnswerHead(text);
  CheckTrim(text);
  CheckSlices(text, limit);
  return 0;
}
