// The request line and header rules on any bytes: what they take apart must put back together
// into the input, and what they rewrite must leave nothing they were meant to rewrite.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzInput.h"
#include "proxy/MessageRewriting.h"

namespace {

using namespace proxy;

bool IsBlank(char c) {
  return static_cast<unsigned char>(c) <= 32;
}

bool HasKeepAlive(std::string_view text) {
  constexpr std::string_view kKeyword = "keep-alive";
  for (std::size_t at = 0; at + kKeyword.size() <= text.size(); ++at) {
    std::size_t i = 0;
    while (i < kKeyword.size() && std::tolower(static_cast<unsigned char>(text[at + i])) ==
                                      static_cast<unsigned char>(kKeyword[i]))
      ++i;
    if (i == kKeyword.size()) return true;
  }
  return false;
}

void CheckLines(std::string_view text) {
  const LineList lines = SplitLines(text);
  for (const std::string& line : lines)
    FUZZ_CHECK(line.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos);
  const std::string joined = JoinLines(lines);
  FUZZ_CHECK(SplitLines(joined) == lines);
}

void CheckRequestLine(std::string_view line) {
  const RequestTarget target = ParseRequestLine(line);
  if (!HasAbsoluteTarget(line)) {
    FUZZ_CHECK(target.Line == line && target.Host.empty() && target.PortText.empty());
    return;
  }
  FUZZ_CHECK(target.Host.find_first_of(":/") == std::string::npos);
  FUZZ_CHECK(target.PortText.find('/') == std::string::npos);
  const std::size_t version = line.find("HTTP/");
  const std::string_view method = line.substr(0, line.substr(0, version + 2).find("http://"));
  const std::string_view rest = line.substr(version + 2);
  FUZZ_CHECK(target.Line.starts_with(method) && target.Line.ends_with(rest));
  // Host and port put back before the path give the line as it came.
  const std::string path = target.Line.substr(method.size());
  const std::string prefix = std::string(method) + "http://" + target.Host;
  const bool plain = line == prefix + path;
  const bool withPort = line == prefix + ":" + target.PortText + path;
  FUZZ_CHECK(plain || withPort);
  if (withPort || !target.Host.empty()) FUZZ_CHECK(path.starts_with('/'));
  FUZZ_CHECK(withPort || target.PortText == "80");
}

void CheckRewrites(std::string_view text) {
  const std::string downgraded = DowngradeVersion(text);
  FUZZ_CHECK(downgraded.size() == text.size());
  FUZZ_CHECK(downgraded.find("1.1") == std::string::npos);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (downgraded[i] != text[i])
      FUZZ_CHECK(i >= 2 && text.substr(i - 2, 3) == "1.1" && downgraded.substr(i - 2, 3) == "1.0");
  }

  const std::string closed = CloseKeepAlive(text);
  FUZZ_CHECK(!HasKeepAlive(closed));
  FUZZ_CHECK(closed.size() <= text.size() && (text.size() - closed.size()) % 5 == 0);
  FUZZ_CHECK((closed.size() == text.size()) == (closed == text));
  FUZZ_CHECK(HasKeepAlive(text) == (closed != text));

  FUZZ_CHECK(RewriteResponseChunk(text) == DowngradeVersion(closed));
}

void CheckTrim(std::string_view text) {
  const std::string trimmed = Trim(text);
  FUZZ_CHECK(text.find(trimmed) != std::string_view::npos);
  FUZZ_CHECK(trimmed.empty() || (!IsBlank(trimmed.front()) && !IsBlank(trimmed.back())));
  FUZZ_CHECK(Trim(trimmed) == trimmed);
}

void CheckConnectLine(std::string_view line) {
  const auto target = ParseConnectLine(line);
  if (!target) return;
  FUZZ_CHECK(IsConnectLine(line));
  FUZZ_CHECK(target->Port >= 1 && target->Port <= 65535);
  FUZZ_CHECK(!target->Host.empty() && target->Host.size() <= 253);
  for (char c : target->Host) {
    const bool nameChar = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                          (c >= 'A' && c <= 'Z') || c == '-' || c == '_' || c == '.';
    FUZZ_CHECK(nameChar);
  }
  const auto again = ParseConnectLine("CONNECT " + target->Host + ":" +
                                      std::to_string(target->Port) + " HTTP/1.1");
  FUZZ_CHECK(again && again->Host == target->Host && again->Port == target->Port);
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

  CheckLines(text);
  const LineList lines = SplitLines(text);
  const std::string_view first = lines.empty() ? text : std::string_view(lines.front());
  CheckRequestLine(first);
  CheckRequestLine(text);
  CheckConnectLine(first);
  CheckRewrites(text);
  CheckTrim(text);
  CheckSlices(text, limit);
  return 0;
}
