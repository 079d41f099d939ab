#include "platform/windowing/Shell.h"

#include <chrono>
#include <cstring>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include <QCoreApplication>
#include <QMenu>
#include <QPixmap>
#include <QSystemTrayIcon>

#include "platform/windowing/ShellIcons.h"
#include "platform/windowing/TrayHostWatch.h"
#include "platform/windowing/WindowTable.h"
#include "platform/windowing/Windows.h"

namespace win {
namespace {

using Clock = std::chrono::steady_clock;
using IconKey = std::pair<HWND, UINT>;

// Where the record has no image, the slot stays, empty, as the shell's does.
QIcon BlankImage() {
  QPixmap blank(16, 16);
  blank.fill(Qt::transparent);
  return QIcon(blank);
}

// The tip's bytes up to its zero; the last byte is the zero's place whatever it holds. One
// character per byte, so no byte is lost to a decoding.
QString TipText(const NOTIFYICONDATAA& data) {
  return QString::fromLatin1(data.szTip,
                             static_cast<qsizetype>(::strnlen(data.szTip, sizeof data.szTip - 1)));
}

// The icons this process shows, their Qt objects and the mouse notices they send back.
class NotificationArea : public QObject {
 public:
  NotificationArea() : watch_([this] { HostLost(); }, [this] { HostAppeared(); }) {}

  // Made on first use; it goes before the Qt application does, by a post routine, and never by
  // static destruction, which may come after the application has gone.
  static NotificationArea& Instance() {
    std::unique_ptr<NotificationArea>& area = Owner();
    if (!area) {
      area = std::make_unique<NotificationArea>();
      qAddPostRoutine([] { Owner().reset(); });
    }
    return *area;
  }

  // Qt keeps the host it found until it has read the host's end; the watch may know first.
  bool HostAvailable() const {
    return watch_.HostPresent() && QSystemTrayIcon::isSystemTrayAvailable();
  }

  bool Add(const NOTIFYICONDATAA& data) {
    const IconKey key{data.hWnd, data.uID};
    if (icons_.count(key) || !watch_.HostPresent()) return false;
    // Where no host can be watched, Qt's word is all there is.
    if (watch_.Protocol() == detail::TrayProtocol::None && !detail::PlatformShowsNothing() &&
        !QSystemTrayIcon::isSystemTrayAvailable())
      return false;
    Record& record = icons_[key];
    MakeQtIcon(key, record);
    Apply(record, data);
    Show(record);
    return true;
  }

  bool Modify(const NOTIFYICONDATAA& data) {
    Record* record = Find(data);
    if (!record) return false;
    Apply(*record, data);
    return true;
  }

  bool Delete(const NOTIFYICONDATAA& data) {
    menus_.erase({data.hWnd, data.uID});
    auto found = icons_.find({data.hWnd, data.uID});
    if (found == icons_.end()) return false;
    Forget(found);
    return true;
  }

  void SetMenu(IconKey key, std::vector<TShellMenuEntry> entries) {
    const std::vector<std::string> captions = CaptionsOf(entries);
    if (entries.empty())
      menus_.erase(key);
    else
      menus_[key] = std::move(entries);
    if (watch_.Protocol() != detail::TrayProtocol::StatusNotifier) return;
    auto found = icons_.find(key);
    if (found == icons_.end() || found->second.menuCaptions == captions) return;
    // The host reads an icon's menu when the icon registers: a new one goes out with the icon
    // afresh.
    Record& record = found->second;
    const QIcon image = record.icon->icon();
    const QString tip = record.icon->toolTip();
    record.icon->hide();
    MakeQtIcon(key, record);
    record.icon->setIcon(image);
    record.icon->setToolTip(tip);
    Show(record);
  }

  bool SetVersion(const NOTIFYICONDATAA& data) { return Find(data) && data.uVersion == 0; }

