#pragma once

// A notification-area icon: puts an icon with a hint into the shell's notification area, turns
// the shell's mouse notices for it into events, can take over its owner form's minimize so the
// form goes into the icon, restores the main form on request, pops up a menu at the cursor,
// re-adds its icon when the taskbar is re-created, and can cycle through an image list.
//
// All icons share one hidden window, made with the first and destroyed with the last; each icon
// uses three light timers. Main thread only.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "platform/windowing/Icon.h"
#include "platform/windowing/Shell.h"
#include "platform/windowing/WinTypes.h"
#include "rtl/Component.h"
#include "ui/SimpleTimer.h"

namespace win {
class TForm;
class TImageList;
class TPopupMenu;
}  // namespace win

namespace ui {

class TCoolTrayIcon;

enum TMouseButton { mbLeft, mbRight, mbMiddle };
// A set of these flags.
enum TShiftFlag : unsigned {
  ssShift = 1,
  ssAlt = 2,
  ssCtrl = 4,
  ssLeft = 8,
  ssRight = 16,
  ssMiddle = 32
};
using TShiftState = unsigned;

using TTrayNotifyEvent = std::function<void(TCoolTrayIcon* Sender)>;
using TTrayMouseEvent = std::function<void(TCoolTrayIcon* Sender, TMouseButton Button,
                                           TShiftState Shift, int X, int Y)>;
using TTrayMouseMoveEvent =
    std::function<void(TCoolTrayIcon* Sender, TShiftState Shift, int X, int Y)>;
using TCycleEvent = std::function<void(TCoolTrayIcon* Sender, int NextIndex)>;
using TStartupEvent = std::function<void(TCoolTrayIcon* Sender, bool& ShowMainForm)>;

// The first user message number plus 1024.
constexpr win::UINT TrayCallbackMsg = win::WM_USER + 1024;

// The number the shell broadcasts when the taskbar is (re)created; 0 when the common controls
// are older than 4.71 and re-creation is not handled.
win::UINT TaskbarCreatedMsg();

// The ShiftState of the keys down at this moment.
TShiftState CurrentShiftState();

// The owner of the window all icons share. One exists while any icon does.
class TTrayIconHandler {
 public:
  TTrayIconHandler();
  ~TTrayIconHandler();
  TTrayIconHandler(const TTrayIconHandler&) = delete;
  TTrayIconHandler& operator=(const TTrayIconHandler&) = delete;

  std::int32_t IconCount = 0;
  win::HWND Window = win::kNoWindow;
  // Live icons by their IconId, so that a notice for an icon that is gone is ignored.
  std::unordered_map<std::uint32_t, TCoolTrayIcon*> Icons;

 private:
  void TrayWindowProc(win::TMessage& message);
};

class TCoolTrayIcon : public rtl::TComponent {
 public:
  explicit TCoolTrayIcon(rtl::TComponent* owner);
  ~TCoolTrayIcon() override;

  bool DesignPreview() const { return designPreview_; }
  void SetDesignPreview(bool value) { designPreview_ = value; }  // a designer's matter only
  win::TImageList* IconList() const { return iconList_; }
  void SetIconList(win::TImageList* list);
  bool CycleIcons() const { return cycleIcons_; }
  void SetCycleIcons(bool value);
  std::uint32_t CycleInterval() const { return cycleInterval_; }
  void SetCycleInterval(std::uint32_t value);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value) { enabled_ = value; }
  const std::string& Hint() const { return hint_; }
  void SetHint(std::string hint);
  bool ShowHint() const { return showHint_; }
  void SetShowHint(bool value);
  win::TIcon& Icon() { return *icon_; }
  void SetIcon(const win::TIcon& icon);
  void SetIcon(const QIcon& image);
  bool IconVisible() const { return iconVisible_; }
  void SetIconVisible(bool value);
  int IconIndex() const { return iconIndex_; }
  void SetIconIndex(int value);
  win::TPopupMenu* PopupMenu() const { return popupMenu_; }
  void SetPopupMenu(win::TPopupMenu* menu);
  bool LeftPopup() const { return leftPopup_; }
  void SetLeftPopup(bool value) { leftPopup_ = value; }
  bool WantEnterExitEvents() const { return wantEnterExitEvents_; }
  void SetWantEnterExitEvents(bool value);
  bool MinimizeToTray() const { return minimizeToTray_; }
  void SetMinimizeToTray(bool value) { minimizeToTray_ = value; }

