#include "net/IdSocketList.h"

#include "net/IdException.h"

namespace {

std::unique_ptr<TIdSocketList> MakeWindowsSocketList() {
  return std::make_unique<TIdSocketListWindows>();
}

}  // namespace

void TIdSocketListWindows::AddSocket(winsock::SOCKET s) {
  if (set_.fd_count >= static_cast<winsock::u_int>(winsock::FDSET_SIZE))
    throw EIdStackSetSizeExceeded();
  set_.fd_array[set_.fd_count++] = s;
}

void TIdSocketListWindows::RemoveSocket(winsock::SOCKET s) {
  for (winsock::u_int i = 0; i < set_.fd_count; ++i) {
    if (set_.fd_array[i] != s) continue;
    --set_.fd_count;
    set_.fd_array[i] = set_.fd_array[set_.fd_count];
    set_.fd_array[set_.fd_count] = 0;
    return;
  }
}

std::int32_t TIdSocketListWindows::SocketCount() const {
  return static_cast<std::int32_t>(set_.fd_count);
}

winsock::SOCKET TIdSocketListWindows::SocketAt(std::int32_t index) const {
  if (index < 0 || index >= SocketCount()) throw EIdStackSetSizeExceeded();
  return set_.fd_array[index];
}

TIdSocketListClass SocketSetClass() {
  return &MakeWindowsSocketList;
}
