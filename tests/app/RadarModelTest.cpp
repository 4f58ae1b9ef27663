// The detection loop end to end on a real Qt event loop: a fake central feeds the real scanner, the model drives
// the engine on its queue and publishes on the main thread; the log, the haptic tap and the sync are captured.

#include "app/RadarModel.h"

#include <atomic>
#include <mutex>

#include <QCoreApplication>
#include <QTest>
#include <gtest/gtest.h>

#include "app/AppPreferences.h"
#include "app/BleScanner.h"
#include "app/RadarLog.h"
#include "shared/detection/SignatureRepository.h"
#include "tests/app/FakeCentral.h"
#include "tests/platform/TempDir.h"
#include "tests/sync/Fakes.h"

namespace glintward {
namespace {

using testing::FakeCentral;

constexpr const char* GLASSES = "6F1D3B0A-0000-5000-8000-000000000001";
constexpr const char* PHONE = "6F1D3B0A-0000-5000-8000-000000000002";

AdvertisementData named(std::string name, std::vector<std::uint8_t> manufacturer = {}) {
    AdvertisementData data;
    data.localName = std::move(name);
    if (!manufacturer.empty()) data.manufacturerData = std::move(manufacturer);
    return data;
}

TEST(BleScannerConversion, BuildsTheAdvertisementRecord) {
    struct Case {
        const char* what;
        Peripheral peripheral;
        AdvertisementData data;
        std::optional<std::string> name;
        std::vector<std::int32_t> companies;
        std::vector<std::string> uuids;
    };
    const std::string base = "-0000-1000-8000-00805f9b34fb";
    const Case cases[] = {
        {"company id little-endian, rest ignored", {"A", "Known"}, named("Local", {0x8E, 0x05, 0x01, 0x02}), "Local",
         {1422}, {}},
        {"two zero bytes", {"A", std::nullopt}, named("", {0x00, 0x00}), "", {0}, {}},
        {"one byte gives nothing; the peripheral's name stands in", {"A", "Known"}, {std::nullopt, {{0x8E}}, {}, {}},
         "Known", {}, {}},
        {"no name anywhere", {"A", std::nullopt}, {}, std::nullopt, {}, {}},
        {"uuids: 16-bit expanded, 32-bit and 128-bit lower-cased",
         {"A", std::nullopt},
         {std::nullopt, std::nullopt,
          std::vector<std::string>{"FD5F", "0000FD5F", "0000FE45-0000-1000-8000-00805F9B34FB"}, -8},
         std::nullopt,
         {},
         {"0000fd5f" + base, "0000fd5f", "0000fe45" + base}},
    };
    for (const auto& c : cases) {
        const auto ad = BleScanner::convert(c.peripheral, c.data, -60, 1234);
        ASSERT_TRUE(ad) << c.what;
        EXPECT_EQ(ad->address, "A") << c.what;
        EXPECT_EQ(ad->name, c.name) << c.what;
        EXPECT_EQ(ad->manufacturerCompanyIds, c.companies) << c.what;
        EXPECT_EQ(ad->serviceUuids, c.uuids) << c.what;
        EXPECT_EQ(ad->txPower, c.data.txPowerLevel) << c.what;
        EXPECT_EQ(ad->timestampMs, 1234) << c.what;
    }
    EXPECT_FALSE(BleScanner::convert({"A", "Known"}, named("Ray-Ban"), 127, 0));
}

class RecordingHaptics : public HapticPerformer {
public:
    void perform() override { ++taps; }
    std::atomic<int> taps{0};
};

class RecordingWorkspace : public Workspace {
public:
    void openBluetoothSettings() override { ++opened; }
    std::atomic<int> opened{0};
};

// A model over a private store, a fake central, fake haptics and a clock the test moves.
class RadarModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        SignatureRepository::shared().resetToBuiltIn();
        log = std::make_shared<RecordingSystemLog>();
        previousLog = RadarLog::replaceSystemLog(log);
        transport->answer(HttpResponse{304, std::nullopt, {}});
    }
    void TearDown() override {
        model.reset();
        RadarLog::replaceSystemLog(previousLog);
        SignatureRepository::shared().resetToBuiltIn();
    }

