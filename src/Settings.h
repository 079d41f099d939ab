#pragma once

// What the command line may set, and the one line in which a running instance and a later start
// tell each other about it. Pure: no sockets, no Qt.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tramlet {

// An option not given keeps the window's default.
struct Settings {
  static constexpr std::int32_t kDefaultLimit = 4;
  static constexpr std::int32_t kDefaultPort = 1080;

  bool help = false;
  bool version = false;
  bool status = false;
  std::optional<std::int32_t> limit;        // KB/s per download, 1-65535
  std::optional<std::int32_t> port;         // 1-65535
  std::vector<std::string> listen;          // IPv4 or IPv6 addresses; none: every address
  std::optional<std::int32_t> delayMs;      // 0-60000
  std::optional<std::int32_t> uploadLimit;  // KB/s per upload, 0-65535; 0: unpaced

  std::int32_t Port() const { return port.value_or(kDefaultPort); }
  // The settings a running instance can take.
  bool ChangesLive() const { return limit || delayMs || uploadLimit; }
};

// A bad argument: the one line (without its newline) that says what the option takes.
struct BadArgument {
  std::string message;
};

std::variant<Settings, BadArgument> ParseArguments(const std::vector<std::string>& arguments);

// The settings in force in a running instance, and where it listens.
struct LiveState {
  // An address and port ("127.0.0.1:1080", "[::1]:1080", "*:1080" for every address), and why
  // nothing listens there; an empty problem: it listens.
  struct Listener {
    std::string where;
    std::string problem;
    bool operator==(const Listener&) const = default;
  };
  std::int32_t limit = Settings::kDefaultLimit;
  std::int32_t delayMs = 0;
  std::int32_t uploadLimit = 0;
  std::int32_t port = Settings::kDefaultPort;
  std::vector<Listener> listeners;
  std::int32_t connections = 0;
};

// The lines a later start and a running instance exchange, without their line feed.
// The request a later start sends: "set" with the changes, or "status".
std::string EncodeRequest(const Settings& settings);
// The changes a "set" request carries; none when the line is no such request.
std::optional<Settings> DecodeSetRequest(const std::string& line);
std::string EncodeState(const LiveState& state);
std::optional<LiveState> DecodeState(const std::string& line);
// The state as the user reads it, one setting a line.
std::string DescribeState(const LiveState& state, bool withConnections);

}  // namespace tramlet
