#include "Answer.h"

#include <charconv>

namespace bench {
namespace {

std::optional<std::int64_t> Number(std::string_view text) {
  std::int64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
  return value;
}

}  // namespace

std::string AnswerPath(std::int64_t bodyBytes, std::int64_t id) {
  return "/" + std::to_string(bodyBytes) + "/" + std::to_string(id);
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

}  // namespace bench
