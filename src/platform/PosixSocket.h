#pragma once

// Thin wrappers over the POSIX socket, poll and resolver calls, under names that do not collide
// with the WinSock declarations. PosixSocket.cpp is the one file of the socket layer that includes
// the POSIX socket headers; everything else talks to the kernel through here.
//
// Calls that can fail return their result, or the negated errno value on failure, so a caller
// never has to read errno after some other call may have changed it. Addresses and ports are kept
// in network byte order, as the kernel and WinSock both store them.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace posix {

enum class Family { Ipv4, Ipv6 };

struct Endpoint {
  Family family = Family::Ipv4;
  std::uint32_t address = 0;                // IPv4, network byte order
  std::array<std::uint8_t, 16> address6{};  // IPv6
  std::uint16_t port = 0;                   // network byte order
  std::uint32_t flowInfo = 0;               // IPv6, network byte order
  std::uint32_t scopeId = 0;                // IPv6, host byte order
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
  V6Only,  // IPv6 sockets only
};

// A new socket of the family, non-blocking and closed on exec.
int OpenSocket(Family family, SocketKind kind, Protocol protocol);
void Close(int fd);

int Bind(int fd, const Endpoint& local);
// Starts a connect on a non-blocking socket: 0, -EINPROGRESS or another failure.
int StartConnect(int fd, const Endpoint& peer);
int Listen(int fd, int backlog);
// The new descriptor is non-blocking and closed on exec. peer may be null.
int Accept(int fd, Endpoint* peer);
// from may be null; it is left alone when the kernel reports no address.
long Receive(int fd, void* buffer, std::size_t length, int flags, Endpoint* from);
// Never raises SIGPIPE. to may be null.
long Send(int fd, const void* buffer, std::size_t length, int flags, const Endpoint* to);
int Shutdown(int fd, bool receive, bool send);
int LocalEndpoint(int fd, Endpoint* local);
int PeerEndpoint(int fd, Endpoint* peer);

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

// What getaddrinfo is asked: family and kind none for any.
struct AddressQuery {
  std::optional<Family> family;
  std::optional<SocketKind> kind;
  Protocol protocol = Protocol::Default;
  bool passive = false;
  bool canonicalName = false;
  bool numericHost = false;
};

struct AddressAnswer {
  Endpoint endpoint;
  SocketKind kind = SocketKind::Stream;
  Protocol protocol = Protocol::Default;
};

// getaddrinfo: the answers in the resolver's order. name or service may be null, not both.
// A service that is no known name gives ServiceNotFound, flags that do not go together BadFlags.
enum class AddressStatus {
  Found,
  NotFound,
  TryAgain,
  Failed,
  NoAddress,
  ServiceNotFound,
  BadFlags
};
AddressStatus ResolveAddresses(const char* name, const char* service, const AddressQuery& query,
                               std::string* canonicalName, std::vector<AddressAnswer>* answers);

struct NameQuery {
  bool numericHost = false;
  bool nameRequired = false;
  bool numericService = false;
  bool datagram = false;
  bool noDomain = false;
};
// getnameinfo; host or service may be null when not wanted.
AddressStatus NameOf(const Endpoint& endpoint, const NameQuery& query, std::string* host,
                     std::string* service);

// The strict text forms of an address (inet_pton); false when text is no address of the family.
bool ParseAddress(Family family, const char* text, std::uint8_t* address);
// inet_ntop; empty when the family is unknown.
std::string AddressText(Family family, const std::uint8_t* address);

// Whether this machine has IPv6: an IPv6 socket can be bound to ::1.
bool Ipv6Usable();

}  // namespace posix
