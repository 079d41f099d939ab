#include "Downloads.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Answer.h"
#include "ProcessProbe.h"

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

enum class Phase { Waiting, Connecting, Sending, Receiving, Done };

struct Download {
  const DownloadSpec* spec = nullptr;
  DownloadResult* result = nullptr;
  Phase phase = Phase::Waiting;
  int fd = -1;
  std::size_t requestSent = 0;
  bool mismatch = false;
  double lastArrival = 0;
  std::int64_t headerBytes = -1;  // with AnyHeader: the length of the header block, once it ended
  std::uint32_t lastFour = 0;     // with AnyHeader: the last four bytes of it seen so far
};

class Worker {
 public:
  Worker(std::vector<Download> downloads, const DownloadOptions& options, Clock::time_point epoch)
      : downloads_(std::move(downloads)), options_(options), epoch_(epoch) {}

  double Run();

 private:
  double Now() const { return std::chrono::duration<double>(Clock::now() - epoch_).count(); }
  void Start(Download& d);
  void Finish(Download& d, std::string error = {});
  void OnEvent(Download& d, short events);
  void Send(Download& d);
  void Receive(Download& d);
  // Checks bytes against the expected answer from offset result->Bytes on.
  void Check(Download& d, const char* bytes, std::size_t count);

  std::vector<Download> downloads_;
  const DownloadOptions& options_;
  Clock::time_point epoch_;
  int awaitingFirstByte_ = 0;
};

double Worker::Run() {
  const Clock::time_point deadline = Clock::now() + options_.TimeLimit;
  std::size_t next = 0;
  std::vector<pollfd> polled;
  std::vector<Download*> owners;
  for (;;) {
    while (next < downloads_.size() && (options_.MaxAwaitingFirstByte <= 0 ||
                                        awaitingFirstByte_ < options_.MaxAwaitingFirstByte))
      Start(downloads_[next++]);
    polled.clear();
    owners.clear();
    for (auto& d : downloads_) {
      if (d.phase == Phase::Waiting || d.phase == Phase::Done) continue;
      short wanted = d.phase == Phase::Receiving ? POLLIN : POLLOUT;
      polled.push_back({d.fd, wanted, 0});
      owners.push_back(&d);
    }
    if (polled.empty() && next == downloads_.size()) break;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      for (auto& d : downloads_)
        if (d.phase != Phase::Done) Finish(d, "timed out");
      break;
    }
    int ready = ::poll(polled.data(), polled.size(),
                       static_cast<int>(std::min<long long>(left.count(), 100)));
    if (ready < 0 && errno != EINTR) {
      for (auto& d : downloads_)
        if (d.phase != Phase::Done) Finish(d, std::string("poll: ") + std::strerror(errno));
      break;
    }
    for (std::size_t i = 0; ready > 0 && i < polled.size(); ++i)
      if (polled[i].revents) OnEvent(*owners[i], polled[i].revents);
  }
  return ThreadCpuSeconds();
}

void Worker::Start(Download& d) {
  ++awaitingFirstByte_;
  d.result->Started = Now();
  d.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (d.fd < 0) return Finish(d, std::string("socket: ") + std::strerror(errno));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(d.spec->Port));
  if (::connect(d.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    d.phase = Phase::Sending;
    Send(d);
  } else if (errno == EINPROGRESS) {
    d.phase = Phase::Connecting;
  } else {
    Finish(d, std::string("connect: ") + std::strerror(errno));
  }
}

void Worker::Finish(Download& d, std::string error) {
  if (d.phase == Phase::Done) return;
  if (d.result->FirstByte < 0) --awaitingFirstByte_;
  if (d.fd >= 0) ::close(d.fd);
  d.fd = -1;
  d.phase = Phase::Done;
  d.result->Ended = Now();
  std::int64_t expected =
      d.spec->FirstByteOnly
          ? 1
          : (d.spec->AnyHeader ? d.headerBytes
                               : static_cast<std::int64_t>(d.spec->ExpectedHeader.size())) +
                d.spec->BodyBytes;
  if (error.empty() && d.spec->AnyHeader && d.headerBytes < 0 && !d.spec->FirstByteOnly)
    error = "no end of the header block";
  if (error.empty() && d.mismatch) error = "unexpected bytes";
  if (error.empty() && d.result->Bytes != expected)
    error = "closed after " + std::to_string(d.result->Bytes) + " of " + std::to_string(expected) +
            " bytes";
  d.result->Error = std::move(error);
  d.result->Correct = d.result->Error.empty();
}

