#include "net/IdCommandHandlers.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ServerTestSupport.h"
#include "net/IdException.h"
#include "support/Subprocess.h"

namespace {

using test::EventLog;
using test::MakeLoopbackServer;
using test::PortOf;
using Lines = std::vector<std::string>;

// --- Matching and parameters, without a connection -------------------------------------------

TEST(CommandMatchTest, CommandWordIgnoresCaseAndNeedsItsDelimiter) {
  const struct {
    const char* command;
    char delimiter;
    const char* line;
    bool matches;
    const char* params;
  } cases[] = {
      {"QUIT", ' ', "quit", true, ""},
      {"QUIT", ' ', "QUIT now", true, "now"},
      {"QUIT", ' ', "Quit  two spaces", true, " two spaces"},
      {"QUIT", ' ', "QUITE", false, ""},
      {"QUIT", ' ', "QUI", false, ""},
      {"QUIT", ' ', "QUIT", true, ""},
      {"SET", ':', "set:a b", true, "a b"},
      {"SET", ':', "SET a", false, ""},
      {"SEND", '\0', "sendxyz", true, "xyz"},
      {"SEND", '\0', "SEND xyz", true, " xyz"},
      {"SEND", '\0', "SEN", false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.command) + " / " + c.line);
    TIdCommandHandler handler;
    handler.SetCommand(c.command);
    handler.SetCmdDelimiter(c.delimiter);
    std::string params = "untouched";
    EXPECT_EQ(c.matches, handler.Matches(c.line, params));
    if (c.matches) {
      EXPECT_EQ(c.params, params);
    }
  }
}

TEST(CommandMatchTest, ParametersSplitAtSpacesUntrimmedAndAtOtherDelimitersTrimmed) {
  EXPECT_EQ((Lines{"a", "b"}), SplitAtDelimiter("a  b", ' '));
  EXPECT_EQ((Lines{"a"}), SplitAtDelimiter(" a ", ' '));
  EXPECT_EQ((Lines{"a\tb", "c"}), SplitAtDelimiter("a\tb c", ' '));
  EXPECT_EQ(Lines{}, SplitAtDelimiter("", ' '));

  EXPECT_EQ((Lines{"a", "", "b"}), SplitAndTrim(" a , ,b,, ", ','));
  EXPECT_EQ((Lines{"a", "b"}), SplitAndTrim("\ta\t,\tb\r\n", ','));
  EXPECT_EQ(Lines{"x"}, SplitAndTrim("x", ','));
  EXPECT_EQ(Lines{}, SplitAndTrim(" \t ", ','));
}

// --- A line-protocol server driven by real clients --------------------------------------------

enum class Unmatched { Event, Reply, Nothing };

