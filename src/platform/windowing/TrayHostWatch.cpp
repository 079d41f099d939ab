#include "platform/windowing/TrayHostWatch.h"

#include <cstdlib>
#include <string>
#include <vector>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QSocketNotifier>

#include <xcb/xcb.h>
#include <xcb/xfixes.h>

namespace win::detail {
namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");

const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");

QDBusMessage HostQuestion() {
  QDBusMessage get = QDBusMessage::createMethodCall(
      kWatcherService, kWatcherPath, QStringLiteral("org.freedesktop.DBus.Properties"),
      QStringLiteral("Get"));
  get << kWatcherService << QStringLiteral("IsStatusNotifierHostRegistered");
  return get;
}

bool HostAnswer(const QDBusMessage& reply) {
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return false;
  return reply.arguments().first().value<QDBusVariant>().variant().toBool();
}

template <class Reply>
struct FreeReply {
  void operator()(Reply* reply) const { std::free(reply); }
};
template <class Reply>
using ReplyPtr = std::unique_ptr<Reply, FreeReply<Reply>>;

}  // namespace

bool PlatformShowsNothing() {
  const QString platform = QGuiApplication::platformName();
  return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

// Follows the owner of the XEmbed tray selection on an X connection of its own. XFixes reports
// every change of hands, so a host that is killed and restarted quickly is still seen twice.
class TrayHostWatch::SelectionWatch {
 public:
  explicit SelectionWatch(std::function<void(std::uint32_t)> changed)
      : changed_(std::move(changed)) {
    int screenNumber = 0;
    connection_ = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(connection_)) return;
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection_));
    for (int i = 0; i < screenNumber && screens.rem; ++i)
      xcb_screen_next(&screens);
    if (!screens.rem) return;
    const xcb_query_extension_reply_t* fixes = xcb_get_extension_data(connection_, &xcb_xfixes_id);
    if (!fixes || !fixes->present) return;
    notifyEvent_ = fixes->first_event + XCB_XFIXES_SELECTION_NOTIFY;
    ReplyPtr<xcb_xfixes_query_version_reply_t> version(xcb_xfixes_query_version_reply(
        connection_, xcb_xfixes_query_version(connection_, 1, 0), nullptr));
    if (!version) return;

    const std::string name = "_NET_SYSTEM_TRAY_S" + std::to_string(screenNumber);
    ReplyPtr<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(
        connection_,
        xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(name.size()), name.c_str()),
        nullptr));
    if (!atom) return;
    selection_ = atom->atom;
    // Selected before the owner is asked for, so no change can fall between the two.
    xcb_xfixes_select_selection_input(connection_, screens.data->root, selection_,
                                      XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
    ReplyPtr<xcb_get_selection_owner_reply_t> owner(xcb_get_selection_owner_reply(
        connection_, xcb_get_selection_owner(connection_, selection_), nullptr));
    if (!owner) return;
    owner_ = owner->owner;

    notifier_ = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(connection_),
                                                  QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { ReadEvents(); });
    // Events that came in with the replies above are queued already and wake nothing.
    ReadEvents();
  }

  ~SelectionWatch() {
    notifier_.reset();
    if (connection_) xcb_disconnect(connection_);
  }

  bool Started() const { return notifier_ != nullptr; }
  std::uint32_t Owner() const { return owner_; }

 private:
  void ReadEvents() {
    std::vector<std::uint32_t> owners;
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
      if ((event->response_type & 0x7f) == notifyEvent_) {
        auto* notify = reinterpret_cast<xcb_xfixes_selection_notify_event_t*>(event);
        // On a destroyed window or a closed client the event still names the old owner.
        if (notify->selection == selection_)
          owners.push_back(notify->subtype == XCB_XFIXES_SELECTION_EVENT_SET_SELECTION_OWNER
                               ? notify->owner
                               : 0);
      }
      std::free(event);
    }
    if (xcb_connection_has_error(connection_)) notifier_->setEnabled(false);
    for (std::uint32_t owner : owners) {
      owner_ = owner;
      changed_(owner);
    }
  }

  std::function<void(std::uint32_t)> changed_;
  xcb_connection_t* connection_ = nullptr;
  xcb_atom_t selection_ = XCB_NONE;
  std::uint8_t notifyEvent_ = 0;
  std::uint32_t owner_ = 0;
  std::unique_ptr<QSocketNotifier> notifier_;
};

bool TrayHostWatch::StatusNotifierHostRegistered() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  return bus.isConnected() && HostAnswer(bus.call(HostQuestion(), QDBus::Block, 5000));
}

TrayHostWatch::TrayHostWatch(std::function<void(TrayProtocol, TrayProtocol)> changed)
    : changed_(std::move(changed)) {
  if (PlatformShowsNothing()) return;
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (bus.isConnected()) {
    auto* watcher = new QDBusServiceWatcher(kWatcherService, bus,
                                            QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString& oldOwner, const QString& newOwner) {
              WatcherChanged(oldOwner, newOwner);
            });
    // A watcher may be there before the host that shows its items.
    bus.connect(kWatcherService, kWatcherPath, kWatcherService,
                QStringLiteral("StatusNotifierHostRegistered"), this, SLOT(HostRegistered()));
    watcherOwned_ = bus.interface()->isServiceRegistered(kWatcherService);
    statusNotifierHost_ = watcherOwned_ && StatusNotifierHostRegistered();
  }
  if (QGuiApplication::platformName() == QLatin1String("xcb")) {
    selection_ =
        std::make_unique<SelectionWatch>([this](std::uint32_t owner) { OwnerChanged(owner); });
    if (selection_->Started())
      owner_ = selection_->Owner();
    else
      selection_.reset();
  }
  reported_ = statusNotifierHost_ ? TrayProtocol::StatusNotifier
              : owner_ != 0       ? TrayProtocol::XEmbed
                                  : TrayProtocol::None;
  started_ = true;
}

TrayHostWatch::~TrayHostWatch() = default;

void TrayHostWatch::WatcherChanged(const QString& oldOwner, const QString& newOwner) {
  if (!oldOwner.isEmpty()) {
    watcherOwned_ = false;
    statusNotifierHost_ = false;
    Update();
  }
  if (!newOwner.isEmpty()) {
    watcherOwned_ = true;
    AskWatcher();
  }
}

// Asked without waiting: the new watcher may be calling this process at the same moment.
void TrayHostWatch::AskWatcher() {
  auto* pending =
      new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(HostQuestion()), this);
  connect(pending, &QDBusPendingCallWatcher::finished, this, [this, pending] {
    pending->deleteLater();
    if (!watcherOwned_ || statusNotifierHost_) return;
    statusNotifierHost_ = HostAnswer(pending->reply());
    Update();
  });
}

void TrayHostWatch::HostRegistered() {
  if (!watcherOwned_ || statusNotifierHost_) return;
  statusNotifierHost_ = true;
  Update();
}

void TrayHostWatch::OwnerChanged(std::uint32_t owner) {
  if (owner == owner_) return;
  // A new owner replacing the old one directly is a loss and an arrival all the same.
  if (owner_ != 0 && owner != 0) {
    owner_ = 0;
    Update();
  }
  owner_ = owner;
  Update();
}

void TrayHostWatch::Update() {
  if (!started_) return;
  const TrayProtocol now = statusNotifierHost_ ? TrayProtocol::StatusNotifier
                           : owner_ != 0       ? TrayProtocol::XEmbed
                                               : TrayProtocol::None;
  if (now == reported_) return;
  const TrayProtocol before = reported_;
  reported_ = now;
  changed_(before, now);
}

}  // namespace win::detail
