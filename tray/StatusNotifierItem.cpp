#include "tray/StatusNotifierItem.h"

#include <unistd.h>
#include <QAction>
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QPointer>
#include <QtEndian>

namespace glintward {

namespace sni {

// One icon image: width, height and ARGB32 pixels in network byte order.
struct Pixmap {
    int width = 0;
    int height = 0;
    QByteArray bytes;
};
using Pixmaps = QList<Pixmap>;

struct ToolTip {
    QString iconName;
    Pixmaps pixmaps;
    QString title;
    QString text;
};

// A menu node and its children, as GetLayout sends it: (ia{sv}av), each child a variant of the same.
struct MenuLayout {
    int id = 0;
    QVariantMap properties;
    QList<MenuLayout> children;
};

struct MenuItemProperties {
    int id = 0;
    QVariantMap properties;
};
using MenuItemPropertiesList = QList<MenuItemProperties>;

struct MenuItemKeys {
    int id = 0;
    QStringList keys;
};
using MenuItemKeysList = QList<MenuItemKeys>;

struct MenuEvent {
    int id = 0;
    QString eventId;
    QDBusVariant data;
    uint timestamp = 0;
};
using MenuEvents = QList<MenuEvent>;

}  // namespace sni
}  // namespace glintward

Q_DECLARE_METATYPE(glintward::sni::Pixmap)
Q_DECLARE_METATYPE(glintward::sni::ToolTip)
Q_DECLARE_METATYPE(glintward::sni::MenuLayout)
Q_DECLARE_METATYPE(glintward::sni::MenuItemProperties)
Q_DECLARE_METATYPE(glintward::sni::MenuItemKeys)
Q_DECLARE_METATYPE(glintward::sni::MenuEvent)

namespace glintward {
namespace sni {

QDBusArgument& operator<<(QDBusArgument& arg, const Pixmap& p) {
    arg.beginStructure();
    arg << p.width << p.height << p.bytes;
    arg.endStructure();
    return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, Pixmap& p) {
    arg.beginStructure();
    arg >> p.width >> p.height >> p.bytes;
    arg.endStructure();
    return arg;
}
QDBusArgument& operator<<(QDBusArgument& arg, const ToolTip& t) {
    arg.beginStructure();
    arg << t.iconName << t.pixmaps << t.title << t.text;
    arg.endStructure();
    return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, ToolTip& t) {
    arg.beginStructure();
    arg >> t.iconName >> t.pixmaps >> t.title >> t.text;
    arg.endStructure();
    return arg;
}
QDBusArgument& operator<<(QDBusArgument& arg, const MenuLayout& m) {
    arg.beginStructure();
    arg << m.id << m.properties;
    arg.beginArray(qMetaTypeId<QDBusVariant>());
    for (const MenuLayout& child : m.children) arg << QDBusVariant(QVariant::fromValue(child));
    arg.endArray();
    arg.endStructure();
    return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, MenuLayout& m) {
    arg.beginStructure();
    arg >> m.id >> m.properties;
    arg.beginArray();
    m.children.clear();
    while (!arg.atEnd()) {
        QDBusVariant child;
        arg >> child;
        m.children.append(qdbus_cast<MenuLayout>(child.variant()));
    }
    arg.endArray();
    arg.endStructure();
    return arg;
}
QDBusArgument& operator<<(QDBusArgument& arg, const MenuItemProperties& m) {
    arg.beginStructure();
    arg << m.id << m.properties;
    arg.endStructure();
    return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, MenuItemProperties& m) {
    arg.beginStructure();
    arg >> m.id >> m.properties;
    arg.endStructure();
    return arg;
}
QDBusArgument& operator<<(QDBusArgument& arg, const MenuItemKeys& m) {
    arg.beginStructure();
    arg << m.id << m.keys;
    arg.endStructure();
    return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, MenuItemKeys& m) {
    arg.beginStructure();
    arg >> m.id >> m.keys;
    arg.endStructure();
    return arg;
}
QDBusArgument& operator<<(QDBusArgument& arg, const MenuEvent& e) {
    arg.beginStructure();
    arg << e.id << e.eventId << e.data << e.timestamp;
    arg.endStructure();
    return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, MenuEvent& e) {
    arg.beginStructure();
    arg >> e.id >> e.eventId >> e.data >> e.timestamp;
    arg.endStructure();
    return arg;
}

void registerTypes() {
    static const bool once = [] {
        qDBusRegisterMetaType<Pixmap>();
        qDBusRegisterMetaType<Pixmaps>();
        qDBusRegisterMetaType<ToolTip>();
        qDBusRegisterMetaType<MenuLayout>();
        qDBusRegisterMetaType<MenuItemProperties>();
        qDBusRegisterMetaType<MenuItemPropertiesList>();
        qDBusRegisterMetaType<MenuItemKeys>();
        qDBusRegisterMetaType<MenuItemKeysList>();
        qDBusRegisterMetaType<MenuEvent>();
        qDBusRegisterMetaType<MenuEvents>();
        return true;
    }();
    (void)once;
}

}  // namespace sni

namespace {
const QString WATCHER = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString WATCHER_PATH = QStringLiteral("/StatusNotifierWatcher");
const QString ITEM_PATH = QStringLiteral("/StatusNotifierItem");
const QString MENU_PATH = QStringLiteral("/MenuBar");
// A watcher that does not answer within this is taken as absent until it changes hands.
constexpr int CALL_TIMEOUT_MS = 5000;

sni::Pixmap toPixmap(const QImage& image) {
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    sni::Pixmap pixmap{argb.width(), argb.height(), QByteArray(argb.width() * argb.height() * 4, '\0')};
    auto* out = reinterpret_cast<uchar*>(pixmap.bytes.data());
    for (int y = 0; y < argb.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(argb.constScanLine(y));
        for (int x = 0; x < argb.width(); ++x, out += 4) qToBigEndian<quint32>(line[x], out);
    }
    return pixmap;
}
}  // namespace

// org.kde.StatusNotifierItem at /StatusNotifierItem: every slot, signal and property here is on the bus.
class SniObject : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconThemePath READ empty)
    Q_PROPERTY(QString IconName READ empty)
    Q_PROPERTY(QList<glintward::sni::Pixmap> IconPixmap READ iconPixmap)
    Q_PROPERTY(QString OverlayIconName READ empty)
    Q_PROPERTY(QList<glintward::sni::Pixmap> OverlayIconPixmap READ noPixmaps)
    Q_PROPERTY(QString AttentionIconName READ empty)
    Q_PROPERTY(QList<glintward::sni::Pixmap> AttentionIconPixmap READ noPixmaps)
    Q_PROPERTY(QString AttentionMovieName READ empty)
    Q_PROPERTY(glintward::sni::ToolTip ToolTip READ toolTip)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)

