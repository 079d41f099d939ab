#pragma once

// The channel through which a later start of the program talks to the instance that runs on the
// same port: a local stream socket in a directory only its user can enter, the user's runtime
// directory ($XDG_RUNTIME_DIR) or, when there is none fit for it, a private folder in /tmp. The
// channel's name carries the port and the network namespace, so instances in other namespaces
// stay apart as their ports do. Each side asks the kernel who the other is and trusts only its
// own user. A lock file beside the socket decides which of two starts serves, and lets a socket
// left behind by a crash be replaced.
//
// A message is one line of at most kChannelMaxMessage bytes, its line feed included. The serving
// side closes a connection whose line is not complete kChannelIdleLimit after it connected.
//
// No Qt and no socket stack here: a later start must be able to ask without starting either. The
// serving side runs on its caller's event loop, on one thread: the caller watches the descriptors
// it is given and calls back when they are readable or the next deadline has come.

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace platform {

inline constexpr std::size_t kChannelMaxMessage = 4096;
inline constexpr std::chrono::seconds kChannelIdleLimit{5};

// Where the channel of one name lives; problem says why it cannot be made, if it cannot.
struct ChannelPlace {
  std::string socketPath;
  std::string lockPath;
  std::string problem;
};

// runtimeDir is $XDG_RUNTIME_DIR as set (null or empty when unset). The channel lives in the
// first of these that is a directory of this user that no one else may enter: runtimeDir, then
// sessionRoot/UID (where a login session's runtime directory is, for a start from a cron job or
// a shell that was not told), then fallbackRoot/tramlet-UID, made with mode 0700 when missing.
// When the last is not that either, there is no place.
ChannelPlace FindChannelPlace(const std::string& name, const char* runtimeDir,
                              const std::string& sessionRoot = "/run/user",
                              const std::string& fallbackRoot = "/tmp");

// This process's network namespace as a number (the inode of /proc/self/ns/net); empty when
// the system does not say.
std::string NetworkNamespaceId();

struct ChannelAnswer {
  enum class Outcome {
    Answered,     // line holds the answer, without its line feed
    NoneRunning,  // nothing listens on the socket
    NotTrusted,   // the socket belongs to another user; nothing was sent
    Failed        // problem says what went wrong
  };
  Outcome outcome = Outcome::Failed;
  std::string line;
  std::string problem;
};

// Sends one request line (without its line feed) and waits for the answer, all within timeout.
ChannelAnswer AskChannel(const std::string& socketPath, const std::string& request,
                         std::chrono::milliseconds timeout);

// The serving side. It owns the lock, the listening socket and the connections it accepted.
class ChannelServer {
 public:
  using Clock = std::chrono::steady_clock;
  // Connections open at once; more are closed as they come.
  static constexpr std::size_t kMaxConnections = 16;

  enum class OpenResult {
    Serving,  // this process holds the channel and listens
    Taken,    // another process holds it: it runs, or is about to listen
    Failed    // Problem() says why
  };

  explicit ChannelServer(ChannelPlace place);
  // Closes every connection; while serving, removes the socket and then the lock file.
  ~ChannelServer();
  ChannelServer(const ChannelServer&) = delete;
  ChannelServer& operator=(const ChannelServer&) = delete;

  OpenResult Open();
  const std::string& Problem() const { return problem_; }
  // The listening socket, to watch for connections; -1 while not serving.
  int ListenDescriptor() const { return listenFd_; }

  // Answers a complete request line (without its line feed); the answer goes back as one line
  // and the connection closes. Empty text: closed unanswered.
  std::function<std::string(const std::string& request)> OnRequest;

  // Takes every connection waiting; those of another user, and those beyond kMaxConnections,
  // are closed at once. Returns the ones to watch for reading.
  std::vector<int> Accept(Clock::time_point now);
  // Reads what the connection sent and answers a complete line. False once it is closed.
  bool Read(int fd);
  // Closes the connections whose deadline is not after now; returns them.
  std::vector<int> CloseOverdue(Clock::time_point now);
  // The earliest deadline of an open connection.
  std::optional<Clock::time_point> NextDeadline() const;
  std::size_t Connections() const { return connections_.size(); }

 private:
  struct Connection {
    std::string received;
    Clock::time_point deadline;
  };

  void Close(int fd);

  ChannelPlace place_;
  std::string problem_;
  int lockFd_ = -1;
  int listenFd_ = -1;
  std::map<int, Connection> connections_;
};

}  // namespace platform
