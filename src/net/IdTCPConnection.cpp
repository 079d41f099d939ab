#include "net/IdTCPConnection.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string_view>

#include "net/IdAntiFreezeBase.h"
#include "net/IdException.h"
#include "net/IdGlobal.h"
#include "net/IdStack.h"
#include "net/IdStackWindows.h"

namespace {

constexpr std::int32_t kInt32Max = std::numeric_limits<std::int32_t>::max();

std::int32_t ClampToInt32(std::int64_t value) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, -kInt32Max, kInt32Max));
}

bool SameTextAscii(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
    return upper(x) == upper(y);
  });
}

// The length of the line that ends at offset `end`, with the CR of a CR LF not counted when the
// terminator is LF (the CR is dropped from the line as well).
std::int64_t LineLength(std::string_view data, std::int64_t end, bool lfTerminator) {
  if (lfTerminator && end > 0 && data[static_cast<std::size_t>(end - 1)] == '\r') return end - 1;
  return end;
}

// How many bytes at the end of data may still turn out to be part of the line's end rather than of
// the line: a started terminator, or the CR of a CR LF.
std::int64_t PendingLineEnd(std::string_view data, std::string_view terminator, bool lfTerminator) {
  if (lfTerminator) return !data.empty() && data.back() == '\r' ? 1 : 0;
  for (std::size_t k = std::min(terminator.size() - 1, data.size()); k > 0; --k)
    if (data.ends_with(terminator.substr(0, k))) return static_cast<std::int64_t>(k);
  return 0;
}

void FilterAscii(char* bytes, std::int32_t count) {
  for (std::int32_t i = 0; i < count; ++i)
    bytes[i] = static_cast<char>(static_cast<unsigned char>(bytes[i]) & 0x7F);
}

}  // namespace

TIdTCPConnection::TIdTCPConnection(rtl::TComponent* owner)
    : TIdComponent(owner),
      greetingReply_(std::make_unique<TIdRFCReply>()),
      lastReply_(std::make_unique<TIdRFCReply>()),
      receiveChunk_(std::make_unique<TIdSimpleBuffer>()),
      receivedData_(std::make_unique<TIdManagedBuffer>()) {
  receivedData_->BytesTakenHandler = [this](TIdSimpleBuffer*, std::int64_t count) {
    AdvanceWork(wmRead, ClampToInt32(count));
  };
}

TIdTCPConnection::~TIdTCPConnection() {
  try {
    DropSocket();
  } catch (...) {
    // An intercept's disconnect handler may raise; a destructor must not.
  }
  FreeOwnedIOHandler();
}

void TIdTCPConnection::SetIntercept(TIdConnectionIntercept* value) {
  TIdConnectionIntercept* old = intercept_.exchange(value);
  if (old == value) return;
  if (old) RemoveFreeNotification(old);
  if (value) FreeNotification(value);
}

void TIdTCPConnection::SetIOHandler(TIdIOHandler* value) {
  if (value == IOHandler()) return;
  ReplaceIOHandler(value, nullptr);
}

void TIdTCPConnection::SetIOHandler(std::unique_ptr<TIdIOHandler> value) {
  TIdIOHandler* raw = value.get();
  ReplaceIOHandler(raw, std::move(value));
}

void TIdTCPConnection::ReplaceIOHandler(TIdIOHandler* value, std::unique_ptr<TIdIOHandler> owned) {
  std::unique_ptr<TIdIOHandler> doomed;  // freed after the lock: see FreeOwnedIOHandler
  std::lock_guard lock(handlerLock_);
  doomed = ioHandler_.Release();
  if (owned)
    ioHandler_.Own(std::move(owned));
  else
    ioHandler_.Use(value);
  // A handler of another kind leaves no socket handler; keeping the old one would dangle.
  socketHandler_ = dynamic_cast<TIdIOHandlerSocket*>(value);
}

void TIdTCPConnection::SetOwnsIOHandler(bool value) {
  std::lock_guard lock(handlerLock_);
  ioHandler_.SetOwns(value);
}

void TIdTCPConnection::FreeOwnedIOHandler() {
  // Freed outside the lock: a handler this connection owns as a component reports its removal.
  std::unique_ptr<TIdIOHandler> doomed;
  std::lock_guard lock(handlerLock_);
  if (!ioHandler_.Owns()) return;
  doomed = ioHandler_.Release();
  socketHandler_ = nullptr;
}

