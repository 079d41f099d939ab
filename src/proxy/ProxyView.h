#pragma once

#include <string>
#include <string_view>

namespace proxy {

// What a handler run shows. The window implements it by handing each update to the main thread,
// in the order issued and without making the run wait; tests implement it by recording.
class ProxyView {
 public:
  virtual ~ProxyView() = default;

  // "Concurrent connections: N"
  virtual void SetConnectionCaption(std::string text) = 0;
  // "Speed limit in action TICKS"
  virtual void SetStatusCaption(std::string text) = 0;
  // A request line sent upstream, for the upload pane. Texts for the panes are only lent for the
  // call: a pane shows a cut of them, so the run copies nothing it would not show.
  virtual void AppendUploadLine(std::string_view line) = 0;
  // A connection made or an answer chunk received, for the download pane; may span lines.
  virtual void AppendDownloadText(std::string_view text) = 0;
};

}  // namespace proxy
