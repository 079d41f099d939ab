#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "support/Pattern.h"

// What the benchmark's origin server answers and its clients check. A path "/<body>/<id>" asks for
// a body of that many bytes drawn from the id's own part of the test pattern, so every download can
// be checked byte for byte without keeping a copy of it.
namespace bench {

struct AnswerRequest {
  std::int64_t BodyBytes = 0;
  std::int64_t Id = 0;
};

std::string AnswerPath(std::int64_t bodyBytes, std::int64_t id);

// Takes the path out of a request line such as "GET /200/7 HTTP/1.0" or of an absolute target
// "GET http://127.0.0.1:80/200/7 HTTP/1.1"; nothing when the line asks for no answer of ours.
std::optional<AnswerRequest> ParseAnswerRequest(std::string_view requestLine);

// Body byte at offset pos of answer id: the test pattern from offset id on, so that answers of
// different ids differ (unless their ids differ by a multiple of 251) and nothing the proxy
// rewrites in an answer can appear in a body.
inline char BodyByte(std::int64_t id, std::int64_t pos) {
  return test::PatternByte(id + pos);
}

// The status line and headers, ended by the empty line; version is "1.1" from the origin and
// "1.0" once the proxy has rewritten it.
std::string AnswerHeader(std::int64_t bodyBytes, std::string_view version);

// One connection of an origin server of the benchmark: the request as it arrives, then the answer
// it asked for (a 404 without body when it asked for none of ours), sent block by block.
struct OriginConnection {
  enum class State { Reading, Writing, Draining };

  explicit OriginConnection(int descriptor) : fd(descriptor) {}
  ~OriginConnection();
  OriginConnection(const OriginConnection&) = delete;
  OriginConnection& operator=(const OriginConnection&) = delete;

  // Reads what has come. Once the request's header block is whole the answer is set and the
  // state is Writing; bytes after that are read and dropped. False when the connection is
  // finished: the client closed, the read failed, or the request grew too large.
  bool Read();
  // The answer's bytes from sent up to end (at most one block of 64 KiB).
  std::string NextBlock(std::int64_t end) const;
  std::int64_t AnswerBytes() const { return static_cast<std::int64_t>(header.size()) + bodyBytes; }

  int fd;
  State state = State::Reading;
  std::string request;
  std::string header;
  std::int64_t bodyBytes = 0;
  std::int64_t id = 0;
  std::int64_t sent = 0;  // of header and body together
};

}  // namespace bench