// Greets with 220 and serves a handful of commands; Unmatched says what answers unknown lines.
std::unique_ptr<TIdTCPServer> MakeCommandServer(Unmatched unmatched, EventLog& log) {
  auto server = MakeLoopbackServer();
  server->Greeting().SetReply(220, "ready");
  server->SetReplyExceptionCode(451);
  server->ReplyTexts().Add()->SetReply(252, "text from the table");
  auto add = [&](const char* command) {
    TIdCommandHandler* handler = server->CommandHandlers().Add();
    handler->SetCommand(command);
    return handler;
  };

  add("HELO")->OnCommand = [](TIdCommand* c) {
    c->Reply().SetReply(250, "hello " + (c->Params().empty() ? "" : c->Params()[0]));
  };
  add("EHLO")->ReplyNormal().SetReply(250, "first\nsecond\nthird");
  TIdCommandHandler* echo = add("ECHO");
  echo->SetParamDelimiter(',');
  echo->OnCommand = [](TIdCommand* c) {
    std::string joined;
    for (const auto& p : c->Params())
      joined += (joined.empty() ? "" : "|") + p;
    c->Reply().SetReply(250, joined);
  };
  TIdCommandHandler* send = add("SEND");
  send->SetCmdDelimiter('\0');
  send->OnCommand = [](TIdCommand* c) { c->Reply().SetReply(250, "got " + c->UnparsedParams()); };
  add("FAIL")->OnCommand = [](TIdCommand*) { throw Exception("it broke"); };
  TIdCommandHandler* oops = add("OOPS");
  oops->SetReplyExceptionCode(554);
  oops->OnCommand = [](TIdCommand*) { throw Exception("handler code wins"); };
  add("DFLT")->ReplyNormal().SetNumericCode(252);
  TIdCommandHandler* list = add("LIST");
  list->ReplyNormal().SetReply(250, "list follows");
  list->Response() = {"alpha", ".", "beta"};
  list->OnCommand = [](TIdCommand* c) {
    if (!c->Params().empty()) c->Response() = {c->Params()[0], "."};
  };
  add("CRASH")->OnCommand = [](TIdCommand* c) {
    c->SetPerformReply(false);  // too late for an error reply
    throw Exception("crashed");
  };
  add("NOPE")->SetEnabled(false);
  TIdCommandHandler* quit = add("QUIT");
  quit->ReplyNormal().SetReply(221, "bye");
  quit->SetDisconnect(true);

  switch (unmatched) {
    case Unmatched::Event:
      server->OnNoCommandHandler = [](TIdTCPServer*, const std::string& AData,
                                      TIdPeerThread* AThread) {
        AThread->Connection()->WriteLine("500 event saw " + AData);
      };
      break;
    case Unmatched::Reply:
      server->ReplyUnknownCommand().SetReply(500, "unknown command");
      break;
    case Unmatched::Nothing:
      break;
  }
  server->OnBeforeCommandHandler = [&log](TIdTCPServer*, const std::string& AData, TIdPeerThread*) {
    log.Add("before " + AData);
  };
  server->OnAfterCommandHandler = [&log](TIdTCPServer*, TIdPeerThread*) { log.Add("after"); };
  server->OnException = [&log](TIdPeerThread*, const std::exception& e) {
    log.Add(std::string("exception ") + e.what());
  };
  server->OnDisconnect = [&log](TIdPeerThread*) { log.Add("disconnect"); };
  return server;
}

int CountStartingWith(const Lines& events, const std::string& prefix) {
  int n = 0;
  for (const auto& e : events)
    n += e.rfind(prefix, 0) == 0;
  return n;
}

TEST(CommandServerTest, AnSmtpClientGetsRepliesMultiLineRepliesAndErrorReplies) {
  if (!test::HaveProgram("python3")) GTEST_SKIP() << "python3 is not installed";
  EventLog log;
  auto server = MakeCommandServer(Unmatched::Reply, log);
  server->SetActive(true);

  const std::string script = R"(
import smtplib, sys
s = smtplib.SMTP('127.0.0.1', int(sys.argv[1]), timeout=10)
def show(reply): print(reply[0], reply[1].decode())
show(s.helo('me'))
show(s.ehlo('me'))
show(s.docmd('ECHO', ' a , b,,c '))
show(s.docmd('SENDxyz'))
show(s.docmd('FAIL'))
show(s.docmd('OOPS'))
show(s.docmd('DFLT'))
show(s.docmd('WHAT', 'now'))
show(s.docmd('NOPE'))
show(s.quit())
)";
  const auto output = test::RunAndCapture(
      "timeout 20 python3 - " + std::to_string(PortOf(*server)) + " <<'EOF'\n" + script + "EOF\n");
  ASSERT_TRUE(output.has_value()) << "the client failed";
  EXPECT_EQ(
      "250 hello me\n"
      "250 first\nsecond\nthird\n"
      "250 a|b|c\n"
      "250 got xyz\n"
      "451 it broke\n"
      "554 handler code wins\n"
      "252 text from the table\n"
      "500 unknown command\n"
      "500 unknown command\n"
      "221 bye\n",
      *output);
  ASSERT_TRUE(log.WaitFor("disconnect"));
  const Lines events = log.Events();
  EXPECT_EQ(10, CountStartingWith(events, "before "));
  EXPECT_EQ(10, CountStartingWith(events, "after"));
  EXPECT_EQ(1, log.Count("before helo me")) << "the line is passed as it came";
  EXPECT_EQ(0, CountStartingWith(events, "exception")) << "error replies end nothing";
}

