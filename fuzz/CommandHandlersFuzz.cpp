// Command matching and parameter splitting on any line: a line a command takes must be that
// command, its delimiter and the parameters it hands on, and splitting must lose no byte but the
// delimiters (and, when trimming, the blanks around each piece).
#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "net/IdCommandHandlers.h"

namespace {

bool IsBlank(char c) {
  return static_cast<unsigned char>(c) <= ' ';
}

std::string Trimmed(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsBlank(text[begin]))
    ++begin;
  while (end > begin && IsBlank(text[end - 1]))
    --end;
  return text.substr(begin, end - begin);
}

bool SameLetters(char a, char b) {
  return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
}

void CheckMatch(const std::string& command, char delimiter, const std::string& line) {
  TIdCommandHandler handler;
  handler.SetCommand(command);
  handler.SetCmdDelimiter(delimiter);
  std::string params = "left over";
  const bool matches = handler.Matches(line, params);

  const std::size_t n = command.size();
  bool prefix = line.size() >= n;
  for (std::size_t i = 0; prefix && i < n; ++i)
    prefix = SameLetters(line[i], command[i]);
  const bool whole = line.size() == n;
  FUZZ_CHECK(matches == (prefix && (whole || delimiter == '\0' || line[n] == delimiter)));
  if (!matches) return;
  // The command word, its delimiter and the parameters make up the line again.
  const std::string separator = whole || delimiter == '\0' ? "" : std::string(1, delimiter);
  FUZZ_CHECK(line.substr(0, n) + separator + params == line);
}

void CheckSplit(const std::string& text, char delimiter) {
  const std::vector<std::string> pieces = SplitAtDelimiter(text, delimiter);
  std::string joined;
  for (const std::string& piece : pieces) {
    FUZZ_CHECK(!piece.empty() && piece.find(delimiter) == std::string::npos);
    joined += piece;
  }
  std::string withoutDelimiters = text;
  std::erase(withoutDelimiters, delimiter);
  FUZZ_CHECK(joined == withoutDelimiters);

  // Trimming the whole text and then each piece; pieces empty before that trim are gone.
  const std::vector<std::string> trimmed = SplitAndTrim(text, delimiter);
  const std::vector<std::string> untrimmed = SplitAtDelimiter(Trimmed(text), delimiter);
  FUZZ_CHECK(trimmed.size() == untrimmed.size());
  for (std::size_t i = 0; i < trimmed.size(); ++i)
    FUZZ_CHECK(trimmed[i] == Trimmed(untrimmed[i]));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  const std::string command = input.Piece(16);
  const auto commandDelimiter = static_cast<char>(input.Byte());
  const auto paramDelimiter = static_cast<char>(input.Byte());
  const std::string line(input.Rest());

  CheckMatch(command, commandDelimiter, line);
  std::string params;
  TIdCommandHandler handler;
  handler.SetCommand(command);
  handler.SetCmdDelimiter(commandDelimiter);
  if (handler.Matches(line, params)) CheckSplit(params, paramDelimiter);
  CheckSplit(line, paramDelimiter);
  return 0;
}
