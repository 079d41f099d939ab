// The client side of the SOCKS 4, 4A and 5 exchanges against a server that answers anything, in
// pieces of any size. The exchange must succeed exactly when the server's replies grant it, send
// the messages the settings call for, and read each reply to its end and not a byte further, so
// the target's data starts where the server's last reply ends.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "FuzzInput.h"
#include "net/IdException.h"
#include "net/IdIOHandlerSocket.h"
#include "net/IdSocksInfo.h"

namespace {

// Serves the server's replies from memory in pieces of the schedule's sizes and keeps what the
// client sends.
class ScriptedSocket : public TIdIOHandlerSocket {
 public:
  ScriptedSocket(std::string_view replies, std::string_view schedule)
      : replies_(replies), schedule_(schedule) {}

  std::size_t Served() const { return served_; }
  const std::string& Sent() const { return sent_; }

  void Close() override {}
  bool IsConnected() override { return true; }
  bool WaitReadable(std::int32_t) override { return true; }
  std::int32_t Receive(void* buffer, std::int32_t length) override {
    std::size_t most = 255;
    if (next_ < schedule_.size()) most = static_cast<unsigned char>(schedule_[next_++]) + 1u;
    const std::size_t count =
        std::min({most, static_cast<std::size_t>(length), replies_.size() - served_});
    std::memcpy(buffer, replies_.data() + served_, count);
    served_ += count;
    return static_cast<std::int32_t>(count);
  }
  std::int32_t Send(const void* buffer, std::int32_t length) override {
    sent_.append(static_cast<const char*>(buffer), static_cast<std::size_t>(length));
    return length;
  }

 private:
  std::string_view replies_;
  std::string_view schedule_;
  std::size_t next_ = 0;
  std::size_t served_ = 0;
  std::string sent_;
};

// What the exchange should do: the messages it sends, how much of the replies it reads, and
// whether it is granted.
struct Expected {
  std::string sent;
  std::size_t read = 0;
  bool granted = false;
};

std::string Port(std::int32_t port) {
  return {static_cast<char>(port >> 8 & 0xFF), static_cast<char>(port & 0xFF)};
}

std::string Counted(const std::string& field) {
  return static_cast<char>(field.size()) + field;
}

// Takes count reply bytes; false when the server closes first, after all it had was read.
bool Take(std::string_view replies, std::size_t count, Expected& expected) {
  if (replies.size() - expected.read < count) {
    expected.read = replies.size();
    return false;
  }
  expected.read += count;
  return true;
}

Expected Socks4(const TIdSocksInfo& info, const std::string& address, const std::string& host,
                std::int32_t port, std::string_view replies) {
  Expected e;
  const bool named = info.Version() == svSocks4A;
  e.sent = std::string{4, 1} + Port(port) + (named ? std::string("\0\0\0\1", 4) : address) +
           info.Username() + '\0' + (named ? host + '\0' : "");
  e.granted = Take(replies, 8, e) && replies[1] == 90;
  return e;
}

Expected Socks5(const TIdSocksInfo& info, const std::string& host, std::int32_t port,
                std::string_view replies) {
  Expected e;
  const bool login = info.Authentication() == saUsernamePassword;
  const char method = login ? 2 : 0;
  e.sent = {5, 1, method};
  if (!Take(replies, 2, e) || replies[1] != method) return e;
  if (login) {
    e.sent += '\1' + Counted(info.Username()) + Counted(info.Password());
    if (!Take(replies, 2, e) || replies[e.read - 1] != 0) return e;
  }
  e.sent += std::string{5, 1, 0, 3} + Counted(host) + Port(port);
  const std::size_t reply = e.read;
  if (!Take(replies, 5, e) || replies[reply + 1] != 0) return e;
  std::size_t rest = 0;
  switch (replies[reply + 3]) {
    case 1:
      rest = 3 + 2;
      break;
    case 3:
      rest = static_cast<unsigned char>(replies[reply + 4]) + 2u;
      break;
    case 4:
      rest = 15 + 2;
      break;
    default:
      return e;
  }
  e.granted = Take(replies, rest, e);
  return e;
}

// The fields the messages can carry; others are refused before anything is sent.
bool Fits(const TIdSocksInfo& info, const std::string& host, std::int32_t port) {
  const auto fits = [](const std::string& field) { return field.size() <= 255; };
  const auto noZero = [](const std::string& field) {
    return field.find('\0') == std::string::npos;
  };
  if (port < 0 || port > 0xFFFF || !fits(info.Username())) return false;
  if (info.Version() == svSocks5)
    return fits(host) && (info.Authentication() != saUsernamePassword || fits(info.Password()));
  return noZero(info.Username()) && (info.Version() != svSocks4A || (fits(host) && noZero(host)));
}

// A user name, password or host: mostly short, sometimes longer than a message can carry.
std::string Field(FuzzInput& input) {
  std::size_t length = input.Byte();
  if (length == 255) length += input.Byte();
  return input.Take(length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Components share the socket stack; one that stays keeps it from being made for every input.
  static TIdComponent* const stackUser = new TIdComponent();
  (void)stackUser;

  FuzzInput input(data, size);
  static constexpr TSocksVersion kVersions[] = {svSocks4, svSocks4A, svSocks5};
  const TSocksVersion version = kVersions[input.Byte() % 3];
  const bool login = input.Bool();
  // The port mostly in range; sometimes just outside it.
  std::int32_t port = input.Word();
  if (input.Byte() == 0xFF) port = input.Bool() ? -1 : 0x10000;
  // SOCKS 4 sends an address: a dotted one, so that no look-up is made.
  std::string address;
  std::string host;
  if (version == svSocks4) {
    for (int i = 0; i < 4; ++i) {
      const std::uint8_t part = input.Byte();
      address += static_cast<char>(part);
      if (i > 0) host += '.';
      host += std::to_string(part);
    }
  } else {
    host = Field(input);
  }
  const std::string username = Field(input);
  const std::string password = Field(input);
  const std::string schedule = input.Piece(16);
  const std::string_view replies = input.Rest();

  ScriptedSocket socket(replies, schedule);
  TIdSocksInfo info;
  info.SetOwnerHandler(&socket);
  info.SetVersion(version);
  info.SetAuthentication(login ? saUsernamePassword : saNoAuthentication);
  info.SetUsername(username);
  info.SetPassword(password);

  bool granted = false;
  try {
    info.Negotiate(host, port);
    granted = true;
  } catch (const EIdSocksError&) {
  }

  if (!Fits(info, host, port)) {
    FUZZ_CHECK(!granted && socket.Sent().empty() && socket.Served() == 0);
    return 0;
  }
  const Expected expected = version == svSocks5 ? Socks5(info, host, port, replies)
                                                : Socks4(info, address, host, port, replies);
  FUZZ_CHECK(granted == expected.granted);
  // A refused exchange stops at the reply that refused it.
  FUZZ_CHECK(socket.Sent() == expected.sent);
  FUZZ_CHECK(socket.Served() == expected.read);
  return 0;
}
