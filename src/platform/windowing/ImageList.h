#pragma once

// A list of images, as the tray icon cycles through them.

#include <vector>

#include <QIcon>

#include "platform/windowing/Icon.h"
#include "rtl/Component.h"

namespace win {

class TImageList : public rtl::TComponent {
 public:
  explicit TImageList(rtl::TComponent* owner = nullptr) : rtl::TComponent(owner) {}

  int Count() const { return static_cast<int>(images_.size()); }
  // Returns the new image's index.
  int Add(const QIcon& image) {
    images_.push_back(image);
    return Count() - 1;
  }
  // Copies the image at index into icon; an index outside the list changes nothing.
  void GetIcon(int index, TIcon& icon) const {
    if (index >= 0 && index < Count()) icon.SetImage(images_[static_cast<std::size_t>(index)]);
  }

 private:
  std::vector<QIcon> images_;
};

}  // namespace win
