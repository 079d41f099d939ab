#include "platform/windowing/StatusNotifierItem.h"

#include <unistd.h>

#include <optional>
#include <utility>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QGuiApplication>
#include <QImage>
#include <QMetaObject>
#include <QPointer>
#include <QtEndian>

namespace win::detail {
namespace {

const QString kItemInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString kItemPath = QStringLiteral("/StatusNotifierItem");
const QString kMenuInterface = QStringLiteral("com.canonical.dbusmenu");
const QString kMenuPath = QStringLiteral("/MenuBar");
const QString kPropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

// The bus's forms: an image (iiay) in ARGB32 in network order, a tooltip (sa(iiay)ss), a menu
// node (ia{sv}av) whose children are nodes in variants, and a node's properties (ia{sv}).
struct BusImage {
  int width = 0;
  int height = 0;
  QByteArray argb;
};
using BusImages = QList<BusImage>;

struct BusToolTip {
  QString iconName;
  BusImages images;
  QString title;
  QString text;
};

struct BusMenuNode {
  int id = 0;
  QVariantMap properties;
  std::vector<BusMenuNode> children;
};

struct BusMenuProperties {
  int id = 0;
  QVariantMap properties;
};
using BusMenuPropertiesList = QList<BusMenuProperties>;

struct BusRemovedProperties {
  int id = 0;
  QStringList names;
};
using BusRemovedPropertiesList = QList<BusRemovedProperties>;

}  // namespace
}  // namespace win::detail

using win::detail::BusImage;
using win::detail::BusImages;
using win::detail::BusMenuNode;
using win::detail::BusMenuProperties;
using win::detail::BusMenuPropertiesList;
using win::detail::BusRemovedProperties;
using win::detail::BusRemovedPropertiesList;
using win::detail::BusToolTip;

Q_DECLARE_METATYPE(BusImage)
Q_DECLARE_METATYPE(BusToolTip)
Q_DECLARE_METATYPE(BusMenuNode)
Q_DECLARE_METATYPE(BusMenuProperties)
Q_DECLARE_METATYPE(BusRemovedProperties)

