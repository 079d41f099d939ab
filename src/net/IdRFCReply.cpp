#include "net/IdRFCReply.h"

#include <charconv>

#include "net/IdGlobal.h"

namespace {

// Whole-text decimal integer with an optional sign; 0 when the text is not one.
std::int32_t ToIntDef0(const std::string& text) {
  const char* first = text.data();
  const char* last = first + text.size();
  if (first != last && *first == '+') ++first;
  std::int32_t value = 0;
  auto [end, ec] = std::from_chars(first, last, value);
  return ec == std::errc() && end == last && first != last ? value : 0;
}

// CR LF, a lone CR and a lone LF each end a line; a break at the very end adds no empty line.
std::vector<std::string> SplitAtLineBreaks(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t end = text.find_first_of("\r\n", i);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(i, end - i));
    i = end;
    if (i < text.size() && text[i] == '\r') ++i;
    if (i < text.size() && text[i] == '\n') ++i;
  }
  return lines;
}

}  // namespace

void TIdRFCReply::SetNumericCode(std::int32_t code) {
  numericCode_ = code;
  if (code > 0) textCode_ = std::to_string(code);
}

void TIdRFCReply::SetTextCode(std::string textCode) {
  textCode_ = std::move(textCode);
  if (!textCode_.empty()) numericCode_ = ToIntDef0(textCode_);
}

void TIdRFCReply::Clear() {
  numericCode_ = 0;
  text_.clear();
  textCode_.clear();
}

void TIdRFCReply::SetReply(std::int32_t code, const std::string& text) {
  numericCode_ = code;
  text_ = SplitAtLineBreaks(text);
}

void TIdRFCReply::Assign(const TIdRFCReply& source) {
  if (&source == this) return;
  Clear();
  numericCode_ = source.numericCode_;
  text_ = source.text_;
  textCode_ = source.textCode_;
}

std::string TIdRFCReply::Formatted() const {
  std::string out;
  if (numericCode_ > 0) {
    std::string code = std::to_string(numericCode_);
    if (text_.empty()) return code + "\r\n";
    for (std::size_t i = 0; i < text_.size(); ++i)
      out += code + (i + 1 < text_.size() ? "-" : " ") + text_[i] + "\r\n";
  } else {
    for (const auto& line : text_)
      out += line + "\r\n";
  }
  return out;
}

void TIdRFCReply::Parse(const std::vector<std::string>& lines) {
  Clear();
  if (lines.empty()) return;
  std::string code = TrimControls(lines.front().substr(0, 4));
  if (code.size() == 4 && code[3] == '-') code.resize(3);
  SetTextCode(std::move(code));
  for (const auto& line : lines)
    text_.push_back(line.size() > 4 ? line.substr(4) : std::string());
}

TIdRFCReply* TIdRFCReplies::FindCode(std::int32_t code) const {
  for (int i = 0; i < Count(); ++i)
    if (Items(i)->NumericCode() == code) return Items(i);
  return nullptr;
}
