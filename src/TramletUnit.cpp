#include "TramletUnit.h"

#include <malloc.h>

#include <algorithm>
#include <vector>

#include <QTimer>

#include "Presets.h"
#include "net/IdException.h"
#include "net/IdSocketHandle.h"
#include "net/IdTCPServer.h"
#include "platform/windowing/Application.h"
#include "platform/windowing/Menus.h"
#include "platform/windowing/StdCtrls.h"
#include "platform/windowing/Timer.h"
#include "proxy/LiveSettings.h"
#include "proxy/ProxyCounters.h"
#include "proxy/ProxyHandler.h"
#include "rtl/Exception.h"
#include "rtl/Synchronize.h"
#include "rtl/UpdateBatch.h"
#include "ui/CoolTrayIcon.h"
#include "ui/Spin.h"
#include "ui_TramletUnit.h"

namespace {

// The addresses a listening server is bound to, as "ADDRESS:PORT".
std::vector<std::string> Bound(TIdTCPServer& server) {
  std::vector<TIdSocketHandle*> bindings;
  bindings.reserve(static_cast<std::size_t>(server.Bindings().Count()) + 1);
  for (int i = 0; i < server.Bindings().Count(); ++i)
    bindings.push_back(server.Bindings().BindingAt(i));
  if (TIdSocketHandle* ipv6 = server.IPv6Binding()) bindings.push_back(ipv6);
  std::vector<std::string> where;
  where.reserve(bindings.size());
  for (const TIdSocketHandle* binding : bindings) {
    const std::string port = std::to_string(binding->Port());
    where.push_back(binding->IPVersion() == Id_IPv6 ? "[" + binding->IP() + "]:" + port
                                                    : binding->IP() + ":" + port);
  }
  return where;
}

}  // namespace

TProxyForm::TProxyForm(rtl::TComponent* owner)
    : win::TForm(owner), layout_(std::make_unique<Ui::TProxyForm>()) {
  // The layout makes the panes and the status strip with its controls.
  layout_->setupUi(this);
  Memo1 = layout_->Memo1;
  Memo2 = layout_->Memo2;
  Panel1 = layout_->Panel1;
  Label1 = layout_->Label1;
  SpinEdit1 = layout_->SpinEdit1;
  Label2 = layout_->Label2;
  Label3 = layout_->Label3;
  RateLabel = layout_->RateLabel;
  // Labels fit their captions whatever font stands in for the one the layout asks for.
  for (win::TLabel* label : {Label1, Label2, Label3, RateLabel})
    label->adjustSize();
  // Those left of the limit box end short of it, whatever the caption, font or scale.
  for (win::TLabel* label : {Label1, Label3})
    label->SetMaxWidth(SpinEdit1->x() - label->x() - 3);
  // Right of the limit box, level with the count it goes with.
  RateLabel->move(SpinEdit1->geometry().right() + 8, Label1->y());
  RateLabel->SetMaxWidth(width() - RateLabel->x() - 3);
  // However small the window is made, each pane shows its newest line above the status strip.
  for (win::TMemo* pane : {Memo1, Memo2})
    pane->setMinimumHeight(pane->HeightFor(1));
  RateLabel->SetCaption(RateCaption(0));
  rateMeter_.Read(proxy::Counters().BytesToClients.load(), std::chrono::steady_clock::now());
  move(326, 84);
  SetFormStyle(win::fsStayOnTop);
  Memo1->OnChange = [this](win::TMemo* sender) { Memo1Change(sender); };
  Memo2->OnChange = [this](win::TMemo* sender) { Memo1Change(sender); };
  SpinEdit1->OnChange = [this](QObject* sender) { SpinEdit1Change(sender); };

  CreateUpdatePath();

  Timer1 = new win::TTimer(this);
  Timer1->SetOnTimer([this](win::TTimer* sender) { Timer1Timer(sender); });

  handler_ = std::make_unique<proxy::ProxyHandler>(*this);
  IdTCPServer1 = AddServer(kProxyPort);

  // The menu first: components go in the reverse order, so the icon leaves the area before it.
  TrayMenu = new win::TPopupMenu(this);
  Tray = new ui::TCoolTrayIcon(this);
  rateItem_ = TrayMenu->Add(RateCaption(0));
  rateItem_->Enabled = false;
  TrayMenu->Add("-");
  win::TMenuItem* presets = TrayMenu->Add("Presets");
  for (const tramlet::Preset& preset : tramlet::kPresets) {
    win::TMenuItem* item = presetItems_.emplace_back(presets->Add(tramlet::PresetCaption(preset)));
    item->RadioItem = true;
    item->OnClick = [this, &preset](win::TMenuItem*) { ApplyPreset(preset); };
  }
  eachItem_ = TrayMenu->Add("Limit each download");
  togetherItem_ = TrayMenu->Add("Limit all downloads together");
  eachItem_->RadioItem = togetherItem_->RadioItem = true;
  eachItem_->OnClick = [this](win::TMenuItem*) { SetSharedMode(false); };
  togetherItem_->OnClick = [this](win::TMenuItem*) { SetSharedMode(true); };
  TrayMenu->Add("-");
  TrayMenu->Add("Show window")->OnClick = [this](win::TMenuItem*) { Tray->RestoreMainForm(); };
  // As closing the window does.
  TrayMenu->Add("Quit")->OnClick = [this](win::TMenuItem*) { close(); };
  // Before the icon shows: a host that draws the menu itself reads it as the icon arrives.
  Tray->SetPopupMenu(TrayMenu);
  Tray->SetHint("Double Click To Show");
  Tray->SetIcon(windowIcon());  // replaced by the application's icon in FormCreate
  Tray->SetIconVisible(true);
  Tray->SetMinimizeToTray(true);
  Tray->SetCycleInterval(0);
  Tray->SetIconIndex(0);
  Tray->OnDblClick = [this](ui::TCoolTrayIcon* sender) { TrayDblClick(sender); };

  OnCreate = [this](win::TForm* sender) { FormCreate(sender); };
  ShowMode();
  FinishCreation();
}

