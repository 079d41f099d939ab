#include "net/IdTCPServer.h"

#include <cstdio>
#include <cstdlib>

#include "net/IdCommandHandlers.h"
#include "net/IdException.h"
#include "net/IdListenerThread.h"
#include "net/IdPeerThread.h"
#include "net/IdRFCReply.h"
#include "net/IdServerIOHandlerSocket.h"
#include "net/IdServerIntercept.h"
#include "net/IdSocketHandle.h"
#include "net/IdThreadMgrDefault.h"
#include "rtl/ScopeExit.h"
#include "rtl/Synchronize.h"
#include "rtl/Time.h"

class TIdTCPServer::ThreadTies final : public TIdListenerServer, public TIdPeerServer {
 public:
  explicit ThreadTies(TIdTCPServer& server) : server_(server) {}

  std::unique_ptr<TIdIOHandler> AcceptClient(TIdListenerThread* AListener) override {
    return server_.AcceptClient(AListener);
  }
  void ClientAccepted(TIdListenerThread* AListener,
                      std::unique_ptr<TIdIOHandler> AHandler) override {
    server_.StartPeer(AListener, std::move(AHandler));
  }
  void ReportListenException(TIdListenerThread* AListener,
                             const std::exception& AException) override {
    server_.ReportListenException(AListener, AException);
  }

  std::unique_ptr<TIdConnectionIntercept> InterceptFor(TIdTCPConnection* AConnection) override {
    TIdServerIntercept* intercept = server_.Intercept();
    return intercept ? intercept->InterceptFor(AConnection) : nullptr;
  }
  void PeerConnected(TIdPeerThread* AThread) override { server_.PeerConnected(AThread); }
  bool ServePeer(TIdPeerThread* AThread) override { return server_.ServePeer(AThread); }
  void ReportException(TIdPeerThread* AThread, const std::exception& AException) override {
    server_.ReportException(AThread, AException);
  }
  void PeerDisconnected(TIdPeerThread* AThread) override { server_.PeerDisconnected(AThread); }
  void PeerLeft(TIdPeerThread* AThread) override { server_.PeerLeft(AThread); }

 private:
  TIdTCPServer& server_;
};

TIdTCPServer::TIdTCPServer(rtl::TComponent* AOwner)
    : TIdComponent(AOwner),
      bindings_(std::make_unique<TIdSocketHandles>(this)),
      replyTexts_(std::make_unique<TIdRFCReplies>()),
      commandHandlers_(std::make_unique<TIdCommandHandlers>(this)),
      greeting_(std::make_unique<TIdRFCReply>()),
      maxConnectionReply_(std::make_unique<TIdRFCReply>()),
      replyUnknownCommand_(std::make_unique<TIdRFCReply>()),
      ties_(std::make_unique<ThreadTies>(*this)),
      threadMgr_(*this),
      ioHandler_(*this) {}

TIdTCPServer::~TIdTCPServer() {
#ifndef NDEBUG
  if (activatedAs_ && *activatedAs_ != typeid(TIdTCPServer) &&
      (!stoppedAs_ || *stoppedAs_ != *activatedAs_)) {
    std::fprintf(stderr, "%s: the server was not stopped first by its destructor\n",
                 activatedAs_->name());
    std::abort();
  }
#endif
  BeforeDestruction();
  ioHandler_.Reset();
  threadMgr_.Reset();
  if (TIdServerIntercept* intercept = intercept_.exchange(nullptr))
    RemoveFreeNotification(intercept);
  bindings_.reset();
  replyUnknownCommand_.reset();
  replyTexts_.reset();
  maxConnectionReply_.reset();
  greeting_.reset();
  commandHandlers_.reset();
}

std::int32_t TIdTCPServer::DefaultPort() const {
  return bindings_->NewBindingPort();
}

void TIdTCPServer::SetDefaultPort(std::int32_t AValue) {
  bindings_->SetNewBindingPort(AValue);
}

void TIdTCPServer::BeforeDestruction() noexcept {
  if (!stoppedAs_) stoppedAs_ = &typeid(*this);
  try {
    SetActive(false);
  } catch (...) {
    // A time-out (or a failing call served while waiting for a listener): we wait below.
  }
  try {
    StopListeners();
  } catch (...) {
    // The listeners are gone whatever a served call raised.
  }
  // Peer threads use our lists, events and thread manager until they leave PeerThreads.
  WaitForPeerThreadsToLeave();
  active_ = false;  // nothing listens and nobody is served any more
}

void TIdTCPServer::SetActive(bool AValue) {
  if (AValue == active_) return;
  if (AValue)
    Activate();
  else
    Deactivate();
}

