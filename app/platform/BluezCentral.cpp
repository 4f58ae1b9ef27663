#include "app/platform/BluezCentral.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QHash>
#include <QObject>
#include <QStringList>
#include <QThread>
#include <atomic>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <utility>

namespace glintward {
namespace detail {

namespace {

const QString OBJECT_MANAGER_IFACE = QStringLiteral("org.freedesktop.DBus.ObjectManager");
const QString PROPERTIES_IFACE = QStringLiteral("org.freedesktop.DBus.Properties");
const QString ADAPTER_IFACE = QStringLiteral("org.bluez.Adapter1");
const QString DEVICE_IFACE = QStringLiteral("org.bluez.Device1");
// The tail of the Bluetooth base UUID as BlueZ writes it once upper-cased.
const QString BASE_UUID_TAIL = QStringLiteral("-0000-1000-8000-00805F9B34FB");

std::atomic<unsigned> connectionCount{0};

bool isError(const QDBusMessage& reply) {
    return reply.type() == QDBusMessage::ErrorMessage;
}

std::string describe(const QDBusMessage& reply) {
    return (reply.errorName() + QStringLiteral(": ") + reply.errorMessage()).toStdString();
}

// Whatever integer type the value came as, if it fits 32 bits; BlueZ sends int16 for RSSI and TxPower.
std::optional<std::int32_t> int32Value(const QVariant& value) {
    qlonglong n = 0;
    switch (value.metaType().id()) {
        case QMetaType::UChar:
        case QMetaType::Short:
        case QMetaType::UShort:
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
            n = value.toLongLong();
            break;
        default:
            return std::nullopt;
    }
    if (n < std::numeric_limits<std::int32_t>::min() || n > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(n);
}

// A container the demarshaller left as a QDBusArgument, if it has the expected signature. A value of another
// type (the mock of Debian 12 sends aa{qv} for ManufacturerData, for one) must be skipped, not read.
std::optional<QDBusArgument> containerValue(const QVariant& value, const char* signature) {
    if (value.metaType() != QMetaType::fromType<QDBusArgument>()) return std::nullopt;
    auto arg = qvariant_cast<QDBusArgument>(value);
    if (arg.currentSignature() != QLatin1String(signature)) return std::nullopt;
    return arg;
}

// Calls f(name, value) for each entry of the a{sv} at the argument's current position.
template <typename F>
bool forEachProperty(const QDBusArgument& arg, F&& f) {
    if (arg.currentSignature() != QLatin1String("a{sv}")) return false;
    arg.beginMap();
    while (!arg.atEnd()) {
        QString name;
        QDBusVariant value;
        arg.beginMapEntry();
        arg >> name >> value;
        arg.endMapEntry();
        f(name, value.variant());
    }
    arg.endMap();
    return true;
}

// CoreBluetooth gives a UUID in its shortest text form: 4 digits for a 16-bit one, 8 for a 32-bit one
// (both on the Bluetooth base UUID), else all 36 characters; BlueZ always writes the 36, in lower case.
std::string uuidString(const QString& uuid) {
    const QString upper = uuid.toUpper();
    if (upper.size() == 36 && upper.mid(8) == BASE_UUID_TAIL) {
        return (upper.startsWith(QLatin1String("0000")) ? upper.mid(4, 4) : upper.left(8)).toStdString();
    }
    return upper.toStdString();
}

}  // namespace

class BluezWorker : public QObject {
    Q_OBJECT

public:
    BluezWorker(central::CallbackGate& gate, QString busAddress, QString service, CentralLogger log)
        : gate_(gate),
          busAddress_(std::move(busAddress)),
          service_(std::move(service)),
          log_(std::move(log)) {}

    ~BluezWorker() override {
        if (connection_) QDBusConnection::disconnectFromBus(connection_->name());
    }

    void start();
    void startScan(bool allowDuplicates);
    void stopScan();

private slots:
    void onInterfacesAdded(const QDBusMessage& message);
    void onInterfacesRemoved(const QDBusMessage& message);
    void onPropertiesChanged(const QDBusMessage& message);

private:
    enum class Bluez { QUERYING, ABSENT, DENIED, PRESENT };
    struct Adapter {
        bool powered = false;
    };
    struct Device {
        QString adapter;         // the parent object's path
        std::string identifier;  // empty until the address is known
        std::optional<std::string> name;
        std::optional<std::vector<std::uint8_t>> manufacturerData;
        std::optional<std::vector<std::string>> uuids;
        std::optional<std::int32_t> txPower;
        std::optional<std::int32_t> rssi;
    };

