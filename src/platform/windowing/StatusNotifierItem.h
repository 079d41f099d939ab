#pragma once

// One notification-area icon as a StatusNotifierItem on the session bus (internal to the
// windowing layer), with its menu as a com.canonical.dbusmenu object beside it.
//
// Qt offers such an item too, but decides once per process whether its icons use the bus or
// XEmbed; this one is made whenever a StatusNotifier host is there, however late it came, while
// Qt's icons are kept for XEmbed. Each item has a bus connection and name of its own
// (org.kde.StatusNotifierItem-<pid>-<n>), registers with the watcher as it is made and leaves the
// bus as it is destroyed, which the watcher sees. Main thread only.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QDBusConnection>
#include <QIcon>
#include <QObject>
#include <QString>

namespace win::detail {

class StatusNotifierItem : public QObject {
 public:
  // What the host asks of the item: Activate (a left click), SecondaryActivate (a middle click),
  // ContextMenu (a right click where the host draws no menu).
  enum class Request { Activate, SecondaryActivate, ContextMenu };

  struct MenuEntry {
    QString label;
    bool enabled = true;
    QString toggleType;  // empty, "checkmark" or "radio"
    bool toggled = false;
    bool separator = false;
    std::vector<MenuEntry> children;  // a submenu
  };

  // Exported on a connection of its own, but not yet announced: see Register.
  StatusNotifierItem(std::function<void(Request)> requested, std::function<void(int)> chosen);
  ~StatusNotifierItem() override;
  StatusNotifierItem(const StatusNotifierItem&) = delete;
  StatusNotifierItem& operator=(const StatusNotifierItem&) = delete;

  // Announces the item to the watcher, which reads it then: its icon, tip and menu first. False
  // when the bus could not be reached or the item not exported.
  bool Register();
  bool Registered() const { return registered_; }
  QString Service() const { return service_; }

  void SetIcon(const QIcon& image);
  void SetToolTip(const QString& tip);
  // Entries are shown in this order; a choice reports, from the loop, the entry's place counted
  // in that order with each entry's children right after it.
  void SetMenu(const std::vector<MenuEntry>& entries);

  const QIcon& Icon() const { return image_; }
  const QString& ToolTip() const { return tip_; }

 private:
  class ItemObject;
  class MenuObject;

  void Emit(const QString& path, const QString& interface, const QString& name,
            const QVariantList& arguments = {});

  std::function<void(Request)> requested_;
  std::function<void(int)> chosen_;
  QString connectionName_;
  QString service_;
  QDBusConnection bus_;
  std::unique_ptr<ItemObject> item_;
  std::unique_ptr<MenuObject> menu_;
  bool exported_ = false;
  bool registered_ = false;
  QIcon image_;
  QString tip_;
  // The menu as the bus sees it: the root (id 0), then each entry (id 1 on) before its children.
  struct BusEntry {
    QVariantMap properties;
    std::vector<int> children;  // their ids
    bool enabled = true;
  };
  static void AddBusEntries(const std::vector<MenuEntry>& entries, std::size_t parent,
                            std::vector<BusEntry>& into);
  std::vector<BusEntry> menuEntries_;
  unsigned revision_ = 1;
};

}  // namespace win::detail