  QSystemTrayIcon* IconOf(IconKey key) {
    auto found = icons_.find(key);
    return found == icons_.end() ? nullptr : found->second.icon.get();
  }

 private:
  struct Record {
    // Declared first, so it goes after the icon: Qt's icon keeps a pointer to its menu.
    std::unique_ptr<QMenu> menu;
    std::unique_ptr<QSystemTrayIcon> icon;
    std::vector<std::string> menuCaptions;  // what the host was given
    UINT callbackMessage = 0;               // 0: the window wants no notices
    // When a host reports activations only, the last left one, to tell a double click by.
    std::optional<Clock::time_point> lastTrigger;
  };

  static std::unique_ptr<NotificationArea>& Owner() {
    static auto* owner = new std::unique_ptr<NotificationArea>;  // never freed: see Instance
    return *owner;
  }

  Record* Find(const NOTIFYICONDATAA& data) {
    auto found = icons_.find({data.hWnd, data.uID});
    return found == icons_.end() ? nullptr : &found->second;
  }

  static std::vector<std::string> CaptionsOf(const std::vector<TShellMenuEntry>& entries) {
    std::vector<std::string> captions;
    captions.reserve(entries.size());
    for (const TShellMenuEntry& entry : entries)
      captions.push_back(entry.caption);
    return captions;
  }

  // A new Qt icon, with the icon's menu where the host draws menus itself; the old one goes.
  void MakeQtIcon(IconKey key, Record& record) {
    record.icon.reset();
    record.menu.reset();
    record.menuCaptions.clear();
    record.icon = std::make_unique<QSystemTrayIcon>();
    QSystemTrayIcon* icon = record.icon.get();
    connect(icon, &QSystemTrayIcon::activated, this,
            [this, key](QSystemTrayIcon::ActivationReason reason) { Activated(key, reason); });
    connect(icon, &QSystemTrayIcon::messageClicked, this,
            [this, key] { Post(key, {NIN_BALLOONUSERCLICK}); });
    auto entries = menus_.find(key);
    if (watch_.Protocol() != detail::TrayProtocol::StatusNotifier || entries == menus_.end())
      return;
    record.menu = std::make_unique<QMenu>();
    for (std::size_t i = 0; i < entries->second.size(); ++i) {
      QAction* action = record.menu->addAction(QString::fromStdString(entries->second[i].caption));
      // From the loop: the action may take the icon and this very menu away.
      connect(action, &QAction::triggered, this, [this, key, i] {
        QMetaObject::invokeMethod(
            this, [this, key, i] { Choose(key, i); }, Qt::QueuedConnection);
      });
    }
    record.menuCaptions = CaptionsOf(entries->second);
    icon->setContextMenu(record.menu.get());
  }

  // Where nothing is drawn the record is all there is; Qt would only complain.
  static void Show(Record& record) {
    if (!detail::PlatformShowsNothing()) record.icon->show();
  }

  void Choose(IconKey key, std::size_t index) {
    auto found = menus_.find(key);
    if (found == menus_.end() || index >= found->second.size()) return;
    const std::function<void()> action = found->second[index].action;  // it may change the menu
    if (action) action();
  }

  void Forget(std::map<IconKey, Record>::iterator record) {
    record->second.icon->hide();
    icons_.erase(record);
  }

  static void Apply(Record& record, const NOTIFYICONDATAA& data) {
    if (data.uFlags & NIF_MESSAGE) record.callbackMessage = data.uCallbackMessage;
    if (data.uFlags & NIF_ICON) {
      QIcon image = IconImage(data.hIcon);
      record.icon->setIcon(image.isNull() ? BlankImage() : image);
    } else if (record.icon->icon().isNull()) {
      record.icon->setIcon(BlankImage());
    }
    if (data.uFlags & NIF_TIP) record.icon->setToolTip(TipText(data));
  }

