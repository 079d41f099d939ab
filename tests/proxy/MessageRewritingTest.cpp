#include "proxy/MessageRewriting.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

using proxy::LineList;
using namespace std::string_literals;

// What the handler sends upstream as the first line.
std::string Forwarded(const std::string& line) {
  return proxy::Trim(proxy::DowngradeVersion(proxy::ParseRequestLine(line).Line));
}

TEST(ParseRequestLineTest, TakesProxyTargetsApart) {
  struct Case {
    std::string line, host, port, rebuilt, sent;
  };
  const Case cases[] = {
      {"GET http://host:8080/a/b HTTP/1.1", "host", "8080", "GET /a/b HTTP/1.1",
       "GET /a/b HTTP/1.0"},
      {"GET http://host/ HTTP/1.1", "host", "80", "GET / HTTP/1.1", "GET / HTTP/1.0"},
      {"GET http://host/a:b HTTP/1.1", "host", "80", "GET /a:b HTTP/1.1", "GET /a:b HTTP/1.0"},
      {"POST http://10.1.1.1:81/cgi?a=1 HTTP/1.1", "10.1.1.1", "81", "POST /cgi?a=1 HTTP/1.1",
       "POST /cgi?a=1 HTTP/1.0"},
      {"GET http://host/page-1.1 HTTP/1.1", "host", "80", "GET /page-1.1 HTTP/1.1",
       "GET /page-1.0 HTTP/1.0"},
      {"GET http://host/HTTP/x HTTP/1.1", "host", "80", "GET /HTTP/x HTTP/1.1",
       "GET /HTTP/x HTTP/1.0"},
      {"GET http://host/keep-alive HTTP/1.1", "host", "80", "GET /keep-alive HTTP/1.1",
       "GET /keep-alive HTTP/1.0"},
      {"GET http://host:80a/ HTTP/1.1", "host", "80a", "GET / HTTP/1.1", "GET / HTTP/1.0"},
      {"GET http://h:/ HTTP/1.1", "h", "", "GET / HTTP/1.1", "GET / HTTP/1.0"},
      {"GET http://:81/x HTTP/1.1", "", "81", "GET /x HTTP/1.1", "GET /x HTTP/1.0"},
      {"GET http://host HTTP/1.1", "", "80", "GET host HTTP/1.1", "GET host HTTP/1.0"},
      {"GET http://host:8080 HTTP/1.1", "", "80", "GET host:8080 HTTP/1.1",
       "GET host:8080 HTTP/1.0"},
      {"  GET http://host/ HTTP/1.1  ", "host", "80", "  GET / HTTP/1.1  ", "GET / HTTP/1.0"},
      {"\t\x01GET http://host/ HTTP/1.1\r\x0b", "host", "80", "\t\x01GET / HTTP/1.1\r\x0b",
       "GET / HTTP/1.0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const proxy::RequestTarget target = proxy::ParseRequestLine(c.line);
    EXPECT_EQ(target.Host, c.host);
    EXPECT_EQ(target.PortText, c.port);
    EXPECT_EQ(target.Line, c.rebuilt);
    EXPECT_EQ(Forwarded(c.line), c.sent);
  }
}

TEST(ParseRequestLineTest, LeavesLinesItCannotTakeApartWhole) {
  const std::string lines[] = {
      "GET http://host/",              // no version
      "",                              //
      "CONNECT host:443 HTTP/1.1",     // no scheme at all
      "GET / HTTP/1.1",                // path only
      "GET HTTP://host/ HTTP/1.1",     // upper-case scheme is not ours
      "GET /x HTTP/1.1 http://host/",  // scheme only after the version
      "GET http:/\0/host/ HTTP/1.1"s,  // NUL inside the scheme
  };
  for (const std::string& line : lines) {
    SCOPED_TRACE(line);
    const proxy::RequestTarget target = proxy::ParseRequestLine(line);
    EXPECT_EQ(target.Host, "");
    EXPECT_EQ(target.PortText, "");
    EXPECT_EQ(target.Line, line);
    EXPECT_FALSE(proxy::HasAbsoluteTarget(line));
  }
  EXPECT_TRUE(proxy::HasAbsoluteTarget("GET http://h:/ HTTP/1.1"));  // taken apart, bad port
  EXPECT_TRUE(proxy::HasAbsoluteTarget("  POST http://h HTTP/1.0  "));
}

TEST(ParseRequestLineTest, KeepsBytesAroundTheTargetExactly) {
  const std::string line = "GE\0T http://h\xff/p\0q HTTP/1.1\0tail"s;
  const proxy::RequestTarget target = proxy::ParseRequestLine(line);
  EXPECT_EQ(target.Host, "h\xff");
  EXPECT_EQ(target.PortText, "80");
  EXPECT_EQ(target.Line, "GE\0T /p\0q HTTP/1.1\0tail"s);
}

TEST(ParseConnectLineTest, TakesPlainNamesAndDottedAddressesWithAPort) {
  struct Case {
    std::string line, host;
    std::int32_t port;  // 0: the line is refused
  };
  const Case cases[] = {
      {"CONNECT example.org:443 HTTP/1.1", "example.org", 443},
      {"CONNECT 10.1.1.1:1 HTTP/1.0", "10.1.1.1", 1},
      {" CONNECT my_host-2.local:65535 HTTP/1.1\r", "my_host-2.local", 65535},
      {"CONNECT host:0443 HTTP/1.1", "host", 443},
      {"CONNECT host: HTTP/1.1", "", 0},
      {"CONNECT host:0 HTTP/1.1", "", 0},
      {"CONNECT host:70000 HTTP/1.1", "", 0},
      {"CONNECT host:443x HTTP/1.1", "", 0},
      {"CONNECT host HTTP/1.1", "", 0},
      {"CONNECT :443 HTTP/1.1", "", 0},
      {"CONNECT [::1]:443 HTTP/1.1", "", 0},
      {"CONNECT user@host:443 HTTP/1.1", "", 0},
      {"CONNECT a..b:443 HTTP/1.1", "", 0},
      {"CONNECT 10.1.300.4:443 HTTP/1.1", "", 0},
      {"CONNECT 10.1.1:443 HTTP/1.1", "", 0},
      {"CONNECT host:443 HTTP/2.0", "", 0},
      {"CONNECT host:443", "", 0},
      {"CONNECT  host:443 HTTP/1.1", "", 0},
      {"CONNECT host:443 HTTP/1.1 x", "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_TRUE(proxy::IsConnectLine(c.line));
    const std::optional<proxy::TunnelTarget> target = proxy::ParseConnectLine(c.line);
    ASSERT_EQ(target.has_value(), c.port != 0);
    if (!target) continue;
    EXPECT_EQ(target->Host, c.host);
    EXPECT_EQ(target->Port, c.port);
  }
  EXPECT_FALSE(proxy::IsConnectLine("GET http://host/ HTTP/1.1"));
  EXPECT_FALSE(proxy::IsConnectLine("CONNECTED host:443 HTTP/1.1"));
}

TEST(SplitLinesTest, EndsLinesAtEveryBreakAndStopsAtNul) {
  struct Case {
    const char* name;
    std::string text;
    LineList lines;
  };
  const Case cases[] = {
      {"empty", "", {}},
      {"no break", "A", {"A"}},
      {"CR LF", "A\r\nB\r\n", {"A", "B"}},
      {"LF LF", "A\r\nB\n\n", {"A", "B", ""}},
      {"lone CR", "A\rB", {"A", "B"}},
      {"LF CR is two ends", "A\n\rB", {"A", "", "B"}},
      {"CR CR LF", "A\r\r\nB", {"A", "", "B"}},
      {"only breaks", "\r\n\n\r", {"", "", ""}},
      {"trailing lone CR", "A\r", {"A"}},
      {"NUL mid line", "A\0B"s, {"A"}},
      {"NUL after a break", "A\r\n\0B\r\n"s, {"A"}},
      {"NUL first", "\0A\r\n"s, {}},
      {"high bytes", "\xff\x80\r\n\x7f", {"\xff\x80", "\x7f"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(proxy::SplitLines(c.text), c.lines);
  }
}

TEST(JoinLinesTest, EndsEveryLineWithCrLfAndRoundTrips) {
  EXPECT_EQ(proxy::JoinLines({}), "");
  EXPECT_EQ(proxy::JoinLines({""}), "\r\n");
  EXPECT_EQ(proxy::JoinLines({"A", "", "B"}), "A\r\n\r\nB\r\n");

  const LineList lists[] = {{}, {""}, {"", ""}, {"GET / HTTP/1.0", "Host: h", ""}, {" a ", "\xff"}};
  for (const LineList& lines : lists) {
    EXPECT_EQ(proxy::SplitLines(proxy::JoinLines(lines)), lines);
  }
}

TEST(DowngradeVersionTest, ReplacesEveryVersionWithoutOverlap) {
  const std::pair<std::string, std::string> cases[] = {
      {"HTTP/1.1", "HTTP/1.0"},
      {"10.1.1.1", "10.1.0.1"},
      {"1.1.1", "1.0.1"},
      {"1.11.1", "1.01.0"},
      {"1.", "1."},
      {"1.0 11 1,1", "1.0 11 1,1"},
      {"", ""},
      {"Via: 1.1 cache\0 1.1"s, "Via: 1.0 cache\0 1.0"s},
  };
  for (const auto& [in, out] : cases) {
    SCOPED_TRACE(in);
    EXPECT_EQ(proxy::DowngradeVersion(in), out);
  }
}

TEST(CloseKeepAliveTest, ReplacesKeywordInAnyCaseAndKeepsTheRest) {
  const std::pair<std::string, std::string> cases[] = {
      {"Keep-Alive: timeout=5, max=100", "close: timeout=5, max=100"},
      {"KEEP-ALIVE", "close"},
      {"Connection: Keep-Alive", "Connection: close"},
      {"Proxy-Connection: keep-alive", "Proxy-Connection: close"},
      {"x kEeP-aLiVe Y keep-alivE z", "x close Y close z"},
      {"keep-alivekeep-alive", "closeclose"},
      {"keep-keep-alive", "keep-close"},
      {"keep-aliv", "keep-aliv"},
      {"keep_alive KEEP ALIVE", "keep_alive KEEP ALIVE"},
      {"keep\ralive keep-al\xc9ve", "keep\ralive keep-al\xc9ve"},  // only letters fold
      {"Via: 1.1 cache", "Via: 1.1 cache"},
      {"", ""},
  };
  for (const auto& [in, out] : cases) {
    SCOPED_TRACE(in);
    EXPECT_EQ(proxy::CloseKeepAlive(in), out);
  }
}

TEST(RewriteResponseChunkTest, ClosesAndDowngradesEachChunkOnItsOwn) {
  EXPECT_EQ(proxy::RewriteResponseChunk("HTTP/1.1 200 OK\r\nConnection: Keep-Alive\r\n"),
            "HTTP/1.0 200 OK\r\nConnection: close\r\n");
  EXPECT_EQ(proxy::RewriteResponseChunk("10.1.1.1"), "10.1.0.1");
  EXPECT_EQ(proxy::RewriteResponseChunk("1keep-alive.1"), "1close.1");
  // A keyword split between two chunks stays as it is.
  EXPECT_EQ(proxy::RewriteResponseChunk("Connection: keep-"), "Connection: keep-");
  EXPECT_EQ(proxy::RewriteResponseChunk("alive HTTP/1"), "alive HTTP/1");
  EXPECT_EQ(proxy::RewriteResponseChunk(".1\r\n"), ".1\r\n");
}

// The one-pass rewrite must give exactly what the two rules give one after the other.
TEST(RewriteResponseChunkTest, MatchesBothRulesAppliedInTurn) {
  const std::string pieces[] = {"1",     ".", "1.1", "keep-alive", "KEEP-ALIVE", "Keep-",
                                "alive", "k", "-",   "\r\n",       "\0"s,        "x"};
  std::mt19937 random(12345);
  std::uniform_int_distribution<std::size_t> pick(0, std::size(pieces) - 1);
  std::uniform_int_distribution<int> length(0, 12);
  for (int round = 0; round < 5000; ++round) {
    std::string chunk;
    for (int n = length(random); n > 0; --n) {
      chunk += pieces[pick(random)];
    }
    ASSERT_EQ(proxy::RewriteResponseChunk(chunk),
              proxy::DowngradeVersion(proxy::CloseKeepAlive(chunk)))
        << chunk;
  }
}

TEST(RewriteResponseChunkTest, HandlesLargeChunksInOnePass) {
  std::string chunk;
  for (int i = 0; i < 100000; ++i)
    chunk += "Keep-Alive 1.1 ";
  const std::string out = proxy::RewriteResponseChunk(chunk);
  ASSERT_EQ(out.size(), chunk.size() - 100000 * 5);
  EXPECT_EQ(out.substr(0, 30), "close 1.0 close 1.0 close 1.0 ");
  EXPECT_EQ(out.find("1.1"), std::string::npos);
}

TEST(TrimTest, RemovesBlanksAndControlBytesAtBothEndsOnly) {
  const std::pair<std::string, std::string> cases[] = {
      {"  GET / HTTP/1.0  ", "GET / HTTP/1.0"},
      {"\0\x01\t\r\n x \x1f\x20"s, "x"},
      {"a \t b", "a \t b"},
      {"\xa0x\xff", "\xa0x\xff"},  // high bytes are text
      {"\x7f", "\x7f"},
      {" \r\n\0 "s, ""},
      {"", ""},
  };
  for (const auto& [in, out] : cases) {
    SCOPED_TRACE(in);
    EXPECT_EQ(proxy::Trim(in), out);
  }
}

TEST(SliceTest, SizesSlicesWithoutOverflow) {
  const std::pair<std::int32_t, std::int64_t> cases[] = {
      {4, 4000},
      {1, 1000},
      {65535, 65535000},
      {99999, 99999000},
      {0, 0},
      {-1, -1000},
      {std::numeric_limits<std::int32_t>::max(), 2147483647000LL},
      {std::numeric_limits<std::int32_t>::min(), -2147483648000LL},
  };
  for (const auto& [limit, bytes] : cases) {
    SCOPED_TRACE(limit);
    EXPECT_EQ(proxy::SliceSize(limit), bytes);
  }
}

TEST(SliceTest, TakesAndRemovesSlicesWithinBounds) {
  const std::string chunk(10000, 'x');
  const std::int64_t counts[] = {-1000,
                                 0,
                                 4000,
                                 9999,
                                 10000,
                                 10001,
                                 proxy::SliceSize(std::numeric_limits<std::int32_t>::max())};
  for (const std::int64_t n : counts) {
    SCOPED_TRACE(n);
    const std::size_t expected = n <= 0 ? 0 : std::min<std::int64_t>(n, 10000);
    EXPECT_EQ(proxy::FirstChars(chunk, n).size(), expected);
    std::string rest = chunk;
    proxy::RemoveFirstChars(rest, n);
    EXPECT_EQ(rest.size(), chunk.size() - expected);
  }

  // 10,000 bytes at the initial limit leave as 4000, 4000 and 2000.
  std::string pending = "ab" + std::string(9996, '-') + "yz";
  std::vector<std::size_t> sizes;
  std::string sent;
  while (!pending.empty() && sizes.size() < 10) {
    const std::string_view slice = proxy::FirstChars(pending, proxy::SliceSize(4));
    sizes.push_back(slice.size());
    sent.append(slice);
    proxy::RemoveFirstChars(pending, static_cast<std::int64_t>(slice.size()));
  }
  EXPECT_EQ(sizes, (std::vector<std::size_t>{4000, 4000, 2000}));
  EXPECT_EQ(sent, "ab" + std::string(9996, '-') + "yz");
}

}  // namespace
