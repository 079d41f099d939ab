#include "support/ProcessMemory.h"

#include <fstream>
#include <string>

namespace test {
namespace {

std::int64_t StatusField(const std::string& name) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(name + ":", 0) == 0) return std::stoll(line.substr(name.size() + 1));
  }
  return 0;
}

}  // namespace

std::int64_t ResidentKb() {
  return StatusField("VmRSS");
}

std::int64_t PeakResidentKb() {
  return StatusField("VmHWM");
}

bool ResetPeakResident() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

}  // namespace test
