#pragma once

// A plain POSIX TCP client for loopback tests. It does not go through the network layer under
// test, so what it sees is what went over the wire. Only 127.0.0.1 is ever used, and every wait is
// bounded. Not thread-safe, except that one thread may send while another receives.
//
// (Declared without any system socket header: test files include the WinSock stand-in, whose
// names the POSIX headers would clash with.)

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace test {

class RawClient {
 public:
  RawClient() = default;
  // Connects to 127.0.0.1:port; fails the calling test when it cannot.
  static RawClient ConnectTo(std::int32_t port);
  ~RawClient();
  RawClient(RawClient&& other) noexcept;
  RawClient& operator=(RawClient&& other) noexcept;
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  // Makes the socket ahead of Connect, which then needs no new descriptor.
  bool Open();
  // Connects to 127.0.0.1:port; false when refused or not done within timeoutMs.
  bool Connect(std::int32_t port, std::int32_t timeoutMs = 5000);
  // Sends every byte; false when the connection failed first or made no progress for 5 s.
  bool Send(std::string_view bytes);
  // The next line without its LF (and CR); none when the peer closed or timeoutMs passed first.
  std::optional<std::string> ReadLine(std::int32_t timeoutMs = 5000);
  // Everything until the peer closes; none when it has not closed within timeoutMs.
  std::optional<std::string> ReadToClose(std::int32_t timeoutMs = 5000);
  // Reads until count bytes have come, the peer closed, or timeoutMs passed without progress.
  std::string ReadExactly(std::size_t count, std::int32_t timeoutMs = 5000);
  // Reads until the peer closes or resets (true) or timeoutMs passes without progress (false).
  bool ReadUntilClosed(std::string& received, std::int32_t timeoutMs = 5000);
  // Sends a FIN but keeps reading.
  void ShutdownWrite();
  void Close();
  // Closes with a reset instead of an orderly close.
  void Reset();
  // The stream ended with a reset from the peer.
  bool WasReset() const { return wasReset_; }
  bool IsOpen() const { return fd_ >= 0; }

 private:
  // Receives once into pending_, waiting at most timeoutMs: the count, 0 when the
  // peer closed or reset, -1 on time-out or another error.
  int ReceiveSome(std::int32_t timeoutMs);

  int fd_ = -1;
  bool opened_ = false;  // fd_ is made and not yet connected
  std::string pending_;  // received, not yet handed out
  bool wasReset_ = false;
};

// Entries in /proc/self/fd.
int OpenDescriptorCount();
// The fewest of a few counts a moment apart: leaves out the pipes a sanitizer runtime opens and
// closes again at once.
int SteadyDescriptorCount();
// Entries in /proc/self/task: the process's threads.
int ThreadCount();
// Raises the soft limit on open files to at least wanted (within the hard limit); the limit now.
std::int64_t RaiseOpenFileLimit(std::int64_t wanted);

}  // namespace test
