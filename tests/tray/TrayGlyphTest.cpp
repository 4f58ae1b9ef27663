#include "tray/TrayGlyph.h"

#include <gtest/gtest.h>

#include "app/DesignSystem.h"

namespace glintward {
namespace {

TEST(TrayGlyphTest, ColourIdleUnlessScanningWithBluetoothOnThenByThreatLevel) {
    struct Case {
        bool scanning;
        ThreatLevel level;
        bool bluetoothOff;
        QRgb color;
    };
    const Case cases[] = {
        {false, ThreatLevel::DETECTED, false, Palette::stateIdle},
        {true, ThreatLevel::DETECTED, true, Palette::stateIdle},
        {true, ThreatLevel::CLEAR, false, Palette::stateClear},
        {true, ThreatLevel::POSSIBLE, false, Palette::statePossible},
        {true, ThreatLevel::DETECTED, false, Palette::stateLikely},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TrayGlyph::color(c.scanning, c.level, c.bluetoothOff), c.color)
            << c.scanning << " " << c.level << " " << c.bluetoothOff;
    }
}

// Straight up from the centre: transparent corner, the faint ring, the gap, the solid dot.
TEST(TrayGlyphTest, RingAt45PercentAroundASolidDotCrispAtEverySize) {
    const QRgb likely = Palette::stateLikely;
    for (int pixels : {16, 22, 32, 44, 64}) {
        SCOPED_TRACE(pixels);
        const QImage image = TrayGlyph::render(likely, pixels).convertToFormat(QImage::Format_ARGB32);
        ASSERT_EQ(image.size(), QSize(pixels, pixels));
        const int c = pixels / 2;
        EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);
        EXPECT_EQ(image.pixel(c, c), likely | 0xff000000);

        // Walk down the column just right of the centre line. Snapped to whole pixels, every row is clearly
        // empty, ring (45 %) or dot (full): no blurred half-covered rows.
        std::string rows;
        for (int y = 0; y <= c; ++y) {
            const int alpha = qAlpha(image.pixel(c, y));
            if (alpha <= 20) {
                rows += '.';
            } else if (std::abs(alpha - 115) <= 15) {
                rows += 'r';
                EXPECT_NEAR(qRed(image.pixel(c, y)), qRed(likely), 3) << "row " << y;
            } else if (alpha >= 225) {
                rows += 'd';
            } else {
                rows += '?';
            }
        }
        const int stroke = std::max(1, static_cast<int>(std::lround(pixels / 16.0)));
        const auto ringTop = rows.find('r');
        const auto dotTop = rows.find('d');
        ASSERT_NE(ringTop, std::string::npos) << rows;
        ASSERT_NE(dotTop, std::string::npos) << rows;
        EXPECT_EQ(rows.find('?'), std::string::npos) << rows;
        EXPECT_EQ(rows.find_last_of('r') - ringTop + 1, std::size_t(stroke)) << rows;
        EXPECT_LT(rows.find_last_of('r') + 1, dotTop) << "no gap between ring and dot: " << rows;
        // The ring spans about 13/16 of the frame, the dot about 5/16.
        EXPECT_NEAR(pixels - 2.0 * ringTop, 13.0 * pixels / 16, 1.01) << rows;
        EXPECT_NEAR(2.0 * (c - dotTop), 5.0 * pixels / 16, 1.01) << rows;
    }
}

TEST(TrayGlyphTest, IconOffersTheTraySizesAndTheirDoubles) {
    const QIcon icon = TrayGlyph::icon(Palette::stateClear);
    const QList<QSize> sizes = icon.availableSizes();
    for (int pixels : {16, 22, 32, 44, 64}) EXPECT_TRUE(sizes.contains(QSize(pixels, pixels))) << pixels;
    const QImage drawn = icon.pixmap(QSize(22, 22)).toImage().convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(drawn.pixel(11, 11), Palette::stateClear | 0xff000000);
}

}  // namespace
}  // namespace glintward
