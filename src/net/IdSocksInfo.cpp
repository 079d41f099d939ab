#include "net/IdSocksInfo.h"

#include <cstring>

#include "net/IdException.h"
#include "net/IdIOHandlerSocket.h"
#include "net/IdStack.h"
#include "rtl/Format.h"

namespace {

constexpr char kSocks4Version = 4;
constexpr char kSocks5Version = 5;
constexpr char kConnectCommand = 1;
constexpr std::uint8_t kSocks4Granted = 90;
constexpr std::int32_t kSocks4ReplySize = 8;
constexpr std::uint8_t kMethodNone = 0;
constexpr std::uint8_t kMethodUsernamePassword = 2;
constexpr std::uint8_t kAddressIPv4 = 1;
constexpr std::uint8_t kAddressDomain = 3;
constexpr std::uint8_t kAddressIPv6 = 4;

void AppendPort(std::string& message, std::int32_t port) {
  message += static_cast<char>((port >> 8) & 0xFF);
  message += static_cast<char>(port & 0xFF);
}

void AppendCounted(std::string& message, const std::string& field) {
  message += static_cast<char>(field.size());
  message += field;
}

void CheckLength(const std::string& field, const char* what) {
  if (field.size() > TIdSocksInfo::MaxFieldLength)
    throw EIdSocksError(Format("SOCKS %s is longer than %d bytes.", what,
                               static_cast<std::int32_t>(TIdSocksInfo::MaxFieldLength)));
}

// SOCKS 4 ends these fields with a zero byte; one inside would cut the field short and turn the
// rest into a different request.
void CheckNoZeroByte(const std::string& field, const char* what) {
  if (field.find('\0') != std::string::npos)
    throw EIdSocksError(Format("SOCKS %s contains a zero byte.", what));
}

void RaiseSocks4Reply(std::uint8_t code) {
  switch (code) {
    case 91:
      throw EIdSocksRequestFailed();
    case 92:
      throw EIdSocksRequestServerFailed();
    case 93:
      throw EIdSocksRequestIdentFailed();
    default:
      throw EIdSocksUnknownError();
  }
}

void RaiseSocks5Reply(std::uint8_t code) {
  switch (code) {
    case 1:
      throw EIdSocksServerGeneralError();
    case 2:
      throw EIdSocksServerPermissionError();
    case 3:
      throw EIdSocksServerNetUnreachableError();
    case 4:
      throw EIdSocksServerHostUnreachableError();
    case 5:
      throw EIdSocksServerConnectionRefusedError();
    case 6:
      throw EIdSocksServerTTLExpiredError();
    case 7:
      throw EIdSocksServerCommandError();
    case 8:
      throw EIdSocksServerAddressError();
    default:
      throw EIdSocksUnknownError();
  }
}

}  // namespace

TIdSocksInfo::TIdSocksInfo(rtl::TComponent* owner) : TIdComponent(owner) {}

TIdSocksInfo::~TIdSocksInfo() = default;

void TIdSocksInfo::SetOwnerHandler(TIdIOHandlerSocket* value) {
  if (value == ownerHandler_) return;
  if (ownerHandler_) RemoveFreeNotification(ownerHandler_);
  ownerHandler_ = value;
  // Watched, so that a handler destroyed first leaves no dangling pointer here.
  if (value) FreeNotification(value);
}

void TIdSocksInfo::Notification(rtl::TComponent* component, rtl::TOperation operation) {
  TIdComponent::Notification(component, operation);
  if (operation == rtl::TOperation::opRemove && component != nullptr &&
      component == static_cast<rtl::TComponent*>(ownerHandler_))
    ownerHandler_ = nullptr;
}

void TIdSocksInfo::Assign(const TIdSocksInfo& source) {
  if (&source == this) return;
  authentication_ = source.authentication_;
  host_ = source.host_;
  password_ = source.password_;
  port_ = source.port_;
  username_ = source.username_;
  version_ = source.version_;
}

void TIdSocksInfo::Negotiate(const std::string& host, std::int32_t port) {
  switch (version_) {
    case svSocks4:
    case svSocks4A:
      NegotiateSocks4(host, port);
      break;
    case svSocks5:
      NegotiateSocks5(host, port);
      break;
    case svNoSocks:
      break;
  }
}

