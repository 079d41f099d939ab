#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/IdBuffer.h"
#include "net/IdComponent.h"
#include "net/IdIOHandler.h"
#include "net/IdIOHandlerSocket.h"
#include "net/IdIntercept.h"
#include "net/IdRFCReply.h"
#include "net/IdStack.h"
#include "rtl/MaybeOwned.h"

enum TIdMaxLineAction { maException, maSplit };

using TIdNotifyEvent = std::function<void(rtl::TComponent* Sender)>;

// Raises an error of a kind the caller chooses, with the given text. A thrower that returns is
// treated as if it had raised EIdException with the text.
using TIdExceptionClass = std::function<void(const std::string& message)>;

template <class Kind>
TIdExceptionClass IdExceptionClass() {
  return [](const std::string& message) { throw Kind(message); };
}

// A blocking, buffered byte-stream connection over an I/O handler.
//
// Received bytes collect in ReceivedData until taken; end of stream, resets and time-outs become
// the network error kinds. Every operation blocks the calling thread until done.
//
// Threads: a connection, its buffers and its handler are used by one thread at a time. The
// exceptions, for a thread that watches a connection another thread owns: DropSocket (the server
// calls it when it stops, while the owner waits in a read), IsClosedFromAnotherThread and
// SocketFromAnotherThread. PeerClosed is atomic, and handlerLock_ keeps the handler alive while
// such a thread uses it. Events never run with the lock held.
//
// Ownership: the connection owns its buffers and replies, and its I/O handler only while
// OwnsIOHandler is set. A handler or intercept it does not own is watched through removal
// notification and forgotten when it is destroyed.
class TIdTCPConnection : public TIdComponent {
 public:
  static constexpr std::int32_t DefaultMaxLineLength = 16384;
  static constexpr std::int32_t DefaultBufferSize = 32768;

  explicit TIdTCPConnection(rtl::TComponent* owner = nullptr);
  ~TIdTCPConnection() override;

  bool ASCIIFilter() const { return asciiFilter_; }
  void SetASCIIFilter(bool value) { asciiFilter_ = value; }
  TIdConnectionIntercept* Intercept() const { return intercept_.load(); }
  void SetIntercept(TIdConnectionIntercept* value);
  TIdIOHandler* IOHandler() const { return ioHandler_.Get(); }
  // Uses value without owning it; frees the current handler when it is owned.
  void SetIOHandler(TIdIOHandler* value);
  // Takes value over (OwnsIOHandler); frees the current handler when it is owned.
  void SetIOHandler(std::unique_ptr<TIdIOHandler> value);
  std::int32_t MaxLineLength() const { return maxLineLength_; }
  void SetMaxLineLength(std::int32_t value) { maxLineLength_ = value; }
  TIdMaxLineAction MaxLineAction() const { return maxLineAction_; }
  void SetMaxLineAction(TIdMaxLineAction value) { maxLineAction_ = value; }
  // Milliseconds; 0 waits without limit.
  std::int32_t ReadTimeout() const { return readTimeout_; }
  void SetReadTimeout(std::int32_t value) { readTimeout_ = value; }
  // Both sizes are at least 1: a receive of 0 bytes would look like the peer closing, and a
  // stream block of 0 bytes would send nothing.
  std::int32_t RecvBufferSize() const { return recvBufferSize_; }
  void SetRecvBufferSize(std::int32_t value) { recvBufferSize_ = value < 1 ? 1 : value; }
  std::int32_t SendBufferSize() const { return sendBufferSize_; }
  void SetSendBufferSize(std::int32_t value) { sendBufferSize_ = value < 1 ? 1 : value; }

  TIdNotifyEvent OnDisconnected;

  TIdManagedBuffer* ReceivedData() const { return receivedData_.get(); }
  TIdSimpleBuffer* ReceiveChunk() const { return receiveChunk_.get(); }
  bool PeerClosed() const { return peerClosed_.load(); }
  bool OwnsIOHandler() const { return ioHandler_.Owns(); }
  // Owns the current handler from now on, or stops owning it.
  void SetOwnsIOHandler(bool value);
  // The handler again when it is a socket handler, otherwise null.
  TIdIOHandlerSocket* SocketHandler() const { return socketHandler_; }
  // The socket underneath, or Id_INVALID_SOCKET when there is none; for waits on it.
  TIdStackSocketHandle Socket() const;
  // The same for a thread that does not own the connection. The number may be closed by the
  // owner at any moment; calls on it then fail (numbers are never reused), nothing worse.
  TIdStackSocketHandle SocketFromAnotherThread() const;
  // For a thread that does not own the connection, in place of IsConnected: whether the socket
  // has been closed (dropped, disconnected, or a close seen by a read or write). It never
  // receives, waits, raises or fires events, so a peer's close that no read has seen yet shows
  // only later. The handler's IsConnected must be safe from any thread, as the socket one's is.
  bool IsClosedFromAnotherThread() const;
  TIdRFCReply* LastReply() const { return lastReply_.get(); }
  TIdRFCReply* GreetingReply() const { return greetingReply_.get(); }
  bool LineWasSplit() const { return lineWasSplit_; }
  bool LineCutShort() const { return lineCutShort_; }

