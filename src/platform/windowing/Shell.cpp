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
#include <QGuiApplication>
#include <QPixmap>
#include <QSystemTrayIcon>

#include "platform/windowing/ShellIcons.h"
#include "platform/windowing/StatusNotifierItem.h"
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

// The icons this process shows and the mouse notices they send back. Each icon is shown by the
// host there now: an item of its own on the bus for a StatusNotifier host, a Qt icon for an
// XEmbed one. Qt's icons are only ever made while no StatusNotifier host is there, so that Qt,
// which picks its protocol once per process at its first icon, keeps to XEmbed.
class NotificationArea : public QObject {
 public:
  NotificationArea()
      : watch_([this](detail::TrayProtocol before, detail::TrayProtocol now) {
          ProtocolChanged(before, now);
        }) {}

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

  bool HostAvailable() const { return ShowableBy() != detail::TrayProtocol::None; }

  bool Add(const NOTIFYICONDATAA& data) {
    const IconKey key{data.hWnd, data.uID};
    if (icons_.count(key)) return false;
    const bool recordOnly = detail::PlatformShowsNothing();
    const detail::TrayProtocol protocol = ShowableBy();
    if (!recordOnly && protocol == detail::TrayProtocol::None) return false;
    Record& record = icons_[key];
    Apply(record, data);
    Show(key, record, protocol);
    return true;
  }

  bool Modify(const NOTIFYICONDATAA& data) {
    Record* record = Find(data);
    if (!record) return false;
    Apply(*record, data);
    Refresh(*record);
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
    if (entries.empty())
      menus_.erase(key);
    else
      menus_[key] = std::move(entries);
    auto found = icons_.find(key);
    if (found != icons_.end() && found->second.item) found->second.item->SetMenu(ItemMenu(key));
  }

  bool SetVersion(const NOTIFYICONDATAA& data) { return Find(data) && data.uVersion == 0; }

  QSystemTrayIcon* IconOf(IconKey key) {
    auto found = icons_.find(key);
    return found == icons_.end() ? nullptr : found->second.qtIcon.get();
  }

 private:
  struct Record {
    QIcon image;
    QString tip;
    UINT callbackMessage = 0;  // 0: the window wants no notices
    // When a host reports activations only, the last left one, to tell a double click by.
    std::optional<Clock::time_point> lastTrigger;
    // What shows it: one of the two, or a Qt icon never shown where nothing is drawn.
    std::unique_ptr<QSystemTrayIcon> qtIcon;
    std::unique_ptr<detail::StatusNotifierItem> item;
    bool xembed = false;  // Qt reports buttons there, double clicks included
  };

  static std::unique_ptr<NotificationArea>& Owner() {
    static auto* owner = new std::unique_ptr<NotificationArea>;  // never freed: see Instance
    return *owner;
  }

  // The protocol an icon added now is shown by.
  detail::TrayProtocol ShowableBy() const {
    if (detail::PlatformShowsNothing()) return detail::TrayProtocol::None;
    const detail::TrayProtocol protocol = watch_.Protocol();
    // Where the tray selection cannot be watched, Qt's word is all there is.
    if (protocol == detail::TrayProtocol::None && !watch_.XEmbedWatched() &&
        QGuiApplication::platformName() == QLatin1String("xcb") &&
        QSystemTrayIcon::isSystemTrayAvailable())
      return detail::TrayProtocol::XEmbed;
    return protocol;
  }

  Record* Find(const NOTIFYICONDATAA& data) {
    auto found = icons_.find({data.hWnd, data.uID});
    return found == icons_.end() ? nullptr : &found->second;
  }

  static std::vector<detail::StatusNotifierItem::MenuEntry> BusMenu(
      const std::vector<TShellMenuEntry>& entries) {
    static const QString kMarks[] = {QString(), QStringLiteral("checkmark"),
                                     QStringLiteral("radio")};
    std::vector<detail::StatusNotifierItem::MenuEntry> bus;
    bus.reserve(entries.size());
    for (const TShellMenuEntry& entry : entries)
      bus.push_back({QString::fromStdString(entry.caption), entry.enabled,
                     kMarks[static_cast<int>(entry.mark)], entry.checked, entry.separator,
                     BusMenu(entry.children)});
    return bus;
  }

  std::vector<detail::StatusNotifierItem::MenuEntry> ItemMenu(IconKey key) const {
    auto found = menus_.find(key);
    return found == menus_.end() ? std::vector<detail::StatusNotifierItem::MenuEntry>()
                                 : BusMenu(found->second);
  }

