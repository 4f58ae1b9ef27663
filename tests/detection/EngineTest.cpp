#include "shared/detection/DetectionEngine.h"

#include <gtest/gtest.h>

#include <random>

#include "shared/detection/Alerting.h"

namespace glintward {
namespace {

class EngineTest : public ::testing::Test {
protected:
    std::shared_ptr<const SignatureDatabase> db = SignatureDatabase::builtIn();
    MatchOptions options{{}, true};
    int catalogueCalls = 0;
    DetectionEngine engine{DetectionEngine::STALE_AFTER_MS_DEFAULT,
                           [this] {
                               ++catalogueCalls;
                               return db;
                           },
                           [this] { return options; }};

    // Name "rayban" matches at 0.9; with company id 1422 at 0.95; "Oakley" and "spectacles" at 0.9 for other
    // signatures; a bare company id at 0.6.
    std::optional<SignatureMatch> hear(const std::string& address, std::optional<std::string> name, int rssi,
                                       std::int64_t t, std::vector<std::int32_t> companies = {},
                                       std::optional<std::int32_t> txPower = std::nullopt) {
        return engine.onAdvertisement(
            BleAdvertisement{address, std::move(name), std::move(companies), {}, rssi, txPower, t});
    }
    RadarState state(Set<std::string> muted = {}) const { return engine.currentState(true, muted); }
};

TEST_F(EngineTest, NonMatchingAdvertisementRecordsNothing) {
    const RadarState before = state();
    EXPECT_FALSE(hear("a", "iPhone", -40, 1, {76}));
    EXPECT_EQ(state(), before);
    EXPECT_EQ(catalogueCalls, 1);
}

TEST_F(EngineTest, TracksSmoothsAndLogsOneDevice) {
    const auto m = hear("a", "rayban", -60, 1000);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->confidence, 0.9);
    RadarState s = state();
    ASSERT_EQ(s.detections.size(), 1u);
    EXPECT_EQ(s.detections[0], (Detection{"a", "Ray-Ban Meta glasses", "Meta / Ray-Ban", 0.9, -60.0,
                                           RssiSmoother::estimateDistanceMeters(-60.0, std::nullopt),
                                           Proximity::IMMEDIATE, 1000, 1000, false}));
    EXPECT_EQ(s.sessionLog, (std::vector<SessionLogEntry>{{"a", "Ray-Ban Meta glasses", "Meta / Ray-Ban", 1000, 1000, -60}}));
    EXPECT_EQ(s.threatLevel, ThreatLevel::DETECTED);

