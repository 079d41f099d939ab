#include "rtl/UpdateBatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string kDot = "\xC2\xB7";

TEST(PaneText, ShowsTextAndMarksWhatIsNot) {
  struct Case {
    std::string bytes;
    std::string shown;
  };
  const Case cases[] = {
      {"a\r\nb\rc\nd\r\n", "a\nb\nc\nd"},
      {"tab\there", "tab\there"},
      {"caf\xC3\xA9 \xE6\x97\xA5", "caf\xC3\xA9 \xE6\x97\xA5"},  // text keeps its letters
      {std::string("nul\0bel\a", 8), "nul" + kDot + "bel" + kDot},
      {"del\x7F", "del" + kDot},
      {"c1 \xC2\x85", "c1 " + kDot + kDot},             // NEL would break the line
      {"ls \xE2\x80\xA8", "ls " + kDot + kDot + kDot},  // so would U+2028
      {"rtl \xE2\x80\xAE", "rtl " + kDot + kDot + kDot},
      {"bad \xFF", "bad " + kDot},
      {"overlong \xC0\x80", "overlong " + kDot + kDot},
      {"surrogate \xED\xA0\x80", "surrogate " + kDot + kDot + kDot},
      {"cut \xE6\x97", "cut " + kDot + kDot},
      // One stray byte makes the rest of the piece binary, letters that decode by chance too.
      {"\xDC\x80 x \xFF", kDot + kDot + " x " + kDot},
  };
  for (const Case& c : cases)
    EXPECT_EQ(rtl::PaneText(c.bytes, 4096), c.shown) << c.bytes;
}

TEST(PaneText, ShowsTheStartOfALongChunkWithANote) {
  const std::string chunk = std::string(1 << 20, 'x') + "\r\n";
  EXPECT_EQ(rtl::PaneText(chunk, 4096), std::string(4096, 'x') + "\n[" +
                                            std::to_string(chunk.size() - 4096) +
                                            " more bytes not shown]");
  // The cut does not split a letter, so the text stays text.
  const std::string letters = std::string(4095, 'y') + "\xC3\xA9\xC3\xA9";
  EXPECT_EQ(rtl::PaneText(letters, 4096), std::string(4095, 'y') + "\n[4 more bytes not shown]");
}

// The pane as it would be if every piece were appended on its own, emptied when it passes a bound.
struct ReferencePane {
  rtl::PaneBounds bounds;
  std::vector<std::string> lines;
  std::size_t bytes = 0;

  void Append(const std::string& piece) {
    if (lines.empty() && piece.empty()) return;
    std::size_t from = 0;
    for (std::size_t end; (end = piece.find('\n', from)) != std::string::npos; from = end + 1) {
      lines.push_back(piece.substr(from, end - from));
    }
    lines.push_back(piece.substr(from));
    bytes += piece.size() + 1;
    if (static_cast<int>(lines.size()) > bounds.lines || bytes > bounds.bytes) {
      lines.clear();
      bytes = 0;
    }
  }
  void Apply(const rtl::TUpdateBatch::PaneChange& change) {
    if (change.clearFirst) lines.clear(), bytes = 0;
    if (change.text) {
      const std::size_t before = lines.size();
      Append(*change.text);
      EXPECT_FALSE(before > 0 && lines.empty()) << "a batch that the pane empties unseen";
    }
  }
};

TEST(UpdateBatch, APaneGetsWhatItWouldShowPieceByPieceAndNoMore) {
  const rtl::PaneBounds bounds{10, 100, 30};
  struct Case {
    std::vector<std::string> pieces;
  };
  const Case cases[] = {
      {{"one", "two", "three"}},
      {{"a\nb\nc\nd", "e\nf\ng", "h\ni\nj", "k", "l"}},  // past the lines
      {{std::string(40, 'x'), std::string(40, 'y'), std::string(40, 'z'), "after"}},  // bytes
      {{"", "x", "", std::string(200, 'w'), "last"}},
  };
  for (const Case& c : cases) {
    int requests = 0;
    rtl::TUpdateBatch batch(1, {{1, 8}}, bounds, [&] { ++requests; });
    ReferencePane expected{bounds, {"initial"}, 8};
    ReferencePane shown{bounds, {"initial"}, 8};
    for (std::size_t i = 0; i < c.pieces.size(); ++i) {
      batch.AppendText(0, c.pieces[i]);
      expected.Append(rtl::PaneText(c.pieces[i], bounds.pieceBytes));
      if (i % 2 == 1) shown.Apply(batch.Take().panes[0]);
    }
    const rtl::TUpdateBatch::Batch last = batch.Take();
    EXPECT_LE(last.panes[0].text.value_or("").size(), bounds.bytes);
    shown.Apply(last.panes[0]);
    EXPECT_EQ(shown.lines, expected.lines);
    EXPECT_LE(requests, static_cast<int>(c.pieces.size() + 1) / 2 + 1);
  }
}

TEST(UpdateBatch, ManyThreadsKeepTheirOrderAndTheLastCaption) {
  constexpr int kThreads = 6;
  constexpr int kPieces = 2000;
  std::atomic<int> requests{0};
  rtl::TUpdateBatch batch(1, {{0, 0}}, rtl::PaneBounds{1 << 30, 1U << 30, 64}, [&] { ++requests; });
  std::atomic<int> finished{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&batch, &finished, t] {
      for (int i = 0; i < kPieces; ++i) {
        batch.AppendText(0, std::to_string(t) + " " + std::to_string(i));
        if (t == 0) batch.SetCaption(0, std::to_string(i));
      }
      ++finished;
    });
  std::vector<int> next(kThreads, 0);
  int lines = 0;
  std::string caption;
  auto drain = [&] {
    rtl::TUpdateBatch::Batch taken = batch.Take();
    if (taken.captions[0]) caption = *taken.captions[0];
    if (!taken.panes[0].text) return;
    std::size_t from = 0;
    const std::string& text = *taken.panes[0].text;
    while (from <= text.size()) {
      std::size_t end = text.find('\n', from);
      if (end == std::string::npos) end = text.size();
      const std::string line = text.substr(from, end - from);
      const int t = std::stoi(line);
      EXPECT_EQ(std::stoi(line.substr(line.find(' ') + 1)), next[t]++) << line;
      ++lines;
      from = end + 1;
    }
  };
  while (finished.load() < kThreads)
    drain();
  for (std::thread& thread : threads)
    thread.join();
  drain();
  EXPECT_EQ(lines, kThreads * kPieces);
  EXPECT_EQ(caption, std::to_string(kPieces - 1));
  EXPECT_LT(requests.load(), kThreads * kPieces);  // updates joined waiting batches
}

}  // namespace
