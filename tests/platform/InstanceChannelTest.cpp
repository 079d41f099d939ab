// The instance channel: where it lives, who may use it, and what a connection may cost the
// instance that serves it. The serving side is driven by hand, with a made-up clock.

#include "platform/InstanceChannel.h"

#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
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

// connect() or bind() on a new socket: the socket, or the negated errno.
int Socket(const std::string& path, bool bind = false) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  const auto* at = reinterpret_cast<const sockaddr*>(&address);
  if ((bind ? ::bind(fd, at, sizeof address) : ::connect(fd, at, sizeof address)) == 0) return fd;
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

class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
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
    const std::vector<int> accepted =
        Readable(server->ListenDescriptor(), 5000) ? server->Accept(now) : std::vector<int>();
    return accepted.size() == 1 ? accepted.front() : -1;
  }

  TempDir dir;
  platform::ChannelPlace place;
  std::unique_ptr<ChannelServer> server;
  std::vector<std::string> requests;
};

TEST_F(ChannelTest, AnswersOneLineOfAtMostTheBoundAndClosesOnAnythingElse) {
  const std::string whole(platform::kChannelMaxMessage - 1, 'a');
  const struct {
    std::string bytes;
    bool thenShutDown;
    const char* request;  // what reaches OnRequest; null: nothing
  } cases[] = {
      {"status\nmore", false, "status"}, {whole + "\n", false, whole.c_str()},
      {whole + "a\n", false, nullptr},   {std::string(65536, 'a'), false, nullptr},
      {"stat", true, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes.substr(0, 8) + "... " + std::to_string(c.bytes.size()));
    requests.clear();
    const int client = Socket(place.socketPath);
    ASSERT_EQ(::send(client, c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(c.bytes.size()));
    if (c.thenShutDown) ::shutdown(client, SHUT_WR);
    const int fd = AcceptOne(Clock::now());
    bool open = fd >= 0;
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
  const int silent = Socket(place.socketPath);
  const int silentFd = AcceptOne(start);
  const int partial = Socket(place.socketPath);
  ASSERT_EQ(::send(partial, "sta", 3, MSG_NOSIGNAL), 3);
  const int partialFd = AcceptOne(start + 3s);
  ASSERT_TRUE(silentFd >= 0 && partialFd >= 0);
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
  EXPECT_TRUE(requests.empty());
  ::close(silent);
  ::close(partial);
}

// A later start gets its answer, the lock lets one serve at a time, and what a crash left behind
// is replaced.
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
  ::close(Socket(place.socketPath, true));  // as a killed instance leaves it
  EXPECT_EQ(platform::AskChannel(place.socketPath, "status", 5000ms).outcome,
            ChannelAnswer::Outcome::NoneRunning);
  EXPECT_EQ(second.Open(), ChannelServer::OpenResult::Serving) << second.Problem();
  EXPECT_GE(Socket(place.socketPath), 0);
}

TEST_F(ChannelTest, AnotherUserCanNeitherReachNorStandInForTheChannel) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a process as another user";
  // The directory keeps it out: no connecting, no socket of its own beside ours.
  const pid_t outsider = StartAsOtherUser([&] {
    const bool refused =
        Socket(dir.path + "/x.sock", true) == -EACCES && Socket(place.socketPath) == -EACCES;
    return refused ? 0 : 1;
  });
  EXPECT_EQ(ExitStatus(outsider), 0);

  // With the directory opened up, the channel itself still refuses it unheard.
  ASSERT_EQ(::chmod(dir.path.c_str(), 0711) | ::chmod(place.socketPath.c_str(), 0666), 0);
  const pid_t intruder = StartAsOtherUser([&] {
    const int fd = Socket(place.socketPath);
    if (fd < 0) return 2;
    ::send(fd, "status\n", 7, MSG_NOSIGNAL);  // may find it closed already
    return Readable(fd, 5000) && ReceivedBeforeClose(fd) == std::string() ? 0 : 1;
  });
  ASSERT_TRUE(Readable(server->ListenDescriptor(), 5000));
  EXPECT_TRUE(server->Accept(Clock::now()).empty());
  EXPECT_EQ(ExitStatus(intruder), 0);
  EXPECT_TRUE(requests.empty());

  // A socket of another user where the channel should be is told nothing.
  TempDir theirs;
  ASSERT_EQ(::chown(theirs.path.c_str(), kOtherUser, kOtherUser), 0);
  const std::string impostor = theirs.path + "/tramlet.sock";
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t listener = StartAsOtherUser([&] {
    const int fd = Socket(impostor, true);
    if (fd < 0 || ::listen(fd, 1) != 0 || ::write(ready[1], "", 1) != 1) return 2;
    const int asker = ::accept(fd, nullptr, nullptr);
    return Readable(asker, 5000) && ReceivedBeforeClose(asker) == std::string() ? 0 : 1;
  });
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  EXPECT_EQ(platform::AskChannel(impostor, "set limit=1", 5000ms).outcome,
            ChannelAnswer::Outcome::NotTrusted);
  EXPECT_EQ(ExitStatus(listener), 0);
  ::close(ready[0]);
  ::close(ready[1]);
}

TEST(ChannelPlace, IsAPrivateDirectoryOfThisUserOrNothing) {
  TempDir root;
  const std::string runtime = root.path + "/runtime";
  const std::string shared = root.path + "/shared";
  const std::string session = root.path + "/run-user/" + std::to_string(::geteuid());
  const std::string fallback = root.path + "/tramlet-" + std::to_string(::geteuid());
  std::filesystem::create_directories(session);
  ASSERT_EQ(::mkdir(runtime.c_str(), 0700) | ::mkdir(shared.c_str(), 0755), 0);
  const struct {
    std::function<void()> prepare;
    const char* runtimeDir;
    std::string dir;      // where the socket goes; empty: nowhere
    const char* problem;  // part of what is said then
  } cases[] = {
      {[] {}, runtime.c_str(), runtime, ""},
      {[&] { ::chmod(session.c_str(), 0700); }, shared.c_str(), session, ""},
      {[&] { ::chmod(session.c_str(), 0755); }, nullptr, fallback, ""},
      {[&] { ::chmod(fallback.c_str(), 0750); }, nullptr, "", "is open to other users"},
      {[&] {
         std::filesystem::remove(fallback);
         std::filesystem::create_directory_symlink(runtime, fallback);
       },
       nullptr, "", "is not a directory"},
      {[&] {
         std::filesystem::remove(fallback);
         ::mkdir(fallback.c_str(), 0700);
         if (::chown(fallback.c_str(), kOtherUser, kOtherUser) != 0)
           ::chmod(fallback.c_str(), 0701);
       },
       nullptr, "", "user"},
  };
  for (const auto& c : cases) {
    c.prepare();
    const platform::ChannelPlace place = platform::FindChannelPlace(
        "tramlet-1080", c.runtimeDir, root.path + "/run-user", root.path);
    SCOPED_TRACE(c.dir + " " + place.problem);
    EXPECT_EQ(place.socketPath, c.dir.empty() ? "" : c.dir + "/tramlet-1080.sock");
    EXPECT_NE(place.problem.find(c.problem), std::string::npos);
    if (!c.dir.empty()) {
      EXPECT_EQ(std::filesystem::status(c.dir).permissions(), std::filesystem::perms::owner_all);
    }
  }
  const std::string deep = root.path + "/" + std::string(100, 'd');
  ASSERT_EQ(::mkdir(deep.c_str(), 0700), 0);
  EXPECT_NE(platform::FindChannelPlace("x", deep.c_str()).problem.find("too long"),
            std::string::npos);
}

}  // namespace
