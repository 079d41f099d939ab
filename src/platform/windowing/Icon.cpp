#include "platform/windowing/Icon.h"

#include <unordered_map>

namespace win {
namespace {

struct IconTable {
  std::unordered_map<HICON, QIcon> icons;
  HICON lastHandle = 0;
};

// Never destroyed: icons freed at process exit still give their handles back.
IconTable& Icons() {
  static IconTable* table = new IconTable;
  return *table;
}

}  // namespace

HICON CreateIconHandle(const QIcon& image) {
  if (image.isNull()) return 0;
  IconTable& table = Icons();
  HICON handle = ++table.lastHandle;
  table.icons.emplace(handle, image);
  return handle;
}

void DestroyIcon(HICON icon) {
  Icons().icons.erase(icon);
}

QIcon IconImage(HICON icon) {
  auto& icons = Icons().icons;
  auto found = icons.find(icon);
  return found == icons.end() ? QIcon() : found->second;
}

TIcon::~TIcon() {
  DestroyIcon(handle_);
}

void TIcon::SetImage(const QIcon& image) {
  DestroyIcon(handle_);
  handle_ = 0;
  image_ = image;
  if (OnChange) OnChange(this);
}

HICON TIcon::Handle() {
  if (handle_ == 0) handle_ = CreateIconHandle(image_);
  return handle_;
}

}  // namespace win
