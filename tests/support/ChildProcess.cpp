#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

namespace test {
namespace {

// Our environment with the given entries added or replacing ours.
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& overrides) {
  std::vector<std::string> merged;
  auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  for (char** entry = environ; *entry; ++entry) {
    std::string name = nameOf(*entry);
    bool replaced = false;
    for (const std::string& item : overrides)
      replaced = replaced || nameOf(item) == name;
    if (!replaced) merged.emplace_back(*entry);
  }
  merged.insert(merged.end(), overrides.begin(), overrides.end());
  return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings)
    pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Whether the child has ended, without reaping it, so that its group number stays reserved.
bool Ended(int pid) {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

}  // namespace

ChildProcess::~ChildProcess() {
  Stop();
}

bool ChildProcess::Start(const ChildOptions& options) {
  Stop();
  if (options.argv.empty()) return false;
  std::vector<std::string> argv = options.argv;
  std::vector<std::string> environment = MergedEnvironment(options.environment);
  std::vector<char*> argvPointers = Pointers(argv);
  std::vector<char*> environmentPointers = Pointers(environment);

  int pipeFds[2] = {-1, -1};
  if (options.reportPipe) {
    int raw[2];
    if (::pipe2(raw, O_CLOEXEC) != 0) return false;
    // Kept above 3, so that moving the write end to 3 is a real move that drops close-on-exec.
    pipeFds[0] = ::fcntl(raw[0], F_DUPFD_CLOEXEC, 10);
    pipeFds[1] = ::fcntl(raw[1], F_DUPFD_CLOEXEC, 10);
    ::close(raw[0]);
    ::close(raw[1]);
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  const std::string output = options.outputPath.empty() ? "/dev/null" : options.outputPath;
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  if (options.reportPipe) posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 3);

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int signal : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD})
    sigaddset(&defaults, signal);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = 0;
  int failed = ::posix_spawnp(&pid, argvPointers[0], &actions, &attributes, argvPointers.data(),
                              environmentPointers.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (options.reportPipe) ::close(pipeFds[1]);
  if (failed != 0) {
    if (options.reportPipe) ::close(pipeFds[0]);
    return false;
  }
  pid_ = pid;
  reportFd_ = pipeFds[0];
  reportBuffer_.clear();
  return true;
}

bool ChildProcess::Running() const {
  return pid_ > 0 && !Ended(pid_);
}

std::optional<std::string> ChildProcess::ReadReportLine(int timeoutMs) {
  if (reportFd_ < 0) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    std::size_t end = reportBuffer_.find('\n');
    if (end != std::string::npos) {
      std::string line = reportBuffer_.substr(0, end);
      reportBuffer_.erase(0, end + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd readable{reportFd_, POLLIN, 0};
    if (::poll(&readable, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[256];
    ssize_t got = ::read(reportFd_, buffer, sizeof buffer);
    if (got <= 0) return std::nullopt;
    reportBuffer_.append(buffer, static_cast<std::size_t>(got));
  }
}

std::optional<int> ChildProcess::WaitForExit(int timeoutMs) {
  if (pid_ <= 0) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!Ended(pid_)) {
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  int status = 0;
  ::kill(-pid_, SIGKILL);  // the leader is unreaped, so the group is still this program's
  ::waitpid(pid_, &status, 0);
  pid_ = 0;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void ChildProcess::Stop(int graceMs) {
  if (reportFd_ >= 0) {
    ::close(reportFd_);
    reportFd_ = -1;
  }
  if (pid_ <= 0) return;
  ::kill(-pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
  while (!Ended(pid_) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  // The group is still ours while its leader waits unreaped: nothing else can have its number.
  ::kill(-pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = 0;
}

}  // namespace test
