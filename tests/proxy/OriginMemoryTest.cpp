#include "proxy/OriginMemory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "proxy/Limits.h"

namespace {

TEST(OriginMemoryTest, KnowsARememberedOriginByItsHostInAnyCaseAndItsPort) {
  proxy::OriginMemory memory;
  memory.Remember("Mirror.Example", 80);
  memory.Remember("[::1]", 8080);
  const struct {
    const char* host;
    std::int32_t port;
    bool known;
  } cases[] = {
      {"Mirror.Example", 80, true},  {"mirror.example", 80, true}, {"MIRROR.EXAMPLE", 80, true},
      {"mirror.example", 81, false}, {"other.example", 80, false}, {"[::1]", 8080, true},
      {"[::1]", 80, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.host) + ":" + std::to_string(c.port));
    EXPECT_EQ(memory.Knows(c.host, c.port), c.known);
  }
}

TEST(OriginMemoryTest, ForgetsTheFirstRememberedOncePastItsBound) {
  proxy::OriginMemory memory;
  const auto host = [](std::size_t i) { return std::to_string(i) + ".example"; };
  for (std::size_t i = 0; i < proxy::kMaxRememberedOrigins; ++i)
    memory.Remember(host(i), 80);
  // Remembered again, in another case: still one place, the first.
  memory.Remember("0.EXAMPLE", 80);
  EXPECT_TRUE(memory.Knows(host(0), 80));

  memory.Remember(host(proxy::kMaxRememberedOrigins), 80);
  EXPECT_FALSE(memory.Knows(host(0), 80));
  EXPECT_TRUE(memory.Knows(host(1), 80));
  EXPECT_TRUE(memory.Knows(host(proxy::kMaxRememberedOrigins), 80));
}

}  // namespace
