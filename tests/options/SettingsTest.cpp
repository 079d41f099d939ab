// The options table: parsing, the usage text, and the lines a later start and a running instance
// exchange.

#include <algorithm>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "CommandLine.h"
#include "Settings.h"

namespace {

using tramlet::EncodeRequest;
using tramlet::EncodeState;
using tramlet::ParseArguments;
using tramlet::Settings;

std::optional<Settings> Parsed(const std::vector<std::string>& arguments) {
  auto parsed = ParseArguments(arguments);
  if (const auto* settings = std::get_if<Settings>(&parsed)) return *settings;
  return std::nullopt;
}

TEST(OptionTable, TakesEveryOptionInBothSpellingsAtItsBounds) {
  struct Good {
    std::vector<std::string> arguments;
    std::optional<std::int32_t> Settings::*field;
    std::int32_t value;
  };
  const std::vector<Good> cases = {
      {{"--limit", "1"}, &Settings::limit, 1},
      {{"--limit=65535"}, &Settings::limit, 65535},
      {{"--port", "65535"}, &Settings::port, 65535},
      {{"--port=1"}, &Settings::port, 1},
      {{"--delay", "0"}, &Settings::delayMs, 0},
      {{"--delay=60000"}, &Settings::delayMs, 60000},
      {{"--upload-limit", "0"}, &Settings::uploadLimit, 0},
      {{"--upload-limit=65535"}, &Settings::uploadLimit, 65535},
  };
  for (const Good& c : cases) {
    SCOPED_TRACE(c.arguments.front());
    const std::optional<Settings> settings = Parsed(c.arguments);
    ASSERT_TRUE(settings);
    EXPECT_EQ((*settings).*c.field, std::optional<std::int32_t>(c.value));
  }
  // Defaults are the window's; --listen repeats and takes both families, brackets dropped.
  const std::optional<Settings> none = Parsed({});
  ASSERT_TRUE(none);
  EXPECT_EQ(none->Port(), 1080);
  EXPECT_FALSE(none->limit || none->delayMs || none->uploadLimit || none->status);
  const std::optional<Settings> listen =
      Parsed({"--listen", "127.0.0.1", "--listen=[::1]", "--listen", "fe80::1", "--status"});
  ASSERT_TRUE(listen);
  EXPECT_EQ(listen->listen, (std::vector<std::string>{"127.0.0.1", "::1", "fe80::1"}));
  EXPECT_TRUE(listen->status);
}

TEST(OptionTable, RefusesBadValuesWithOneLineNamingTheOption) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--limit", "0"}, "--limit takes kilobytes per second"},
      {{"--limit=65536"}, "--limit takes"},
      {{"--limit", "4k"}, "not '4k'"},
      {{"--limit", " 4"}, "--limit takes"},
      {{"--limit="}, "--limit takes"},
      {{"--limit"}, "--limit takes kilobytes per second for each download, 1 to 65535; none"},
      {{"--port", "0"}, "--port takes a TCP port"},
      {{"--port=99999999999"}, "--port takes"},
      {{"--delay", "-1"}, "--delay takes milliseconds, 0 to 60000"},
      {{"--delay", "60001"}, "--delay takes"},
      {{"--upload-limit", "-4"}, "--upload-limit takes"},
      {{"--listen", "256.0.0.1"}, "--listen takes an IPv4 or IPv6 address"},
      {{"--listen", "::g"}, "--listen takes"},
      {{"--listen"}, "--listen takes an IPv4 or IPv6 address; none"},
      {{"--limits", "4"}, "unexpected argument '--limits'"},
      {{"limit", "4"}, "unexpected argument 'limit'"},
      {{"--status=1"}, "unexpected argument '--status=1'"},
      {{"--limit", "4", "--help"}, "unexpected argument '--help'"},
  };
  for (const auto& [arguments, says] : cases) {
    SCOPED_TRACE(arguments.front());
    auto parsed = ParseArguments(arguments);
    const auto* bad = std::get_if<tramlet::BadArgument>(&parsed);
    ASSERT_NE(bad, nullptr);
    EXPECT_NE(bad->message.find(says), std::string::npos) << bad->message;
    EXPECT_EQ(bad->message.find('\n'), std::string::npos);
  }
}