  // Fires OnDisconnected.
  virtual void NotifyDisconnected();
  // Empties the input buffer and forgets that the peer closed; for a socket opened afresh.
  virtual void ResetReadState();
  // Everything until the peer closes, reporting read work.
  virtual std::string ReadToEnd();
  // Announces a peer close seen by the last receive or send (once), and raises
  // EIdConnClosedGracefully when asked and nothing is buffered (or ignoreBuffer is set).
  virtual void DetectDisconnect(bool raiseIfDisconnected, bool ignoreBuffer);
  // Waits at most 1 ms for bytes or a close.
  virtual void ProbeDisconnect(bool raiseIfDisconnected);
  // Passes when allowed is empty or holds code; otherwise RaiseReplyError.
  virtual void CheckReplyCode(std::int32_t code, const std::vector<std::int16_t>& allowed);
  // Never waits, receives or raises a disconnect error.
  virtual bool IsConnected();
  virtual void Disconnect();
  // Closes the socket without events; the handler stays attached and buffered bytes stay.
  // May be called from another thread while the owner waits.
  virtual void DropSocket();
  virtual std::int32_t ReadReply(const std::vector<std::int16_t>& allowed);
  // Raises EIdProtocolReplyError with LastReply's code and text.
  virtual void RaiseReplyError();
  virtual void RaiseReplyError(const TIdExceptionClass& kind);
  // One receive into ReceivedData. timeout -1 uses ReadTimeout. Gives the bytes added, 0 when the
  // peer closed or the connection is not open, -1 when the wait expired without raising.
  virtual std::int32_t FillInputBuffer(bool raiseIfDisconnected, std::int32_t timeout,
                                       bool raiseOnTimeout);
  // An empty terminator means LF, and then a CR before it is dropped too. timeout -1 uses
  // ReadTimeout; maxLength -1 uses MaxLineLength, 0 means no limit.
  virtual std::string ReadLine(const std::string& terminator = "", std::int32_t timeout = -1,
                               std::int32_t maxLength = -1);
  virtual std::int32_t SendCommand(const std::string& line,
                                   const std::vector<std::int16_t>& allowed);
  virtual void Write(const std::string& text);
  // The line and CR LF go out in one send.
  virtual void WriteLine(const std::string& text);
  virtual void WriteFromStream(rtl::TStream& stream, bool all = true, bool writeByteCount = false,
                               std::int64_t size = 0);
  // Bytes sent.
  virtual std::int64_t WriteFileContents(const std::string& fileName, bool allowTransmit);

  // Everything buffered after at most one receive (none when not connected).
  std::string ReadAvailable();
  // As ReadAvailable, but at most length bytes, straight into the caller's memory: buffered bytes
  // when there are any, otherwise those of one receive of at most length bytes, which no other
  // buffer sees unless an intercept needs one. The count moved; 0 when the peer has closed (or
  // the connection is not open) and nothing is buffered.
  std::int32_t ReadAvailableInto(void* buffer, std::int32_t length);
  // The first line that is not blank after trimming, or empty text after failCount blank ones.
  std::string ReadNonEmptyLine(std::int32_t failCount);
  // Sends every byte before returning; the one place the connection sends.
  void WriteBytes(const void* buffer, std::int32_t count);
  void WriteInt32(std::int32_t value, bool toNetworkOrder = true);
  void WriteReply(const TIdRFCReply& reply);
  // Each line, a lone "." written as "..", then ".".
  void WriteDotTerminated(const std::vector<std::string>& lines);

 protected:
  void Notification(rtl::TComponent* component, rtl::TOperation operation) override;

 private:
  // Detaches and frees the handler when owned.
  void FreeOwnedIOHandler();
  // Holds value (owned when it comes as owned), freeing an owned handler held before.
  void ReplaceIOHandler(TIdIOHandler* value, std::unique_ptr<TIdIOHandler> owned);
  // How one read ended: bytes arrived, the peer is gone (or the connection is not open), or the
  // wait expired.
  enum class FillOutcome { Received, PeerGone, TimedOut };
  struct FillResult {
    FillOutcome outcome;
    std::int32_t count;  // bytes added when Received, else 0
  };
  // FillInputBuffer's wait and receive; with direct set, the bytes go there (at most
  // directLength of them) instead of through the intercept into ReceivedData.
  FillResult Fill(char* direct, std::int32_t directLength, bool raiseIfDisconnected,
                  std::int32_t timeout, bool raiseOnTimeout);
  // The one place where a read decides that the peer is gone: announces a close that a receive
  // has seen (once) and raises EIdConnClosedGracefully when asked and nothing is buffered (or
  // ignoreBuffer is set). True when the connection is no longer open.
  bool ReadFindsPeerGone(bool raiseIfDisconnected, bool ignoreBuffer = false);
  std::string ReplyText() const;

  bool asciiFilter_ = false;
  std::atomic<TIdConnectionIntercept*> intercept_ = nullptr;
  // Written only by the owning thread, always under handlerLock_; other threads read it under
  // the lock (DropSocket), the owner reads it freely.
  rtl::TMaybeOwned<TIdIOHandler> ioHandler_{*this};
  TIdIOHandlerSocket* socketHandler_ = nullptr;
  mutable std::mutex handlerLock_;
  std::int32_t maxLineLength_ = DefaultMaxLineLength;
  TIdMaxLineAction maxLineAction_ = maException;
  std::int32_t readTimeout_ = 0;
  std::int32_t recvBufferSize_ = DefaultBufferSize;
  std::int32_t sendBufferSize_ = DefaultBufferSize;
  std::atomic<bool> peerClosed_ = false;
  bool lineWasSplit_ = false;
  bool lineCutShort_ = false;
  std::unique_ptr<TIdRFCReply> greetingReply_;
  std::unique_ptr<TIdRFCReply> lastReply_;
  std::unique_ptr<TIdSimpleBuffer> receiveChunk_;
  std::unique_ptr<TIdManagedBuffer> receivedData_;
};