  // The entry at this place, counting each entry before its children; none past the last.
  static const TShellMenuEntry* EntryAt(const std::vector<TShellMenuEntry>& entries,
                                        std::size_t& place) {
    for (const TShellMenuEntry& entry : entries) {
      if (place == 0) return &entry;
      --place;
      if (const TShellMenuEntry* found = EntryAt(entry.children, place)) return found;
    }
    return nullptr;
  }

  // Shows the record by the protocol given, in place of what showed it before.
  void Show(IconKey key, Record& record, detail::TrayProtocol protocol) {
    if (record.qtIcon) record.qtIcon->hide();
    record.qtIcon.reset();
    record.item.reset();
    record.lastTrigger.reset();
    record.xembed = false;
    // Qt asks the watcher too as it makes its first icon: a host that has only just registered
    // is taken here, before Qt can commit to the bus.
    if (protocol == detail::TrayProtocol::XEmbed &&
        detail::TrayHostWatch::StatusNotifierHostRegistered())
      protocol = detail::TrayProtocol::StatusNotifier;
    if (protocol == detail::TrayProtocol::StatusNotifier) {
      record.item = std::make_unique<detail::StatusNotifierItem>(
          [this, key](detail::StatusNotifierItem::Request request) { Requested(key, request); },
          [this, key](int index) { Choose(key, static_cast<std::size_t>(index)); });
      record.item->SetMenu(ItemMenu(key));
    } else {
      record.qtIcon = std::make_unique<QSystemTrayIcon>();
      record.xembed = protocol == detail::TrayProtocol::XEmbed;
      QSystemTrayIcon* icon = record.qtIcon.get();
      connect(icon, &QSystemTrayIcon::activated, this,
              [this, key](QSystemTrayIcon::ActivationReason reason) { Activated(key, reason); });
      connect(icon, &QSystemTrayIcon::messageClicked, this,
              [this, key] { Post(key, {NIN_BALLOONUSERCLICK}); });
    }
    Refresh(record);
    if (record.item) record.item->Register();
    // Where nothing is drawn the record is all there is; Qt would only complain.
    if (record.xembed) record.qtIcon->show();
  }

  static void Refresh(Record& record) {
    const QIcon image = record.image.isNull() ? BlankImage() : record.image;
    if (record.item) {
      record.item->SetIcon(image);
      record.item->SetToolTip(record.tip);
    }
    if (record.qtIcon) {
      record.qtIcon->setIcon(image);
      record.qtIcon->setToolTip(record.tip);
    }
  }

  void Choose(IconKey key, std::size_t place) {
    auto found = menus_.find(key);
    if (found == menus_.end()) return;
    const TShellMenuEntry* entry = EntryAt(found->second, place);
    if (!entry || !entry->enabled || entry->separator || !entry->children.empty()) return;
    const std::function<void()> action = entry->action;  // it may change the menu
    if (action) action();
  }

  void Forget(std::map<IconKey, Record>::iterator record) {
    if (record->second.qtIcon) record->second.qtIcon->hide();
    icons_.erase(record);
  }

  static void Apply(Record& record, const NOTIFYICONDATAA& data) {
    if (data.uFlags & NIF_MESSAGE) record.callbackMessage = data.uCallbackMessage;
    if (data.uFlags & NIF_ICON) record.image = IconImage(data.hIcon);
    if (data.uFlags & NIF_TIP) record.tip = TipText(data);
  }

  void Requested(IconKey key, detail::StatusNotifierItem::Request request) {
    switch (request) {
      case detail::StatusNotifierItem::Request::Activate:
        Activated(key, QSystemTrayIcon::Trigger);
        break;
      case detail::StatusNotifierItem::Request::SecondaryActivate:
        Activated(key, QSystemTrayIcon::MiddleClick);
        break;
      case detail::StatusNotifierItem::Request::ContextMenu:
        Activated(key, QSystemTrayIcon::Context);
        break;
    }
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
        if (!record.xembed && record.lastTrigger && now - *record.lastTrigger <= doubleClickTime) {
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

  // A host gone: its icons went with it, and a component adds its icon again on
  // "TaskbarCreated". A host of the other protocol taking over: the icons move to it, unasked.
  void ProtocolChanged(detail::TrayProtocol before, detail::TrayProtocol now) {
    if (now == detail::TrayProtocol::None) {
      while (!icons_.empty())
        Forget(icons_.begin());
      detail::BroadcastMessage(TrayHostGoneMsg(), 0, 0);
    } else if (before == detail::TrayProtocol::None) {
      detail::BroadcastMessage(RegisterWindowMessageA("TaskbarCreated"), 0, 0);
    } else {
      for (auto& [key, record] : icons_)
        Show(key, record, now);
    }
  }

  detail::TrayHostWatch watch_;
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
