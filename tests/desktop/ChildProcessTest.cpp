// The harness must leave nothing running: a program's own children end with it.

#include <signal.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "support/ChildProcess.h"
#include "support/WaitUntil.h"

namespace {

bool Gone(int pid) {
  return ::kill(pid, 0) == -1 && errno == ESRCH;
}

TEST(ChildProcess, StopEndsTheProgramWithWhatItStarted) {
  test::ChildProcess shell;
  // The shell ignores SIGTERM, so the grace period runs out and SIGKILL has to follow.
  ASSERT_TRUE(
      shell.Start({{"sh", "-c", "trap '' TERM; sleep 300 & echo $! >&3; wait"}, {}, "", true}));
  std::optional<std::string> grandchild = shell.ReadReportLine(5000);
  ASSERT_TRUE(grandchild);
  const int sleeper = std::stoi(*grandchild);
  EXPECT_TRUE(shell.Running());

  shell.Stop(200);
  EXPECT_FALSE(shell.Running());
  EXPECT_EQ(0, shell.Pid());
  EXPECT_TRUE(test::WaitUntil([&] { return Gone(sleeper); })) << "the program's child outlived it";
}

TEST(ChildProcess, ReportLinesAndTheirEnd) {
  test::ChildProcess printer;
  ASSERT_TRUE(printer.Start({{"sh", "-c", "printf 'one\\ntwo\\n' >&3"}, {}, "", true}));
  EXPECT_EQ("one", printer.ReadReportLine(5000).value_or("(none)"));
  EXPECT_EQ("two", printer.ReadReportLine(5000).value_or("(none)"));
  EXPECT_FALSE(printer.ReadReportLine(5000)) << "a closed descriptor gives no line";
  EXPECT_FALSE(printer.Start({{"no-such-program-anywhere"}, {}, "", false}));
}

}  // namespace