    void makeModel(std::string baseUrl = "https://signatures.test") {
        RadarModel::Seams seams;
        seams.makeCentral = FakeCentral::factory(central);
        seams.haptics = haptics;
        seams.workspace = workspace;
        seams.makeTransport = [this] { return transport; };
        seams.clockMs = [this] { return clock.load(); };
        seams.baseUrl = std::move(baseUrl);
        seams.pruneInterval = std::chrono::milliseconds(20);
        model = std::make_unique<RadarModel>(preferences, std::move(seams));
    }

    // Starts scanning and waits until the fake central scans and the sync has logged its line.
    void start() {
        model->startScanning();
        ASSERT_TRUE(QTest::qWaitFor([&] { return central->scans > 0 && syncLogged(); }, 5000));
    }

    FakeCentral& fake() { return *central->central.load(); }

    // Hears one advertisement that writes a log line (a new address, or a match) and waits for that line.
    void hear(const char* address, AdvertisementData data, int rssi = -50) {
        const std::size_t logged = log->lines().size();
        fake().discover({address, std::nullopt}, std::move(data), rssi);
        ASSERT_TRUE(QTest::qWaitFor([&] { return log->lines().size() > logged; }, 2000));
    }

    std::vector<std::string> messages() const {
        std::vector<std::string> radar;
        for (const auto& line : log->lines()) {
            if (line.category == "radar") radar.push_back(line.message);
        }
        return radar;
    }
    bool syncLogged() const {
        for (const auto& line : log->lines()) {
            if (line.message.rfind("Glintward sync: ", 0) == 0) return true;
        }
        return false;
    }

    glintward::testing::TempDir dir;
    UserDefaults defaults{dir.path() / "defaults.json"};
    AppPreferences preferences{defaults};
    std::shared_ptr<FakeCentral::Shared> central = std::make_shared<FakeCentral::Shared>();
    std::shared_ptr<RecordingHaptics> haptics = std::make_shared<RecordingHaptics>();
    std::shared_ptr<RecordingWorkspace> workspace = std::make_shared<RecordingWorkspace>();
    std::shared_ptr<fakes::FakeTransport> transport = std::make_shared<fakes::FakeTransport>();
    std::atomic<double> clock{1'700'000'000'000.0};
    std::shared_ptr<RecordingSystemLog> log;
    std::shared_ptr<SystemLog> previousLog;
    std::unique_ptr<RadarModel> model;
};

TEST_F(RadarModelTest, AdvertisementsFlowToPublishedStatesLogLinesAndOneTap) {
    makeModel();
    EXPECT_FALSE(model->state().scanning);
    EXPECT_EQ(central->created, 0);  // no central until the first start
    start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->state().scanning; }, 2000));

    hear(PHONE, named("iPhone", {0x4C, 0x00, 0x10}), -40);
    hear(GLASSES, named("Ray-Ban Meta", {0x8E, 0x05}), -50);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model->state().detections.empty(); }, 2000));
    hear(GLASSES, named("Ray-Ban Meta", {0x8E, 0x05}), -60);
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->state().sessionLog.size() == 1 &&
                                             model->state().detections[0].smoothedRssi ==
                                                 ((1.0 - 0.3) * -50.0) + (-60 * 0.3); }, 2000));

    const RadarState& s = model->state();
    EXPECT_TRUE(s.scanning);
    EXPECT_EQ(s.threatLevel, ThreatLevel::DETECTED);
    EXPECT_EQ(s.detections[0].address, GLASSES);
    EXPECT_EQ(haptics->taps, 1);  // one rise, one tap

    const std::vector<std::string> expected = {
        "startScanning requested",
        "bluetooth state: poweredOn",
        "scan started: wildcard, duplicates on, signatures v0",
        "heard #1: name=iPhone ids=[76] uuids=0 rssi=-40",
        "heard #2: name=Ray-Ban Meta ids=[1422] uuids=0 rssi=-50",
        "match: Ray-Ban Meta glasses confidence=0.95 rssi=-50",
        "match: Ray-Ban Meta glasses confidence=0.95 rssi=-60",
    };
    EXPECT_EQ(messages(), expected);
    EXPECT_TRUE(syncLogged());
    EXPECT_EQ(preferences.lastSyncMs(), clock.load());  // 304 records the time
}