public:
    SniObject(StatusNotifierItem* owner, QString title) : owner_(owner), title_(std::move(title)) {}

    QString category() const { return QStringLiteral("ApplicationStatus"); }
    QString id() const { return QStringLiteral("glintward"); }
    QString title() const { return title_; }
    QString status() const { return QStringLiteral("Active"); }
    int windowId() const { return 0; }
    QString empty() const { return {}; }
    sni::Pixmaps iconPixmap() const { return pixmaps_; }
    sni::Pixmaps noPixmaps() const { return {}; }
    sni::ToolTip toolTip() const { return {{}, {}, toolTip_, {}}; }
    bool itemIsMenu() const { return false; }
    QDBusObjectPath menu() const { return QDBusObjectPath(MENU_PATH); }

    sni::Pixmaps pixmaps_;
    QString toolTip_;

public slots:
    // Hosts that know no position send 0, 0.
    void Activate(int x, int y) {
        emit owner_->activated(x == 0 && y == 0 ? std::nullopt : std::optional<QPoint>(QPoint(x, y)));
    }
    // A middle click: the same as a click, as nothing else fits it.
    void SecondaryActivate(int x, int y) { Activate(x, y); }
    // Only hosts that cannot show the exported menu ask for this.
    void ContextMenu(int x, int y) { emit owner_->contextMenuRequested(QPoint(x, y)); }
    void Scroll(int, const QString&) {}

signals:
    void NewTitle();
    void NewIcon();
    void NewAttentionIcon();
    void NewOverlayIcon();
    void NewToolTip();
    void NewStatus(const QString& status);

private:
    StatusNotifierItem* owner_;
    QString title_;
};

// com.canonical.dbusmenu at /MenuBar: the root (id 0) holding one entry per action, ids from 1 in order.
class SniMenuObject : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QStringList IconThemePath READ iconThemePath)