    hear("a", "rayban", -70, 2000, {}, -70);
    hear("a", "rayban", -70, 1500);  // no transmit power: the last one stays; an earlier time is taken as is
    s = state();
    EXPECT_EQ(s.detections[0].smoothedRssi, ((1.0 - 0.3) * -63.0) + (-70 * 0.3));
    EXPECT_EQ(s.detections[0].estimatedDistanceMeters,
              RssiSmoother::estimateDistanceMeters(s.detections[0].smoothedRssi, -70));
    EXPECT_EQ(s.detections[0].firstSeenMs, 1000);
    EXPECT_EQ(s.detections[0].lastSeenMs, 1500);
    EXPECT_EQ(s.sessionLog[0].strongestRssi, -60);
    EXPECT_EQ(s.sessionLog[0].lastSeenMs, 1500);
}

TEST_F(EngineTest, BestMatchIsKeptUntilAStrictlyBetterOne) {
    hear("a", "Oakley", -60, 1);
    const auto own = hear("a", "rayban", -60, 2, {1422});
    EXPECT_EQ(own->signature->id, "rayban-meta");
    EXPECT_EQ(state().detections[0].displayName, "Ray-Ban Meta glasses");
    // A weaker match is returned as the advertisement's own but does not replace the tracked one.
    EXPECT_EQ(hear("a", "Oakley", -60, 3)->signature->id, "oakley-meta");
    EXPECT_EQ(state().detections[0].confidence, 0.95);
    EXPECT_EQ(state().sessionLog[0].displayName, "Ray-Ban Meta glasses");

    hear("b", "Oakley", -60, 1);
    hear("b", "spectacles", -60, 2);  // an equal confidence keeps the earlier signature
    EXPECT_EQ(state().detections[1].displayName, "Oakley Meta glasses");
}

TEST_F(EngineTest, PruneDropsOnlyDevicesSilentForLongerThanTheLimit) {
    hear("a", "rayban", -60, 1000);
    engine.prune(31000);
    EXPECT_EQ(state().detections.size(), 1u);
    engine.prune(31001);
    EXPECT_TRUE(state().detections.empty());
    EXPECT_EQ(state().sessionLog.size(), 1u);

    // Heard again: tracked afresh with a new first time and smoother, while the log keeps the run's first time.
    hear("b", "rayban", -80, 40000);
    hear("a", "rayban", -80, 50000);
    const RadarState s = state();
    ASSERT_EQ(s.detections.size(), 2u);
    EXPECT_EQ(s.detections[0].address, "b");  // equal RSSI: the order in which tracking began
    EXPECT_EQ(s.detections[1].firstSeenMs, 50000);
    EXPECT_EQ(s.detections[1].smoothedRssi, -80.0);
    EXPECT_EQ(s.sessionLog[0].address, "a");
    EXPECT_EQ(s.sessionLog[0].firstSeenMs, 1000);
    EXPECT_EQ(s.sessionLog[0].strongestRssi, -60);
}

TEST_F(EngineTest, DetectionsSortUnmutedFirstThenStrongest) {
    hear("weak", "rayban", -80, 1);
    hear("strong", "rayban", -60, 1);
    hear("muted", "rayban", -50, 1);
    const RadarState s = state({"muted"});
    std::vector<std::string> order;
    for (const auto& d : s.detections) order.push_back(d.address);
    EXPECT_EQ(order, (std::vector<std::string>{"strong", "weak", "muted"}));
    EXPECT_TRUE(s.detections[2].muted);
    EXPECT_EQ(engine.currentState(false, {"muted"}).detections, s.detections);
    EXPECT_FALSE(engine.currentState(false, {}).scanning);
}

TEST_F(EngineTest, ThreatLevelCountsOnlyUnmutedDetections) {
    EXPECT_EQ(state().threatLevel, ThreatLevel::CLEAR);
    hear("glasses", "rayban", -60, 1, {1422});
    hear("unknown", std::nullopt, -60, 1, {1422});
    EXPECT_EQ(state().threatLevel, ThreatLevel::DETECTED);
    EXPECT_EQ(state({"glasses"}).threatLevel, ThreatLevel::POSSIBLE);
    EXPECT_EQ(state({"glasses", "unknown"}).threatLevel, ThreatLevel::CLEAR);
    EXPECT_EQ(state({"GLASSES"}).threatLevel, ThreatLevel::DETECTED);  // addresses compare exactly
}

TEST_F(EngineTest, OptionsAndCatalogueAreReadOnEveryAdvertisement) {
    options.matchUnknownIds = false;
    EXPECT_FALSE(hear("a", std::nullopt, -60, 1, {1422}));
    options.matchUnknownIds = true;
    EXPECT_TRUE(hear("a", std::nullopt, -60, 2, {1422}));
    db = std::make_shared<const SignatureDatabase>(1, std::vector<DeviceSignature>{}, std::vector<Pattern>{});
    EXPECT_FALSE(hear("a", "rayban", -60, 3));
    EXPECT_EQ(state().detections[0].lastSeenMs, 2);
}

TEST_F(EngineTest, ClearSessionLogAndReset) {
    hear("a", "rayban", -50, 1);
    engine.clearSessionLog();
    EXPECT_TRUE(state().sessionLog.empty());
    EXPECT_EQ(state().detections.size(), 1u);
    hear("a", "rayban", -70, 9);
    EXPECT_EQ(state().sessionLog, (std::vector<SessionLogEntry>{{"a", "Ray-Ban Meta glasses", "Meta / Ray-Ban", 9, 9, -70}}));
    engine.reset();
    EXPECT_TRUE(state().sessionLog.empty());
    EXPECT_TRUE(state().detections.empty());
}

// A flood of made-up addresses costs bounded memory: past the cap those heard least recently make room, so a
// pair of glasses that keeps advertising stays however many addresses pass.
TEST_F(EngineTest, TrackedDevicesStayWithinTheCapAndThoseHeardLeastRecentlyGo) {
    constexpr std::size_t MAX = DetectionEngine::TRACKED_DEVICES_MAX;
    constexpr std::size_t DROPPED = DetectionEngine::TRACKED_DEVICES_DROPPED;
    std::int64_t t = 0;
    hear("glasses", "rayban", -50, ++t);
    for (std::size_t i = 0; i < MAX + 10; ++i) {
        hear("made-up-" + std::to_string(i), std::nullopt, -70, ++t, {1422});
        if (i % 100 == 0) hear("glasses", "rayban", -50, ++t);
        if (i == 1000) hear("made-up-0", std::nullopt, -70, ++t, {1422});
    }
    const RadarState s = state();
    // Full at the glasses and MAX - 1 made-up ones; the next made DROPPED room, and ten more came.
    ASSERT_EQ(s.detections.size(), MAX - DROPPED + 11);
    EXPECT_EQ(s.detections[0].address, "glasses");
    EXPECT_EQ(s.detections[0].firstSeenMs, 1);
    // Those left keep the order in which they began tracking: made-up-0 was heard again after the ones that went.
    EXPECT_EQ(s.detections[1].address, "made-up-0");
    EXPECT_EQ(s.detections[2].address, "made-up-" + std::to_string(DROPPED + 1));
    EXPECT_EQ(s.detections.back().address, "made-up-" + std::to_string(MAX + 9));
    EXPECT_EQ(s.threatLevel, ThreatLevel::DETECTED);
    EXPECT_EQ(engine.trackedCount(), s.detections.size());
    // The counted levels let go of the devices that made room as of those pruned.
    const auto all = [](Proximity) { return true; };
    EXPECT_EQ(engine.threatLevel({"glasses"}, all), ThreatLevel::POSSIBLE);
    engine.prune(t + DetectionEngine::STALE_AFTER_MS_DEFAULT + 1);
    EXPECT_EQ(engine.trackedCount(), 0u);
    EXPECT_EQ(engine.threatLevel({}, all), ThreatLevel::CLEAR);
}

// Past its cap the log drops, in one go, the entries heard least recently, and keeps the others in the order
// in which they were first logged, with their first times; filling up is told once until the log is cleared.
TEST_F(EngineTest, SessionLogStaysWithinItsCapKeepingTheEntriesHeardLately) {
    constexpr std::size_t MAX = DetectionEngine::SESSION_LOG_MAX;
    constexpr std::size_t DROPPED = DetectionEngine::SESSION_LOG_DROPPED;
    std::int64_t t = 0;
    hear("glasses", "rayban", -50, ++t);
    for (std::size_t i = 0; i < MAX; ++i) {
        hear("made-up-" + std::to_string(i), std::nullopt, -70, ++t, {1422});
        if (i == 2000) hear("made-up-0", std::nullopt, -40, ++t, {1422});
        if (i % 500 == 0) hear("glasses", "rayban", -60, ++t);
        EXPECT_EQ(engine.takeSessionLogFull(), i == MAX - 1) << i;
    }
    const SharedList<SessionLogEntry> log = state().sessionLog;
    ASSERT_EQ(log.size(), MAX - DROPPED + 1);
    EXPECT_EQ(log[0].address, "glasses");
    EXPECT_EQ(log[0].firstSeenMs, 1);
    EXPECT_EQ(log[0].strongestRssi, -50);
    EXPECT_EQ(log[1].address, "made-up-0");  // heard again later than the thousand after it
    EXPECT_EQ(log[1].strongestRssi, -40);
    EXPECT_EQ(log[2].address, "made-up-" + std::to_string(DROPPED + 1));
    EXPECT_EQ(log.back().address, "made-up-" + std::to_string(MAX - 1));
    // Entries still update in place after the log was rebuilt.
    hear("made-up-" + std::to_string(MAX - 1), std::nullopt, -30, ++t, {1422});
    EXPECT_EQ(state().sessionLog.back().strongestRssi, -30);
    EXPECT_EQ(state().sessionLog.size(), MAX - DROPPED + 1);

    for (std::size_t i = 0; i < DROPPED; ++i) hear("more-" + std::to_string(i), std::nullopt, -70, ++t, {1422});
    EXPECT_FALSE(engine.takeSessionLogFull());  // told once per filling
    engine.clearSessionLog();
    for (std::size_t i = 0; i <= MAX; ++i) hear("again-" + std::to_string(i), std::nullopt, -70, ++t, {1422});
    EXPECT_TRUE(engine.takeSessionLogFull());
}

// The threat levels the engine keeps count of agree with those of the state it composes, for any threshold and
// muted set, through tracking, pruning, tracking afresh and changes of distance.
TEST_F(EngineTest, CountedThreatLevelsAgreeWithTheComposedState) {
    std::mt19937 rng(11);
    const std::vector<std::optional<std::string>> names = {"rayban", "Oakley", std::nullopt};
    std::int64_t t = 0;
    for (int step = 0; step < 3000; ++step) {
        const std::string address = "d" + std::to_string(rng() % 40);
        const auto& name = names[rng() % names.size()];
        std::optional<std::int32_t> tx;
        if (rng() % 3 == 0) tx = -40 - static_cast<int>(rng() % 40);
        t += static_cast<std::int64_t>(rng() % 2000);
        hear(address, name, -30 - static_cast<int>(rng() % 70), t, {1422}, tx);
        if (rng() % 50 == 0) engine.prune(t);
        std::vector<std::string> mutedList;
        for (int i = 0; i < 40; ++i) {
            if (rng() % 8 == 0) mutedList.push_back("d" + std::to_string(i));
        }
        const Set<std::string> muted(mutedList);
        const RadarState s = state(muted);
        ASSERT_EQ(engine.threatLevel(muted, [](Proximity) { return true; }), s.threatLevel) << step;
        for (AlertThreshold threshold : values<AlertThreshold>()) {
            ASSERT_EQ(engine.threatLevel(muted, [&](Proximity p) { return permits(threshold, p); }),
                      AlertPolicy::shared().alertableThreatLevel(s, threshold))
                << step << " " << threshold;
        }
    }
}

TEST(TotalOrder, MatchesJavaDoubleCompare) {
    EXPECT_LT(compareTotal(-0.0, 0.0), 0);
    EXPECT_GT(compareTotal(std::nan(""), HUGE_VAL), 0);
    EXPECT_EQ(compareTotal(std::nan(""), -std::nan("")), 0);
    EXPECT_LT(compareTotal(-1.0, 2.0), 0);
    EXPECT_EQ(compareTotal(3.0, 3.0), 0);
}

}  // namespace
}  // namespace glintward
