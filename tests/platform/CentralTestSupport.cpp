#include "tests/platform/CentralTestSupport.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QFile>
#include <QMap>

#include <csignal>
#include <cstring>
#include <thread>

extern char** environ;

using ManufacturerMap = QMap<quint16, QDBusVariant>;
Q_DECLARE_METATYPE(ManufacturerMap)

namespace glintward {

void PrintTo(CentralState state, std::ostream* os) {
    *os << centralStateText(state);
}

void PrintTo(const Peripheral& peripheral, std::ostream* os) {
    *os << "Peripheral(" << peripheral.identifier << ", " << peripheral.name.value_or("<none>") << ")";
}

void PrintTo(const AdvertisementData& data, std::ostream* os) {
    *os << "AdvertisementData(localName=" << data.localName.value_or("<none>") << ", manufacturerData=";
    if (data.manufacturerData) {
        for (auto byte : *data.manufacturerData) *os << std::hex << int{byte} << std::dec << ' ';
    } else {
        *os << "<none>";
    }
    *os << ", serviceUuids=";
    if (data.serviceUuids) {
        for (const auto& uuid : *data.serviceUuids) *os << uuid << ' ';
    } else {
        *os << "<none>";
    }
    *os << ", txPowerLevel=";
    if (data.txPowerLevel)
        *os << *data.txPowerLevel;
    else
        *os << "<none>";
    *os << ")";
}

namespace testing_support {

namespace {

std::atomic<int> controlCount{0};

const QString MOCK_IFACE = QStringLiteral("org.freedesktop.DBus.Mock");
const QString BLUEZ_MOCK_IFACE = QStringLiteral("org.bluez.Mock");

}  // namespace

bool pollUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + DEADLINE;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void RecordingDelegate::enter() {
    if (!queue_.isCurrent() || inside_++ != 0 || gone_) ++faults_;
}

void RecordingDelegate::expectNoFaultsAfterEnd() {
    centralGone();
    queue_.sync([] {});
    EXPECT_EQ(faults(), 0) << "a callback off the queue, overlapping another, or after destruction";
}

void RecordingDelegate::centralDidUpdateState(CentralState state) {
    enter();
    {
        std::lock_guard lock(mutex_);
        states_.push_back(state);
    }
    changed_.notify_all();
    leave();
}

void RecordingDelegate::centralDidDiscover(const Peripheral& peripheral, const AdvertisementData& data,
                                           std::int32_t rssi) {
    enter();
    Discovery discovery{peripheral, data, rssi};
    std::function<void(const Discovery&)> hook;
    {
        std::lock_guard lock(mutex_);
        discoveries_.push_back(discovery);
        hook = hook_;
    }
    changed_.notify_all();
    if (hook) hook(discovery);
    leave();
}

bool RecordingDelegate::waitFor(
    const std::function<bool(const std::vector<CentralState>&, const std::vector<Discovery>&)>& done) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, DEADLINE, [&] { return done(states_, discoveries_); });
}

bool RecordingDelegate::waitForState(CentralState state) {
    return waitFor(
        [&](const auto& states, const auto&) { return !states.empty() && states.back() == state; });
}

bool RecordingDelegate::waitForDiscoveries(std::size_t count) {
    return waitFor([&](const auto&, const auto& discoveries) { return discoveries.size() >= count; });
}

std::vector<CentralState> RecordingDelegate::states() {
    std::lock_guard lock(mutex_);
    return states_;
}

std::vector<Discovery> RecordingDelegate::discoveries() {
    std::lock_guard lock(mutex_);
    return discoveries_;
}

void RecordingDelegate::onDiscover(std::function<void(const Discovery&)> hook) {
    std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
}

CentralLogger LogLines::logger() {
    return [mutex = mutex_, changed = changed_, lines = lines_](std::string line) {
        {
            std::lock_guard lock(*mutex);
            lines->push_back(std::move(line));
        }
        changed->notify_all();
    };
}

std::vector<std::string> LogLines::lines() {
    std::lock_guard lock(*mutex_);
    return *lines_;
}

bool LogLines::waitForLines(std::size_t count) {
    std::unique_lock lock(*mutex_);
    return changed_->wait_for(lock, DEADLINE, [&] { return lines_->size() >= count; });
}

