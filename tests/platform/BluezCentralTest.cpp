#include "app/platform/BluezCentral.h"

#include <gtest/gtest.h>
#include <QDBusArgument>
#include <QDBusObjectPath>

#include "app/platform/SerialQueue.h"
#include "tests/platform/CentralTestSupport.h"

namespace glintward {
namespace {

using testing_support::BluezMock;
using testing_support::Discovery;
using testing_support::LogLines;
using testing_support::manufacturerData;
using testing_support::PrivateBus;
using testing_support::RecordingDelegate;
using testing_support::serviceData;

const QString ADAPTER = QStringLiteral("org.bluez.Adapter1");
const QString DEVICE = QStringLiteral("org.bluez.Device1");
const QString HCI0 = QStringLiteral("/org/bluez/hci0");
// The identifier of AA:BB:CC:DD:EE:01, the same on every run and in both centrals.
const std::string DEVICE_ID = "B19183B7-525C-54B1-9590-1E86FBAF1A7A";

using Bytes_t = std::vector<std::uint8_t>;

QVariant int16(qint16 value) {
    return QVariant::fromValue(value);
}

class BluezCentralTest : public ::testing::Test {
protected:
    void TearDown() override { delegate.finish(central); }

    void createCentral() {
        central = std::make_unique<BluezCentral>(delegate, queue, bus->address().toStdString(), "org.bluez",
                                                 log.logger(), timing);
    }

    // Retries within tens of milliseconds; a call unanswered for a second counts as lost.
    void quickRetries(std::chrono::milliseconds resettingAfter = std::chrono::seconds(30)) {
        timing.replyTimeout = std::chrono::milliseconds(1000);
        timing.firstRetry = std::chrono::milliseconds(20);
        timing.longestRetry = std::chrono::milliseconds(100);
        timing.resettingAfter = resettingAfter;
    }

    // Lines logged so far that contain the text.
    std::size_t linesWith(const std::string& text) {
        std::size_t count = 0;
        for (const auto& line : log.lines()) count += line.find(text) != std::string::npos;
        return count;
    }

    // Waits until no start of ours is unanswered and the last call was a stop, so that what stands now stays.
    bool settledAfterStop(const QString& adapterName, const QString& path) {
        return testing_support::pollUntil([&] {
            const QStringList names = mock->callNames(path);
            return mock->startsUnanswered(adapterName).isEmpty() && !names.isEmpty() &&
                   names.back() == "StopDiscovery";
        });
    }

    // A central scanning on hci0, with one device not heard yet.
    QString scanningWithOneDevice(const QString& name = QStringLiteral("Ray-Ban Test")) {
        mock->addAdapter(QStringLiteral("hci0"));
        createCentral();
        EXPECT_TRUE(delegate.waitForState(CentralState::POWERED_ON));
        central->scanForPeripherals(true);
        EXPECT_TRUE(mock->waitForCalls(HCI0, {"SetDiscoveryFilter", "StartDiscovery"}));
        return mock->addDevice(QStringLiteral("hci0"), QStringLiteral("AA:BB:CC:DD:EE:01"), name);
    }

