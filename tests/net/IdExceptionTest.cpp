#include "net/IdException.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Raises the kind with its own text and checks it is caught as its parent with that text.
template <class Kind, class Parent>
void ExpectKind(const std::string& message) {
  SCOPED_TRACE(message);
  try {
    throw Kind();
  } catch (const Parent& e) {
    EXPECT_EQ(e.Message(), message);
    EXPECT_EQ(std::string(e.what()), message);
    return;
  } catch (...) {
  }
  ADD_FAILURE() << "not caught as its parent";
}

TEST(IdExceptionKinds, FixedTextsAndParents) {
  ExpectKind<EIdConnClosedGracefully, EIdSilentException>("Connection Closed Gracefully.");
  ExpectKind<EIdAlreadyConnected, EIdException>("Already connected.");
  ExpectKind<EIdClosedSocket, EIdException>("Disconnected.");
  ExpectKind<EIdReadTimeout, EIdException>("Read Timeout");
  ExpectKind<EIdReadLnMaxLineLengthExceeded, EIdException>("Max line length exceeded.");
  ExpectKind<EIdConnectTimeout, EIdException>("Connect timed out.");
  ExpectKind<EIdInvalidSocket, EIdException>("Cannot allocate socket.");
  ExpectKind<EIdSocksRequestFailed, EIdSocksError>("Request rejected or failed.");
  ExpectKind<EIdSocksRequestServerFailed, EIdSocksError>(
      "Request rejected because SOCKS server cannot connect.");
  ExpectKind<EIdSocksRequestIdentFailed, EIdSocksError>(
      "Request rejected because the client program and identd report different user-ids.");
  ExpectKind<EIdSocksUnknownError, EIdSocksError>("Unknown socks error.");
  ExpectKind<EIdSocksServerRespondError, EIdSocksError>("Socks server did not respond.");
  ExpectKind<EIdSocksAuthMethodError, EIdSocksError>("Invalid socks authentication method.");
  ExpectKind<EIdSocksAuthError, EIdSocksError>("Authentication error to socks server.");
  ExpectKind<EIdSocksServerGeneralError, EIdSocksError>("General SOCKS server failure.");
  ExpectKind<EIdSocksServerPermissionError, EIdSocksError>("Connection not allowed by ruleset.");
  ExpectKind<EIdSocksServerNetUnreachableError, EIdSocksError>("Network unreachable.");
  ExpectKind<EIdSocksServerHostUnreachableError, EIdSocksError>("Host unreachable.");
  ExpectKind<EIdSocksServerConnectionRefusedError, EIdSocksError>("Connection refused.");
  ExpectKind<EIdSocksServerTTLExpiredError, EIdSocksError>("TTL expired.");
  ExpectKind<EIdSocksServerCommandError, EIdSocksError>("Command not supported.");
  ExpectKind<EIdSocksServerAddressError, EIdSocksError>("Address type not supported.");
  ExpectKind<EIdStackInitializationFailed, EIdStackError>("Winsock Initialization Error.");
  ExpectKind<EIdStackSetSizeExceeded, EIdStackError>("Set Size Exceeded.");
  ExpectKind<EIdCouldNotBindSocket, EIdSocketHandleError>(
      "Could not bind socket. Address and port are already in use.");
  ExpectKind<EIdNotEnoughDataInBuffer, EIdTCPConnectionError>("Not enough data in buffer.");
  ExpectKind<EIdNoDataToRead, EIdTCPConnectionError>("No data to read.");
  ExpectKind<EIdNotConnected, EIdTCPConnectionError>("Not Connected");
  ExpectKind<EIdThreadTerminateAndWaitFor, EIdThreadException>(
      "Cannot call TerminateAndWaitFor on FreeAndTerminate threads");
  ExpectKind<EIdThreadClassNotSpecified, EIdThreadMgrError>("Thread Class Not Specified.");
  ExpectKind<EIdNoExecuteSpecified, EIdTCPServerError>("No execute handler found.");
  ExpectKind<EIdTerminateThreadTimeout, EIdTCPServerError>("Terminate Thread Timeout");
}

// The server tells quiet endings from failures by kind, so only the graceful close is silent.
TEST(IdExceptionKinds, OnlyGracefulCloseIsSilent) {
  auto isSilent = [](auto raise) {
    try {
      raise();
    } catch (const EIdSilentException&) {
      return true;
    } catch (const EIdException&) {
    }
    return false;
  };
  EXPECT_TRUE(isSilent([] { throw EIdConnClosedGracefully(); }));
  EXPECT_FALSE(isSilent([] { throw EIdClosedSocket(); }));
  EXPECT_FALSE(isSilent([] { throw EIdSocketError(10054, "x"); }));
  EXPECT_FALSE(isSilent([] { throw EIdNotConnected(); }));
}

TEST(IdExceptionKinds, FormattedTextsAndNumbers) {
  EXPECT_EQ(EIdInvalidServiceName("nosuch").Message(), "nosuch is not a valid service.");
  EXPECT_EQ(EIdCanNotBindPortInRange(1000, 2000).Message(),
            "Can not bind in port range (1000 - 2000)");
  EXPECT_EQ(EIdInvalidPortRange(-1, 70000).Message(), "Invalid Port Range (-1 - 70000)");
  // A name holding a directive must come through as it is.
  EXPECT_EQ(EIdFileNotFound("%d a.txt").Message(), "File \"%d a.txt\" not found");

  EIdSocketError socketError(10061, "Socket Error # 10061\r\nConnection refused.");
  EXPECT_EQ(socketError.ErrorCode(), 10061);
  EXPECT_EQ(socketError.Message(), "Socket Error # 10061\r\nConnection refused.");
  EIdProtocolReplyError replyError(550, "No such file");
  EXPECT_EQ(replyError.ReplyCode(), 550);
  EXPECT_EQ(replyError.Message(), "No such file");
}

TEST(IdExceptionKinds, StubErrorMessageDependsOnSystemNumber) {
  EIdWS2StubError withNumber("Error on call Winsock2 library function send", 10093, "Not started");
  EXPECT_EQ(withNumber.Message(), "Error on call Winsock2 library function send: Not started");
  EXPECT_EQ(withNumber.Heading(), "Error on call Winsock2 library function send");
  EXPECT_EQ(withNumber.SystemErrorCode(), 10093u);

  EIdWS2StubError withoutNumber("Error on loading Winsock2 library (WS2_32.DLL)", 0, "ignored");
  EXPECT_EQ(withoutNumber.Message(), "Error on loading Winsock2 library (WS2_32.DLL)");
  EXPECT_EQ(withoutNumber.SystemErrorText(), "");
}

}  // namespace
