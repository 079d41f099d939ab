#pragma once

// Watches the hosts that can show this process's tray icons (internal to the windowing layer):
// a StatusNotifier host behind the watcher on the session bus, and the owner of the XEmbed tray
// selection on X11, both for as long as the process runs, so that a host that comes after the
// icons, goes, or comes back speaking the other protocol is seen. Where both are there the
// StatusNotifier host is used, as desktops that offer both expect. Main thread only.

#include <cstdint>
#include <functional>
#include <memory>

#include <QObject>

namespace win::detail {

enum class TrayProtocol { None, XEmbed, StatusNotifier };

// Qt platforms that draw nowhere (offscreen, minimal), where no tray can exist.
bool PlatformShowsNothing();

class TrayHostWatch : public QObject {
  Q_OBJECT

 public:
  // changed(before, now): the protocol icons can be shown by now is another. A host replaced by
  // one of the same kind is reported as a change to None and back.
  explicit TrayHostWatch(std::function<void(TrayProtocol before, TrayProtocol now)> changed);
  ~TrayHostWatch() override;

  // StatusNotifier while a host is registered with the watcher, else XEmbed while the tray
  // selection has an owner, else None.
  TrayProtocol Protocol() const { return reported_; }
  // Whether XEmbed hosts are watched; where they cannot be (no XFixes), none is ever reported.
  bool XEmbedWatched() const { return selection_ != nullptr; }
  // Asks the watcher now, not waiting for its signals: for a choice that must not lag behind.
  static bool StatusNotifierHostRegistered();

 private slots:
  void HostRegistered();

 private:
  class SelectionWatch;

  void WatcherChanged(const QString& oldOwner, const QString& newOwner);
  void AskWatcher();
  void OwnerChanged(std::uint32_t owner);
  void Update();

  std::function<void(TrayProtocol, TrayProtocol)> changed_;
  bool watcherOwned_ = false;
  bool statusNotifierHost_ = false;
  std::uint32_t owner_ = 0;
  TrayProtocol reported_ = TrayProtocol::None;
  std::unique_ptr<SelectionWatch> selection_;
  bool started_ = false;  // no reports from within the constructor
};

}  // namespace win::detail