namespace win::detail {
namespace {

QDBusArgument& operator<<(QDBusArgument& out, const BusImage& image) {
  out.beginStructure();
  out << image.width << image.height << image.argb;
  out.endStructure();
  return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, BusImage& image) {
  in.beginStructure();
  in >> image.width >> image.height >> image.argb;
  in.endStructure();
  return in;
}

QDBusArgument& operator<<(QDBusArgument& out, const BusToolTip& tip) {
  out.beginStructure();
  out << tip.iconName << tip.images << tip.title << tip.text;
  out.endStructure();
  return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, BusToolTip& tip) {
  in.beginStructure();
  in >> tip.iconName >> tip.images >> tip.title >> tip.text;
  in.endStructure();
  return in;
}

QDBusArgument& operator<<(QDBusArgument& out, const BusMenuNode& node) {
  out.beginStructure();
  out << node.id << node.properties;
  out.beginArray(qMetaTypeId<QDBusVariant>());
  for (const BusMenuNode& child : node.children)
    out << QDBusVariant(QVariant::fromValue(child));
  out.endArray();
  out.endStructure();
  return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, BusMenuNode& node) {
  in.beginStructure();
  in >> node.id >> node.properties;
  in.beginArray();
  node.children.clear();
  while (!in.atEnd()) {
    QDBusVariant child;
    in >> child;
    node.children.push_back(qdbus_cast<BusMenuNode>(child.variant()));
  }
  in.endArray();
  in.endStructure();
  return in;
}

QDBusArgument& operator<<(QDBusArgument& out, const BusMenuProperties& item) {
  out.beginStructure();
  out << item.id << item.properties;
  out.endStructure();
  return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, BusMenuProperties& item) {
  in.beginStructure();
  in >> item.id >> item.properties;
  in.endStructure();
  return in;
}

QDBusArgument& operator<<(QDBusArgument& out, const BusRemovedProperties& item) {
  out.beginStructure();
  out << item.id << item.names;
  out.endStructure();
  return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, BusRemovedProperties& item) {
  in.beginStructure();
  in >> item.id >> item.names;
  in.endStructure();
  return in;
}

void RegisterBusTypes() {
  static const bool registered = [] {
    qDBusRegisterMetaType<BusImage>();
    qDBusRegisterMetaType<BusImages>();
    qDBusRegisterMetaType<BusToolTip>();
    qDBusRegisterMetaType<BusMenuNode>();
    qDBusRegisterMetaType<BusMenuProperties>();
    qDBusRegisterMetaType<BusMenuPropertiesList>();
    qDBusRegisterMetaType<BusRemovedProperties>();
    qDBusRegisterMetaType<BusRemovedPropertiesList>();
    return true;
  }();
  (void)registered;
}

// The sizes panels ask for most; a host scales the nearest.
BusImages ImagesOf(const QIcon& icon) {
  BusImages images;
  if (icon.isNull()) return images;
  for (int size : {16, 22, 24, 32, 48, 64}) {
    QImage image = icon.pixmap(size).toImage().convertToFormat(QImage::Format_ARGB32);
    if (image.isNull()) continue;
    BusImage out{image.width(), image.height(), {}};
    out.argb.resize(static_cast<qsizetype>(image.width()) * image.height() * 4);
    auto* pixels = reinterpret_cast<quint32*>(out.argb.data());
    for (int y = 0; y < image.height(); ++y) {
      const auto* line = reinterpret_cast<const quint32*>(image.constScanLine(y));
      for (int x = 0; x < image.width(); ++x)
        *pixels++ = qToBigEndian(line[x]);
    }
    images.append(out);
  }
  return images;
}

QDBusMessage PropertyReply(const QDBusMessage& call, const QVariantMap& properties) {
  const QString interface = call.arguments().value(0).toString();
  if (call.member() == QLatin1String("GetAll")) return call.createReply(QVariant(properties));
  if (call.member() == QLatin1String("Get")) {
    const QString name = call.arguments().value(1).toString();
    if (properties.contains(name))
      return call.createReply(QVariant::fromValue(QDBusVariant(properties.value(name))));
    return call.createErrorReply(QDBusError::UnknownProperty,
                                 QStringLiteral("no property %1.%2").arg(interface, name));
  }
  return call.createErrorReply(QDBusError::PropertyReadOnly, QStringLiteral("read-only"));
}

}  // namespace

// The item object: its properties and what the host may ask of it.
class StatusNotifierItem::ItemObject : public QDBusVirtualObject {
 public:
  explicit ItemObject(StatusNotifierItem& owner) : owner_(owner) {}

