#pragma once

// The proxy's one window: two log panes (requests sent upstream, connections and answers), the
// live connection count, the relay status and the "Max Kb/s" box, with the TCP server on port
// 1080 that serves every client by a proxy handler run, the one-second heartbeat that keeps the
// server listening, and the notification-area icon the window hides into.
//
// Main thread only. Handler runs reach the window through the proxy view, whose updates are
// gathered for the main thread in the order issued and applied in batches (a caption shows its
// newest text, a pane what it would show appended piece by piece); updates still waiting when
// the window goes are dropped, never applied.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/windowing/Form.h"
#include "proxy/ProxyView.h"
#include "rtl/UpdateBatch.h"
#include "ui/RateMeter.h"

class QObject;
class QTimer;
class TIdPeerThread;
class TIdTCPServer;
namespace Ui {
class TProxyForm;
}
namespace proxy {
class ProxyHandler;
}
namespace tramlet {
struct Preset;
}
namespace rtl {
class TUpdateBatch;
}
namespace win {
class TLabel;
class TMemo;
class TMenuItem;
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

  // Controls belong to the layout; the timer and the icon to the form; the server to servers_.
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
  // The icon's menu: the rate (a line to read, not to choose), the presets and the choice of
  // mode, the window, and the way out that needs no window.
  win::TPopupMenu* TrayMenu;
  // Beside the connection count: what the relays sent to clients in the last second.
  win::TLabel* RateLabel;

  void IdTCPServer1Execute(TIdPeerThread* AThread);
  void Timer1Timer(win::TTimer* Sender);
  void SpinEdit1Change(QObject* Sender);
  void Memo1Change(win::TMemo* Sender);
  void FormCreate(win::TForm* Sender);
  void TrayDblClick(ui::TCoolTrayIcon* Sender);

  // Where the server listens: the port, and these addresses only (IPv4 or IPv6 text), or every
  // address when none is given. Before the first tick. Each address further than the first gets
  // a server of its own, tried on its own: one that cannot be bound keeps none of the others
  // from listening.
  void ListenOn(std::int32_t port, const std::vector<std::string>& addresses);
  // Where the proxy listens, one entry for each address bound ("127.0.0.1:1080", "[::]:1080"),
  // and one for each address asked for that is not ("*:1080" for every address), with why not.
  struct Listener {
    std::string where;
    bool listening = false;
    std::string problem;
  };
  std::vector<Listener> Listeners() const;
  // The heartbeat got these addresses listening ("ADDRESS:PORT" each).
  std::function<void(const std::vector<std::string>& where)> OnListening;
  // Takes the limit as the box would, and shows it there.
  void SetLimit(std::int32_t limit);
  // The values of a preset, in the shared mode; the box shows its limit.
  void ApplyPreset(const tramlet::Preset& preset);
  // The limits for all downloads together (and all uploads), or for each.
  void SetSharedMode(bool shared);
  // A setting changed (the delay, the upload limit, the mode): the status line, the box's tooltip
  // and the icon's menu say what is in force.
  void SettingsChanged();

  // A pane that grows past this many lines, or this much text, is emptied; a chunk shows at most
  // pieceBytes, the rest counted in a note.
  static constexpr rtl::PaneBounds kPaneBounds{};
  static constexpr int kMaxPaneLines = kPaneBounds.lines;
  static constexpr std::size_t kMaxPaneBytes = kPaneBounds.bytes;
  // Updates from handler runs reach the window at most this often.
  static constexpr int kUpdateIntervalMs = 50;
  static constexpr std::int32_t kProxyPort = 1080;
  // The status line's text until there is something to say.
  static constexpr const char* kStatusCaption = "Status ...";
  // The rate line's text, of the label and the icon's menu alike.
  static std::string RateCaption(double kilobytesPerSecond);

 private:
  void SetConnectionCaption(std::string text) override;
  void SetStatusCaption(std::string text) override;
  void AppendUploadLine(std::string_view line) override;
  void AppendDownloadText(std::string_view text) override;
  // What the status line adds after the tick count while the shared mode, a delay or an upload
  // limit is in force.
  static std::string SettingsNote();
  // The box's tooltip and the menu's marks follow the mode and the preset in force.
  void ShowMode();
  // A limit of 0 (or below, while typed) holds every relay.
  static bool RelayPaused();

  // Reads the bytes sent since the last tick into the rate label and the menu's first line.
  void ShowRate();

  // The update path: runs gather their updates in updates_; one queued call asks for a batch,
  // which the window applies no sooner than kUpdateIntervalMs after the last one.
  void CreateUpdatePath();
  void ScheduleUpdates();
  void ApplyUpdates();
  void GiveMemoryBack();

  // The status the runs set last, before SettingsNote.
  std::string runStatus_;
  // A server's last activation: the message of the failure reported last, empty once it
  // listens; none before the first tick.
  struct Activation {
    std::string address;  // the one address given; empty: every address
    bool tried = false;
    std::string failure;
  };
  // A server on the port as the form's are made; the form keeps it, after those made before.
  TIdTCPServer* AddServer(std::int32_t port);
  // What a server was asked to listen on, as Listeners() names it while it does not.
  std::string Asked(std::size_t server) const;
  std::unique_ptr<Ui::TProxyForm> layout_;
  // Owned apart from the other components: they must go before them (see the destructor). The
  // first is IdTCPServer1.
  std::vector<std::unique_ptr<TIdTCPServer>> servers_;
  std::vector<Activation> activations_;
  // The status line says that a port is retried.
  bool retrying_ = false;
  std::unique_ptr<rtl::TUpdateBatch> updates_;
  QTimer* updateTimer_ = nullptr;
  std::chrono::steady_clock::time_point lastUpdate_;
  // Runs were seen since memory was last given back.
  bool runsSeen_ = false;
  QTimer* trimTimer_ = nullptr;
  std::unique_ptr<proxy::ProxyHandler> handler_;
  ui::TRateMeter rateMeter_;
  win::TMenuItem* rateItem_ = nullptr;
  std::vector<win::TMenuItem*> presetItems_;  // in the order of the presets table
  win::TMenuItem* eachItem_ = nullptr;
  win::TMenuItem* togetherItem_ = nullptr;
};
