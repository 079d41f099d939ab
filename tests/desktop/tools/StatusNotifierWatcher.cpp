// A StatusNotifierWatcher for tests: owns org.kde.StatusNotifierWatcher on the session bus named by
// DBUS_SESSION_BUS_ADDRESS, always reports a registered host, and prints "ready" once it owns the
// name and a line for every item that registers or goes ("registered <service><path>",
// "unregistered <service><path>"). Killing it and starting it again stands for a tray host that
// restarts.
//
// As a host that draws menus itself, it then reads the item's menu over D-Bus and prints
// "menu <service><path> <entry>|<entry>..." ("menu <item> none" when the item has none), and
// again whenever an item says its menu changed. An entry is its label; a disabled one's in
// brackets, a separator "-", a radio item's after "(x) " or "( ) ", a check item's after "[x] " or
// "[ ] ", and a submenu's followed by its entries in braces: "Presets{( ) A|(x) B}". Started with
// "--choose <label>", it then chooses that entry, at any depth, as a click in the drawn menu
// would, and prints "chose <label>"; "--choose-once <label>" (repeatable) chooses each label once,
// in turn, each at the first reading of the menu that has it.

#include <iostream>

#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QStringList>

namespace {

const QString kService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kMenu = QStringLiteral("com.canonical.dbusmenu");
QString choice;           // the label to choose at every reading, from --choose
QStringList onceChoices;  // the labels still to choose once, from --choose-once

// Calls without waiting: the item may be waiting for this watcher itself meanwhile.
template <class Then>
void CallThen(const QDBusMessage& call, Then then) {
  auto* pending = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call));
  QObject::connect(pending, &QDBusPendingCallWatcher::finished, [pending, then] {
    pending->deleteLater();
    then(pending->reply());
  });
}

// A node of a dbusmenu layout, (ia{sv}av).
struct Node {
  int id = 0;
  QVariantMap properties;
  QVariantList children;
};

Node Read(const QDBusArgument& in) {
  Node node;
  in.beginStructure();
  in >> node.id >> node.properties >> node.children;
  in.endStructure();
  return node;
}

QString Describe(const Node& node, const QString& label, int& chosen);

// The nodes as printed, between bars; the id of the one labelled `label` (or one of their
// children's) goes into `chosen`.
QString Entries(const QVariantList& nodes, const QString& label, int& chosen) {
  QStringList entries;
  for (const QVariant& node : nodes)
    entries << Describe(Read(node.value<QDBusArgument>()), label, chosen);
  return entries.join('|');
}

QString Describe(const Node& node, const QString& label, int& chosen) {
  const QVariantMap& properties = node.properties;
  if (properties.value(QStringLiteral("type")).toString() == QLatin1String("separator"))
    return QStringLiteral("-");
  QString text = properties.value(QStringLiteral("label")).toString();
  if (!label.isEmpty() && text == label) chosen = node.id;
  const QString toggle = properties.value(QStringLiteral("toggle-type")).toString();
  const bool on = properties.value(QStringLiteral("toggle-state")).toInt() == 1;
  if (toggle == QLatin1String("radio")) text.prepend(on ? "(x) " : "( ) ");
  if (toggle == QLatin1String("checkmark")) text.prepend(on ? "[x] " : "[ ] ");
  if (!properties.value(QStringLiteral("enabled"), true).toBool()) text = '[' + text + ']';
  if (!node.children.isEmpty()) text += '{' + Entries(node.children, label, chosen) + '}';
  return text;
}

// Prints the menu's entries and chooses the one to choose now, if it has it.
void ShowLayout(const QString& item, const QString& service, const QString& menu,
                const QDBusArgument& layout) {
  const QString label = onceChoices.isEmpty() ? choice : onceChoices.front();
  int chosen = -1;
  const QString entries = Entries(Read(layout).children, label, chosen);
  std::cout << "menu " << item.toStdString() << " " << entries.toStdString() << std::endl;
  if (chosen < 0) return;
  if (!onceChoices.isEmpty()) onceChoices.removeFirst();
  QDBusMessage event =
      QDBusMessage::createMethodCall(service, menu, kMenu, QStringLiteral("Event"));
  event << chosen << QStringLiteral("clicked") << QVariant::fromValue(QDBusVariant(0)) << 0u;
  CallThen(event, [label](const QDBusMessage&) {
    std::cout << "chose " << label.toStdString() << std::endl;
  });
}

