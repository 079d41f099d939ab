#pragma once

// The WinSock 2 interface the network layer is written against, provided over POSIX sockets.
//
// Contract (the rest of the code relies on every point):
// - SOCKET values are this layer's own 32-bit handle numbers, not file descriptors; INVALID_SOCKET
//   (-1) means none. A number is never handed out again while any thread may still use the old one.
// - closesocket may be called from any thread while another thread is blocked in select, accept,
//   connect, recv or send on the same socket: the blocked call ends with WSAEINTR, later calls on
//   the number fail with WSAENOTSOCK, and the descriptor underneath is closed once no call is
//   using it. No call can ever reach a descriptor that the kernel has since given to another
//   socket. The last WSACleanup closes every socket still open.
// - WSAGetLastError is per thread and gives WinSock numbers (errno values are mapped to them);
//   every socket, select, option and look-up call fails with WSANOTINITIALISED before a successful
//   WSAStartup. The byte-order, address-text and fd_set helpers work at any time.
// - select takes the WinSock set layout (a count and 64 slots) and is built on poll, so descriptor
//   numbers above 1023 are safe.
// - Sending never raises SIGPIPE. gethostbyname and friends are thread-safe: each thread gets its
//   own result storage, valid until that thread's next look-up; they are IPv4 only.
// - IPv4 and IPv6: a socket carries its family (AF_INET or AF_INET6, with sockaddr_in or
//   sockaddr_in6) and takes only addresses of it. An AF_INET6 socket starts with IPV6_V6ONLY set,
//   as on Windows, so it never takes IPv4 traffic unless told to. getaddrinfo gives a name's
//   addresses of both families in the resolver's order, getnameinfo the way back; both return
//   the WinSock number of their failure (EAI_ values below) and also set the last error. Names
//   ending in "localhost" give loopback (::1 first, where this machine has IPv6) and names ending
//   in "invalid" give nothing, without any resolver, as gethostbyname does.
// - Option levels, option names and flags take the WinSock values below and are translated.
//   SO_RCVTIMEO and SO_SNDTIMEO take a 32-bit count of milliseconds. SO_REUSEADDR keeps its Linux
//   meaning: it allows rebinding a port held by connections in TIME_WAIT, never two live sockets
//   on one port.
//
// Everything lives in namespace winsock so it never collides with the POSIX names. The POSIX
// socket headers (<sys/socket.h>, <netinet/in.h>, <netdb.h>, <arpa/inet.h>) define many of the
// same names as macros: never include them in a file that includes this one.

#include <cstddef>
#include <cstdint>