TProxyForm::~TProxyForm() {
  // The servers go first: they end every run, serving their queued updates while they wait,
  // and the panes those updates write to still exist. What runs queued last is withdrawn.
  servers_.clear();
  IdTCPServer1 = nullptr;
  rtl::RemoveQueuedCalls(this);
  DestroyComponents();
}

void TProxyForm::IdTCPServer1Execute(TIdPeerThread* AThread) {
  handler_->Execute(AThread);
}

void TProxyForm::Timer1Timer(win::TTimer*) {
  Label1->SetCaption("Concurrent connections: " +
                     std::to_string(proxy::Counters().ConnectionCount.load()));
  ShowRate();
  Memo1->HandleNeeded();
  Memo2->HandleNeeded();
  // A server that cannot listen is tried again on the next tick. A failure is reported once: the
  // same one again only says in the status that it goes on.
  std::vector<std::string> started;
  std::string retrying;
  for (std::size_t i = 0; i < servers_.size(); ++i) {
    TIdTCPServer& server = *servers_[i];
    Activation& activation = activations_[i];
    if (server.Active()) continue;
    activation.tried = true;
    try {
      server.SetActive(true);
    } catch (const std::exception& error) {
      if (retrying.empty()) {
        retrying = "Port " + std::to_string(server.DefaultPort()) +
                   (dynamic_cast<const EIdCouldNotBindSocket*>(&error) ? " in use; retrying"
                                                                       : " unavailable; retrying");
      }
      if (error.what() == activation.failure) continue;
      activation.failure = error.what();
      if (win::TApplication* app = win::TApplication::Instance())
        app->HandleException(Exception("Cannot listen on " + Asked(i) + ": " + error.what()));
      continue;
    }
    activation.failure.clear();
    for (std::string& where : Bound(server))
      started.push_back(std::move(where));
  }
  if (!retrying.empty()) {
    Label3->SetCaption(retrying);
    retrying_ = true;
  } else if (retrying_) {
    retrying_ = false;
    Label3->SetCaption(kStatusCaption);
  }
  if (!started.empty() && OnListening) OnListening(started);
}

std::string TProxyForm::RateCaption(double kilobytesPerSecond) {
  return "To clients: " + ui::TRateMeter::Format(kilobytesPerSecond);
}

void TProxyForm::ShowRate() {
  const std::string caption =
      RateCaption(rateMeter_.Read(proxy::Counters().BytesToClients.load(std::memory_order_relaxed),
                                  std::chrono::steady_clock::now()));
  RateLabel->SetCaption(caption);
  if (rateItem_->Caption == caption) return;
  rateItem_->Caption = caption;
  Tray->MenuChanged();
}