  // Qt reports activations, not buttons; each becomes the messages Windows sends for that
  // click. Press and release go out together on the activation: nothing here tells them apart.
  // On XEmbed, Qt reports a double click's second press as DoubleClick alone, so the messages
  // come in Windows' order: down, up, double click, up.
  void Activated(IconKey key, QSystemTrayIcon::ActivationReason reason) {
    auto found = icons_.find(key);
    if (found == icons_.end()) return;
    Record& record = found->second;
    switch (reason) {
      case QSystemTrayIcon::Trigger: {
        // Hosts that report activations only never say "double click": a second left one within
        // the double-click time is one. Where Qt sees the buttons (XEmbed) it says so itself,
        // from the X server's own times.
        const Clock::time_point now = Clock::now();
        const auto doubleClickTime = std::chrono::milliseconds(GetDoubleClickTime());
        if (watch_.Protocol() != detail::TrayProtocol::XEmbed && record.lastTrigger &&
            now - *record.lastTrigger <= doubleClickTime) {
          record.lastTrigger.reset();
          Post(key, {WM_LBUTTONDBLCLK, WM_LBUTTONUP});
        } else {
          record.lastTrigger = now;
          Post(key, {WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_LBUTTONUP});
        }
        break;
      }
      case QSystemTrayIcon::DoubleClick:
        record.lastTrigger.reset();
        Post(key, {WM_LBUTTONDBLCLK, WM_LBUTTONUP});
        break;
      case QSystemTrayIcon::Context:
        Post(key, {WM_MOUSEMOVE, WM_RBUTTONDOWN, WM_RBUTTONUP});
        break;
      case QSystemTrayIcon::MiddleClick:
        Post(key, {WM_MBUTTONDOWN, WM_MBUTTONUP});
        break;
      case QSystemTrayIcon::Unknown:
        break;
    }
  }

  // Posted, as the shell's notices are: they reach the window from the loop, after what was
  // posted before them.
  void Post(IconKey key, std::initializer_list<UINT> messages) {
    auto found = icons_.find(key);
    if (found == icons_.end() || found->second.callbackMessage == 0) return;
    const auto [window, id] = key;
    for (UINT message : messages)
      PostMessageA(window, found->second.callbackMessage, id, static_cast<LPARAM>(message));
  }

  // The host's icons went with it; a component adds its icon again on "TaskbarCreated".
  void HostLost() {
    while (!icons_.empty())
      Forget(icons_.begin());
    detail::BroadcastMessage(TrayHostGoneMsg(), 0, 0);
  }

  void HostAppeared() { detail::BroadcastMessage(RegisterWindowMessageA("TaskbarCreated"), 0, 0); }

  detail::TrayHostWatch watch_;  // made before the first icon: Qt decides its protocol then
  std::map<IconKey, Record> icons_;
  // Kept while the host is away: an icon added again takes its menu along.
  std::map<IconKey, std::vector<TShellMenuEntry>> menus_;
};

}  // namespace

bool Shell_NotifyIconA(DWORD message, const NOTIFYICONDATAA& data) {
  NotificationArea& area = NotificationArea::Instance();
  switch (message) {
    case NIM_ADD:
      return area.Add(data);
    case NIM_MODIFY:
      return area.Modify(data);
    case NIM_DELETE:
      return area.Delete(data);
    case NIM_SETVERSION:
      return area.SetVersion(data);
    default:
      return false;
  }
}

void Shell_SetIconMenu(HWND window, UINT id, std::vector<TShellMenuEntry> entries) {
  NotificationArea::Instance().SetMenu({window, id}, std::move(entries));
}

namespace detail {

QSystemTrayIcon* ShellIconOf(HWND window, UINT id) {
  return NotificationArea::Instance().IconOf({window, id});
}

}  // namespace detail

bool TrayHostAvailable() {
  return NotificationArea::Instance().HostAvailable();
}

UINT TrayHostGoneMsg() {
  static const UINT message = RegisterWindowMessageA("TrayHostGone");
  return message;
}

}  // namespace win