void TIdTCPServer::Activate() {
  if (!activatedAs_) activatedAs_ = &typeid(*this);
  if (!handlersPrepared_) {
    handlersPrepared_ = true;
    PrepareCommandHandlers();
  }
  if (bindings_->Count() == 0) {
    bindings_->AddBinding();
    madeDefaultBinding_ = true;
  }
  ThreadMgr()->SetThreadClass(ThreadClassOf<TIdPeerThread>());
  if (!IOHandler()) ioHandler_.Own(std::make_unique<TIdServerIOHandlerSocket>(this));
  StartListeners();
  active_ = true;
}

void TIdTCPServer::StartListeners() {
  listenerThreads_ = std::make_unique<rtl::TThreadList<TIdListenerThread>>();
  const int count = bindings_->Count();
  listensOnIPv6_.store(false, std::memory_order_release);
  // A failed attempt leaves nothing listening: earlier bindings of this attempt would otherwise
  // serve on while the server reads inactive, and the next attempt would lose track of them.
  auto stopOnFailure = rtl::OnFailure([this, count] {
    StopListeners();
    for (int i = 0; i < count && i < bindings_->Count(); ++i)
      bindings_->BindingAt(i)->Close();
    if (ipv6Binding_) ipv6Binding_->Close();
  });
  IOHandler()->Prepare();
  for (int i = 0; i < count; ++i)
    StartListener(*bindings_->BindingAt(i));
  if (OnDefaultBindingOnly() && GlobalStack()->IPv6Available()) {
    if (!ipv6Binding_) {
      ipv6Binding_ = std::make_unique<TIdSocketHandle>();
      ipv6Binding_->SetIPVersion(Id_IPv6);
    }
    ipv6Binding_->SetIP("");
    // The port the IPv4 binding got, so clients reach the same service by either version.
    ipv6Binding_->SetPort(bindings_->BindingAt(0)->Port());
    StartListener(*ipv6Binding_);
    listensOnIPv6_.store(true, std::memory_order_release);
  }
}

void TIdTCPServer::StartListener(TIdSocketHandle& binding) {
  binding.OpenSocket(Id_SOCK_STREAM, 0);
  const std::int32_t on = 1;
  // Windows lets a listener rebind a port whose last connections wait in TIME_WAIT; Linux
  // does only with address reuse, which here never lets two live listeners share a port.
  if (reuseSocket_ != rsFalse)
    binding.SetOption(winsock::SOL_SOCKET, winsock::SO_REUSEADDR, &on, sizeof on);
  // IPv4 clients have listeners of their own; on :: they would take the IPv4 port as well.
  if (binding.IPVersion() == Id_IPv6)
    binding.SetOption(winsock::IPPROTO_IPV6, winsock::IPV6_V6ONLY, &on, sizeof on);
  binding.BindLocal();
  binding.StartListening(listenQueue_);
  listeners_.push_back(std::make_unique<TIdListenerThread>(this, ties_.get(), &binding));
  listenerThreads_->Add(listeners_.back().get());
  listeners_.back()->Start();
}

bool TIdTCPServer::OnDefaultBindingOnly() const {
  if (!madeDefaultBinding_ || bindings_->Count() != 1) return false;
  const TIdSocketHandle* binding = bindings_->BindingAt(0);
  return binding->IPVersion() == Id_IPv4 && (binding->IP().empty() || binding->IP() == "0.0.0.0");
}

void TIdTCPServer::Deactivate() {
  StopListeners();
  {
    // Even after a time-out: once no peer thread is left, nothing uses the manager we made.
    auto freeManager = rtl::ScopeExit([this] {
      if (peerThreads_.Count() == 0) FreeOwnedThreadMgr();
    });
    TerminatePeerThreads();
  }
  active_ = false;
}

void TIdTCPServer::StopListeners() {
  if (!listenerThreads_) return;
  std::exception_ptr failure;
  {
    auto list = listenerThreads_->Lock();
    for (std::unique_ptr<TIdListenerThread>& listener : listeners_) {
      listener->Terminate();
      listener->Binding()->Close();
      try {
        // It may have suspended itself as if stopped between runs; this wakes it.
        listener->TerminateAndWaitFor();
      } catch (...) {
        // A call served on the main thread while waiting raised; the listener still has to go.
        if (!failure) failure = std::current_exception();
      }
      listener.reset();  // waits for the body if the wait above was cut short
    }
    listeners_.clear();
    list->clear();
  }
  listenerThreads_.reset();
  if (failure) std::rethrow_exception(failure);
}

