#pragma once

// The TLS ends of the tunnel tests: tls_peers.py beside this file, run by Debian's python3 (which
// has the ssl module), with a key and certificate for 127.0.0.1 made by openssl for each origin.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

namespace test {

inline constexpr const char* kSystemPython = "/usr/bin/python3";

// An HTTPS origin server on 127.0.0.1 (see tls_peers.py for what it serves). Stops in its
// destructor. Fails the calling test when it cannot start.
class TlsOrigin {
 public:
  TlsOrigin();
  ~TlsOrigin();
  TlsOrigin(const TlsOrigin&) = delete;
  TlsOrigin& operator=(const TlsOrigin&) = delete;

  std::int32_t Port() const { return port_; }
  // Reads the origin's reports until one starts with prefix and gives it; none when timeoutMs
  // passes first.
  std::optional<std::string> WaitFor(const std::string& prefix, int timeoutMs = 10000);
  // Every report read so far.
  const std::vector<std::string>& Reports() const { return reports_; }

 private:
  std::string folder_;
  ChildProcess process_;
  std::int32_t port_ = 0;
  std::vector<std::string> reports_;
};

// One run of the script's client through the proxy at proxyPort to the origin at originPort.
class TlsClient {
 public:
  // mode as in tls_peers.py: "early", "duplex", "vanish-reset", "vanish-close".
  TlsClient(std::int32_t proxyPort, std::int32_t originPort, const std::string& mode);
  ~TlsClient();
  TlsClient(const TlsClient&) = delete;
  TlsClient& operator=(const TlsClient&) = delete;

  // Waits for the client to end and gives what it printed (its errors included); none when it
  // failed or did not end within timeoutMs.
  std::optional<std::string> Result(int timeoutMs = 30000);

 private:
  std::string outputPath_;
  ChildProcess process_;
};

}  // namespace test