TIdStackSocketHandle TIdTCPConnection::Socket() const {
  TIdIOHandlerSocket* handler = socketHandler_;
  return handler && handler->SocketHandle() ? handler->SocketHandle()->OsSocket()
                                            : Id_INVALID_SOCKET;
}

TIdStackSocketHandle TIdTCPConnection::SocketFromAnotherThread() const {
  std::lock_guard lock(handlerLock_);
  return Socket();
}

bool TIdTCPConnection::IsClosedFromAnotherThread() const {
  if (peerClosed_.load()) return true;
  std::lock_guard lock(handlerLock_);
  TIdIOHandler* handler = ioHandler_.Get();
  return !handler || !handler->IsConnected();
}

void TIdTCPConnection::Notification(rtl::TComponent* component, rtl::TOperation operation) {
  TIdComponent::Notification(component, operation);
  if (operation != rtl::TOperation::opRemove || !component) return;
  if (component == IOHandler()) {
    std::lock_guard lock(handlerLock_);
    ioHandler_.Forget(component);
    socketHandler_ = nullptr;
  }
  TIdConnectionIntercept* intercept = intercept_.load();
  if (intercept && component == intercept) intercept_.compare_exchange_strong(intercept, nullptr);
}

void TIdTCPConnection::NotifyDisconnected() {
  if (OnDisconnected) OnDisconnected(this);
}

void TIdTCPConnection::ResetReadState() {
  receivedData_->Clear();
  peerClosed_ = false;
}

std::string TIdTCPConnection::ReadToEnd() {
  StartWork(wmRead, 0);
  std::string result;
  try {
    while (IsConnected())
      result += ReadAvailable();
    // Bytes left from before the connection closed belong to the stream too.
    result += receivedData_->TakeBytes(receivedData_->Size());
  } catch (...) {
    FinishWork(wmRead);
    throw;
  }
  FinishWork(wmRead);
  return result;
}

void TIdTCPConnection::DetectDisconnect(bool raiseIfDisconnected, bool ignoreBuffer) {
  bool disconnected = false;
  if (peerClosed_ || !IOHandler()) {
    if (IOHandler()) {
      if (IOHandler()->IsConnected()) {
        DropSocket();
        ReportStatus(hsDisconnected);
        NotifyDisconnected();
      }
      disconnected = true;
    }
  } else {
    disconnected = !IOHandler()->IsConnected();
  }
  if (disconnected && raiseIfDisconnected && (receivedData_->Size() == 0 || ignoreBuffer))
    throw EIdConnClosedGracefully();
}

void TIdTCPConnection::ProbeDisconnect(bool raiseIfDisconnected) {
  FillInputBuffer(raiseIfDisconnected, 1, false);
}

void TIdTCPConnection::CheckReplyCode(std::int32_t code, const std::vector<std::int16_t>& allowed) {
  if (allowed.empty()) return;
  if (std::find(allowed.begin(), allowed.end(), code) == allowed.end()) RaiseReplyError();
}

bool TIdTCPConnection::IsConnected() {
  DetectDisconnect(false, false);
  return IOHandler() && IOHandler()->IsConnected();
}

void TIdTCPConnection::Disconnect() {
  ReportStatus(hsDisconnecting);
  DropSocket();
  FreeOwnedIOHandler();
  NotifyDisconnected();
  ReportStatus(hsDisconnected);
}

void TIdTCPConnection::DropSocket() {
  {
    std::lock_guard lock(handlerLock_);
    if (!IOHandler()) return;
    peerClosed_ = true;
  }
  // The intercept's handlers run without the lock, so they may use the connection.
  if (TIdConnectionIntercept* intercept = intercept_.load()) intercept->Disconnect();
  std::lock_guard lock(handlerLock_);
  if (IOHandler()) IOHandler()->Close();
}

std::int32_t TIdTCPConnection::ReadReply(const std::vector<std::int16_t>& allowed) {
  std::vector<std::string> lines{ReadNonEmptyLine(kInt32Max)};
  if (lines.front().size() > 3 && lines.front()[3] == '-') {
    const std::string prefix = lines.front().substr(0, 3) + " ";
    for (;;) {
      lines.push_back(ReadNonEmptyLine(kInt32Max));
      const std::string& line = lines.back();
      if (line.size() < 4 || SameTextAscii(std::string_view(line).substr(0, 4), prefix)) break;
    }
  }
  lastReply_->Parse(lines);
  CheckReplyCode(lastReply_->NumericCode(), allowed);
  return lastReply_->NumericCode();
}