public:
    explicit SniMenuObject(QList<QAction*> actions) : actions_(std::move(actions)) {
        for (QAction* action : actions_) {
            connect(action, &QAction::changed, this, [this] {
                ++revision_;
                emit LayoutUpdated(revision_, 0);
            });
        }
    }

    uint version() const { return 3; }
    QString textDirection() const { return QStringLiteral("ltr"); }
    QString status() const { return QStringLiteral("normal"); }
    QStringList iconThemePath() const { return {}; }

public slots:
    uint GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                   glintward::sni::MenuLayout& layout) {
        if (parentId != 0 && !action(parentId)) {
            unknownItem();
            return revision_;
        }
        layout = {parentId, properties(parentId, propertyNames), {}};
        if (parentId == 0 && recursionDepth != 0) {
            for (int id = 1; id <= actions_.size(); ++id) {
                layout.children.append({id, properties(id, propertyNames), {}});
            }
        }
        return revision_;
    }

    QList<glintward::sni::MenuItemProperties> GetGroupProperties(const QList<int>& ids,
                                                                 const QStringList& propertyNames) {
        sni::MenuItemPropertiesList out;
        // Every id the menu has, for an empty list; an id asked for twice is answered once.
        const QList<int> wanted = ids.isEmpty() ? allIds() : ids;
        for (int id = 0; id <= actions_.size(); ++id) {
            if (wanted.contains(id)) out.append({id, properties(id, propertyNames)});
        }
        return out;
    }

    QDBusVariant GetProperty(int id, const QString& name) {
        if (id != 0 && !action(id)) {
            unknownItem();
            return QDBusVariant(QVariant(0));
        }
        const QVariant value = properties(id, {name}).value(name);
        return QDBusVariant(value.isValid() ? value : QVariant(QString()));
    }

    void Event(int id, const QString& eventId, const QDBusVariant&, uint) {
        if (id != 0 && !action(id)) {
            unknownItem();
            return;
        }
        trigger(id, eventId);
    }

    QList<int> EventGroup(const QList<glintward::sni::MenuEvent>& events) {
        QList<int> unknown;
        // A click acts at most once per entry and group, however often a caller lists it.
        QList<int> clicked;
        for (const sni::MenuEvent& event : events) {
            if (event.id != 0 && !action(event.id)) {
                unknown.append(event.id);
            } else if (event.eventId == QLatin1String("clicked") && !clicked.contains(event.id)) {
                clicked.append(event.id);
                trigger(event.id, event.eventId);
            }
        }
        return unknown;
    }

    bool AboutToShow(int) { return false; }

    QList<int> AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors) {
        for (int id : ids) {
            if (id != 0 && !action(id)) idErrors.append(id);
        }
        return {};
    }

signals:
    void ItemsPropertiesUpdated(const QList<glintward::sni::MenuItemProperties>& updated,
                                const QList<glintward::sni::MenuItemKeys>& removed);
    void LayoutUpdated(uint revision, int parent);
    void ItemActivationRequested(int id, uint timestamp);

private:
    QAction* action(int id) const { return id >= 1 && id <= actions_.size() ? actions_[id - 1] : nullptr; }
    QList<int> allIds() const {
        QList<int> ids;
        for (int id = 0; id <= actions_.size(); ++id) ids.append(id);
        return ids;
    }

    QVariantMap properties(int id, const QStringList& names) const {
        QVariantMap all;
        if (id == 0) {
            all.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
        } else if (QAction* a = action(id); a->isSeparator()) {
            all.insert(QStringLiteral("type"), QStringLiteral("separator"));
        } else {
            // dbusmenu marks mnemonics with "_": a literal one is doubled.
            QString label = a->text();
            label.replace(QLatin1Char('_'), QStringLiteral("__"));
            all.insert(QStringLiteral("label"), label);
            // Defaults (enabled, visible) are left out, as the protocol asks.
            if (!a->isEnabled()) all.insert(QStringLiteral("enabled"), false);
        }
        if (id != 0 && !action(id)->isVisible()) all.insert(QStringLiteral("visible"), false);
        if (names.isEmpty()) return all;
        QVariantMap some;
        for (const QString& name : names) {
            if (all.contains(name)) some.insert(name, all.value(name));
        }
        return some;
    }

    void trigger(int id, const QString& eventId) {
        if (eventId != QLatin1String("clicked")) return;
        // After the reply has gone: an action may end the process.
        if (QAction* a = action(id); a && a->isEnabled() && !a->isSeparator()) {
            QMetaObject::invokeMethod(a, &QAction::trigger, Qt::QueuedConnection);
        }
    }

    void unknownItem() { sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("no such menu item")); }

    QList<QAction*> actions_;
    uint revision_ = 1;
};

