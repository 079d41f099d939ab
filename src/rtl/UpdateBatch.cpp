#include "rtl/UpdateBatch.h"

#include <algorithm>
#include <utility>

namespace rtl {
namespace {

constexpr std::string_view kPlaceholder = "\xC2\xB7";  // U+00B7 MIDDLE DOT

// The length of the well-formed UTF-8 sequence that `text` starts with, 0 when there is none.
std::size_t DecodeUtf8(std::string_view text, char32_t& codePoint) {
  const auto lead = static_cast<unsigned char>(text[0]);
  std::size_t length = 0;
  char32_t least = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    codePoint = lead & 0x1FU;
    least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    codePoint = lead & 0x0FU;
    least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    codePoint = lead & 0x07U;
    least = 0x10000;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[i]);
    if ((next & 0xC0U) != 0x80U) return 0;
    codePoint = (codePoint << 6U) | (next & 0x3FU);
  }
  if (codePoint < least || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
    return 0;
  return length;
}

// Characters that draw nothing themselves but break lines or steer the layout of their
// neighbours; binary bodies are full of them by chance.
bool Drawable(char32_t c) {
  if (c < 0xA0) return false;                    // C1 controls, NEL among them
  if (c >= 0x200B && c <= 0x200F) return false;  // zero-width and direction marks
  if (c >= 0x2028 && c <= 0x202E) return false;  // line and paragraph separators, embeddings
  if (c >= 0x2060 && c <= 0x206F) return false;  // invisible operators, isolates
  if (c >= 0xE000 && c <= 0xF8FF) return false;  // private use: no font has it
  if (c >= 0xFFF0 && c <= 0xFFFF) return false;  // specials and noncharacters
  if (c == 0xFEFF) return false;
  return true;
}

// Appends `bytes` to `text` as a pane shows them; returns false when some were not text. With
// `asciiOnly`, every byte above 127 shows as a placeholder.
bool Render(std::string_view bytes, bool asciiOnly, std::string& text) {
  bool allText = true;
  for (std::size_t i = 0; i < bytes.size();) {
    const char byte = bytes[i];
    if (byte == '\r' || byte == '\n') {
      text += '\n';
      i += (byte == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ? 2 : 1;
      continue;
    }
    const auto value = static_cast<unsigned char>(byte);
    std::size_t length = 1;
    bool shown = (value >= 0x20 && value != 0x7F) || byte == '\t';
    if (value >= 0x80) {
      char32_t codePoint = 0;
      length = std::max<std::size_t>(DecodeUtf8(bytes.substr(i), codePoint), 1);
      shown = length > 1 && Drawable(codePoint) && !asciiOnly;
      allText = allText && length > 1 && Drawable(codePoint);
    } else {
      allText = allText && shown;
    }
    if (shown) {
      text.append(bytes.substr(i, length));
    } else {
      // One mark for every byte not shown, so that a count of them means something.
      for (std::size_t n = 0; n < length; ++n)
        text.append(kPlaceholder);
    }
    i += length;
  }
  return allText;
}

}  // namespace

std::string PaneText(std::string_view bytes, std::size_t maxBytes) {
  std::size_t cut = std::min(maxBytes, bytes.size());
  // A cut inside a character would make text look binary.
  for (int back = 0; back < 3 && cut > 0 && cut < bytes.size() &&
                     (static_cast<unsigned char>(bytes[cut]) & 0xC0U) == 0x80U;
       ++back)
    --cut;
  const std::string_view shown = bytes.substr(0, cut);
  std::string text;
  text.reserve(shown.size() + shown.size() / 8);
  // Bytes that are not text mean a binary body, whose bytes above 127 only make valid UTF-8 by
  // chance: shown, they would be characters of scripts no font here can lay out.
  if (!Render(shown, false, text)) {
    text.clear();
    Render(shown, true, text);
  }
  if (shown.size() < bytes.size()) {
    if (!text.empty() && text.back() != '\n') text += '\n';
    text += '[';
    text += std::to_string(bytes.size() - shown.size());
    text += " more bytes not shown]";
  } else if (!text.empty() && text.back() == '\n') {
    text.pop_back();
  }
  return text;
}

TUpdateBatch::TUpdateBatch(std::size_t captions, const std::vector<PaneStart>& panes,
                           PaneBounds bounds, std::function<void()> request)
    : bounds_(bounds), request_(std::move(request)) {
  pending_.captions.resize(captions);
  pending_.panes.resize(panes.size());
  for (const PaneStart& pane : panes)
    models_.push_back(PaneModel{pane.lines, pane.bytes});
}

bool TUpdateBatch::MarkRequested() {
  if (requested_) return false;
  requested_ = true;
  return true;
}

void TUpdateBatch::SetCaption(std::size_t caption, std::string text) {
  bool ask = false;
  {
    TMutexGuard lock(mutex_);
    pending_.captions.at(caption) = std::move(text);
    ask = MarkRequested();
  }
  if (ask && request_) request_();
}

void TUpdateBatch::AppendText(std::size_t pane, std::string_view text) {
  // The costly part, on the giving thread and outside the lock.
  std::string piece = PaneText(text, bounds_.pieceBytes);
  bool ask = false;
  {
    TMutexGuard lock(mutex_);
    PaneModel& model = models_.at(pane);
    PaneChange& change = pending_.panes.at(pane);
    // Appending nothing to an empty pane leaves it empty.
    if (model.lines == 0 && piece.empty()) return;
    model.lines += static_cast<int>(std::count(piece.begin(), piece.end(), '\n')) + 1;
    model.bytes += piece.size() + 1;
    if (model.lines > bounds_.lines || model.bytes > bounds_.bytes) {
      // The pane would take this and empty itself at once: nothing of it, or of what waits
      // before it, would ever be seen.
      model = PaneModel{};
      change.clearFirst = true;
      change.text.reset();
    } else if (change.text) {
      *change.text += '\n';
      *change.text += piece;
    } else {
      change.text = std::move(piece);
    }
    ask = MarkRequested();
  }
  if (ask && request_) request_();
}

TUpdateBatch::Batch TUpdateBatch::Take() {
  TMutexGuard lock(mutex_);
  Batch taken = std::move(pending_);
  pending_ = Batch{};
  pending_.captions.resize(taken.captions.size());
  pending_.panes.resize(taken.panes.size());
  requested_ = false;
  return taken;
}

}  // namespace rtl