  QString introspect(const QString&) const override {
    return QStringLiteral(
        "<interface name=\"org.kde.StatusNotifierItem\">"
        "<property name=\"Category\" type=\"s\" access=\"read\"/>"
        "<property name=\"Id\" type=\"s\" access=\"read\"/>"
        "<property name=\"Title\" type=\"s\" access=\"read\"/>"
        "<property name=\"Status\" type=\"s\" access=\"read\"/>"
        "<property name=\"WindowId\" type=\"i\" access=\"read\"/>"
        "<property name=\"IconThemePath\" type=\"s\" access=\"read\"/>"
        "<property name=\"IconName\" type=\"s\" access=\"read\"/>"
        "<property name=\"IconPixmap\" type=\"a(iiay)\" access=\"read\"/>"
        "<property name=\"OverlayIconName\" type=\"s\" access=\"read\"/>"
        "<property name=\"OverlayIconPixmap\" type=\"a(iiay)\" access=\"read\"/>"
        "<property name=\"AttentionIconName\" type=\"s\" access=\"read\"/>"
        "<property name=\"AttentionIconPixmap\" type=\"a(iiay)\" access=\"read\"/>"
        "<property name=\"AttentionMovieName\" type=\"s\" access=\"read\"/>"
        "<property name=\"ToolTip\" type=\"(sa(iiay)ss)\" access=\"read\"/>"
        "<property name=\"ItemIsMenu\" type=\"b\" access=\"read\"/>"
        "<property name=\"Menu\" type=\"o\" access=\"read\"/>"
        "<method name=\"ContextMenu\"><arg name=\"x\" type=\"i\" direction=\"in\"/>"
        "<arg name=\"y\" type=\"i\" direction=\"in\"/></method>"
        "<method name=\"Activate\"><arg name=\"x\" type=\"i\" direction=\"in\"/>"
        "<arg name=\"y\" type=\"i\" direction=\"in\"/></method>"
        "<method name=\"SecondaryActivate\"><arg name=\"x\" type=\"i\" direction=\"in\"/>"
        "<arg name=\"y\" type=\"i\" direction=\"in\"/></method>"
        "<method name=\"Scroll\"><arg name=\"delta\" type=\"i\" direction=\"in\"/>"
        "<arg name=\"orientation\" type=\"s\" direction=\"in\"/></method>"
        "<signal name=\"NewTitle\"/><signal name=\"NewIcon\"/><signal name=\"NewAttentionIcon\"/>"
        "<signal name=\"NewOverlayIcon\"/><signal name=\"NewToolTip\"/>"
        "<signal name=\"NewStatus\"><arg name=\"status\" type=\"s\"/></signal>"
        "</interface>");
  }

  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.interface() == kPropertiesInterface) {
      connection.send(PropertyReply(message, Properties()));
      return true;
    }
    const QString& member = message.member();
    std::optional<Request> request;
    if (member == QLatin1String("Activate"))
      request = Request::Activate;
    else if (member == QLatin1String("SecondaryActivate"))
      request = Request::SecondaryActivate;
    else if (member == QLatin1String("ContextMenu"))
      request = Request::ContextMenu;
    else if (member != QLatin1String("Scroll") &&
             member != QLatin1String("ProvideXdgActivationToken"))
      return false;
    connection.send(message.createReply());
    if (request && owner_.requested_) owner_.requested_(*request);
    return true;
  }

 private:
  QVariantMap Properties() const {
    const QString name = QGuiApplication::applicationDisplayName();
    const QVariant noImages = QVariant::fromValue(BusImages());
    return {
        {QStringLiteral("Category"), QStringLiteral("ApplicationStatus")},
        {QStringLiteral("Id"), QCoreApplication::applicationName()},
        {QStringLiteral("Title"), owner_.tip_.isEmpty() ? name : owner_.tip_},
        {QStringLiteral("Status"), QStringLiteral("Active")},
        {QStringLiteral("WindowId"), 0},
        {QStringLiteral("IconThemePath"), QString()},
        {QStringLiteral("IconName"), QString()},
        {QStringLiteral("IconPixmap"), QVariant::fromValue(ImagesOf(owner_.image_))},
        {QStringLiteral("OverlayIconName"), QString()},
        {QStringLiteral("OverlayIconPixmap"), noImages},
        {QStringLiteral("AttentionIconName"), QString()},
        {QStringLiteral("AttentionIconPixmap"), noImages},
        {QStringLiteral("AttentionMovieName"), QString()},
        {QStringLiteral("ToolTip"), QVariant::fromValue(BusToolTip{{}, {}, owner_.tip_, {}})},
        {QStringLiteral("ItemIsMenu"), false},
        {QStringLiteral("Menu"), QVariant::fromValue(QDBusObjectPath(kMenuPath))},
    };
  }

  StatusNotifierItem& owner_;
};

// The menu object: an entry's id is its place in menuEntries_, the root's 0.
class StatusNotifierItem::MenuObject : public QDBusVirtualObject {
 public:
  explicit MenuObject(StatusNotifierItem& owner) : owner_(owner) {}

