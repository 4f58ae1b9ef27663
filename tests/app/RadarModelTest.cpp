// The detection loop end to end on a real Qt event loop: a fake central feeds the real scanner, the model drives
// the engine on its queue and publishes on the main thread; the log, the haptic tap and the sync are captured.

#include "app/RadarModel.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>

#include <QCoreApplication>
#include <QTest>
#include <gtest/gtest.h>

#include "app/AppPreferences.h"
#include "app/BoundedInlet.h"
#include "app/BoundedSystemLog.h"
#include "app/BleScanner.h"
#include "app/RadarLog.h"
#include "app/platform/BluezCentral.h"
#include "shared/detection/SignatureRepository.h"
#include "tests/app/FakeCentral.h"
#include "tests/platform/CentralTestSupport.h"
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

// The inlet between the radio's queue and the engine: bounded, oldest shed first, shedding reported at the
// first shed and then at most once a second (a catch-up reports what is left once a second has passed).
TEST(RadarModelInlet, ShedsTheOldestAndReportsAtMostOnceASecond) {
    std::int64_t now = 0;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
    BoundedInlet<int> inlet(4, [&] { return now; }, [&](std::uint64_t since, std::uint64_t all) {
        reports.emplace_back(since, all);
    });
    const auto drain = [&] {
        std::vector<int> out;
        while (inlet.take(out, 3)) {
        }
        return out;
    };
    EXPECT_TRUE(inlet.push(1));  // an idle inlet asks for a drain, once
    for (int i = 2; i <= 6; ++i) EXPECT_FALSE(inlet.push(i));
    now = 999;
    inlet.push(7);
    now = 1000;
    inlet.push(8);
    EXPECT_EQ(inlet.size(), 4u);
    EXPECT_EQ(drain(), (std::vector<int>{5, 6, 7, 8}));
    using Reports = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
    EXPECT_EQ(reports, (Reports{{1, 1}, {3, 4}}));

    now = 1500;  // one shed, told neither at once nor when caught up within the second
    EXPECT_TRUE(inlet.push(9));
    for (int i = 10; i <= 13; ++i) inlet.push(i);
    EXPECT_EQ(drain(), (std::vector<int>{10, 11, 12, 13}));
    EXPECT_EQ(reports.size(), 2u);
    now = 2000;  // caught up a second after the last report: the rest is told
    EXPECT_TRUE(inlet.push(14));
    EXPECT_EQ(drain(), std::vector<int>{14});
    EXPECT_EQ(reports, (Reports{{1, 1}, {3, 4}, {1, 5}}));
    EXPECT_EQ(inlet.shed(), 5u);
    EXPECT_EQ(drain(), std::vector<int>{});
    EXPECT_EQ(reports.size(), 3u);
}

