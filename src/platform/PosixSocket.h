#pragma once

// Thin wrappers over the POSIX socket, poll and resolver calls, under names that do not collide
// with the WinSock declarations. PosixSocket.cpp is the one file of the socket layer that includes
// the POSIX socket headers; everything else talks to the kernel through here.
//
// Calls that can fail return their result, or the negated errno value on failure, so a caller
// never has to read errno after some other call may have changed it. Addresses and ports are kept
// in network byte order, as the kernel and WinSock both store them.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace posix {

struct Ipv4Endpoint {
  std::uint32_t address = 0;  // network byte order
  std::uint16_t port = 0;     // network byte order
};

enum class SocketKind { Stream, Datagram, Raw };
enum class Protocol { Default, Tcp, Udp, Icmp };

// Message flags, with the kernel's values (checked where the kernel headers are visible).
constexpr int kMsgOob = 0x01;
constexpr int kMsgPeek = 0x02;
constexpr int kMsgDontRoute = 0x04;
constexpr int kMsgTrunc = 0x20;

// poll events, with the kernel's values.
constexpr short kPollIn = 0x001;
constexpr short kPollPri = 0x002;
constexpr short kPollOut = 0x004;
constexpr short kPollErr = 0x008;
constexpr short kPollHup = 0x010;
constexpr short kPollNval = 0x020;

struct PollItem {
  int fd = -1;  // negative entries are skipped
  short events = 0;
  short revents = 0;
};

// Integer-valued options (booleans are 0 or 1).
enum class IntOption {
  Debug,
  AcceptConn,
  ReuseAddress,
  KeepAlive,
  DontRoute,
  Broadcast,
  OobInline,
  SendBuffer,
  ReceiveBuffer,
  Error,  // read-only; the pending errno value, cleared by reading
  Type,   // read-only; see SocketKind
  NoDelay,
};

// A new socket in the Internet family, non-blocking and closed on exec.
int OpenSocket(SocketKind kind, Protocol protocol);
void Close(int fd);

int Bind(int fd, const Ipv4Endpoint& local);
// Starts a connect on a non-blocking socket: 0, -EINPROGRESS or another failure.
int StartConnect(int fd, const Ipv4Endpoint& peer);
int Listen(int fd, int backlog);
// The new descriptor is non-blocking and closed on exec. peer may be null.
int Accept(int fd, Ipv4Endpoint* peer);
// from may be null; it is left alone when the kernel reports no address.
long Receive(int fd, void* buffer, std::size_t length, int flags, Ipv4Endpoint* from);
// Never raises SIGPIPE. to may be null.
long Send(int fd, const void* buffer, std::size_t length, int flags, const Ipv4Endpoint* to);
int Shutdown(int fd, bool receive, bool send);
int LocalEndpoint(int fd, Ipv4Endpoint* local);
int PeerEndpoint(int fd, Ipv4Endpoint* peer);

int SetIntOption(int fd, IntOption option, int value);
int GetIntOption(int fd, IntOption option, int* value);
int SetLinger(int fd, bool on, int seconds);
int GetLinger(int fd, bool* on, int* seconds);

// Number of ready items, 0 on time-out; timeoutMs < 0 waits without limit.
int Poll(PollItem* items, std::size_t count, int timeoutMs);

// Sends up to count bytes of the file from *offset, advancing *offset; never raises SIGPIPE.
long SendFile(int socketFd, int fileFd, std::int64_t* offset, std::size_t count);

enum class LookupStatus { Found, NotFound, TryAgain, Failed, NoAddress };

LookupStatus ResolveIpv4(const std::string& name, std::string* canonicalName,
                         std::vector<std::uint32_t>* addresses);
LookupStatus ReverseLookup(std::uint32_t address, std::string* name);

struct ServiceInfo {
  std::string name;
  std::vector<std::string> aliases;
  std::uint16_t port = 0;  // network byte order
  std::string protocol;
};

// protocol may be null (any protocol).
LookupStatus ServiceByName(const char* name, const char* protocol, ServiceInfo* service);
LookupStatus ServiceByPort(std::uint16_t port, const char* protocol, ServiceInfo* service);

int HostName(std::string* name);

}  // namespace posix