bool ChildProcess::start(const std::vector<std::string>& command, const std::vector<std::string>& environment,
                         bool readOutput) {
    stop();
    // setpriv makes the program end with the thread that started it, so a test that dies leaves nothing behind.
    std::vector<std::string> words{"setpriv", "--pdeathsig", "SIGTERM", "--"};
    words.insert(words.end(), command.begin(), command.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::vector<std::string> variables(environment);
    for (char** entry = environ; *entry; ++entry) variables.emplace_back(*entry);
    std::vector<char*> envp;
    for (std::string& variable : variables) envp.push_back(variable.data());
    envp.push_back(nullptr);

    int pipeFds[2] = {-1, -1};
    if (readOutput && pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (readOutput) {
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = -1;
    const int r = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (readOutput) {
        close(pipeFds[1]);
        output_ = pipeFds[0];
    }
    if (r != 0) return false;
    pid_ = pid;
    return true;
}

std::string ChildProcess::readLine() {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + DEADLINE;
    while (output_ >= 0 && std::chrono::steady_clock::now() < deadline) {
        pollfd fd{output_, POLLIN, 0};
        if (poll(&fd, 1, 100) <= 0) continue;
        char c = 0;
        if (read(output_, &c, 1) != 1) break;
        if (c == '\n') return line;
        line += c;
    }
    return {};
}

bool ChildProcess::running() {
    if (pid_ <= 0) return false;
    if (waitpid(pid_, nullptr, WNOHANG) == 0) return true;
    pid_ = -1;  // reaped: its number may go to another process
    return false;
}

void ChildProcess::stop() {
    if (output_ >= 0) {
        close(output_);
        output_ = -1;
    }
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (waitpid(pid_, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
}

PrivateBus::PrivateBus(const QString& extraPolicy) {
    const QString config = dir_.filePath(QStringLiteral("bus.conf"));
    QFile file(config);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(
        QStringLiteral(R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <listen>unix:dir=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*"/>
    %2
  </policy>
</busconfig>
)")
            .arg(dir_.path(), extraPolicy)
            .toUtf8());
    file.close();
    EXPECT_TRUE(daemon_.start({"dbus-daemon", "--config-file=" + config.toStdString(), "--print-address",
                               "--nofork", "--nosyslog"},
                              {}, true))
        << "dbus-daemon: " << std::strerror(errno);
    address_ = QString::fromStdString(daemon_.readLine()).trimmed();
    EXPECT_FALSE(address_.isEmpty()) << "dbus-daemon printed no address";
}

PrivateBus::~PrivateBus() {
    daemon_.stop();
}

BluezMock::BluezMock(const PrivateBus& bus)
    : address_(bus.address()),
      control_(QDBusConnection::connectToBus(bus.address(),
                                             QStringLiteral("mock-control-%1").arg(++controlCount))) {
    qDBusRegisterMetaType<ManufacturerMap>();
    EXPECT_TRUE(control_.isConnected()) << control_.lastError().message().toStdString();
    start();
}

BluezMock::~BluezMock() {
    stop();
    QDBusConnection::disconnectFromBus(control_.name());
}

void BluezMock::start() {
    // Its output goes nowhere: a pipe that nobody reads would fill and stall it.
    ASSERT_TRUE(process_.start({"/usr/bin/python3", "-m", "dbusmock", "--system", "-t", GLINTWARD_BLUEZ_TEMPLATE},
                               {"DBUS_SYSTEM_BUS_ADDRESS=" + address_.toStdString()}))
        << std::strerror(errno);
    ASSERT_TRUE(pollUntil([&] {
        return control_.interface()->isServiceRegistered(QStringLiteral("org.bluez")).value() ||
               !process_.running();
    }));
    ASSERT_TRUE(process_.running()) << "the mock ended at start";
}

void BluezMock::stop() {
    if (!process_.running()) return;
    process_.stop();
    EXPECT_TRUE(pollUntil(
        [&] { return !control_.interface()->isServiceRegistered(QStringLiteral("org.bluez")).value(); }));
}

QDBusMessage BluezMock::callMock(const QString& path, const QString& iface, const QString& method,
                                 const QVariantList& args) {
    QDBusMessage message = QDBusMessage::createMethodCall(QStringLiteral("org.bluez"), path, iface, method);
    message.setArguments(args);
    const QDBusMessage reply = control_.call(message);
    EXPECT_NE(reply.type(), QDBusMessage::ErrorMessage)
        << method.toStdString() << " on " << path.toStdString() << ": " << reply.errorName().toStdString()
        << ": " << reply.errorMessage().toStdString();
    return reply;
}

void BluezMock::call(const QString& path, const QString& iface, const QString& method,
                     const QVariantList& args) {
    callMock(path, iface, method, args);
}

QString BluezMock::addAdapter(const QString& name) {
    const QDBusMessage reply = callMock(QStringLiteral("/"), BLUEZ_MOCK_IFACE, QStringLiteral("AddAdapter"),
                                        {name, QStringLiteral("test")});
    return reply.arguments().value(0).toString();
}

void BluezMock::removeAdapter(const QString& name) {
    callMock(QStringLiteral("/"), BLUEZ_MOCK_IFACE, QStringLiteral("RemoveAdapter"), {name});
}

void BluezMock::misbehave(const QString& adapterName, const QString& method, const QString& how, int count) {
    callMock(QStringLiteral("/"), BLUEZ_MOCK_IFACE, QStringLiteral("Misbehave"),
             {adapterName, method, how, count});
}

void BluezMock::dropDiscovery(const QString& adapterName) {
    callMock(QStringLiteral("/"), BLUEZ_MOCK_IFACE, QStringLiteral("DropDiscovery"), {adapterName});
}

QStringList BluezMock::discoverySessions(const QString& adapterName) {
    const QDBusMessage reply =
        callMock(QStringLiteral("/"), BLUEZ_MOCK_IFACE, QStringLiteral("DiscoverySessions"), {adapterName});
    return reply.arguments().value(0).toStringList();
}

QStringList BluezMock::startsUnanswered(const QString& adapterName) {
    const QDBusMessage reply =
        callMock(QStringLiteral("/"), BLUEZ_MOCK_IFACE, QStringLiteral("DiscoverySessions"), {adapterName});
    return reply.arguments().value(1).toStringList();
}

bool BluezMock::waitForSessions(const QString& adapterName, int count) {
    return pollUntil([&] { return discoverySessions(adapterName).size() == count; });
}

QString BluezMock::addDevice(const QString& adapter, const QString& address, const QString& name) {
    const QDBusMessage reply = callMock(QStringLiteral("/"), BLUEZ_MOCK_IFACE, QStringLiteral("AddDevice"),
                                        {adapter, address, name});
    return reply.arguments().value(0).toString();
}

void BluezMock::removeDevice(const QString& adapterPath, const QString& devicePath) {
    callMock(adapterPath, QStringLiteral("org.bluez.Adapter1"), QStringLiteral("RemoveDevice"),
             {QVariant::fromValue(QDBusObjectPath(devicePath))});
}

void BluezMock::setPowered(const QString& adapterPath, bool powered) {
    callMock(adapterPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Set"),
             {QStringLiteral("org.bluez.Adapter1"), QStringLiteral("Powered"),
              QVariant::fromValue(QDBusVariant(powered))});
}

void BluezMock::emitPropertiesChanged(const QString& path, const QString& iface, const QVariantMap& changed,
                                      const QStringList& invalidated) {
    // Sent through the root object with the device's path, so that it works for an object already removed
    // too.
    const QVariantList args{iface, changed, invalidated};
    callMock(QStringLiteral("/"), MOCK_IFACE, QStringLiteral("EmitSignalDetailed"),
             {QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"),
              QStringLiteral("sa{sv}as"), QVariant::fromValue(args), QVariantMap{{"path", path}}});
}

void BluezMock::emitInterfacesAdded(const QString& path, const QString& iface,
                                    const QVariantMap& properties) {
    QMap<QString, QVariantMap> interfaces{{iface, properties}};
    QDBusArgument arg;
    arg << interfaces;
    const QVariantList args{QVariant::fromValue(QDBusObjectPath(path)), QVariant::fromValue(arg)};
    callMock(QStringLiteral("/"), MOCK_IFACE, QStringLiteral("EmitSignal"),
             {QStringLiteral("org.freedesktop.DBus.ObjectManager"), QStringLiteral("InterfacesAdded"),
              QStringLiteral("oa{sa{sv}}"), QVariant::fromValue(args)});
}

std::vector<MockCall> BluezMock::calls(const QString& path) {
    const QDBusMessage reply = callMock(path, MOCK_IFACE, QStringLiteral("GetCalls"), {});
    std::vector<MockCall> calls;
    if (reply.arguments().isEmpty()) return calls;
    const auto arg = qvariant_cast<QDBusArgument>(reply.arguments().first());
    arg.beginArray();
    while (!arg.atEnd()) {
        MockCall call;
        quint64 time = 0;
        arg.beginStructure();
        arg >> time >> call.method;
        arg.beginArray();
        while (!arg.atEnd()) {
            QDBusVariant value;
            arg >> value;
            call.args.push_back(value.variant());
        }
        arg.endArray();
        arg.endStructure();
        calls.push_back(std::move(call));
    }
    arg.endArray();
    return calls;
}

QStringList BluezMock::callNames(const QString& path) {
    QStringList names;
    for (const MockCall& call : calls(path)) names.push_back(call.method);
    return names;
}

bool BluezMock::waitForCalls(const QString& path, const QStringList& names) {
    return pollUntil([&] { return callNames(path) == names; });
}

QVariant manufacturerData(quint16 company, const QByteArray& bytes) {
    return QVariant::fromValue(ManufacturerMap{{company, QDBusVariant(bytes)}});
}

QVariant serviceData(const QString& uuid, const QByteArray& bytes) {
    return QVariant(QVariantMap{{uuid, bytes}});
}

}  // namespace testing_support
}  // namespace glintward