void TIdTCPServer::TerminatePeerThreads() {
  {
    auto list = peerThreads_.Lock();
    for (TIdPeerThread* peer : *list) {
      if (TIdTCPServerConnection* connection = peer->Connection()) {
        try {
          connection->DropSocket();
        } catch (...) {
          // Only an intercept's disconnect handler can raise here; the socket is closed anyway.
        }
      }
    }
  }
  const std::int32_t polls = terminateWaitTime_ / TerminatePollMs;
  bool empty = polls <= 0 && peerThreads_.Count() == 0;
  for (std::int32_t i = 0; i < polls && !empty; ++i) {
    rtl::Sleep(TerminatePollMs);
    empty = peerThreads_.Count() == 0;
  }
  if (!empty) throw EIdTerminateThreadTimeout();
}

void TIdTCPServer::WaitForPeerThreadsToLeave() noexcept {
  constexpr std::int32_t sliceMs = 50;
  for (;;) {
    {
      auto list = peerThreads_.Lock();
      if (list->empty()) return;
      for (TIdPeerThread* peer : *list) {
        // A thread whose body has not begun would skip it when terminated, and never leave.
        if (peer->RunBegun()) peer->Terminate();
        if (TIdTCPServerConnection* connection = peer->Connection()) {
          try {
            connection->DropSocket();
          } catch (...) {
            // Only an intercept's disconnect handler can raise here; the socket is closed anyway.
          }
        }
      }
    }
    if (rtl::IsMainThread()) {
      // A peer thread may be waiting for the main thread; serve it, or it never leaves.
      const std::uint64_t seen = rtl::MainThreadSignalCount();
      try {
        rtl::CheckSynchronize(0);
      } catch (...) {
        // Nobody to tell during destruction.
      }
      rtl::WaitMainThreadSignal(seen, sliceMs);
    } else {
      rtl::Sleep(sliceMs);
    }
  }
}

std::unique_ptr<TIdIOHandler> TIdTCPServer::AcceptClient(TIdListenerThread* AListener) {
  TIdServerIOHandler* handler = IOHandler();
  return handler ? handler->Accept(AListener->Binding()->OsSocket(), AListener) : nullptr;
}

void TIdTCPServer::StartPeer(TIdListenerThread* AListener, std::unique_ptr<TIdIOHandler> AHandler) {
  TIdThreadMgr* manager = threadMgr_.Get();
  std::unique_ptr<TIdPeerThread> peer;  // ours until started
  try {
    auto connection = std::make_unique<TIdTCPServerConnection>(this);
    if (!manager) throw EIdThreadClassNotSpecified();
    std::unique_ptr<TIdThread> thread(manager->AcquireThread());
    if (!dynamic_cast<TIdPeerThread*>(thread.get())) {
      manager->ActiveThreads().Remove(thread.get());
      throw EIdTCPServerError("");
    }
    peer.reset(static_cast<TIdPeerThread*>(thread.release()));
    peer->SetConnection(std::move(connection));
    peer->SetServer(ties_.get());
    peer->Connection()->SetIOHandler(std::move(AHandler));
    if (!AdmitPeer(peer.get())) {
      manager->ActiveThreads().Remove(peer.get());
      peer->Connection()->WriteReply(*maxConnectionReply_);
      peer->Connection()->Disconnect();
      return;  // never ran: freed with its connection and the accepted socket
    }
    // Once started the thread may end and free itself at any moment: hands off. Starting only
    // releases it; nothing here waits for it to run.
    peer.release()->Start();
  } catch (const std::exception& e) {
    if (peer) manager->ActiveThreads().Remove(peer.get());
    peer.reset();
    ReportListenException(AListener, e);
  }
}

bool TIdTCPServer::AdmitPeer(TIdPeerThread* AThread) {
  auto list = peerThreads_.Lock();
  const std::int32_t limit = maxConnections_.load();
  if (limit > 0 && list->size() >= static_cast<std::size_t>(limit)) return false;
  list->push_back(AThread);
  return true;
}

void TIdTCPServer::PeerLeft(TIdPeerThread* AThread) {
  // Handed back first, unlisted last: once off PeerThreads the thread never reaches the server
  // (or its thread manager) again, so the server may go from then on.
  auto unlist = rtl::ScopeExit([this, AThread] { peerThreads_.Remove(AThread); });
  if (TIdThreadMgr* manager = threadMgr_.Get()) {
    manager->ReleaseThread(AThread);
  } else {
    AThread->SetFreeWhenFinished(true);
    AThread->Terminate();
  }
}

