#include "Answer.h"

#include <gtest/gtest.h>

#include "proxy/http/AnswerFraming.h"

namespace bench {
namespace {

TEST(ParseAnswerRequestTest, TakesBodySizeAndIdFromEitherTargetForm) {
  struct Case {
    const char* line;
    std::optional<std::pair<std::int64_t, std::int64_t>> expected;
  };
  const Case cases[] = {
      {"GET /200/7 HTTP/1.0", std::pair<std::int64_t, std::int64_t>{200, 7}},
      {"GET http://127.0.0.1:8080/0/12 HTTP/1.1", std::pair<std::int64_t, std::int64_t>{0, 12}},
      {"GET / HTTP/1.0", std::nullopt},
      {"GET /abc/1 HTTP/1.0", std::nullopt},
      {"GET /1/-2 HTTP/1.0", std::nullopt},
      {"GET /1/2/3 HTTP/1.0", std::nullopt},
      {"GET http://host HTTP/1.1", std::nullopt},
      {"GET /1/2", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    auto parsed = ParseAnswerRequest(c.line);
    ASSERT_EQ(parsed.has_value(), c.expected.has_value()) << c.line;
    if (parsed) {
      EXPECT_EQ(parsed->BodyBytes, c.expected->first) << c.line;
      EXPECT_EQ(parsed->Id, c.expected->second) << c.line;
    }
  }
}

TEST(ParseAnswerRequestTest, ReadsBackEveryPathItMakes) {
  for (auto [body, id] :
       {std::pair<std::int64_t, std::int64_t>{0, 0}, {12288, 999}, {8 << 20, 5}}) {
    auto parsed = ParseAnswerRequest("GET " + AnswerPath(body, id) + " HTTP/1.0");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->BodyBytes, body);
    EXPECT_EQ(parsed->Id, id);
  }
}

std::string Body(std::int64_t id, std::int64_t from, std::int64_t count) {
  std::string bytes;
  for (std::int64_t p = from; p < from + count; ++p)
    bytes.push_back(BodyByte(id, p));
  return bytes;
}

TEST(BodyTest, AShiftedOrForeignBlockDiffers) {
  const std::string reference = Body(1, 0, 256);
  for (std::int64_t shift : {1, 2, 26, 64, 256, 4096, 65536})
    EXPECT_NE(Body(1, shift, 256), reference) << "shift " << shift;
  for (std::int64_t id : {0, 2, 1001})
    EXPECT_NE(Body(id, 0, 256), reference) << "id " << id;
}

TEST(AnswerHeaderTest, TheProxysRewriteOfTheOriginHeaderIsTheExpectedOne) {
  for (std::int64_t body : {0, 11, 111, 1024, 12288, 8388608}) {
    std::string origin = AnswerHeader(body, "1.1");
    proxy::http::AnswerFraming framing(false);
    EXPECT_EQ(framing.Read(origin, false), proxy::http::AnswerFraming::Step::Final) << body;
    EXPECT_EQ(framing.Block(), AnswerHeader(body, "1.0")) << body;
    EXPECT_TRUE(origin.ends_with("\r\n\r\n"));
    EXPECT_NE(origin.find("Content-Length: " + std::to_string(body) + "\r\n"), std::string::npos);
  }
}

}  // namespace
}  // namespace bench
