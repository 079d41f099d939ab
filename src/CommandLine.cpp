#include "CommandLine.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <variant>
#include <vector>

namespace {

// Lines fit an 80-column terminal.
constexpr const char* kUsage =
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
    "\n"
    "  --limit N         relay at most N KB/s to each client (1-65535; default 4)\n"
    "  --delay MS        hold each answer's first byte until MS milliseconds after\n"
    "                    the request was read (0-60000; default 0)\n"
    "  --upload-limit N  send request bodies upstream at most N KB/s each\n"
    "                    (0-65535; default 0, unpaced)\n"
    "  --port P          listen on port P (1-65535; default 1080)\n"
    "  --listen ADDR     listen on this IPv4 or IPv6 address only; repeat for more\n"
    "                    (default every address)\n"
    "  --status          show the settings of the Tramlet running on the port, where\n"
    "                    it listens and its connection count; exit 1 when none runs\n"
    "  --help            show this text and exit\n"
    "  --version         show the version and exit\n"
    "\n"
    "Options take their value as --limit 16 or --limit=16. Started again while one\n"
    "runs on the same port, Tramlet hands --limit, --delay and --upload-limit to the\n"
    "running one, prints the settings now in force and exits; --port picks which\n"
    "one. --listen and --port alone apply at start only.\n";

// A failed write (a full disk, a closed pipe) must not pass for success.
int Print(const char* text) {
  if (std::fputs(text, stdout) < 0 || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "tramlet: could not write to standard output\n");
    return 1;
  }
  return 0;
}

}  // namespace

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
  if (line.settings.help) line.exitStatus = Print(kUsage);
  if (line.settings.version) line.exitStatus = Print("tramlet " TRAMLET_VERSION "\n");
  return line;
}
