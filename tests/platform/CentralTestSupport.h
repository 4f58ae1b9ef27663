#pragma once
// What the central tests share: a delegate that records, a private D-Bus bus, and the BlueZ look-alike on it.

#include <QDBusConnection>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantMap>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "app/platform/BluetoothCentral.h"
#include "app/platform/SerialQueue.h"

namespace glintward {

void PrintTo(CentralState state, std::ostream* os);
void PrintTo(const Peripheral& peripheral, std::ostream* os);
void PrintTo(const AdvertisementData& data, std::ostream* os);

namespace testing_support {

constexpr auto DEADLINE = std::chrono::seconds(10);

// Looks every few milliseconds whether `done` holds, for at most DEADLINE; true when it did.
bool pollUntil(const std::function<bool()>& done);

struct Discovery {
    Peripheral peripheral;
    AdvertisementData data;
    std::int32_t rssi;
};

// Records every callback, and checks that each runs on the callback queue, never two at once, and never once
// the test has said the central is gone.
class RecordingDelegate : public CentralDelegate {
public:
    explicit RecordingDelegate(SerialQueue& queue) : queue_(queue) {}

    void centralDidUpdateState(CentralState state) override;
    void centralDidDiscover(const Peripheral& peripheral, const AdvertisementData& data,
                            std::int32_t rssi) override;

    // Waits (at most DEADLINE) until the predicate over the record holds; true when it did.
    bool waitFor(
        const std::function<bool(const std::vector<CentralState>&, const std::vector<Discovery>&)>& done);
    bool waitForState(CentralState state);
    bool waitForDiscoveries(std::size_t count);

    std::vector<CentralState> states();
    std::vector<Discovery> discoveries();
    // Runs inside each discovery callback, on the queue.
    void onDiscover(std::function<void(const Discovery&)> hook);
    void centralGone() { gone_ = true; }
    // Faults seen so far: a callback off the queue, two at once, or one after centralGone().
    int faults() const { return faults_; }
    // A test's end: destroys the central, runs what it left on the queue, and fails the test on any fault.
    template <class Central>
    void finish(std::unique_ptr<Central>& central) {
        central.reset();
        expectNoFaultsAfterEnd();
    }

private:
    void enter();
    void leave() { --inside_; }
    void expectNoFaultsAfterEnd();

    SerialQueue& queue_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<CentralState> states_;
    std::vector<Discovery> discoveries_;
    std::function<void(const Discovery&)> hook_;
    std::atomic<int> inside_{0};
    std::atomic<int> faults_{0};
    std::atomic<bool> gone_{false};
};

// Collects the lines a central logs.
class LogLines {
public:
    CentralLogger logger();
    std::vector<std::string> lines();
    bool waitForLines(std::size_t count);

private:
    std::shared_ptr<std::mutex> mutex_ = std::make_shared<std::mutex>();
    std::shared_ptr<std::condition_variable> changed_ = std::make_shared<std::condition_variable>();
    std::shared_ptr<std::vector<std::string>> lines_ = std::make_shared<std::vector<std::string>>();
};

// A program the test starts and ends. It is spawned, not forked (QProcess forks, which ThreadSanitizer cannot
// follow in a process with threads), and it ends when the test's thread does, even if the test dies.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Standard error goes nowhere, standard output too unless `readOutput`; `environment` entries
    // ("NAME=value") are added to the test's own. False when it could not be started.
    bool start(const std::vector<std::string>& command, const std::vector<std::string>& environment = {},
               bool readOutput = false);
    // The first line it writes to standard output, waiting at most DEADLINE; empty when none came.
    std::string readLine();
    bool running();
    // SIGTERM, then SIGKILL after five seconds; waits for the end.
    void stop();

private:
    int pid_ = -1;
    int output_ = -1;
};

// A dbus-daemon of the test's own, allowing everything but what extraPolicy denies.
class PrivateBus {
public:
    explicit PrivateBus(const QString& extraPolicy = {});
    ~PrivateBus();
    const QString& address() const { return address_; }

private:
    QTemporaryDir dir_;
    ChildProcess daemon_;
    QString address_;
};

struct MockCall {
    QString method;
    QVariantList args;
};

// python-dbusmock with the BlueZ template of these tests, on a private bus; driven over the bus as a test
// would drive bluetoothd's radio.
class BluezMock {
public:
    explicit BluezMock(const PrivateBus& bus);
    ~BluezMock();

    // Starts the mock and waits until it owns org.bluez; stop() ends it as a crashing bluetoothd would end.
    void start();
    void stop();

    QString addAdapter(const QString& name);
    void removeAdapter(const QString& name);
    QString addDevice(const QString& adapter, const QString& address, const QString& name);
    void removeDevice(const QString& adapterPath, const QString& devicePath);
    void setPowered(const QString& adapterPath, bool powered);
    void emitPropertiesChanged(const QString& path, const QString& iface, const QVariantMap& changed,
                               const QStringList& invalidated = {});
    void emitInterfacesAdded(const QString& path, const QString& iface, const QVariantMap& properties);
    // Makes the next `count` calls of the adapter's method (-1: all of them) answer as `how` says: "Failed",
    // "NotReady", "InProgress", "silent" (takes effect, never answered), "lost" (no effect, never answered),
    // "delay:MS", or "" (as usual again).
    void misbehave(const QString& adapterName, const QString& method, const QString& how, int count = -1);
    // bluetoothd ends every discovery session on the adapter, which stays powered.
    void dropDiscovery(const QString& adapterName);
    // The unique bus names holding a discovery session on the adapter.
    QStringList discoverySessions(const QString& adapterName);
    // Those whose StartDiscovery on the adapter is still unanswered.
    QStringList startsUnanswered(const QString& adapterName);
    // Waits until as many clients as given hold a session there.
    bool waitForSessions(const QString& adapterName, int count);
    // Calls some other client makes, as the bench and tests need.
    void call(const QString& path, const QString& iface, const QString& method,
              const QVariantList& args = {});
    // The methods called on an object of the mock, in order.
    std::vector<MockCall> calls(const QString& path);
    QStringList callNames(const QString& path);
    // Waits until the object's call names equal these.
    bool waitForCalls(const QString& path, const QStringList& names);

private:
    QDBusMessage callMock(const QString& path, const QString& iface, const QString& method,
                          const QVariantList& args);

    QString address_;
    QDBusConnection control_;
    ChildProcess process_;
};

// ManufacturerData as bluetoothd sends it: a{qv} with byte arrays.
QVariant manufacturerData(quint16 company, const QByteArray& bytes);
// ServiceData as bluetoothd sends it: a{sv} with byte arrays.
QVariant serviceData(const QString& uuid, const QByteArray& bytes);

}  // namespace testing_support
}  // namespace glintward