    RecordingDelegate delegate{queue};
    SerialQueue queue{"glintward.ble"};
    LogLines log;
    std::unique_ptr<PrivateBus> bus = std::make_unique<PrivateBus>();
    std::unique_ptr<BluezMock> mock = std::make_unique<BluezMock>(*bus);
    std::unique_ptr<BluezCentral> central;
    BluezTiming timing;
};

TEST_F(BluezCentralTest, ReportsEachStateChangeOfBluezAndItsAdapter) {
    mock->stop();
    createCentral();
    ASSERT_TRUE(delegate.waitForState(CentralState::UNSUPPORTED));  // no BlueZ on the bus
    mock->start();
    const QString adapter = mock->addAdapter(QStringLiteral("hci0"));
    ASSERT_TRUE(delegate.waitForState(CentralState::POWERED_ON));
    mock->setPowered(adapter, false);
    ASSERT_TRUE(delegate.waitForState(CentralState::POWERED_OFF));
    mock->setPowered(adapter, true);
    ASSERT_TRUE(delegate.waitForState(CentralState::POWERED_ON));
    mock->removeAdapter(QStringLiteral("hci0"));
    ASSERT_TRUE(delegate.waitForState(CentralState::UNSUPPORTED));  // BlueZ without an adapter
    mock->addAdapter(QStringLiteral("hci0"));
    ASSERT_TRUE(delegate.waitForState(CentralState::POWERED_ON));
    mock->stop();  // bluetoothd goes away and comes back
    ASSERT_TRUE(delegate.waitForState(CentralState::UNSUPPORTED));
    mock->start();
    mock->addAdapter(QStringLiteral("hci0"));
    ASSERT_TRUE(delegate.waitForState(CentralState::POWERED_ON));

    using enum CentralState;
    EXPECT_EQ(delegate.states(), (std::vector{UNSUPPORTED, POWERED_ON, POWERED_OFF, POWERED_ON, UNSUPPORTED,
                                              POWERED_ON, UNSUPPORTED, POWERED_ON}));
    EXPECT_EQ(central->state(), POWERED_ON);
    EXPECT_TRUE(log.lines().empty());
}

TEST(BluezCentralAccess, UnauthorizedWhenTheBusDeniesAccess) {
    PrivateBus bus(QStringLiteral(
        R"(<deny send_interface="org.freedesktop.DBus.ObjectManager" send_member="GetManagedObjects"/>)"));
    BluezMock mock(bus);
    mock.addAdapter(QStringLiteral("hci0"));
    SerialQueue queue("glintward.ble");
    RecordingDelegate delegate(queue);
    BluezCentral central(delegate, queue, bus.address().toStdString());
    ASSERT_TRUE(delegate.waitForState(CentralState::UNAUTHORIZED));
    EXPECT_EQ(delegate.states(), std::vector{CentralState::UNAUTHORIZED});
}

TEST_F(BluezCentralTest, SetsTheFilterBeforeEveryDiscoveryAndTheOwnerRestartsTheScan) {
    const QString device = scanningWithOneDevice();
    const auto calls = mock->calls(HCI0);
    ASSERT_EQ(calls.size(), 2u);
    const auto filter = qdbus_cast<QVariantMap>(calls[0].args.value(0));
    EXPECT_EQ(filter, (QVariantMap{{"Transport", "le"}, {"DuplicateData", true}}));

    // Power off ends the scan: nothing is heard until the owner scans again once powered on.
    mock->setPowered(HCI0, false);
    ASSERT_TRUE(delegate.waitForState(CentralState::POWERED_OFF));
    mock->emitPropertiesChanged(device, DEVICE, {{"RSSI", int16(-50)}});
    mock->setPowered(HCI0, true);  // its state report comes after the signal above has been handled
    ASSERT_TRUE(delegate.waitForState(CentralState::POWERED_ON));
    central->scanForPeripherals(true);
    ASSERT_TRUE(mock->waitForCalls(
        HCI0, {"SetDiscoveryFilter", "StartDiscovery", "SetDiscoveryFilter", "StartDiscovery"}));
    mock->emitPropertiesChanged(device, DEVICE, {{"RSSI", int16(-51)}});
    ASSERT_TRUE(delegate.waitForDiscoveries(1));
    EXPECT_EQ(delegate.discoveries()[0].rssi, -51);

    // A stop answered Failed ("No discovery started") is an ordinary answer.
    mock->misbehave(QStringLiteral("hci0"), QStringLiteral("StopDiscovery"), QStringLiteral("Failed"), 1);
    central->stopScan();
    central->stopScan();  // no scan left to stop: no call
    ASSERT_TRUE(mock->waitForCalls(HCI0, {"SetDiscoveryFilter", "StartDiscovery", "SetDiscoveryFilter",
                                          "StartDiscovery", "StopDiscovery"}));

    // A new bluetoothd knows neither the filter nor the scan.
    mock->stop();
    ASSERT_TRUE(delegate.waitForState(CentralState::UNSUPPORTED));
    mock->start();
    mock->addAdapter(QStringLiteral("hci0"));
    ASSERT_TRUE(delegate.waitForState(CentralState::POWERED_ON));
    EXPECT_TRUE(mock->callNames(HCI0).isEmpty());
    central->scanForPeripherals(false);
    ASSERT_TRUE(mock->waitForCalls(HCI0, {"SetDiscoveryFilter", "StartDiscovery"}));
    EXPECT_EQ(qdbus_cast<QVariantMap>(mock->calls(HCI0)[0].args.value(0)),
              (QVariantMap{{"Transport", "le"}, {"DuplicateData", false}}));

    // Answers such as Failed for a stop without a scan are not faults.
    central.reset();
    EXPECT_TRUE(log.lines().empty()) << log.lines().front();
}

TEST_F(BluezCentralTest, EachAdvertisementIsDeliveredWithTheMergedProperties) {
    const QString device = scanningWithOneDevice();
    const QByteArray bytes("\x01\x02", 2);
    // Each step: the signal, then the discovery it gives (or none).
    mock->emitPropertiesChanged(device, DEVICE, {{"RSSI", int16(-60)}});
    mock->emitPropertiesChanged(
        device, DEVICE, {{"ManufacturerData", manufacturerData(0x058E, bytes)}, {"RSSI", int16(-61)}});
    mock->emitPropertiesChanged(
        device, DEVICE,
        {{"UUIDs", QStringList{"0000fd5f-0000-1000-8000-00805f9b34fb", "12345678-0000-1000-8000-00805f9b34fb",
                               "6e400001-b5a3-f393-e0a9-e50e24dcca9e"}}});  // none
    mock->emitPropertiesChanged(device, DEVICE, {{"TxPower", int16(4)}});
    mock->emitPropertiesChanged(device, DEVICE, {{"Name", QStringLiteral("Renamed")}});  // none
    mock->emitPropertiesChanged(
        device, DEVICE, {{"ServiceData", serviceData("0000fd5f-0000-1000-8000-00805f9b34fb", bytes)}});
    // What StopDiscovery sends: invalidation only, no advertisement; without RSSI nothing is delivered.
    mock->emitPropertiesChanged(device, DEVICE, {}, {"RSSI", "TxPower"});
    mock->emitPropertiesChanged(device, DEVICE,
                                {{"ManufacturerData", manufacturerData(0x004C, bytes)}});  // none
    // A value of the wrong type (ManufacturerData as plain bytes) is skipped; the rest of the signal counts.
    mock->emitPropertiesChanged(device, DEVICE, {{"ManufacturerData", bytes}, {"RSSI", int16(-70)}});
    mock->emitPropertiesChanged(device, DEVICE, {{"Connected", true}});                       // none
    mock->emitPropertiesChanged(device, DEVICE, {{"RSSI", QVariant(QStringLiteral("-1"))}});  // none
    mock->emitPropertiesChanged(device, DEVICE, {{"RSSI", int16(127)}});

    ASSERT_TRUE(delegate.waitForDiscoveries(6));
    const Bytes_t mfr0{0x8E, 0x05, 0x01, 0x02};
    const Bytes_t mfr1{0x4C, 0x00, 0x01, 0x02};
    const std::vector<std::string> uuids{"FD5F", "12345678", "6E400001-B5A3-F393-E0A9-E50E24DCCA9E"};
    const std::string ray = "Ray-Ban Test", renamed = "Renamed";
    struct Expected {
        std::optional<std::string> name;
        std::optional<Bytes_t> manufacturerData;
        std::optional<std::vector<std::string>> uuids;
        std::optional<std::int32_t> txPower;
        std::int32_t rssi;
    };
    const std::vector<Expected> expected{
        {ray, std::nullopt, std::nullopt, std::nullopt, -60},
        {ray, mfr0, std::nullopt, std::nullopt, -61},
        {ray, mfr0, uuids, 4, -61},
        {renamed, mfr0, uuids, 4, -61},
        {renamed, mfr1, uuids, std::nullopt, -70},
        {renamed, mfr1, uuids, std::nullopt, 127},  // passed on as heard; dropping it is the scanner's part
    };
    central.reset();
    const auto discoveries = delegate.discoveries();
    ASSERT_EQ(discoveries.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        const Discovery& d = discoveries[i];
        EXPECT_EQ(d.peripheral, (Peripheral{DEVICE_ID, expected[i].name}));
        EXPECT_EQ(d.data, (AdvertisementData{expected[i].name, expected[i].manufacturerData,
                                             expected[i].uuids, expected[i].txPower}));
        EXPECT_EQ(d.rssi, expected[i].rssi);
    }
}

TEST_F(BluezCentralTest, DevicesComeAndGoAndOnlyAScanDelivers) {
    const QString first = scanningWithOneDevice(QString());
    // A device announced with its RSSI is an advertisement; a rotating address comes back as a new object.
    const QString second = HCI0 + QStringLiteral("/dev_C0_FF_EE_00_00_02");
    mock->emitInterfacesAdded(second, DEVICE,
                              {{"Address", QStringLiteral("C0:FF:EE:00:00:02")},
                               {"Adapter", QVariant::fromValue(QDBusObjectPath(HCI0))},
                               {"RSSI", int16(-40)}});
    ASSERT_TRUE(delegate.waitForDiscoveries(1));
    mock->emitPropertiesChanged(first, DEVICE, {{"RSSI", int16(-41)}});
    ASSERT_TRUE(delegate.waitForDiscoveries(2));
    mock->removeDevice(HCI0, first);  // bluetoothd forgets a temporary device after 30 s unseen
    mock->emitPropertiesChanged(first, DEVICE, {{"RSSI", int16(-99)}});  // a straggler for the gone object
    mock->emitPropertiesChanged(second, DEVICE, {{"RSSI", int16(-42)}});
    ASSERT_TRUE(delegate.waitForDiscoveries(3));

    // Stopped: nothing; the power cycle after it makes sure the signal has been handled before the next scan.
    central->stopScan();
    ASSERT_TRUE(
        mock->waitForCalls(HCI0, {"SetDiscoveryFilter", "StartDiscovery", "RemoveDevice", "StopDiscovery"}));
    mock->emitPropertiesChanged(second, DEVICE, {{"RSSI", int16(-43)}});
    mock->setPowered(HCI0, false);
    ASSERT_TRUE(delegate.waitForState(CentralState::POWERED_OFF));
    mock->setPowered(HCI0, true);
    ASSERT_TRUE(delegate.waitForState(CentralState::POWERED_ON));

    // Without duplicates: one discovery per device and scan.
    central->scanForPeripherals(false);
    ASSERT_TRUE(mock->waitForCalls(HCI0, {"SetDiscoveryFilter", "StartDiscovery", "RemoveDevice",
                                          "StopDiscovery", "SetDiscoveryFilter", "StartDiscovery"}));
    mock->emitPropertiesChanged(second, DEVICE, {{"RSSI", int16(-44)}});
    mock->emitPropertiesChanged(second, DEVICE, {{"RSSI", int16(-45)}});
    const QString third = HCI0 + QStringLiteral("/dev_C0_FF_EE_00_00_03");
    mock->emitInterfacesAdded(third, DEVICE,
                              {{"Address", QStringLiteral("C0:FF:EE:00:00:03")}, {"RSSI", int16(-47)}});
    ASSERT_TRUE(delegate.waitForDiscoveries(5));

    central.reset();
    const auto discoveries = delegate.discoveries();
    std::vector<std::int32_t> rssis;
    for (const auto& d : discoveries) rssis.push_back(d.rssi);
    EXPECT_EQ(rssis, (std::vector<std::int32_t>{-40, -41, -42, -44, -47}));
    EXPECT_EQ(discoveries[0].peripheral, (Peripheral{"BF5F2297-5F21-534B-8992-823A91217723", std::nullopt}));
    EXPECT_EQ(discoveries[1].peripheral, (Peripheral{DEVICE_ID, std::nullopt}));
    EXPECT_EQ(discoveries[1].data, AdvertisementData{});
}

TEST_F(BluezCentralTest, DiscoveryThatBluetoothdEndsIsStartedAgain) {
    quickRetries();
    const QString device = scanningWithOneDevice();
    ASSERT_TRUE(mock->waitForSessions(QStringLiteral("hci0"), 1));
    for (int drop = 0; drop < 3; ++drop) {
        mock->dropDiscovery(QStringLiteral("hci0"));
        ASSERT_TRUE(mock->waitForCalls(HCI0, [&] {
            QStringList names;
            for (int i = 0; i <= drop + 1; ++i) names << "SetDiscoveryFilter" << "StartDiscovery";
            return names;
        }()));
        ASSERT_TRUE(mock->waitForSessions(QStringLiteral("hci0"), 1));
    }
    // Heard again, and the state never left powered on.
    mock->emitPropertiesChanged(device, DEVICE, {{"RSSI", int16(-52)}});
    ASSERT_TRUE(delegate.waitForDiscoveries(1));
    EXPECT_EQ(delegate.states(), std::vector{CentralState::POWERED_ON});
    // Drops in quick succession are one episode: logged once.
    EXPECT_EQ(linesWith("ended with the adapter on"), 1u);

    central->stopScan();
    ASSERT_TRUE(mock->waitForSessions(QStringLiteral("hci0"), 0));
}

TEST_F(BluezCentralTest, AStartThatFailsIsTriedAgainAndLoggedOnce) {
    quickRetries();
    mock->addAdapter(QStringLiteral("hci0"));
    createCentral();
    ASSERT_TRUE(delegate.waitForState(CentralState::POWERED_ON));
    struct Case {
        const char* method;
        const char* how;
        const char* logged;  // in the one line the episode writes
    };
    const Case cases[] = {
        {"StartDiscovery", "Failed", "StartDiscovery failed: org.bluez.Error.Failed"},
        {"StartDiscovery", "NotReady", "StartDiscovery failed: org.bluez.Error.NotReady"},
        {"SetDiscoveryFilter", "Failed", "SetDiscoveryFilter failed: org.bluez.Error.Failed"},
        {"SetDiscoveryFilter", "NotReady", "SetDiscoveryFilter failed: org.bluez.Error.NotReady"},
        // Answered, yet no session: it counts only once Discovering is true for it.
        {"StartDiscovery", "InProgress", "answered but discovery did not start"},
        // Never answered (the session is made all the same): the retry finds it held.
        {"StartDiscovery", "silent", "StartDiscovery failed: org.freedesktop.DBus.Error.NoReply"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.how);
        const std::size_t before = log.lines().size();
        const std::size_t runningLines = linesWith("running again");
        mock->misbehave(QStringLiteral("hci0"), c.method, c.how, 2);
        central->scanForPeripherals(true);
        ASSERT_TRUE(mock->waitForSessions(QStringLiteral("hci0"), 1));
        // The session stands: whatever the central still had to say about the episode has been said.
        ASSERT_TRUE(testing_support::pollUntil([&] { return linesWith("running again") > runningLines; }));
        const auto lines = log.lines();
        const std::vector<std::string> episode(lines.begin() + static_cast<std::ptrdiff_t>(before), lines.end());
        ASSERT_EQ(episode.size(), 2u) << episode.front();
        EXPECT_NE(episode[0].find(c.logged), std::string::npos) << episode[0];
        EXPECT_EQ(episode[1], "bluez: discovery is running again on /org/bluez/hci0");

        central->stopScan();
        ASSERT_TRUE(mock->waitForSessions(QStringLiteral("hci0"), 0));
        ASSERT_TRUE(settledAfterStop(QStringLiteral("hci0"), HCI0));
    }
}

TEST_F(BluezCentralTest, ResettingWhileNoSessionCanBeHeldThenPoweredOnWithoutAskingAgain) {
    quickRetries(std::chrono::milliseconds(1000));
    mock->addAdapter(QStringLiteral("hci0"));
    mock->misbehave(QStringLiteral("hci0"), QStringLiteral("StartDiscovery"), QStringLiteral("NotReady"));
    createCentral();
    ASSERT_TRUE(delegate.waitForState(CentralState::POWERED_ON));
    central->scanForPeripherals(true);
    ASSERT_TRUE(delegate.waitForState(CentralState::RESETTING));
    mock->misbehave(QStringLiteral("hci0"), QStringLiteral("StartDiscovery"), QString());
    // The central keeps the wish through resetting: no new scan request is needed.
    ASSERT_TRUE(delegate.waitForState(CentralState::POWERED_ON));
    EXPECT_EQ(mock->discoverySessions(QStringLiteral("hci0")).size(), 1);
    // The owner's answer to powered on is a scan request: it starts nothing more.
    const int starts = static_cast<int>(mock->callNames(HCI0).count("StartDiscovery"));
    central->scanForPeripherals(true);
    mock->dropDiscovery(QStringLiteral("hci0"));
    ASSERT_TRUE(mock->waitForSessions(QStringLiteral("hci0"), 1));
    EXPECT_EQ(mock->callNames(HCI0).count("StartDiscovery"), starts + 1);

    // A stop while resetting: no session, and powered on again, since nothing is wanted.
    mock->misbehave(QStringLiteral("hci0"), QStringLiteral("StartDiscovery"), QStringLiteral("Failed"));
    mock->dropDiscovery(QStringLiteral("hci0"));
    ASSERT_TRUE(delegate.waitForState(CentralState::RESETTING));
    central->stopScan();
    ASSERT_TRUE(delegate.waitForState(CentralState::POWERED_ON));
    using enum CentralState;
    EXPECT_EQ(delegate.states(), (std::vector{POWERED_ON, RESETTING, POWERED_ON, RESETTING, POWERED_ON}));
    EXPECT_TRUE(mock->discoverySessions(QStringLiteral("hci0")).isEmpty());
}

TEST_F(BluezCentralTest, StopLeavesNoSessionEvenWhileAStartIsUnanswered) {
    mock->addAdapter(QStringLiteral("hci0"));
    createCentral();
    ASSERT_TRUE(delegate.waitForState(CentralState::POWERED_ON));
    mock->misbehave(QStringLiteral("hci0"), QStringLiteral("StartDiscovery"), QStringLiteral("delay:200"));
    for (int pair = 0; pair < 5; ++pair) {
        central->scanForPeripherals(true);
        // A start of ours unanswered (or just answered): the stop comes in the middle of it.
        ASSERT_TRUE(testing_support::pollUntil([&] {
            return !mock->startsUnanswered(QStringLiteral("hci0")).isEmpty() ||
                   !mock->discoverySessions(QStringLiteral("hci0")).isEmpty();
        }));
        central->stopScan();
    }
    ASSERT_TRUE(settledAfterStop(QStringLiteral("hci0"), HCI0));
    EXPECT_TRUE(mock->discoverySessions(QStringLiteral("hci0")).isEmpty());
    EXPECT_TRUE(log.lines().empty()) << log.lines().front();
}

TEST_F(BluezCentralTest, ScansOnOnePoweredAdapterAndStaysOnIt) {
    const QString hci0 = mock->addAdapter(QStringLiteral("hci0"));
    mock->setPowered(hci0, false);
    const QString hci1 = mock->addAdapter(QStringLiteral("hci1"));
    createCentral();
    // An adapter switched off beside one that works: powered on, and the scan runs on the one that works.
    ASSERT_TRUE(delegate.waitForState(CentralState::POWERED_ON));
    central->scanForPeripherals(true);
    ASSERT_TRUE(mock->waitForSessions(QStringLiteral("hci1"), 1));

    // Another adapter comes, off, then on: the scan stays where it is.
    mock->removeAdapter(QStringLiteral("hci0"));
    mock->addAdapter(QStringLiteral("hci0"));
    mock->setPowered(hci0, false);
    mock->setPowered(hci0, true);
    const QString device = mock->addDevice(QStringLiteral("hci1"), QStringLiteral("AA:BB:CC:DD:EE:01"), "X");
    mock->emitPropertiesChanged(device, DEVICE, {{"RSSI", int16(-50)}});
    ASSERT_TRUE(delegate.waitForDiscoveries(1));
    EXPECT_TRUE(mock->callNames(hci0).isEmpty());
    EXPECT_EQ(mock->discoverySessions(QStringLiteral("hci1")).size(), 1);

    // The one in use goes off: the other takes over, with the state powered on throughout.
    mock->setPowered(hci1, false);
    ASSERT_TRUE(mock->waitForSessions(QStringLiteral("hci0"), 1));
    central->stopScan();
    ASSERT_TRUE(mock->waitForSessions(QStringLiteral("hci0"), 0));
    EXPECT_TRUE(mock->discoverySessions(QStringLiteral("hci1")).isEmpty());
    EXPECT_EQ(delegate.states(), std::vector{CentralState::POWERED_ON});
}

TEST_F(BluezCentralTest, AnAdapterWhoseStartsKeepFailingGivesWayToAnotherPoweredOne) {
    quickRetries();
    mock->addAdapter(QStringLiteral("hci0"));
    mock->addAdapter(QStringLiteral("hci1"));
    mock->misbehave(QStringLiteral("hci0"), QStringLiteral("StartDiscovery"), QStringLiteral("Failed"));
    createCentral();
    ASSERT_TRUE(delegate.waitForState(CentralState::POWERED_ON));
    central->scanForPeripherals(true);
    ASSERT_TRUE(mock->waitForSessions(QStringLiteral("hci1"), 1));
    EXPECT_EQ(mock->callNames(HCI0).count("StartDiscovery"), 3);
    EXPECT_EQ(linesWith("StartDiscovery failed"), 1u);
    central->stopScan();
    ASSERT_TRUE(mock->waitForSessions(QStringLiteral("hci1"), 0));
}

TEST_F(BluezCentralTest, NoCallbackOnceDestroyed) {
    mock->addAdapter(QStringLiteral("hci0"));
    // Destroyed at once, while its thread starts and its first state report may be on its way.
    for (int i = 0; i < 10; ++i) {
        RecordingDelegate early(queue);
        auto shortLived = std::make_unique<BluezCentral>(early, queue, bus->address().toStdString());
        if (i % 2 == 1) {
            ASSERT_TRUE(early.waitForState(CentralState::POWERED_ON));
        }
        early.finish(shortLived);
    }
}

}  // namespace
}  // namespace glintward
