#include "proxy/BodyBudget.h"

#include <algorithm>
#include <functional>

namespace proxy {

bool BodyBudget::Share::Hold(std::int64_t total) {
  const std::int64_t more = total - held_;
  if (more <= 0) {
    budget_.used_.fetch_add(more);
    held_ = total;
    return true;
  }
  if (budget_.used_.fetch_add(more) + more > budget_.bytes_) {
    budget_.used_.fetch_sub(more);
    return false;
  }
  held_ = total;
  return true;
}

void HeldBody::Append(std::string_view bytes) {
  while (!bytes.empty()) {
    if (pieces_.empty() || pieces_.back().size() == kPieceBytes) {
      if (!pieces_.empty()) fullPiecesMemory_ += MemoryOf(pieces_.back());
      pieces_.emplace_back();
    }
    std::string& last = pieces_.back();
    const std::size_t n = std::min(bytes.size(), kPieceBytes - last.size());
    // Grown by doubling up to the piece size, never past it: a small body takes little. A fresh
    // string gets exactly the room asked for, where reserve may round it up.
    if (last.capacity() < last.size() + n) {
      std::string grown;
      grown.reserve(std::min(kPieceBytes, std::max(2 * last.capacity(), last.size() + n)));
      grown.append(last);
      last.swap(grown);
    }
    last.append(bytes.substr(0, n));
    bytes.remove_prefix(n);
    size_ += n;
  }
}

void HeldBody::Reserve(std::size_t bytes) {
  if (!pieces_.empty()) return;
  pieces_.emplace_back().reserve(std::min(bytes, kPieceBytes));
}

void HeldBody::Clear() {
  std::vector<std::string>().swap(pieces_);
  size_ = 0;
  fullPiecesMemory_ = 0;
}

std::int64_t HeldBody::Memory() const {
  if (pieces_.capacity() == 0) return 0;
  const auto list =
      static_cast<std::int64_t>(pieces_.capacity() * sizeof(std::string)) + kAllocationOverhead;
  return list + fullPiecesMemory_ + (pieces_.empty() ? 0 : MemoryOf(pieces_.back()));
}

std::int64_t HeldBody::MemoryOf(const std::string& piece) {
  // A short piece lives inside its string, in the list; a long one has room for its NUL too.
  const auto* inside = reinterpret_cast<const char*>(&piece);
  const std::less<const char*> before;
  if (!before(piece.data(), inside) && before(piece.data(), inside + sizeof(std::string))) return 0;
  return static_cast<std::int64_t>(piece.capacity()) + 1 + kAllocationOverhead;
}

}  // namespace proxy
