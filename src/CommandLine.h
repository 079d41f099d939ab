#pragma once

// The program's options, looked at before anything starts: no application object, no listener
// and no display are needed to answer them.

#include <optional>

// The exit status when the arguments ask for something other than running the proxy (usage,
// version, an argument it does not know); none when the program should start.
std::optional<int> RunCommandLine(int argc, const char* const* argv);
