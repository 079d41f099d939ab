// A StatusNotifierWatcher for tests: owns org.kde.StatusNotifierWatcher on the session bus named by
// DBUS_SESSION_BUS_ADDRESS, always reports a registered host, and prints "ready" once it owns the
// name and a line for every item that registers or goes ("registered <service><path>",
// "unregistered <service><path>"). Killing it and starting it again stands for a tray host that
// restarts.
//
// As a host that draws menus itself, it then reads the item's menu over D-Bus and prints
// "menu <service><path> <label>|<label>..." ("menu <item> none" when the item has none; a
// disabled entry's label in brackets, a separator as "-", a radio or check mark as "(x) " or
// "[ ] " before its label, a submenu's entries in braces after its label), and again whenever an
// item says its menu changed. Started with "--choose <label>", it then chooses that entry, at any
// depth, as a click in the drawn menu would, and prints "chose <label>"; with "--choose-once
// <label>", only at the first reading that has it.

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
QString choice;  // the label to choose, from --choose
bool once = false;

// Calls without waiting: the item may be waiting for this watcher itself meanwhile.
template <class Then>
void CallThen(const QDBusMessage& call, Then then) {
  auto* pending = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call));
  QObject::connect(pending, &QDBusPendingCallWatcher::finished, [pending, then] {
    pending->deleteLater();
    then(pending->reply());
  });
}

// An entry of a dbusmenu layout, (ia{sv}av), as printed; the id of the one labelled `choice`, it
// or one of its entries, goes into `chosen`.
QString Describe(const QDBusArgument& entry, int& chosen) {
  int id = 0;
  QVariantMap properties;
  QVariantList children;
  entry.beginStructure();
  entry >> id >> properties >> children;
  entry.endStructure();
  auto property = [&](const char* name) { return properties.value(QLatin1String(name)); };
  if (property("type").toString() == QLatin1String("separator")) return QStringLiteral("-");
  QString text = property("label").toString();
  if (!choice.isEmpty() && text == choice) chosen = id;
  if (const QString mark = property("toggle-type").toString(); !mark.isEmpty())
    text.prepend(QString(mark == QLatin1String("radio") ? "(%1) " : "[%1] ")
                     .arg(property("toggle-state").toInt() == 1 ? 'x' : ' '));
  if (!properties.value(QStringLiteral("enabled"), true).toBool()) text = '[' + text + ']';
  QStringList entries;
  for (const QVariant& child : children)
    entries << Describe(child.value<QDBusArgument>(), chosen);
  return entries.isEmpty() ? text : text + '{' + entries.join('|') + '}';
}

// Prints the entries of a menu's layout and chooses the one labelled `choice`.
void ShowLayout(const QString& item, const QString& service, const QString& menu,
                const QDBusArgument& layout) {
  int chosen = -1;
  const QString root = Describe(layout, chosen);  // "{entry|...}"
  const QString labels = root.mid(1, root.size() - 2);
  std::cout << "menu " << item.toStdString() << " " << labels.toStdString() << std::endl;
  if (chosen < 0) return;
  const QString chose = choice;
  if (once) choice.clear();
  QDBusMessage event =
      QDBusMessage::createMethodCall(service, menu, kMenu, QStringLiteral("Event"));
  event << chosen << QStringLiteral("clicked") << QVariant::fromValue(QDBusVariant(0)) << 0u;
  CallThen(event, [chose](const QDBusMessage&) {
    std::cout << "chose " << chose.toStdString() << std::endl;
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
  once = arguments.value(1) == QLatin1String("--choose-once");
  if (arguments.size() == 3 && (once || arguments.at(1) == QLatin1String("--choose")))
    choice = arguments.at(2);
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
