#include "shared/detection/Alerting.h"

#include <cmath>

#include <gtest/gtest.h>

#include "shared/detection/ResolutionGate.h"

namespace glintward {
namespace {

Detection detection(double confidence, Proximity proximity, bool muted = false) {
    return Detection{"a", "N", "B", confidence, -60, 1, proximity, 0, 0, muted};
}

TEST(AlertThreshold, PermitsByProximity) {
    EXPECT_EQ(values<AlertThreshold>(),
              (std::array{AlertThreshold::VERY_CLOSE, AlertThreshold::IN_THE_ROOM, AlertThreshold::ANY_DISTANCE}));
    const bool expected[3][3] = {{true, false, false}, {true, true, false}, {true, true, true}};
    for (auto t : values<AlertThreshold>()) {
        for (auto p : values<Proximity>()) {
            EXPECT_EQ(permits(t, p), expected[ordinal(t)][ordinal(p)]) << name(t) << " " << name(p);
        }
    }
}

TEST(AlertPolicy, GradesTheAdmittedDetections) {
    struct Case {
        std::vector<Detection> detections;
        AlertThreshold threshold;
        ThreatLevel expected;
    };
    const Case cases[] = {
        {{}, AlertThreshold::ANY_DISTANCE, ThreatLevel::CLEAR},
        {{detection(0.95, Proximity::NEAR, true)}, AlertThreshold::ANY_DISTANCE, ThreatLevel::CLEAR},
        {{detection(0.95, Proximity::NEAR)}, AlertThreshold::VERY_CLOSE, ThreatLevel::CLEAR},
        {{detection(0.95, Proximity::NEAR)}, AlertThreshold::IN_THE_ROOM, ThreatLevel::DETECTED},
        {{detection(0.95, Proximity::FAR)}, AlertThreshold::IN_THE_ROOM, ThreatLevel::CLEAR},
        {{detection(0.95, Proximity::FAR)}, AlertThreshold::ANY_DISTANCE, ThreatLevel::DETECTED},
        {{detection(0.85, Proximity::IMMEDIATE)}, AlertThreshold::VERY_CLOSE, ThreatLevel::DETECTED},
        {{detection(0.5, Proximity::IMMEDIATE)}, AlertThreshold::VERY_CLOSE, ThreatLevel::POSSIBLE},
        {{detection(0.6, Proximity::IMMEDIATE)}, AlertThreshold::VERY_CLOSE, ThreatLevel::POSSIBLE},
        {{detection(0.49, Proximity::IMMEDIATE)}, AlertThreshold::VERY_CLOSE, ThreatLevel::CLEAR},
        {{detection(std::nan(""), Proximity::IMMEDIATE), detection(0.9, Proximity::IMMEDIATE)},
         AlertThreshold::VERY_CLOSE, ThreatLevel::CLEAR},  // NaN is the top, and grades clear
        {{detection(0.95, Proximity::NEAR, true), detection(0.6, Proximity::NEAR)}, AlertThreshold::IN_THE_ROOM,
         ThreatLevel::POSSIBLE},
    };
    for (const auto& c : cases) {
        // The state's own level and scanning flag play no part.
        const RadarState state{false, ThreatLevel::DETECTED, c.detections, {}, std::nullopt};
        EXPECT_EQ(AlertPolicy::shared().alertableThreatLevel(state, c.threshold), c.expected)
            << ::testing::PrintToString(c.detections) << " " << name(c.threshold);
    }
}

// Each step: level passed, time, expected answer.
using Steps = std::vector<std::tuple<ThreatLevel, std::int64_t, bool>>;

void run(AlertGate gate, const Steps& steps) {
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const auto& [level, now, expected] = steps[i];
        EXPECT_EQ(gate.shouldAlert(level, now), expected) << "step " << i;
    }
}

constexpr auto C = ThreatLevel::CLEAR;
constexpr auto P = ThreatLevel::POSSIBLE;
constexpr auto D = ThreatLevel::DETECTED;

TEST(AlertGate, OneAlertPerRiseOutsideTheCooldown) {
    run(AlertGate(60000), {{P, 1000, true}, {D, 1001, false}, {D, 1002, false}, {C, 2000, false}});
    run(AlertGate(60000), {{D, 0, true}, {C, 10, false}, {D, 60000, false}, {C, 60001, false}, {D, 60001, true}});
    // A suppressed rise is used up and does not extend the cooldown.
    run(AlertGate(60000), {{D, 0, true}, {C, 1, false}, {D, 30000, false}, {D, 90000, false}, {C, 91000, false},
                           {P, 92000, true}});
    // CLEAR never alerts and never starts a cooldown.
    run(AlertGate(60000), {{C, 0, false}, {C, 1, false}, {P, 2, true}});
    // A clock set back suppresses until it is past the cooldown again.
    run(AlertGate(100), {{D, 1000, true}, {C, 1, false}, {D, 500, false}, {C, 2, false}, {D, 1100, false},
                         {C, 3, false}, {D, 1101, true}});
    run(AlertGate(0), {{D, 5, true}, {C, 5, false}, {D, 5, false}, {C, 6, false}, {D, 6, true}});
    // A difference past the 64-bit range wraps (to -1 here) instead of being undefined.
    run(AlertGate(60000), {{D, INT64_MIN, true}, {C, 0, false}, {D, INT64_MAX, false}});
}

TEST(ResolutionGate, ReportsOnceAfterAQuietPeriod) {
    ResolutionGate gate(ResolutionGate::QUIET_MS_DEFAULT);
    EXPECT_EQ(gate.poll(C, 0), std::nullopt);
    EXPECT_EQ(gate.poll(C, 10'000'000), std::nullopt);

    gate.onAlerted("A");
    EXPECT_EQ(gate.poll(C, 0), std::nullopt);
    EXPECT_EQ(gate.poll(C, 599999), std::nullopt);
    EXPECT_EQ(gate.poll(C, 600000), "A");
    EXPECT_EQ(gate.poll(C, 700000), std::nullopt);

    // A raised level restarts the quiet period from the next CLEAR poll.
    gate.onAlerted("A");
    gate.poll(C, 0);
    gate.poll(P, 100);
    gate.poll(C, 200);
    EXPECT_EQ(gate.poll(C, 600199), std::nullopt);
    EXPECT_EQ(gate.poll(C, 600200), "A");

    gate.onAlerted("A");
    gate.onAlerted("B");
    EXPECT_EQ(gate.poll(C, 0), std::nullopt);
    EXPECT_EQ(gate.poll(C, 600000), "B");

    gate.onAlerted("A");
    gate.reset();
    EXPECT_EQ(gate.poll(C, 0), std::nullopt);
    EXPECT_EQ(gate.poll(C, 600000), std::nullopt);

    ResolutionGate immediate(0);
    immediate.onAlerted("X");
    EXPECT_EQ(immediate.poll(D, 0), std::nullopt);
    EXPECT_EQ(immediate.poll(C, 1), "X");

    ResolutionGate backwards(1000);
    backwards.onAlerted("Y");
    backwards.poll(C, 5000);
    EXPECT_EQ(backwards.poll(C, 100), std::nullopt);
    EXPECT_EQ(backwards.poll(C, 6000), "Y");
}

}  // namespace
}  // namespace glintward