// A burst of matches reaches the main thread as one state per match, in order: states handed over together
// are neither merged nor reordered.
TEST_F(RadarModelTest, EveryPublishedStateReachesTheMainThreadInOrder) {
    makeModel();
    start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->state().scanning; }, 2000));
    std::vector<int> strongest;  // the session's strongest RSSI as the states show it
    QObject::connect(model.get(), &RadarModel::stateChanged, [&] {
        const RadarState& s = model->state();
        // The prune timer publishes too, repeating the last value.
        if (!s.sessionLog.empty() &&
            (strongest.empty() || strongest.back() != s.sessionLog[0].strongestRssi)) {
            strongest.push_back(s.sessionLog[0].strongestRssi);
        }
    });
    constexpr int BURST = 200;
    for (int i = 0; i < BURST; ++i) fake().discover({GLASSES, std::nullopt}, named("rayban"), -200 + i);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return !strongest.empty() && strongest.back() == -200 + BURST - 1; }, 5000));
    std::vector<int> expected(BURST);
    for (int i = 0; i < BURST; ++i) expected[static_cast<std::size_t>(i)] = -200 + i;
    EXPECT_EQ(strongest, expected);
}

TEST_F(RadarModelTest, OnlyTheFirstFortyAddressesAreLogged) {
    makeModel();
    start();
    for (int i = 0; i < 41; ++i) {
        char address[40];
        std::snprintf(address, sizeof address, "00000000-0000-5000-8000-%012d", i);
        fake().discover({address, std::nullopt}, named("Watch"), -70);
        fake().discover({address, std::nullopt}, named("Watch"), -70);
    }
    // A marker: once its match is logged, everything queued before it has been handled.
    fake().discover({GLASSES, std::nullopt}, named("rayban"), -50);
    ASSERT_TRUE(QTest::qWaitFor([&] { return messages().back().rfind("match: ", 0) == 0; }, 3000));
    int heard = 0;
    for (const auto& m : messages()) heard += m.rfind("heard #", 0) == 0;
    EXPECT_EQ(heard, 40);
    const auto all = messages();
    EXPECT_EQ(all[all.size() - 2], "heard #40: name=Watch ids=[] uuids=0 rssi=-70");
}

TEST_F(RadarModelTest, MutingStopsTheAlertAndTheCooldownGatesTheNextOne) {
    makeModel();
    start();
    hear(GLASSES, named("rayban"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->state().threatLevel == ThreatLevel::DETECTED; }, 2000));
    EXPECT_EQ(haptics->taps, 1);

    model->toggleMute(GLASSES);
    EXPECT_TRUE(model->mutedAddresses().contains(GLASSES));
    EXPECT_EQ(defaults.stringArrayForKey(RadarModel::MUTED_KEY), std::vector<std::string>{GLASSES});
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->state().threatLevel == ThreatLevel::CLEAR; }, 2000));
    EXPECT_TRUE(model->state().detections[0].muted);

    model->toggleMute(GLASSES);  // within the cooldown: the rise is used up without a tap
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->state().threatLevel == ThreatLevel::DETECTED; }, 2000));
    model->toggleMute(GLASSES);
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->state().threatLevel == ThreatLevel::CLEAR; }, 2000));
    clock = clock + 60001.0;
    hear(GLASSES, named("rayban"));  // keeps the device fresh for the prune timer
    model->toggleMute(GLASSES);
    ASSERT_TRUE(QTest::qWaitFor([&] { return haptics->taps == 2; }, 2000));
    EXPECT_TRUE(defaults.stringArrayForKey(RadarModel::MUTED_KEY)->empty());

    // Haptics off: the gate still fires, no tap (the tap would come in the same hop as the state).
    preferences.setHapticAlerts(false);
    model->toggleMute(GLASSES);
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->state().threatLevel == ThreatLevel::CLEAR; }, 2000));
    clock = clock + 120000.0;
    hear(GLASSES, named("rayban"));
    model->toggleMute(GLASSES);
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->state().threatLevel == ThreatLevel::DETECTED; }, 2000));
    EXPECT_EQ(haptics->taps, 2);
}