std::string TIdTCPConnection::ReplyText() const {
  std::string text;
  for (const auto& line : lastReply_->Text())
    text += line + "\r\n";
  return text;
}

void TIdTCPConnection::RaiseReplyError() {
  throw EIdProtocolReplyError(lastReply_->NumericCode(), ReplyText());
}

void TIdTCPConnection::RaiseReplyError(const TIdExceptionClass& kind) {
  std::string text = ReplyText();
  if (kind) kind(text);
  throw EIdException(text);
}

std::int32_t TIdTCPConnection::FillInputBuffer(bool raiseIfDisconnected, std::int32_t timeout,
                                               bool raiseOnTimeout) {
  const FillResult result = Fill(nullptr, 0, raiseIfDisconnected, timeout, raiseOnTimeout);
  switch (result.outcome) {
    case FillOutcome::Received:
      return result.count;
    case FillOutcome::PeerGone:
      return 0;
    case FillOutcome::TimedOut:
      return -1;
  }
  return 0;
}

bool TIdTCPConnection::ReadFindsPeerGone(bool raiseIfDisconnected, bool ignoreBuffer) {
  DetectDisconnect(raiseIfDisconnected, ignoreBuffer);
  return !IOHandler() || !IOHandler()->IsConnected();
}

TIdTCPConnection::FillResult TIdTCPConnection::Fill(char* direct, std::int32_t directLength,
                                                    bool raiseIfDisconnected, std::int32_t timeout,
                                                    bool raiseOnTimeout) {
  if (timeout == -1) timeout = readTimeout_ == 0 ? IdTimeoutInfinite : readTimeout_;
  if (ReadFindsPeerGone(raiseIfDisconnected)) {
    if (raiseIfDisconnected) throw EIdNotConnected();
    return {FillOutcome::PeerGone, 0};
  }
  TIdStack* stack = GlobalStack();
  for (;;) {
    // Another thread may drop the socket while this one waits or receives (the server does so when
    // it stops). Whichever way the handler then fails, that is a close, not a time-out or a
    // socket error.
    // A wait without limit is left to a receive that waits by itself, saving a select per read;
    // the main thread, which keeps the window system running meanwhile, still waits in slices.
    bool readable = timeout == IdTimeoutInfinite && IOHandler()->ReceiveWaits() &&
                    !TIdAntiFreezeBase::IsInUse();
    try {
      if (!readable) readable = IOHandler()->WaitReadable(timeout);
    } catch (const EIdConnClosedGracefully&) {
      if (IOHandler()->IsConnected()) throw;
    }
    std::int32_t n = 0;
    if (readable) {
      char* target = direct;
      std::int32_t length = directLength;
      if (!direct) {
        receiveChunk_->SetSize(recvBufferSize_);
        target = receiveChunk_->Memory();
        length = recvBufferSize_;
      }
      try {
        n = IOHandler()->Receive(target, length);
      } catch (const EIdClosedSocket&) {
        if (IOHandler()->IsConnected()) throw;
        n = Id_SOCKET_ERROR;
      }
      if (n < 0) n = Id_SOCKET_ERROR;
    }
    const bool dropped = (!readable || n == Id_SOCKET_ERROR) && !IOHandler()->IsConnected();
    if (dropped) {
      n = 0;
    } else if (!readable) {
      if (raiseOnTimeout) throw EIdReadTimeout();
      return {FillOutcome::TimedOut, 0};
    } else {
      peerClosed_ = n == 0;
      if (n == Id_SOCKET_ERROR) {
        // Shut down and aborted close the socket quietly while bytes are still waiting to be
        // read; everything else, a reset included, raises here and leaves the socket open.
        stack->CheckSocketResult(n, {winsock::WSAESHUTDOWN, winsock::WSAECONNABORTED});
        DropSocket();
        n = 0;
        if (receivedData_->Size() == 0) stack->ThrowSocketError(stack->LastErrorCode());
      }
      if (n > 0 && direct) {
        if (asciiFilter_) FilterAscii(direct, n);
        // Bytes that skip ReceivedData are reported here, as taking them from it would.
        AdvanceWork(wmRead, n);
      } else if (n > 0) {
        receiveChunk_->SetSize(n);
        if (TIdConnectionIntercept* intercept = intercept_.load()) {
          receiveChunk_->SetPosition(0);
          intercept->Receive(*receiveChunk_);
          n = ClampToInt32(receiveChunk_->Size());
        }
        if (asciiFilter_) FilterAscii(receiveChunk_->Memory(), n);
        receivedData_->Seek(0, rtl::TSeekOrigin::soEnd);
        receivedData_->WriteBuffer(receiveChunk_->Memory(), n);
      }
    }
    const bool gone = ReadFindsPeerGone(raiseIfDisconnected);
    if (n > 0) return {FillOutcome::Received, n};
    if (gone) return {FillOutcome::PeerGone, 0};
    // An intercept kept every byte of this receive for itself: wait for more.
  }
}

