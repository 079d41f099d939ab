#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "net/IdComponent.h"
#include "rtl/MaybeOwned.h"
#include "rtl/ThreadList.h"

class TIdCommandHandlers;
class TIdIOHandler;
class TIdListenerThread;
class TIdPeerThread;
class TIdRFCReplies;
class TIdRFCReply;
class TIdServerIOHandler;
class TIdServerIntercept;
class TIdSocketHandle;
class TIdSocketHandles;
class TIdTCPServer;
class TIdThreadMgr;

enum TIdReuseSocket { rsOSDependent = 0, rsTrue = 1, rsFalse = 2 };

using TIdServerThreadEvent = std::function<void(TIdPeerThread* AThread)>;
using TIdServerThreadExceptionEvent =
    std::function<void(TIdPeerThread* AThread, const std::exception& AException)>;
using TIdListenExceptionEvent =
    std::function<void(TIdListenerThread* AThread, const std::exception& AException)>;
using TIdBeforeCommandHandlerEvent =
    std::function<void(TIdTCPServer* ASender, const std::string& AData, TIdPeerThread* AThread)>;
using TIdNoCommandHandlerEvent =
    std::function<void(TIdTCPServer* ASender, const std::string& AData, TIdPeerThread* AThread)>;
using TIdAfterCommandHandlerEvent =
    std::function<void(TIdTCPServer* ASender, TIdPeerThread* AThread)>;

// A TCP server that serves each accepted client on a thread of its own.
//
// Writing Active true opens every binding (one on DefaultPort and all local IPv4 addresses when
// there is none) and starts a listener thread per binding. The binding the server made itself is
// joined, where this machine has IPv6, by IPv6Binding on :: and the same port (IPv6 only), with a
// listener of its own; it stays out of Bindings, whose readers take them for IPv4. Without IPv6
// the server listens on IPv4 alone, and says nothing. An IPv6 binding is bound IPv6 only. Each
// admitted client gets a peer thread from the thread manager, which greets it, fires OnConnect,
// serves it again and again while the client stays connected, and fires OnDisconnect. Serving is
// one call of OnExecute, or, when command handlers exist (and are enabled), reading one line and
// handing it to the first handler that takes it. Writing false stops the listeners, drops every
// client's socket and waits up to TerminateWaitTime for the peer threads to leave, raising
// EIdTerminateThreadTimeout (and still reading active) when some remain.
//
// Threads: configure, activate, deactivate and destroy the server from one thread (the main
// thread in the program); change properties, events, ThreadMgr, IOHandler and Intercept only while
// the server is inactive. Events run on peer threads (OnListenException on a listener thread),
// several at once, with no server lock held. The PeerThreads lock and the thread manager's lock
// are never held together.
//
// Destruction never throws and never leaves a peer thread behind that could still reach the
// server: after deactivation (whose time-out is swallowed) it keeps waiting until the last peer
// thread has left, terminating those that run so that handlers watching Terminated can finish.
// A handler that neither touches its dropped socket nor watches Terminated holds destruction up
// for as long as it runs. A derived server must call BeforeDestruction() first in its own
// destructor, since peer threads call its overrides; builds without NDEBUG abort, naming the
// class, when a server activated as a derived class was not stopped so.
//
// A thread manager, server I/O handler or intercept given from outside is watched and forgotten
// when it is destroyed; destroy one only while the server is inactive, since listener and peer
// threads call into them without a lock.
class TIdTCPServer : public TIdComponent {
 public:
  static constexpr std::int32_t DefaultListenQueue = 15;
  static constexpr std::int32_t DefaultTerminateWaitTime = 5000;
  static constexpr std::int32_t TerminatePollMs = 250;

  explicit TIdTCPServer(rtl::TComponent* AOwner = nullptr);
  ~TIdTCPServer() override;

  bool Active() const { return active_; }
  // Writing the value the server already has does nothing.
  virtual void SetActive(bool AValue);

