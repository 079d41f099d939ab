#pragma once

// The network layer's error kinds. Every failure the layer reports is one of these; the grouping
// kinds (EIdSilentException, EIdSocksError, EIdStackError, ...) exist so callers can catch a whole
// family. Kinds with a fixed text get it from their default constructor; every kind also takes an
// explicit message.

#include <cstdint>
#include <string>
#include <string_view>

#include "rtl/Exception.h"

class EIdException : public Exception {
 public:
  using Exception::Exception;
};

// The arguments are class names, which cannot stand in parentheses.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define TRAMLET_ID_GROUP(Kind, Parent) \
  class Kind : public Parent {         \
   public:                             \
    using Parent::Parent;              \
  };

#define TRAMLET_ID_FIXED(Kind, Parent, Text) \
  class Kind : public Parent {               \
   public:                                   \
    using Parent::Parent;                    \
    Kind() : Parent(std::string(Text)) {}    \
  };
// NOLINTEND(bugprone-macro-parentheses)

// Errors that end a connection quietly.
TRAMLET_ID_GROUP(EIdSilentException, EIdException)
TRAMLET_ID_FIXED(EIdConnClosedGracefully, EIdSilentException, "Connection Closed Gracefully.")

TRAMLET_ID_FIXED(EIdAlreadyConnected, EIdException, "Already connected.")
TRAMLET_ID_FIXED(EIdClosedSocket, EIdException, "Disconnected.")
TRAMLET_ID_FIXED(EIdReadTimeout, EIdException, "Read Timeout")
TRAMLET_ID_FIXED(EIdReadLnMaxLineLengthExceeded, EIdException, "Max line length exceeded.")
TRAMLET_ID_FIXED(EIdConnectTimeout, EIdException, "Connect timed out.")
// Carries the message of the error that ended a background connect.
TRAMLET_ID_GROUP(EIdConnectException, EIdException)
// Carries the socket library's error number for the failed creation (0 when none is known), so
// that a caller can tell a lack of descriptors (WSAEMFILE) from other causes.
class EIdInvalidSocket : public EIdException {
 public:
  using EIdException::EIdException;
  explicit EIdInvalidSocket(std::int32_t errorCode = 0)
      : EIdException(std::string("Cannot allocate socket.")), errorCode_(errorCode) {}
  std::int32_t ErrorCode() const noexcept { return errorCode_; }

 private:
  std::int32_t errorCode_ = 0;
};

TRAMLET_ID_GROUP(EIdSocksError, EIdException)
TRAMLET_ID_FIXED(EIdSocksRequestFailed, EIdSocksError, "Request rejected or failed.")
TRAMLET_ID_FIXED(EIdSocksRequestServerFailed, EIdSocksError,
                 "Request rejected because SOCKS server cannot connect.")
TRAMLET_ID_FIXED(EIdSocksRequestIdentFailed, EIdSocksError,
                 "Request rejected because the client program and identd report different "
                 "user-ids.")
TRAMLET_ID_FIXED(EIdSocksUnknownError, EIdSocksError, "Unknown socks error.")
TRAMLET_ID_FIXED(EIdSocksServerRespondError, EIdSocksError, "Socks server did not respond.")
TRAMLET_ID_FIXED(EIdSocksAuthMethodError, EIdSocksError, "Invalid socks authentication method.")
TRAMLET_ID_FIXED(EIdSocksAuthError, EIdSocksError, "Authentication error to socks server.")
TRAMLET_ID_FIXED(EIdSocksServerGeneralError, EIdSocksError, "General SOCKS server failure.")
TRAMLET_ID_FIXED(EIdSocksServerPermissionError, EIdSocksError, "Connection not allowed by ruleset.")
TRAMLET_ID_FIXED(EIdSocksServerNetUnreachableError, EIdSocksError, "Network unreachable.")
TRAMLET_ID_FIXED(EIdSocksServerHostUnreachableError, EIdSocksError, "Host unreachable.")
TRAMLET_ID_FIXED(EIdSocksServerConnectionRefusedError, EIdSocksError, "Connection refused.")
TRAMLET_ID_FIXED(EIdSocksServerTTLExpiredError, EIdSocksError, "TTL expired.")
TRAMLET_ID_FIXED(EIdSocksServerCommandError, EIdSocksError, "Command not supported.")
TRAMLET_ID_FIXED(EIdSocksServerAddressError, EIdSocksError, "Address type not supported.")

