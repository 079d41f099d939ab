// The instance channel: where it lives, who may use it, and what a connection may cost the
// instance that serves it. The serving side is driven by hand, with a made-up clock.

#include "platform/InstanceChannel.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using platform::ChannelAnswer;
using platform::ChannelServer;
using platform::kChannelIdleLimit;
using platform::kChannelMaxMessage;
using Clock = ChannelServer::Clock;
using namespace std::chrono_literals;

constexpr uid_t kOtherUser = 65534;

struct TempDir {
  TempDir() {
    char name[] = "/tmp/tramlet-channel-test-XXXXXX";
    path = ::mkdtemp(name) ? name : "";
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string path;
};

sockaddr_un AddressOf(const std::string& path);

int Connect(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_un address = AddressOf(path);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
  const int error = errno;
  ::close(fd);
  return -error;
}

bool Readable(int fd, int timeoutMs) {
  pollfd item = {fd, POLLIN, 0};
  return ::poll(&item, 1, timeoutMs) == 1;
}

// What the peer sent before it closed; none while it keeps the connection open.
std::optional<std::string> ReceivedBeforeClose(int fd) {
  std::string received;
  char buffer[512];
  while (Readable(fd, 0)) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return received;
    received.append(buffer, static_cast<std::size_t>(n));
  }
  return std::nullopt;
}

// Runs body in a child process as another user, whose exit status is body's result.
pid_t StartAsOtherUser(const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(kOtherUser) != 0 || ::setuid(kOtherUser) != 0)
      ::_exit(99);
    ::_exit(body());
  }
  return child;
}

int ExitStatus(pid_t child) {
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

sockaddr_un AddressOf(const std::string& path) {
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  return address;
}

bool Bind(int fd, const std::string& path) {
  const sockaddr_un address = AddressOf(path);
  return ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.path.empty());
    place = platform::FindChannelPlace("tramlet-test", dir.path.c_str());
    ASSERT_EQ(place.problem, "");
    server = std::make_unique<ChannelServer>(place);
    ASSERT_EQ(server->Open(), ChannelServer::OpenResult::Serving) << server->Problem();
    server->OnRequest = [this](const std::string& request) {
      requests.push_back(request);
      return "ok";
    };
  }

  // Accepts the one connection that waits.
  int AcceptOne(Clock::time_point now) {
    if (!Readable(server->ListenDescriptor(), 5000)) return -1;
    const std::vector<int> accepted = server->Accept(now);
    return accepted.size() == 1 ? accepted.front() : -1;
  }

  TempDir dir;
  platform::ChannelPlace place;
  std::unique_ptr<ChannelServer> server;
  std::vector<std::string> requests;
};

