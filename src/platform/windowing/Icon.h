#pragma once

// Icons of the runtime. An icon handle is a number that stands for a Qt icon, as the shell's
// record needs a handle rather than an object; TIcon owns one and tells its watcher when its
// image changes.

#include <cstdint>
#include <functional>

#include <QIcon>

namespace win {

using HICON = std::uint32_t;  // 0: no icon

// A handle for a copy of image; 0 for a null image. Main thread only.
HICON CreateIconHandle(const QIcon& image);
void DestroyIcon(HICON icon);
// The image behind a handle; a null icon for 0 or an unknown handle.
QIcon IconImage(HICON icon);

class TIcon {
 public:
  TIcon() = default;
  ~TIcon();
  TIcon(const TIcon&) = delete;
  TIcon& operator=(const TIcon&) = delete;

  bool Empty() const { return image_.isNull(); }
  const QIcon& Image() const { return image_; }
  // Copies the image (a null one empties the icon) and tells OnChange.
  void SetImage(const QIcon& image);
  void Assign(const TIcon& other) { SetImage(other.image_); }
  // The icon's handle, made on first use and kept while the image stays; 0 when empty.
  HICON Handle();

  std::function<void(TIcon* Sender)> OnChange;

 private:
  QIcon image_;
  HICON handle_ = 0;
};

}  // namespace win
