#include "Settings.h"

#include <charconv>
#include <limits>
#include <set>
#include <sstream>
#include <utility>

#include "Presets.h"
#include "net/IdStack.h"

namespace tramlet {
namespace {

// Every option, in the order --help lists them. A new setting is a row here, its field in
// Settings, and its use where the program applies and reports what is in force.
// clang-format off
constexpr Option kOptions[] = {
    {.name = "limit", .value = "N", .takes = Takes::Number, .field = &Settings::limit,
     .when = When::Live, .low = 1, .high = 65535, .fallback = Settings::kDefaultLimit,
     .unit = "kilobytes per second for each download",
     .help = "relay at most N KB/s to each client, or to all together in the shared mode",
     .channel = "limit", .shown = "limit", .shownUnit = "KB/s"},
    {.name = "delay", .value = "MS", .takes = Takes::Number, .field = &Settings::delayMs,
     .when = When::Live, .low = 0, .high = 60000,
     .unit = "milliseconds",
     .help = "hold each answer's first byte until MS milliseconds after the request was read",
     .channel = "delay", .shown = "delay", .shownUnit = "ms before each answer"},
    {.name = "upload-limit", .value = "N", .takes = Takes::Number, .field = &Settings::uploadLimit,
     .when = When::Live, .low = 0, .high = 65535,
     .unit = "kilobytes per second for each upload", .atZero = "unpaced",
     .help = "send request bodies upstream at most N KB/s each, or all together in the shared "
             "mode",
     .channel = "upload", .shown = "upload limit", .shownUnit = "KB/s",
     .shownAsNone = "none (uploads unpaced)"},
    {.name = Settings::kShared, .field = &Settings::mode, .when = When::Live,
     .help = "share the limit among all downloads, and the upload limit among all uploads, as "
             "one slow line does",
     .channel = "mode", .shown = "mode",
     .shownUnit = "(all downloads share the limit, all uploads the upload limit)"},
    {.name = Settings::kPerDownload, .field = &Settings::mode, .when = When::Live,
     .help = "apply the limit to each download, and the upload limit to each upload, on its own "
             "(the default)",
     .channel = "mode", .shown = "mode",
     .shownUnit = "(each download at the limit, each upload at the upload limit)"},
    {.name = "preset", .value = "NAME", .takes = Takes::Word, .field = &Settings::preset,
     .when = When::Live, .words = kPresetNames,
     .unit = "a preset's name",
     .help = "set the shared mode, the limit, the upload limit and the delay of this slow "
             "line; options given beside it change its values",
     .channel = "preset", .shown = "preset", .shownAsNone = "none"},
    {.name = "only", .value = "HOST[,HOST...]", .takes = Takes::Hosts, .field = &Settings::only,
     .when = When::Live,
     .unit = "host names or addresses separated by commas ('' for every host)",
     .help = "pace and delay only what goes to and from these hosts and the names under them; "
             "'' paces every host again",
     .byDefault = "every host",
     .channel = "only", .shown = "scope",
     .shownUnit = "(and the names under them; other hosts at full speed)",
     .shownAsNone = "every host"},
    {.name = "port", .value = "P", .takes = Takes::Number, .field = &Settings::port,
     .when = When::Picks, .low = 1, .high = 65535, .fallback = Settings::kDefaultPort,
     .unit = "a TCP port",
     .help = "listen on port P",
     .channel = "port", .shown = "port"},
    {.name = "listen", .value = "ADDR", .takes = Takes::Address, .field = &Settings::listen,
     .when = When::Start,
     .unit = "an IPv4 or IPv6 address",
     .help = "listen on this IPv4 or IPv6 address only; repeat for more",
     .byDefault = "every address"},
    {.name = "status", .field = &Settings::status, .when = When::Asks,
     .help = "show the settings of the Tramlet running on the port, where it listens and its "
             "connection count; exit 1 when none runs"},
    {.name = "help", .field = &Settings::help, .when = When::Alone,
     .help = "show this text and exit"},
    {.name = "version", .field = &Settings::version, .when = When::Alone,
     .help = "show the version and exit"},
};
// clang-format on

template <class T>
constexpr bool Holds(const Option& option) {
  return std::holds_alternative<T Settings::*>(option.field);
}

constexpr bool FitsItsField(const Option& option) {
  switch (option.takes) {
    case Takes::Nothing:
      // A flag a running instance takes names a mode: it writes its name into a word.
      return option.channel.empty() ? Holds<bool>(option)
                                    : Holds<std::optional<std::string>>(option);
    case Takes::Number:
      return Holds<std::optional<std::int32_t>>(option) && option.low <= option.high;
    case Takes::Word:
      return Holds<std::optional<std::string>>(option) && !option.words.empty();
    case Takes::Hosts:
      return Holds<std::optional<std::string>>(option);
    case Takes::Address:
      return Holds<std::vector<std::string>>(option);
  }
  return false;
}

// A row that cannot work does not build: its field must hold what it takes, names are unique, and
// the channel carries exactly what a running instance takes or reports.
constexpr bool Sound() {
  for (const Option& option : kOptions) {
    const bool onChannel = option.when == When::Live || option.when == When::Picks;
    if (!FitsItsField(option) || onChannel == option.channel.empty()) return false;
    for (const Option& other : kOptions)
      if (&other != &option && other.name == option.name) return false;
  }
  return true;
}
static_assert(Sound(), "an option's row does not fit its field, or the channel");

using Value = std::variant<std::int32_t, std::string>;

template <class... Cases>
struct Overloaded : Cases... {
  using Cases::operator()...;
};
template <class... Cases>
Overloaded(Cases...) -> Overloaded<Cases...>;

template <class T>
std::optional<Value> AsValue(std::optional<T> value) {
  if (!value) return std::nullopt;
  return Value(std::move(*value));
}

std::optional<std::int32_t> Number(std::string_view text, std::int32_t low, std::int32_t high) {
  std::int32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < low || value > high)
    return std::nullopt;
  return value;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    const std::size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

// The one check of address text here.
bool IsAddress(const std::string& text) {
  return TIdStack::ParseIPAddress(text).has_value();
}

// An address as IsAddress takes it; an IPv6 one may come in brackets, as in URLs.
std::optional<std::string> Address(std::string_view text) {
  if (text.size() > 2 && text.front() == '[' && text.back() == ']')
    text = text.substr(1, text.size() - 2);
  std::string address(text);
  if (!IsAddress(address)) return std::nullopt;
  return address;
}

// Labels of letters, digits and inner hyphens between dots.
bool IsHostName(std::string_view name) {
  if (name.size() > 253) return false;
  for (const std::string_view label : Split(name, '.')) {
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
      return false;
    for (const char c : label) {
      const bool letterOrDigit =
          (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
      if (!letterOrDigit && c != '-') return false;
    }
  }
  return true;
}

// Hosts separated by commas, addresses without their brackets; empty: none.
std::optional<std::string> Hosts(std::string_view list) {
  std::string hosts;
  if (list.empty()) return hosts;
  for (const std::string_view host : Split(list, ',')) {
    const std::optional<std::string> address = Address(host);
    // A name may end in the root's dot, as in URLs.
    const std::string_view name = host.ends_with('.') ? host.substr(0, host.size() - 1) : host;
    if (!address && !IsHostName(name)) return std::nullopt;
    hosts.append(hosts.empty() ? "" : ",").append(address ? *address : std::string(host));
  }
  return hosts;
}

// The value as the option takes it. A running instance's state may hold numbers outside the
// range, as a limit of 0 typed in the window and not yet corrected.
std::optional<Value> Judge(const Option& option, std::string_view text, bool inRange) {
  constexpr std::int32_t kLeast = std::numeric_limits<std::int32_t>::min();
  constexpr std::int32_t kMost = std::numeric_limits<std::int32_t>::max();
  switch (option.takes) {
    case Takes::Nothing:
      return text == option.name ? std::optional<Value>(std::string(text)) : std::nullopt;
    case Takes::Number:
      return AsValue(inRange ? Number(text, option.low, option.high) : Number(text, kLeast, kMost));
    case Takes::Word:
      // A running instance may have none of the words in force.
      if (!inRange && text.empty()) return std::string();
      for (const std::string_view word : option.words)
        if (word == text) return std::string(text);
      return std::nullopt;
    case Takes::Address:
      return AsValue(Address(text));
    case Takes::Hosts:
      return AsValue(Hosts(text));
  }
  return std::nullopt;
}

void Store(const Option& option, Value value, Settings& settings) {
  std::visit(Overloaded{[&](bool Settings::*flag) { settings.*flag = true; },
                        [&](std::optional<std::int32_t> Settings::*number) {
                          settings.*number = std::get<std::int32_t>(value);
                        },
                        [&](std::optional<std::string> Settings::*word) {
                          settings.*word = std::get<std::string>(std::move(value));
                        },
                        [&](std::vector<std::string> Settings::*list) {
                          (settings.*list).push_back(std::get<std::string>(std::move(value)));
                        }},
             option.field);
}

bool Given(const Option& option, const Settings& settings) {
  return std::visit(Overloaded{[&](bool Settings::*flag) { return settings.*flag; },
                               [&](std::vector<std::string> Settings::*list) {
                                 return !(settings.*list).empty();
                               },
                               [&](auto optional) { return (settings.*optional).has_value(); }},
                    option.field);
}

// What the option holds as the channel carries it; none when it holds nothing there. Flags and
// addresses only ever apply at start.
std::optional<std::string> ValueText(const Option& option, const Settings& settings) {
  return std::visit(
      Overloaded{[&](std::optional<std::int32_t> Settings::*number) -> std::optional<std::string> {
                   if (!(settings.*number)) return std::nullopt;
                   return std::to_string(*(settings.*number));
                 },
                 [&](std::optional<std::string> Settings::*word) -> std::optional<std::string> {
                   // Of the flags that write one word, the one whose name it holds.
                   if (option.takes == Takes::Nothing && settings.*word != option.name)
                     return std::nullopt;
                   return settings.*word;
                 },
                 [](auto) -> std::optional<std::string> { return std::nullopt; }},
      option.field);
}

// What is in force: what the option holds, or a number's default.
std::optional<std::string> InForce(const Option& option, const Settings& settings) {
  std::optional<std::string> text = ValueText(option, settings);
  if (!text && option.takes == Takes::Number) text = std::to_string(option.fallback);
  return text;
}

const Option* Named(std::string_view argument) {
  if (argument.substr(0, 2) != "--") return nullptr;
  for (const Option& option : kOptions)
    if (option.name == argument.substr(2)) return &option;
  return nullptr;
}

// What the option takes, as the message on a bad argument says it.
std::string WhatItTakes(const Option& option) {
  std::string what(option.unit);
  if (option.takes == Takes::Number) {
    what += ", " + std::to_string(option.low);
    if (option.low == 0 && !option.atZero.empty())
      what.append(" (").append(option.atZero).append(")");
    what += " to " + std::to_string(option.high);
  }
  for (std::size_t i = 0; i < option.words.size(); ++i)
    what.append(i == 0 ? ": " : ", ").append(option.words[i]);
  return what;
}

// "takes ..." and what is wrong with the value.
BadArgument BadValue(const Option& option, const std::string& wrong) {
  return {"tramlet: --" + std::string(option.name) + " takes " + WhatItTakes(option) + wrong};
}

BadArgument Unexpected(const std::string& argument) {
  return {"tramlet: unexpected argument '" + argument + "' (tramlet --help shows the usage)"};
}

// A word on the channel, "name=value", split in two.
std::optional<std::pair<std::string_view, std::string_view>> NameAndValue(std::string_view word) {
  const std::size_t equals = word.find('=');
  if (equals == std::string_view::npos) return std::nullopt;
  return std::pair(word.substr(0, equals), word.substr(equals + 1));
}

// The option a word on the channel sets, with its value.
std::optional<std::pair<const Option*, Value>> FromChannel(std::string_view name,
                                                           std::string_view text, bool inRange) {
  for (const Option& option : kOptions) {
    if (option.channel.empty() || option.channel != name) continue;
    if (std::optional<Value> value = Judge(option, text, inRange))
      return std::pair(&option, std::move(*value));
  }
  return std::nullopt;
}

// A problem's text as one word: no blanks, commas or control characters.
std::string Escaped(const std::string& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string word;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= ' ' || byte == 0x7f || c == '%' || c == ',') {
      word += '%';
      word += kHex[byte >> 4];
      word += kHex[byte & 0xf];
    } else {
      word += c;
    }
  }
  return word;
}

std::optional<std::string> Unescaped(std::string_view word) {
  std::string text;
  for (std::size_t i = 0; i < word.size(); ++i) {
    if (word[i] != '%') {
      text += word[i];
      continue;
    }
    unsigned value = 0;
    if (i + 2 >= word.size()) return std::nullopt;
    const auto [end, error] = std::from_chars(word.data() + i + 1, word.data() + i + 3, value, 16);
    if (error != std::errc() || end != word.data() + i + 3) return std::nullopt;
    text += static_cast<char>(value);
    i += 2;
  }
  return text;
}

// "WHERE" where it listens, "WHERE,PROBLEM" where not.
bool AddListener(std::string_view value, LiveState& state) {
  const std::size_t comma = value.find(',');
  std::optional<std::string> problem =
      comma == std::string_view::npos ? std::string() : Unescaped(value.substr(comma + 1));
  if (!problem || (comma != std::string_view::npos && problem->empty())) return false;
  state.listeners.push_back({std::string(value.substr(0, comma)), std::move(*problem)});
  return true;
}

}  // namespace

