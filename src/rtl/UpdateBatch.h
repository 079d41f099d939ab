#pragma once

// Updates that many threads hand to the main thread for a window (captions, text for log panes),
// gathered so that the main thread applies them in batches instead of one queued call each.
//
// A caption keeps only the newest text given since the last batch. A pane's text keeps the order
// in which it was given, and the batch already knows the pane's emptying rule: text that the pane
// would empty away before anyone could see it is dropped here, so what waits for the main thread
// never holds more than one pane's worth. Text is made fit for showing as it is given (see
// PaneText), on the giving thread.
//
// Any thread may give updates; they never wait for the main thread, only for this object's lock
// for as long as a few bytes are moved. The first update after a Take calls the request function
// (outside the lock) so that the owner can arrange for one Take on the main thread; later updates
// join that batch.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rtl/CriticalSection.h"

namespace rtl {

// A pane is emptied when it passes either bound; a single piece of text shows at most
// pieceBytes of what it was given, with a note of what was left out.
struct PaneBounds {
  int lines = 1000;
  std::size_t bytes = std::size_t{256} * 1024;
  std::size_t pieceBytes = 4096;
};

// `bytes` as a pane shows them: at most `maxBytes` of them, followed by a line saying how many
// bytes were left out; line breaks (CR LF, CR, LF) as LF, a final one dropped (the pane ends its
// lines itself); tab kept; every byte of a control character (C0 and C1, line separators,
// bidirectional and zero-width marks) or of invalid UTF-8 shown as U+00B7. Valid UTF-8 is kept
// only where all of the text is text: in a binary piece every byte above 127 shows as U+00B7.
std::string PaneText(std::string_view bytes, std::size_t maxBytes);

class TUpdateBatch {
 public:
  // How a pane starts: its lines and bytes (a line break counted as one byte).
  struct PaneStart {
    int lines = 0;
    std::size_t bytes = 0;
  };
  // What one batch brings a pane: empty it first or not, then append `text` (LF between lines).
  struct PaneChange {
    bool clearFirst = false;
    std::optional<std::string> text;
  };
  struct Batch {
    std::vector<std::optional<std::string>> captions;
    std::vector<PaneChange> panes;
  };

  TUpdateBatch(std::size_t captions, const std::vector<PaneStart>& panes, PaneBounds bounds,
               std::function<void()> request);

  void SetCaption(std::size_t caption, std::string text);
  void AppendText(std::size_t pane, std::string_view text);

  // Everything given since the last Take; the next update asks for a batch again.
  Batch Take();

 private:
  // What the pane will hold once every batch so far is applied.
  struct PaneModel {
    int lines = 0;
    std::size_t bytes = 0;
  };

  // True when this update must ask for a batch.
  bool MarkRequested() REQUIRES(mutex_);

  const PaneBounds bounds_;
  const std::function<void()> request_;
  TMutex mutex_;
  Batch pending_ GUARDED_BY(mutex_);
  std::vector<PaneModel> models_ GUARDED_BY(mutex_);
  bool requested_ GUARDED_BY(mutex_) = false;
};

}  // namespace rtl