TEST_F(RadarModelTest, StopStartMuteWipeAndPrune) {
    makeModel();
    start();
    hear(GLASSES, named("rayban"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->state().detections.size() == 1; }, 2000));

    model->stopScanning();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model->state().scanning; }, 2000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return central->stops == 1; }, 2000));  // the stop runs on the scanner's queue
    model->toggleMute(GLASSES);
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->state().detections.at(0).muted; }, 2000));
    EXPECT_FALSE(model->state().scanning);
    model->wipeSessionLog();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->state().sessionLog.empty(); }, 2000));
    EXPECT_FALSE(model->state().scanning);
    EXPECT_EQ(model->state().detections.size(), 1u);

    model->startScanning();
    ASSERT_TRUE(QTest::qWaitFor([&] { return central->scans == 2 && model->state().scanning; }, 2000));
    EXPECT_EQ(central->created, 1);
    EXPECT_EQ(transport->requests().size(), 1u);  // one sync per process

    clock = clock + 30001.0;  // the prune timer drops the silent device; the log has been wiped anyway
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->state().detections.empty(); }, 2000));
    model->openSystemSettings();
    EXPECT_EQ(workspace->opened, 1);
}

// The user mutes a device by editing the settings file (here through a second store on it, as another
// instance would): the model takes it in and publishes; a mute tap then changes only its own address, even
// right after an edit no look has seen yet.
TEST_F(RadarModelTest, MutedDevicesEditedOutsideReachTheModelAndATapKeepsThem) {
    makeModel();
    start();
    hear(GLASSES, named("rayban"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->state().detections.size() == 1; }, 2000));
    int signalled = 0;
    QObject::connect(model.get(), &RadarModel::mutedAddressesChanged, [&] { ++signalled; });

    UserDefaults outside(defaults.path());
    outside.setObject(std::vector<std::string>{GLASSES}, RadarModel::MUTED_KEY);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return !model->mutedAddresses().empty() && model->state().detections.at(0).muted; }, 5000));
    EXPECT_EQ(model->mutedAddresses(), Set<std::string>(std::vector<std::string>{GLASSES}));
    EXPECT_EQ(signalled, 1);

    outside.setObject(std::vector<std::string>{GLASSES, "AA:BB"}, RadarModel::MUTED_KEY);
    model->toggleMute(PHONE);
    EXPECT_EQ(model->mutedAddresses(), Set<std::string>(std::vector<std::string>{GLASSES, "AA:BB", PHONE}));
    outside.refresh();
    EXPECT_EQ(Set<std::string>(outside.stringArrayForKey(RadarModel::MUTED_KEY).value()),
              model->mutedAddresses());
}

TEST_F(RadarModelTest, BluetoothOffAtStartThenOnBeginsScanning) {
    central->initialState = CentralState::POWERED_OFF;
    makeModel();
    EXPECT_FALSE(model->bluetoothOff());
    model->startScanning();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->bluetoothOff(); }, 2000));
    EXPECT_EQ(central->scans, 0);
    fake().setState(CentralState::POWERED_ON);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model->bluetoothOff() && central->scans == 1; }, 2000));
    fake().setState(CentralState::POWERED_OFF);
    fake().setState(CentralState::POWERED_ON);
    ASSERT_TRUE(QTest::qWaitFor([&] { return central->scans == 2; }, 2000));
}

TEST_F(RadarModelTest, SyncInstallsANewerCatalogueAndRecordsTheTime) {
    const std::string bundle =
        R"({"version": 7, "signatures": [{"id": "x", "brand": "X", "displayName": "X Glasses",
            "namePatterns": ["xglass"]}]})";
    transport->answer(HttpResponse{200, bundle, {{"etag", "\"v7\""}}});
    makeModel();
    start();
    EXPECT_EQ(SignatureRepository::shared().current()->version(), 7);
    EXPECT_EQ(transport->requests().at(0).url, "https://signatures.test/v1/signatures");
    EXPECT_EQ(defaults.stringForKey("signatures_etag"), "\"v7\"");
    ASSERT_TRUE(QTest::qWaitFor([&] { return preferences.lastSyncMs() == clock.load(); }, 2000));
    hear(GLASSES, named("XGLASS 2"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model->state().detections.empty(); }, 2000));
    EXPECT_EQ(model->state().detections[0].displayName, "X Glasses");
}

TEST_F(RadarModelTest, FailedSyncOnlyLogs) {
    transport->answer(HttpResponse{500, std::nullopt, {}});
    makeModel();
    start();
    bool found = false;
    for (const auto& line : log->lines()) {
        if (line.message == "Glintward sync: Failed(reason=HTTP 500) (in force: v0)") found = line.category.empty();
    }
    EXPECT_TRUE(found);
    EXPECT_EQ(defaults.doubleForKey("last_sync_ms"), 0.0);
}

}  // namespace
}  // namespace glintward

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
