#pragma once

// The far ends the hostile suite drives the proxy with: clients that may come from another
// loopback address, and origin servers that misbehave. Plain POSIX, so that they depend on
// nothing under test; declared without system socket headers, whose names clash with the WinSock
// stand-in that the test files include.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace hostile {

// One client connection to 127.0.0.1:port, made from the source address given (any 127.x).
class Client {
 public:
  explicit Client(std::int32_t port, const char* source = "127.0.0.1");
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  // Sends every byte within timeoutMs; false when the connection failed or stayed full.
  bool Send(std::string_view bytes, std::int32_t timeoutMs = 5000);
  void ShutdownWrite();
  // Up to count bytes, waiting at most timeoutMs for each.
  std::string Read(std::size_t count, std::int32_t timeoutMs);
  // Everything until the proxy closes; none when it has not closed within timeoutMs.
  std::optional<std::string> ReadToClose(std::int32_t timeoutMs = 5000);
  void Close();
  // Closes with a reset, as a client that crashed or lost its network does.
  void Reset();
  // Whether a read found the connection reset rather than ended in order.
  bool WasReset() const { return wasReset_; }

 private:
  int fd_ = -1;
  bool wasReset_ = false;
};

// An origin server on 127.0.0.1 that serves its connections one after another on a thread of its
// own, the way its mode says.
class Origin {
 public:
  enum class Mode {
    Answer,          // reads the request, answers and closes
    Reset,           // reads the request and resets the connection
    AnswerAndReset,  // reads the request, answers and resets the connection
    AnswerAndHold,   // reads the request's header block, answers, and holds the connection
    CloseSilently,   // reads the request and closes without a word
    Stall,           // reads the request and holds the connection open, silent
    Drip,            // reads the request and answers a byte at a time, 20 ms apart
    NeverRead,       // accepts and holds the connection, never reading from it
    Blackhole,       // never accepts, and its full queue makes connects hang unanswered
  };
  static constexpr std::string_view kAnswer = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";

  // answer replaces kAnswer for the modes that answer.
  explicit Origin(Mode mode, std::string answer = std::string(kAnswer));
  ~Origin();
  Origin(const Origin&) = delete;
  Origin& operator=(const Origin&) = delete;

  std::int32_t Port() const { return port_; }
  // Connections accepted so far.
  int Accepted() const { return accepted_.load(); }

 private:
  void Serve();
  void Handle(int fd);

  const Mode mode_;
  const std::string answer_;
  int listenFd_ = -1;
  int fillerFd_ = -1;  // the connection that fills a blackhole's queue
  std::int32_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> accepted_{0};
  std::vector<int> held_;  // connections held open; touched by the server thread only
  std::thread thread_;
};

}  // namespace hostile