std::string TIdTCPConnection::ReadLine(const std::string& terminator, std::int32_t timeout,
                                       std::int32_t maxLength) {
  if (maxLength == -1) maxLength = maxLineLength_;
  if (maxLength < 0) maxLength = 0;
  const std::string_view term = terminator.empty() ? std::string_view("\n") : terminator;
  const bool lfTerminator = term == "\n";
  const auto termSize = static_cast<std::int64_t>(term.size());
  lineWasSplit_ = false;
  lineCutShort_ = false;

  std::int64_t found = -1;  // offset of the terminator among the unread bytes
  std::int64_t scanned = 0;
  bool tooLong = false;
  for (;;) {
    std::string_view unread(receivedData_->Memory(),
                            static_cast<std::size_t>(receivedData_->Size()));
    if (!unread.empty()) {
      // Only new bytes are searched, overlapping the old ones by enough to find a terminator that
      // arrived in two receives.
      std::int64_t from = std::max<std::int64_t>(scanned - (termSize - 1), 0);
      std::size_t at = unread.find(term, static_cast<std::size_t>(from));
      found = at == std::string_view::npos ? -1 : static_cast<std::int64_t>(at);
      scanned = static_cast<std::int64_t>(unread.size());
    }
    if (found >= 0) {
      tooLong = maxLength != 0 && LineLength(unread, found, lfTerminator) > maxLength;
      break;
    }
    if (maxLength != 0 && scanned - PendingLineEnd(unread, term, lfTerminator) > maxLength) {
      tooLong = true;
      break;
    }
    ReadFindsPeerGone(true, true);
    // Any expired wait raises: repeating it would wait without end despite the time-out given.
    lineCutShort_ = Fill(nullptr, 0, true, timeout, true).outcome == FillOutcome::PeerGone;
    if (lineCutShort_) return {};
  }

  if (tooLong) {
    if (maxLineAction_ == maException) throw EIdReadLnMaxLineLengthExceeded();
    lineWasSplit_ = true;
    return receivedData_->TakeBytes(maxLength);
  }
  std::string line = receivedData_->TakeBytes(found + termSize);
  line.resize(static_cast<std::size_t>(found));
  if (lfTerminator && !line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::string TIdTCPConnection::ReadAvailable() {
  if (IsConnected()) FillInputBuffer(false, -1, true);
  return receivedData_->TakeBytes(receivedData_->Size());
}

std::int32_t TIdTCPConnection::ReadAvailableInto(void* buffer, std::int32_t length) {
  if (length <= 0 || !buffer) return 0;
  if (receivedData_->Size() == 0 && IsConnected()) {
    // An intercept works on a buffer of the connection's own; without one, nothing needs to
    // pass through ReceivedData.
    if (!intercept_.load()) {
      const FillResult read = Fill(static_cast<char*>(buffer), length, false, -1, true);
      return read.outcome == FillOutcome::Received ? read.count : 0;
    }
    FillInputBuffer(false, -1, true);
  }
  const auto count =
      static_cast<std::int32_t>(std::min<std::int64_t>(length, receivedData_->Size()));
  if (count > 0) {
    std::memcpy(buffer, receivedData_->Memory(), static_cast<std::size_t>(count));
    receivedData_->Discard(count);
  }
  return count;
}

std::string TIdTCPConnection::ReadNonEmptyLine(std::int32_t failCount) {
  for (std::int32_t i = 0; i < failCount; ++i) {
    std::string line = TrimControls(ReadLine("\n", -1, -1));
    if (!line.empty()) return line;
  }
  return {};
}

std::int32_t TIdTCPConnection::SendCommand(const std::string& line,
                                           const std::vector<std::int16_t>& allowed) {
  WriteLine(line);
  return ReadReply(allowed);
}

void TIdTCPConnection::WriteBytes(const void* buffer, std::int32_t count) {
  if (count <= 0 || !buffer) return;
  // A connection that has gone is an error for every write, whatever is still buffered.
  DetectDisconnect(true, true);
  if (!IsConnected()) throw EIdNotConnected();

  // Only an intercept, which may change the bytes, needs a copy of them.
  const char* bytes = static_cast<const char*>(buffer);
  TIdSimpleBuffer temporary;
  if (TIdConnectionIntercept* intercept = intercept_.load()) {
    temporary.WriteBuffer(buffer, count);
    temporary.SetPosition(0);
    intercept->Send(temporary);
    count = ClampToInt32(temporary.Size());
    bytes = temporary.Memory();
  }
  TIdStack* stack = GlobalStack();
  std::int32_t sent = 0;
  while (sent < count) {
    std::int32_t n = IOHandler()->Send(bytes + sent, count - sent);
    if (n < 0) n = Id_SOCKET_ERROR;
    TIdAntiFreezeBase::ProcessIfNeeded(false, false);
    peerClosed_ = n == 0;
    DetectDisconnect(true, false);
    if (stack->CheckSocketResult(
            n, {winsock::WSAESHUTDOWN, winsock::WSAECONNABORTED, winsock::WSAECONNRESET})) {
      DropSocket();
      // The number recorded by the check: closing the socket may have changed the last error.
      stack->ThrowSocketError(stack->LastErrorCode());
    }
    AdvanceWork(wmWrite, n);
    sent += n;
  }
}

void TIdTCPConnection::Write(const std::string& text) {
  const char* bytes = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    auto n = static_cast<std::int32_t>(std::min<std::size_t>(left, kInt32Max));
    WriteBytes(bytes, n);
    bytes += n;
    left -= static_cast<std::size_t>(n);
  }
}

void TIdTCPConnection::WriteLine(const std::string& text) {
  Write(text + "\r\n");
}

void TIdTCPConnection::WriteFromStream(rtl::TStream& stream, bool all, bool writeByteCount,
                                       std::int64_t size) {
  if (all) stream.SetPosition(0);
  std::int64_t position = stream.Position();
  const std::int64_t end = size != 0 ? position + size : stream.Size();
  const std::int64_t total = end - position;
  if (writeByteCount) WriteInt32(ClampToInt32(total), true);
  StartWork(wmWrite, ClampToInt32(total));
  try {
    std::vector<char> block(static_cast<std::size_t>(sendBufferSize_));
    for (;;) {
      std::int64_t n = std::min<std::int64_t>(end - position, sendBufferSize_);
      if (n <= 0) break;
      std::int64_t got = stream.Read(block.data(), n);
      if (got <= 0) throw EIdNoDataToRead();
      WriteBytes(block.data(), static_cast<std::int32_t>(got));
      position += got;
    }
  } catch (...) {
    FinishWork(wmWrite);
    throw;
  }
  FinishWork(wmWrite);
}

void TIdTCPConnection::WriteInt32(std::int32_t value, bool toNetworkOrder) {
  auto bits = static_cast<std::uint32_t>(value);
  if (toNetworkOrder) bits = static_cast<std::uint32_t>(GlobalStack()->SockHostToNet32(bits));
  WriteBytes(&bits, sizeof bits);
}

std::int64_t TIdTCPConnection::WriteFileContents(const std::string& fileName, bool allowTransmit) {
  std::error_code error;
  if (!std::filesystem::exists(fileName, error)) throw EIdFileNotFound(fileName);

  TIdFileSendHook hook = FileSendHook();
  TIdSocketHandle* handle = socketHandler_ ? socketHandler_->SocketHandle() : nullptr;
  if (hook && !intercept_.load() && allowTransmit && handle) {
    // The whole-file path goes around WriteBytes, so it makes the same connection checks.
    DetectDisconnect(true, true);
    if (!IsConnected()) throw EIdNotConnected();
    auto expected = static_cast<std::int64_t>(std::filesystem::file_size(fileName, error));
    std::int64_t sent = hook(handle->OsSocket(), fileName);
    // The routine gives 0 on failure; a short file must not look sent.
    if (error || sent != expected) GlobalStack()->ThrowSocketError(GlobalStack()->SockLastError());
    return sent;
  }
  rtl::TFileStream file(fileName, rtl::TFileStream::Mode::fmOpenRead);
  WriteFromStream(file, true, false, 0);
  return file.Size();
}

void TIdTCPConnection::WriteReply(const TIdRFCReply& reply) {
  if (reply.HasContent()) Write(reply.Formatted());
}

void TIdTCPConnection::WriteDotTerminated(const std::vector<std::string>& lines) {
  for (const auto& line : lines)
    WriteLine(line == "." ? ".." : line);
  WriteLine(".");
}
