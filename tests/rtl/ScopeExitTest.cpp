#include "rtl/ScopeExit.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

// Leaves a scope holding both kinds of clean-up, normally or by an exception.
struct Outcome {
  bool always = false;
  bool onFailure = false;
};

Outcome Leave(bool failing) {
  Outcome outcome;
  try {
    auto always = rtl::ScopeExit([&] { outcome.always = true; });
    auto onFailure = rtl::OnFailure([&] { outcome.onFailure = true; });
    if (failing) throw std::runtime_error("failed");
  } catch (const std::runtime_error&) {
  }
  return outcome;
}

TEST(ScopeExit, RunsOnTheWaysOutItIsMeantFor) {
  const Outcome normal = Leave(false);
  EXPECT_TRUE(normal.always);
  EXPECT_FALSE(normal.onFailure);
  const Outcome failed = Leave(true);
  EXPECT_TRUE(failed.always);
  EXPECT_TRUE(failed.onFailure);
}

TEST(ScopeExit, ACleanupThatRaisesNeitherReplacesTheLeavingErrorNorEscapes) {
  try {
    auto cleanup = rtl::OnFailure([] { throw std::logic_error("from the clean-up"); });
    throw std::runtime_error("the real one");
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "the real one");
  }
  EXPECT_NO_THROW({ auto cleanup = rtl::ScopeExit([] { throw std::logic_error("ignored"); }); });
}

// A clean-up made while another error unwinds, in a destructor, runs only for an error of its own.
TEST(ScopeExit, OnFailureMadeDuringUnwindingWaitsForAnErrorOfItsOwn) {
  bool ran = false;
  struct Unwinding {
    bool& ran;
    ~Unwinding() {
      auto cleanup = rtl::OnFailure([this] { ran = true; });
    }
  };
  try {
    Unwinding unwinding{ran};
    throw std::runtime_error("unwinding");
  } catch (const std::runtime_error&) {
  }
  EXPECT_FALSE(ran);
}

}  // namespace
