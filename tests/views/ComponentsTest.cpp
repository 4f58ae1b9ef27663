// The building blocks and the dial loaded as QML in an offscreen window: what they show, where, and how
// they answer a tap.
#include <gtest/gtest.h>
#include <QFontInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QTest>

#include "app/DesignSystem.h"
#include "app/Views/BlipField.h"
#include "tests/uisupport/QuickTesting.h"

namespace glintward {
namespace {

using namespace glintward::testing;

QColor rgb(QRgb value) {
    return QColor(value);
}

TEST(KickerTest, HeadingUpperCasedAtTheLeadingEdgeTrailingKeptAsGiven) {
    auto scene = loadScene(R"(
        import Glintward.Views
        import QtQuick
        Column {
            width: 300
            Kicker { objectName: "counted"; width: 300; text: "Session log"; trailing: "0" }
            Kicker { objectName: "version"; width: 300; text: "Detection library"; trailing: "built-in" }
            Kicker { objectName: "bare"; width: 300; text: "Behavior" }
        })");
    ASSERT_TRUE(scene->root);
    const auto part = [&](const char* kicker, const char* name) {
        return findOne(findOne(scene->root, kicker), name);
    };
    EXPECT_EQ(text(part("counted", "kickerText")), "SESSION LOG");
    EXPECT_EQ(text(part("counted", "kickerTrailing")), "0");
    EXPECT_EQ(text(part("version", "kickerTrailing")), "built-in");
    EXPECT_EQ(text(part("bare", "kickerText")), "BEHAVIOR");
    EXPECT_FALSE(part("bare", "kickerTrailing")->isVisible());
    EXPECT_EQ(part("bare", "kickerText")->x(), 0);
    QQuickItem* trailing = part("counted", "kickerTrailing");
    EXPECT_DOUBLE_EQ(trailing->x() + trailing->width(), 300);
    EXPECT_EQ(color(part("counted", "kickerText")), rgb(Palette::textMuted));
    // The bundled face is what gets drawn, not a fallback.
    const QFont font = part("counted", "kickerText")->property("font").value<QFont>();
    EXPECT_EQ(QFontInfo(font).family(), "Martian Mono");
    EXPECT_NEAR(QFontInfo(font).pointSizeF() * QGuiApplication::primaryScreen()->logicalDotsPerInchY() / 72,
                9, 0.01);
    EXPECT_NEAR(font.letterSpacing(), 1.62, 1.0 / 64);  // Qt keeps spacing in 64ths
}

TEST(SwitchToggleTest, EachTapWritesTheNegationOnceAndTheKnobFollows) {
    auto scene = loadScene(R"(
        import Glintward.Views
        import QtQuick
        Item {
            property bool value: false
            property int writes: 0
            SwitchToggle { objectName: "toggle"; isOn: parent.value; onSwitched: (v) => { parent.value = v; parent.writes++ } }
        })");
    ASSERT_TRUE(scene->root);
    QQuickItem* toggle = findOne(scene->root, "toggle");
    QQuickItem* knob = findOne(toggle, "knob");
    EXPECT_EQ(toggle->width(), 34);
    EXPECT_EQ(toggle->height(), 20);
    EXPECT_EQ(knob->x(), 2);
    EXPECT_EQ(color(findOne(toggle, "track")), rgb(Palette::border));

    click(scene->window, toggle);
    EXPECT_TRUE(scene->root->property("value").toBool());
    EXPECT_EQ(scene->root->property("writes").toInt(), 1);
    EXPECT_TRUE(waitUntil([&] { return knob->x() == 16; })) << knob->x();
    EXPECT_TRUE(waitUntil([&] { return color(findOne(toggle, "track")) == rgb(Palette::chartreuse); }));
    EXPECT_TRUE(waitUntil([&] { return color(knob) == rgb(Palette::bgCard); }));

    click(scene->window, toggle);
    EXPECT_FALSE(scene->root->property("value").toBool());
    EXPECT_EQ(scene->root->property("writes").toInt(), 2);
    EXPECT_TRUE(waitUntil([&] { return knob->x() == 2; })) << knob->x();
}

TEST(ButtonStyleTest, LabelPlus24HighAndShrinksWhilePressed) {
    auto scene = loadScene(R"(
        import Glintward.Views
        import QtQuick
        import QtQuick.Layouts
        ColumnLayout {
            width: 300
            PrimaryButtonStyle { objectName: "primary"; text: "Start scanning" }
            SecondaryButtonStyle { objectName: "secondary"; text: "Quit Glintward" }
        })");
    ASSERT_TRUE(scene->root);
    for (const char* name : {"primary", "secondary"}) {
        SCOPED_TRACE(name);
        auto* button = findOne(scene->root, name);
        auto* label = button->property("contentItem").value<QQuickItem*>();
        ASSERT_TRUE(label);
        EXPECT_DOUBLE_EQ(button->height(), label->implicitHeight() + 24);
        EXPECT_DOUBLE_EQ(button->width(), 300);
        const QPoint centre = button->mapToScene({button->width() / 2, button->height() / 2}).toPoint();
        QTest::mousePress(&scene->window, Qt::LeftButton, Qt::NoModifier, centre);
        EXPECT_TRUE(waitUntil([&] { return button->scale() == 0.95; })) << button->scale();
        QTest::mouseRelease(&scene->window, Qt::LeftButton, Qt::NoModifier, centre);
        EXPECT_TRUE(waitUntil([&] { return button->scale() == 1.0; })) << button->scale();
    }
    auto* primary = findOne(scene->root, "primary")->property("contentItem").value<QQuickItem*>();
    auto* secondary = findOne(scene->root, "secondary")->property("contentItem").value<QQuickItem*>();
    EXPECT_EQ(color(primary), rgb(Palette::bgCard));
    EXPECT_EQ(color(secondary), rgb(Palette::textPrimary));
}

TEST(GroupedCardTest, DividerSpansTheCardsInnerWidth) {
    auto scene = loadScene(R"(
        import Glintward.Views
        import QtQuick
        import QtQuick.Layouts
        GroupedCard {
            width: 280
            Text { text: "one"; Layout.margins: 14 }
            RowDivider { objectName: "divider" }
            Text { text: "two"; Layout.margins: 14 }
        })");
    ASSERT_TRUE(scene->root);
    QQuickItem* divider = findOne(scene->root, "divider");
    EXPECT_DOUBLE_EQ(divider->width(), 280);
    EXPECT_DOUBLE_EQ(divider->height(), 1);
    EXPECT_EQ(color(divider), rgb(Palette::borderSubtle));
}

class RadarInstrumentTest : public ::testing::Test {
protected:
    void SetUp() override {
        scene = loadScene(R"(
            import Glintward.Views
            import QtQuick
            RadarInstrument { diameter: 170; scanning: false; statusColor: Palette.stateClear; bearings: [] })");
        ASSERT_TRUE(scene->root);
    }
    std::unique_ptr<Scene> scene;
};

TEST_F(RadarInstrumentTest, WithoutScanningNoWedgeButTheDiscStillPulses) {
    EXPECT_FALSE(findOne(scene->root, "sweepWedge")->isVisible());
    EXPECT_EQ(findAll(scene->root, "ring").size(), 3u);
    EXPECT_EQ(findOne(scene->root, "blips")->property("count").toInt(), 0);
    QQuickItem* disc = findOne(scene->root, "centreDisc");
    const qreal first = disc->width();
    EXPECT_TRUE(waitUntil([&] { return std::abs(disc->width() - first) > 0.1; }));
    EXPECT_GE(disc->width(), 0.18 * 170 * 0.94 - 1e-9);
    EXPECT_LE(disc->width(), 0.18 * 170 * 1.06 + 1e-9);

    scene->root->setProperty("scanning", true);
    QQuickItem* wedge = findOne(scene->root, "sweepWedge");
    EXPECT_TRUE(wedge->isVisible());
    EXPECT_TRUE(waitUntil([&] { return wedge->rotation() > 1; }));
    scene->root->setProperty("scanning", false);
    EXPECT_FALSE(wedge->isVisible());
    EXPECT_EQ(wedge->rotation(), 0);
}

TEST_F(RadarInstrumentTest, BlipsSitAtTheirBearingsInTheStatusColourAndPingEachFromItsFirstShowing) {
    scene->root->setProperty("bearings", QVariantList{0.0, 90.0});
    settle(scene->window);
    auto* blips = qobject_cast<BlipField*>(findOne(scene->root, "blips"));
    ASSERT_TRUE(blips);
    ASSERT_EQ(blips->count(), 2);
    const QPointF right = blips->mapToItem(scene->root, blips->centreOf(0));
    const QPointF below = blips->mapToItem(scene->root, blips->centreOf(1));
    EXPECT_NEAR(right.x(), 85 + 51, 1e-6);
    EXPECT_NEAR(right.y(), 85, 1e-6);
    EXPECT_NEAR(below.x(), 85, 1e-6);
    EXPECT_NEAR(below.y(), 85 + 51, 1e-6);
    // The dot is drawn over its ring, in the status colour.
    const QImage image = scene->window.grabWindow();
    EXPECT_EQ(image.pixelColor(right.toPoint()).rgb(), rgb(Palette::stateClear));
    EXPECT_EQ(image.pixelColor(below.toPoint()).rgb(), rgb(Palette::stateClear));

    // Each pings: its ring grows and fades with the dial's clock.
    const qreal ping = blips->pingOf(1);
    EXPECT_TRUE(waitUntil([&] { return blips->pingOf(1) > ping + 0.1; }));

    // A blip added later starts its own ping; those shown keep theirs, and so do those left when it goes.
    const qreal first = blips->pingStartOf(0);
    ASSERT_TRUE(waitUntil([&] { return blips->clock() > first + 100; }));
    scene->root->setProperty("bearings", QVariantList{0.0, 90.0, 180.0});
    EXPECT_EQ(blips->count(), 3);
    EXPECT_EQ(blips->pingStartOf(0), first);
    EXPECT_GT(blips->pingStartOf(2), first + 100);
    scene->root->setProperty("bearings", QVariantList{0.0});
    EXPECT_EQ(blips->count(), 1);
    EXPECT_EQ(blips->pingStartOf(0), first);
    scene->root->setProperty("bearings", QVariantList{});
    EXPECT_EQ(blips->count(), 0);
}

TEST_F(RadarInstrumentTest, ColourChangeFadesWithoutRestartingTheSweep) {
    scene->root->setProperty("scanning", true);
    QQuickItem* wedge = findOne(scene->root, "sweepWedge");
    ASSERT_TRUE(waitUntil([&] { return wedge->rotation() > 20; }));
    const qreal before = wedge->rotation();
    scene->root->setProperty("statusColor", rgb(Palette::stateLikely));
    QQuickItem* disc = findOne(scene->root, "centreDisc");
    EXPECT_NE(color(disc), rgb(Palette::stateLikely));
    EXPECT_TRUE(waitUntil([&] { return color(disc) == rgb(Palette::stateLikely); }));
    // Still turning on from where it was (or wrapped past 360), not started over.
    EXPECT_TRUE(wedge->rotation() > before || wedge->rotation() < before - 200)
        << before << " " << wedge->rotation();
    // And drawn in the new colour, read just behind the direction it points to.
    QColor behind;
    EXPECT_TRUE(waitUntil([&] {
        const qreal a = qDegreesToRadians(wedge->rotation() - 8);
        behind = scene->window.grabWindow().pixelColor(qRound(85 + 50 * std::cos(a)),
                                                       qRound(85 + 50 * std::sin(a)));
        return behind.red() > 2 * behind.green();
    })) << behind.name().toStdString();
}

// Read from the drawn picture: whatever the turn, the slice lies just behind the direction it points to and
// nowhere ahead of it, so it turns about the dial's centre.
TEST_F(RadarInstrumentTest, SweepIsDrawnBehindItsDirectionAboutTheCentre) {
    scene->root->setProperty("animated", false);
    scene->root->setProperty("scanning", true);
    QQuickItem* wedge = findOne(scene->root, "sweepWedge");
    const auto brightness = [](const QImage& image, qreal degrees) {
        // Between the centre disc and the middle ring, clear of every ring.
        const qreal a = qDegreesToRadians(degrees);
        const QColor c = image.pixelColor(qRound(85 + 50 * std::cos(a)), qRound(85 + 50 * std::sin(a)));
        return c.red() + c.green() + c.blue();
    };
    for (qreal turn : {0.0, 70.0, 135.0, 250.0}) {
        SCOPED_TRACE(turn);
        wedge->setRotation(turn);
        QImage image;
        int background = 0;
        // A cached picture of the slice may come a frame after the slice is shown.
        EXPECT_TRUE(waitUntil([&] {
            image = scene->window.grabWindow();
            background = brightness(image, turn + 180);
            return brightness(image, turn - 8) > background + 40;
        }));
        EXPECT_GT(brightness(image, turn - 40), background);
        EXPECT_EQ(brightness(image, turn + 8), background);
        EXPECT_EQ(brightness(image, turn + 60), background);
    }
}

TEST(SignalMeterTest, LightsFilledSegmentsInTheTint) {
    auto scene = loadScene(R"(
        import Glintward.Views
        import QtQuick
        SignalMeter { width: 300; smoothedRssi: -65; tint: Palette.stateLikely; segments: 10 })");
    ASSERT_TRUE(scene->root);
    const auto lit = [&] {
        int n = 0;
        for (QQuickItem* s : findAll(scene->root, "segment")) n += color(s) == rgb(Palette::stateLikely);
        return n;
    };
    EXPECT_EQ(findAll(scene->root, "segment").size(), 10u);
    EXPECT_TRUE(waitUntil([&] { return lit() == 5; })) << lit();
    EXPECT_NEAR(findAll(scene->root, "segment")[0]->width(), (300 - 27) / 10.0, 1e-9);
    scene->root->setProperty("smoothedRssi", -40);
    EXPECT_TRUE(waitUntil([&] { return lit() == 10; })) << lit();
    scene->root->setProperty("segments", 0);
    EXPECT_TRUE(findAll(scene->root, "segment").empty());
}

TEST(DetectionCardTest, MutedAndUnmutedLooks) {
    auto scene = loadScene(R"(
        import Glintward.Views
        import QtQuick
        DetectionCard {
            property int taps: 0
            width: 308
            displayName: "Ray-Ban Meta"; brand: "Meta"
            smoothedRssi: -67.8; estimatedDistanceMeters: 3.24; proximity: 1
            isMuted: true; statusColor: Palette.stateLikely
            onToggleMute: taps++
        })");
    ASSERT_TRUE(scene->root);
    QQuickItem* card = scene->root;
    EXPECT_EQ(text(findOne(card, "displayName")), "Ray-Ban Meta");
    EXPECT_EQ(text(findOne(card, "brand")), "Meta");
    EXPECT_EQ(text(findOne(card, "proximity")), "In the room (~3.2 m)");
    EXPECT_EQ(text(findOne(card, "signalReading")), "-67 dBm");

    EXPECT_DOUBLE_EQ(card->opacity(), 0.6);
    EXPECT_EQ(color(findOne(card, "dot")), rgb(Palette::textMuted));
    EXPECT_EQ(findOne(card, "meter")->property("tint").value<QColor>(), rgb(Palette::textMuted));
    EXPECT_TRUE(findOne(card, "mutedNote")->isVisible());
    EXPECT_EQ(text(findOne(card, "mutedNote")),
              QString::fromUtf8("Muted \u2014 won't raise the alert level"));
    EXPECT_EQ(text(findOne(card, "muteButton")), "Unmute");

    click(scene->window, findOne(card, "muteButton"));
    EXPECT_EQ(card->property("taps").toInt(), 1);

    card->setProperty("isMuted", false);
    EXPECT_DOUBLE_EQ(card->opacity(), 1.0);
    EXPECT_EQ(color(findOne(card, "dot")), rgb(Palette::stateLikely));
    EXPECT_EQ(findOne(card, "meter")->property("tint").value<QColor>(), rgb(Palette::stateLikely));
    EXPECT_FALSE(findOne(card, "mutedNote")->isVisible());
    EXPECT_EQ(text(findOne(card, "muteButton")), "Mute");
}

TEST(SessionLogRowTest, NameAboveTheTimesAndPeak) {
    // 14:05 and 14:20 UTC; the tests run in UTC.
    auto scene = loadScene(R"(
        import Glintward.Views
        import QtQuick
        SessionLogRow { width: 308; displayName: "Spectacles"; firstSeenMs: 1709301900000; lastSeenMs: 1709302800000; strongestRssi: -58 })");
    ASSERT_TRUE(scene->root);
    EXPECT_EQ(text(findOne(scene->root, "logName")), "Spectacles");
    const QString line = text(findOne(scene->root, "logLine"));
    EXPECT_TRUE(line.startsWith(QString::fromUtf8("First\u00a0seen\u00a0"))) << line.toStdString();
    EXPECT_TRUE(line.endsWith(QString::fromUtf8("\u00a0\u00b7 peak\u00a0-58\u00a0dBm")))
        << line.toStdString();
    EXPECT_EQ(line.count(QString::fromUtf8("\u00a0\u00b7 ")), 2);
}

}  // namespace
}  // namespace glintward
