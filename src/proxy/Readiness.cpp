#include "proxy/Readiness.h"

#include "platform/WinSock2.h"

namespace proxy {
namespace {

winsock::timeval Timeout(std::chrono::microseconds wait) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
  return {static_cast<std::int32_t>(seconds.count()),
          static_cast<std::int32_t>((wait - seconds).count())};
}

}  // namespace

Readiness WaitReadable(TIdStackSocketHandle socket, std::chrono::microseconds wait) {
  winsock::fd_set readSet;
  winsock::FdZero(&readSet);
  winsock::FdSet(socket, &readSet);
  winsock::timeval timeout = Timeout(wait);
  const std::int32_t result = winsock::select(0, &readSet, nullptr, nullptr, &timeout);
  if (result > 0) return Readiness::Readable;
  return result == 0 ? Readiness::TimedOut : Readiness::Failed;
}

bool ReadableNow(TIdStackSocketHandle socket) {
  return WaitReadable(socket, std::chrono::microseconds(0)) == Readiness::Readable;
}

std::optional<TIdStackSocketHandle> WaitEitherReadable(TIdStackSocketHandle first,
                                                       TIdStackSocketHandle second,
                                                       std::chrono::microseconds wait) {
  winsock::fd_set readSet;
  winsock::FdZero(&readSet);
  winsock::FdSet(first, &readSet);
  winsock::FdSet(second, &readSet);
  winsock::timeval timeout = Timeout(wait);
  if (winsock::select(0, &readSet, nullptr, nullptr, &timeout) <= 0) return std::nullopt;
  return winsock::FdIsSet(first, &readSet) ? first : second;
}

SendReadiness WaitSendable(TIdStackSocketHandle socket, std::chrono::microseconds wait) {
  winsock::fd_set readSet;
  winsock::fd_set writeSet;
  winsock::FdZero(&readSet);
  winsock::FdSet(socket, &readSet);
  winsock::FdZero(&writeSet);
  winsock::FdSet(socket, &writeSet);
  winsock::timeval timeout = Timeout(wait);
  const std::int32_t result = winsock::select(0, &readSet, &writeSet, nullptr, &timeout);
  if (result < 0) return SendReadiness::Failed;
  if (result == 0) return SendReadiness::TimedOut;
  return winsock::FdIsSet(socket, &readSet) ? SendReadiness::Readable : SendReadiness::Writable;
}

PeerState PeekPeer(TIdStackSocketHandle socket) {
  if (socket == Id_INVALID_SOCKET) return PeerState::Reset;
  if (!ReadableNow(socket)) return PeerState::Open;
  int error = 0;
  int length = sizeof error;
  if (winsock::getsockopt(socket, winsock::SOL_SOCKET, winsock::SO_ERROR,
                          reinterpret_cast<char*>(&error), &length) != 0 ||
      error != 0)
    return PeerState::Reset;
  char byte;
  const int n = winsock::recv(socket, &byte, 1, winsock::MSG_PEEK);
  if (n > 0) return PeerState::Open;
  return n == 0 ? PeerState::HalfClosed : PeerState::Reset;
}

}  // namespace proxy