void Worker::OnEvent(Download& d, short events) {
  if (d.phase == Phase::Connecting) {
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(d.fd, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0) return Finish(d, std::string("connect: ") + std::strerror(error));
    d.phase = Phase::Sending;
  }
  if (d.phase == Phase::Sending) return Send(d);
  if (d.phase == Phase::Receiving) Receive(d);
}

void Worker::Send(Download& d) {
  const std::string& request = d.spec->Request;
  while (d.requestSent < request.size()) {
    ssize_t n =
        ::send(d.fd, request.data() + d.requestSent, request.size() - d.requestSent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) return;
      return Finish(d, std::string("send: ") + std::strerror(errno));
    }
    d.requestSent += static_cast<std::size_t>(n);
  }
  d.phase = Phase::Receiving;
}

void Worker::Receive(Download& d) {
  char buffer[65536];
  ssize_t n = ::recv(d.fd, buffer, sizeof buffer, 0);
  if (n < 0) {
    if (errno == EAGAIN || errno == EINTR) return;
    return Finish(d, std::string("recv: ") + std::strerror(errno));
  }
  if (n == 0) return Finish(d);
  if (d.result->FirstByte < 0) {
    d.result->FirstByte = Now();
    --awaitingFirstByte_;
  }
  if (d.spec->FirstByteOnly) n = 1;
  if (d.spec->RecordBursts) {
    double now = Now();
    if (d.result->Bursts.empty() || now - d.lastArrival >= kBurstGapSeconds)
      d.result->Bursts.push_back(0);
    d.result->Bursts.back() += n;
    d.lastArrival = now;
  }
  Check(d, buffer, static_cast<std::size_t>(n));
  if (d.spec->FirstByteOnly) Finish(d);
}

void Worker::Check(Download& d, const char* bytes, std::size_t count) {
  const std::string& header = d.spec->ExpectedHeader;
  std::int64_t at = d.result->Bytes;
  for (std::size_t i = 0; i < count && !d.mismatch; ++i, ++at) {
    if (d.spec->AnyHeader && d.headerBytes < 0) {
      d.lastFour = d.lastFour << 8 | static_cast<unsigned char>(bytes[i]);
      if (d.lastFour == 0x0D0A0D0A) d.headerBytes = at + 1;
      continue;
    }
    const std::int64_t headerBytes =
        d.spec->AnyHeader ? d.headerBytes : static_cast<std::int64_t>(header.size());
    char expected = at < headerBytes ? header[static_cast<std::size_t>(at)]
                                     : BodyByte(d.spec->Id, at - headerBytes);
    if (at >= headerBytes + d.spec->BodyBytes || bytes[i] != expected) d.mismatch = true;
  }
  d.result->Bytes += static_cast<std::int64_t>(count);
}

}  // namespace

DownloadBatch RunDownloads(const std::vector<DownloadSpec>& specs, const DownloadOptions& options) {
  DownloadBatch batch;
  batch.Results.resize(specs.size());
  const int threads = std::max(1, std::min<int>(options.Threads, static_cast<int>(specs.size())));
  std::vector<std::vector<Download>> shares(static_cast<std::size_t>(threads));
  for (std::size_t i = 0; i < specs.size(); ++i) {
    Download d;
    d.spec = &specs[i];
    d.result = &batch.Results[i];
    shares[i % static_cast<std::size_t>(threads)].push_back(d);
  }

  const Clock::time_point epoch = Clock::now();
  std::vector<double> cpu(shares.size());
  std::vector<std::thread> workers;
  for (std::size_t t = 0; t < shares.size(); ++t)
    workers.emplace_back([&, t] { cpu[t] = Worker(std::move(shares[t]), options, epoch).Run(); });
  for (auto& worker : workers)
    worker.join();
  batch.Seconds = std::chrono::duration<double>(Clock::now() - epoch).count();
  for (double seconds : cpu)
    batch.ClientCpuSeconds += seconds;
  return batch;
}

std::string DirectRequest(std::int64_t bodyBytes, std::int64_t id) {
  return "GET " + AnswerPath(bodyBytes, id) + " HTTP/1.0\r\n\r\n";
}

std::string ProxyRequest(std::int32_t originPort, std::int64_t bodyBytes, std::int64_t id) {
  std::string authority = "127.0.0.1:" + std::to_string(originPort);
  return "GET http://" + authority + AnswerPath(bodyBytes, id) + " HTTP/1.1\r\nHost: " + authority +
         "\r\n\r\n";
}

std::string TunnelRequest(std::int32_t originPort, std::int64_t bodyBytes, std::int64_t id) {
  const std::string authority = "127.0.0.1:" + std::to_string(originPort);
  return "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n" +
         DirectRequest(bodyBytes, id);
}

}  // namespace bench
