#pragma once

#include <exception>
#include <utility>

namespace rtl {

// Runs a clean-up as a scope is left: ScopeExit on every way out, OnFailure only when an
// exception is leaving it. A clean-up that raises is ignored: it must neither replace the error
// that is leaving nor escape a destructor, so write clean-ups that report nothing anyone needs.
template <class Cleanup>
class TScopeExit {
 public:
  TScopeExit(Cleanup cleanup, bool onFailureOnly)
      : cleanup_(std::move(cleanup)),
        onFailureOnly_(onFailureOnly),
        exceptionsAtStart_(std::uncaught_exceptions()) {}
  ~TScopeExit() {
    if (onFailureOnly_ && std::uncaught_exceptions() <= exceptionsAtStart_) return;
    try {
      cleanup_();
    } catch (...) {
      // See above: the clean-up's own failure is nobody's business.
    }
  }
  TScopeExit(const TScopeExit&) = delete;
  TScopeExit& operator=(const TScopeExit&) = delete;

 private:
  Cleanup cleanup_;
  const bool onFailureOnly_;
  const int exceptionsAtStart_;
};

template <class Cleanup>
[[nodiscard]] TScopeExit<Cleanup> ScopeExit(Cleanup cleanup) {
  return TScopeExit<Cleanup>(std::move(cleanup), false);
}

template <class Cleanup>
[[nodiscard]] TScopeExit<Cleanup> OnFailure(Cleanup cleanup) {
  return TScopeExit<Cleanup>(std::move(cleanup), true);
}

}  // namespace rtl