TEST_F(ChannelTest, AnswersOneLineOfAtMostTheBoundAndClosesOnAnythingElse) {
  struct Case {
    const char* name;
    std::string bytes;
    bool closeAfter;      // the client then shuts its sending side
    const char* request;  // what reaches OnRequest; null: nothing
  };
  const std::string whole(kChannelMaxMessage - 1, 'a');
  const std::vector<Case> cases = {
      {"a request", "status\nmore", false, "status"},
      {"a line of the whole bound", whole + "\n", false, whole.c_str()},
      {"a line one byte over", whole + "a\n", false, nullptr},
      {"64 KiB without a line feed", std::string(65536, 'a'), false, nullptr},
      {"a line cut short", "stat", true, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    requests.clear();
    const int client = Connect(place.socketPath);
    ASSERT_GE(client, 0);
    ASSERT_EQ(::send(client, c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(c.bytes.size()));
    if (c.closeAfter) ::shutdown(client, SHUT_WR);
    const int fd = AcceptOne(Clock::now());
    ASSERT_GE(fd, 0);
    bool open = true;
    for (int reads = 0; open && reads < 100 && Readable(fd, 5000); ++reads)
      open = server->Read(fd);
    EXPECT_FALSE(open);
    EXPECT_EQ(server->Connections(), 0u);
    EXPECT_EQ(ReceivedBeforeClose(client), std::optional<std::string>(c.request ? "ok\n" : ""));
    EXPECT_EQ(requests,
              c.request ? std::vector<std::string>{c.request} : std::vector<std::string>{});
    ::close(client);
  }
}

TEST_F(ChannelTest, ClosesEachConnectionWhoseLineIsNotCompleteWithinTheIdleLimit) {
  const Clock::time_point start = Clock::time_point() + 1h;
  const int silent = Connect(place.socketPath);
  const int silentFd = AcceptOne(start);
  const int partial = Connect(place.socketPath);
  ASSERT_EQ(::send(partial, "sta", 3, MSG_NOSIGNAL), 3);
  const int partialFd = AcceptOne(start + 3s);
  ASSERT_GE(silentFd, 0);
  ASSERT_GE(partialFd, 0);
  EXPECT_TRUE(server->Read(partialFd));  // waits for the rest

  EXPECT_EQ(server->NextDeadline(), std::optional(start + kChannelIdleLimit));
  EXPECT_TRUE(server->CloseOverdue(start + kChannelIdleLimit - 1ms).empty());
  EXPECT_EQ(ReceivedBeforeClose(silent), std::nullopt);
  EXPECT_EQ(server->CloseOverdue(start + kChannelIdleLimit), std::vector<int>{silentFd});
  EXPECT_EQ(ReceivedBeforeClose(silent), std::optional<std::string>(""));
  // The later one has its own deadline.
  EXPECT_EQ(ReceivedBeforeClose(partial), std::nullopt);
  EXPECT_EQ(server->NextDeadline(), std::optional(start + 3s + kChannelIdleLimit));
  EXPECT_EQ(server->CloseOverdue(start + 3s + kChannelIdleLimit), std::vector<int>{partialFd});
  EXPECT_EQ(ReceivedBeforeClose(partial), std::optional<std::string>(""));
  EXPECT_EQ(server->NextDeadline(), std::nullopt);
  EXPECT_TRUE(requests.empty());
  ::close(silent);
  ::close(partial);
}

TEST_F(ChannelTest, HoldsAtMostItsBoundOfConnectionsAtOnce) {
  std::vector<int> clients;
  for (std::size_t i = 0; i <= ChannelServer::kMaxConnections; ++i)
    clients.push_back(Connect(place.socketPath));
  ASSERT_TRUE(Readable(server->ListenDescriptor(), 5000));
  EXPECT_EQ(server->Accept(Clock::now()).size(), ChannelServer::kMaxConnections);
  EXPECT_EQ(ReceivedBeforeClose(clients.back()), std::optional<std::string>(""));
  for (const int client : clients)
    ::close(client);
}

// A later start asks through the socket, the lock decides who serves, and what a crash left
// behind is replaced.
TEST_F(ChannelTest, OneServesAtATimeAndALaterStartGetsItsAnswer) {
  std::thread serving([&] {
    const int fd = AcceptOne(Clock::now());
    while (fd >= 0 && Readable(fd, 5000) && server->Read(fd)) {
    }
  });
  const ChannelAnswer answer = platform::AskChannel(place.socketPath, "status", 5000ms);
  serving.join();
  EXPECT_EQ(answer.outcome, ChannelAnswer::Outcome::Answered) << answer.problem;
  EXPECT_EQ(answer.line, "ok");

  ChannelServer second(place);
  EXPECT_EQ(second.Open(), ChannelServer::OpenResult::Taken);
  server.reset();
  EXPECT_FALSE(std::filesystem::exists(place.socketPath));
  EXPECT_EQ(platform::AskChannel(place.socketPath, "status", 5000ms).outcome,
            ChannelAnswer::Outcome::NoneRunning);

  // A socket nobody listens on any more, as a killed instance leaves it.
  const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_TRUE(Bind(stale, place.socketPath));
  ::close(stale);
  EXPECT_EQ(platform::AskChannel(place.socketPath, "status", 5000ms).outcome,
            ChannelAnswer::Outcome::NoneRunning);
  EXPECT_EQ(second.Open(), ChannelServer::OpenResult::Serving) << second.Problem();
  const int client = Connect(place.socketPath);
  EXPECT_GE(client, 0);
  ::close(client);
}

TEST_F(ChannelTest, AnotherUserCanNeitherReachNorStandInForTheChannel) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a process as another user";
  // The directory keeps it out: no connecting, no socket of its own beside ours.
  EXPECT_EQ(ExitStatus(StartAsOtherUser([&] {
              const bool bound = Bind(::socket(AF_UNIX, SOCK_STREAM, 0), dir.path + "/x.sock");
              const int bindError = errno;
              return !bound && bindError == EACCES && Connect(place.socketPath) == -EACCES ? 0 : 1;
            })),
            0);

  // With the directory opened up, the channel itself still refuses it unheard.
  ASSERT_EQ(::chmod(dir.path.c_str(), 0711), 0);
  ASSERT_EQ(::chmod(place.socketPath.c_str(), 0666), 0);
  const pid_t intruder = StartAsOtherUser([&] {
    const int fd = Connect(place.socketPath);
    if (fd < 0) return 2;
    // The send may already find the connection closed.
    ::send(fd, "status\n", 7, MSG_NOSIGNAL);
    return Readable(fd, 5000) && ReceivedBeforeClose(fd) == std::string() ? 0 : 1;
  });
  ASSERT_TRUE(Readable(server->ListenDescriptor(), 5000));
  EXPECT_TRUE(server->Accept(Clock::now()).empty());
  EXPECT_EQ(ExitStatus(intruder), 0);
  EXPECT_EQ(server->Connections(), 0u);
  EXPECT_TRUE(requests.empty());

  // A socket of another user where the channel should be is not asked.
  TempDir theirs;
  ASSERT_EQ(::chown(theirs.path.c_str(), kOtherUser, kOtherUser), 0);
  const std::string impostor = theirs.path + "/tramlet.sock";
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t listener = StartAsOtherUser([&] {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (!Bind(fd, impostor) || ::listen(fd, 1) != 0 || ::write(ready[1], "", 1) != 1) return 2;
    const int asker = ::accept(fd, nullptr, nullptr);
    // Told nothing: the asker left without a word.
    return Readable(asker, 5000) && ReceivedBeforeClose(asker) == std::string() ? 0 : 1;
  });
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  const ChannelAnswer answer = platform::AskChannel(impostor, "set limit=1", 5000ms);
  EXPECT_EQ(answer.outcome, ChannelAnswer::Outcome::NotTrusted);
  EXPECT_EQ(ExitStatus(listener), 0);
  ::close(ready[0]);
  ::close(ready[1]);
}

TEST(ChannelPlace, IsAPrivateDirectoryOfThisUserOrNothing) {
  TempDir root;
  const std::string fallback = root.path + "/tramlet-" + std::to_string(::geteuid());
  const std::string runtime = root.path + "/runtime";
  ASSERT_EQ(::mkdir(runtime.c_str(), 0700), 0);
  const std::string shared = root.path + "/shared";
  ASSERT_EQ(::mkdir(shared.c_str(), 0755), 0);
  const std::string sessions = root.path + "/run-user";
  const std::string session = sessions + "/" + std::to_string(::geteuid());

  struct Case {
    const char* name;
    std::function<void()> prepare;
    const char* runtimeDir;
    std::string dir;      // where the socket goes; empty: nowhere
    const char* problem;  // part of what is said then
  };
  std::vector<Case> cases = {
      {"the runtime directory", [] {}, runtime.c_str(), runtime, ""},
      {"no runtime directory", [] {}, nullptr, fallback, ""},
      {"a runtime directory others may enter", [] {}, shared.c_str(), fallback, ""},
      {"a relative runtime directory", [] {}, "runtime", fallback, ""},
      {"a session's runtime directory",
       [&] {
         std::filesystem::create_directories(session);
         ::chmod(session.c_str(), 0700);
       },
       nullptr, session, ""},
      {"a session's runtime directory open to others", [&] { ::chmod(session.c_str(), 0755); },
       nullptr, fallback, ""},
      {"a fallback open to others", [&] { ::chmod(fallback.c_str(), 0755); }, nullptr, "",
       "is open to other users"},
      {"a fallback that is a link",
       [&] {
         std::filesystem::remove(fallback);
         std::filesystem::create_directory_symlink(runtime, fallback);
       },
       nullptr, "", "is not a directory"},
  };
  if (::geteuid() == 0) {
    cases.push_back({"a fallback of another user",
                     [&] {
                       std::filesystem::remove(fallback);
                       ::mkdir(fallback.c_str(), 0700);
                       ::chown(fallback.c_str(), kOtherUser, kOtherUser);
                     },
                     nullptr, "", "belongs to another user"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.prepare();
    const platform::ChannelPlace place =
        platform::FindChannelPlace("tramlet-1080", c.runtimeDir, sessions, root.path);
    if (c.dir.empty()) {
      EXPECT_EQ(place.socketPath, "");
      EXPECT_NE(place.problem.find(c.problem), std::string::npos) << place.problem;
      continue;
    }
    EXPECT_EQ(place.problem, "");
    EXPECT_EQ(place.socketPath, c.dir + "/tramlet-1080.sock");
    struct stat made = {};
    ASSERT_EQ(::lstat(c.dir.c_str(), &made), 0);
    EXPECT_EQ(made.st_mode & 0777, 0700u);
  }
  const std::string deep = root.path + "/" + std::string(100, 'd');
  ASSERT_EQ(::mkdir(deep.c_str(), 0700), 0);
  EXPECT_NE(platform::FindChannelPlace("tramlet-1080", deep.c_str(), sessions, root.path)
                .problem.find("too long"),
            std::string::npos);
}

// Instances in two network namespaces use two channels, as they use two ports.
TEST(ChannelPlace, NamesTheNetworkNamespace) {
  const std::string here = platform::NetworkNamespaceId();
  ASSERT_NE(here, "");
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    if (::unshare(CLONE_NEWNET | (::geteuid() == 0 ? 0 : CLONE_NEWUSER)) != 0) ::_exit(1);
    const std::string there = platform::NetworkNamespaceId();
    ::_exit(::write(report[1], there.data(), there.size()) > 0 ? 0 : 1);
  }
  ::close(report[1]);
  char buffer[32] = {};
  const ssize_t n = ::read(report[0], buffer, sizeof buffer - 1);
  ::close(report[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (n <= 0) GTEST_SKIP() << "no network namespace of our own could be made";
  EXPECT_NE(std::string(buffer, static_cast<std::size_t>(n)), here);
}

}  // namespace
