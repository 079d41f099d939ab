#include "GuardStack.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "net/IdStackWindows.h"

namespace hostile {
namespace {

std::mutex gLock;
std::vector<Connect> gConnects;  // guarded by gLock
std::condition_variable gResolverChanged;
bool gResolverHangs = false;  // guarded by gLock
int gBlockedLookups = 0;      // guarded by gLock

// Names of the suite's own; everything else is unknown, so no look-up leaves the machine.
const std::map<std::string, std::string> kNames = {
    {"loopback.test", "127.0.0.5"},
    {"zero.test", "0.0.0.0"},
    {"lan-origin.test", kLanOrigin},
};
// Addresses that stand for hosts that never answer; connects to them reach 127.0.0.1.
const std::string kHolePrefix = "198.51.100.";

TIdIPAddresses Holes(int count) {
  TIdIPAddresses addresses;
  for (int i = 1; i <= count; ++i)
    addresses.push_back({kHolePrefix + std::to_string(i), Id_IPv4});
  return addresses;
}

// Names with more than one address or IPv6 ones, in the order a resolver would give them.
const std::map<std::string, TIdIPAddresses> kAddresses = {
    {"v6only.test", {{"::1", Id_IPv6}}},
    {"dual.test", {{"::1", Id_IPv6}, {"127.0.0.1", Id_IPv4}}},
    {"hole.test", Holes(1)},
    {"hole50.test", Holes(50)},
};

class GuardStack : public TIdStackWindows {
 public:
  std::int32_t SockConnect(TIdStackSocketHandle s, std::int32_t family, const std::string& ip,
                           std::int32_t port) override {
    {
      std::lock_guard lock(gLock);
      gConnects.push_back({ip, port});
    }
    if (family == Id_PF_INET6) {
      // IPv6 reaches only ::1, this machine's loopback.
      winsock::in6_addr address{};
      winsock::u_long zone = 0;
      TextToAddress6(ip, address, zone);
      if (AddressToText6(address) != "::1") {
        winsock::WSASetLastError(winsock::WSAENETUNREACH);
        return Id_SOCKET_ERROR;
      }
      return TIdStackWindows::SockConnect(s, family, ip, port);
    }
    const std::string to = ip == kLanOrigin || ip.starts_with(kHolePrefix) ? "127.0.0.1" : ip;
    if ((SockNetToHost32(TextToAddressValue(to)) >> 24) != 127) {
      winsock::WSASetLastError(winsock::WSAENETUNREACH);
      return Id_SOCKET_ERROR;
    }
    return TIdStackWindows::SockConnect(s, family, to, port);
  }

  std::string SockHostByName(const std::string& hostName) override {
    if (hostName == "hang.test") {
      std::unique_lock lock(gLock);
      ++gBlockedLookups;
      gResolverChanged.wait(lock, [] { return !gResolverHangs; });
      --gBlockedLookups;
      ThrowSocketError(winsock::WSAHOST_NOT_FOUND);  // kNames may be gone by now, at exit
    }
    auto name = kNames.find(hostName);
    if (name == kNames.end()) ThrowSocketError(winsock::WSAHOST_NOT_FOUND);
    return name->second;
  }

  TIdIPAddresses SockHostAddresses(const std::string& hostName) override {
    if (hostName == "hang.test") SockHostByName(hostName);  // blocks, then raises
    auto name = kAddresses.find(hostName);
    if (name != kAddresses.end()) return name->second;
    return {{SockHostByName(hostName), Id_IPv4}};
  }

  TIdStackSocketHandle SockAccept(TIdStackSocketHandle s, std::string& ip,
                                  std::int32_t& port) override {
    const TIdStackSocketHandle accepted = TIdStackWindows::SockAccept(s, ip, port);
    if (ip == kRemoteClientSource) ip = kRemoteClientReported;
    return accepted;
  }

  void SockPeerAddress(TIdStackSocketHandle s, std::int32_t& family, std::string& ip,
                       std::int32_t& port) override {
    TIdStackWindows::SockPeerAddress(s, family, ip, port);
    if (ip == kRemoteClientSource) ip = kRemoteClientReported;
  }
};

}  // namespace

void InstallGuardStack() {
  SetStackClass([]() -> std::unique_ptr<TIdStack> { return std::make_unique<GuardStack>(); });
}

void SetResolverHangs(bool hangs) {
  {
    std::lock_guard lock(gLock);
    gResolverHangs = hangs;
  }
  gResolverChanged.notify_all();
}

int BlockedLookups() {
  std::lock_guard lock(gLock);
  return gBlockedLookups;
}

std::vector<Connect> TakeConnects() {
  std::lock_guard lock(gLock);
  return std::exchange(gConnects, {});
}

}  // namespace hostile
