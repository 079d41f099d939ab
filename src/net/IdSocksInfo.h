#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "net/IdComponent.h"

class TIdIOHandlerSocket;

enum TSocksVersion { svNoSocks, svSocks4, svSocks4A, svSocks5 };
enum TSocksAuthentication { saNoAuthentication, saUsernamePassword };

// The settings for reaching a target through a SOCKS server, and the client side of the SOCKS 4,
// 4A and 5 CONNECT exchanges. The socket I/O handler connects to the server named here and then
// calls Negotiate; when it returns, the socket carries the target's byte stream from the next byte.
//
// Every reply is gathered to its full size before it is read, so a server that answers in pieces
// cannot leave part of a reply in the stream. User names, passwords and host names that do not fit
// the message formats, and ports outside 0..65535, are refused before anything is sent.
//
// Ownership: OwnerHandler is not owned. A handler either keeps a private settings object (one
// without a component owner) or uses a shared one (with a component owner) that it watches
// through removal notification; this object likewise forgets OwnerHandler when that goes.
class TIdSocksInfo : public TIdComponent {
 public:
  static constexpr std::int32_t DefaultPort = 1080;
  // One length byte carries each of these fields in SOCKS 5; SOCKS 4 gets the same bound.
  static constexpr std::size_t MaxFieldLength = 255;

  explicit TIdSocksInfo(rtl::TComponent* owner = nullptr);
  ~TIdSocksInfo() override;

  TSocksVersion Version() const { return version_; }
  void SetVersion(TSocksVersion value) { version_ = value; }
  const std::string& Host() const { return host_; }
  void SetHost(std::string value) { host_ = std::move(value); }
  std::int32_t Port() const { return port_; }
  void SetPort(std::int32_t value) { port_ = value; }
  TSocksAuthentication Authentication() const { return authentication_; }
  void SetAuthentication(TSocksAuthentication value) { authentication_ = value; }
  const std::string& Username() const { return username_; }
  void SetUsername(std::string value) { username_ = std::move(value); }
  const std::string& Password() const { return password_; }
  void SetPassword(std::string value) { password_ = std::move(value); }
  TIdIOHandlerSocket* OwnerHandler() const { return ownerHandler_; }
  void SetOwnerHandler(TIdIOHandlerSocket* value);

  // Copies Authentication, Host, Password, Port, Username and Version.
  void Assign(const TIdSocksInfo& source);

  // Runs the exchange that Version names for the target host:port over OwnerHandler's socket;
  // does nothing for svNoSocks. Failures raise EIdSocksError kinds; a failed send raises as the
  // socket layer reports it; without an OwnerHandler, EIdClosedSocket.
  void Negotiate(const std::string& host, std::int32_t port);

 protected:
  virtual void NegotiateSocks4(const std::string& host, std::int32_t port);
  virtual void NegotiateSocks5(const std::string& host, std::int32_t port);
  void Notification(rtl::TComponent* component, rtl::TOperation operation) override;

 private:
  // Refuses what the messages cannot carry, before the first byte goes out.
  void CheckFields(const std::string& host, std::int32_t port) const;
  void SendMessage(const std::string& message);
  // Fills count bytes, or raises EIdSocksServerRespondError when the server closes or fails first.
  void ReceiveReply(void* buffer, std::int32_t count);

  TSocksVersion version_ = svNoSocks;
  std::string host_;
  std::int32_t port_ = DefaultPort;
  TSocksAuthentication authentication_ = saNoAuthentication;
  std::string username_;
  std::string password_;
  TIdIOHandlerSocket* ownerHandler_ = nullptr;
};
