#include "support/Subprocess.h"

#include <sys/wait.h>

#include <cstdio>

namespace test {

std::optional<std::string> RunAndCapture(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return std::nullopt;
  std::string output;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
    output.append(buffer, got);
  const int status = ::pclose(pipe);
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return output;
}

bool HaveProgram(const std::string& name) {
  return RunAndCapture("command -v " + name + " >/dev/null 2>&1").has_value();
}

}  // namespace test
