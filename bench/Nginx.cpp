#include "Nginx.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

bool Executable(const std::string& path) {
  return !path.empty() && ::access(path.c_str(), X_OK) == 0;
}

// A port nobody listens on right now; nginx binds it a moment later.
std::int32_t FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  std::int32_t port = 0;
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  if (fd >= 0) ::close(fd);
  if (port == 0) throw std::runtime_error("no free port for nginx");
  return port;
}

bool Accepts(std::int32_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

double Seconds(const rusage& usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

std::string Nginx::Program() {
  if (Executable("/usr/sbin/nginx")) return "/usr/sbin/nginx";
  if (const char* path = std::getenv("PATH")) {
    std::stringstream folders(path);
    for (std::string folder; std::getline(folders, folder, ':');)
      if (Executable(folder + "/nginx")) return folder + "/nginx";
  }
  return {};
}

Nginx::Nginx(const std::string& program, std::int32_t originPort, const std::string& directives,
             std::int32_t workerConnections) {
  char pattern[] = "/tmp/tramlet-nginx-XXXXXX";
  if (!::mkdtemp(pattern))
    throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
  folder_ = pattern;
  port_ = FreePort();
  const std::string conf = folder_ + "/nginx.conf";
  {
    // Temporary files of every kind stay in our folder; the body never goes to disk anyway.
    std::ofstream out(conf);
    out << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
        << "pid " << folder_ << "/nginx.pid;\nerror_log " << folder_ << "/error.log warn;\n"
        << "events { worker_connections " << workerConnections << "; }\n"
        << "http {\n  access_log off;\n"
        << "  client_body_temp_path " << folder_ << "/client_body;\n"
        << "  proxy_temp_path " << folder_ << "/proxy;\n"
        << "  fastcgi_temp_path " << folder_ << "/fastcgi;\n"
        << "  uwsgi_temp_path " << folder_ << "/uwsgi;\n"
        << "  scgi_temp_path " << folder_ << "/scgi;\n"
        << "  server {\n    listen 127.0.0.1:" << port_ << ";\n"
        << "    location / {\n      proxy_pass http://127.0.0.1:" << originPort << ";\n      "
        << directives << "\n    }\n  }\n}\n";
  }
  const std::string output = folder_ + "/output.log";
  const std::string errorLog = folder_ + "/error.log";
  std::vector<std::string> args = {program, "-p", folder_, "-e", errorLog, "-c", conf};
  std::vector<char*> argv;
  for (std::string& arg : args)
    argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  int spawned = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    pid_ = -1;
    std::filesystem::remove_all(folder_);
    throw std::runtime_error("cannot start " + program + ": " + std::strerror(spawned));
  }
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!Accepts(port_)) {
    int status = 0;
    const pid_t ended = ::waitpid(pid_, &status, WNOHANG);
    if (ended == pid_ || Clock::now() > deadline) {
      if (ended == pid_) pid_ = -1;
      std::string complaint = ReadFile(output) + ReadFile(errorLog);
      Stop();
      throw std::runtime_error("nginx did not start: " + complaint);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

Nginx::~Nginx() {
  Stop();
}

double Nginx::Stop() {
  if (pid_ > 0) {
    // A graceful stop first; a stuck one is killed after five seconds.
    ::kill(pid_, SIGQUIT);
    rusage usage{};
    int status = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    pid_t done;
    while ((done = ::wait4(pid_, &status, WNOHANG, &usage)) == 0 && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (done == 0) {
      ::kill(pid_, SIGKILL);
      ::wait4(pid_, &status, 0, &usage);
    }
    cpuSeconds_ = Seconds(usage);
    pid_ = -1;
  }
  if (!folder_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
    folder_.clear();
  }
  return cpuSeconds_;
}

}  // namespace bench