  QString introspect(const QString&) const override {
    return QStringLiteral(
        "<interface name=\"com.canonical.dbusmenu\">"
        "<property name=\"Version\" type=\"u\" access=\"read\"/>"
        "<property name=\"TextDirection\" type=\"s\" access=\"read\"/>"
        "<property name=\"Status\" type=\"s\" access=\"read\"/>"
        "<property name=\"IconThemePath\" type=\"as\" access=\"read\"/>"
        "<method name=\"GetLayout\"><arg type=\"i\" direction=\"in\"/>"
        "<arg type=\"i\" direction=\"in\"/><arg type=\"as\" direction=\"in\"/>"
        "<arg type=\"u\" direction=\"out\"/><arg type=\"(ia{sv}av)\" direction=\"out\"/>"
        "</method>"
        "<method name=\"GetGroupProperties\"><arg type=\"ai\" direction=\"in\"/>"
        "<arg type=\"as\" direction=\"in\"/><arg type=\"a(ia{sv})\" direction=\"out\"/>"
        "</method>"
        "<method name=\"GetProperty\"><arg type=\"i\" direction=\"in\"/>"
        "<arg type=\"s\" direction=\"in\"/><arg type=\"v\" direction=\"out\"/></method>"
        "<method name=\"Event\"><arg type=\"i\" direction=\"in\"/><arg type=\"s\" "
        "direction=\"in\"/><arg type=\"v\" direction=\"in\"/><arg type=\"u\" "
        "direction=\"in\"/></method>"
        "<method name=\"EventGroup\"><arg type=\"a(isvu)\" direction=\"in\"/>"
        "<arg type=\"ai\" direction=\"out\"/></method>"
        "<method name=\"AboutToShow\"><arg type=\"i\" direction=\"in\"/>"
        "<arg type=\"b\" direction=\"out\"/></method>"
        "<method name=\"AboutToShowGroup\"><arg type=\"ai\" direction=\"in\"/>"
        "<arg type=\"ai\" direction=\"out\"/><arg type=\"ai\" direction=\"out\"/></method>"
        "<signal name=\"ItemsPropertiesUpdated\"><arg type=\"a(ia{sv})\"/>"
        "<arg type=\"a(ias)\"/></signal>"
        "<signal name=\"LayoutUpdated\"><arg type=\"u\"/><arg type=\"i\"/></signal>"
        "<signal name=\"ItemActivationRequested\"><arg type=\"i\"/><arg type=\"u\"/></signal>"
        "</interface>");
  }

  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.interface() == kPropertiesInterface) {
      connection.send(
          PropertyReply(message, {{QStringLiteral("Version"), 3u},
                                  {QStringLiteral("TextDirection"), QStringLiteral("ltr")},
                                  {QStringLiteral("Status"), QStringLiteral("normal")},
                                  {QStringLiteral("IconThemePath"), QStringList()}}));
      return true;
    }
    const QString& member = message.member();
    const QVariantList arguments = message.arguments();
    if (member == QLatin1String("GetLayout")) {
      const int parent = arguments.value(0).toInt();
      const int depth = arguments.value(1).toInt();
      if (!Known(parent)) return Refuse(message, connection);
      connection.send(
          message.createReply({owner_.revision_, QVariant::fromValue(Node(parent, depth))}));
    } else if (member == QLatin1String("GetGroupProperties")) {
      BusMenuPropertiesList found;
      for (int id : qdbus_cast<QList<int>>(arguments.value(0)))
        if (Known(id)) found.append({id, Entry(id).properties});
      connection.send(message.createReply(QVariant::fromValue(found)));
    } else if (member == QLatin1String("GetProperty")) {
      const int id = arguments.value(0).toInt();
      const QVariantMap properties = Known(id) ? Entry(id).properties : QVariantMap();
      const QString name = arguments.value(1).toString();
      if (!properties.contains(name)) return Refuse(message, connection);
      connection.send(
          message.createReply(QVariant::fromValue(QDBusVariant(properties.value(name)))));
    } else if (member == QLatin1String("Event")) {
      Event(arguments.value(0).toInt(), arguments.value(1).toString());
      connection.send(message.createReply());
    } else if (member == QLatin1String("EventGroup")) {
      const QDBusArgument events = arguments.value(0).value<QDBusArgument>();
      QList<int> unknown;
      events.beginArray();
      while (!events.atEnd()) {
        int id = 0;
        QString kind;
        QDBusVariant data;
        uint timestamp = 0;
        events.beginStructure();
        events >> id >> kind >> data >> timestamp;
        events.endStructure();
        if (Known(id))
          Event(id, kind);
        else
          unknown.append(id);
      }
      events.endArray();
      connection.send(message.createReply(QVariant::fromValue(unknown)));
    } else if (member == QLatin1String("AboutToShow")) {
      connection.send(message.createReply(false));
    } else if (member == QLatin1String("AboutToShowGroup")) {
      connection.send(message.createReply(
          {QVariant::fromValue(QList<int>()), QVariant::fromValue(QList<int>())}));
    } else {
      return false;
    }
    return true;
  }

  // An entry's properties as the host reads them.
  static QVariantMap EntryProperties(const MenuEntry& entry) {
    if (entry.separator)
      return {{QStringLiteral("type"), QStringLiteral("separator")},
              {QStringLiteral("visible"), true}};
    QVariantMap properties{{QStringLiteral("label"), entry.label},
                           {QStringLiteral("enabled"), entry.enabled},
                           {QStringLiteral("visible"), true}};
    if (!entry.toggleType.isEmpty()) {
      properties.insert(QStringLiteral("toggle-type"), entry.toggleType);
      properties.insert(QStringLiteral("toggle-state"), entry.toggled ? 1 : 0);
    }
    if (!entry.children.empty())
      properties.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
    return properties;
  }

 private:
  bool Known(int id) const {
    return id >= 0 && static_cast<std::size_t>(id) < owner_.menuEntries_.size();
  }

  const BusEntry& Entry(int id) const { return owner_.menuEntries_[static_cast<std::size_t>(id)]; }

  // depth: how many levels of children come along; below 0, all.
  BusMenuNode Node(int id, int depth) const {
    BusMenuNode node{id, Entry(id).properties, {}};
    if (depth != 0)
      for (int child : Entry(id).children)
        node.children.push_back(Node(child, depth - 1));
    return node;
  }

  void Event(int id, const QString& kind) {
    if (id <= 0 || !Known(id) || kind != QLatin1String("clicked")) return;
    if (!Entry(id).enabled || !Entry(id).children.empty()) return;
    // From the loop: the choice may take this very item away.
    QPointer<StatusNotifierItem> item(&owner_);
    QMetaObject::invokeMethod(
        &owner_,
        [item, id] {
          if (item && item->chosen_) item->chosen_(id - 1);
        },
        Qt::QueuedConnection);
  }

  static bool Refuse(const QDBusMessage& message, const QDBusConnection& connection) {
    connection.send(message.createErrorReply(QDBusError::InvalidArgs, QStringLiteral("no such")));
    return true;
  }

  StatusNotifierItem& owner_;
};