StatusNotifierItem::StatusNotifierItem(QDBusConnection bus, const QString& title, QList<QAction*> actions,
                                       QObject* parent)
    : QObject(parent),
      bus_(std::move(bus)),
      serviceName_(QStringLiteral("org.kde.StatusNotifierItem-%1-1").arg(getpid())) {
    sni::registerTypes();
    item_ = new SniObject(this, title);
    menu_ = new SniMenuObject(std::move(actions));
    item_->setParent(this);
    menu_->setParent(this);
    if (!bus_.isConnected()) return;
    constexpr auto exported = QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                              QDBusConnection::ExportAllProperties;
    if (!bus_.registerObject(ITEM_PATH, item_, exported) ||
        !bus_.registerObject(MENU_PATH, menu_, exported) || !bus_.registerService(serviceName_)) {
        qWarning("glintward: cannot put the tray item on the session bus: %s",
                 qPrintable(bus_.lastError().message()));
        return;
    }
    auto* watcher = new QDBusServiceWatcher(WATCHER, bus_, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& newOwner) {
                watcherPresent_ = !newOwner.isEmpty();
                if (newOwner.isEmpty()) {
                    ++attempt_;
                    setState(false, false);
                } else {
                    registerWithWatcher();
                }
            });
    bus_.connect(WATCHER, WATCHER_PATH, WATCHER, QStringLiteral("StatusNotifierHostRegistered"), this,
                 SLOT(onHostRegistered()));
    bus_.connect(WATCHER, WATCHER_PATH, WATCHER, QStringLiteral("StatusNotifierHostUnregistered"), this,
                 SLOT(onHostUnregistered()));
    // Asked once, after the watching began, so that no change of hands falls in between.
    watcherPresent_ = bus_.interface() && bus_.interface()->isServiceRegistered(WATCHER).value();
    if (watcherPresent_) registerWithWatcher();
}

StatusNotifierItem::~StatusNotifierItem() {
    if (!bus_.isConnected()) return;
    bus_.unregisterService(serviceName_);
    bus_.unregisterObject(MENU_PATH);
    bus_.unregisterObject(ITEM_PATH);
}

void StatusNotifierItem::setIcon(const QList<QImage>& images) {
    item_->pixmaps_.clear();
    for (const QImage& image : images) item_->pixmaps_.append(toPixmap(image));
    emit item_->NewIcon();
}

void StatusNotifierItem::setToolTip(const QString& title) {
    if (item_->toolTip_ == title) return;
    item_->toolTip_ = title;
    emit item_->NewToolTip();
}

// Asynchronous: a watcher calls back into the item it is asked to take before it answers.
void StatusNotifierItem::registerWithWatcher() {
    const quint64 attempt = ++attempt_;
    QDBusMessage call = QDBusMessage::createMethodCall(WATCHER, WATCHER_PATH, WATCHER,
                                                       QStringLiteral("RegisterStatusNotifierItem"));
    call << serviceName_;
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call, CALL_TIMEOUT_MS), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this, attempt](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        if (attempt != attempt_) return;
        if (w->isError()) {
            qWarning("glintward: the tray refused the item: %s", qPrintable(w->error().message()));
            setState(false, false);
            return;
        }
        registered_ = true;
        queryHost();
    });
}

void StatusNotifierItem::queryHost() {
    const quint64 attempt = attempt_;
    QDBusMessage get = QDBusMessage::createMethodCall(
        WATCHER, WATCHER_PATH, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << WATCHER << QStringLiteral("IsStatusNotifierHostRegistered");
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(get, CALL_TIMEOUT_MS), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this, attempt](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        if (attempt != attempt_) return;
        const QDBusPendingReply<QDBusVariant> reply = *w;
        // A watcher without the property is taken at its word that it shows the item.
        setState(registered_, reply.isError() || reply.value().variant().toBool());
    });
}

void StatusNotifierItem::onHostRegistered() {
    if (registered_) setState(true, true);
}

void StatusNotifierItem::onHostUnregistered() {
    // Another host may remain: ask rather than assume.
    if (registered_) queryHost();
}

void StatusNotifierItem::setState(bool registered, bool hostThere) {
    const bool before = shown();
    registered_ = registered;
    hostThere_ = hostThere;
    if (shown() != before) emit shownChanged(shown());
}

}  // namespace glintward

#include "StatusNotifierItem.moc"