  TIdSocketHandles& Bindings() { return *bindings_; }
  // The binding on all IPv6 addresses that listens beside the server's own binding on all IPv4
  // ones; none when the last activation did not listen on IPv6 (bindings were given, or the
  // machine has no IPv6). Owned by the server; valid for the server's lifetime once made.
  TIdSocketHandle* IPv6Binding() const {
    return listensOnIPv6_.load(std::memory_order_acquire) ? ipv6Binding_.get() : nullptr;
  }
  TIdCommandHandlers& CommandHandlers() { return *commandHandlers_; }
  bool CommandHandlersEnabled() const { return commandHandlersEnabled_; }
  void SetCommandHandlersEnabled(bool AValue) { commandHandlersEnabled_ = AValue; }
  // Copies the items (addresses and ports) of AValue.
  virtual void SetBindings(const TIdSocketHandles& AValue);
  std::int32_t DefaultPort() const;
  virtual void SetDefaultPort(std::int32_t AValue);
  TIdRFCReply& Greeting() { return *greeting_; }
  TIdServerIntercept* Intercept() const { return intercept_.load(); }
  virtual void SetIntercept(TIdServerIntercept* AValue);
  TIdServerIOHandler* IOHandler() const { return ioHandler_.Get(); }
  virtual void SetIOHandler(TIdServerIOHandler* AValue);
  std::int32_t ListenQueue() const { return listenQueue_; }
  void SetListenQueue(std::int32_t AValue) { listenQueue_ = AValue; }
  TIdRFCReply& MaxConnectionReply() { return *maxConnectionReply_; }
  std::int32_t MaxConnections() const { return maxConnections_.load(); }
  void SetMaxConnections(std::int32_t AValue) { maxConnections_.store(AValue); }
  // Code of the reply to a command that raised, when its handler has none; 0 or less: none.
  std::int32_t ReplyExceptionCode() const { return replyExceptionCode_; }
  void SetReplyExceptionCode(std::int32_t AValue) { replyExceptionCode_ = AValue; }
  TIdRFCReplies& ReplyTexts() { return *replyTexts_; }
  TIdRFCReply& ReplyUnknownCommand() { return *replyUnknownCommand_; }
  // rsTrue and rsOSDependent set address reuse on every binding before it binds, so a restart
  // can listen again on a port whose last connections are in TIME_WAIT; rsFalse sets nothing.
  TIdReuseSocket ReuseSocket() const { return reuseSocket_; }
  void SetReuseSocket(TIdReuseSocket AValue) { reuseSocket_ = AValue; }
  std::int32_t TerminateWaitTime() const { return terminateWaitTime_; }
  void SetTerminateWaitTime(std::int32_t AValue) { terminateWaitTime_ = AValue; }
  // Makes a TIdThreadMgrDefault owned by the server when none is set.
  TIdThreadMgr* ThreadMgr();
  // Frees the manager the server made itself, if any. Only while no peer thread runs.
  virtual void SetThreadMgr(TIdThreadMgr* AValue);

  bool OwnsThreadMgr() const { return threadMgr_.Owns(); }
  bool OwnsIOHandler() const { return ioHandler_.Owns(); }
  // The live peer threads. A listed thread, and its connection, stay valid while the lock is held.
  rtl::TThreadList<TIdPeerThread>& PeerThreads() { return peerThreads_; }
  // The listener threads of the last activation attempt (owned by the server); none before the
  // first and after deactivation.
  rtl::TThreadList<TIdListenerThread>* ListenerThreads() const { return listenerThreads_.get(); }

  TIdServerThreadEvent OnConnect;
  TIdServerThreadEvent OnExecute;
  TIdServerThreadEvent OnDisconnect;
  TIdServerThreadExceptionEvent OnException;
  TIdListenExceptionEvent OnListenException;
  TIdBeforeCommandHandlerEvent OnBeforeCommandHandler;
  TIdAfterCommandHandlerEvent OnAfterCommandHandler;
  TIdNoCommandHandlerEvent OnNoCommandHandler;

  // Greeting, then OnConnect.
  virtual void PeerConnected(TIdPeerThread* AThread);
  virtual void PeerDisconnected(TIdPeerThread* AThread);
  // One serving step; false when the server has no way of serving (no OnExecute).
  virtual bool ServePeer(TIdPeerThread* AThread);
  // A line no command handler took: OnNoCommandHandler, else ReplyUnknownCommand, else
  // EIdTCPServerError "No command handler found.".
  void HandleUnmatchedLine(const std::string& AData, TIdPeerThread* AThread);