TEST(CommandServerTest, RawLineClientSeesDotStuffedBlocksAndEachUnmatchedOutcome) {
  if (!test::HaveProgram("nc")) GTEST_SKIP() << "nc is not installed";
  const struct {
    const char* name;
    Unmatched unmatched;
    const char* input;
    const char* expected;
    const char* exception;  // what OnException saw, if anything
    int dispatched;         // lines that reached the before event
  } cases[] = {
      {"handler response, dot-stuffed", Unmatched::Reply, "LIST\r\nQUIT\r\n",
       "220 ready\r\n250 list follows\r\nalpha\r\n..\r\nbeta\r\n.\r\n221 bye\r\n", nullptr, 2},
      {"command's own response", Unmatched::Reply, "list mine\r\nQUIT\r\n",
       "220 ready\r\n250 list follows\r\nmine\r\n..\r\n.\r\n221 bye\r\n", nullptr, 2},
      {"empty lines are not dispatched", Unmatched::Reply, "\r\n\r\nHELO x\r\nQUIT\r\n",
       "220 ready\r\n250 hello x\r\n221 bye\r\n", nullptr, 2},
      {"unmatched: event", Unmatched::Event, "WHAT now\r\nHELO x\r\nQUIT\r\n",
       "220 ready\r\n500 event saw WHAT now\r\n250 hello x\r\n221 bye\r\n", nullptr, 3},
      {"unmatched: reply", Unmatched::Reply, "WHAT now\r\nHELO x\r\nQUIT\r\n",
       "220 ready\r\n500 unknown command\r\n250 hello x\r\n221 bye\r\n", nullptr, 3},
      {"unmatched: error ends the run", Unmatched::Nothing, "WHAT now\r\n", "220 ready\r\n",
       "exception No command handler found.", 1},
      {"error after the reply was given up", Unmatched::Reply, "CRASH\r\n", "220 ready\r\n",
       "exception crashed", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EventLog log;
    auto server = MakeCommandServer(c.unmatched, log);
    server->SetActive(true);
    // The status does not matter: nc may see the server's close as a reset.
    const auto output =
        test::RunAndCapture("printf '" + std::string(c.input) + "' | timeout 10 nc 127.0.0.1 " +
                            std::to_string(PortOf(*server)) + "; true");
    ASSERT_TRUE(output.has_value());
    EXPECT_EQ(c.expected, *output);
    ASSERT_TRUE(log.WaitFor("disconnect"));
    const Lines events = log.Events();
    EXPECT_EQ(c.dispatched, CountStartingWith(events, "before "));
    EXPECT_EQ(c.dispatched, CountStartingWith(events, "after"));
    if (c.exception)
      EXPECT_EQ(1, log.Count(c.exception));
    else
      EXPECT_EQ(0, CountStartingWith(events, "exception"));
  }
}

TEST(CommandServerTest, HandlersStepAsideWhenDisabledForTheServer) {
  EventLog log;
  auto server = MakeCommandServer(Unmatched::Reply, log);
  server->SetCommandHandlersEnabled(false);
  server->OnExecute = [](TIdPeerThread* AThread) {
    TIdTCPServerConnection* connection = AThread->Connection();
    connection->WriteLine("execute got " + connection->ReadLine());
    connection->Disconnect();
  };
  server->SetActive(true);
  test::RawClient client;
  ASSERT_TRUE(client.Connect(PortOf(*server)));
  ASSERT_TRUE(client.Send("QUIT\r\n"));
  EXPECT_EQ("220 ready\r\nexecute got QUIT\r\n", client.ReadToClose());
}

}  // namespace
