#include "net/IdSocketHandle.h"

#include <algorithm>
#include <typeinfo>

#include "net/IdAntiFreezeBase.h"
#include "net/IdException.h"

TIdSocketHandle::TIdSocketHandle() {
  ClearState(true);
}

TIdSocketHandle::~TIdSocketHandle() {
  try {
    Close();
  } catch (...) {
    // Closing reports nothing; a destructor must not throw whatever the stack does.
  }
}

void TIdSocketHandle::OpenSocket(std::int32_t socketType, std::int32_t protocol) {
  Close();
  osSocket_ = GlobalStack()->NewSocket(socketType, protocol, ipVersion_);
  resetOnClose_ = false;
  isOpen_ = true;
}

void TIdSocketHandle::Close(bool resetLocal) {
  if (resetOnClose_) {
    Abort();
    return;
  }
  // Clearing the flag first makes other threads see the socket closed at once, and the exchange
  // lets only one of two racing closers reach the socket.
  if (!isOpen_.exchange(false)) return;
  TIdStack* stack = GlobalStack();
  if (stack == nullptr) return;  // the last network component has already freed the stack
  stack->SockShutdown(osSocket_, winsock::SD_SEND);
  stack->SockClose(osSocket_);
}

void TIdSocketHandle::Abort() {
  if (!isOpen_.exchange(false)) return;
  TIdStack* stack = GlobalStack();
  if (stack == nullptr) return;
  const winsock::linger abortive{1, 0};
  stack->SockSetOption(osSocket_, winsock::SOL_SOCKET, winsock::SO_LINGER, &abortive,
                       sizeof abortive);
  stack->SockClose(osSocket_);
}

void TIdSocketHandle::BindLocal() {
  if (port_ != 0 || clientPortMin_ == 0 || clientPortMax_ == 0) {
    if (!TryBindLocal()) throw EIdCouldNotBindSocket();
    return;
  }
  if (clientPortMin_ > clientPortMax_) throw EIdInvalidPortRange(clientPortMin_, clientPortMax_);
  if (!BindInClientRange()) throw EIdCanNotBindPortInRange(clientPortMin_, clientPortMax_);
}

bool TIdSocketHandle::TryBindLocal() {
  TIdStack* stack = GlobalStack();
  if (stack->CheckSocketResult(stack->SockBind(osSocket_, IdAddressFamily(ipVersion_), ip_, port_),
                               {winsock::WSAEADDRINUSE}))
    return false;
  RefreshLocal();
  return true;
}

bool TIdSocketHandle::BindInClientRange() {
  // 64-bit so that a range reaching the lowest 32-bit value cannot overflow the count-down.
  for (std::int64_t port = clientPortMax_; port >= clientPortMin_; --port) {
    port_ = static_cast<std::int32_t>(port);
    if (TryBindLocal()) return true;
  }
  return false;
}

void TIdSocketHandle::StartListening(std::int32_t backlog) {
  TIdStack* stack = GlobalStack();
  stack->CheckSocketResult(stack->SockListen(osSocket_, backlog));
}

bool TIdSocketHandle::AcceptFrom(TIdStackSocketHandle listeningSocket) {
  ClearState(true);
  TIdStack* stack = GlobalStack();
  // The accept itself gives the peer's address.
  const TIdStackSocketHandle accepted = stack->SockAccept(listeningSocket, remoteIP_, remotePort_);
  // Interrupted, or the listening socket was closed by another thread while we waited.
  if (stack->CheckSocketResult(accepted, {winsock::WSAEINTR, winsock::WSAENOTSOCK})) return false;
  osSocket_ = accepted;
  isOpen_ = true;
  RefreshLocal();
  return true;
}

void TIdSocketHandle::SetPeerAddress(const std::string& ip, std::int32_t port) {
  remoteIP_ = ip;
  remotePort_ = port;
}

std::int32_t TIdSocketHandle::ConnectPeer(std::int32_t addressFamily) {
  const std::int32_t result =
      GlobalStack()->SockConnect(osSocket_, addressFamily, remoteIP_, remotePort_);
  // The peer is the one connected to; only the local end was chosen by the system.
  if (result != Id_SOCKET_ERROR) RefreshLocal();
  return result;
}

