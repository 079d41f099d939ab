#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace test {

// The far end of a loopback TCP connection, driven with plain POSIX socket calls so that it does
// not depend on the layers under test. Every wait is bounded. Not thread-safe, except that one
// thread may send while another receives.
//
// (Declared without any system socket header: test files include the WinSock stand-in, whose
// names the POSIX headers would clash with.)
class RawPeer {
 public:
  RawPeer() = default;
  // Connects to 127.0.0.1:port; fails the calling test when it cannot.
  static RawPeer ConnectTo(std::int32_t port);
  ~RawPeer();
  RawPeer(RawPeer&& other) noexcept;
  RawPeer& operator=(RawPeer&& other) noexcept;
  RawPeer(const RawPeer&) = delete;
  RawPeer& operator=(const RawPeer&) = delete;

  // Sends every byte; false when the connection failed first.
  bool Send(std::string_view bytes);
  // Reads until count bytes have come, the peer closed, or timeoutMs passed without progress.
  std::string ReadExactly(std::size_t count, std::int32_t timeoutMs = 5000);
  // Reads until the peer closes (true) or timeoutMs passes without progress (false).
  bool ReadUntilClosed(std::string& received, std::int32_t timeoutMs = 5000);
  // Sends a FIN but keeps reading.
  void ShutdownWrite();
  void Close();
  // Closes with a reset instead of an orderly close.
  void Reset();

 private:
  explicit RawPeer(int fd) : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace test
