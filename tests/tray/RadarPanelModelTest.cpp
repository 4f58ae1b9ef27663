#include "tray/RadarPanelModel.h"

#include <gtest/gtest.h>
#include <QSignalSpy>

#include "app/DesignSystem.h"

namespace glintward {
namespace {

Detection detection(std::string address, bool engineMuted = false) {
    return Detection{std::move(address), "Ray-Ban Meta", "Meta", 0.9, -60, 2, Proximity::NEAR, 0, 0,
                     engineMuted};
}

// The button decides from the model's state at the tap, whatever the page last drew.
TEST(RadarPanelModelTest, StartStopFollowsTheModelsStateAtTheTap) {
    bool modelScanning = false;
    int starts = 0;
    int stops = 0;
    RadarPanelModel::Actions actions;
    actions.isScanning = [&] { return modelScanning; };
    actions.startScanning = [&] { ++starts; };
    actions.stopScanning = [&] { ++stops; };
    RadarPanelModel panel(actions);
    panel.apply(RadarState{}, {}, false);
    ASSERT_FALSE(panel.scanning());

    modelScanning = true;  // published by the model, not yet drawn
    panel.toggleScanning();
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(starts, 0);
    modelScanning = false;
    panel.toggleScanning();
    EXPECT_EQ(starts, 1);
}

TEST(RadarPanelModelTest, PublishingTheSamePictureChangesNothingVisible) {
    RadarPanelModel panel({});
    RadarState state{true, ThreatLevel::DETECTED, {detection("a"), detection("b")}, {}, std::nullopt};
    panel.apply(state, {}, false);
    QSignalSpy presentation(&panel, &RadarPanelModel::presentationChanged);
    QSignalSpy rows(panel.detections(), &QAbstractItemModel::dataChanged);
    QSignalSpy blips(panel.blips(), &QAbstractItemModel::rowsInserted);
    state.detections[0].smoothedRssi = -55;
    panel.apply(state, {}, false);
    EXPECT_EQ(presentation.count(), 0);
    EXPECT_EQ(rows.count(), 1);
    EXPECT_EQ(blips.count(), 0);
    EXPECT_EQ(panel.statusLabel(), QStringLiteral("Smart glasses likely nearby"));
    EXPECT_EQ(panel.statusColor(), QColor(Palette::stateLikely));
    EXPECT_EQ(panel.detectionCount(), 2);
}

TEST(RadarPanelModelTest, BlipsOnePerUnmutedDetectionNoneWithBluetoothOff) {
    RadarPanelModel panel({});
    const RadarState state{
        true,
        ThreatLevel::DETECTED,
        {detection("a"), detection("b", true), detection("c"), detection("d"), detection("e")},
        {},
        std::nullopt};
    panel.apply(state, Set<std::string>{"e"}, false);
    EXPECT_EQ(panel.blips()->rows(), (std::vector<double>{-60, 14, 88}));
    EXPECT_EQ(panel.detectionCount(), 5);
    EXPECT_TRUE(panel.dialScanning());
    panel.apply(state, Set<std::string>{"e"}, true);
    EXPECT_TRUE(panel.blips()->rows().empty());
    EXPECT_FALSE(panel.dialScanning());
    EXPECT_EQ(panel.titleColor(), QColor(Palette::textPrimary));
}

}  // namespace
}  // namespace glintward
