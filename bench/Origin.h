#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace bench {

// The benchmark's origin server: one thread polling every connection on 127.0.0.1, so that a
// thousand downloads cost it no threads and little memory. Each connection sends one request
// ("GET /<body>/<id> ..."), gets the answer of Answer.h with a "HTTP/1.1" status line, and is
// closed once its client has closed too. Anything else gets a 404 without body.
//
// How it writes its answers: by default header and body together, closed right after.
struct OriginOptions {
  // The header block goes out in a write of its own and the body follows kHeaderGapMs later, as
  // from a server that sends the body of a file with sendfile after writing the header.
  bool HeaderApart = false;
  // The close waits this long after the answer's last byte, keeping the proxy's run open.
  int CloseDelayMs = 0;
};

class Origin {
 public:
  static constexpr int kHeaderGapMs = 10;

  // Listens on a system-chosen port; throws std::runtime_error when it cannot.
  explicit Origin(OriginOptions options = {});
  ~Origin();
  Origin(const Origin&) = delete;
  Origin& operator=(const Origin&) = delete;

  std::int32_t Port() const { return port_; }
  // Answers sent to their last byte so far.
  std::int64_t Answered() const { return answered_.load(); }
  // Stops and joins the server thread and gives the CPU seconds that thread used. Later calls give
  // the same figure.
  double Stop();

 private:
  struct Connection;

  void Loop();
  // Each returns false when the connection is finished and can be closed.
  bool OnReadable(Connection& connection);
  bool OnWritable(Connection& connection);

  const OriginOptions options_;
  int listenFd_ = -1;
  int wakeFd_ = -1;
  std::int32_t port_ = 0;
  std::atomic<std::int64_t> answered_{0};
  double cpuSeconds_ = 0;  // written by the server thread before it ends, read after the join
  std::thread thread_;
};

}  // namespace bench
