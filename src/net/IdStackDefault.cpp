#include "net/IdStack.h"
#include "net/IdStackWindows.h"

std::unique_ptr<TIdStack> MakeDefaultStack() {
  return std::make_unique<TIdStackWindows>();
}