void TProxyForm::SpinEdit1Change(QObject*) {
  const int limit = SpinEdit1->Value();
  proxy::Live().SpeedLimit.store(limit);
  // Held relays send nothing: the status says why, rather than their tick counts.
  if (RelayPaused())
    Label3->SetCaption("Paused: the limit is " + std::to_string(limit));
  else if (Label3->Caption().rfind("Paused: ", 0) == 0)
    Label3->SetCaption(kStatusCaption);
  ShowMode();  // a limit typed by hand leaves no preset in force
}

bool TProxyForm::RelayPaused() {
  return proxy::Live().SpeedLimit.load() <= 0;
}

void TProxyForm::Memo1Change(win::TMemo* Sender) {
  if (Sender->LineCount() > kMaxPaneLines || Sender->TextLength() > kMaxPaneBytes) Sender->Clear();
}

void TProxyForm::ListenOn(std::int32_t port, const std::vector<std::string>& addresses) {
  IdTCPServer1->SetDefaultPort(port);
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    const std::string& address = addresses[i];
    TIdTCPServer* server = i == 0 ? IdTCPServer1 : AddServer(port);
    activations_[i].address = address;
    TIdSocketHandle* binding = server->Bindings().AddBinding();
    binding->SetIPVersion(address.find(':') == std::string::npos ? Id_IPv4 : Id_IPv6);
    binding->SetIP(address);
    binding->SetPort(port);
  }
}

TIdTCPServer* TProxyForm::AddServer(std::int32_t port) {
  auto& server = servers_.emplace_back(std::make_unique<TIdTCPServer>());
  activations_.emplace_back();
  server->SetDefaultPort(port);
  server->SetListenQueue(Id_SOMAXCONN);  // a burst of connects must not overflow it
  server->OnExecute = [this](TIdPeerThread* thread) { IdTCPServer1Execute(thread); };
  return server.get();
}

std::string TProxyForm::Asked(std::size_t server) const {
  const std::string& address = activations_[server].address;
  const std::string port = std::to_string(servers_[server]->DefaultPort());
  if (address.empty()) return "*:" + port;
  return address.find(':') == std::string::npos ? address + ":" + port
                                                : "[" + address + "]:" + port;
}

std::vector<TProxyForm::Listener> TProxyForm::Listeners() const {
  std::vector<Listener> listeners;
  for (std::size_t i = 0; i < servers_.size(); ++i) {
    const Activation& activation = activations_[i];
    if (servers_[i]->Active()) {
      for (std::string& where : Bound(*servers_[i]))
        listeners.push_back({std::move(where), true, {}});
    } else {
      listeners.push_back(
          {Asked(i), false, activation.tried ? activation.failure : "not tried yet"});
    }
  }
  return listeners;
}

void TProxyForm::SetLimit(std::int32_t limit) {
  SpinEdit1->SetValue(limit);
  // The box may already have shown that number while the limit was another (typed 0, say).
  proxy::Live().SpeedLimit.store(SpinEdit1->Value());
}

void TProxyForm::ApplyPreset(const tramlet::Preset& preset) {
  proxy::LiveSettings& live = proxy::Live();
  live.SharedMode.store(true);
  live.DelayMs.store(preset.delayMs);
  live.UploadLimit.store(preset.up);
  SetLimit(preset.down);
  SettingsChanged();
}

void TProxyForm::SetSharedMode(bool shared) {
  proxy::Live().SharedMode.store(shared);
  SettingsChanged();
}

void TProxyForm::SettingsChanged() {
  if (!runStatus_.empty() && !RelayPaused()) Label3->SetCaption(runStatus_ + SettingsNote());
  ShowMode();
}

void TProxyForm::ShowMode() {
  if (!togetherItem_) return;  // not made yet
  const proxy::LiveSettings& live = proxy::Live();
  const bool shared = live.SharedMode.load();
  SpinEdit1->setToolTip(QStringLiteral("kilobytes (1000 bytes) per second") +
                        (shared ? QStringLiteral(", shared by all downloads")
                                : QStringLiteral(" for each download")));
  const tramlet::Preset* inForce = tramlet::PresetInForce(
      shared, live.SpeedLimit.load(), live.UploadLimit.load(), live.DelayMs.load());
  bool changed = false;
  auto mark = [&changed](win::TMenuItem* item, bool checked) {
    changed |= item->Checked != checked;
    item->Checked = checked;
  };
  for (std::size_t i = 0; i < presetItems_.size(); ++i)
    mark(presetItems_[i], inForce == &tramlet::kPresets[i]);
  mark(eachItem_, !shared);
  mark(togetherItem_, shared);
  if (changed) Tray->MenuChanged();
}

