#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rtl/Collection.h"

// A numeric line-protocol reply: a code and text lines ("250-first" / "250 second").
class TIdRFCReply : public rtl::TCollectionItem {
 public:
  std::int32_t NumericCode() const { return numericCode_; }
  // Also sets TextCode when the code is above 0.
  void SetNumericCode(std::int32_t code);

  const std::vector<std::string>& Text() const { return text_; }
  void SetText(std::vector<std::string> lines) { text_ = std::move(lines); }

  const std::string& TextCode() const { return textCode_; }
  // Also sets the code, to 0 when the text is not a number; an empty text leaves the code alone.
  void SetTextCode(std::string textCode);

  void Clear();
  // Stores the code without touching TextCode and replaces the lines by text split at line breaks.
  void SetReply(std::int32_t code, const std::string& text);
  void Assign(const TIdRFCReply& source);
  bool HasContent() const { return numericCode_ > 0 || !text_.empty(); }

  // The reply as it goes on the wire; empty when the reply has no content.
  std::string Formatted() const;
  // Fills the reply from received lines.
  void Parse(const std::vector<std::string>& lines);

 private:
  std::int32_t numericCode_ = 0;
  std::vector<std::string> text_;
  std::string textCode_;
};

// A table of replies, looked up by code for default texts.
class TIdRFCReplies : public rtl::TCollectionOf<TIdRFCReply> {
 public:
  using TCollectionOf::TCollectionOf;
  TIdRFCReply* FindCode(std::int32_t code) const;
};
