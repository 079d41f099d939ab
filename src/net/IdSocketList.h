#pragma once

// A set of sockets of the library's fixed size (64), for callers that build select sets
// themselves.

#include <cstdint>
#include <memory>

#include "platform/WinSock2.h"

class TIdSocketList {
 public:
  virtual ~TIdSocketList() = default;

  // Appends; raises EIdStackSetSizeExceeded when the set is full.
  virtual void AddSocket(winsock::SOCKET s) = 0;
  // Removes the first equal entry by moving the last one into its place; absent sockets are
  // ignored.
  virtual void RemoveSocket(winsock::SOCKET s) = 0;
  virtual std::int32_t SocketCount() const = 0;
  // Index from 0 to SocketCount() - 1; any other raises EIdStackSetSizeExceeded.
  virtual winsock::SOCKET SocketAt(std::int32_t index) const = 0;
};

class TIdSocketListWindows : public TIdSocketList {
 public:
  void AddSocket(winsock::SOCKET s) override;
  void RemoveSocket(winsock::SOCKET s) override;
  std::int32_t SocketCount() const override;
  winsock::SOCKET SocketAt(std::int32_t index) const override;

  // The set in the library's layout, ready for select.
  const winsock::fd_set& FDSet() const { return set_; }

 private:
  winsock::fd_set set_{};
};

using TIdSocketListClass = std::unique_ptr<TIdSocketList> (*)();

// Makes the stack's socket set: a TIdSocketListWindows.
TIdSocketListClass SocketSetClass();
