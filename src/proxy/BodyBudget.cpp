#include "proxy/BodyBudget.h"

namespace proxy {

bool BodyBudget::Share::Hold(std::int64_t total) {
  const std::int64_t more = total - held_;
  if (more <= 0) return true;
  if (budget_.used_.fetch_add(more) + more > budget_.bytes_) {
    budget_.used_.fetch_sub(more);
    return false;
  }
  held_ = total;
  return true;
}

}  // namespace proxy