std::string TProxyForm::SettingsNote() {
  std::string note;
  if (proxy::Live().SharedMode.load()) note += ", shared by all downloads";
  if (const std::int32_t delay = proxy::Live().DelayMs.load(); delay > 0)
    note += ", delay " + std::to_string(delay) + " ms";
  if (const std::int32_t upload = proxy::Live().UploadLimit.load(); upload > 0)
    note += ", uploads " + std::to_string(upload) + " Kb/s";
  return note;
}

void TProxyForm::FormCreate(win::TForm*) {
  if (win::TApplication* app = win::TApplication::Instance()) Tray->SetIcon(app->Icon());
}

void TProxyForm::TrayDblClick(ui::TCoolTrayIcon*) {
  Tray->RestoreMainForm();
}

namespace {

enum Caption : std::size_t { kConnections, kStatus, kCaptions };
enum Pane : std::size_t { kUpload, kDownload };

rtl::TUpdateBatch::PaneStart StartOf(const win::TMemo& pane) {
  return {pane.LineCount(), pane.TextLength()};
}

void Apply(win::TMemo& pane, const rtl::TUpdateBatch::PaneChange& change) {
  if (change.clearFirst) pane.Clear();
  if (change.text) pane.AddPaneText(*change.text);
}

}  // namespace

void TProxyForm::CreateUpdatePath() {
  updateTimer_ = new QTimer(this);
  updateTimer_->setSingleShot(true);
  connect(updateTimer_, &QTimer::timeout, this, [this] { ApplyUpdates(); });
  trimTimer_ = new QTimer(this);
  trimTimer_->setSingleShot(true);
  trimTimer_->setInterval(1000);
  connect(trimTimer_, &QTimer::timeout, this, [this] { GiveMemoryBack(); });
  updates_ = std::make_unique<rtl::TUpdateBatch>(
      kCaptions, std::vector{StartOf(*Memo1), StartOf(*Memo2)}, kPaneBounds,
      // Withdrawn with the window's other queued calls when it goes.
      [this] { rtl::Queue([this] { ScheduleUpdates(); }, this); });
}

void TProxyForm::ScheduleUpdates() {
  if (updateTimer_->isActive()) return;
  const auto since = std::chrono::steady_clock::now() - lastUpdate_;
  const auto wait = std::chrono::milliseconds(kUpdateIntervalMs) -
                    std::chrono::duration_cast<std::chrono::milliseconds>(since);
  updateTimer_->start(std::max<std::chrono::milliseconds>(wait, std::chrono::milliseconds(0)));
}

void TProxyForm::ApplyUpdates() {
  lastUpdate_ = std::chrono::steady_clock::now();
  const rtl::TUpdateBatch::Batch batch = updates_->Take();
  if (batch.captions[kConnections]) {
    Label1->SetCaption(*batch.captions[kConnections]);
    runsSeen_ = true;
  }
  // While the limit holds the relays, the status says so rather than their tick counts.
  if (batch.captions[kStatus]) {
    runStatus_ = *batch.captions[kStatus];
    if (!RelayPaused()) Label3->SetCaption(runStatus_ + SettingsNote());
  }
  Apply(*Memo1, batch.panes[kUpload]);
  Apply(*Memo2, batch.panes[kDownload]);
  // The runs' threads free their memory as they end, a little after their count drops.
  if (runsSeen_ && proxy::Counters().ConnectionCount.load() == 0) trimTimer_->start();
}

void TProxyForm::GiveMemoryBack() {
  if (proxy::Counters().ConnectionCount.load() != 0) return;  // the next count of 0 comes back
  // Their threads still hold what they have not freed yet.
  if (std::ranges::any_of(servers_,
                          [](const auto& server) { return server->PeerThreads().Count() != 0; })) {
    trimTimer_->start();
    return;
  }
  runsSeen_ = false;
  // What thousands of runs freed stays with the allocator otherwise.
  malloc_trim(0);
}

void TProxyForm::SetConnectionCaption(std::string text) {
  updates_->SetCaption(kConnections, std::move(text));
}

void TProxyForm::SetStatusCaption(std::string text) {
  updates_->SetCaption(kStatus, std::move(text));
}

void TProxyForm::AppendUploadLine(std::string_view line) {
  updates_->AppendText(kUpload, line);
}

void TProxyForm::AppendDownloadText(std::string_view text) {
  updates_->AppendText(kDownload, text);
}
