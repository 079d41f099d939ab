#pragma once

// The socket stack over the WinSock 2 layer. The first instance in the process starts the library
// (version 2.2); later ones reuse it. The library is cleaned up at program end only when the
// start-up succeeded. A socket call that the library refuses because it is not started (or has
// been cleaned up) raises EIdWS2StubError naming the function, with code 10093.

#include <cstdint>
#include <string>
#include <vector>

#include "net/IdStack.h"

class TIdStackWindows : public TIdStack {
 public:
  // Raises EIdStackInitializationFailed when the library refuses to start.
  TIdStackWindows();
  ~TIdStackWindows() override = default;

  void FillLocalAddresses() override;
  std::string FirstLocalAddress() override;
  std::vector<std::string> LocalAddressList() override;

  TIdStackSocketHandle SockAccept(TIdStackSocketHandle s, std::string& ip,
                                  std::int32_t& port) override;
  std::int32_t SockBind(TIdStackSocketHandle s, std::int32_t family, const std::string& ip,
                        std::int32_t port) override;
  std::int32_t SockClose(TIdStackSocketHandle s) override;
  std::int32_t SockConnect(TIdStackSocketHandle s, std::int32_t family, const std::string& ip,
                           std::int32_t port) override;
  std::string SockHostByName(const std::string& hostName) override;
  TIdIPAddresses SockHostAddresses(const std::string& hostName) override;
  bool IPv6Available() override;
  std::string SockLocalHostName() override;
  std::string SockHostByAddress(const std::string& address) override;
  std::int32_t SockServiceByName(const std::string& serviceName) override;
  std::vector<std::string> SockServiceByPort(std::int32_t port) override;
  winsock::u_short SockHostToNet16(winsock::u_short value) override;
  std::int32_t SockListen(TIdStackSocketHandle s, std::int32_t backlog) override;
  winsock::u_short SockNetToHost16(winsock::u_short value) override;
  winsock::u_long SockHostToNet32(winsock::u_long value) override;
  winsock::u_long SockNetToHost32(winsock::u_long value) override;
  std::int32_t SockReceive(TIdStackSocketHandle s, void* buffer, std::int32_t length,
                           std::int32_t flags) override;
  std::int32_t SockReceiveFrom(TIdStackSocketHandle s, void* buffer, std::int32_t length,
                               std::int32_t flags, std::string& ip, std::int32_t& port) override;
  std::int32_t SockSelect(TIdSocketValues* readList, TIdSocketValues* writeList,
                          TIdSocketValues* exceptList, std::int32_t timeoutMs) override;
  std::int32_t SockSend(TIdStackSocketHandle s, const void* buffer, std::int32_t length,
                        std::int32_t flags) override;
  std::int32_t SockSendTo(TIdStackSocketHandle s, const void* buffer, std::int32_t length,
                          std::int32_t flags, const std::string& ip, std::int32_t port) override;
  std::int32_t SockSetOption(TIdStackSocketHandle s, std::int32_t level, std::int32_t option,
                             const void* value, std::int32_t length) override;
  TIdStackSocketHandle SockOpen(std::int32_t family, std::int32_t type,
                                std::int32_t protocol) override;
  std::int32_t SockShutdown(TIdStackSocketHandle s, std::int32_t how) override;
  // Adds "Host not found." for 11001.
  std::string SocketErrorText(std::int32_t errorNumber) override;
  std::int32_t SockLastError() override;
  void SockPeerAddress(TIdStackSocketHandle s, std::int32_t& family, std::string& ip,
                       std::int32_t& port) override;
  void SockLocalAddress(TIdStackSocketHandle s, std::int32_t& family, std::string& ip,
                        std::int32_t& port) override;
  std::int32_t SockGetOption(TIdStackSocketHandle s, std::int32_t level, std::int32_t option,
                             void* value, std::int32_t& length) override;
  std::string AddressToText(const winsock::in_addr& address) override;
  void TextToAddress(const std::string& text, winsock::in_addr& address) override;

 private:
  // The family, address text and host-order port of an address the library filled in.
  void AddressOf(const winsock::sockaddr_storage& storage, std::int32_t& family, std::string& ip,
                 std::int32_t& port);
  // An IPv6 address for the library; an empty ip is ::. Raises EConvertError for bad text.
  winsock::sockaddr_in6 Address6(const std::string& ip, std::int32_t port);
};

// True once the library start-up has succeeded in this process (until the program-end cleanup).
bool SocketsStarted();

// Sends a whole file on a socket; gives the file's size, or 0 when the file could not be opened or
// the send failed. 64-bit so a large file's size is not cut short.
using TIdFileSendHook = std::int64_t (*)(TIdStackSocketHandle s, const std::string& fileName);

// TransmitWholeFile unless changed; null means the caller streams the file itself.
TIdFileSendHook FileSendHook();
void SetFileSendHook(TIdFileSendHook hook);
std::int64_t TransmitWholeFile(TIdStackSocketHandle s, const std::string& fileName);