void ReadMenu(const QString& service, const QString& path, const QString& item) {
  QDBusMessage get = QDBusMessage::createMethodCall(
      service, path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
  get << QStringLiteral("org.kde.StatusNotifierItem") << QStringLiteral("Menu");
  CallThen(get, [service, item](const QDBusMessage& reply) {
    const QString menu =
        reply.arguments().value(0).value<QDBusVariant>().variant().value<QDBusObjectPath>().path();
    if (menu.isEmpty() || menu == QLatin1String("/NO_DBUSMENU")) {
      std::cout << "menu " << item.toStdString() << " none" << std::endl;
      return;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(service, menu, kMenu, QStringLiteral("GetLayout"));
    call << 0 << -1 << QStringList();
    CallThen(call, [item, service, menu](const QDBusMessage& layout) {
      if (layout.arguments().size() == 2)
        ShowLayout(item, service, menu, layout.arguments().at(1).value<QDBusArgument>());
    });
  });
}

class WatcherAdaptor : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
  Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ RegisteredStatusNotifierItems)
  Q_PROPERTY(bool IsStatusNotifierHostRegistered READ IsStatusNotifierHostRegistered)
  Q_PROPERTY(int ProtocolVersion READ ProtocolVersion)

 public:
  explicit WatcherAdaptor(QObject* parent) : QDBusAbstractAdaptor(parent) {
    watcher_.setConnection(QDBusConnection::sessionBus());
    // Any item's word that its menu changed: every item's menu is read again.
    for (const char* signal : {"LayoutUpdated", "ItemsPropertiesUpdated"})
      QDBusConnection::sessionBus().connect(QString(), QString(), kMenu,
                                            QString::fromLatin1(signal), this, SLOT(MenuChanged()));
    watcher_.setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
    connect(&watcher_, &QDBusServiceWatcher::serviceUnregistered, this,
            &WatcherAdaptor::ServiceGone);
  }

  QStringList RegisteredStatusNotifierItems() const { return items_; }
  bool IsStatusNotifierHostRegistered() const { return true; }
  int ProtocolVersion() const { return 0; }

 public slots:
  // The argument is a bus name (the item is at /StatusNotifierItem) or an object path on the
  // caller's own connection.
  void RegisterStatusNotifierItem(const QString& serviceOrPath, const QDBusMessage& message) {
    const bool isPath = serviceOrPath.startsWith(QLatin1Char('/'));
    const QString service = isPath ? message.service() : serviceOrPath;
    const QString item = service + (isPath ? serviceOrPath : QStringLiteral("/StatusNotifierItem"));
    if (items_.contains(item)) return;
    items_.append(item);
    watcher_.addWatchedService(service);
    std::cout << "registered " << item.toStdString() << std::endl;
    emit StatusNotifierItemRegistered(item);
    // Once the item has its answer: it may wait for it before it serves calls.
    const QString path = isPath ? serviceOrPath : QStringLiteral("/StatusNotifierItem");
    QMetaObject::invokeMethod(
        this, [service, path, item] { ReadMenu(service, path, item); }, Qt::QueuedConnection);
  }

  void RegisterStatusNotifierHost(const QString& service) {
    std::cout << "host " << service.toStdString() << std::endl;
    emit StatusNotifierHostRegistered();
  }

 private slots:
  void MenuChanged() {
    for (const QString& item : items_) {
      const qsizetype slash = item.indexOf(QLatin1Char('/'));
      ReadMenu(item.left(slash), item.mid(slash), item);
    }
  }

 signals:
  void StatusNotifierItemRegistered(const QString& item);
  void StatusNotifierItemUnregistered(const QString& item);
  void StatusNotifierHostRegistered();
  void StatusNotifierHostUnregistered();

 private:
  void ServiceGone(const QString& service) {
    watcher_.removeWatchedService(service);
    const QString prefix = service + QLatin1Char('/');
    for (qsizetype i = items_.size() - 1; i >= 0; --i) {
      if (!items_[i].startsWith(prefix)) continue;
      const QString item = items_.takeAt(i);
      std::cout << "unregistered " << item.toStdString() << std::endl;
      emit StatusNotifierItemUnregistered(item);
    }
  }

  QStringList items_;
  QDBusServiceWatcher watcher_;
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  const QStringList arguments = QCoreApplication::arguments();
  for (qsizetype i = 1; i + 1 < arguments.size(); i += 2) {
    if (arguments.at(i) == QLatin1String("--choose")) choice = arguments.at(i + 1);
    if (arguments.at(i) == QLatin1String("--choose-once")) onceChoices << arguments.at(i + 1);
  }
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    std::cerr << "no session bus\n";
    return 1;
  }
  QObject watcher;
  new WatcherAdaptor(&watcher);
  // The object first: a client that sees the name must find the object behind it.
  if (!bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher) ||
      !bus.registerService(kService)) {
    std::cerr << "cannot own " << kService.toStdString() << "\n";
    return 1;
  }
  std::cout << "ready" << std::endl;
  return application.exec();
}

#include "StatusNotifierWatcher.moc"
