#pragma once

#include <memory>

#include "net/IdIOHandler.h"
#include "net/IdSocketHandle.h"
#include "net/IdSocksInfo.h"

// The I/O handler over one socket handle, which it owns and creates on Open.
//
// ConnectTo connects directly, or through the SOCKS server its SocksInfo names. A time-out other
// than -1 or 0 (and any connect while an anti-freeze is in use) runs the connect on a
// TIdConnectThread that the calling thread polls in steps of 125 ms; on expiry the socket is
// closed and EIdConnectTimeout "Connect timed out." raised.
class TIdIOHandlerSocket : public TIdIOHandler {
 public:
  // The poll step of a timed connect; an anti-freeze in use may make it shorter.
  static constexpr std::int32_t ConnectPollStep = 125;
  // The time-out a default connect gets while an anti-freeze is in use.
  static constexpr std::int32_t AntiFreezeConnectTimeout = 120000;

  using TIdIOHandler::TIdIOHandler;
  ~TIdIOHandlerSocket() override;  // Close, then frees the socket handle and private settings

  TIdSocketHandle* SocketHandle() const { return socketHandle_.get(); }
  // The version of the socket ConnectTo opens and of the address it connects to.
  TIdIPVersion IPVersion() const { return ipVersion_; }
  void SetIPVersion(TIdIPVersion value) { ipVersion_ = value; }
  bool UseNagle() const { return useNagle_; }
  void SetUseNagle(bool value) { useNagle_ = value; }
  // The SOCKS settings ConnectTo follows; reading makes a private default one when there is none.
  TIdSocksInfo* SocksInfo();
  // None detaches the settings (freeing a private one). Settings with a component owner are
  // shared: used as they are and forgotten when destroyed. Settings without one are copied into
  // the private object.
  void SetSocksInfo(TIdSocksInfo* value);

  void Close() override;
  // Opens, binds and connects the socket to host:port, through SOCKS when set up; raises on
  // failure and leaves the socket closed then.
  void ConnectTo(const std::string& host, std::int32_t port, const std::string& boundIP,
                 std::int32_t boundPort, std::int32_t boundPortMin, std::int32_t boundPortMax,
                 std::int32_t timeout) override;
  bool IsConnected() override;
  // Creates the socket handle, or clears the existing one for reuse.
  void Open() override;
  bool WaitReadable(std::int32_t timeout) override;
  bool ReceiveWaits() const override { return true; }
  // Raise EIdClosedSocket "Disconnected." when the socket is not open.
  std::int32_t Receive(void* buffer, std::int32_t length) override;
  std::int32_t Send(const void* buffer, std::int32_t length) override;

 protected:
  void Notification(rtl::TComponent* component, rtl::TOperation operation) override;

 private:
  // Connects on a TIdConnectThread, polling it; -2 waits without limit.
  void ConnectWithTimeout(std::int32_t timeout);
  void DetachSocksInfo();

  std::unique_ptr<TIdSocketHandle> socketHandle_;
  bool useNagle_ = true;
  TIdIPVersion ipVersion_ = Id_IPv4;
  std::unique_ptr<TIdSocksInfo> privateSocksInfo_;
  TIdSocksInfo* socksInfo_ = nullptr;  // the private settings or shared ones, or none
};
