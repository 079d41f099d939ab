#pragma once

#include <cstdint>
#include <string>

#include "net/IdTCPConnection.h"

// An outbound TCP connection: a target Host and Port, an optional local binding, and Connect.
//
// Connect makes a TIdIOHandlerSocket when the client has no I/O handler (owned by the client, with
// the client's OnStatus at that moment) and reuses it on later connects. Every failure after the
// already-connected check drops the socket before the error reaches the caller. Setting Host or
// Port only stores the value for the next Connect.
class TIdTCPClient : public TIdTCPConnection {
 public:
  explicit TIdTCPClient(rtl::TComponent* owner = nullptr);
  ~TIdTCPClient() override;

  const std::string& Host() const { return host_; }
  virtual void SetHost(std::string value) { host_ = std::move(value); }
  std::int32_t Port() const { return port_; }
  virtual void SetPort(std::int32_t value) { port_ = value; }
  const std::string& BoundIP() const { return boundIP_; }
  void SetBoundIP(std::string value) { boundIP_ = std::move(value); }
  std::int32_t BoundPort() const { return boundPort_; }
  void SetBoundPort(std::int32_t value) { boundPort_ = value; }
  std::int32_t BoundPortLow() const { return boundPortLow_; }
  void SetBoundPortLow(std::int32_t value) { boundPortLow_ = value; }
  std::int32_t BoundPortHigh() const { return boundPortHigh_; }
  void SetBoundPortHigh(std::int32_t value) { boundPortHigh_ = value; }
  // The version Connect uses: Id_IPv4 (the default) connects an IPv4 socket to Host's IPv4
  // address, Id_IPv6 an IPv6 socket to Host's IPv6 address (an IPv6 address without brackets,
  // or a name). BoundIP, when set, is of the same version. Takes effect at the next Connect.
  TIdIPVersion IPVersion() const { return ipVersion_; }
  void SetIPVersion(TIdIPVersion value) { ipVersion_ = value; }

  // Fired at the end of a successful Connect.
  TIdNotifyEvent OnConnected;

  // Fires OnConnected.
  virtual void NotifyConnected();
  // -1 and 0 wait for the system's connect (120000 ms while an anti-freeze is in use); any other
  // value, -2 (no limit) included, is a timed connect. Raises EIdAlreadyConnected while connected.
  virtual void Connect(std::int32_t timeout = -1);
  // Connects, reads until the peer closes, disconnects (also after a failed read).
  virtual std::string ConnectAndReadAll();

 private:
  std::string host_;
  std::int32_t port_ = 0;
  std::string boundIP_;
  std::int32_t boundPort_ = 0;
  std::int32_t boundPortLow_ = 0;
  std::int32_t boundPortHigh_ = 0;
  TIdIPVersion ipVersion_ = Id_IPv4;
};