// A producer that never waits against a consumer that keeps falling asleep: the inlet never holds more than
// its bound, what comes out keeps its order, every item is either handed over or counted as shed, and none is
// left waiting.
TEST(RadarModelInlet, StaysBoundedAndLosesNoWakeUpUnderAFlood) {
    constexpr int ITEMS = 200000;
    constexpr std::size_t BOUND = 64;
    std::atomic<std::uint64_t> reported{0};
    BoundedInlet<int> inlet(BOUND, [] { return std::int64_t{0}; },
                            [&](std::uint64_t since, std::uint64_t) { reported += since; });
    std::vector<int> handed;  // the consumer's queue only
    std::size_t largest = 0;
    std::function<void()> drainOnce;  // outlives the queue, which runs it until the inlet is empty
    {
        SerialQueue consumer("glintward.test");
        drainOnce = [&] {
            for (int n = 0; n < 4; ++n) {  // a few per turn, then behind the queue's other work
                largest = std::max(largest, inlet.size());
                if (!inlet.take(handed, 4)) return;
            }
            consumer.async(drainOnce);
        };
        for (int i = 0; i < ITEMS; ++i) {
            if (inlet.push(i)) consumer.async(drainOnce);
        }
    }  // the queue runs the drain turns still due before it ends
    EXPECT_LE(largest, BOUND);
    EXPECT_TRUE(std::is_sorted(handed.begin(), handed.end()) &&
                std::adjacent_find(handed.begin(), handed.end()) == handed.end());
    ASSERT_FALSE(handed.empty());
    EXPECT_EQ(handed.back(), ITEMS - 1);  // the newest is never shed
    EXPECT_EQ(handed.size() + inlet.shed(), std::size_t{ITEMS});
    EXPECT_EQ(inlet.size(), 0u);
    EXPECT_GE(reported.load(), 1u);
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

// Forwards to the test's transport and tells when the sync has let go of it: the sync's thread outlives the
// model, and it ends only when it has.
class TransportLease : public HttpTransport {
public:
    TransportLease(std::shared_ptr<HttpTransport> transport, std::promise<void> released)
        : transport_(std::move(transport)), released_(std::move(released)) {}
    ~TransportLease() override { released_.set_value(); }
    HttpResponse get(const std::string& url, const HttpHeaders& headers) override {
        return transport_->get(url, headers);
    }
    HttpResponse postJson(const std::string& url, const std::string& body) override {
        return transport_->postJson(url, body);
    }

private:
    std::shared_ptr<HttpTransport> transport_;
    std::promise<void> released_;
};

bool onEngineQueue() {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return std::strcmp(name, "glintward.engin") == 0;  // the system keeps 15 characters
}

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
        releaseEngine();
        model.reset();
        // Nothing of this test may be left to a sync still running when the next one begins.
        if (syncEnded.valid()) {
            EXPECT_EQ(syncEnded.wait_for(std::chrono::seconds(20)), std::future_status::ready);
        }
        RadarLog::replaceSystemLog(previousLog);
        SignatureRepository::shared().resetToBuiltIn();
    }

    void makeModel(std::string baseUrl = "https://signatures.test", std::size_t pendingMax = 16384,
                   const std::function<void(RadarModel::Seams&)>& tweak = {}) {
        RadarModel::Seams seams;
        seams.makeCentral = makeCentral ? makeCentral : FakeCentral::factory(central);
        seams.haptics = haptics;
        seams.workspace = workspace;
        seams.makeTransport = [this] {
            std::promise<void> released;
            syncEnded = released.get_future();
            return std::make_shared<TransportLease>(transport, std::move(released));
        };
        seams.clockMs = [this] {
            if (holdEngine && onEngineQueue()) {
                engineHeld = true;
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
                while (holdEngine && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
            }
            return clock.load();
        };
        seams.steadyMs = [this] { return steady.load(); };
        seams.baseUrl = std::move(baseUrl);
        seams.pruneInterval = std::chrono::milliseconds(20);
        seams.pendingAdvertisementsMax = pendingMax;
        if (tweak) tweak(seams);
        model = std::make_unique<RadarModel>(preferences, std::move(seams));
    }

    // Keeps the engine queue busy (inside a publish, asking the clock) until releaseEngine(), so that what
    // comes next waits for it.
    void holdTheEngine() {
        holdEngine = true;
        model->wipeSessionLog();  // publishes on the engine queue
        ASSERT_TRUE(QTest::qWaitFor([&] { return engineHeld.load(); }, 5000));
    }
    void releaseEngine() { holdEngine = false; }

    // Returns once the scanner's queue has handed on everything the central reported before.
    void waitForTheScannersQueue() {
        fake().setState(CentralState::POWERED_OFF);
        ASSERT_TRUE(QTest::qWaitFor([&] { return model->bluetoothOff(); }, 5000));
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

    // Records the strongest RSSI of the session log's first entry as the applied states show it, once per
    // value in a row: the prune timer publishes too, repeating the last one.
    void recordStrongest(std::vector<int>& into) {
        QObject::connect(model.get(), &RadarModel::stateChanged, [this, &into] {
            const RadarState& s = model->state();
            if (!s.sessionLog.empty() && (into.empty() || into.back() != s.sessionLog[0].strongestRssi)) {
                into.push_back(s.sessionLog[0].strongestRssi);
            }
        });
    }

    int lineCount(const std::string& prefix) const {
        int n = 0;
        for (const auto& m : messages()) n += m.rfind(prefix, 0) == 0;
        return n;
    }
    // Waits, taking no events on this thread, until `count` lines begin with the prefix.
    bool loggedWithoutEvents(const std::string& prefix, int count) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (lineCount(prefix) < count && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        return lineCount(prefix) >= count;
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
    BleScanner::CentralFactory makeCentral;  // the fake central when empty
    std::shared_ptr<RecordingHaptics> haptics = std::make_shared<RecordingHaptics>();
    std::shared_ptr<RecordingWorkspace> workspace = std::make_shared<RecordingWorkspace>();
    std::shared_ptr<fakes::FakeTransport> transport = std::make_shared<fakes::FakeTransport>();
    std::atomic<double> clock{1'700'000'000'000.0};
    std::atomic<std::int64_t> steady{0};
    std::atomic<bool> holdEngine{false};
    std::atomic<bool> engineHeld{false};
    std::future<void> syncEnded;
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
    // 304 records the time, handed to the main thread after the sync's line.
    EXPECT_TRUE(QTest::qWaitFor([&] { return preferences.lastSyncMs() == clock.load(); }, 2000));
}

// The model hands every match line on with its device's address, so the journal's bounds apply: one line of a
// device a minute, and in a later turn one line telling how many were left out.
TEST_F(RadarModelTest, MatchLinesReachTheJournalOncePerDeviceAMinute) {
    std::atomic<std::int64_t> journalMs{0};
    RadarLog::replaceSystemLog(std::make_shared<BoundedSystemLog>(log, false, [&] { return journalMs.load(); }));
    makeModel();
    start();
    const AdvertisementData rayBan = named("Ray-Ban Meta", {0x8E, 0x05});
    hear(GLASSES, rayBan, -50);
    for (int rssi : {-51, -52, -53}) fake().discover({GLASSES, std::nullopt}, rayBan, rssi);
    hear(PHONE, named("iPhone", {0x4C, 0x00}), -40);  // handled after the glasses' three
    journalMs = 60'000;
    hear(GLASSES, rayBan, -54);
    journalMs = 61'000;
    hear(GLASSES, rayBan, -55);

    const std::vector<std::string> expected = {
        "startScanning requested",
        "bluetooth state: poweredOn",
        "scan started: wildcard, duplicates on, signatures v0",
        "heard #1: name=Ray-Ban Meta ids=[1422] uuids=0 rssi=-50",
        "match: Ray-Ban Meta glasses confidence=0.95 rssi=-50",
        "heard #2: name=iPhone ids=[76] uuids=0 rssi=-40",
        "match: 3 lines left out of the system log in the last 60 s",
        "match: Ray-Ban Meta glasses confidence=0.95 rssi=-55",
    };
    EXPECT_EQ(messages(), expected);
}

// A burst of matches while the main thread is busy leaves it one state to apply, the newest: a state that waits
// there is replaced by a newer one, never queued behind it.
TEST_F(RadarModelTest, AWaitingStateIsReplacedByTheNewerOne) {
    makeModel("https://signatures.test", 16384, [](RadarModel::Seams& s) { s.publishInterval = {}; });
    start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->state().scanning; }, 2000));
    std::vector<int> strongest;
    recordStrongest(strongest);
    constexpr int BURST = 200;
    for (int i = 0; i < BURST; ++i) fake().discover({GLASSES, std::nullopt}, named("rayban"), -200 + i);
    // The main thread takes no events until the engine has published a state for every match: the line of the
    // address after them comes once the last has been handled.
    fake().discover({PHONE, std::nullopt}, named("iPhone"), -70);
    ASSERT_TRUE(loggedWithoutEvents("heard #2: ", 1));
    EXPECT_EQ(lineCount("match: "), BURST);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !strongest.empty(); }, 5000));
    EXPECT_EQ(strongest, std::vector<int>{-200 + BURST - 1});
}