void TIdSocksInfo::CheckFields(const std::string& host, std::int32_t port) const {
  if (port < 0 || port > 0xFFFF) throw EIdSocksError(Format("Invalid SOCKS target port %d.", port));
  CheckLength(username_, "user name");
  if (version_ == svSocks5) {
    if (authentication_ == saUsernamePassword) CheckLength(password_, "password");
    CheckLength(host, "host name");
    return;
  }
  CheckNoZeroByte(username_, "user name");
  if (version_ == svSocks4A) {
    CheckLength(host, "host name");
    CheckNoZeroByte(host, "host name");
  }
}

void TIdSocksInfo::NegotiateSocks4(const std::string& host, std::int32_t port) {
  CheckFields(host, port);
  std::string request{kSocks4Version, kConnectCommand};
  AppendPort(request, port);
  if (version_ == svSocks4A) {
    // 0.0.0.1 tells the server that the name follows and it resolves it itself.
    request += std::string("\0\0\0\1", 4);
  } else {
    TIdStack* stack = GlobalStack();
    const winsock::u_long address = stack->TextToAddressValue(stack->HostToAddress(host));
    char bytes[4];
    std::memcpy(bytes, &address, sizeof bytes);
    request.append(bytes, sizeof bytes);
  }
  request += username_;
  request += '\0';
  if (version_ == svSocks4A) {
    request += host;
    request += '\0';
  }
  SendMessage(request);

  std::uint8_t reply[kSocks4ReplySize];
  ReceiveReply(reply, kSocks4ReplySize);
  if (reply[1] != kSocks4Granted) RaiseSocks4Reply(reply[1]);
}

void TIdSocksInfo::NegotiateSocks5(const std::string& host, std::int32_t port) {
  CheckFields(host, port);
  const bool withPassword = authentication_ == saUsernamePassword;
  const std::uint8_t method = withPassword ? kMethodUsernamePassword : kMethodNone;
  SendMessage(std::string{kSocks5Version, 1, static_cast<char>(method)});
  std::uint8_t reply[5];
  ReceiveReply(reply, 2);
  if (reply[1] != method || reply[1] == 0xFF) throw EIdSocksAuthMethodError();

  if (withPassword) {
    std::string login(1, '\1');  // version of the login exchange
    AppendCounted(login, username_);
    AppendCounted(login, password_);
    SendMessage(login);
    ReceiveReply(reply, 2);
    if (reply[1] != 0) throw EIdSocksAuthError();
  }

  // The target always travels as a name, even a dotted one: the server resolves it.
  std::string request{kSocks5Version, kConnectCommand, 0, static_cast<char>(kAddressDomain)};
  AppendCounted(request, host);
  AppendPort(request, port);
  SendMessage(request);

  // Version, reply code, reserved, address type and the first byte of the bound address.
  ReceiveReply(reply, 5);
  if (reply[1] != 0) RaiseSocks5Reply(reply[1]);
  std::int32_t rest = 0;
  switch (reply[3]) {
    case kAddressIPv4:
      rest = 3 + 2;
      break;
    case kAddressDomain:
      rest = reply[4] + 2;
      break;
    case kAddressIPv6:
      rest = 15 + 2;
      break;
    default:
      // Without the address length the target's first byte cannot be found.
      throw EIdSocksUnknownError();
  }
  // The bound address is not used; it is read only so the stream starts at the target's data.
  std::uint8_t bound[255 + 2];
  ReceiveReply(bound, rest);
}

void TIdSocksInfo::SendMessage(const std::string& message) {
  if (!ownerHandler_) throw EIdClosedSocket();
  const char* data = message.data();
  std::int32_t left = static_cast<std::int32_t>(message.size());
  while (left > 0) {
    const std::int32_t sent = ownerHandler_->Send(data, left);
    if (sent < 0) GlobalStack()->CheckSocketResult(Id_SOCKET_ERROR);  // raises EIdSocketError
    if (sent <= 0) throw EIdConnClosedGracefully();
    data += sent;
    left -= sent;
  }
}

void TIdSocksInfo::ReceiveReply(void* buffer, std::int32_t count) {
  if (!ownerHandler_) throw EIdClosedSocket();
  auto* at = static_cast<char*>(buffer);
  std::int32_t got = 0;
  try {
    while (got < count) {
      const std::int32_t n = ownerHandler_->Receive(at + got, count - got);
      if (n <= 0) throw EIdSocksServerRespondError();
      got += n;
    }
  } catch (const EIdSocksServerRespondError&) {
    throw;
  } catch (...) {
    // Whatever stopped the reply, for the caller the server did not answer.
    throw EIdSocksServerRespondError();
  }
}
