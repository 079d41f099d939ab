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

DownloadState::Progress DownloadState::Connect(std::string& error) {
  fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return Progress::Failed;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(spec->Port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
    return Progress::Done;
  if (errno == EINPROGRESS) return Progress::Blocked;
  error = std::string("connect: ") + std::strerror(errno);
  return Progress::Failed;
}

std::string DownloadState::ConnectError() const {
  int error = 0;
  socklen_t length = sizeof error;
  ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
  return error == 0 ? std::string() : std::string("connect: ") + std::strerror(error);
}

DownloadState::Progress DownloadState::SendRequest(std::string& error) {
  const std::string& request = spec->Request;
  while (requestSent < request.size()) {
    ssize_t n =
        ::send(fd, request.data() + requestSent, request.size() - requestSent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) return Progress::Blocked;
      error = std::string("send: ") + std::strerror(errno);
      return Progress::Failed;
    }
    requestSent += static_cast<std::size_t>(n);
  }
  return Progress::Done;
}

bool DownloadState::Arrived(const char* bytes, std::size_t count, double now) {
  const bool first = result->FirstByte < 0;
  if (first) result->FirstByte = now;
  if (spec->RecordBursts) {
    if (result->Bursts.empty() || now - lastArrival >= kBurstGapSeconds)
      result->Bursts.push_back(0);
    result->Bursts.back() += static_cast<std::int64_t>(count);
    lastArrival = now;
  }
  const std::string& header = spec->ExpectedHeader;
  std::int64_t at = result->Bytes;
  std::int64_t mismatchAt = -1;
  for (std::size_t i = 0; i < count && !mismatch; ++i, ++at) {
    if (spec->AnyHeader && headerBytes < 0) {
      lastFour = lastFour << 8 | static_cast<unsigned char>(bytes[i]);
      if (lastFour == 0x0D0A0D0A) headerBytes = at + 1;
      continue;
    }
    const std::int64_t expectedHeaderBytes =
        spec->AnyHeader ? headerBytes : static_cast<std::int64_t>(header.size());
    const char expected = at < expectedHeaderBytes ? header[static_cast<std::size_t>(at)]
                                                   : BodyByte(spec->Id, at - expectedHeaderBytes);
    if (at >= expectedHeaderBytes + spec->BodyBytes || bytes[i] != expected) {
      mismatch = true;
      mismatchAt = at;
    }
  }
  if (mismatchAt >= 0 && result->Error.empty()) {
    // An answer of the relay's own (a 503, say) differs in its status line already.
    const std::string_view text(bytes, count);
    const std::size_t lineEnd = std::min(text.find('\r'), text.size());
    result->Error =
        result->Bytes == 0 && !spec->AnyHeader && static_cast<std::size_t>(mismatchAt) < lineEnd
            ? "answered: " + std::string(text.substr(0, lineEnd))
            : "unexpected bytes";
  }
  result->Bytes += static_cast<std::int64_t>(count);
  return first;
}

void DownloadState::End(std::string error, double now) {
  if (fd >= 0) ::close(fd);
  fd = -1;
  result->Ended = now;
  const std::int64_t expected =
      spec->FirstByteOnly
          ? 1
          : (spec->AnyHeader ? headerBytes
                             : static_cast<std::int64_t>(spec->ExpectedHeader.size())) +
                spec->BodyBytes;
  // What the bytes showed first is the cause; whatever failed after it only follows from it.
  if (!result->Error.empty()) error = result->Error;
  if (error.empty() && spec->AnyHeader && headerBytes < 0 && !spec->FirstByteOnly)
    error = "no end of the header block";
  if (error.empty() && result->Bytes != expected)
    error = "closed after " + std::to_string(result->Bytes) + " of " + std::to_string(expected) +
            " bytes";
  result->Error = std::move(error);
  result->Correct = result->Error.empty();
}

namespace {

using Clock = std::chrono::steady_clock;

enum class Phase { Waiting, Connecting, Sending, Receiving, Done };

struct Download : DownloadState {
  Phase phase = Phase::Waiting;
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
  void OnEvent(Download& d);
  void Send(Download& d);
  void Receive(Download& d);

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
      if (polled[i].revents) OnEvent(*owners[i]);
  }
  return ThreadCpuSeconds();
}

void Worker::Start(Download& d) {
  ++awaitingFirstByte_;
  d.result->Started = Now();
  std::string error;
  switch (d.Connect(error)) {
    case DownloadState::Progress::Done:
      d.phase = Phase::Sending;
      return Send(d);
    case DownloadState::Progress::Blocked:
      d.phase = Phase::Connecting;
      return;
    case DownloadState::Progress::Failed:
      return Finish(d, std::move(error));
  }
}

void Worker::Finish(Download& d, std::string error) {
  if (d.phase == Phase::Done) return;
  if (d.result->FirstByte < 0) --awaitingFirstByte_;
  d.phase = Phase::Done;
  d.End(std::move(error), Now());
}

void Worker::OnEvent(Download& d) {
  if (d.phase == Phase::Connecting) {
    if (std::string error = d.ConnectError(); !error.empty()) return Finish(d, std::move(error));
    d.phase = Phase::Sending;
  }
  if (d.phase == Phase::Sending) return Send(d);
  if (d.phase == Phase::Receiving) Receive(d);
}

void Worker::Send(Download& d) {
  std::string error;
  switch (d.SendRequest(error)) {
    case DownloadState::Progress::Done:
      d.phase = Phase::Receiving;
      return;
    case DownloadState::Progress::Blocked:
      return;
    case DownloadState::Progress::Failed:
      return Finish(d, std::move(error));
  }
}

void Worker::Receive(Download& d) {
  char buffer[65536];
  ssize_t n = ::recv(d.fd, buffer, sizeof buffer, 0);
  if (n < 0) {
    if (errno == EAGAIN || errno == EINTR) return;
    return Finish(d, std::string("recv: ") + std::strerror(errno));
  }
  if (n == 0) return Finish(d);
  if (d.spec->FirstByteOnly) n = 1;
  if (d.Arrived(buffer, static_cast<std::size_t>(n), Now())) --awaitingFirstByte_;
  if (d.spec->FirstByteOnly) Finish(d);
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
