#include "net/IdException.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

// One kind: how to raise it with its own text, the text, and whether it is caught as its parent.
struct KindCase {
  std::string name;
  std::function<void()> raise;
  std::string message;
  std::function<bool()> caughtAsParent;
};

template <class Kind, class Parent>
KindCase Case(std::string name, std::string message) {
  return {std::move(name), [] { throw Kind(); }, std::move(message),
          [] {
            try {
              throw Kind();
            } catch (const Parent&) {
              return true;
            } catch (...) {
              return false;
            }
          }};
}

std::vector<KindCase> FixedTextKinds() {
  return {
      Case<EIdConnClosedGracefully, EIdSilentException>("EIdConnClosedGracefully",
                                                        "Connection Closed Gracefully."),
      Case<EIdAlreadyConnected, EIdException>("EIdAlreadyConnected", "Already connected."),
      Case<EIdClosedSocket, EIdException>("EIdClosedSocket", "Disconnected."),
      Case<EIdReadTimeout, EIdException>("EIdReadTimeout", "Read Timeout"),
      Case<EIdReadLnMaxLineLengthExceeded, EIdException>("EIdReadLnMaxLineLengthExceeded",
                                                         "Max line length exceeded."),
      Case<EIdConnectTimeout, EIdException>("EIdConnectTimeout", "Connect timed out."),
      Case<EIdInvalidSocket, EIdException>("EIdInvalidSocket", "Cannot allocate socket."),
      Case<EIdSocksRequestFailed, EIdSocksError>("EIdSocksRequestFailed",
                                                 "Request rejected or failed."),
      Case<EIdSocksRequestServerFailed, EIdSocksError>(
          "EIdSocksRequestServerFailed", "Request rejected because SOCKS server cannot connect."),
      Case<EIdSocksRequestIdentFailed, EIdSocksError>(
          "EIdSocksRequestIdentFailed",
          "Request rejected because the client program and identd report different user-ids."),
      Case<EIdSocksUnknownError, EIdSocksError>("EIdSocksUnknownError", "Unknown socks error."),
      Case<EIdSocksServerRespondError, EIdSocksError>("EIdSocksServerRespondError",
                                                      "Socks server did not respond."),
      Case<EIdSocksAuthMethodError, EIdSocksError>("EIdSocksAuthMethodError",
                                                   "Invalid socks authentication method."),
      Case<EIdSocksAuthError, EIdSocksError>("EIdSocksAuthError",
                                             "Authentication error to socks server."),
      Case<EIdSocksServerGeneralError, EIdSocksError>("EIdSocksServerGeneralError",
                                                      "General SOCKS server failure."),
      Case<EIdSocksServerPermissionError, EIdSocksError>("EIdSocksServerPermissionError",
                                                         "Connection not allowed by ruleset."),
      Case<EIdSocksServerNetUnreachableError, EIdSocksError>("EIdSocksServerNetUnreachableError",
                                                             "Network unreachable."),
      Case<EIdSocksServerHostUnreachableError, EIdSocksError>("EIdSocksServerHostUnreachableError",
                                                              "Host unreachable."),
      Case<EIdSocksServerConnectionRefusedError, EIdSocksError>(
          "EIdSocksServerConnectionRefusedError", "Connection refused."),
      Case<EIdSocksServerTTLExpiredError, EIdSocksError>("EIdSocksServerTTLExpiredError",
                                                         "TTL expired."),
      Case<EIdSocksServerCommandError, EIdSocksError>("EIdSocksServerCommandError",
                                                      "Command not supported."),
      Case<EIdSocksServerAddressError, EIdSocksError>("EIdSocksServerAddressError",
                                                      "Address type not supported."),
      Case<EIdStackInitializationFailed, EIdStackError>("EIdStackInitializationFailed",
                                                        "Winsock Initialization Error."),
      Case<EIdStackSetSizeExceeded, EIdStackError>("EIdStackSetSizeExceeded", "Set Size Exceeded."),
      Case<EIdCouldNotBindSocket, EIdSocketHandleError>(
          "EIdCouldNotBindSocket", "Could not bind socket. Address and port are already in use."),
      Case<EIdNotEnoughDataInBuffer, EIdTCPConnectionError>("EIdNotEnoughDataInBuffer",
                                                            "Not enough data in buffer."),
      Case<EIdNoDataToRead, EIdTCPConnectionError>("EIdNoDataToRead", "No data to read."),
      Case<EIdNotConnected, EIdTCPConnectionError>("EIdNotConnected", "Not Connected"),
      Case<EIdThreadTerminateAndWaitFor, EIdThreadException>(
          "EIdThreadTerminateAndWaitFor",
          "Cannot call TerminateAndWaitFor on FreeAndTerminate threads"),
      Case<EIdThreadClassNotSpecified, EIdThreadMgrError>("EIdThreadClassNotSpecified",
                                                          "Thread Class Not Specified."),
      Case<EIdNoExecuteSpecified, EIdTCPServerError>("EIdNoExecuteSpecified",
                                                     "No execute handler found."),
      Case<EIdTerminateThreadTimeout, EIdTCPServerError>("EIdTerminateThreadTimeout",
                                                         "Terminate Thread Timeout"),
  };
}

