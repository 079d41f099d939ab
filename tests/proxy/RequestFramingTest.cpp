#include "proxy/http/RequestFraming.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ProxyTestSupport.h"
#include "proxy/http/AnswerFraming.h"
#include "support/RawClient.h"

namespace {

using proxy::http::Request;
using proxy::http::RequestReader;
using test::OriginScript;
using test::OriginServer;
using test::RawClient;
using test::ReadUntilQuiet;
using namespace std::string_literals;

// A header block's lines without their line ends, the empty one that ends it included.
using LineList = std::vector<std::string>;

LineList LinesOf(const proxy::http::HeadReader& head) {
  LineList lines;
  if (head.Started()) lines.emplace_back(head.Text(head.Start().Line));
  for (const proxy::http::FieldLine& line : head.Fields())
    lines.emplace_back(head.Text(line.Line));
  if (head.Complete()) lines.emplace_back();
  return lines;
}

Request JudgeRequest(const LineList& lines) {
  RequestReader reader;
  for (const std::string& line : lines)
    reader.Append(line + "\r\n");
  return proxy::http::JudgeRequest(reader);
}

// An answer's header block as the client gets it.
std::string AnswerBlock(const std::string& block) {
  proxy::http::AnswerFraming framing(false);
  framing.Read(block, true);
  return framing.Block();
}

// Feeds the reads as the handler does: whatever a read leaves untaken is body.
struct Fed {
  LineList lines;
  std::string body;
  bool complete = false;
  bool malformed = false;
};

Fed Feed(const std::vector<std::string>& reads) {
  RequestReader capture;
  Fed fed;
  for (const std::string& read : reads)
    fed.body += read.substr(capture.Append(read));
  fed.lines = LinesOf(capture);
  fed.complete = capture.Complete();
  fed.malformed = capture.Malformed();
  return fed;
}

struct CaptureCase {
  const char* name;
  std::vector<std::string> reads;
  LineList lines;
  std::string body;
  bool complete;
  bool malformed = false;
};

void PrintTo(const CaptureCase& c, std::ostream* os) {
  *os << c.name;
}

class RequestReaderTest : public ::testing::TestWithParam<CaptureCase> {};

TEST_P(RequestReaderTest, TakesTheHeaderBlockAndLeavesTheBody) {
  const Fed fed = Feed(GetParam().reads);
  if (!GetParam().malformed) {  // then what it holds is of no use
    EXPECT_EQ(fed.lines, GetParam().lines);
    EXPECT_EQ(fed.body, GetParam().body);
  }
  EXPECT_EQ(fed.complete, GetParam().complete);
  EXPECT_EQ(fed.malformed, GetParam().malformed);
}

INSTANTIATE_TEST_SUITE_P(
    Reads, RequestReaderTest,
    ::testing::Values(
        CaptureCase{"HeaderLineInTwoReads",
                    {"GET http://h/ HTTP/1.1\r\nHo", "st: h\r\n\r\n"},
                    {"GET http://h/ HTTP/1.1", "Host: h", ""},
                    "",
                    true},
        CaptureCase{"CrAndLfInTwoReadsAreOneLineEnd",
                    {"GET x HTTP/1.0\r", "\nA: b\r", "\n\r", "\nbody"},
                    {"GET x HTTP/1.0", "A: b", ""},
                    "body",
                    true},
        CaptureCase{"BodyBytesAreLeftUntouched",
                    {"POST x HTTP/1.0\r\nContent-Length: 9\r\n\r\nab\rc\0d\n\r\n"s},
                    {"POST x HTTP/1.0", "Content-Length: 9", ""},
                    "ab\rc\0d\n\r\n"s,
                    true},
        CaptureCase{"LoneLfEndsLinesAndBlankLinesBeforeTheRequestAreSkipped",
                    {"\r\n\nGET x HTTP/1.0\nA\n\nB"},
                    {"GET x HTTP/1.0", "A", ""},
                    "B",
                    true},
        CaptureCase{"HeaderNotYetEnded",
                    {"GET http://h/ HTTP/1.1\r\nHost: h\r\nAcc"},
                    {"GET http://h/ HTTP/1.1", "Host: h"},
                    "",
                    false},
        CaptureCase{"BareCrIsMalformed", {"GET x HTTP/1.0\rA: b\r\n\r\n"}, {}, "", false, true},
        CaptureCase{"CrAtTheEndOfAReadThenNoLf", {"GET x HTTP/1.0\r", "A"}, {}, "", false, true},
        CaptureCase{"NulIsMalformed", {"GET x HTTP/1.1\r\nA: b\0c\r\n\r\n"s}, {}, "", false, true}),
    [](const auto& instance) { return std::string(instance.param.name); });

// However TCP cuts a request, the capture takes the same lines and leaves the same body.
TEST(RequestReaderSplitTest, EveryCutGivesWhatTheWholeTextGives) {
  const std::string requests[] = {
      "POST http://h/ HTTP/1.1\r\nHost: h\r\nConnection: keep-alive\r\n\r\n\nab\r\ncd",
      "GET x HTTP/1.0\nA: b\r\nC: d\n\r\n\r\n",
      "GET x HTTP/1.0\r\nA: \xff\x80\r\n\r\r\n",
  };
  for (const std::string& request : requests) {
    const Fed whole = Feed({request});
    for (std::size_t cut = 0; cut <= request.size(); ++cut) {
      for (std::size_t cut2 = cut; cut2 <= request.size(); cut2 += 3) {
        const Fed pieces =
            Feed({request.substr(0, cut), request.substr(cut, cut2 - cut), request.substr(cut2)});
        ASSERT_EQ(pieces.lines, whole.lines) << "cut at " << cut << " and " << cut2;
        ASSERT_EQ(pieces.body, whole.body) << "cut at " << cut << " and " << cut2;
        ASSERT_EQ(pieces.malformed, whole.malformed) << "cut at " << cut << " and " << cut2;
      }
    }
  }
}

TEST(JudgeConnectTest, TakesPlainNamesAndDottedAddressesWithAPort) {
  struct Case {
    std::string line, host;
    std::int32_t port;  // 0: the line is refused
  };
  const Case cases[] = {
      {"CONNECT example.org:443 HTTP/1.1", "example.org", 443},
      {"CONNECT 10.1.1.1:1 HTTP/1.0", "10.1.1.1", 1},
      {" CONNECT my_host-2.local:65535 HTTP/1.1\t", "my_host-2.local", 65535},
      {"CONNECT host:0443 HTTP/1.1", "host", 443},
      {"CONNECT host: HTTP/1.1", "", 0},
      {"CONNECT host:0 HTTP/1.1", "", 0},
      {"CONNECT host:70000 HTTP/1.1", "", 0},
      {"CONNECT host:443x HTTP/1.1", "", 0},
      {"CONNECT host HTTP/1.1", "", 0},
      {"CONNECT :443 HTTP/1.1", "", 0},
      {"CONNECT [::1]:443 HTTP/1.1", "[::1]", 443},
      {"CONNECT [::ffff:10.1.1.1]:443 HTTP/1.1", "[::ffff:10.1.1.1]", 443},
      {"CONNECT [::1:443 HTTP/1.1", "", 0},
      {"CONNECT [fe80::1%25eth0]:443 HTTP/1.1", "[fe80::1%25eth0]", 443},
      {"CONNECT [::1%251]:443 HTTP/1.1", "", 0},
      {"CONNECT [12345::1]:443 HTTP/1.1", "", 0},
      {"CONNECT user@host:443 HTTP/1.1", "", 0},
      {"CONNECT a..b:443 HTTP/1.1", "", 0},
      {"CONNECT 10.1.300.4:443 HTTP/1.1", "", 0},
      {"CONNECT 10.1.1:443 HTTP/1.1", "", 0},
      {"CONNECT 010.1.1.1:443 HTTP/1.1", "", 0},  // octal to some readers, decimal to others
      {"CONNECT host:443 HTTP/2.0", "", 0},
      {"CONNECT host:443", "", 0},
      {"CONNECT  host:443 HTTP/1.1", "", 0},
      {"CONNECT host:443 HTTP/1.1 x", "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const Request request = JudgeRequest({c.line, ""});
    EXPECT_TRUE(request.Tunnel);
    ASSERT_EQ(!request.Refused, c.port != 0);
    if (request.Refused) continue;
    EXPECT_EQ(request.Host, c.host);
    EXPECT_EQ(request.Port, c.port);
  }
  EXPECT_FALSE(JudgeRequest({"GET http://host/ HTTP/1.1", ""}).Tunnel);
  EXPECT_FALSE(JudgeRequest({"CONNECTED host:443 HTTP/1.1", ""}).Tunnel);
}

// A target's host as the Host field names it and as the resolver takes it.
TEST(JudgeRequestTest, TakesIPv6LiteralsOutOfTheirBrackets) {
  const std::array<std::array<std::string, 3>, 4> cases{{
      {"http://[::1]:8086/", "[::1]:8086", "::1"},
      {"http://[2001:DB8::a]/", "[2001:DB8::a]", "2001:DB8::a"},
      {"http://[fe80::1%25lo]:81/", "[fe80::1%25lo]:81", "fe80::1%lo"},
      {"http://[::ffff:127.0.0.1]/", "[::ffff:127.0.0.1]", "::ffff:127.0.0.1"},
  }};
  for (const auto& [target, authority, name] : cases) {
    const Request request = JudgeRequest({"GET " + target + " HTTP/1.1", ""});
    ASSERT_FALSE(request.Refused) << target;
    EXPECT_EQ(request.Authority, authority);
    EXPECT_EQ(request.HostToResolve, name);
  }
}

// Each refusal is named for what is wrong, so that the pane can say it.
TEST(JudgeRequestTest, NamesWhyARequestIsRefused) {
  using proxy::http::Refusal;
  const std::pair<LineList, std::optional<Refusal>> cases[] = {
      {{"GET http://h/ HTTP/1.1", "A: b", ""}, std::nullopt},
      {{"GET  http://h/ HTTP/1.1", ""}, Refusal::TargetNotHttpUrl},
      {{"GET http://h/ HTTP/1.1 x", ""}, Refusal::MalformedRequestLine},
      {{"G@T http://h/ HTTP/1.1", ""}, Refusal::MalformedRequestLine},
      {{"GET /x HTTP/1.1", ""}, Refusal::TargetNotHttpUrl},
      {{"GET http://h/ HTTP/3.0", ""}, Refusal::VersionNotSupported},
      {{"GET http://h/ HTTP/1.1", "A: b", " c", ""}, Refusal::FoldedField},
      {{"GET http://h/ HTTP/1.1", "A : b", ""}, Refusal::MalformedField},
      {{"GET http://h/ HTTP/1.1", "Content-Length: 1", "Content-Length: 2", ""},
       Refusal::InvalidContentLength},
      {{"GET http://h/ HTTP/1.1", "Content-Length: 1", "Transfer-Encoding: chunked", ""},
       Refusal::LengthWithTransferEncoding},
      {{"GET http://h/ HTTP/1.1", "Transfer-Encoding: gzip", ""},
       Refusal::UnsupportedTransferEncoding},
      {{"GET http://h:0/ HTTP/1.1", ""}, Refusal::InvalidPort},
      {{"GET http://h:+80/ HTTP/1.1", ""}, Refusal::InvalidPort},
      {{"GET http://[::1]:8080/ HTTP/1.1", ""}, std::nullopt},
      {{"GET http://[::1/ HTTP/1.1", ""}, Refusal::TargetNotHttpUrl},
      {{"GET http://[::1]x/ HTTP/1.1", ""}, Refusal::TargetNotHttpUrl},
      {{"GET http://[1::2::3]/ HTTP/1.1", ""}, Refusal::TargetNotHttpUrl},
      {{"GET http://[::ffff:010.0.0.1]/ HTTP/1.1", ""}, Refusal::TargetNotHttpUrl},
      {{"GET http://[fe80::1%eth0]/ HTTP/1.1", ""}, Refusal::TargetNotHttpUrl},
      // A zone means something on fe80::/10 alone; elsewhere it would only disguise the address.
      {{"GET http://[FEBF::1%25x]/ HTTP/1.1", ""}, std::nullopt},
      {{"GET http://[::1%251]/ HTTP/1.1", ""}, Refusal::ZoneOffLinkLocal},
      {{"GET http://[fec0::1%251]/ HTTP/1.1", ""}, Refusal::ZoneOffLinkLocal},
      {{"CONNECT h:443 HTTP/1.1", "A : b", ""}, Refusal::MalformedField},
      {{"CONNECT h HTTP/1.1", ""}, Refusal::MalformedConnectTarget},
  };
  for (const auto& [lines, refusal] : cases) {
    SCOPED_TRACE(lines.front());
    EXPECT_EQ(JudgeRequest(lines).Refused, refusal);
  }
}

// Paths, queries and field values made of what the rewriting once mangled: whatever they hold, a
// request's and an answer's header block change only in the version and the connection fields
// (and a request's loses those meant for the proxy).
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
  // A connection field as it comes, as the origin gets it and as the client gets it (empty:
  // dropped).
  const std::string connection[][3] = {
      {"Connection: keep-alive, Upgrade", "Connection: close", "Connection: close"},
      {"proxy-connection:Keep-Alive", "", "proxy-connection: close"},
      {"Keep-Alive: timeout=5", "", ""}};
  for (int i = 0; i < 2000; ++i) {
    std::string path = "/";
    path += text(12);
    std::replace_if(
        path.begin(), path.end(), [](char c) { return c == ' ' || c == '\t'; }, '/');
    LineList lines{"GET http://host:81" + path + " HTTP/1." + std::to_string(random() % 10)};
    std::string block = "HTTP/1.1 200 OK\r\n", fields, answerFields;
    for (std::size_t n = random() % 7; n > 0; --n) {
      const bool special = random() % 4 == 0;
      const auto& forms = connection[random() % std::size(connection)];
      const std::string line =
          special ? forms[0] : names[random() % std::size(names)] + ":" + text(8);
      lines.push_back(line);
      block += line + "\r\n";
      if (const std::string sent = special ? forms[1] : line; !sent.empty())
        fields += sent + "\r\n";
      if (const std::string got = special ? forms[2] : line; !got.empty())
        answerFields += got + "\r\n";
    }
    lines.emplace_back();
    SCOPED_TRACE(block);
    const Request head = JudgeRequest(lines);
    ASSERT_FALSE(head.Refused);
    EXPECT_EQ(head.Line, "GET " + path + " HTTP/1.0");
    EXPECT_EQ(head.Host + ":" + head.PortText, "host:81");
    EXPECT_EQ(head.Fields, fields);
    EXPECT_EQ(AnswerBlock(block + "\r\n"), "HTTP/1.0 200 OK\r\n" + answerFields + "\r\n");
  }
}

// Requests as a client writes them (TARGET stands for the origin's URL), and what the origin
// receives of them (nothing when refused) or the status the client gets instead.
struct FramingCase {
  const char* name;
  std::vector<std::string> writes;  // sent 30 ms apart
  std::string status;
  std::string upstream = {};  // empty: nothing may reach the origin
};

class RequestFramingTest : public ::testing::TestWithParam<FramingCase> {};

TEST_P(RequestFramingTest, ReachesTheOriginAsHttp10OrNotAtAll) {
  test::LoopbackProxy proxy([](std::int32_t) {});
  // Reads until the proxy falls silent, so bytes sent after the request would be seen.
  OriginScript script = ReadUntilQuiet("HTTP/1.0 200 OK\r\n\r\n");
  script.readWaitMs = 200;
  OriginServer origin(script);
  RawClient client = RawClient::ConnectTo(proxy.Port());
  for (std::string write : GetParam().writes) {
    for (std::size_t at; (at = write.find("TARGET")) != std::string::npos;)
      write.replace(at, 6, "http://127.0.0.1:" + std::to_string(origin.Port()));
    ASSERT_TRUE(client.Send(write));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  std::string answer;
  EXPECT_TRUE(client.ReadUntilClosed(answer));
  EXPECT_EQ(answer.substr(0, answer.find("\r\n")), GetParam().status);
  EXPECT_TRUE(proxy.WaitUntilIdle());
  std::string upstream = GetParam().upstream;
  if (const std::size_t at = upstream.find("HOST"); at != std::string::npos)
    upstream.replace(at, 4, "127.0.0.1:" + std::to_string(origin.Port()));
  if (upstream.empty()) {
    EXPECT_TRUE(origin.Requests().empty());
    EXPECT_TRUE(proxy.View().Of("count").empty());
  } else {
    EXPECT_EQ(origin.Requests(), std::vector<std::string>{upstream});
    EXPECT_EQ(proxy.View().Of("upload"),
              std::vector<std::string>{upstream.substr(0, upstream.find("\r\n"))});
  }
}

const std::string kSmuggled = "GET /smuggled HTTP/1.1\r\nHost: h\r\n\r\n";

const std::string kOk = "HTTP/1.0 200 OK";
const std::string kBad = "HTTP/1.0 400 Bad Request";
const std::string kPost = "POST TARGET/ HTTP/1.1\r\n";
const std::string kChunked = kPost + "Transfer-Encoding: chunked\r\n\r\n";

INSTANTIATE_TEST_SUITE_P(
    Requests, RequestFramingTest,
    ::testing::Values(
        FramingCase{
            "OnlyVersionAndConnectionFieldsChange",
            {"  GET TARGET/lib/jquery-1.11.3.min.js?ip=10.1.1.1&k=keep-alive HTTP/1.1 \r\n"
             "Cookie: theme=keep-alive\r\nReferer: http://h/v1.1/keep-alive\r\n"
             "Connection: keep-alive, Upgrade\r\nProxy-Connection: Keep-Alive\r\n"
             "Proxy-Authorization: Basic YWxpY2U6czNjcmV0\r\n"
             "Keep-Alive: 300\r\nVia: 1.1 cache\r\n\r\n"},
            kOk,
            "GET /lib/jquery-1.11.3.min.js?ip=10.1.1.1&k=keep-alive HTTP/1.0\r\n"
            "Host: HOST\r\nCookie: theme=keep-alive\r\nReferer: http://h/v1.1/keep-alive\r\n"
            "Connection: close\r\nVia: 1.1 cache\r\n\r\n"},
        FramingCase{"NoBodyAndAPipelinedRequestStaysBehind",
                    {"GET TARGET/a HTTP/1.2\r\n\r\n" + kSmuggled},
                    kOk,
                    "GET /a HTTP/1.0\r\nHost: HOST\r\n\r\n"},
        FramingCase{"ExactlyTheAnnouncedLength",
                    {kPost + "Content-Length: 5\r\n\r\nhe", "llo" + kSmuggled},
                    kOk,
                    "POST / HTTP/1.0\r\nHost: HOST\r\nContent-Length: 5\r\n\r\nhello"},
        FramingCase{"RepeatedEqualLengthsGoAsOne",
                    {kPost + "content-length: 2, 2\r\nContent-Length: 2\r\n\r\nok"},
                    kOk,
                    "POST / HTTP/1.0\r\nHost: HOST\r\ncontent-length: 2\r\n\r\nok"},
        FramingCase{
            "ChunkedBodyDecodedWithALength",
            {"POST TARGET/up HTTP/1.1\r\nTransfer-Encoding: Chunked\r\nA: b\r\n\r\n5;x=1\r",
             "\nhello\r\n6\r\n wor", "ld\r\n0\r\nTrailer: t\r\n\r\n" + kSmuggled},
            kOk,
            "POST /up HTTP/1.0\r\nHost: HOST\r\nA: b\r\nContent-Length: 11\r\n\r\nhello world"},
        FramingCase{
            "DifferingLengths", {kPost + "Content-Length: 1\r\nContent-Length: 2\r\n\r\nab"}, kBad},
        FramingCase{
            "LengthBeyond64Bits", {kPost + "Content-Length: 99999999999999999999\r\n\r\n"}, kBad},
        FramingCase{"LengthAndChunked",
                    {kPost + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"},
                    kBad},
        FramingCase{"CodingOtherThanChunked",
                    {kPost + "Transfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n"},
                    kBad},
        FramingCase{"FoldedLine", {"GET TARGET/ HTTP/1.1\r\nA: b\r\n c\r\n\r\n"}, kBad},
        FramingCase{"BlankBeforeTheColon", {kPost + "Content-Length : 3\r\n\r\nabc"}, kBad},
        FramingCase{"NulInTheRequestLine", {"GET TARGET/\0x HTTP/1.1\r\n\r\n"s}, kBad},
        FramingCase{"BareCrInTheRequestLine", {"GET TARGET/\rx HTTP/1.1\r\n\r\n"}, kBad},
        FramingCase{"MalformedChunkSize", {kChunked + "5x\r\nhello\r\n"}, kBad},
        FramingCase{"ChunkMissingItsLineEnd", {kChunked + "2\r\nabc\r\n"}, kBad},
        FramingCase{"ChunkedOverTheLimit",
                    {kChunked + "800000\r\n", std::string(0x800000, 'a') + "\r\n800001\r\n"},
                    "HTTP/1.0 413 Content Too Large"},
        FramingCase{"VersionTwo",
                    {"GET TARGET/ HTTP/2.0\r\n\r\n"},
                    "HTTP/1.0 505 HTTP Version Not Supported"}),
    [](const auto& instance) { return std::string(instance.param.name); });

}  // namespace