StatusNotifierItem::StatusNotifierItem(std::function<void(Request)> requested,
                                       std::function<void(int)> chosen)
    : requested_(std::move(requested)), chosen_(std::move(chosen)), bus_(QStringLiteral("none")) {
  RegisterBusTypes();
  SetMenu({});
  static int made = 0;
  ++made;
  service_ = QStringLiteral("org.kde.StatusNotifierItem-%1-%2").arg(::getpid()).arg(made);
  connectionName_ = QStringLiteral("tramlet-tray-%1").arg(made);
  bus_ = QDBusConnection::connectToBus(QDBusConnection::SessionBus, connectionName_);
  if (!bus_.isConnected()) return;
  item_ = std::make_unique<ItemObject>(*this);
  menu_ = std::make_unique<MenuObject>(*this);
  exported_ = bus_.registerVirtualObject(kItemPath, item_.get()) &&
              bus_.registerVirtualObject(kMenuPath, menu_.get()) && bus_.registerService(service_);
}

bool StatusNotifierItem::Register() {
  if (!exported_ || registered_) return registered_;
  // Not waited for: the watcher may be calling this very process meanwhile.
  QDBusMessage announce = QDBusMessage::createMethodCall(
      QStringLiteral("org.kde.StatusNotifierWatcher"), QStringLiteral("/StatusNotifierWatcher"),
      QStringLiteral("org.kde.StatusNotifierWatcher"),
      QStringLiteral("RegisterStatusNotifierItem"));
  announce << service_;
  registered_ = bus_.send(announce);
  return registered_;
}

