#pragma once

#include <cstdint>
#include <string>

#include <sys/types.h>

namespace bench {

// The system's nginx as a reference relay: one foreground process (no master process, no
// daemon) run from a configuration of ours in a temporary folder, passing every request on to an
// origin server on 127.0.0.1. Nothing is written outside that folder, which goes with it.
class Nginx {
 public:
  // The nginx program on this machine, or empty when there is none.
  static std::string Program();

  // Starts nginx on a free port of 127.0.0.1 with a location that proxies to originPort and
  // holds `directives` as well, and waits until it accepts connections. Throws
  // std::runtime_error (with nginx's own complaint, when it made one) when it cannot start.
  // workerConnections: its connections at once, clients and origin together.
  Nginx(const std::string& program, std::int32_t originPort, const std::string& directives,
        std::int32_t workerConnections = 64);
  ~Nginx();
  Nginx(const Nginx&) = delete;
  Nginx& operator=(const Nginx&) = delete;

  std::int32_t Port() const { return port_; }
  // Its process, while it runs.
  pid_t Pid() const { return pid_; }
  // Stops nginx and gives the CPU seconds its process used from start to end (start-up
  // included); later calls give the same figure.
  double Stop();

 private:
  std::string folder_;
  pid_t pid_ = -1;
  std::int32_t port_ = 0;
  double cpuSeconds_ = 0;
};

}  // namespace bench
