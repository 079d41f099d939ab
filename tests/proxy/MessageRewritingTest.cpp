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

#include "proxy/RequestHead.h"

namespace {

using proxy::LineList;
using namespace std::string_literals;

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

// Paths, queries and field values made of what the rewriting once mangled: whatever they hold, a
// request's and an answer's header block change only in the version and the connection fields.
TEST(HeaderBlockPropertyTest, PathQueryAndOtherFieldsPassUnchanged) {
  std::mt19937 random(20261207);
  const std::string pieces[] = {"1.1",     "keep-alive", "Keep-Alive", "close", "HTTP/1.1",
                                "http://", "%20",        "?",          "&",     ":",
                                ",",       " ",          "\t",         "a",     "\xff"};
  const auto text = [&](std::size_t most) {
    std::string out;
    for (std::size_t n = random() % (most + 1); n > 0; --n)
      out += pieces[random() % std::size(pieces)];
    return out;
  };
  const std::string names[] = {"Cookie", "Referer", "X-1.1", "keep-alive-x"};
  // A connection field as it comes, and as it goes on (empty: dropped).
  const std::string connection[][2] = {{"Connection: keep-alive, Upgrade", "Connection: close"},
                                       {"proxy-connection:Keep-Alive", "proxy-connection: close"},
                                       {"Keep-Alive: timeout=5", ""}};
  for (int i = 0; i < 2000; ++i) {
    std::string path = "/";
    path += text(12);
    std::replace_if(
        path.begin(), path.end(), [](char c) { return c == ' ' || c == '\t'; }, '/');
    proxy::LineList lines{"GET http://host:81" + path + " HTTP/1." + std::to_string(random() % 10)};
    std::string block = "HTTP/1.1 200 OK\r\n", fields;
    for (std::size_t n = random() % 7; n > 0; --n) {
      const bool special = random() % 4 == 0;
      const auto& pair = connection[random() % std::size(connection)];
      const std::string line =
          special ? pair[0] : names[random() % std::size(names)] + ":" + text(8);
      lines.push_back(line);
      block += line + "\r\n";
      if (const std::string sent = special ? pair[1] : line; !sent.empty()) fields += sent + "\r\n";
    }
    lines.emplace_back();
    SCOPED_TRACE(block);
    const proxy::RequestHead head = proxy::JudgeRequest(lines);
    ASSERT_EQ(head.Refusal, "");
    EXPECT_EQ(head.Line, "GET " + path + " HTTP/1.0");
    EXPECT_EQ(head.Host + ":" + head.PortText, "host:81");
    EXPECT_EQ(head.Fields, fields);
    EXPECT_EQ(proxy::RewriteAnswerHead(block + "\r\n"), "HTTP/1.0 200 OK\r\n" + fields + "\r\n");
  }
}

}  // namespace
