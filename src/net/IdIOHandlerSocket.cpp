#include "net/IdIOHandlerSocket.h"

#include <algorithm>

#include "net/IdAntiFreezeBase.h"
#include "net/IdConnectThread.h"
#include "net/IdException.h"
#include "net/IdGlobal.h"

TIdIOHandlerSocket::~TIdIOHandlerSocket() {
  try {
    Close();
  } catch (...) {
    // A destructor must not throw; closing reports nothing anyway.
  }
  DetachSocksInfo();
  privateSocksInfo_.reset();
}

TIdSocksInfo* TIdIOHandlerSocket::SocksInfo() {
  if (!socksInfo_) {
    if (!privateSocksInfo_) {
      privateSocksInfo_ = std::make_unique<TIdSocksInfo>();
      privateSocksInfo_->SetOwnerHandler(this);
    }
    socksInfo_ = privateSocksInfo_.get();
  }
  return socksInfo_;
}

void TIdIOHandlerSocket::SetSocksInfo(TIdSocksInfo* value) {
  if (value != nullptr && value == socksInfo_) return;
  if (value == nullptr) {
    DetachSocksInfo();
    privateSocksInfo_.reset();
    return;
  }
  DetachSocksInfo();
  if (value->Owner() != nullptr) {
    privateSocksInfo_.reset();
    socksInfo_ = value;
    FreeNotification(value);
    value->SetOwnerHandler(this);
    return;
  }
  if (!privateSocksInfo_) {
    privateSocksInfo_ = std::make_unique<TIdSocksInfo>();
    privateSocksInfo_->SetOwnerHandler(this);
  }
  privateSocksInfo_->Assign(*value);
  socksInfo_ = privateSocksInfo_.get();
}

void TIdIOHandlerSocket::DetachSocksInfo() {
  TIdSocksInfo* current = socksInfo_;
  socksInfo_ = nullptr;
  if (current == nullptr || current == privateSocksInfo_.get()) return;
  if (current->OwnerHandler() == this) current->SetOwnerHandler(nullptr);
  RemoveFreeNotification(current);
}

void TIdIOHandlerSocket::Notification(rtl::TComponent* component, rtl::TOperation operation) {
  TIdIOHandler::Notification(component, operation);
  if (operation == rtl::TOperation::opRemove && component != nullptr &&
      component == static_cast<rtl::TComponent*>(socksInfo_))
    socksInfo_ = nullptr;
}

void TIdIOHandlerSocket::Close() {
  if (socketHandle_) socketHandle_->Close();
}

void TIdIOHandlerSocket::ConnectTo(const std::string& host, std::int32_t port,
                                   const std::string& boundIP, std::int32_t boundPort,
                                   std::int32_t boundPortMin, std::int32_t boundPortMax,
                                   std::int32_t timeout) {
  if (!socketHandle_) Open();
  TIdSocketHandle& handle = *socketHandle_;
  TIdSocksInfo* socks = socksInfo_;
  const bool viaSocks = socks != nullptr && socks->Version() != svNoSocks;
  const std::string& address = viaSocks ? socks->Host() : host;
  const std::int32_t addressPort = viaSocks ? socks->Port() : port;
  try {
    handle.SetIPVersion(ipVersion_);
    handle.OpenSocket(Id_SOCK_STREAM, 0);
    handle.SetIP(boundIP);
    handle.SetPort(boundPort);
    handle.SetClientPortMin(boundPortMin);
    handle.SetClientPortMax(boundPortMax);
    // Nothing asked for: the connect picks address and port. Binding to any of both first would
    // take a port for this socket alone, which thousands of connections run short of.
    if (!boundIP.empty() || boundPort != 0 || (boundPortMin != 0 && boundPortMax != 0))
      handle.BindLocal();

    TIdStack* stack = GlobalStack();
    const bool literal =
        ipVersion_ == Id_IPv6 ? TIdStack::IsIPv6Address(address) : TIdStack::IsDottedQuad(address);
    if (!literal) ReportStatus(hsResolving, {address});
    handle.SetPeerAddress(stack->HostToAddress(address, ipVersion_), addressPort);
    if (!useNagle_) {
      const std::int32_t on = 1;
      handle.SetOption(winsock::IPPROTO_TCP, winsock::TCP_NODELAY, &on, sizeof on);
    }
    ReportStatus(hsConnecting, {handle.RemoteIP()});
    if (timeout != -1 && timeout != 0)
      ConnectWithTimeout(timeout);
    else if (TIdAntiFreezeBase::IsInUse())
      ConnectWithTimeout(AntiFreezeConnectTimeout);
    else
      stack->CheckSocketResult(handle.ConnectPeer(IdAddressFamily(ipVersion_)));

    if (viaSocks) socks->Negotiate(host, port);
  } catch (...) {
    // A failed connect leaves no half-made socket behind that would count as connected.
    handle.Close();
    throw;
  }
}

void TIdIOHandlerSocket::ConnectWithTimeout(std::int32_t timeout) {
  const bool infinite = timeout == IdTimeoutInfinite;
  auto thread = std::make_unique<TIdConnectThread>();
  thread->SetSocketHandle(socketHandle_.get());
  thread->SetSuspended(false);

  // Closing the socket is what ends a pending connect, so it must happen before the thread is
  // waited for, on every way out.
  auto abandon = [&] {
    thread->Terminate();
    Close();
    thread->WaitFor();
  };
  try {
    std::int32_t step = ConnectPollStep;
    if (TIdAntiFreezeBase::IsInUse())
      step = MinInt(TIdAntiFreezeBase::Instance()->IdleTimeOut(), step);
    // A step of zero or less would never count the time down.
    step = std::max<std::int32_t>(step, 1);
    std::int32_t remaining = infinite ? step + 1 : timeout;
    while (remaining > step) {
      PauseMs(step);
      remaining = infinite ? step + 1 : remaining - step;
      TIdAntiFreezeBase::ProcessIfNeeded(true, false);
      if (thread->Terminated()) {
        remaining = 0;
        break;
      }
    }
    if (remaining > 0) PauseMs(remaining);
  } catch (...) {
    abandon();
    throw;
  }

  if (!thread->Terminated()) {
    abandon();
    throw EIdConnectTimeout();
  }
  if (!thread->FailureMessage().empty()) throw EIdConnectException(thread->FailureMessage());
  // The thread ignores the errors of a socket closed under it, so a connect cut short by a close
  // from elsewhere must not pass for a success.
  if (!IsConnected()) throw EIdClosedSocket();
}

bool TIdIOHandlerSocket::IsConnected() {
  return socketHandle_ && socketHandle_->IsOpen();
}

void TIdIOHandlerSocket::Open() {
  if (!socketHandle_) {
    socketHandle_ = std::make_unique<TIdSocketHandle>();
    return;
  }
  // Forgetting a socket that is still open would leak it: close it before the state is cleared.
  socketHandle_->Close();
  socketHandle_->ClearState(true);
}

bool TIdIOHandlerSocket::WaitReadable(std::int32_t timeout) {
  if (!socketHandle_) throw EIdConnClosedGracefully();
  return socketHandle_->WaitReadable(timeout);
}

std::int32_t TIdIOHandlerSocket::Receive(void* buffer, std::int32_t length) {
  if (!IsConnected()) throw EIdClosedSocket();
  return socketHandle_->Receive(buffer, length, 0);
}

std::int32_t TIdIOHandlerSocket::Send(const void* buffer, std::int32_t length) {
  if (!IsConnected()) throw EIdClosedSocket();
  return socketHandle_->Transmit(buffer, length, 0);
}
