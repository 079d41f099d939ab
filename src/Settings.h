#pragma once

// What the command line may set, and the one line in which a running instance and a later start
// tell each other about it. Each option is one row of one table (Options()): parsing, the usage
// text, the words on the channel and the status lines are all made from its rows. Pure: no
// sockets, no Qt.

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tramlet {

// An option not given keeps the window's default.
struct Settings {
  static constexpr std::int32_t kDefaultLimit = 4;
  static constexpr std::int32_t kDefaultPort = 1080;
  // The modes, as --shared and --per-download write them into mode.
  static constexpr std::string_view kShared = "shared";
  static constexpr std::string_view kPerDownload = "per-download";

  bool help = false;
  bool version = false;
  bool status = false;
  std::optional<std::int32_t> limit;  // KB/s per download
  std::optional<std::int32_t> port;
  std::vector<std::string> listen;  // IPv4 or IPv6 addresses; none: every address
  std::optional<std::int32_t> delayMs;
  std::optional<std::int32_t> uploadLimit;  // KB/s per upload; 0: unpaced
  std::optional<std::string> mode;          // kShared or kPerDownload
  std::optional<std::string> preset;        // a preset's name; in a state, empty: none in force
  std::optional<std::string> only;          // hosts separated by commas; empty: every host

  std::int32_t Port() const { return port.value_or(kDefaultPort); }
  // Something a running instance can take.
  bool ChangesLive() const;
  // Something only a start can apply, so an instance already running on the port refuses it:
  // --listen, or --port with nothing else (beside live settings or --status it only says which
  // instance is meant).
  bool AsksStartOnly() const;
};

// When an option takes effect.
enum class When {
  Alone,  // answered without starting anything; given with nothing else
  Asks,   // asks the running instance
  Live,   // at start, or handed by a later start to the running instance
  Start,  // at start only
  Picks,  // at start only, and names the running instance a later start talks to
};

// What follows an option's name.
enum class Takes {
  Nothing,  // a flag: sets its bool, or writes its own name into a word (one of a few modes)
  Number,   // a whole number from low to high
  Word,     // one of words
  Address,  // an IPv4 or IPv6 address, in brackets or not; each one given is added
  Hosts,    // host names and address literals separated by commas; empty: none
};

// One row of the table. Texts are those the user reads; a value's name in help is `value`.
struct Option {
  using Field =
      std::variant<bool Settings::*, std::optional<std::int32_t> Settings::*,
                   std::optional<std::string> Settings::*, std::vector<std::string> Settings::*>;

  std::string_view name = {};  // on the command line, after "--"
  std::string_view value = {};
  Takes takes = Takes::Nothing;
  Field field = {};
  When when = When::Start;
  std::int32_t low = 0;
  std::int32_t high = 0;
  std::int32_t fallback = 0;  // a number's default
  std::span<const std::string_view> words = {};
  std::string_view unit = {};         // what the value is, in the message on a bad one
  std::string_view atZero = {};       // what 0 means, where it means more than nothing
  std::string_view help = {};         // its line in --help, without range and default
  std::string_view byDefault = {};    // the default in words, where it is no number
  std::string_view channel = {};      // its word on the instance channel; empty: not sent
  std::string_view shown = {};        // its label in the status; empty: not shown
  std::string_view shownUnit = {};    // after its value there
  std::string_view shownAsNone = {};  // in place of a value of 0 or an empty one
};

std::span<const Option> Options();

// "--limit, --delay and --upload-limit": the options of each kind asked for, in that order.
std::string OptionsNamed(std::initializer_list<When> whens);

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
  // Every option on the channel, the mode always set; a number not set counts as its default.
  Settings inForce;
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
