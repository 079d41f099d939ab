// A StatusNotifierWatcher for tests: owns org.kde.StatusNotifierWatcher on the session bus named by
// DBUS_SESSION_BUS_ADDRESS, always reports a registered host, and prints "ready" once it owns the
// name and a line for every item that registers or goes ("registered <service><path>",
// "unregistered <service><path>"). Killing it and starting it again stands for a tray host that
// restarts.

#include <iostream>

#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QStringList>

namespace {

const QString kService = QStringLiteral("org.kde.StatusNotifierWatcher");

class WatcherAdaptor : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
  Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ RegisteredStatusNotifierItems)
  Q_PROPERTY(bool IsStatusNotifierHostRegistered READ IsStatusNotifierHostRegistered)
  Q_PROPERTY(int ProtocolVersion READ ProtocolVersion)

 public:
  explicit WatcherAdaptor(QObject* parent) : QDBusAbstractAdaptor(parent) {
    watcher_.setConnection(QDBusConnection::sessionBus());
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
  }

  void RegisterStatusNotifierHost(const QString& service) {
    std::cout << "host " << service.toStdString() << std::endl;
    emit StatusNotifierHostRegistered();
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
