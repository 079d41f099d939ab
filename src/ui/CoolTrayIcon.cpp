#include "ui/CoolTrayIcon.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <span>
#include <vector>

#include "platform/windowing/Application.h"
#include "platform/windowing/FileVersion.h"
#include "platform/windowing/Form.h"
#include "platform/windowing/ImageList.h"
#include "platform/windowing/Menus.h"
#include "platform/windowing/Windows.h"

namespace ui {
namespace {

using namespace win;

std::unique_ptr<TTrayIconHandler>& TrayOwner() {
  static std::unique_ptr<TTrayIconHandler> owner;
  return owner;
}

// Identifiers count up, so one never names two live icons (an address would not fit 32 bits).
std::uint32_t NextIconId() {
  static std::uint32_t last = 0;
  return ++last;
}

// The item at this path of places from the top of a menu (or of an item's submenu); none where
// the menu has changed since.
template <class Items>
TMenuItem* ItemAt(const Items& items, std::span<const int> path) {
  if (path.empty() || path.front() >= items.Count()) return nullptr;
  TMenuItem* item = items.Items(path.front());
  return path.size() == 1 ? item : ItemAt(*item, path.subspan(1));
}

// The shell's entries for the items; choosing one calls choose with its path.
template <class Items>
std::vector<TShellMenuEntry> EntriesOf(const Items& items, std::vector<int>& path,
                                       const std::function<void(std::vector<int>)>& choose) {
  std::vector<TShellMenuEntry> entries;
  for (int i = 0; i < items.Count(); ++i) {
    const TMenuItem& item = *items.Items(i);
    path.push_back(i);
    const TShellMenuEntry::Mark mark = item.RadioItem ? TShellMenuEntry::Mark::Radio
                                       : item.Checked ? TShellMenuEntry::Mark::Check
                                                      : TShellMenuEntry::Mark::None;
    entries.push_back({item.Caption, [choose, path] { choose(path); }, item.Enabled, mark,
                       item.Checked, item.IsLine(), EntriesOf(item, path, choose)});
    path.pop_back();
  }
  return entries;
}

void AttachTrayWindow(TCoolTrayIcon* icon) {
  auto& owner = TrayOwner();
  if (!owner) owner = std::make_unique<TTrayIconHandler>();
  ++owner->IconCount;
  owner->Icons[icon->IconId()] = icon;
}

void DetachTrayWindow(TCoolTrayIcon* icon) {
  auto& owner = TrayOwner();
  if (!owner) return;
  owner->Icons.erase(icon->IconId());
  if (owner->IconCount > 0) --owner->IconCount;
  if (owner->IconCount == 0) owner.reset();
}

DWORD CommonControlsVersion() {
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeA("comctl32.dll", handle);
  if (size == 0) return 0;
  std::vector<char> block(size);
  void* value = nullptr;
  UINT length = 0;
  if (!GetFileVersionInfoA("comctl32.dll", handle, size, block.data()) ||
      !VerQueryValueA(block.data(), "\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO))
    return 0;
  return static_cast<VS_FIXEDFILEINFO*>(value)->dwFileVersionMS;
}

}  // namespace

UINT TaskbarCreatedMsg() {
  static const UINT message =
      CommonControlsVersion() >= 0x00040047 ? RegisterWindowMessageA("TaskbarCreated") : 0;
  return message;
}

TShiftState CurrentShiftState() {
  TShiftState shift = 0;
  if (GetAsyncKeyState(VK_SHIFT) < 0) shift |= ssShift;
  if (GetAsyncKeyState(VK_MENU) < 0) shift |= ssAlt;
  if (GetAsyncKeyState(VK_CONTROL) < 0) shift |= ssCtrl;
  return shift;
}

TTrayIconHandler::TTrayIconHandler() {
  Window = AllocateHWnd([this](TMessage& message) { TrayWindowProc(message); });
}

TTrayIconHandler::~TTrayIconHandler() {
  DeallocateHWnd(Window);
}

void TTrayIconHandler::TrayWindowProc(TMessage& message) {
  switch (message.Msg) {
    case TrayCallbackMsg: {
      auto found = Icons.find(static_cast<std::uint32_t>(message.WParam));
      if (found != Icons.end()) found->second->HandleNotice(message.LParam);
      return;
    }
    // The shared window outlives such requests: only the last icon's going destroys it.
    case WM_DESTROY:
    case WM_CLOSE:
    case WM_QUERYENDSESSION:
    case WM_QUIT:
    case WM_ENDSESSION:
    case WM_NCDESTROY:
      message.Result = 1;
      return;
    default:
      message.Result = DefWindowProcA(Window, message.Msg, message.WParam, message.LParam);
  }
}

TCoolTrayIcon::TCoolTrayIcon(rtl::TComponent* owner)
    : rtl::TComponent(owner), iconId_(NextIconId()) {
  AttachTrayWindow(this);
  icon_ = std::make_unique<TIcon>();
  icon_->OnChange = [this](TIcon*) { RefreshInTray(); };
  FillIconData();
  cycleClock_ = std::make_unique<TSimpleTimer>(1000, [this](TSimpleTimer* t) { CycleTick(t); });
  clickClock_ = std::make_unique<TSimpleTimer>(1000, [this](TSimpleTimer* t) { ClickTick(t); });
  exitClock_ = std::make_unique<TSimpleTimer>(20, [this](TSimpleTimer* t) { ExitTick(t); });
  if (TApplication* app = TApplication::Instance())
    appHookToken_ = app->HookMainWindow([this](TMessage& m) { return AppWindowHook(m); });
  if (OwnerForm()) SubclassOwner();
}

TCoolTrayIcon::~TCoolTrayIcon() {
  // The icon leaves the area first; the hook, the owner's procedure and the shared window are
  // given back whatever happens before.
  try {
    SetIconVisible(false);
    designPreview_ = false;
    cycleClock_.reset();
    clickClock_.reset();
    exitClock_.reset();
    icon_.reset();
  } catch (...) {
    // A destructor must not throw; what is left is released below.
  }
  if (TApplication* app = TApplication::Instance()) app->UnhookMainWindow(appHookToken_);
  UnsubclassOwner();
  DetachTrayWindow(this);
}

TTrayIconHandler* TCoolTrayIcon::TrayWindowOwner() {
  return TrayOwner().get();
}

TForm* TCoolTrayIcon::OwnerForm() const {
  return dynamic_cast<TForm*>(Owner());
}

// --- properties

void TCoolTrayIcon::SetIconList(TImageList* list) {
  if (iconList_) RemoveFreeNotification(iconList_);
  iconList_ = list;
  if (list) FreeNotification(list);
  SetIconIndex(0);
}

void TCoolTrayIcon::SetCycleIcons(bool value) {
  cycleIcons_ = value;
  if (value) {
    SetIconIndex(0);
    cycleClock_->SetPeriod(cycleInterval_);
    cycleClock_->SetRunning(true);
  } else {
    cycleClock_->SetRunning(false);
  }
}

void TCoolTrayIcon::SetCycleInterval(std::uint32_t value) {
  cycleInterval_ = value;
  SetCycleIcons(cycleIcons_);
}

void TCoolTrayIcon::SetHint(std::string hint) {
  hint_ = std::move(hint);
  RefreshInTray();
}

void TCoolTrayIcon::SetShowHint(bool value) {
  showHint_ = value;
  RefreshInTray();
}

void TCoolTrayIcon::SetIcon(const TIcon& icon) {
  SetIcon(icon.Image());
}

void TCoolTrayIcon::SetIcon(const QIcon& image) {
  // One refresh for the whole change rather than one from the change notice as well.
  auto watcher = std::move(icon_->OnChange);
  icon_->SetImage(image);
  icon_->OnChange = std::move(watcher);
  RefreshInTray();
}

void TCoolTrayIcon::SetIconVisible(bool value) {
  if (value)
    AddToTray();
  else
    RemoveFromTray();
}

void TCoolTrayIcon::SetIconIndex(int value) {
  if (iconList_) {
    iconIndex_ = std::min(value, iconList_->Count() - 1);
    iconList_->GetIcon(iconIndex_, *icon_);
  } else {
    iconIndex_ = 0;
  }
  RefreshInTray();
}

void TCoolTrayIcon::SetPopupMenu(TPopupMenu* menu) {
  if (popupMenu_) RemoveFreeNotification(popupMenu_);
  popupMenu_ = menu;
  if (menu) FreeNotification(menu);
  ExportMenu();
}

void TCoolTrayIcon::SetWantEnterExitEvents(bool value) {
  wantEnterExitEvents_ = value;
  exitClock_->SetRunning(value);
}

void TCoolTrayIcon::Notification(rtl::TComponent* component, rtl::TOperation operation) {
  rtl::TComponent::Notification(component, operation);
  if (operation != rtl::TOperation::opRemove) return;
  if (component == iconList_) {
    iconList_ = nullptr;
    SetIconIndex(0);
  }
  if (component == popupMenu_) {
    popupMenu_ = nullptr;
    ExportMenu();
  }
}

// --- the shell

bool TCoolTrayIcon::FillIconData() {
  trayData_.cbSize = sizeof(NOTIFYICONDATAA);
  trayData_.hWnd = TrayWindowOwner() ? TrayWindowOwner()->Window : kNoWindow;
  trayData_.uID = iconId_;
  trayData_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  trayData_.uCallbackMessage = TrayCallbackMsg;
  trayData_.hIcon = icon_ ? icon_->Handle() : 0;
  std::memset(trayData_.szTip, 0, sizeof trayData_.szTip);
  if (showHint_) {
    std::size_t length = std::min(hint_.size(), sizeof trayData_.szTip - 1);
    std::memcpy(trayData_.szTip, hint_.data(), length);
  }
  trayData_.uVersion = 0;
  return true;
}

bool TCoolTrayIcon::CallShell(DWORD message) {
  FillIconData();
  return Shell_NotifyIconA(message, trayData_);
}

bool TCoolTrayIcon::AddToTray() {
  if (!inPreviewChange_) iconVisible_ = true;
  ExportMenu();  // a host that draws the menu itself reads it as the icon arrives
  return CallShell(NIM_ADD);
}

void TCoolTrayIcon::ExportMenu() {
  std::vector<TShellMenuEntry> entries;
  if (popupMenu_ && popupMenu_->AutoPopup()) {
    std::vector<int> path;
    entries = EntriesOf(*popupMenu_, path, [this](const std::vector<int>& chosen) {
      // The menu or its items may have changed since the host read them.
      TMenuItem* item = popupMenu_ ? ItemAt(*popupMenu_, chosen) : nullptr;
      if (!item) return;
      popupMenu_->SetPopupComponent(this);
      item->Click();
    });
  }
  FillIconData();
  Shell_SetIconMenu(trayData_.hWnd, trayData_.uID, std::move(entries));
}

void TCoolTrayIcon::MenuChanged() {
  if (popupMenu_) popupMenu_->UpdateShown();
  ExportMenu();
}

bool TCoolTrayIcon::RemoveFromTray() {
  if (!inPreviewChange_) iconVisible_ = false;
  return CallShell(NIM_DELETE);
}

bool TCoolTrayIcon::RefreshInTray() {
  return CallShell(NIM_MODIFY);
}

void TCoolTrayIcon::Loaded() {
  rtl::TComponent::Loaded();
  if (OwnerForm()) {
    bool showMainForm = true;
    if (OnStartup) OnStartup(this, showMainForm);
    if (!showMainForm) {
      if (TApplication* app = TApplication::Instance()) app->SetShowMainForm(false);
      ConcealMainForm();
    }
  }
  RefreshInTray();
  SetIconVisible(iconVisible_);
  SetCycleIcons(cycleIcons_);
  SetWantEnterExitEvents(wantEnterExitEvents_);
  CallShell(NIM_SETVERSION);
}

// --- the main form

void TCoolTrayIcon::RestoreMainForm() {
  TApplication* app = TApplication::Instance();
  if (!OwnerForm() || !app || !app->MainForm()) return;
  TForm* form = app->MainForm();
  app->Restore();
  if (form->WindowState() == wsMinimized) form->SetWindowState(wsNormal);
  form->SetVisible(true);
  SetForegroundWindow(app->Handle());
}

void TCoolTrayIcon::ConcealMainForm() {
  TApplication* app = TApplication::Instance();
  if (!OwnerForm() || !app || !app->MainForm()) return;
  app->MainForm()->SetVisible(false);
  HideAppButton();
}

void TCoolTrayIcon::HideAppButton() {
  TApplication* app = TApplication::Instance();
  if (app && IsWindowVisible(app->Handle())) ShowWindow(app->Handle(), SW_HIDE);
}

void TCoolTrayIcon::SendToTray() {
  // Hidden behind an icon that no host shows, the window could not be reached again: while the
  // icon is not in the area, the window stays minimized as any other.
  if (!AddToTray() && !RefreshInTray()) return;
  ConcealMainForm();
}

void TCoolTrayIcon::PopupMenuAtCursor() {
  POINT at;
  if (!popupMenu_ || !popupMenu_->AutoPopup() || !GetCursorPos(at)) return;
  TApplication* app = TApplication::Instance();
  if (app) {
    SetForegroundWindow(app->Handle());
    app->ProcessMessages();
  }
  if (!popupMenu_) return;  // the menu may have gone while messages ran
  popupMenu_->SetPopupComponent(this);
  popupMenu_->Popup(at.x, at.y);
  if (TForm* form = OwnerForm()) PostMessageA(form->Handle(), WM_NULL, 0, 0);
}

// --- notices from the shell

void TCoolTrayIcon::HandleNotice(LPARAM notice) {
  switch (notice) {
    case NIN_BALLOONSHOW:
      if (OnBalloonHintShow) OnBalloonHintShow(this);
      return;
    case NIN_BALLOONHIDE:
      if (OnBalloonHintHide) OnBalloonHintHide(this);
      return;
    case NIN_BALLOONTIMEOUT:
      if (OnBalloonHintTimeout) OnBalloonHintTimeout(this);
      return;
    case NIN_BALLOONUSERCLICK:
      if (OnBalloonHintClick) OnBalloonHintClick(this);
      return;
    default:
      break;
  }
  if (!enabled_) return;
  POINT at;
  GetCursorPos(at);
  TShiftState shift = CurrentShiftState();
  switch (notice) {
    case WM_MOUSEMOVE:
      if (wantEnterExitEvents_ && cursorGone_) {
        FireMouseEnter();
        cursorGone_ = false;
      }
      FireMouseMove(shift, at.x, at.y);
      lastCursorX_ = at.x;
      lastCursorY_ = at.y;
      break;
    case WM_LBUTTONDOWN:
      if (OnDblClick) {
        clickClock_->SetPeriod(GetDoubleClickTime());
        clickClock_->SetRunning(true);
      }
      FireMouseDown(mbLeft, shift | ssLeft, at.x, at.y);
      leftPressed_ = true;
      if (leftPopup_) PopupMenuAtCursor();
      break;
    case WM_LBUTTONUP:
      if (leftPressed_) {
        clickPending_ = true;
        if (!clickClock_->Running()) {
          leftPressed_ = false;
          clickPending_ = false;
          FireClick();
        }
      }
      leftPressed_ = false;
      FireMouseUp(mbLeft, shift | ssLeft, at.x, at.y);
      break;
    case WM_LBUTTONDBLCLK:
      clickPending_ = false;
      doubleClicked_ = true;
      FireDblClick();
      if (popupMenu_ && popupMenu_->AutoPopup() && !leftPopup_) {
        for (int i = 0; i < popupMenu_->Count(); ++i)
          if (popupMenu_->Items(i)->Default) {
            popupMenu_->Items(i)->Click();
            break;
          }
      }
      break;
    case WM_RBUTTONDOWN:
      FireMouseDown(mbRight, shift | ssRight, at.x, at.y);
      PopupMenuAtCursor();
      break;
    case WM_RBUTTONUP:
      FireMouseUp(mbRight, shift | ssRight, at.x, at.y);
      break;
    case WM_MBUTTONDOWN:
      FireMouseDown(mbMiddle, shift | ssMiddle, at.x, at.y);
      break;
    case WM_MBUTTONUP:
      FireMouseUp(mbMiddle, shift | ssMiddle, at.x, at.y);
      break;
    default:
      break;
  }
}

void TCoolTrayIcon::ClickTick(TSimpleTimer*) {
  clickClock_->SetRunning(false);
  if (!doubleClicked_ && clickPending_) {
    clickPending_ = false;
    FireClick();
  }
  doubleClicked_ = false;
}

void TCoolTrayIcon::ExitTick(TSimpleTimer*) {
  if (cursorGone_) return;
  POINT at;
  GetCursorPos(at);
  if (at.x != lastCursorX_ || at.y != lastCursorY_) {
    cursorGone_ = true;
    FireMouseExit();
  }
}

void TCoolTrayIcon::CycleTick(TSimpleTimer*) {
  if (!iconList_) return;
  iconList_->GetIcon(iconIndex_, *icon_);
  FireCycle();
}

void TCoolTrayIcon::FireClick() {
  if (OnClick) OnClick(this);
}

void TCoolTrayIcon::FireDblClick() {
  if (OnDblClick) OnDblClick(this);
}

void TCoolTrayIcon::FireCycle() {
  int next = 0;
  if (iconList_ && iconIndex_ < iconList_->Count() - 1) next = iconIndex_ + 1;
  if (OnCycle) OnCycle(this, next);
  SetIconIndex(next);
}

void TCoolTrayIcon::FireMouseDown(TMouseButton button, TShiftState shift, int x, int y) {
  if (OnMouseDown) OnMouseDown(this, button, shift, x, y);
}

void TCoolTrayIcon::FireMouseUp(TMouseButton button, TShiftState shift, int x, int y) {
  if (OnMouseUp) OnMouseUp(this, button, shift, x, y);
}

void TCoolTrayIcon::FireMouseMove(TShiftState shift, int x, int y) {
  if (OnMouseMove) OnMouseMove(this, shift, x, y);
}

void TCoolTrayIcon::FireMouseEnter() {
  if (OnMouseEnter) OnMouseEnter(this);
}

void TCoolTrayIcon::FireMouseExit() {
  if (OnMouseExit) OnMouseExit(this);
}

// --- the application's window and the owner form's procedure

bool TCoolTrayIcon::AppWindowHook(TMessage& message) {
  TApplication* app = TApplication::Instance();
  if (message.Msg == WM_SIZE && message.WParam == SIZE_MINIMIZED && minimizeToTray_) SendToTray();
  if (message.Msg == WM_WINDOWPOSCHANGED && pendingMdiCheck_ && app && app->MainForm()) {
    if (app->MainForm()->FormStyle() == fsMDIForm) {
      bool showMainForm = true;
      if (OnStartup) OnStartup(this, showMainForm);
      if (!showMainForm) HideAppButton();
    }
    pendingMdiCheck_ = false;
  }
  if (message.Msg == WM_SYSCOMMAND && message.WParam == SC_RESTORE && app && app->MainForm())
    app->MainForm()->SetVisible(true);
  if (TaskbarCreatedMsg() != 0 && message.Msg == TaskbarCreatedMsg() && iconVisible_) AddToTray();
  // The icon was the way back to a hidden window; with its host gone the window comes back.
  if (message.Msg == TrayHostGoneMsg() && iconVisible_ && OwnerForm() && app && app->MainForm() &&
      !app->MainForm()->Visible() && !app->Terminated())
    RestoreMainForm();
  return false;
}

bool TCoolTrayIcon::TryMinimizeToTray(TMessage& message) {
  if (!minimizeToTray_ || !OnMinimizeToTray) return false;
  OnMinimizeToTray(this);
  SendToTray();
  message.Result = 1;
  return true;
}

LRESULT TCoolTrayIcon::OwnerWindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  TMessage message{msg, wParam, lParam, 0};
  TApplication* app = TApplication::Instance();
  const bool parentClosing = msg == WM_SHOWWINDOW && wParam == 0 && lParam == SW_PARENTCLOSING &&
                             !(app && app->Terminated());
  const bool minimizing = msg == WM_SYSCOMMAND && wParam == SC_MINIMIZE;
  if (msg == WM_SHOWWINDOW && wParam == 1 && lParam == 0) {
    if (app) SetForegroundWindow(app->Handle());
    SetForegroundWindow(window);
  } else if ((parentClosing || minimizing) && TryMinimizeToTray(message)) {
    return message.Result;
  }
  return CallWindowProcA(savedOwnerProc_, window, msg, wParam, lParam);
}

void TCoolTrayIcon::SubclassOwner() {
  TForm* form = OwnerForm();
  savedOwnerProc_ = GetWindowLongA(form->Handle(), GWL_WNDPROC);
  ownerProcStub_ = std::make_shared<const WindowProcedure>(
      [this](HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
        return OwnerWindowProc(window, msg, wParam, lParam);
      });
  SetWindowLongA(form->Handle(), GWL_WNDPROC, ownerProcStub_);
}

void TCoolTrayIcon::UnsubclassOwner() {
  TForm* form = OwnerForm();
  if (form && savedOwnerProc_) SetWindowLongA(form->Handle(), GWL_WNDPROC, savedOwnerProc_);
  savedOwnerProc_.reset();
  ownerProcStub_.reset();
}

}  // namespace ui