  TTrayNotifyEvent OnClick, OnDblClick;
  TTrayMouseEvent OnMouseDown, OnMouseUp;
  TTrayMouseMoveEvent OnMouseMove;
  TTrayNotifyEvent OnMouseEnter, OnMouseExit;
  TCycleEvent OnCycle;
  TTrayNotifyEvent OnBalloonHintShow, OnBalloonHintHide, OnBalloonHintTimeout, OnBalloonHintClick;
  TTrayNotifyEvent OnMinimizeToTray;
  TStartupEvent OnStartup;

  // Consulted only inside a designer.
  virtual bool UseDefaultIcon() { return true; }
  // Each returns the shell's answer.
  virtual bool AddToTray();
  virtual bool RemoveFromTray();
  virtual bool RefreshInTray();

  void RestoreMainForm();
  void ConcealMainForm();
  void HideAppButton();
  void PopupMenuAtCursor();
  // The popup menu's items changed: the menu shown now, or drawn by the host, follows.
  void MenuChanged();
  // Conceals the main form into the icon, unless no host shows the icon.
  virtual void SendToTray();

  // The shell's identifier for this icon, unique among live icons.
  std::uint32_t IconId() const { return iconId_; }
  // The record the shell gets, as filled for the last call.
  const win::NOTIFYICONDATAA& TrayData() const { return trayData_; }
  static TTrayIconHandler* TrayWindowOwner();

 protected:
  virtual void FireClick();
  virtual void FireDblClick();
  virtual void FireCycle();
  virtual void FireMouseDown(TMouseButton button, TShiftState shift, int x, int y);
  virtual void FireMouseUp(TMouseButton button, TShiftState shift, int x, int y);
  virtual void FireMouseMove(TShiftState shift, int x, int y);
  virtual void FireMouseEnter();
  virtual void FireMouseExit();

  void Loaded() override;
  void Notification(rtl::TComponent* component, rtl::TOperation operation) override;

 private:
  friend class TTrayIconHandler;  // the shared window hands this icon its notices
  void HandleNotice(win::LPARAM notice);
  bool FillIconData();
  bool CallShell(win::DWORD message);
  // Gives the shell the menu's entries, for hosts that draw the menu themselves.
  void ExportMenu();
  void ClickTick(TSimpleTimer*);
  void ExitTick(TSimpleTimer*);
  void CycleTick(TSimpleTimer*);
  bool AppWindowHook(win::TMessage& message);
  win::LRESULT OwnerWindowProc(win::HWND window, win::UINT msg, win::WPARAM wParam,
                               win::LPARAM lParam);
  bool TryMinimizeToTray(win::TMessage& message);
  void SubclassOwner();
  void UnsubclassOwner();
  win::TForm* OwnerForm() const;

  bool designPreview_ = false;
  win::TImageList* iconList_ = nullptr;
  bool cycleIcons_ = false;
  std::uint32_t cycleInterval_ = 0;
  bool enabled_ = true;
  std::string hint_;
  bool showHint_ = true;
  std::unique_ptr<win::TIcon> icon_;
  bool iconVisible_ = false;
  int iconIndex_ = 0;
  win::TPopupMenu* popupMenu_ = nullptr;
  bool leftPopup_ = false;
  bool wantEnterExitEvents_ = false;
  bool minimizeToTray_ = false;

  std::uint32_t iconId_;
  bool leftPressed_ = false;
  bool clickPending_ = false;
  bool doubleClicked_ = false;
  std::unique_ptr<TSimpleTimer> cycleClock_, clickClock_, exitClock_;
  std::int32_t lastCursorX_ = 0, lastCursorY_ = 0;
  bool cursorGone_ = true;
  bool inPreviewChange_ = false;
  bool pendingMdiCheck_ = true;
  win::WNDPROC savedOwnerProc_;
  win::WNDPROC ownerProcStub_;
  int appHookToken_ = 0;
  win::NOTIFYICONDATAA trayData_;
};

}  // namespace ui
