#include "net/IdComponent.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "net/IdStack.h"
#include "net/IdStackWindows.h"

namespace {

int gStacksMade = 0;

std::unique_ptr<TIdStack> MakeCountedStack() {
  ++gStacksMade;
  return std::make_unique<TIdStackWindows>();
}

TEST(IdComponentStackTest, FirstComponentMakesTheStackAndTheLastFreesIt) {
  ASSERT_EQ(nullptr, GlobalStack());
  const TIdStackClass previous = StackClass();
  SetStackClass(&MakeCountedStack);
  gStacksMade = 0;
  {
    auto owner = std::make_unique<TIdComponent>();
    TIdStack* stack = GlobalStack();
    ASSERT_NE(nullptr, stack);
    EXPECT_TRUE(SocketsStarted());
    new TIdComponent(owner.get());  // owned, freed with its owner
    EXPECT_EQ(2, StackUserCount());
    EXPECT_EQ(stack, GlobalStack());
    {
      TIdComponent third;
      EXPECT_EQ(3, StackUserCount());
    }
    EXPECT_EQ(stack, GlobalStack());
  }
  EXPECT_EQ(0, StackUserCount());
  EXPECT_EQ(nullptr, GlobalStack());
  EXPECT_EQ(1, gStacksMade);

  {
    TIdComponent again;
    EXPECT_NE(nullptr, GlobalStack());
    EXPECT_EQ(2, gStacksMade);
    EXPECT_TRUE(SocketsStarted());
  }
  EXPECT_EQ(nullptr, GlobalStack());
  SetStackClass(previous);
}

class IdComponentTest : public testing::Test {
 protected:
  TIdComponent component_;
};

TEST_F(IdComponentTest, ReportStatusFormatsTheFixedTexts) {
  struct Case {
    TIdStatus status;
    std::vector<rtl::FormatArg> arguments;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {hsResolving, {"example.org"}, "Resolving hostname example.org."},
      {hsConnecting, {"10.0.0.1"}, "Connecting to 10.0.0.1."},
      {hsConnecting, {}, "Connecting to ."},
      {hsConnected, {"ignored"}, "Connected."},
      {hsDisconnecting, {}, "Disconnecting."},
      {hsDisconnected, {}, "Disconnected."},
      {hsStatusText, {"free text"}, "free text"},
      {hsStatusText, {}, ""},
      {ftpTransfer, {"t"}, "t"},
      {ftpReady, {"r"}, "r"},
      {ftpAborted, {"a"}, "a"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> seen;
    component_.OnStatus = [&](TIdComponent* sender, TIdStatus status, const std::string& text) {
      EXPECT_EQ(&component_, sender);
      EXPECT_EQ(c.status, status);
      seen.push_back(text);
    };
    component_.ReportStatus(c.status, c.arguments);
    EXPECT_EQ(std::vector<std::string>{c.expected}, seen);
  }
  component_.OnStatus = nullptr;
  EXPECT_NO_THROW(component_.ReportStatus(hsConnecting, {"10.0.0.1"}));
}

TEST_F(IdComponentTest, WorkEventsFollowTheOutermostNesting) {
  std::vector<std::string> events;
  auto name = [](TWorkMode mode) { return mode == wmRead ? std::string("r") : std::string("w"); };
  component_.OnWorkBegin = [&](TIdComponent*, TWorkMode mode, std::int32_t max) {
    events.push_back("begin " + name(mode) + " " + std::to_string(max));
  };
  component_.OnWork = [&](TIdComponent*, TWorkMode mode, std::int32_t count) {
    events.push_back("work " + name(mode) + " " + std::to_string(count));
  };
  component_.OnWorkEnd = [&](TIdComponent*, TWorkMode mode) {
    events.push_back("end " + name(mode));
  };

  component_.AdvanceWork(wmRead, 7);  // not started: nothing
  component_.StartWork(wmRead, 100);
  component_.StartWork(wmRead, 50);
  component_.StartWork(wmWrite, 9);
  component_.AdvanceWork(wmRead, 10);
  component_.AdvanceWork(wmWrite, 4);
  component_.AdvanceWork(wmRead, 5);
  component_.FinishWork(wmRead);
  component_.FinishWork(wmWrite);
  component_.AdvanceWork(wmRead, 1);
  component_.FinishWork(wmRead);
  component_.FinishWork(wmRead);  // unbalanced: ignored
  component_.StartWork(wmRead, 3);
  component_.AdvanceWork(wmRead, 2);

  const std::vector<std::string> expected = {
      "begin r 100", "begin w 9", "work r 10", "work w 4",  "work r 15",
      "end w",       "work r 16", "end r",     "begin r 3", "work r 2",
  };
  EXPECT_EQ(expected, events);
}

TEST_F(IdComponentTest, WorkPositionWrapsInsteadOfOverflowing) {
  std::int32_t last = 0;
  component_.OnWork = [&](TIdComponent*, TWorkMode, std::int32_t count) { last = count; };
  component_.StartWork(wmWrite, 0);
  component_.AdvanceWork(wmWrite, 0x7fffffff);
  component_.AdvanceWork(wmWrite, 2);
  EXPECT_EQ(static_cast<std::int32_t>(0x80000001u), last);
}

}  // namespace