void TIdTCPServer::SetBindings(const TIdSocketHandles& AValue) {
  if (&AValue == bindings_.get()) return;
  madeDefaultBinding_ = false;
  bindings_->Clear();
  for (int i = 0; i < AValue.Count(); ++i)
    bindings_->AddBinding()->CopyFrom(*AValue.BindingAt(i));
}

void TIdTCPServer::SetIntercept(TIdServerIntercept* AValue) {
  TIdServerIntercept* old = intercept_.exchange(AValue);
  if (old == AValue) return;
  if (old) RemoveFreeNotification(old);
  if (AValue) FreeNotification(AValue);
}

void TIdTCPServer::SetIOHandler(TIdServerIOHandler* AValue) {
  ioHandler_.Use(AValue);
}

TIdThreadMgr* TIdTCPServer::ThreadMgr() {
  if (!threadMgr_.Get()) threadMgr_.Own(std::make_unique<TIdThreadMgrDefault>(this));
  return threadMgr_.Get();
}

void TIdTCPServer::SetThreadMgr(TIdThreadMgr* AValue) {
  threadMgr_.Use(AValue);
}

void TIdTCPServer::FreeOwnedThreadMgr() {
  if (threadMgr_.Owns()) threadMgr_.Reset();
}

void TIdTCPServer::Notification(rtl::TComponent* AComponent, rtl::TOperation AOperation) {
  TIdComponent::Notification(AComponent, AOperation);
  if (AOperation != rtl::TOperation::opRemove || !AComponent) return;
  if (AComponent == threadMgr_.Get()) {
    try {
      TerminatePeerThreads();
    } catch (...) {
      // Raised inside the manager's destruction, the time-out would end the program.
    }
    threadMgr_.Forget(AComponent);
  }
  ioHandler_.Forget(AComponent);
  TIdServerIntercept* intercept = intercept_.load();
  if (intercept && AComponent == intercept) intercept_.compare_exchange_strong(intercept, nullptr);
}

void TIdTCPServer::PeerConnected(TIdPeerThread* AThread) {
  // A copy: peer threads greet at the same time, and filling the shared reply would race.
  TIdRFCReply greeting;
  greeting.Assign(*greeting_);
  FillText(greeting);
  AThread->Connection()->WriteReply(greeting);
  if (OnConnect) OnConnect(AThread);
}

void TIdTCPServer::PeerDisconnected(TIdPeerThread* AThread) {
  if (OnDisconnect) OnDisconnect(AThread);
}

bool TIdTCPServer::ServePeer(TIdPeerThread* AThread) {
  if (commandHandlersEnabled_ && commandHandlers_->Count() > 0) {
    DispatchCommand(AThread);
    return true;
  }
  if (!OnExecute) return false;
  OnExecute(AThread);
  return true;
}

void TIdTCPServer::DispatchCommand(TIdPeerThread* AThread) {
  TIdTCPServerConnection* connection = AThread->Connection();
  if (!connection->IsConnected()) return;
  const std::string line = connection->ReadLine();
  if (line.empty()) return;
  if (OnBeforeCommandHandler) OnBeforeCommandHandler(this, line, AThread);
  try {
    const int count = commandHandlers_->Count();
    for (int i = 0; i < count; ++i) {
      TIdCommandHandler* handler = commandHandlers_->Items(i);
      if (handler->Enabled() && handler->TryCommand(line, AThread)) break;
      if (i == commandHandlers_->Count() - 1) HandleUnmatchedLine(line, AThread);
    }
  } catch (...) {
    if (OnAfterCommandHandler) OnAfterCommandHandler(this, AThread);
    throw;
  }
  if (OnAfterCommandHandler) OnAfterCommandHandler(this, AThread);
}

void TIdTCPServer::HandleUnmatchedLine(const std::string& AData, TIdPeerThread* AThread) {
  if (OnNoCommandHandler)
    OnNoCommandHandler(this, AData, AThread);
  else if (replyUnknownCommand_->HasContent())
    AThread->Connection()->WriteReply(*replyUnknownCommand_);
  else
    throw EIdTCPServerError(std::string(RSNoCommandHandlerFound));
}

void TIdTCPServer::ReportException(TIdPeerThread* AThread, const std::exception& AException) {
  if (OnException) OnException(AThread, AException);
}

void TIdTCPServer::ReportListenException(TIdListenerThread* AThread,
                                         const std::exception& AException) {
  if (OnListenException) OnListenException(AThread, AException);
}

void TIdTCPServer::FillText(TIdRFCReply& AReply) const {
  if (!AReply.Text().empty()) return;
  if (const TIdRFCReply* item = replyTexts_->FindCode(AReply.NumericCode()))
    AReply.SetText(item->Text());
}