std::span<const Option> Options() {
  return kOptions;
}

bool Settings::ChangesLive() const {
  for (const Option& option : kOptions)
    if (option.when == When::Live && Given(option, *this)) return true;
  return false;
}

bool Settings::AsksStartOnly() const {
  bool atStart = false;
  bool picks = false;
  bool talks = false;
  for (const Option& option : kOptions) {
    if (!Given(option, *this)) continue;
    atStart |= option.when == When::Start;
    picks |= option.when == When::Picks;
    talks |= option.when == When::Live || option.when == When::Asks;
  }
  return atStart || (picks && !talks);
}

std::string OptionsNamed(std::initializer_list<When> whens) {
  std::vector<std::string> names;
  for (const When when : whens)
    for (const Option& option : kOptions)
      if (option.when == when) names.push_back("--" + std::string(option.name));
  std::string listed;
  for (std::size_t i = 0; i < names.size(); ++i)
    listed += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
  return listed;
}

std::variant<Settings, BadArgument> ParseArguments(const std::vector<std::string>& arguments) {
  Settings settings;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    const std::size_t equals = argument.find('=');
    const Option* option = Named(std::string_view(argument).substr(0, equals));
    if (!option || (option->takes == Takes::Nothing && equals != std::string::npos))
      return Unexpected(argument);
    // What is answered without starting anything comes alone.
    if (option->when == When::Alone && arguments.size() != 1)
      return Unexpected(i == 0 ? arguments[1] : argument);
    std::string value(option->name);  // what a flag writes
    if (equals != std::string::npos) {
      value = argument.substr(equals + 1);
    } else if (option->takes != Takes::Nothing) {
      if (i + 1 == arguments.size()) return BadValue(*option, "; none was given");
      value = arguments[++i];
    }
    std::optional<Value> judged = Judge(*option, value, true);
    if (!judged) return BadValue(*option, ", not '" + value + "'");
    Store(*option, std::move(*judged), settings);
  }
  return settings;
}

