#include "CommandLine.h"

#include <cstdio>
#include <cstring>

namespace {

// Lines fit an 80-column terminal.
constexpr const char* kUsage =
    "Usage: tramlet [--help | --version]\n"
    "\n"
    "Tramlet is an HTTP proxy that slows downloads down: it relays every answer to\n"
    "its client at no more than a set number of kilobytes per second per connection\n"
    "(4 at start; the \"Max Kb/s\" box in its window changes it).\n"
    "\n"
    "It listens on TCP port 1080 on every local address; set that as the HTTP and\n"
    "HTTPS proxy of a browser or any other client. It starts as an icon in the\n"
    "notification area: double-click the icon to show the window. Closing the window\n"
    "ends the program, as do SIGINT (Ctrl+C) and SIGTERM.\n"
    "\n"
    "  --help     show this text and exit\n"
    "  --version  show the version and exit\n";

// A failed write (a full disk, a closed pipe) must not pass for success.
int Print(const char* text) {
  if (std::fputs(text, stdout) < 0 || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "tramlet: could not write to standard output\n");
    return 1;
  }
  return 0;
}

}  // namespace

std::optional<int> RunCommandLine(int argc, const char* const* argv) {
  if (argc < 2) return std::nullopt;
  const char* first = argv[1];
  const bool help = std::strcmp(first, "--help") == 0;
  const bool version = std::strcmp(first, "--version") == 0;
  if (argc == 2 && help) return Print(kUsage);
  if (argc == 2 && version) return Print("tramlet " TRAMLET_VERSION "\n");
  // Either option stands alone.
  const char* wrong = help || version ? argv[2] : first;
  std::fprintf(stderr, "tramlet: unexpected argument '%s' (tramlet --help shows the usage)\n",
               wrong);
  return 2;
}