TRAMLET_ID_GROUP(EIdStackError, EIdException)
TRAMLET_ID_FIXED(EIdStackInitializationFailed, EIdStackError, "Winsock Initialization Error.")
TRAMLET_ID_FIXED(EIdStackSetSizeExceeded, EIdStackError, "Set Size Exceeded.")

TRAMLET_ID_GROUP(EIdSocketHandleError, EIdException)
TRAMLET_ID_FIXED(EIdCouldNotBindSocket, EIdSocketHandleError,
                 "Could not bind socket. Address and port are already in use.")

TRAMLET_ID_GROUP(EIdTCPConnectionError, EIdException)
TRAMLET_ID_FIXED(EIdNotEnoughDataInBuffer, EIdTCPConnectionError, "Not enough data in buffer.")
TRAMLET_ID_FIXED(EIdNoDataToRead, EIdTCPConnectionError, "No data to read.")
TRAMLET_ID_FIXED(EIdNotConnected, EIdTCPConnectionError, "Not Connected")

TRAMLET_ID_GROUP(EIdThreadException, EIdException)
TRAMLET_ID_FIXED(EIdThreadTerminateAndWaitFor, EIdThreadException,
                 "Cannot call TerminateAndWaitFor on FreeAndTerminate threads")

TRAMLET_ID_GROUP(EIdThreadMgrError, EIdException)
TRAMLET_ID_FIXED(EIdThreadClassNotSpecified, EIdThreadMgrError, "Thread Class Not Specified.")

// Raised with "No command handler found." or with an empty message.
TRAMLET_ID_GROUP(EIdTCPServerError, EIdException)
TRAMLET_ID_FIXED(EIdNoExecuteSpecified, EIdTCPServerError, "No execute handler found.")
TRAMLET_ID_FIXED(EIdTerminateThreadTimeout, EIdTCPServerError, "Terminate Thread Timeout")

#undef TRAMLET_ID_GROUP
#undef TRAMLET_ID_FIXED

// Texts raised with the plain or grouping kinds above.
inline constexpr std::string_view RSOnlyOneAntiFreeze =
    "Only one TIdAntiFreeze can exist per application.";
inline constexpr std::string_view RSNoCommandHandlerFound = "No command handler found.";

// A failed socket call; the message comes from TIdStack::SocketErrorText.
class EIdSocketError : public EIdException {
 public:
  EIdSocketError(std::int32_t errorCode, std::string message)
      : EIdException(std::move(message)), errorCode_(errorCode) {}
  std::int32_t ErrorCode() const noexcept { return errorCode_; }

 private:
  std::int32_t errorCode_;
};

// A numeric protocol reply that was not among the expected ones; the message is the reply's text.
class EIdProtocolReplyError : public EIdException {
 public:
  EIdProtocolReplyError(std::int32_t replyCode, std::string message)
      : EIdException(std::move(message)), replyCode_(replyCode) {}
  std::int32_t ReplyCode() const noexcept { return replyCode_; }

 private:
  std::int32_t replyCode_;
};

// A failure to reach the socket library. The message is the heading, followed by ": " and the
// system's text when there is a system error number.
class EIdWS2StubError : public EIdException {
 public:
  EIdWS2StubError(std::string heading, std::uint32_t systemErrorCode, std::string systemErrorText);

  std::uint32_t SystemErrorCode() const noexcept { return systemErrorCode_; }
  const std::string& SystemErrorText() const noexcept { return systemErrorText_; }
  const std::string& Heading() const noexcept { return heading_; }

 private:
  std::uint32_t systemErrorCode_;
  std::string systemErrorText_;
  std::string heading_;
};

// "%s is not a valid service."
class EIdInvalidServiceName : public EIdException {
 public:
  explicit EIdInvalidServiceName(std::string_view serviceName);
};

// "Can not bind in port range (%d - %d)"
class EIdCanNotBindPortInRange : public EIdSocketHandleError {
 public:
  EIdCanNotBindPortInRange(std::int32_t portMin, std::int32_t portMax);
};

// "Invalid Port Range (%d - %d)"
class EIdInvalidPortRange : public EIdSocketHandleError {
 public:
  EIdInvalidPortRange(std::int32_t portMin, std::int32_t portMax);
};

// File "name" not found
class EIdFileNotFound : public EIdTCPConnectionError {
 public:
  explicit EIdFileNotFound(std::string_view fileName);
};
