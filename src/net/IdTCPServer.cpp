#include "net/IdTCPServer.h"

#include "net/IdException.h"
#include "net/IdServerIOHandlerSocket.h"
#include "net/IdThreadMgrDefault.h"
#include "rtl/Synchronize.h"
#include "rtl/Time.h"

TIdTCPServer::TIdTCPServer(rtl::TComponent* AOwner)
    : TIdComponent(AOwner),
      bindings_(std::make_unique<TIdSocketHandles>(this)),
      replyTexts_(std::make_unique<TIdRFCReplies>()),
      commandHandlers_(std::make_unique<TIdCommandHandlers>(this)),
      greeting_(std::make_unique<TIdRFCReply>()),
      maxConnectionReply_(std::make_unique<TIdRFCReply>()),
      replyUnknownCommand_(std::make_unique<TIdRFCReply>()),
      threadClass_(ThreadClassOf<TIdPeerThread>()) {}

TIdTCPServer::~TIdTCPServer() {
  BeforeDestruction();
  FreeOwnedIOHandler();
  FreeOwnedThreadMgr();
  if (TIdThreadMgr* manager = threadMgr_.exchange(nullptr)) RemoveFreeNotification(manager);
  if (TIdServerIOHandler* handler = ioHandler_.exchange(nullptr)) RemoveFreeNotification(handler);
  if (TIdServerIntercept* intercept = intercept_.exchange(nullptr))
    RemoveFreeNotification(intercept);
  bindings_.reset();
  replyUnknownCommand_.reset();
  replyTexts_.reset();
  maxConnectionReply_.reset();
  greeting_.reset();
  commandHandlers_.reset();
}

void TIdTCPServer::BeforeDestruction() noexcept {
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
  if (!handlersPrepared_) {
    handlersPrepared_ = true;
    PrepareCommandHandlers();
  }
  if (bindings_->Count() == 0) bindings_->AddBinding();
  ThreadMgr()->SetThreadClass(threadClass_);
  if (!IOHandler()) {
    SetIOHandler(new TIdServerIOHandlerSocket(this));
    ownsIOHandler_ = true;
  }
  StartListeners();
  active_ = true;
}

void TIdTCPServer::StartListeners() {
  listenerThreads_ = std::make_unique<rtl::TThreadList<TIdListenerThread>>();
  const int count = bindings_->Count();
  try {
    IOHandler()->Prepare();
    for (int i = 0; i < count; ++i) {
      TIdSocketHandle* binding = bindings_->BindingAt(i);
      binding->OpenSocket(Id_SOCK_STREAM, 0);
      // Windows lets a listener rebind a port whose last connections wait in TIME_WAIT; Linux
      // does only with address reuse, which here never lets two live listeners share a port.
      if (reuseSocket_ != rsFalse) {
        const std::int32_t on = 1;
        binding->SetOption(winsock::SOL_SOCKET, winsock::SO_REUSEADDR, &on, sizeof on);
      }
      binding->BindLocal();
      binding->StartListening(listenQueue_);
      auto listener = std::make_unique<TIdListenerThread>(this, binding);
      listenerThreads_->Add(listener.get());
      listener.release()->Start();
    }
  } catch (...) {
    // A failed attempt leaves nothing listening: earlier bindings of this attempt would otherwise
    // serve on while the server reads inactive, and the next attempt would lose track of them.
    try {
      StopListeners();
    } catch (...) {
    }
    for (int i = 0; i < count && i < bindings_->Count(); ++i)
      bindings_->BindingAt(i)->Close();
    throw;
  }
}

void TIdTCPServer::Deactivate() {
  StopListeners();
  try {
    TerminatePeerThreads();
  } catch (...) {
    if (peerThreads_.Count() == 0) FreeOwnedThreadMgr();
    throw;
  }
  if (peerThreads_.Count() == 0) FreeOwnedThreadMgr();
  active_ = false;
}

void TIdTCPServer::StopListeners() {
  if (!listenerThreads_) return;
  std::exception_ptr failure;
  {
    auto list = listenerThreads_->Lock();
    for (TIdListenerThread* listener : *list) {
      listener->Terminate();
      listener->Binding()->Close();
      try {
        // It may have suspended itself as if stopped between runs; this wakes it.
        listener->TerminateAndWaitFor();
      } catch (...) {
        // A call served on the main thread while waiting raised; the listener still has to go.
        if (!failure) failure = std::current_exception();
      }
      delete listener;  // waits for the body if the wait above was cut short
    }
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

void TIdTCPServer::WaitForPeerThreadsToLeave() {
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

bool TIdTCPServer::AdmitPeer(TIdPeerThread* AThread) {
  auto list = peerThreads_.Lock();
  const std::int32_t limit = maxConnections_.load();
  if (limit > 0 && list->size() >= static_cast<std::size_t>(limit)) return false;
  list->push_back(AThread);
  return true;
}

void TIdTCPServer::SetBindings(const TIdSocketHandles& AValue) {
  if (&AValue == bindings_.get()) return;
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
  if (AValue == IOHandler()) return;
  FreeOwnedIOHandler();
  TIdServerIOHandler* old = ioHandler_.exchange(AValue);
  if (old) RemoveFreeNotification(old);
  if (AValue) FreeNotification(AValue);
}

TIdThreadMgr* TIdTCPServer::ThreadMgr() {
  if (!threadMgr_.load()) {
    SetThreadMgr(new TIdThreadMgrDefault(this));
    ownsThreadMgr_ = true;
  }
  return threadMgr_.load();
}

void TIdTCPServer::SetThreadMgr(TIdThreadMgr* AValue) {
  if (AValue == threadMgr_.load()) return;
  FreeOwnedThreadMgr();
  TIdThreadMgr* old = threadMgr_.exchange(AValue);
  if (old) RemoveFreeNotification(old);
  if (AValue) FreeNotification(AValue);
}

void TIdTCPServer::FreeOwnedThreadMgr() {
  if (!ownsThreadMgr_) return;
  ownsThreadMgr_ = false;
  // Forgotten first, so that its removal notification finds nothing to do.
  TIdThreadMgr* manager = threadMgr_.exchange(nullptr);
  if (manager) {
    RemoveFreeNotification(manager);
    delete manager;
  }
}

void TIdTCPServer::FreeOwnedIOHandler() {
  if (!ownsIOHandler_) return;
  ownsIOHandler_ = false;
  TIdServerIOHandler* handler = ioHandler_.exchange(nullptr);
  if (handler) {
    RemoveFreeNotification(handler);
    delete handler;
  }
}

void TIdTCPServer::Notification(rtl::TComponent* AComponent, rtl::TOperation AOperation) {
  TIdComponent::Notification(AComponent, AOperation);
  if (AOperation != rtl::TOperation::opRemove || !AComponent) return;
  if (AComponent == threadMgr_.load()) {
    try {
      TerminatePeerThreads();
    } catch (...) {
      // Raised inside the manager's destruction, the time-out would end the program.
    }
    threadMgr_.store(nullptr);
    ownsThreadMgr_ = false;
  }
  if (AComponent == ioHandler_.load()) {
    ioHandler_.store(nullptr);
    ownsIOHandler_ = false;
  }
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
