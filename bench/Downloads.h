#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Plain POSIX clients for the benchmark: a few threads, each polling many non-blocking sockets,
// so that a thousand downloads cost the client side little. Each download connects to
// 127.0.0.1, sends its request in one write and checks every byte it gets against the expected
// answer as it arrives, keeping none of them.
namespace bench {

struct DownloadSpec {
  std::int32_t Port = 0;
  std::string Request;         // sent whole right after the connect
  std::string ExpectedHeader;  // the answer: this header, then BodyBytes bytes of answer Id
  std::int64_t BodyBytes = 0;
  std::int64_t Id = 0;
  bool FirstByteOnly = false;  // close as soon as the first byte has come
  // Take whatever header block comes (up to its empty line) instead of ExpectedHeader, and check
  // only the body: for servers that add headers of their own.
  bool AnyHeader = false;
  bool RecordBursts = false;  // keep the sizes of the bursts the answer arrives in
};

// Arrivals closer together than this belong to one burst; paced slices are a second apart.
inline constexpr double kBurstGapSeconds = 0.25;

struct DownloadResult {
  std::int64_t Bytes = 0;  // received
  // Every byte as expected and, unless FirstByteOnly, the close came right after the last one.
  bool Correct = false;
  std::string Error;  // empty, or what went wrong
  // Seconds from the batch start: before the connect, at the first byte, at the close or error;
  // negative when it did not happen.
  double Started = -1;
  double FirstByte = -1;
  double Ended = -1;
  // With RecordBursts: bytes per burst of arrivals, in order.
  std::vector<std::int64_t> Bursts;
};

struct DownloadOptions {
  int Threads = 1;
  // Downloads per thread that may be started but still without their first byte; 0: no limit.
  // Keeps a burst of connects from overrunning a small listen backlog.
  int MaxAwaitingFirstByte = 0;
  std::chrono::milliseconds TimeLimit{60000};
};

struct DownloadBatch {
  std::vector<DownloadResult> Results;  // in the order of the specs
  double ClientCpuSeconds = 0;          // used by the client threads
  double Seconds = 0;                   // wall time of the whole batch
};

// One download under way, as both clients (the poll-driven one below and the epoll-driven one
// of ScaleLoad.h) drive it: its socket, its request, and what its bytes have shown so far.
struct DownloadState {
  const DownloadSpec* spec = nullptr;
  DownloadResult* result = nullptr;
  int fd = -1;
  std::size_t requestSent = 0;
  bool mismatch = false;
  double lastArrival = 0;
  std::int64_t headerBytes = -1;  // with AnyHeader: the length of the header block, once it ended
  std::uint32_t lastFour = 0;     // with AnyHeader: the last four bytes of it seen so far

  enum class Progress { Done, Blocked, Failed };

  // Opens a non-blocking socket and starts the connect to 127.0.0.1; Failed with error set when
  // that fails at once, Done when the connect completed at once.
  Progress Connect(std::string& error);
  // After the socket turned writable while connecting: the connect's error, or empty.
  std::string ConnectError() const;
  // Sends what is left of the request.
  Progress SendRequest(std::string& error);
  // Takes count bytes that arrived at second now (from the batch start): records the first byte
  // and bursts and checks them against the answer expected. True when they were the first.
  bool Arrived(const char* bytes, std::size_t count, double now);
  // Closes the socket and settles the result at second now: error when given, otherwise what
  // the bytes showed.
  void End(std::string error, double now);
};

// Runs every download to its end, its error, or the time limit.
DownloadBatch RunDownloads(const std::vector<DownloadSpec>& specs, const DownloadOptions& options);

// Requests for an answer of Answer.h: straight to the origin, or through the proxy.
std::string DirectRequest(std::int64_t bodyBytes, std::int64_t id);
std::string ProxyRequest(std::int32_t originPort, std::int64_t bodyBytes, std::int64_t id);
// Through a tunnel of the proxy: the CONNECT header block and the direct request in one write.
std::string TunnelRequest(std::int32_t originPort, std::int64_t bodyBytes, std::int64_t id);
// What the proxy answers a CONNECT with before the tunnel's bytes.
inline constexpr std::string_view kTunnelEstablished =
    "HTTP/1.0 200 Connection established\r\n\r\n";

}  // namespace bench