// Matching advertisements make a state at most once per publish interval, while each still runs the alert
// step: a rise taps at once, with the state that raised it; what came between two states shows in the later.
TEST_F(RadarModelTest, StatesFollowAtMostOncePerIntervalWhileEveryMatchRunsTheAlertStep) {
    constexpr std::int64_t INTERVAL_MS = 3600 * 1000;  // no timer fires within the test
    makeModel("https://signatures.test", 16384, [](RadarModel::Seams& s) {
        s.publishInterval = std::chrono::hours(1);
        s.pruneInterval = std::chrono::hours(1);
    });
    start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->state().scanning; }, 2000));
    std::vector<int> far;  // the far device's, logged first
    recordStrongest(far);
    const char* const FAR_AWAY = "6F1D3B0A-0000-5000-8000-00000000FA00";
    steady = steady + INTERVAL_MS;
    hear(FAR_AWAY, named("Galaxy", {0x8E, 0x05}), -90);  // possible, but too far to alert
    ASSERT_TRUE(QTest::qWaitFor([&] { return !far.empty(); }, 2000));
    hear(FAR_AWAY, named("Galaxy", {0x8E, 0x05}), -85);  // within the interval: no state
    hear(GLASSES, named("rayban"), -45);                  // a rise: the tap and its state at once
    ASSERT_TRUE(QTest::qWaitFor([&] { return haptics->taps == 1 && model->state().detections.size() == 2; }, 2000));
    EXPECT_EQ(model->state().threatLevel, ThreatLevel::DETECTED);
    hear(FAR_AWAY, named("Galaxy", {0x8E, 0x05}), -80);
    hear(PHONE, named("iPhone"));  // its line comes once the match before it is fully handled
    steady = steady + INTERVAL_MS;
    hear(FAR_AWAY, named("Galaxy", {0x8E, 0x05}), -75);
    ASSERT_TRUE(QTest::qWaitFor([&] { return far.back() == -75; }, 2000));
    EXPECT_EQ(far, (std::vector<int>{-90, -85, -75}));
    EXPECT_EQ(haptics->taps, 1);
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

