#include "proxy/RequestHead.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "proxy/MessageRewriting.h"

namespace {

// Random paths, queries and field values made of what the rewriting once mangled: whatever they
// hold, a request's and an answer's header block change only in the version and the connection
// fields, which get "close" or go.
TEST(HeaderBlockPropertyTest, PathQueryAndOtherFieldsPassUnchanged) {
  std::mt19937 random(20261207);
  const std::string pieces[] = {"1.1", "keep-alive", "Keep-Alive", "close", "HTTP/1.1", "http://",
                                "%20", "/",          "?",          "&",     "=",        ":",
                                ";",   ",",          " ",          "\t",    "a",        "\xff"};
  const auto text = [&](std::size_t most) {
    std::string out;
    for (std::size_t n = random() % (most + 1); n > 0; --n)
      out += pieces[random() % std::size(pieces)];
    return out;
  };
  const std::string names[] = {"Cookie", "Referer", "X-1.1", "ETag", "keep-alive-x"};
  const std::string connection[][2] = {{"Connection: keep-alive, Upgrade", "Connection: close"},
                                       {"proxy-connection:Keep-Alive", "proxy-connection: close"},
                                       {"Keep-Alive: timeout=5", ""}};
  for (int i = 0; i < 2000; ++i) {
    std::string path = "/";
    path += text(6);
    if (random() % 2) path.append("?").append(text(6));
    std::replace_if(
        path.begin(), path.end(), [](char c) { return c == ' ' || c == '\t'; }, '+');
    proxy::LineList lines{"GET http://host:81" + path + " HTTP/1." + std::to_string(random() % 10)};
    std::string block = "HTTP/1.1 200 OK\r\n";
    std::string fields, answerFields = "HTTP/1.0 200 OK\r\n";
    for (std::size_t n = random() % 7; n > 0; --n) {
      std::string line, sent;
      if (random() % 4 == 0) {
        const auto& pair = connection[random() % std::size(connection)];
        line = pair[0];
        sent = pair[1];
      } else {
        line = sent = names[random() % std::size(names)] + ":" + text(8);
      }
      lines.push_back(line);
      block += line + "\r\n";
      if (!sent.empty()) {
        fields += sent + "\r\n";
        answerFields += sent + "\r\n";
      }
    }
    lines.emplace_back();
    SCOPED_TRACE(block);
    const proxy::RequestHead head = proxy::JudgeRequest(lines);
    ASSERT_EQ(head.Refusal, "");
    EXPECT_EQ(head.Line, "GET " + path + " HTTP/1.0");
    EXPECT_EQ(head.Host + ":" + head.PortText, "host:81");
    EXPECT_EQ(head.Fields, fields);
    EXPECT_EQ(head.BodyKind, proxy::RequestHead::Body::None);
    EXPECT_EQ(proxy::RewriteAnswerHead(block + "\r\n"), answerFields + "\r\n");
  }
}

}  // namespace
