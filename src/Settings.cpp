#include "Settings.h"

#include <arpa/inet.h>

#include <charconv>
#include <map>
#include <sstream>
#include <string_view>

namespace tramlet {
namespace {

struct Range {
  std::int32_t low;
  std::int32_t high;
  const char* what;  // says what the option takes
};

const std::map<std::string, Range, std::less<>> kNumbers = {
    {"limit", {1, 65535, "kilobytes per second for each download, 1 to 65535"}},
    {"port", {1, 65535, "a TCP port, 1 to 65535"}},
    {"delay", {0, 60000, "milliseconds, 0 to 60000"}},
    {"upload-limit", {0, 65535, "kilobytes per second for each upload, 0 (unpaced) to 65535"}},
};

std::optional<std::int32_t> Number(std::string_view text, std::int32_t low, std::int32_t high) {
  std::int32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < low || value > high)
    return std::nullopt;
  return value;
}

// An address as inet_pton takes it; an IPv6 one may come in brackets, as in URLs.
std::optional<std::string> Address(std::string text) {
  if (text.size() > 2 && text.front() == '[' && text.back() == ']')
    text = text.substr(1, text.size() - 2);
  unsigned char bytes[16];
  const int family = text.find(':') == std::string::npos ? AF_INET : AF_INET6;
  if (::inet_pton(family, text.c_str(), bytes) != 1) return std::nullopt;
  return text;
}

BadArgument Bad(const std::string& option, const std::string& value, const std::string& what) {
  return {"tramlet: " + option + " takes " + what + ", not '" + value + "'"};
}

std::optional<std::int32_t>* Field(Settings& settings, std::string_view name) {
  if (name == "limit") return &settings.limit;
  if (name == "port") return &settings.port;
  if (name == "delay") return &settings.delayMs;
  return &settings.uploadLimit;
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

}  // namespace

std::variant<Settings, BadArgument> ParseArguments(const std::vector<std::string>& arguments) {
  Settings settings;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--help" || argument == "--version") {
      // Either stands alone.
      if (arguments.size() != 1) {
        const std::string& other = i == 0 ? arguments[1] : argument;
        return BadArgument{"tramlet: unexpected argument '" + other +
                           "' (tramlet --help shows the usage)"};
      }
      (argument == "--help" ? settings.help : settings.version) = true;
      continue;
    }
    if (argument == "--status") {
      settings.status = true;
      continue;
    }
    const std::size_t equals = argument.find('=');
    const std::string option = argument.substr(0, equals);
    const std::string_view name =
        std::string_view(option).substr(option.rfind("--", 0) == 0 ? 2 : 0);
    const bool known = option.rfind("--", 0) == 0 && (kNumbers.contains(name) || name == "listen");
    if (!known) {
      return BadArgument{"tramlet: unexpected argument '" + argument +
                         "' (tramlet --help shows the usage)"};
    }
    std::string value;
    if (equals != std::string::npos) {
      value = argument.substr(equals + 1);
    } else if (i + 1 < arguments.size()) {
      value = arguments[++i];
    } else {
      const auto number = kNumbers.find(name);
      return BadArgument{"tramlet: " + option + " takes " +
                         (number == kNumbers.end() ? std::string("an IPv4 or IPv6 address")
                                                   : number->second.what) +
                         "; none was given"};
    }
    if (name == "listen") {
      std::optional<std::string> address = Address(value);
      if (!address) return Bad(option, value, "an IPv4 or IPv6 address");
      settings.listen.push_back(*address);
      continue;
    }
    const Range& range = kNumbers.find(name)->second;
    const std::optional<std::int32_t> number = Number(value, range.low, range.high);
    if (!number) return Bad(option, value, range.what);
    *Field(settings, name) = number;
  }
  return settings;
}

std::string EncodeRequest(const Settings& settings) {
  if (!settings.ChangesLive()) return "status";
  std::string line = "set";
  if (settings.limit) line += " limit=" + std::to_string(*settings.limit);
  if (settings.delayMs) line += " delay=" + std::to_string(*settings.delayMs);
  if (settings.uploadLimit) line += " upload=" + std::to_string(*settings.uploadLimit);
  return line;
}

std::optional<Settings> DecodeSetRequest(const std::string& line) {
  std::istringstream words(line);
  std::string word;
  if (!(words >> word) || word != "set") return std::nullopt;
  std::vector<std::string> arguments;
  while (words >> word) {
    const std::string name = word.substr(0, word.find('='));
    if (name != "limit" && name != "delay" && name != "upload") return std::nullopt;
    arguments.push_back("--" +
                        (name == "upload" ? std::string("upload-limit") + word.substr(6) : word));
  }
  std::variant<Settings, BadArgument> parsed = ParseArguments(arguments);
  if (std::holds_alternative<BadArgument>(parsed)) return std::nullopt;
  return std::get<Settings>(parsed);
}

std::string EncodeState(const LiveState& state) {
  std::string line =
      "settings limit=" + std::to_string(state.limit) + " delay=" + std::to_string(state.delayMs) +
      " upload=" + std::to_string(state.uploadLimit) + " port=" + std::to_string(state.port) +
      " connections=" + std::to_string(state.connections);
  // One word each: "listener=WHERE" where it listens, "listener=WHERE,PROBLEM" where not.
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
  int seen = 0;
  while (words >> word) {
    const std::size_t equals = word.find('=');
    if (equals == std::string::npos) return std::nullopt;
    const std::string name = word.substr(0, equals);
    const std::string value = word.substr(equals + 1);
    if (name == "listener") {
      const std::size_t comma = value.find(',');
      std::optional<std::string> problem =
          comma == std::string::npos ? std::string() : Unescaped(value.substr(comma + 1));
      if (!problem || (comma != std::string::npos && problem->empty())) return std::nullopt;
      state.listeners.push_back({value.substr(0, comma), std::move(*problem)});
      continue;
    }
    std::int32_t* field = name == "limit"         ? &state.limit
                          : name == "delay"       ? &state.delayMs
                          : name == "upload"      ? &state.uploadLimit
                          : name == "port"        ? &state.port
                          : name == "connections" ? &state.connections
                                                  : nullptr;
    const std::optional<std::int32_t> number = Number(value, -2147483647, 2147483647);
    if (!field || !number) return std::nullopt;
    *field = *number;
    ++seen;
  }
  if (seen != 5) return std::nullopt;
  return state;
}

std::string DescribeState(const LiveState& state, bool withConnections) {
  std::string text = "limit: " + std::to_string(state.limit) + " KB/s for each download\n";
  text += "delay: " + std::to_string(state.delayMs) + " ms before each answer\n";
  text += "upload limit: " + (state.uploadLimit > 0
                                  ? std::to_string(state.uploadLimit) + " KB/s for each upload\n"
                                  : std::string("none (uploads unpaced)\n"));
  text += "port: " + std::to_string(state.port) + "\n";
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