// A slot that re-enters the event loop sees the states that were waiting carried on in order, and no older state
// is applied after a newer one.
TEST_F(RadarModelTest, StatesStayInOrderWhenASlotReentersTheEventLoop) {
    makeModel();
    start();
    std::vector<int> applied;  // the session's strongest RSSI as each applied state shows it
    bool reentered = false;
    bool nestedSawTheNewest = false;
    QObject::connect(model.get(), &RadarModel::stateChanged, [&] {
        const RadarState& s = model->state();
        if (s.sessionLog.empty()) return;
        applied.push_back(s.sessionLog[0].strongestRssi);
        if (reentered) return;
        reentered = true;
        for (int rssi = -50; rssi <= -46; ++rssi) fake().discover({GLASSES, std::nullopt}, named("rayban"), rssi);
        nestedSawTheNewest = QTest::qWaitFor([&] { return applied.back() == -46; }, 5000);
    });
    // Several states wait for the main thread at once: it takes no events until the engine has handled all.
    constexpr int WAITING = 6;
    for (int i = 0; i < WAITING; ++i) fake().discover({GLASSES, std::nullopt}, named("rayban"), -100 + i);
    ASSERT_TRUE(loggedWithoutEvents("match: ", WAITING));
    ASSERT_TRUE(QTest::qWaitFor([&] { return reentered && !applied.empty() && applied.back() == -46; }, 5000));
    EXPECT_TRUE(nestedSawTheNewest);
    EXPECT_TRUE(std::is_sorted(applied.begin(), applied.end())) << ::testing::PrintToString(applied);
    EXPECT_EQ(model->state().sessionLog[0].strongestRssi, -46);
}

// Advertisements still on their way when the user presses Stop change nothing: no match line, no detection,
// no tap.
TEST_F(RadarModelTest, AdvertisementsInFlightAtStopChangeNothing) {
    makeModel();
    start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->state().scanning; }, 2000));
    holdTheEngine();
    for (int i = 0; i < 20; ++i) {
        char address[40];
        std::snprintf(address, sizeof address, "6F1D3B0A-0000-5000-8000-%012d", 100 + i);
        fake().discover({address, std::nullopt}, named("Ray-Ban Meta", {0x8E, 0x05}), -40);
    }
    waitForTheScannersQueue();
    const std::size_t loggedBefore = messages().size();
    model->stopScanning();
    releaseEngine();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model->state().scanning; }, 5000));
    const auto all = messages();
    std::vector<std::string> handledAfterStop;
    for (std::size_t i = loggedBefore; i < all.size(); ++i) {
        if (all[i].rfind("match: ", 0) == 0 || all[i].rfind("heard #", 0) == 0) handledAfterStop.push_back(all[i]);
    }
    EXPECT_TRUE(handledAfterStop.empty()) << handledAfterStop.size() << " lines, first " << handledAfterStop[0];
    EXPECT_TRUE(model->state().detections.empty());
    EXPECT_TRUE(model->state().sessionLog.empty());
    EXPECT_EQ(model->state().threatLevel, ThreatLevel::CLEAR);
    EXPECT_EQ(haptics->taps, 0);

    // Nor do they wake up in the next scan.
    model->startScanning();
    hear(GLASSES, named("rayban"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->state().detections.size() == 1; }, 2000));
    EXPECT_EQ(model->state().detections[0].address, GLASSES);
}

