#include "Answer.h"

#include <algorithm>
#include <cerrno>
#include <charconv>

#include <sys/socket.h>
#include <unistd.h>

namespace bench {
namespace {

std::optional<std::int64_t> Number(std::string_view text) {
  std::int64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
  return value;
}

constexpr std::size_t kMaxRequestBytes = 65536;
constexpr std::int64_t kSendBlock = 65536;

}  // namespace

std::string AnswerPath(std::int64_t bodyBytes, std::int64_t id) {
  std::string path = "/";
  path.append(std::to_string(bodyBytes)).append("/").append(std::to_string(id));
  return path;
}

std::optional<AnswerRequest> ParseAnswerRequest(std::string_view requestLine) {
  std::size_t start = requestLine.find(' ');
  if (start == std::string_view::npos) return std::nullopt;
  std::size_t end = requestLine.find(' ', start + 1);
  if (end == std::string_view::npos) return std::nullopt;
  std::string_view target = requestLine.substr(start + 1, end - start - 1);
  if (target.starts_with("http://")) {
    std::size_t slash = target.find('/', 7);
    if (slash == std::string_view::npos) return std::nullopt;
    target.remove_prefix(slash);
  }
  if (!target.starts_with("/")) return std::nullopt;
  target.remove_prefix(1);
  std::size_t middle = target.find('/');
  if (middle == std::string_view::npos) return std::nullopt;
  auto body = Number(target.substr(0, middle));
  auto id = Number(target.substr(middle + 1));
  if (!body || !id) return std::nullopt;
  return AnswerRequest{*body, *id};
}

std::string AnswerHeader(std::int64_t bodyBytes, std::string_view version) {
  return "HTTP/" + std::string(version) +
         " 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
         std::to_string(bodyBytes) + "\r\nConnection: close\r\n\r\n";
}

OriginConnection::~OriginConnection() {
  ::close(fd);
}

bool OriginConnection::Read() {
  char buffer[4096];
  const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
  if (n == 0) return false;
  if (n < 0) return errno == EAGAIN || errno == EINTR;
  if (state != State::Reading) return true;
  request.append(buffer, static_cast<std::size_t>(n));
  if (request.find("\r\n\r\n") == std::string::npos) return request.size() <= kMaxRequestBytes;
  if (const auto asked = ParseAnswerRequest(request.substr(0, request.find("\r\n")))) {
    bodyBytes = asked->BodyBytes;
    id = asked->Id;
    header = AnswerHeader(asked->BodyBytes, "1.1");
  } else {
    header = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  }
  std::string().swap(request);
  state = State::Writing;
  return true;
}

std::string OriginConnection::NextBlock(std::int64_t end) const {
  const std::int64_t headerBytes = static_cast<std::int64_t>(header.size());
  std::string block;
  for (std::int64_t p = sent; p < std::min(end, sent + kSendBlock); ++p)
    block.push_back(p < headerBytes ? header[static_cast<std::size_t>(p)]
                                    : BodyByte(id, p - headerBytes));
  return block;
}

}  // namespace bench