std::string EncodeRequest(const Settings& settings) {
  if (!settings.ChangesLive()) return "status";
  std::string line = "set";
  for (const Option& option : kOptions) {
    const std::optional<std::string> value = ValueText(option, settings);
    if (option.when == When::Live && value)
      line.append(" ").append(option.channel).append("=").append(*value);
  }
  return line;
}

std::optional<Settings> DecodeSetRequest(const std::string& line) {
  std::istringstream words(line);
  std::string word;
  if (!(words >> word) || word != "set") return std::nullopt;
  Settings settings;
  while (words >> word) {
    const auto nameAndValue = NameAndValue(word);
    auto change =
        nameAndValue ? FromChannel(nameAndValue->first, nameAndValue->second, true) : std::nullopt;
    if (!change || change->first->when != When::Live) return std::nullopt;
    Store(*change->first, std::move(change->second), settings);
  }
  return settings;
}

std::string EncodeState(const LiveState& state) {
  std::string line = "settings";
  for (const Option& option : kOptions) {
    const std::optional<std::string> value =
        option.channel.empty() ? std::nullopt : InForce(option, state.inForce);
    if (value) line.append(" ").append(option.channel).append("=").append(*value);
  }
  line += " connections=" + std::to_string(state.connections);
  for (const LiveState::Listener& listener : state.listeners) {
    line.append(" listener=").append(listener.where);
    if (!listener.problem.empty()) line.append(",").append(Escaped(listener.problem));
  }
  return line;
}

