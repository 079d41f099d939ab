#include "CommandLine.h"

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <variant>
#include <vector>

namespace {

// Lines fit an 80-column terminal.
constexpr std::size_t kWidth = 79;

constexpr const char* kAbout =
    "Usage: tramlet [OPTION]...\n"
    "\n"
    "Tramlet is an HTTP proxy that slows downloads down: it relays every answer to\n"
    "its client at no more than a set number of kilobytes (1000 bytes) per second\n"
    "per connection (4 at start; the \"Max Kb/s\" box in its window changes it).\n"
    "\n"
    "It listens on TCP port 1080 on every local address; set that as the HTTP and\n"
    "HTTPS proxy of a browser or any other client. It starts as an icon in the\n"
    "notification area: double-click the icon to show the window. Without a display\n"
    "it runs headless, and says on standard error where it listens and where it\n"
    "cannot. Closing the window ends the program, as do SIGINT (Ctrl+C) and SIGTERM.\n"
    "\n";

std::vector<std::string> Words(std::string_view text) {
  std::vector<std::string> words;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find(' ', start), text.size());
    if (end > start) words.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

// Adds the words to the text in lines of at most kWidth columns, the first beginning with `line`
// and the others indented as far as `line` is long.
void Fill(std::string& text, std::string line, const std::vector<std::string>& words) {
  const std::size_t indent = line.size();
  bool blank = true;
  for (const std::string& word : words) {
    if (!blank && line.size() + 1 + word.size() > kWidth) {
      text += line + "\n";
      line.assign(indent, ' ');
      blank = true;
    }
    line += (blank ? "" : " ") + word;
    blank = false;
  }
  text += line + "\n";
}

// "(1-65535; default 4)": the range and the default, kept on one line where they fit.
std::string Note(const tramlet::Option& option) {
  std::string note;
  if (option.takes == tramlet::Takes::Number) {
    note = std::to_string(option.low) + "-" + std::to_string(option.high) + "; default " +
           std::to_string(option.fallback);
    if (option.fallback == 0 && !option.atZero.empty()) note.append(", ").append(option.atZero);
  }
  for (std::size_t i = 0; i < option.words.size(); ++i)
    note.append(i == 0 ? "" : ", ").append(option.words[i]);
  if (!option.byDefault.empty())
    note.append(note.empty() ? "" : "; ").append("default ").append(option.byDefault);
  return note.empty() ? note : "(" + note + ")";
}

std::string Head(const tramlet::Option& option) {
  return "  --" + std::string(option.name) + (option.value.empty() ? "" : " ") +
         std::string(option.value);
}

// A failed write (a full disk, a closed pipe) must not pass for success.
int Print(const std::string& text) {
  if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "tramlet: could not write to standard output\n");
    return 1;
  }
  return 0;
}

}  // namespace

std::string UsageText() {
  using tramlet::When;
  std::string text = kAbout;
  std::size_t column = 0;
  for (const tramlet::Option& option : tramlet::Options())
    column = std::max(column, Head(option).size() + 2);
  for (const tramlet::Option& option : tramlet::Options()) {
    std::string head = Head(option);
    head.resize(column, ' ');
    std::vector<std::string> words = Words(option.help);
    const std::string note = Note(option);
    if (column + note.size() <= kWidth) {
      if (!note.empty()) words.push_back(note);
    } else {
      std::vector<std::string> noteWords = Words(note);
      words.insert(words.end(), noteWords.begin(), noteWords.end());
    }
    Fill(text, head, words);
  }
  text += "\n";
  Fill(text, "",
       Words("Options take their value as --limit 16 or --limit=16. Started again while one runs "
             "on the same port, Tramlet hands " +
             tramlet::OptionsNamed({When::Live}) +
             " to the running one, prints the settings now in force and exits; " +
             tramlet::OptionsNamed({When::Picks}) + " picks which one. " +
             tramlet::OptionsNamed({When::Start, When::Picks}) + " alone apply at start only."));
  return text;
}

CommandLine ReadCommandLine(int argc, const char* const* argv) {
  CommandLine line;
  std::variant<tramlet::Settings, tramlet::BadArgument> parsed =
      tramlet::ParseArguments(std::vector<std::string>(argv + std::min(argc, 1), argv + argc));
  if (const auto* bad = std::get_if<tramlet::BadArgument>(&parsed)) {
    std::fprintf(stderr, "%s\n", bad->message.c_str());
    line.exitStatus = 2;
    return line;
  }
  line.settings = std::get<tramlet::Settings>(parsed);
  if (line.settings.help) line.exitStatus = Print(UsageText());
  if (line.settings.version) line.exitStatus = Print("tramlet " TRAMLET_VERSION "\n");
  return line;
}