StatusNotifierItem::~StatusNotifierItem() {
  if (bus_.isConnected()) {
    bus_.unregisterObject(kItemPath);
    bus_.unregisterObject(kMenuPath);
    bus_.unregisterService(service_);
  }
  // Leaving the bus is what tells the watcher the item has gone.
  QDBusConnection::disconnectFromBus(connectionName_);
}

void StatusNotifierItem::SetIcon(const QIcon& image) {
  image_ = image;
  Emit(kItemPath, kItemInterface, QStringLiteral("NewIcon"));
}

void StatusNotifierItem::SetToolTip(const QString& tip) {
  if (tip == tip_) return;
  tip_ = tip;
  Emit(kItemPath, kItemInterface, QStringLiteral("NewToolTip"));
  Emit(kItemPath, kItemInterface, QStringLiteral("NewTitle"));
}

void StatusNotifierItem::AddBusEntries(const std::vector<MenuEntry>& entries, std::size_t parent,
                                       std::vector<BusEntry>& into) {
  for (const MenuEntry& entry : entries) {
    const std::size_t id = into.size();
    into[parent].children.push_back(static_cast<int>(id));
    into.push_back({MenuObject::EntryProperties(entry), {}, entry.enabled && !entry.separator});
    AddBusEntries(entry.children, id, into);
  }
}

void StatusNotifierItem::SetMenu(const std::vector<MenuEntry>& entries) {
  std::vector<BusEntry> menu{
      {{{QStringLiteral("children-display"), QStringLiteral("submenu")}}, {}, true}};
  AddBusEntries(entries, 0, menu);
  bool sameShape = menu.size() == menuEntries_.size();
  BusMenuPropertiesList changed;
  for (std::size_t id = 0; sameShape && id < menu.size(); ++id) {
    // A property gone would have to be named as such: the host reads the whole menu instead.
    sameShape = menu[id].children == menuEntries_[id].children &&
                menu[id].properties.keys() == menuEntries_[id].properties.keys();
    if (menu[id].properties != menuEntries_[id].properties)
      changed.append({static_cast<int>(id), menu[id].properties});
  }
  menuEntries_ = std::move(menu);
  if (!sameShape) {
    ++revision_;
    Emit(kMenuPath, kMenuInterface, QStringLiteral("LayoutUpdated"), {revision_, 0});
  } else if (!changed.isEmpty()) {
    Emit(kMenuPath, kMenuInterface, QStringLiteral("ItemsPropertiesUpdated"),
         {QVariant::fromValue(changed), QVariant::fromValue(BusRemovedPropertiesList())});
  }
}

void StatusNotifierItem::Emit(const QString& path, const QString& interface, const QString& name,
                              const QVariantList& arguments) {
  if (!registered_) return;
  QDBusMessage signal = QDBusMessage::createSignal(path, interface, name);
  signal.setArguments(arguments);
  bus_.send(signal);
}

}  // namespace win::detail
