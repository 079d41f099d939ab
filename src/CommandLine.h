#pragma once

// The program's options, looked at before anything starts: no application object, no listener
// and no display are needed to answer them.

#include <optional>
#include <string>

#include "Settings.h"

struct CommandLine {
  // The exit status when the arguments ask for something other than running the proxy or talking
  // to one that runs (usage, version, a bad argument); none when the program should go on.
  std::optional<int> exitStatus;
  tramlet::Settings settings;
};

CommandLine ReadCommandLine(int argc, const char* const* argv);

// What --help prints: a line for each option of the table.
std::string UsageText();
