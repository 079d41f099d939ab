#include "TramletUnit.h"

#include "net/IdException.h"
#include "net/IdTCPServer.h"
#include "platform/windowing/Application.h"
#include "platform/windowing/Menus.h"
#include "platform/windowing/StdCtrls.h"
#include "platform/windowing/Timer.h"
#include "proxy/ProxyCounters.h"
#include "proxy/ProxyHandler.h"
#include "rtl/Synchronize.h"
#include "ui/CoolTrayIcon.h"
#include "ui/Spin.h"
#include "ui_TramletUnit.h"

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
  // Labels fit their captions whatever font stands in for the one the layout asks for.
  for (win::TLabel* label : {Label1, Label2, Label3})
    label->adjustSize();
  // Those left of the limit box end short of it, whatever the caption, font or scale.
  for (win::TLabel* label : {Label1, Label3})
    label->SetMaxWidth(SpinEdit1->x() - label->x() - 3);
  move(326, 84);
  SetFormStyle(win::fsStayOnTop);
  Memo1->OnChange = [this](win::TMemo* sender) { Memo1Change(sender); };
  Memo2->OnChange = [this](win::TMemo* sender) { Memo1Change(sender); };
  SpinEdit1->OnChange = [this](QObject* sender) { SpinEdit1Change(sender); };

  Timer1 = new win::TTimer(this);
  Timer1->SetOnTimer([this](win::TTimer* sender) { Timer1Timer(sender); });

  handler_ = std::make_unique<proxy::ProxyHandler>(*this);
  IdTCPServer1 = new TIdTCPServer(this);
  IdTCPServer1->SetDefaultPort(kProxyPort);
  IdTCPServer1->SetListenQueue(Id_SOMAXCONN);  // a burst of connects must not overflow it
  IdTCPServer1->OnExecute = [this](TIdPeerThread* thread) { IdTCPServer1Execute(thread); };

  Tray = new ui::TCoolTrayIcon(this);
  Tray->SetHint("Double Click To Show");
  Tray->SetIcon(windowIcon());  // replaced by the application's icon in FormCreate
  Tray->SetIconVisible(true);
  Tray->SetMinimizeToTray(true);
  Tray->SetCycleInterval(0);
  Tray->SetIconIndex(0);
  Tray->OnDblClick = [this](ui::TCoolTrayIcon* sender) { TrayDblClick(sender); };
  TrayMenu = new win::TPopupMenu(this);
  TrayMenu->Add("Show window")->OnClick = [this](win::TMenuItem*) { Tray->RestoreMainForm(); };
  // As closing the window does.
  TrayMenu->Add("Quit")->OnClick = [this](win::TMenuItem*) { close(); };
  Tray->SetPopupMenu(TrayMenu);

  OnCreate = [this](win::TForm* sender) { FormCreate(sender); };
  FinishCreation();
}

TProxyForm::~TProxyForm() {
  // The server goes first: it ends every run, serving their queued updates while it waits,
  // and the panes those updates write to still exist. What runs queued last is withdrawn.
  delete IdTCPServer1;
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
  Memo1->HandleNeeded();
  Memo2->HandleNeeded();
  // Raises when the port cannot be bound; the next tick tries again. A failure is reported once:
  // the same one again only says in the status that it goes on.
  try {
    IdTCPServer1->SetActive(true);
  } catch (const std::exception& error) {
    const std::string port = "Port " + std::to_string(IdTCPServer1->DefaultPort());
    Label3->SetCaption(port + (dynamic_cast<const EIdCouldNotBindSocket*>(&error)
                                   ? " in use; retrying"
                                   : " unavailable; retrying"));
    if (error.what() == failedActivation_) return;
    failedActivation_ = error.what();
    throw;
  }
  if (failedActivation_.empty()) return;
  failedActivation_.clear();
  Label3->SetCaption(kStatusCaption);
}

void TProxyForm::SpinEdit1Change(QObject*) {
  const int limit = SpinEdit1->Value();
  proxy::Counters().SpeedLimit.store(limit);
  // Held relays send nothing: the status says why, rather than their tick counts.
  if (RelayPaused())
    Label3->SetCaption("Paused: the limit is " + std::to_string(limit));
  else if (Label3->Caption().rfind("Paused: ", 0) == 0)
    Label3->SetCaption(kStatusCaption);
}

bool TProxyForm::RelayPaused() {
  return proxy::Counters().SpeedLimit.load() <= 0;
}

void TProxyForm::Memo1Change(win::TMemo* Sender) {
  if (Sender->LineCount() > kMaxPaneLines) Sender->Clear();
}

void TProxyForm::FormCreate(win::TForm*) {
  if (win::TApplication* app = win::TApplication::Instance()) Tray->SetIcon(app->Icon());
}

void TProxyForm::TrayDblClick(ui::TCoolTrayIcon*) {
  Tray->RestoreMainForm();
}

void TProxyForm::SetConnectionCaption(std::string text) {
  rtl::Queue([this, text = std::move(text)] { Label1->SetCaption(text); }, this);
}

void TProxyForm::SetStatusCaption(std::string text) {
  rtl::Queue(
      [this, text = std::move(text)] {
        if (!RelayPaused()) Label3->SetCaption(text);
      },
      this);
}

void TProxyForm::AppendUploadLine(std::string line) {
  rtl::Queue([this, line = std::move(line)] { Memo1->Add(line); }, this);
}

void TProxyForm::AppendDownloadText(std::string text) {
  rtl::Queue([this, text = std::move(text)] { Memo2->Add(text); }, this);
}
