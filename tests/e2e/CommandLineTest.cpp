// The options the program answers without starting: run with no display but Qt told to use X,
// any start of the window would abort, and a started proxy would not end by itself.

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/ChildProcess.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Case {
  std::vector<std::string> arguments;
  int status;
  std::string outContains;  // empty: nothing on standard output
  std::string errContains;  // empty: nothing on standard error
};

TEST(CommandLine, AnswersAndEndsWithoutStartingAnything) {
  const std::vector<Case> cases = {
      {{"--help"}, 0, "port 1080", ""},
      {{"--version"}, 0, "tramlet " TRAMLET_VERSION "\n", ""},
      {{"--bogus"}, 2, "", "'--bogus'"},
      {{"--version", "--help"}, 2, "", "'--help'"},
      {{""}, 2, "", "''"},
      // A bad value ends the program before it looks for a display or another instance.
      {{"--limit", "0"}, 2, "", "--limit takes"},
      {{"--listen=localhost"}, 2, "", "--listen takes an IPv4 or IPv6 address"},
      {{"--preset", "5g"}, 2, "", "gprs, 2g, good-2g, 3g, good-3g, dsl, 4g, wifi, not '5g'"},
  };
  const std::string dir = std::string(TRAMLET_E2E_OUTPUT) + "/command-line";
  std::filesystem::create_directories(dir);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.front());
    test::ChildOptions options;
    options.argv = {"sh", "-c", "exec \"$@\" >" + dir + "/out 2>" + dir + "/err", "sh",
                    TRAMLET_PROGRAM};
    options.argv.insert(options.argv.end(), c.arguments.begin(), c.arguments.end());
    options.environment = {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=xcb"};
    test::ChildProcess program;
    ASSERT_TRUE(program.Start(options));
    EXPECT_EQ(program.WaitForExit(10000), std::optional<int>(c.status));

    const std::string out = ReadFile(dir + "/out");
    const std::string err = ReadFile(dir + "/err");
    if (c.outContains.empty()) {
      EXPECT_EQ(out, "");
    } else {
      EXPECT_NE(out.find(c.outContains), std::string::npos) << out;
    }
    if (c.errContains.empty()) {
      EXPECT_EQ(err, "");
    } else {
      // One line that names the argument.
      EXPECT_NE(err.find(c.errContains), std::string::npos) << err;
      EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
    }
  }
}

}  // namespace
