#include "shared/detection/Records.h"

#include <gtest/gtest.h>

namespace glintward {
namespace {

Detection sampleDetection() {
    return Detection{"AA", "Ray-Ban Meta glasses", "Meta / Ray-Ban", 0.9, -60.0, 1.0e7, Proximity::FAR, 10, 20,
                     false};
}

TEST(DetectionRecords, TextForms) {
    EXPECT_EQ(BleAdvertisement("addr", std::nullopt, {1422, 76}, {"0000fd5f-0000-1000-8000-00805f9b34fb"}, -60,
                               std::nullopt, 1700000000000)
                  .toString(),
              "BleAdvertisement(address=addr, name=null, manufacturerCompanyIds=[1422, 76], "
              "serviceUuids=[0000fd5f-0000-1000-8000-00805f9b34fb], rssi=-60, txPower=null, "
              "timestampMs=1700000000000)");
    EXPECT_EQ(sampleDetection().toString(),
              "Detection(address=AA, displayName=Ray-Ban Meta glasses, brand=Meta / Ray-Ban, confidence=0.9, "
              "smoothedRssi=-60.0, estimatedDistanceMeters=1.0E7, proximity=FAR, firstSeenMs=10, lastSeenMs=20, "
              "muted=false)");
    EXPECT_EQ(SessionLogEntry("AA", "N", "B", 1, 2, -40).toString(),
              "SessionLogEntry(address=AA, displayName=N, brand=B, firstSeenMs=1, lastSeenMs=2, strongestRssi=-40)");
    EXPECT_EQ(RadarState{}.toString(),
              "RadarState(scanning=false, threatLevel=CLEAR, detections=[], sessionLog=[], lastError=null)");
}

TEST(DetectionRecords, AbsentNameHashesAsZeroAndSignedZerosDiffer) {
    const BleAdvertisement unnamed("a", std::nullopt, {}, {}, -50, std::nullopt, 7);
    std::int32_t expected = record::hashText("a");
    for (std::int32_t field : {0, 1, 1, -50, 0, 7}) expected = record::combine(expected, field);
    EXPECT_EQ(unnamed.hashCode(), expected);

    Detection a = sampleDetection();
    Detection b = a;
    a.smoothedRssi = 0.0;
    b.smoothedRssi = -0.0;
    EXPECT_NE(a, b);
    EXPECT_NE(a.hashCode(), b.hashCode());

    Detection muted = sampleDetection();
    muted.muted = true;
    EXPECT_NE(muted, sampleDetection());
    muted.muted = false;
    EXPECT_EQ(muted, sampleDetection());
}

TEST(DetectionRecords, EnumerationsInDeclaredOrder) {
    EXPECT_EQ(values<Proximity>(), (std::array{Proximity::IMMEDIATE, Proximity::NEAR, Proximity::FAR}));
    EXPECT_EQ(values<ThreatLevel>(),
              (std::array{ThreatLevel::CLEAR, ThreatLevel::POSSIBLE, ThreatLevel::DETECTED}));
    EXPECT_EQ(name(ThreatLevel::POSSIBLE), "POSSIBLE");
    EXPECT_EQ(ordinal(Proximity::FAR), 2);
}

}  // namespace
}  // namespace glintward
