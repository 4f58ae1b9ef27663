#include "shared/detection/RssiSmoother.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace glintward {
namespace {

TEST(RssiSmoother, FirstReadingUnchangedThenExactBlend) {
    RssiSmoother s(0.3);
    EXPECT_EQ(s.smoothedRssi(), 0.0);
    EXPECT_EQ(s.update(-60), -60.0);
    EXPECT_EQ(s.update(-70), -63.0);
    EXPECT_EQ(s.update(-50), -59.099999999999994);  // the other algebraic form gives -59.1

    RssiSmoother latest(1.0), first(0.0);
    for (int r : {-40, -90, -70}) {
        latest.update(r);
        first.update(r);
    }
    EXPECT_EQ(latest.smoothedRssi(), -70.0);
    EXPECT_EQ(first.smoothedRssi(), -40.0);
}

TEST(RssiSmoother, DistanceAndProximity) {
    struct Case {
        double rssi;
        std::optional<std::int32_t> txPower;
        double metres;
        Proximity proximity;
    };
    const Case cases[] = {
        {-59.0, std::nullopt, 1.0, Proximity::IMMEDIATE}, {-79.0, std::nullopt, 10.0, Proximity::FAR},
        {-39.0, std::nullopt, 0.1, Proximity::IMMEDIATE}, {-49.0, std::nullopt, 0.316, Proximity::IMMEDIATE},
        {-62.0, std::nullopt, 1.41, Proximity::IMMEDIATE}, {-63.0, std::nullopt, 1.58, Proximity::NEAR},
        {-74.0, std::nullopt, 5.62, Proximity::NEAR},      {-75.0, std::nullopt, 6.31, Proximity::FAR},
        {-70.0, -70, 1.0, Proximity::IMMEDIATE},
    };
    for (const auto& c : cases) {
        const double d = RssiSmoother::estimateDistanceMeters(c.rssi, c.txPower);
        EXPECT_NEAR(d, c.metres, 0.005) << c.rssi;
        EXPECT_EQ(RssiSmoother::proximityFor(d), c.proximity) << c.rssi;
    }
    EXPECT_EQ(RssiSmoother::estimateDistanceMeters(-59.0, std::nullopt), 1.0);  // exactly

    EXPECT_EQ(RssiSmoother::proximityFor(0.0), Proximity::IMMEDIATE);
    EXPECT_EQ(RssiSmoother::proximityFor(1.5), Proximity::NEAR);
    EXPECT_EQ(RssiSmoother::proximityFor(6.0), Proximity::FAR);
    EXPECT_EQ(RssiSmoother::proximityFor(std::nan("")), Proximity::FAR);
    EXPECT_EQ(RssiSmoother::proximityFor(HUGE_VAL), Proximity::FAR);
}

// The band told without the power is the band of the distance, across the range, up to the last double on
// either side of each limit, and for values beyond any number.
TEST(RssiSmoother, ProximityAtIsTheProximityOfTheDistance) {
    const auto agrees = [](double rssi, std::optional<std::int32_t> tx) {
        return RssiSmoother::proximityAt(rssi, tx) ==
               RssiSmoother::proximityFor(RssiSmoother::estimateDistanceMeters(rssi, tx));
    };
    for (const std::optional<std::int32_t> tx : {std::optional<std::int32_t>{}, std::optional<std::int32_t>{-70},
                                                  std::optional<std::int32_t>{0}, std::optional<std::int32_t>{-127}}) {
        const double power = tx.value_or(RssiSmoother::DEFAULT_TX_POWER_DBM);
        for (double rssi = -200.0; rssi <= 100.0; rssi += 0.0625) EXPECT_TRUE(agrees(rssi, tx)) << rssi;
        for (const double metres : {1.5, 6.0}) {
            double rssi = power - 20.0 * std::log10(metres);
            for (int i = 0; i < 64; ++i) rssi = std::nextafter(rssi, -HUGE_VAL);
            for (int i = 0; i < 128; ++i, rssi = std::nextafter(rssi, HUGE_VAL)) {
                EXPECT_TRUE(agrees(rssi, tx)) << std::hexfloat << rssi;
            }
        }
        for (const double odd : {std::nan(""), HUGE_VAL, -HUGE_VAL}) EXPECT_TRUE(agrees(odd, tx)) << odd;
    }
}

}  // namespace
}  // namespace glintward