// What a later start sends and the running one answers survive the channel unchanged.
TEST(OptionTable, RequestsAndStatesRoundTrip) {
  const std::optional<Settings> set =
      Parsed({"--delay=0", "--limit", "40", "--upload-limit", "4", "--port", "81"});
  ASSERT_TRUE(set);
  const std::optional<Settings> back = tramlet::DecodeSetRequest(tramlet::EncodeRequest(*set));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->limit, set->limit);
  EXPECT_EQ(back->delayMs, std::optional<std::int32_t>(0));
  EXPECT_EQ(back->uploadLimit, set->uploadLimit);
  EXPECT_EQ(tramlet::EncodeRequest(Settings{}), "status");
  for (const char* refused : {"status", "set limit=0", "set port=80", "set limit=4 bogus", "show"})
    EXPECT_FALSE(tramlet::DecodeSetRequest(refused)) << refused;

  // A reason is any text: blanks, commas, escapes and line ends come back as they went.
  tramlet::LiveState state;
  state.inForce.limit = 16;
  state.inForce.delayMs = 400;
  state.inForce.uploadLimit = 4;
  state.inForce.port = 8080;
  state.inForce.mode = "per-download";
  state.inForce.preset = "";
  state.inForce.only = "";
  state.listeners = {{"127.0.0.1:8080", ""},
                     {"[::1]:8080", ""},
                     {"192.0.2.1:8080", "Socket Error # 10049\r\nCannot assign, 100% sure"}};
  state.connections = 3;
  const std::string line = tramlet::EncodeState(state);
  EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
  const std::optional<tramlet::LiveState> decoded = tramlet::DecodeState(line);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->listeners, state.listeners);
  const std::string described = tramlet::DescribeState(*decoded, true);
  EXPECT_EQ(described, tramlet::DescribeState(state, true));
  for (const char* said : {"listening on: 127.0.0.1:8080, [::1]:8080\n",
                           "not listening on 192.0.2.1:8080: Socket Error", "connections: 3\n"})
    EXPECT_NE(described.find(said), std::string::npos) << described;
  for (const char* broken : {"settings limit=16",
                             "settings limit=1 delay=0 upload=0 mode=shared preset= only= port=1 "
                             "connections=0 listener=*:1,%4",
                             "settings limit=1 delay=0 upload=0 mode=shared preset= only= port=1 "
                             "connections=0 limit=2"})
    EXPECT_FALSE(tramlet::DecodeState(broken)) << broken;
  EXPECT_FALSE(tramlet::DecodeState("shown\n"));
  // A setting not filled in shows its default; an upload limit of 0 says what it means.
  const std::string defaults = tramlet::DescribeState(tramlet::LiveState{}, false);
  EXPECT_EQ(defaults.find("limit: 4 KB/s\n"), 0u) << defaults;
  EXPECT_NE(defaults.find("upload limit: none (uploads unpaced)\n"), std::string::npos);
}

// The mode, the preset and the scope: given on the command line and handed over the channel,
// and read back from a running instance, where no preset may be in force.
TEST(OptionTable, ModePresetAndScopeGoOverTheChannel) {
  using Field = std::optional<std::string> Settings::*;
  const std::vector<std::tuple<std::vector<std::string>, Field, std::string>> cases = {
      {{"--shared", "--per-download"}, &Settings::mode, "per-download"},
      {{"--preset", "good-3g"}, &Settings::preset, "good-3g"},
      {{"--only", "Example.COM.,[::1],192.0.2.1"}, &Settings::only, "Example.COM.,::1,192.0.2.1"},
      {{"--only="}, &Settings::only, ""},
  };
  for (const auto& [arguments, field, value] : cases) {
    const std::optional<Settings> handed =
        tramlet::DecodeSetRequest(EncodeRequest(Parsed(arguments).value_or(Settings{})));
    ASSERT_TRUE(handed) << arguments.front();
    EXPECT_EQ((*handed).*field, value);
  }
  for (const char* wrong : {"--preset=5g", "--only=a,,b", "--only=under_score.example"})
    EXPECT_FALSE(Parsed({wrong})) << wrong;
  EXPECT_FALSE(tramlet::DecodeSetRequest("set preset=")) << "only a state has no preset";

  tramlet::LiveState state;
  state.inForce.mode = "shared";
  state.inForce.preset = "";
  state.inForce.only = "example.com,::1";
  const std::optional<tramlet::LiveState> back = tramlet::DecodeState(EncodeState(state));
  ASSERT_TRUE(back);
  const std::string described = tramlet::DescribeState(*back, false);
  for (const char* said : {"\nmode: shared (", "\npreset: none\n", "\nscope: example.com,::1 ("})
    EXPECT_NE(described.find(said), std::string::npos) << described;
}

// --port alone or --listen cannot change a running instance; beside what it can take, --port
// only picks which one.
TEST(OptionTable, TellsWhatOnlyAStartCanApply) {
  const std::vector<std::pair<std::vector<std::string>, bool>> cases = {
      {{}, false},
      {{"--limit", "4"}, false},
      {{"--port", "81"}, true},
      {{"--port", "81", "--status"}, false},
      {{"--port", "81", "--delay", "0"}, false},
      {{"--listen", "::1", "--limit", "4"}, true},
  };
  for (const auto& [arguments, startOnly] : cases) {
    const std::optional<Settings> settings = Parsed(arguments);
    ASSERT_TRUE(settings);
    EXPECT_EQ(settings->AsksStartOnly(), startOnly) << ::testing::PrintToString(arguments);
  }
}

// Every option shows in --help, within 80 columns, and the live ones are named as those a later
// start hands over.
TEST(OptionTable, UsageListsEveryOptionWithinEightyColumns) {
  const std::string usage = UsageText();
  std::istringstream lines(usage);
  std::string shown;
  for (std::string line; std::getline(lines, line);) {
    EXPECT_LE(line.size(), 79u) << line;
    if (line.rfind("  --", 0) == 0) shown += line.substr(2, line.find("  ", 2) - 2) + "|";
  }
  std::string expected;
  for (const tramlet::Option& option : tramlet::Options())
    expected += "--" + std::string(option.name) + (option.value.empty() ? "" : " ") +
                std::string(option.value) + "|";
  EXPECT_EQ(shown, expected);
  std::string flowing = usage;
  std::replace(flowing.begin(), flowing.end(), '\n', ' ');
  EXPECT_NE(flowing.find("hands --limit, --delay, --upload-limit, --shared, --per-download, "
                         "--preset and --only to the running one"),
            std::string::npos)
      << usage;
}

}  // namespace