namespace winsock {

using SOCKET = std::int32_t;
using u_char = std::uint8_t;
using u_short = std::uint16_t;
using u_int = std::uint32_t;
using u_long = std::uint32_t;

constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;
// A listen backlog that asks for the system's largest queue (net.core.somaxconn on Linux).
constexpr int SOMAXCONN = 0x7fffffff;
// FD_SETSIZE and the FD_ macros are taken by <sys/select.h>, which most C headers pull in.
constexpr int FDSET_SIZE = 64;

// Address families, socket types and protocols.
constexpr int AF_UNSPEC = 0;
constexpr int AF_INET = 2;
constexpr int PF_INET = AF_INET;
constexpr int AF_INET6 = 23;
constexpr int PF_INET6 = AF_INET6;
constexpr int SOCK_STREAM = 1;
constexpr int SOCK_DGRAM = 2;
constexpr int SOCK_RAW = 3;
constexpr int IPPROTO_IP = 0;
constexpr int IPPROTO_ICMP = 1;
constexpr int IPPROTO_TCP = 6;
constexpr int IPPROTO_UDP = 17;
constexpr int IPPROTO_IPV6 = 41;

constexpr u_long INADDR_ANY = 0x00000000;
constexpr u_long INADDR_LOOPBACK = 0x7f000001;
constexpr u_long INADDR_BROADCAST = 0xffffffff;
constexpr u_long INADDR_NONE = 0xffffffff;

// shutdown directions.
constexpr int SD_RECEIVE = 0;
constexpr int SD_SEND = 1;
constexpr int SD_BOTH = 2;

// recv/send flags.
constexpr int MSG_OOB = 0x1;
constexpr int MSG_PEEK = 0x2;
constexpr int MSG_DONTROUTE = 0x4;

// Option levels and names (WinSock values).
constexpr int SOL_SOCKET = 0xffff;
constexpr int SO_DEBUG = 0x0001;
constexpr int SO_ACCEPTCONN = 0x0002;
constexpr int SO_REUSEADDR = 0x0004;
constexpr int SO_KEEPALIVE = 0x0008;
constexpr int SO_DONTROUTE = 0x0010;
constexpr int SO_BROADCAST = 0x0020;
constexpr int SO_LINGER = 0x0080;
constexpr int SO_OOBINLINE = 0x0100;
constexpr int SO_SNDBUF = 0x1001;
constexpr int SO_RCVBUF = 0x1002;
constexpr int SO_SNDTIMEO = 0x1005;
constexpr int SO_RCVTIMEO = 0x1006;
constexpr int SO_ERROR = 0x1007;
constexpr int SO_TYPE = 0x1008;
constexpr int TCP_NODELAY = 0x0001;
constexpr int IPV6_V6ONLY = 27;  // level IPPROTO_IPV6

// Error numbers.
constexpr int WSABASEERR = 10000;
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;
constexpr int WSA_NOT_ENOUGH_MEMORY = 8;
constexpr int WSATYPE_NOT_FOUND = 10109;

// getaddrinfo and getnameinfo failures, as WinSock numbers them.
constexpr int EAI_AGAIN = WSATRY_AGAIN;
constexpr int EAI_BADFLAGS = WSAEINVAL;
constexpr int EAI_FAIL = WSANO_RECOVERY;
constexpr int EAI_FAMILY = WSAEAFNOSUPPORT;
constexpr int EAI_MEMORY = WSA_NOT_ENOUGH_MEMORY;
constexpr int EAI_NONAME = WSAHOST_NOT_FOUND;
constexpr int EAI_NODATA = EAI_NONAME;
constexpr int EAI_SERVICE = WSATYPE_NOT_FOUND;
constexpr int EAI_SOCKTYPE = WSAESOCKTNOSUPPORT;

// getaddrinfo flags.
constexpr int AI_PASSIVE = 0x01;
constexpr int AI_CANONNAME = 0x02;
constexpr int AI_NUMERICHOST = 0x04;
// getnameinfo flags and buffer sizes.
constexpr int NI_NOFQDN = 0x01;
constexpr int NI_NUMERICHOST = 0x02;
constexpr int NI_NAMEREQD = 0x04;
constexpr int NI_NUMERICSERV = 0x08;
constexpr int NI_DGRAM = 0x10;
constexpr int NI_MAXHOST = 1025;
constexpr int NI_MAXSERV = 32;
// Room for the text of an address, with its terminating zero.
constexpr int INET_ADDRSTRLEN = 22;
constexpr int INET6_ADDRSTRLEN = 65;

struct in_addr {
  u_long s_addr;  // network byte order
};

struct sockaddr {
  u_short sa_family;
  char sa_data[14];
};

struct sockaddr_in {
  std::int16_t sin_family;
  u_short sin_port;  // network byte order
  in_addr sin_addr;
  char sin_zero[8];
};

struct in6_addr {
  u_char s6_addr[16];
};

struct sockaddr_in6 {
  std::int16_t sin6_family;
  u_short sin6_port;     // network byte order
  u_long sin6_flowinfo;  // network byte order
  in6_addr sin6_addr;
  u_long sin6_scope_id;  // host byte order
};

// Room for an address of any family.
struct alignas(8) sockaddr_storage {
  std::int16_t ss_family;
  char ss_pad[126];
};

struct addrinfo {
  int ai_flags;
  int ai_family;
  int ai_socktype;
  int ai_protocol;
  std::size_t ai_addrlen;
  char* ai_canonname;
  sockaddr* ai_addr;
  addrinfo* ai_next;
};

struct linger {
  u_short l_onoff;
  u_short l_linger;
};

struct timeval {
  std::int32_t tv_sec;
  std::int32_t tv_usec;
};

// The WinSock set layout: a count and up to 64 sockets.
struct fd_set {
  u_int fd_count;
  SOCKET fd_array[FDSET_SIZE];
};

struct hostent {
  char* h_name;
  char** h_aliases;
  std::int16_t h_addrtype;
  std::int16_t h_length;
  char** h_addr_list;
};

struct servent {
  char* s_name;
  char** s_aliases;
  std::int16_t s_port;  // network byte order
  char* s_proto;
};

constexpr int WSADESCRIPTION_LEN = 256;
constexpr int WSASYS_STATUS_LEN = 128;

struct WSAData {
  std::uint16_t wVersion;
  std::uint16_t wHighVersion;
  char szDescription[WSADESCRIPTION_LEN + 1];
  char szSystemStatus[WSASYS_STATUS_LEN + 1];
  std::uint16_t iMaxSockets;
  std::uint16_t iMaxUdpDg;
  char* lpVendorInfo;
};

constexpr std::uint16_t MakeWord(std::uint8_t low, std::uint8_t high) {
  return static_cast<std::uint16_t>(low | (high << 8));
}

// Start-up and clean-up are counted as on Windows: every successful WSAStartup needs a WSACleanup.
// Only versions 2.x are accepted (WSAVERNOTSUPPORTED otherwise).
int WSAStartup(std::uint16_t versionRequested, WSAData* data);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int error);

