#pragma once

// The proxy's one window: two log panes (requests sent upstream, connections and answers), the
// live connection count, the relay status and the "Max Kb/s" box, with the TCP server on port
// 1080 that serves every client by a proxy handler run, the one-second heartbeat that keeps the
// server listening, and the notification-area icon the window hides into.
//
// Main thread only. Handler runs reach the window through the proxy view, whose updates are
// queued to the main thread in the order issued; updates still queued when the window goes are
// withdrawn, never run.

#include <memory>
#include <string>

#include "platform/windowing/Form.h"
#include "proxy/ProxyView.h"

class QObject;
class TIdPeerThread;
class TIdTCPServer;
namespace Ui {
class TProxyForm;
}
namespace proxy {
class ProxyHandler;
}
namespace win {
class TLabel;
class TMemo;
class TPanel;
class TPopupMenu;
class TTimer;
}  // namespace win
namespace ui {
class TCoolTrayIcon;
class TSpinEdit;
}  // namespace ui

class TProxyForm : public win::TForm, public proxy::ProxyView {
 public:
  explicit TProxyForm(rtl::TComponent* owner);
  ~TProxyForm() override;

  // Controls belong to the layout; the timer, the server and the icon to the form.
  win::TMemo* Memo1;
  win::TMemo* Memo2;
  win::TPanel* Panel1;
  win::TLabel* Label1;
  win::TTimer* Timer1;
  ui::TSpinEdit* SpinEdit1;
  win::TLabel* Label2;
  win::TLabel* Label3;
  TIdTCPServer* IdTCPServer1;
  ui::TCoolTrayIcon* Tray;
  // The icon's menu: the window, and the way out that needs no window.
  win::TPopupMenu* TrayMenu;

  void IdTCPServer1Execute(TIdPeerThread* AThread);
  void Timer1Timer(win::TTimer* Sender);
  void SpinEdit1Change(QObject* Sender);
  void Memo1Change(win::TMemo* Sender);
  void FormCreate(win::TForm* Sender);
  void TrayDblClick(ui::TCoolTrayIcon* Sender);

  // A pane that grows past this many lines is emptied.
  static constexpr int kMaxPaneLines = 1000;
  static constexpr std::int32_t kProxyPort = 1080;
  // The status line's text until there is something to say.
  static constexpr const char* kStatusCaption = "Status ...";

 private:
  void SetConnectionCaption(std::string text) override;
  void SetStatusCaption(std::string text) override;
  void AppendUploadLine(std::string line) override;
  void AppendDownloadText(std::string text) override;
  // A limit of 0 (or below, while typed) holds every relay.
  static bool RelayPaused();

  // The message of the activation failure reported last; empty once activation succeeded.
  std::string failedActivation_;
  std::unique_ptr<Ui::TProxyForm> layout_;
  std::unique_ptr<proxy::ProxyHandler> handler_;
};
