#pragma once

// A program that a test runs beside itself (a display server, a tray host, a bus), in a process
// group of its own so that whatever it starts in turn ends with it. Every wait is bounded.

#include <optional>
#include <string>
#include <vector>

namespace test {

struct ChildOptions {
  std::vector<std::string> argv;         // looked up on the search path
  std::vector<std::string> environment;  // NAME=VALUE entries added to ours or replacing them
  std::string outputPath;                // standard output and error appended here; none: dropped
  bool reportPipe = false;               // the program's descriptor 3 writes to ReadReportLine
};

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // False when the program could not be started. Stops one that runs first.
  bool Start(const ChildOptions& options);
  // The process (and group) number; 0 when none was started.
  int Pid() const { return pid_; }
  // Started and not yet ended.
  bool Running() const;
  // The next line the program wrote to its descriptor 3, without the line end; none when it
  // closed it or timeoutMs passed first.
  std::optional<std::string> ReadReportLine(int timeoutMs);
  // Waits up to timeoutMs for the program to end by itself and gives its exit status (128 plus
  // the signal's number when a signal ended it); none while it still runs. The rest of its group
  // is ended then.
  std::optional<int> WaitForExit(int timeoutMs);
  // Ends the whole process group: SIGTERM, SIGKILL for what is left after graceMs.
  void Stop(int graceMs = 3000);

 private:
  int pid_ = 0;
  int reportFd_ = -1;
  std::string reportBuffer_;
};

}  // namespace test