SOCKET socket(int af, int type, int protocol);
int bind(SOCKET s, const sockaddr* name, int namelen);
int connect(SOCKET s, const sockaddr* name, int namelen);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen);
int recv(SOCKET s, char* buf, int len, int flags);
int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen);
int send(SOCKET s, const char* buf, int len, int flags);
int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen);
int shutdown(SOCKET s, int how);
int closesocket(SOCKET s);
// nfds is ignored, as on Windows. A null timeout waits without limit.
int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, const timeval* timeout);
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
int getpeername(SOCKET s, sockaddr* name, int* namelen);
int getsockname(SOCKET s, sockaddr* name, int* namelen);

hostent* gethostbyname(const char* name);
hostent* gethostbyaddr(const char* addr, int len, int type);
int gethostname(char* name, int namelen);
servent* getservbyname(const char* name, const char* proto);
servent* getservbyport(int port, const char* proto);  // port in network byte order

// res receives a list that freeaddrinfo frees; 0 on success, otherwise an EAI_ number. hints may
// be null (any family, any socket type).
int getaddrinfo(const char* nodename, const char* servname, const addrinfo* hints, addrinfo** res);
void freeaddrinfo(addrinfo* ai);
// 0 on success, otherwise an EAI_ number. host or serv may be null (with a length of 0).
int getnameinfo(const sockaddr* sa, int salen, char* host, u_long hostlen, char* serv,
                u_long servlen, int flags);

u_long inet_addr(const char* cp);
// 1 when src is an address of family (written to dst: in_addr or in6_addr), 0 when it is not;
// -1 with WSAEAFNOSUPPORT for another family. Only the strict forms: "a.b.c.d" for AF_INET.
int inet_pton(int family, const char* src, void* dst);
// The text of the address at src into dst; null (with the last error set) when it does not fit
// or the family is unknown. IPv6 text is in its recommended compressed form, lower case.
const char* inet_ntop(int family, const void* src, char* dst, std::size_t size);
// Per-thread storage, valid until the thread's next call.
char* inet_ntoa(in_addr in);

u_short htons(u_short hostshort);
u_short ntohs(u_short netshort);
u_long htonl(u_long hostlong);
u_long ntohl(u_long netlong);

// Sends the whole open file (a POSIX descriptor, read from its start) on the socket, with no header
// or trailer. Returns true on success; on failure sets the last error and returns false.
bool TransmitFile(SOCKET s, int fileDescriptor);

// The FD_ZERO/FD_SET/FD_CLR/FD_ISSET family over the WinSock layout.
void FdZero(fd_set* set);
void FdSet(SOCKET s, fd_set* set);  // ignored when the set is full or already holds s
void FdClr(SOCKET s, fd_set* set);
bool FdIsSet(SOCKET s, const fd_set* set);

}  // namespace winsock
