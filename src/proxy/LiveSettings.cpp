#include "proxy/LiveSettings.h"

namespace proxy {

LiveSettings& Live() {
  static LiveSettings settings;
  return settings;
}

}  // namespace proxy