std::int32_t TIdSocketHandle::Receive(void* buffer, std::int32_t length, std::int32_t flags) {
  return GlobalStack()->SockReceive(osSocket_, buffer, length, flags);
}

std::int32_t TIdSocketHandle::Transmit(const void* buffer, std::int32_t length,
                                       std::int32_t flags) {
  return GlobalStack()->SockSend(osSocket_, buffer, length, flags);
}

std::int32_t TIdSocketHandle::ReceiveFrom(void* buffer, std::int32_t length, std::int32_t flags,
                                          std::string& ip, std::int32_t& port) {
  return GlobalStack()->SockReceiveFrom(osSocket_, buffer, length, flags, ip, port);
}

void TIdSocketHandle::SetOption(std::int32_t level, std::int32_t option, const void* value,
                                std::int32_t length) {
  TIdStack* stack = GlobalStack();
  stack->CheckSocketResult(stack->SockSetOption(osSocket_, level, option, value, length));
}

bool TIdSocketHandle::WaitReadable(std::int32_t timeout) {
  if (!isOpen_) throw EIdConnClosedGracefully();
  if (TIdAntiFreezeBase::IsInUse()) {
    // On the main thread a long wait is cut into slices so the window system runs between them;
    // the first slice is the remainder. Each slice checks again that the socket is still open.
    const std::int32_t slice =
        std::max<std::int32_t>(TIdAntiFreezeBase::Instance()->IdleTimeOut(), 1);
    if (timeout == IdTimeoutInfinite) {
      while (!WaitReadable(slice)) {
      }
      return true;
    }
    if (timeout > slice) {
      const std::int32_t first = timeout % slice == 0 ? slice : timeout % slice;
      if (WaitReadable(first)) return true;
      for (std::int32_t left = timeout - first; left > slice; left -= slice)
        if (WaitReadable(slice)) return true;
      if (!isOpen_) throw EIdConnClosedGracefully();
      timeout = slice;
    }
  }
  return SocketReadable(osSocket_, timeout);
}

bool TIdSocketHandle::SocketReadable(TIdStackSocketHandle socket, std::int32_t timeout) {
  TIdSocketValues readList{socket};
  // A failed wait counts as not readable; the caller's next receive reports the error.
  const bool readable = GlobalStack()->SockSelect(&readList, nullptr, nullptr, timeout) == 1;
  TIdAntiFreezeBase::ProcessIfNeeded(!readable, false);
  return readable;
}

void TIdSocketHandle::RefreshLocal() {
  std::int32_t family = 0;
  GlobalStack()->SockLocalAddress(osSocket_, family, ip_, port_);
  ipVersion_ = family == Id_PF_INET6 ? Id_IPv6 : Id_IPv4;
}

void TIdSocketHandle::RefreshPeer() {
  std::int32_t family = 0;
  GlobalStack()->SockPeerAddress(osSocket_, family, remoteIP_, remotePort_);
}

void TIdSocketHandle::ClearState(bool resetLocal) {
  isOpen_ = false;
  resetOnClose_ = false;
  osSocket_ = Id_INVALID_SOCKET;
  if (resetLocal) {
    ip_.clear();
    port_ = 0;
    ipVersion_ = Id_IPv4;
  }
  remoteIP_.clear();
  remotePort_ = 0;
}

void TIdSocketHandle::CopyFrom(const rtl::TCollectionItem& source) {
  if (typeid(source) != typeid(TIdSocketHandle))
    throw EConvertError("Cannot assign to a TIdSocketHandle.");
  const auto& other = static_cast<const TIdSocketHandle&>(source);
  if (&other == this) return;
  ip_ = other.ip_;
  port_ = other.port_;
  remoteIP_ = other.remoteIP_;
  remotePort_ = other.remotePort_;
  ipVersion_ = other.ipVersion_;
}

std::unique_ptr<rtl::TCollectionItem> TIdSocketHandles::NewItem() const {
  auto item = std::make_unique<TIdSocketHandle>();
  item->SetPort(newBindingPort_);
  return item;
}
