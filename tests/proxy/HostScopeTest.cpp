#include "proxy/HostScope.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

using proxy::HostPattern;
using proxy::HostScope;

TEST(HostPattern, TakesInANameWithTheNamesUnderItAndAnAddressAlone) {
  struct Case {
    const char* pattern;
    const char* host;
    bool matches;
  };
  const Case cases[] = {
      {"example.com", "example.com", true},
      {"example.com", "cdn.example.com", true},
      {"example.com", "a.b.example.com", true},
      {"example.com", "badexample.com", false},
      {"example.com", "example.com.evil.net", false},
      {"example.com", "com", false},
      {"cdn.example.com", "example.com", false},
      {"Example.COM", "CDN.example.com", true},
      {"example.com.", "cdn.example.com", true},
      {"example.com", "example.com.", true},
      {"192.0.2.1", "192.0.2.1", true},
      {"192.0.2.1", "192.0.2.10", false},
      {"0.2.1", "192.0.2.1", false},  // a name never takes in an address
      {"192.0.2.1", "[::ffff:192.0.2.1]", true},
      {"::1", "[::1]", true},
      {"[::1]", "0:0:0:0:0:0:0:1", true},
      {"2001:db8::1", "2001:DB8:0::1", true},
      {"2001:db8::1", "2001:db8::2", false},
      {"fe80::1", "fe80::1%eth0", true},
      {"::1", "localhost", false},
      {"localhost", "::1", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(HostPattern(c.pattern).Matches(c.host), c.matches) << c.pattern << " " << c.host;
}

TEST(HostScope, CoversEveryHostUntilAListIsSetAndAfterItIsCleared) {
  HostScope scope;
  EXPECT_TRUE(scope.Covers("anything.example"));
  scope.SetList("example.com,192.0.2.1");
  EXPECT_EQ(scope.List(), "example.com,192.0.2.1");
  EXPECT_TRUE(scope.Covers("cdn.example.com"));
  EXPECT_TRUE(scope.Covers("192.0.2.1"));
  EXPECT_FALSE(scope.Covers("example.org"));
  scope.SetList("");
  EXPECT_TRUE(scope.Covers("example.org"));
}

// Runs ask while the window replaces the list (a fault shows under ThreadSanitizer).
TEST(HostScope, IsAskedFromAnyThreadWhileTheListIsReplaced) {
  HostScope scope;
  std::atomic<bool> done{false};
  std::thread run([&] {
    while (!done.load())
      scope.Covers("cdn.example.com");
  });
  for (int i = 0; i < 2000; ++i)
    scope.SetList(i % 2 == 0 ? "example.com" : "example.org");
  scope.SetList("example.com");
  done = true;
  run.join();
  EXPECT_TRUE(scope.Covers("cdn.example.com"));
}

}  // namespace
