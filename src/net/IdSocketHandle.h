#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "net/IdStack.h"
#include "rtl/Collection.h"
#include "rtl/Component.h"

class TIdSocketHandles;

// One TCP/IP socket with the addresses it is bound to: local IP and port, peer IP and port, and an
// optional range of local ports an outgoing socket may pick from.
//
// A handle belongs to one connection or one binding and is used by one thread, except Close, which
// another thread may call while the owner waits in WaitReadable, Receive or AcceptFrom: Close
// clears IsOpen before it shuts the socket down, and the socket layer ends the blocked call.
class TIdSocketHandle : public rtl::TCollectionItem {
 public:
  TIdSocketHandle();
  ~TIdSocketHandle() override;  // Close

  TIdStackSocketHandle OsSocket() const { return osSocket_; }
  bool IsOpen() const { return isOpen_; }
  const std::string& IP() const { return ip_; }
  void SetIP(std::string value) { ip_ = std::move(value); }
  const std::string& RemoteIP() const { return remoteIP_; }
  std::int32_t Port() const { return port_; }
  void SetPort(std::int32_t value) { port_ = value; }
  std::int32_t RemotePort() const { return remotePort_; }
  std::int32_t ClientPortMin() const { return clientPortMin_; }
  void SetClientPortMin(std::int32_t value) { clientPortMin_ = value; }
  std::int32_t ClientPortMax() const { return clientPortMax_; }
  void SetClientPortMax(std::int32_t value) { clientPortMax_ = value; }
  // The version of the socket OpenSocket makes and of IP: Id_IPv4 unless set. An accepted
  // socket's is that of its listener.
  TIdIPVersion IPVersion() const { return ipVersion_; }
  void SetIPVersion(TIdIPVersion value) { ipVersion_ = value; }

  // Closes any socket held (addresses stay), then opens a new one of IPVersion; raises
  // EIdInvalidSocket.
  void OpenSocket(std::int32_t socketType = Id_SOCK_STREAM, std::int32_t protocol = 0);
  // Shuts down sending and closes, once; resetLocal has no effect.
  virtual void Close(bool resetLocal = false);
  // Closes with a reset instead (no shutdown, SO_LINGER 0), once: the peer sees that what it got
  // was cut short, not an orderly end.
  void Abort();
  // While set, Close aborts, from whichever thread it comes: the owner says that what the peer
  // got so far is not whole, so that a close it does not make itself (a server stopping) cannot
  // pass for an orderly end. Cleared whenever a new socket is taken.
  void SetResetOnClose(bool value) { resetOnClose_ = value; }
  // Raises EIdCouldNotBindSocket, EIdInvalidPortRange, EIdCanNotBindPortInRange or EIdSocketError.
  void BindLocal();
  void StartListening(std::int32_t backlog);
  // False (and no socket) when the listening socket was closed or the wait was interrupted.
  bool AcceptFrom(TIdStackSocketHandle listeningSocket);
  void SetPeerAddress(const std::string& ip, std::int32_t port);
  // Raw result; on success the local and peer addresses are refreshed. The family is the
  // socket's (IdAddressFamily of IPVersion).
  virtual std::int32_t ConnectPeer(std::int32_t addressFamily = Id_PF_INET);
  std::int32_t Receive(void* buffer, std::int32_t length, std::int32_t flags = 0);
  std::int32_t Transmit(const void* buffer, std::int32_t length, std::int32_t flags = 0);
  virtual std::int32_t ReceiveFrom(void* buffer, std::int32_t length, std::int32_t flags,
                                   std::string& ip, std::int32_t& port);
  void SetOption(std::int32_t level, std::int32_t option, const void* value, std::int32_t length);
  // Raises EIdConnClosedGracefully when not open; IdTimeoutInfinite waits without limit.
  bool WaitReadable(std::int32_t timeout);
  static bool SocketReadable(TIdStackSocketHandle socket, std::int32_t timeout);
  void RefreshLocal();
  void RefreshPeer();
  // Forgets the socket without closing it; resetLocal also clears IP, Port and IPVersion.
  void ClearState(bool resetLocal);
  // Copies IP, Port, RemoteIP, RemotePort and IPVersion from another handle; any other source
  // raises EConvertError.
  void CopyFrom(const rtl::TCollectionItem& source);

 private:
  bool TryBindLocal();
  bool BindInClientRange();

  std::atomic<TIdStackSocketHandle> osSocket_ = Id_INVALID_SOCKET;
  std::atomic<bool> isOpen_ = false;
  std::atomic<bool> resetOnClose_ = false;
  std::string ip_;
  std::string remoteIP_;
  std::int32_t port_ = 0;
  std::int32_t remotePort_ = 0;
  std::int32_t clientPortMin_ = 0;
  std::int32_t clientPortMax_ = 0;
  TIdIPVersion ipVersion_ = Id_IPv4;
};

// The bindings of a server: each new item gets NewBindingPort as its port.
class TIdSocketHandles : public rtl::TCollectionOf<TIdSocketHandle, rtl::TComponent> {
 public:
  using TCollectionOf::TCollectionOf;

  std::int32_t NewBindingPort() const { return newBindingPort_; }
  void SetNewBindingPort(std::int32_t value) { newBindingPort_ = value; }

  TIdSocketHandle* AddBinding() { return Add(); }
  TIdSocketHandle* BindingAt(int index) const { return Items(index); }

 protected:
  std::unique_ptr<rtl::TCollectionItem> NewItem() const override;

 private:
  std::int32_t newBindingPort_ = 0;
};