TEST(IdExceptionKinds, FixedTextsAndParents) {
  for (const KindCase& kind : FixedTextKinds()) {
    SCOPED_TRACE(kind.name);
    try {
      kind.raise();
      ADD_FAILURE() << "nothing raised";
    } catch (const EIdException& e) {
      EXPECT_EQ(e.Message(), kind.message);
      EXPECT_STREQ(e.what(), kind.message.c_str());
    }
    EXPECT_TRUE(kind.caughtAsParent());
  }
}

// The server tells quiet endings from real failures by kind, so the families must not overlap.
TEST(IdExceptionKinds, FamiliesStaySeparate) {
  auto isSilent = [](const std::function<void()>& raise) {
    try {
      raise();
    } catch (const EIdSilentException&) {
      return true;
    } catch (const EIdException&) {
      return false;
    }
    return false;
  };
  EXPECT_TRUE(isSilent([] { throw EIdConnClosedGracefully(); }));
  EXPECT_FALSE(isSilent([] { throw EIdClosedSocket(); }));
  EXPECT_FALSE(isSilent([] { throw EIdSocketError(10054, "x"); }));
  EXPECT_FALSE(isSilent([] { throw EIdNotConnected(); }));

  bool caughtAsHandleError = false;
  try {
    throw EIdStackSetSizeExceeded();
  } catch (const EIdSocketHandleError&) {
    caughtAsHandleError = true;
  } catch (const EIdStackError&) {
  }
  EXPECT_FALSE(caughtAsHandleError);
}

TEST(IdExceptionKinds, FormattedTexts) {
  EXPECT_EQ(EIdInvalidServiceName("nosuch").Message(), "nosuch is not a valid service.");
  EXPECT_EQ(EIdCanNotBindPortInRange(1000, 2000).Message(),
            "Can not bind in port range (1000 - 2000)");
  EXPECT_EQ(EIdInvalidPortRange(-1, 70000).Message(), "Invalid Port Range (-1 - 70000)");
  EXPECT_EQ(EIdFileNotFound("C:\\a b.txt").Message(), "File \"C:\\a b.txt\" not found");
  // A file name holding a directive must come through as it is.
  EXPECT_EQ(EIdFileNotFound("%d%s").Message(), "File \"%d%s\" not found");

  bool caught = false;
  try {
    throw EIdFileNotFound("x");
  } catch (const EIdTCPConnectionError&) {
    caught = true;
  }
  EXPECT_TRUE(caught);
}

TEST(IdExceptionKinds, ErrorsCarryTheirNumbers) {
  EIdSocketError socketError(10061, "Socket Error # 10061\r\nConnection refused.");
  EXPECT_EQ(socketError.ErrorCode(), 10061);
  EXPECT_EQ(socketError.Message(), "Socket Error # 10061\r\nConnection refused.");

  EIdProtocolReplyError replyError(550, "No such file");
  EXPECT_EQ(replyError.ReplyCode(), 550);
  EXPECT_EQ(replyError.Message(), "No such file");

  EIdTCPServerError empty("");
  EXPECT_EQ(empty.Message(), "");
  EXPECT_EQ(EIdTCPServerError(std::string(RSNoCommandHandlerFound)).Message(),
            "No command handler found.");
  EXPECT_EQ(EIdException(std::string(RSOnlyOneAntiFreeze)).Message(),
            "Only one TIdAntiFreeze can exist per application.");
}

TEST(IdExceptionKinds, StubErrorMessageDependsOnSystemNumber) {
  EIdWS2StubError withNumber("Error on call Winsock2 library function send", 10093, "Not started");
  EXPECT_EQ(withNumber.Message(), "Error on call Winsock2 library function send: Not started");
  EXPECT_EQ(withNumber.Heading(), "Error on call Winsock2 library function send");
  EXPECT_EQ(withNumber.SystemErrorCode(), 10093u);
  EXPECT_EQ(withNumber.SystemErrorText(), "Not started");

  EIdWS2StubError withoutNumber("Error on loading Winsock2 library (WS2_32.DLL)", 0, "ignored");
  EXPECT_EQ(withoutNumber.Message(), "Error on loading Winsock2 library (WS2_32.DLL)");
  EXPECT_EQ(withoutNumber.SystemErrorText(), "");
}

}  // namespace