    void onOwnerChanged(const QString& newOwner);
    void queryObjects();
    void readInterfaces(const QDBusArgument& arg, const QString& path, bool announced);
    bool applyDeviceProperty(Device& device, const QString& name, const QVariant& value);
    void deliver(const Device& device);
    CentralState currentState() const;
    void refreshState();
    void beginDiscovery();
    template <typename F>
    void call(const QString& path, const QString& method, const QVariantList& args, F onReply);
    void logFault(const std::string& what, const QDBusMessage& reply) {
        log_("bluez: " + what + " failed: " + describe(reply));
    }

    central::CallbackGate& gate_;
    const QString busAddress_;
    const QString service_;
    const CentralLogger log_;
    std::optional<QDBusConnection> connection_;

    Bluez bluez_ = Bluez::QUERYING;
    std::uint64_t queryGeneration_ = 0;    // answers to older queries are stale
    std::map<QString, Adapter> adapters_;  // in path order: the first is the one used
    QHash<QString, Device> devices_;
    CentralState reported_ = CentralState::UNKNOWN;

    bool session_ = false;  // a scan is running on sessionAdapter_
    QString sessionAdapter_;
    std::uint64_t sessionGeneration_ = 0;  // a stop or a new start makes pending discovery answers stale
    bool allowDuplicates_ = true;
};

void BluezWorker::start() {
    const QString name = QStringLiteral("glintward-bluez-%1").arg(++connectionCount);
    connection_ = busAddress_.isEmpty() ? QDBusConnection::connectToBus(QDBusConnection::SystemBus, name)
                                        : QDBusConnection::connectToBus(busAddress_, name);
    if (!connection_->isConnected()) {
        const QDBusError error = connection_->lastError();
        log_("bluez: cannot connect to the bus: " +
             (error.name() + QStringLiteral(": ") + error.message()).toStdString());
        bluez_ = error.type() == QDBusError::AccessDenied ? Bluez::DENIED : Bluez::ABSENT;
        refreshState();
        return;
    }
    // Every signal is subscribed before the first query, so nothing that happens in between is missed.
    auto* watcher =
        new QDBusServiceWatcher(service_, *connection_, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& newOwner) { onOwnerChanged(newOwner); });
    const bool subscribed =
        connection_->connect(service_, QStringLiteral("/"), OBJECT_MANAGER_IFACE,
                             QStringLiteral("InterfacesAdded"), this,
                             SLOT(onInterfacesAdded(QDBusMessage))) &&
        connection_->connect(service_, QStringLiteral("/"), OBJECT_MANAGER_IFACE,
                             QStringLiteral("InterfacesRemoved"), this,
                             SLOT(onInterfacesRemoved(QDBusMessage))) &&
        connection_->connect(service_, QString(), PROPERTIES_IFACE, QStringLiteral("PropertiesChanged"), this,
                             SLOT(onPropertiesChanged(QDBusMessage)));
    if (!subscribed) log_("bluez: cannot subscribe to the signals of " + service_.toStdString());
    queryObjects();
}

void BluezWorker::onOwnerChanged(const QString& newOwner) {
    // A new owner is a new bluetoothd: its objects, and our scan and filter, are not those of the old one.
    ++queryGeneration_;
    adapters_.clear();
    devices_.clear();
    if (newOwner.isEmpty()) {
        bluez_ = Bluez::ABSENT;
        refreshState();
    } else {
        bluez_ = Bluez::QUERYING;
        queryObjects();
    }
}

void BluezWorker::queryObjects() {
    const std::uint64_t generation = ++queryGeneration_;
    call(QStringLiteral("/"), QStringLiteral("GetManagedObjects"), {},
         [this, generation](const QDBusMessage& reply) {
             if (generation != queryGeneration_) return;
             if (isError(reply)) {
                 const QString error = reply.errorName();
                 if (error == QLatin1String("org.freedesktop.DBus.Error.AccessDenied") ||
                     error == QLatin1String("org.freedesktop.DBus.Error.AuthFailed")) {
                     bluez_ = Bluez::DENIED;
                 } else {
                     if (error != QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") &&
                         error != QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner")) {
                         logFault("GetManagedObjects", reply);
                     }
                     bluez_ = Bluez::ABSENT;
                 }
                 refreshState();
                 return;
             }
             // The answer is newer than every signal before it, so it replaces what those built.
             adapters_.clear();
             devices_.clear();
             const QVariantList args = reply.arguments();
             const auto objects =
                 args.isEmpty() ? std::nullopt : containerValue(args.first(), "a{oa{sa{sv}}}");
             if (objects) {
                 objects->beginMap();
                 while (!objects->atEnd()) {
                     QDBusObjectPath path;
                     objects->beginMapEntry();
                     *objects >> path;
                     readInterfaces(*objects, path.path(), false);
                     objects->endMapEntry();
                 }
                 objects->endMap();
             } else {
                 log_("bluez: GetManagedObjects answered with signature " + reply.signature().toStdString());
             }
             bluez_ = Bluez::PRESENT;
             refreshState();
         });
}

// Reads the a{sa{sv}} of one object; a device just announced that already carries RSSI is an advertisement.
void BluezWorker::readInterfaces(const QDBusArgument& arg, const QString& path, bool announced) {
    if (arg.currentSignature() != QLatin1String("a{sa{sv}}")) return;
    bool adaptersChanged = false;
    arg.beginMap();
    while (!arg.atEnd()) {
        QString iface;
        arg.beginMapEntry();
        arg >> iface;
        if (iface == DEVICE_IFACE) {
            Device device;
            device.adapter = path.left(path.lastIndexOf(QLatin1Char('/')));
            forEachProperty(arg, [&](const QString& name, const QVariant& value) {
                applyDeviceProperty(device, name, value);
            });
            // A rotating random address comes back as a new object; an object added again starts afresh.
            const Device& stored = *devices_.insert(path, std::move(device));
            if (announced) deliver(stored);
        } else if (iface == ADAPTER_IFACE) {
            Adapter adapter;
            forEachProperty(arg, [&](const QString& name, const QVariant& value) {
                if (name == QLatin1String("Powered") && value.metaType().id() == QMetaType::Bool) {
                    adapter.powered = value.toBool();
                }
            });
            adapters_[path] = adapter;
            adaptersChanged = true;
        } else {
            arg.beginMap();  // skipped whole: leaving a container steps over what was not read
            arg.endMap();
        }
        arg.endMapEntry();
    }
    arg.endMap();
    if (adaptersChanged && announced) refreshState();
}

void BluezWorker::onInterfacesAdded(const QDBusMessage& message) {
    const QVariantList args = message.arguments();
    if (args.size() < 2 || args[0].metaType() != QMetaType::fromType<QDBusObjectPath>()) return;
    const auto interfaces = containerValue(args[1], "a{sa{sv}}");
    if (interfaces) readInterfaces(*interfaces, args[0].value<QDBusObjectPath>().path(), true);
}

void BluezWorker::onInterfacesRemoved(const QDBusMessage& message) {
    const QVariantList args = message.arguments();
    if (args.size() < 2 || args[0].metaType() != QMetaType::fromType<QDBusObjectPath>()) return;
    const QString path = args[0].value<QDBusObjectPath>().path();
    const QStringList interfaces = args[1].toStringList();
    if (interfaces.contains(DEVICE_IFACE)) devices_.remove(path);
    if (interfaces.contains(ADAPTER_IFACE) && adapters_.erase(path) > 0) {
        // bluetoothd may drop an adapter without removing its devices first.
        const QString prefix = path + QLatin1Char('/');
        devices_.removeIf([&](const auto& entry) { return entry.key().startsWith(prefix); });
        refreshState();
    }
}

void BluezWorker::onPropertiesChanged(const QDBusMessage& message) {
    const QVariantList args = message.arguments();
    if (args.size() < 2 || args[0].metaType() != QMetaType::fromType<QString>()) return;
    const QString iface = args[0].toString();
    const auto changed = containerValue(args[1], "a{sv}");
    const QStringList invalidated = args.size() > 2 ? args[2].toStringList() : QStringList();
    if (iface == DEVICE_IFACE) {
        const auto it = devices_.find(message.path());
        if (it == devices_.end()) return;
        bool advertised = false;
        if (changed) {
            forEachProperty(*changed, [&](const QString& name, const QVariant& value) {
                advertised = applyDeviceProperty(*it, name, value) || advertised;
            });
        }
        // StopDiscovery invalidates RSSI and TxPower: that only forgets them, it is no advertisement.
        for (const QString& name : invalidated) {
            if (name == QLatin1String("RSSI"))
                it->rssi.reset();
            else if (name == QLatin1String("TxPower"))
                it->txPower.reset();
            else if (name == QLatin1String("Name"))
                it->name.reset();
            else if (name == QLatin1String("ManufacturerData"))
                it->manufacturerData.reset();
            else if (name == QLatin1String("UUIDs"))
                it->uuids.reset();
        }
        if (advertised) deliver(*it);
    } else if (iface == ADAPTER_IFACE) {
        const auto it = adapters_.find(message.path());
        if (it == adapters_.end() || !changed) return;
        forEachProperty(*changed, [&](const QString& name, const QVariant& value) {
            if (name == QLatin1String("Powered") && value.metaType().id() == QMetaType::Bool) {
                it->second.powered = value.toBool();
            }
        });
        refreshState();
    }
}

// Takes one property into the device; true when it is one of those that mark a received advertisement.
bool BluezWorker::applyDeviceProperty(Device& device, const QString& name, const QVariant& value) {
    if (name == QLatin1String("RSSI")) {
        const auto rssi = int32Value(value);
        if (rssi) device.rssi = rssi;
        return rssi.has_value();
    }
    if (name == QLatin1String("TxPower")) {
        const auto txPower = int32Value(value);
        if (txPower) device.txPower = txPower;
        return txPower.has_value();
    }
    if (name == QLatin1String("ManufacturerData")) {
        const auto entries = containerValue(value, "a{qv}");
        if (!entries) return false;
        // Only the first entry, as CoreBluetooth gives one block of manufacturer data.
        device.manufacturerData.reset();
        entries->beginMap();
        if (!entries->atEnd()) {
            quint16 company = 0;
            QDBusVariant data;
            entries->beginMapEntry();
            *entries >> company >> data;
            entries->endMapEntry();
            if (data.variant().metaType() == QMetaType::fromType<QByteArray>()) {
                const QByteArray bytes = data.variant().toByteArray();
                std::vector<std::uint8_t> block{static_cast<std::uint8_t>(company & 0xFF),
                                                static_cast<std::uint8_t>(company >> 8)};
                block.insert(block.end(), bytes.begin(), bytes.end());
                device.manufacturerData = std::move(block);
            }
        }
        entries->endMap();
        return true;
    }
    if (name == QLatin1String("ServiceData")) {
        return containerValue(value, "a{sv}")
            .has_value();  // marks an advertisement; the scanner reads none of it
    }
    if (name == QLatin1String("Name")) {
        if (value.metaType() == QMetaType::fromType<QString>()) device.name = value.toString().toStdString();
    } else if (name == QLatin1String("Address")) {
        if (value.metaType() == QMetaType::fromType<QString>()) {
            device.identifier = central::peripheralIdentifier(value.toString().toStdString());
        }
    } else if (name == QLatin1String("UUIDs")) {
        if (value.metaType() == QMetaType::fromType<QStringList>()) {
            const QStringList uuids = value.toStringList();
            device.uuids.reset();
            if (!uuids.isEmpty()) {
                device.uuids.emplace();
                for (const QString& uuid : uuids) device.uuids->push_back(uuidString(uuid));
            }
        }
    }
    return false;
}

void BluezWorker::deliver(const Device& device) {
    if (!session_ || device.adapter != sessionAdapter_ || !device.rssi || device.identifier.empty()) return;
    gate_.reportDiscovery(
        Peripheral{device.identifier, device.name},
        AdvertisementData{device.name, device.manufacturerData, device.uuids, device.txPower}, *device.rssi);
}

CentralState BluezWorker::currentState() const {
    switch (bluez_) {
        case Bluez::QUERYING:
            return reported_;
        case Bluez::ABSENT:
            return CentralState::UNSUPPORTED;
        case Bluez::DENIED:
            return CentralState::UNAUTHORIZED;
        case Bluez::PRESENT:
            break;
    }
    if (adapters_.empty()) return CentralState::UNSUPPORTED;
    return adapters_.begin()->second.powered ? CentralState::POWERED_ON : CentralState::POWERED_OFF;
}

void BluezWorker::refreshState() {
    const CentralState state = currentState();
    if (session_) {
        if (state != CentralState::POWERED_ON) {
            // bluetoothd has ended the scan (power off, adapter or daemon gone); the owner starts the next
            // one.
            session_ = false;
            ++sessionGeneration_;
        } else if (adapters_.begin()->first != sessionAdapter_) {
            // Another adapter took over with the state still powered on: the owner sees no change, so the
            // scan carries on there.
            sessionAdapter_ = adapters_.begin()->first;
            beginDiscovery();
        }
    }
    if (state != reported_) {
        reported_ = state;
        gate_.reportState(state);
    }
}

void BluezWorker::startScan(bool allowDuplicates) {
    allowDuplicates_ = allowDuplicates;
    // As with CoreBluetooth, a scan asked for while not powered on is ignored: the owner asks again
    // when the state it is told about becomes powered on.
    if (currentState() != CentralState::POWERED_ON) return;
    session_ = true;
    sessionAdapter_ = adapters_.begin()->first;
    beginDiscovery();
}

void BluezWorker::beginDiscovery() {
    const std::uint64_t generation = ++sessionGeneration_;
    const QString adapter = sessionAdapter_;
    // The filter belongs to this client and bluetoothd drops it at power-off and restart: set it every time.
    const QVariantMap filter{{QStringLiteral("Transport"), QStringLiteral("le")},
                             {QStringLiteral("DuplicateData"), allowDuplicates_}};
    call(adapter, QStringLiteral("SetDiscoveryFilter"), {filter},
         [this, generation, adapter](const QDBusMessage& reply) {
             if (generation != sessionGeneration_) return;
             if (isError(reply)) {
                 if (reply.errorName() == QLatin1String("org.bluez.Error.NotReady"))
                     return;                             // powered off meanwhile
                 logFault("SetDiscoveryFilter", reply);  // scanning unfiltered still hears the devices
             }
             call(adapter, QStringLiteral("StartDiscovery"), {}, [this](const QDBusMessage& reply) {
                 const QString error = reply.errorName();
                 if (isError(reply) && error != QLatin1String("org.bluez.Error.NotReady") &&
                     error != QLatin1String("org.bluez.Error.InProgress")) {
                     logFault("StartDiscovery", reply);
                 }
             });
         });
}

void BluezWorker::stopScan() {
    if (!session_) return;
    session_ = false;
    ++sessionGeneration_;
    call(sessionAdapter_, QStringLiteral("StopDiscovery"), {}, [this](const QDBusMessage& reply) {
        const QString error = reply.errorName();
        if (isError(reply) && error != QLatin1String("org.bluez.Error.Failed") &&
            error != QLatin1String("org.bluez.Error.NotReady")) {
            logFault("StopDiscovery", reply);
        }
    });
}

template <typename F>
void BluezWorker::call(const QString& path, const QString& method, const QVariantList& args, F onReply) {
    const QString iface = path == QLatin1String("/") ? OBJECT_MANAGER_IFACE : ADAPTER_IFACE;
    QDBusMessage message = QDBusMessage::createMethodCall(service_, path, iface, method);
    message.setArguments(args);
    auto* watcher = new QDBusPendingCallWatcher(connection_->asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [onReply = std::move(onReply)](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                onReply(finished->reply());
            });
}

}  // namespace detail

BluezCentral::BluezCentral(CentralDelegate& delegate, SerialQueue& callbackQueue, std::string busAddress,
                           std::string serviceName, CentralLogger logger)
    : gate_(delegate, callbackQueue), thread_(std::make_unique<QThread>()) {
    worker_ =
        new detail::BluezWorker(gate_, QString::fromStdString(busAddress),
                                QString::fromStdString(serviceName), central::orStderr(std::move(logger)));
    worker_->moveToThread(thread_.get());
    QObject::connect(thread_.get(), &QThread::started, worker_, &detail::BluezWorker::start);
    QObject::connect(thread_.get(), &QThread::finished, worker_, &QObject::deleteLater);
    thread_->setObjectName(QStringLiteral("glintward.bluez"));
    thread_->start();
}

BluezCentral::~BluezCentral() {
    gate_.close();
    thread_->quit();
    thread_->wait();
}

void BluezCentral::scanForPeripherals(bool allowDuplicates) {
    gate_.scanStarted(allowDuplicates);
    QMetaObject::invokeMethod(worker_,
                              [worker = worker_, allowDuplicates] { worker->startScan(allowDuplicates); });
}

void BluezCentral::stopScan() {
    gate_.scanStopped();
    QMetaObject::invokeMethod(worker_, [worker = worker_] { worker->stopScan(); });
}

}  // namespace glintward

#include "BluezCentral.moc"