std::optional<LiveState> DecodeState(const std::string& line) {
  std::istringstream words(line);
  std::string word;
  if (!(words >> word) || word != "settings") return std::nullopt;
  LiveState state;
  std::set<std::string_view> seen;  // every word but the listeners comes once
  while (words >> word) {
    const auto nameAndValue = NameAndValue(word);
    if (!nameAndValue) return std::nullopt;
    const auto [name, value] = *nameAndValue;
    if (name == "listener") {
      if (!AddListener(value, state)) return std::nullopt;
      continue;
    }
    if (name == "connections") {
      const std::optional<std::int32_t> count = Number(value, -2147483647, 2147483647);
      if (!count || !seen.insert("connections").second) return std::nullopt;
      state.connections = *count;
      continue;
    }
    auto setting = FromChannel(name, value, false);
    if (!setting || !seen.insert(setting->first->channel).second) return std::nullopt;
    Store(*setting->first, std::move(setting->second), state.inForce);
  }
  for (const Option& option : kOptions)
    if (!option.channel.empty() && !seen.contains(option.channel)) return std::nullopt;
  if (!seen.contains("connections")) return std::nullopt;
  return state;
}

std::string DescribeState(const LiveState& state, bool withConnections) {
  std::string text;
  for (const Option& option : kOptions) {
    const std::optional<std::string> value =
        option.shown.empty() ? std::nullopt : InForce(option, state.inForce);
    if (!value) continue;
    text.append(option.shown).append(": ");
    if (!option.shownAsNone.empty() && (*value == "0" || value->empty())) {
      text.append(option.shownAsNone);
    } else {
      text += *value;
      if (!option.shownUnit.empty()) text.append(" ").append(option.shownUnit);
    }
    text += '\n';
  }
  std::string listening;
  std::string notListening;
  for (const LiveState::Listener& listener : state.listeners) {
    if (listener.problem.empty())
      listening += (listening.empty() ? "" : ", ") + listener.where;
    else
      notListening += "not listening on " + listener.where + ": " + listener.problem + "\n";
  }
  if (!listening.empty()) text += "listening on: " + listening + "\n";
  text += notListening;
  if (withConnections) text += "connections: " + std::to_string(state.connections) + "\n";
  return text;
}

}  // namespace tramlet