// An engine that falls behind costs a bounded queue: the oldest advertisements waiting are shed, counted and
// logged, once at the first shedding and then at most once a second.
TEST_F(RadarModelTest, AnEngineThatFallsBehindShedsTheOldestAdvertisements) {
    constexpr std::size_t PENDING_MAX = 8;
    makeModel("https://signatures.test", PENDING_MAX);
    start();
    const auto heardLines = [&] {
        std::vector<std::string> heard;
        for (const auto& m : messages()) {
            if (m.rfind("heard #", 0) == 0) heard.push_back(m);
        }
        return heard;
    };
    const auto shedLines = [&] {
        std::vector<std::string> shed;
        for (const auto& m : messages()) {
            if (m.rfind("engine behind", 0) == 0) shed.push_back(m);
        }
        return shed;
    };
    holdTheEngine();
    for (int i = 1; i <= 20; ++i) {
        fake().discover({"PHONE-" + std::to_string(i), std::nullopt}, named("Phone " + std::to_string(i)), -70);
    }
    fake().discover({GLASSES, std::nullopt}, named("rayban"), -50);  // the newest: never shed
    waitForTheScannersQueue();
    releaseEngine();
    ASSERT_TRUE(QTest::qWaitFor([&] { return messages().back().rfind("match: ", 0) == 0; }, 5000));

    // Only the newest eight were handled.
    const auto heard = heardLines();
    ASSERT_EQ(heard.size(), PENDING_MAX);
    EXPECT_EQ(heard.front(), "heard #1: name=Phone 14 ids=[] uuids=0 rssi=-70");
    EXPECT_EQ(model->shedAdvertisements(), 13u);
    EXPECT_EQ(shedLines(), std::vector<std::string>{"engine behind, advertisements shed: 1 (1 in all)"});

    // The rest is told once the engine has caught up, a second after the first line.
    steady = steady + 1000;
    hear(PHONE, named("Phone 2"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return shedLines().size() == 2; }, 2000));
    EXPECT_EQ(shedLines()[1], "engine behind, advertisements shed: 12 (13 in all)");
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

// The whole loop over the BlueZ central and the look-alike: while bluetoothd will not let the application hold a
// discovery session, the model says Bluetooth is unavailable, never "All clear"; it scans again by itself.
TEST_F(RadarModelTest, NoAllClearWhileNoDiscoverySessionIsHeld) {
    using namespace std::chrono_literals;
    const QString hci0 = QStringLiteral("hci0");
    testing_support::PrivateBus bus;
    testing_support::BluezMock mock(bus);
    mock.addAdapter(hci0);
    BluezTiming timing;
    timing.firstRetry = 20ms;
    timing.longestRetry = 100ms;
    timing.resettingAfter = 1000ms;
    makeCentral = [address = bus.address().toStdString(), timing](CentralDelegate& delegate, SerialQueue& queue) {
        return std::make_unique<BluezCentral>(delegate, queue, address, "org.bluez",
                                              [](std::string line) { RadarLog::info(line); }, timing);
    };
    makeModel();
    const auto held = [&] { return mock.discoverySessions(hci0).size() == 1; };

    // What the panel would say at each publication, once a session has first been held.
    bool watching = false;
    int allClearWithoutSession = 0;
    const auto look = [&] {
        const RadarState& s = model->state();
        const bool allClear = !model->bluetoothOff() && s.scanning && s.threatLevel == ThreatLevel::CLEAR;
        if (watching && allClear && !held()) ++allClearWithoutSession;
    };
    QObject::connect(model.get(), &RadarModel::stateChanged, look);
    QObject::connect(model.get(), &RadarModel::bluetoothOffChanged, look);

    model->startScanning();
    ASSERT_TRUE(QTest::qWaitFor([&] { return held() && model->state().scanning; }, 10000));
    watching = true;
    const QString device = mock.addDevice(hci0, QStringLiteral("AA:BB:CC:DD:EE:01"), QStringLiteral("Ray-Ban Meta"));
    const QString DEVICE = QStringLiteral("org.bluez.Device1");
    mock.emitPropertiesChanged(device, DEVICE, {{"RSSI", QVariant::fromValue(qint16(-45))}});
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->state().threatLevel == ThreatLevel::DETECTED; }, 10000));

    // bluetoothd ends discovery with the adapter on and refuses every new start.
    mock.misbehave(hci0, QStringLiteral("StartDiscovery"), QStringLiteral("Failed"));
    mock.dropDiscovery(hci0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->bluetoothOff(); }, 10000));
    // Long after the device was last heard, pruning publishes a state with nothing in it.
    clock = clock + 60000;
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->state().detections.empty(); }, 10000));
    EXPECT_TRUE(model->bluetoothOff());
    EXPECT_TRUE(model->state().scanning);

    // Starts work again: the scan resumes without another start, and the device is heard.
    mock.misbehave(hci0, QStringLiteral("StartDiscovery"), QString());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model->bluetoothOff(); }, 10000));
    EXPECT_TRUE(held());
    mock.emitPropertiesChanged(device, DEVICE, {{"RSSI", QVariant::fromValue(qint16(-46))}});
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->state().threatLevel == ThreatLevel::DETECTED; }, 10000));
    EXPECT_EQ(allClearWithoutSession, 0);

    const auto lines = messages();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "bluetooth state: resetting"), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "scan started: wildcard, duplicates on, signatures v0"), 2);
    model->stopScanning();
    EXPECT_TRUE(QTest::qWaitFor([&] { return mock.discoverySessions(hci0).isEmpty(); }, 10000));
    model.reset();  // before the bus it uses goes
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
