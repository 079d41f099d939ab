#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// What the benchmark's origin server answers and its clients check. A path "/<body>/<id>" asks for
// a body of that many bytes drawn from the id's own sequence, so every download can be checked byte
// for byte without keeping a copy of it.
namespace bench {

struct AnswerRequest {
  std::int64_t BodyBytes = 0;
  std::int64_t Id = 0;
};

std::string AnswerPath(std::int64_t bodyBytes, std::int64_t id);

// Takes the path out of a request line such as "GET /200/7 HTTP/1.0" or of an absolute target
// "GET http://127.0.0.1:80/200/7 HTTP/1.1"; nothing when the line asks for no answer of ours.
std::optional<AnswerRequest> ParseAnswerRequest(std::string_view requestLine);

// Body byte at offset pos of answer id. Lower-case letters only, so that nothing the proxy rewrites
// in an answer ("1.1", "keep-alive") can ever appear in a body.
inline char BodyByte(std::int64_t id, std::int64_t pos) {
  std::uint64_t x = static_cast<std::uint64_t>(pos) * 0x9E3779B97F4A7C15ull +
                    static_cast<std::uint64_t>(id) * 0xC2B2AE3D27D4EB4Full;
  x ^= x >> 29;
  return static_cast<char>('a' + (x >> 32) % 26);
}

// The status line and headers, ended by the empty line; version is "1.1" from the origin and
// "1.0" once the proxy has rewritten it.
std::string AnswerHeader(std::int64_t bodyBytes, std::string_view version);

}  // namespace bench