  void ReportException(TIdPeerThread* AThread, const std::exception& AException);
  void ReportListenException(TIdListenerThread* AThread, const std::exception& AException);
  // Gives a reply without lines the lines of the ReplyTexts item with its code, if there is one.
  void FillText(TIdRFCReply& AReply) const;

 protected:
  // Runs once, before the first activation.
  virtual void PrepareCommandHandlers() {}
  // Deactivates, swallowing any error, and waits until every peer thread has left; never throws.
  void BeforeDestruction() noexcept;
  void Notification(rtl::TComponent* AComponent, rtl::TOperation AOperation) override;

 private:
  // How the listener and peer threads reach the server: only through what they need of it.
  class ThreadTies;

  void Activate();
  void Deactivate();
  // Opens, configures and binds every binding and starts its listener.
  void StartListeners();
  void StartListener(TIdSocketHandle& binding);
  // Whether the bindings are the one the server made, on all IPv4 addresses.
  bool OnDefaultBindingOnly() const;
  void StopListeners();
  // Drops every client's socket, then waits in polls of TerminatePollMs; raises
  // EIdTerminateThreadTimeout when peer threads remain.
  void TerminatePeerThreads();
  // Waits without limit until PeerThreads is empty.
  void WaitForPeerThreadsToLeave() noexcept;
  void FreeOwnedThreadMgr();
  // Reads one line and hands it to the first enabled handler that takes it.
  void DispatchCommand(TIdPeerThread* AThread);

  // The next client on a listener's binding; none once nothing more can be accepted there.
  std::unique_ptr<TIdIOHandler> AcceptClient(TIdListenerThread* AListener);
  // Gives an accepted client its connection and a peer thread and starts it, or refuses it at the
  // connection limit; a failure drops the client and is reported as a listen exception.
  void StartPeer(TIdListenerThread* AListener, std::unique_ptr<TIdIOHandler> AHandler);
  // Lists AThread unless MaxConnections are already listed; one lock hold, so several listeners
  // together never admit more.
  bool AdmitPeer(TIdPeerThread* AThread);
  // A peer thread whose run is over: handed back to the thread manager, then unlisted, after
  // which it never reaches the server again.
  void PeerLeft(TIdPeerThread* AThread);

  bool active_ = false;
  // The object's class at the first activation and at the first BeforeDestruction: they differ
  // when a derived destructor did not stop the server first.
  const std::type_info* activatedAs_ = nullptr;
  const std::type_info* stoppedAs_ = nullptr;
  bool handlersPrepared_ = false;
  bool commandHandlersEnabled_ = true;
  std::unique_ptr<TIdSocketHandles> bindings_;
  bool madeDefaultBinding_ = false;
  std::unique_ptr<TIdSocketHandle> ipv6Binding_;
  std::atomic<bool> listensOnIPv6_{false};
  std::unique_ptr<TIdRFCReplies> replyTexts_;
  std::unique_ptr<TIdCommandHandlers> commandHandlers_;
  std::unique_ptr<TIdRFCReply> greeting_;
  std::unique_ptr<TIdRFCReply> maxConnectionReply_;
  std::unique_ptr<TIdRFCReply> replyUnknownCommand_;
  std::unique_ptr<ThreadTies> ties_;
  // Touched only by the thread that activates and deactivates; listenerThreads_ lists them.
  std::vector<std::unique_ptr<TIdListenerThread>> listeners_;
  std::unique_ptr<rtl::TThreadList<TIdListenerThread>> listenerThreads_;
  rtl::TThreadList<TIdPeerThread> peerThreads_;
  rtl::TMaybeOwned<TIdThreadMgr> threadMgr_;
  rtl::TMaybeOwned<TIdServerIOHandler> ioHandler_;
  std::atomic<TIdServerIntercept*> intercept_{nullptr};
  std::int32_t listenQueue_ = DefaultListenQueue;
  std::atomic<std::int32_t> maxConnections_{0};
  TIdReuseSocket reuseSocket_ = rsOSDependent;
  std::int32_t terminateWaitTime_ = DefaultTerminateWaitTime;
  std::int32_t replyExceptionCode_ = 0;
};
