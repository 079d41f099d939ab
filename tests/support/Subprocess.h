#pragma once

// Runs real client programs against in-process servers.

#include <optional>
#include <string>

namespace test {

// Runs command with /bin/sh and gives its standard output, or none when it could not be run or
// ended with a non-zero status. Bound the command's time yourself (timeout(1)).
std::optional<std::string> RunAndCapture(const std::string& command);

// Whether a program of that name is on the search path.
bool HaveProgram(const std::string& name);

}  // namespace test
