// The real panel over the real radar model, as the application builds them, with a fake Bluetooth central
// feeding the real scanner: texts, colours, counts and buttons of both pages, and a screenshot of each state.
#include "tray/GlintwardTrayApp.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include <gtest/gtest.h>
#include <QAccessible>
#include <QCoreApplication>
#include <QImage>
#include <QPixmap>
#include <QQuickItem>
#include <QQuickView>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QtMath>
#include <functional>
#include <set>

#include "app/DesignSystem.h"
#include "app/RadarLog.h"
#include "app/platform/SystemLog.h"
#include "app/platform/UserDefaults.h"
#include "shared/detection/SignatureRepository.h"
#include "tests/app/FakeCentral.h"
#include "tests/uisupport/QuickTesting.h"

namespace glintward {
namespace {

using namespace glintward::testing;
using namespace Qt::StringLiterals;

constexpr const char* RAYBAN = "6F1D3B0A-0000-5000-8000-000000000001";
constexpr const char* OAKLEY = "6F1D3B0A-0000-5000-8000-000000000002";
constexpr const char* SPECS = "6F1D3B0A-0000-5000-8000-000000000003";
constexpr const char* META_ID_ONLY = "6F1D3B0A-0000-5000-8000-000000000004";

class CountingHaptics : public HapticPerformer {
public:
    void perform() override {}
};

class CountingWorkspace : public Workspace {
public:
    void openBluetoothSettings() override { ++opened; }
    std::atomic<int> opened{0};
};

QColor rgb(QRgb value) {
    return QColor(value);
}

class PanelTest : public ::testing::Test {
protected:
    void SetUp() override {
        previousLog = RadarLog::replaceSystemLog(log);
        SignatureRepository::shared().resetToBuiltIn();
        UserDefaults& store = UserDefaults::standard();
        for (const char* key : {"haptic_alerts", "match_unknown_ids", "alert_threshold",
                                "disabled_signatures", "muted_devices", "GlintwardAutoStart"}) {
            store.removeObjectForKey(key);
        }
    }
    void TearDown() override {
        app.reset();
        SignatureRepository::shared().resetToBuiltIn();
        RadarLog::replaceSystemLog(previousLog);
    }

    void launch() {
        RadarModelSeams seams;
        seams.makeCentral = FakeCentral::factory(central);
        seams.haptics = std::make_shared<CountingHaptics>();
        seams.workspace = workspace;
        seams.baseUrl = "";  // the one sync fails at once, without a network
        seams.pruneInterval = std::chrono::milliseconds(60000);
        app = std::make_unique<GlintwardTrayApp>(std::move(seams));
        ASSERT_TRUE(app->panel().rootObject()) << "panel did not load";
        ASSERT_TRUE(waitUntil([&] { return app->panel().isExposed(); }));
        settle(app->panel());
    }

    QQuickItem* root() { return app->panel().rootObject(); }
    QQuickItem* item(const char* name) { return findOne(root(), QString::fromLatin1(name)); }
    int blips() { return item("blips")->property("count").toInt(); }
    // When the dial's first blip was first shown: the same while that blip stays.
    qreal firstBlipStart() {
        qreal start = -1;
        QMetaObject::invokeMethod(item("blips"), "pingStartOf", Q_RETURN_ARG(qreal, start), Q_ARG(int, 0));
        return start;
    }
    // Whether each blip's dot is drawn in `color` where the dial places it, read from the panel's picture.
    bool blipsDrawnAtTheirCentres(QRgb color) {
        QQuickItem* field = item("blips");
        const QImage image = app->panel().grabWindow();
        for (int i = 0; i < blips(); ++i) {
            QPointF centre;
            QMetaObject::invokeMethod(field, "centreOf", Q_RETURN_ARG(QPointF, centre), Q_ARG(int, i));
            const QPoint at = (field->mapToScene(centre) * image.devicePixelRatio()).toPoint();
            if (image.pixel(at) != color) return false;
        }
        return true;
    }
    QString textOf(const char* name) { return text(item(name)); }
    void tap(const char* name) { click(app->panel(), item(name)); }
    std::vector<QQuickItem*> shown(const char* name) {
        return findVisible(root(), QString::fromLatin1(name));
    }

    void startScanning() {
        tap("scanButton");
        ASSERT_TRUE(waitUntil([&] { return app->model().state().scanning && central->scans > 0; }));
    }
    void hear(const char* address, std::optional<std::string> name,
              std::vector<std::uint8_t> manufacturer = {}, int rssi = -60) {
        AdvertisementData data;
        data.localName = std::move(name);
        if (!manufacturer.empty()) data.manufacturerData = std::move(manufacturer);
        central->central.load()->discover({address, std::nullopt}, std::move(data), rssi);
    }
    bool detections(std::size_t n) {
        return waitUntil([&] {
            return app->model().state().detections.size() == n && shown("detectionCard").size() == n;
        });
    }
    QString kickerTrailing(const char* kicker) { return text(findOne(item(kicker), "kickerTrailing")); }
    QQuickItem* cardFor(const QString& displayName) {
        for (QQuickItem* card : shown("detectionCard")) {
            if (text(findOne(card, "displayName")) == displayName) return card;
        }
        return nullptr;
    }
    void expectStatus(const QString& title, QRgb status, QRgb titleColor) {
        EXPECT_EQ(textOf("statusTitle"), title);
        EXPECT_EQ(color(item("statusTitle")), rgb(titleColor));
        EXPECT_EQ(item("dial")->property("statusColor").value<QColor>(), rgb(status));
    }

    // A screenshot once the colour fades have finished (the sweep and the pulses go on).
    void shot(const char* name) {
        settle(app->panel());
        const bool settled = waitUntil([&] {
            QQuickItem* dial = item("dial");
            if (dial->property("shownColor") != dial->property("statusColor")) return false;
            for (QQuickItem* meter : shown("meter")) {
                const QColor tint = meter->property("tint").value<QColor>();
                for (QQuickItem* segment : findAll(meter, "segment")) {
                    const QColor c = color(segment);
                    if (c != tint && c != rgb(Palette::borderSubtle)) return false;
                }
            }
            return true;
        });
        EXPECT_TRUE(settled) << name;
        saveScreenshot(app->panel(), QString::fromLatin1(name));
    }

    std::shared_ptr<FakeCentral::Shared> central = std::make_shared<FakeCentral::Shared>();
    std::shared_ptr<CountingWorkspace> workspace = std::make_shared<CountingWorkspace>();
    std::shared_ptr<RecordingSystemLog> log = std::make_shared<RecordingSystemLog>();
    std::shared_ptr<SystemLog> previousLog;
    std::unique_ptr<GlintwardTrayApp> app;
};

TEST_F(PanelTest, StatusTextsAndColoursInEachCaseWithScreenshots) {
    launch();
    expectStatus(u"Radar off"_s, Palette::stateIdle, Palette::stateIdle);
    EXPECT_EQ(textOf("explainer"),
              u"Glintward listens for the Bluetooth signals smart glasses give off. It keeps "
              u"listening for as long as it's running."_s);
    EXPECT_EQ(textOf("scanButton"), u"Start scanning"_s);
    EXPECT_FALSE(item("bluetoothSettingsButton")->isVisible());
    EXPECT_FALSE(findOne(item("dial"), "sweepWedge")->isVisible());
    shot("radar-off");

    startScanning();
    ASSERT_TRUE(waitUntil([&] { return textOf("statusTitle") == u"All clear"_s; }));
    expectStatus(u"All clear"_s, Palette::stateClear, Palette::stateClear);
    EXPECT_EQ(textOf("scanButton"), u"Stop scanning"_s);
    EXPECT_TRUE(findOne(item("dial"), "sweepWedge")->isVisible());
    shot("radar-all-clear");

    // A Meta company identifier without a name: possible, not likely.
    hear(META_ID_ONLY, std::nullopt, {0x8E, 0x05, 0x01});
    ASSERT_TRUE(waitUntil([&] { return textOf("statusTitle") == u"Possible smart glasses nearby"_s; }));
    expectStatus(u"Possible smart glasses nearby"_s, Palette::statePossible, Palette::statePossible);
    EXPECT_EQ(textOf("explainer"), u"A matching manufacturer ID was heard \u2014 not yet a named device."_s);
    shot("radar-possible");

    hear(RAYBAN, "Ray-Ban Meta 0A1B", {0x8E, 0x05}, -52);
    hear(OAKLEY, "Oakley Meta HSTN", {}, -71);
    ASSERT_TRUE(detections(3));
    ASSERT_TRUE(waitUntil([&] { return textOf("statusTitle") == u"Smart glasses likely nearby"_s; }));
    expectStatus(u"Smart glasses likely nearby"_s, Palette::stateLikely, Palette::stateLikely);
    EXPECT_EQ(textOf("explainer"),
              u"A detection isn't proof of recording \u2014 it means a matching signal is nearby."_s);
    EXPECT_EQ(blips(), 3);
    // The first blip came with the first detection, the others after it; all sit on their circle.
    EXPECT_TRUE(waitUntil([&] { return blipsDrawnAtTheirCentres(Palette::stateLikely); }));
    shot("radar-likely");
    // The same page scrolled to its end: the cards and the session log.
    QQuickItem* scroller = item("radarScroller");
    const qreal top = scroller->property("originY").toReal();
    scroller->setProperty("contentY",
                          top + scroller->property("contentHeight").toReal() - scroller->height());
    shot("radar-likely-cards");
    scroller->setProperty("contentY", top);

    // Bluetooth off wins over scanning and over the threat level; the last lists stay.
    central->central.load()->setState(CentralState::POWERED_OFF);
    ASSERT_TRUE(waitUntil([&] { return textOf("statusTitle") == u"Bluetooth is off"_s; }));
    expectStatus(u"Bluetooth is off"_s, Palette::stateIdle, Palette::textPrimary);
    EXPECT_EQ(textOf("explainer"),
              u"Glintward can't listen without it. It only scans \u2014 it never connects to a device."_s);
    EXPECT_TRUE(item("bluetoothSettingsButton")->isVisible());
    EXPECT_FALSE(item("scanButton")->isVisible());
    EXPECT_FALSE(findOne(item("dial"), "sweepWedge")->isVisible());
    EXPECT_EQ(blips(), 0);
    EXPECT_EQ(shown("detectionCard").size(), 3u);
    EXPECT_EQ(kickerTrailing("sessionLogKicker"), "3");
    shot("radar-bluetooth-off");
    tap("bluetoothSettingsButton");
    EXPECT_TRUE(waitUntil([&] { return workspace->opened == 1; }));

    // Scanning off wins over any threat level; the cards stay and the blips still count them.
    central->central.load()->setState(CentralState::POWERED_ON);
    ASSERT_TRUE(waitUntil([&] { return !app->model().bluetoothOff(); }));
    tap("scanButton");
    ASSERT_TRUE(waitUntil([&] { return textOf("statusTitle") == u"Radar off"_s; }));
    EXPECT_EQ(app->model().state().threatLevel, ThreatLevel::DETECTED);
    EXPECT_FALSE(findOne(item("dial"), "sweepWedge")->isVisible());
    EXPECT_EQ(blips(), 3);
    EXPECT_EQ(shown("detectionCard").size(), 3u);
}

TEST_F(PanelTest, StartStopButtonCallsTheOperationThatMatchesTheState) {
    launch();
    startScanning();
    EXPECT_EQ(central->created, 1);
    ASSERT_TRUE(waitUntil([&] { return textOf("scanButton") == u"Stop scanning"_s; }));
    const int stopsBefore = central->stops;
    tap("scanButton");
    ASSERT_TRUE(waitUntil([&] { return !app->model().state().scanning && central->stops > stopsBefore; }));
    EXPECT_TRUE(waitUntil([&] { return textOf("scanButton") == u"Start scanning"_s; }));
    const int scansBefore = central->scans;
    tap("scanButton");
    ASSERT_TRUE(waitUntil([&] { return app->model().state().scanning && central->scans > scansBefore; }));
}

TEST_F(PanelTest, MutingShowsAtOnceUnmutingWaitsForTheNextStateAndNearbyCountsBoth) {
    launch();
    startScanning();
    hear(RAYBAN, "Ray-Ban Meta 0A1B", {}, -52);
    hear(SPECS, "Spectacles 7F", {}, -64);
    ASSERT_TRUE(detections(2));
    ASSERT_TRUE(waitUntil([&] { return blips() == 2; }));
    const qreal firstBlip = firstBlipStart();
    QQuickItem* rayban = cardFor(u"Ray-Ban Meta glasses"_s);
    ASSERT_TRUE(rayban);
    EXPECT_EQ(text(findOne(rayban, "muteButton")), u"Mute"_s);
    EXPECT_EQ(text(findOne(rayban, "signalReading")), u"-52 dBm"_s);

    // The user's muted set changes on the tap; the card and the blips follow before the engine publishes.
    click(app->panel(), findOne(rayban, "muteButton"));
    EXPECT_TRUE(app->model().mutedAddresses().contains(RAYBAN));
    EXPECT_EQ(text(findOne(rayban, "muteButton")), u"Unmute"_s);
    EXPECT_TRUE(findOne(rayban, "mutedNote")->isVisible());
    EXPECT_DOUBLE_EQ(rayban->opacity(), 0.6);
    EXPECT_EQ(blips(), 1);
    EXPECT_EQ(firstBlipStart(), firstBlip);  // the remaining blip keeps its ping cycle
    EXPECT_EQ(kickerTrailing("nearbyKicker"), "2");  // muted cards still count
    ASSERT_TRUE(waitUntil([&] {
        for (const auto& d : app->model().state().detections) {
            if (d.address == RAYBAN) return d.muted;
        }
        return false;
    }));

    // Unmuting: the engine's flag still says muted until its next state, so the card stays muted till then.
    click(app->panel(), findOne(rayban, "muteButton"));
    EXPECT_FALSE(app->model().mutedAddresses().contains(RAYBAN));
    EXPECT_TRUE(waitUntil([&] { return text(findOne(rayban, "muteButton")) == u"Mute"_s; }));
    EXPECT_DOUBLE_EQ(rayban->opacity(), 1.0);
    EXPECT_EQ(blips(), 2);
    EXPECT_EQ(firstBlipStart(), firstBlip);
    EXPECT_EQ(cardFor(u"Ray-Ban Meta glasses"_s), rayban);  // updated in place, not rebuilt
}

// Where a button's text is drawn, in the panel's coordinates.
QRectF textRect(QQuickItem* button) {
    auto* label = button->property("contentItem").value<QQuickItem*>();
    if (!label) return {};
    const qreal w = label->property("contentWidth").toReal();
    const qreal h = label->property("contentHeight").toReal();
    const int align = label->property("effectiveHorizontalAlignment").toInt();
    const qreal x = align == Qt::AlignHCenter ? (label->width() - w) / 2
                    : align == Qt::AlignRight ? label->width() - w
                                              : 0;
    return {label->mapToScene(QPointF(x, (label->height() - h) / 2)), QSizeF(w, h)};
}

TEST_F(PanelTest, MuteTakesAClickJustOutsideItsText) {
    launch();
    startScanning();
    hear(RAYBAN, "Ray-Ban Meta 0A1B", {}, -52);
    ASSERT_TRUE(detections(1));
    settle(app->panel());
    QQuickItem* mute = item("muteButton");
    scrollIntoView(mute);
    settle(app->panel());
    const QRectF label = textRect(mute);
    QTest::mouseClick(&app->panel(), Qt::LeftButton, Qt::NoModifier,
                      QPoint(qFloor(label.left()) - 4, qCeil(label.bottom()) + 4));
    EXPECT_TRUE(app->model().mutedAddresses().contains(RAYBAN));
    EXPECT_EQ(text(mute), u"Unmute"_s);
}

struct Clickable {
    const char* name;
    QQuickItem* item;
    bool textButton;
};

class ClickableElementsTest : public PanelTest {
protected:
    // Every clickable element of both pages, each visited while shown: the radar page with one device heard,
    // then with Bluetooth off, then the settings page.
    void forEachClickable(const std::function<void(const Clickable&)>& visit) {
        launch();
        startScanning();
        hear(RAYBAN, "Ray-Ban Meta 0A1B", {}, -52);
        ASSERT_TRUE(detections(1));
        const auto visitAll = [&](std::initializer_list<Clickable> clickables) {
            for (const Clickable& c : clickables) {
                SCOPED_TRACE(c.name);
                ASSERT_TRUE(c.item);
                settle(app->panel());
                scrollIntoView(c.item);
                settle(app->panel());
                visit(c);
            }
        };
        visitAll({{"settingsButton", item("settingsButton"), true},
                  {"scanButton", item("scanButton"), true},
                  {"quitButton", item("quitButton"), true},
                  {"muteButton", item("muteButton"), true}});
        central->central.load()->setState(CentralState::POWERED_OFF);
        ASSERT_TRUE(waitUntil([&] { return item("bluetoothSettingsButton")->isVisible(); }));
        visitAll({{"bluetoothSettingsButton", item("bluetoothSettingsButton"), true}});
        tap("settingsButton");
        settle(app->panel());
        visitAll({{"doneButton", item("doneButton"), true},
                  {"wipeButton", item("wipeButton"), true},
                  {"thresholdRow", item("thresholdRow"), false},
                  {"signature toggle", findOne(shown("signatureRow")[0], "toggle"), false},
                  {"unknown IDs toggle", findOne(item("unknownIdsRow"), "toggle"), false},
                  {"haptic toggle", findOne(item("hapticRow"), "toggle"), false}});
    }
};

// Each text button takes a press anywhere over its text plus 8 px on either side, at least 24 px high.
TEST_F(ClickableElementsTest, TextButtonsTakePressesAroundTheirText) {
    int buttons = 0;
    forEachClickable([&](const Clickable& c) {
        if (!c.textButton) return;
        ++buttons;
        const QRectF label = textRect(c.item);
        ASSERT_FALSE(label.isEmpty());
        const qreal middle = label.center().y();
        const QRectF wanted(label.left() - 8, std::min(label.top(), middle - 12), label.width() + 16,
                            std::max(label.height(), 24.0));
        // Presses land on whole pixels: probe just inside each edge of the wanted area, and its centre.
        const int left = qCeil(wanted.left()), right = qCeil(wanted.right()) - 1;
        const int top = qCeil(wanted.top()), bottom = qCeil(wanted.bottom()) - 1;
        const int cx = qRound(wanted.center().x()), cy = qRound(middle);
        QSignalSpy clicked(c.item, SIGNAL(clicked()));
        for (const QPoint at : {QPoint(left, cy), QPoint(right, cy), QPoint(cx, top), QPoint(cx, bottom),
                                QPoint(left, top), QPoint(right, bottom)}) {
            QTest::mousePress(&app->panel(), Qt::LeftButton, Qt::NoModifier, at);
            EXPECT_TRUE(c.item->property("pressed").toBool()) << "pressed at " << at.x() << "," << at.y();
            // Let go beside the panel's edge, on the same line so that no page scrolls: nothing is clicked.
            const QPoint away(at.x() < 170 ? 339 : 0, at.y());
            QTest::mouseMove(&app->panel(), away);
            QTest::mouseRelease(&app->panel(), Qt::LeftButton, Qt::NoModifier, away);
            EXPECT_FALSE(c.item->property("pressed").toBool());
        }
        EXPECT_EQ(clicked.count(), 0);
    });
    EXPECT_EQ(buttons, 7);
}

TEST_F(ClickableElementsTest, PointerShowsAPointingHandOverEveryClickableElement) {
    const auto cursorAt = [&](QPointF at) {
        QTest::mouseMove(&app->panel(), at.toPoint());
        return app->panel().cursor().shape();
    };
    int elements = 0;
    forEachClickable([&](const Clickable& c) {
        ++elements;
        EXPECT_EQ(cursorAt(c.item->mapToScene(QPointF(c.item->width() / 2, c.item->height() / 2))),
                  Qt::PointingHandCursor);
        // Text buttons show it over the margin around their text too.
        if (c.textButton) {
            const QRectF label = textRect(c.item);
            EXPECT_EQ(cursorAt(QPointF(label.left() - 4, label.center().y())), Qt::PointingHandCursor);
        }
        // Anywhere that takes no click keeps the ordinary pointer: the panel's bottom-left corner is margin
        // on both pages.
        EXPECT_EQ(cursorAt(QPointF(2, 558)), Qt::ArrowCursor);
    });
    EXPECT_EQ(elements, 11);
}

// The scroll bar leaves its inner padding to the buttons beside it but still drags over its handle's column.
TEST_F(PanelTest, ScrollBarStillDragsTheLongPage) {
    launch();
    startScanning();
    for (const char* device : {RAYBAN, OAKLEY, SPECS}) hear(device, "Ray-Ban Meta 0A1B", {}, -52);
    ASSERT_TRUE(detections(3));
    settle(app->panel());
    QQuickItem* scroller = item("radarScroller");
    ASSERT_GT(scroller->property("contentHeight").toReal(), scroller->height());
    const qreal top = scroller->property("contentY").toReal();
    QTest::mousePress(&app->panel(), Qt::LeftButton, Qt::NoModifier, QPoint(336, 20));
    for (int y = 40; y <= 300; y += 20) QTest::mouseMove(&app->panel(), QPoint(336, y));
    QTest::mouseRelease(&app->panel(), Qt::LeftButton, Qt::NoModifier, QPoint(336, 300));
    EXPECT_GT(scroller->property("contentY").toReal() - top, 100);
}

TEST_F(PanelTest, SessionLogEmptyStateRowsAndDividers) {
    launch();
    EXPECT_TRUE(shown("nearbyKicker").empty());
    EXPECT_TRUE(shown("detectionCard").empty());
    EXPECT_EQ(text(findOne(item("sessionLogKicker"), "kickerText")), u"SESSION LOG"_s);
    EXPECT_EQ(kickerTrailing("sessionLogKicker"), "0");
    EXPECT_EQ(shown("sessionLogEmpty").size(), 1u);
    EXPECT_TRUE(shown("sessionLogRow").empty());

    startScanning();
    hear(RAYBAN, "Ray-Ban Meta 0A1B", {}, -52);
    ASSERT_TRUE(waitUntil([&] { return shown("sessionLogRow").size() == 1; }));
    EXPECT_TRUE(shown("sessionLogEmpty").empty());
    EXPECT_TRUE(shown("sessionLogDivider").empty());
    hear(OAKLEY, "Oakley Meta", {}, -70);
    hear(SPECS, "Spectacles 7F", {}, -64);
    ASSERT_TRUE(waitUntil([&] { return shown("sessionLogRow").size() == 3; }));
    EXPECT_EQ(shown("sessionLogDivider").size(), 2u);
    EXPECT_EQ(kickerTrailing("sessionLogKicker"), "3");
    EXPECT_EQ(kickerTrailing("nearbyKicker"), "3");
    EXPECT_EQ(text(findOne(shown("sessionLogRow")[0], "logName")), u"Ray-Ban Meta glasses"_s);
    const QString line = text(findOne(shown("sessionLogRow")[0], "logLine"));
    EXPECT_TRUE(line.startsWith(u"First\u00a0seen\u00a0"_s) &&
                line.endsWith(u"\u00a0\u00b7 peak\u00a0-52\u00a0dBm"_s))
        << line.toStdString();
}

// A long day's lists: the page makes the rows in sight (and a page's height either way), not one per device,
// and still scrolls to the last entry of the session log.
TEST_F(PanelTest, LongListsMakeOnlyTheRowsInSight) {
    launch();
    startScanning();
    constexpr int DEVICES = 80;
    for (int i = 0; i < DEVICES; ++i) {
        const std::string address = "6F1D3B0A-0000-5000-8000-1000000000" + std::to_string(10 + i);
        hear(address.c_str(), "Ray-Ban Meta " + std::to_string(i), {}, -50 - i % 30);
    }
    ASSERT_TRUE(waitUntil([&] {
        return app->model().state().detections.size() == DEVICES &&
               app->model().state().sessionLog.size() == DEVICES;
    }));
    ASSERT_TRUE(waitUntil([&] {
        settle(app->panel());
        const auto kicker = shown("nearbyKicker");
        return kicker.size() == 1 && text(findOne(kicker[0], "kickerTrailing")) == QString::number(DEVICES);
    }));
    const auto made = [&] {
        return findAll(root(), "detectionCard").size() + findAll(root(), "sessionLogRow").size();
    };
    EXPECT_GT(made(), 0u);
    EXPECT_LT(made(), 20u);

    QQuickItem* scroller = item("radarScroller");
    QMetaObject::invokeMethod(scroller, "positionViewAtEnd");
    settle(app->panel());
    const auto rows = shown("sessionLogRow");
    ASSERT_FALSE(rows.empty());
    const QRectF last = rows.back()->mapRectToItem(scroller, rows.back()->boundingRect());
    EXPECT_GT(last.bottom(), 0);
    EXPECT_LE(last.bottom(), scroller->height());
    EXPECT_LT(made(), 20u);
}

TEST_F(PanelTest, SettingsPageRowsSwitchesThresholdWipeAndDone) {
    launch();
    startScanning();
    hear(RAYBAN, "Ray-Ban Meta 0A1B", {}, -52);
    ASSERT_TRUE(waitUntil([&] { return app->model().state().sessionLog.size() == 1; }));

    tap("settingsButton");
    ASSERT_EQ(findAll(root(), "settingsPage").size(), 1u);
    EXPECT_TRUE(findAll(root(), "radarScroller").empty());
    settle(app->panel());

    // One row per signature of the catalogue in force, in its order, dividers between, then unknown IDs.
    const auto catalogue = SignatureRepository::shared().current();
    const auto rows = shown("signatureRow");
    ASSERT_EQ(rows.size(), catalogue->signatures().size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const DeviceSignature& s = *catalogue->signatures()[i];
        EXPECT_EQ(text(findOne(rows[i], "rowTitle")), QString::fromStdString(s.displayName));
        EXPECT_TRUE(
            text(findOne(rows[i], "rowSubtitle"))
                .startsWith(u"\u2068"_s + QString::fromStdString(s.brand) + u"\u2069\u00a0\u00b7 "_s));
        EXPECT_TRUE(findOne(rows[i], "toggle")->property("isOn").toBool());
    }
    // Drawn, the brand is isolated and the count keeps its unit.
    EXPECT_EQ(text(findOne(rows[0], "rowSubtitle")),
              u"\u2068Meta / Ray-Ban\u2069\u00a0\u00b7 11\u00a0identifiers"_s);
    EXPECT_EQ(shown("libraryDivider").size(), rows.size());
    EXPECT_EQ(kickerTrailing("libraryKicker"), u"built-in"_s);
    EXPECT_EQ(text(findOne(item("unknownIdsRow"), "rowSubtitle")),
              u"Raises 'possible' only, never 'likely'"_s);
    EXPECT_EQ(text(findOne(item("hapticRow"), "rowSubtitle")),
              u"Force-feedback devices only; silent on other hardware"_s);
    EXPECT_EQ(textOf("thresholdReading"), u"In the room"_s);
    EXPECT_EQ(color(item("thresholdReading")), rgb(Palette::chartreuse));
    EXPECT_EQ(textOf("thresholdSubtitle"), u"Only alert when signal strength suggests ~5 m or closer"_s);
    saveScreenshot(app->panel(), "settings");

    // Switches write the preferences, and through them the store.
    click(app->panel(), findOne(rows[0], "toggle"));
    EXPECT_TRUE(app->preferences().disabledSignatureIds().contains(u"rayban-meta"_s));
    EXPECT_EQ(UserDefaults::standard().stringArrayForKey("disabled_signatures"),
              std::vector<std::string>{"rayban-meta"});
    EXPECT_FALSE(findOne(shown("signatureRow")[0], "toggle")->property("isOn").toBool());
    click(app->panel(), findOne(shown("signatureRow")[0], "toggle"));
    EXPECT_TRUE(app->preferences().disabledSignatureIds().isEmpty());
    click(app->panel(), findOne(item("unknownIdsRow"), "toggle"));
    EXPECT_FALSE(app->preferences().matchUnknownIds());
    EXPECT_FALSE(findOne(item("unknownIdsRow"), "toggle")->property("isOn").toBool());
    click(app->panel(), findOne(item("hapticRow"), "toggle"));
    EXPECT_FALSE(app->preferences().hapticAlerts());

    // The threshold row cycles through the three and stores each name.
    const std::pair<QString, std::string> cycle[] = {{u"Any distance"_s, "ANY_DISTANCE"},
                                                     {u"Very close"_s, "VERY_CLOSE"},
                                                     {u"In the room"_s, "IN_THE_ROOM"}};
    for (const auto& [reading, stored] : cycle) {
        tap("thresholdRow");
        EXPECT_EQ(textOf("thresholdReading"), reading);
        EXPECT_EQ(UserDefaults::standard().stringForKey("alert_threshold"), stored);
    }
    EXPECT_EQ(textOf("thresholdSubtitle"), u"Only alert when signal strength suggests ~5 m or closer"_s);
    tap("thresholdRow");
    EXPECT_EQ(textOf("thresholdSubtitle"), u"Alert on anything the radar can hear"_s);
    // An unrecognised stored name reads as "In the room", and the next tap goes on from there.
    app->preferences().setAlertThresholdRaw(u"very_close"_s);
    EXPECT_EQ(textOf("thresholdReading"), u"In the room"_s);
    tap("thresholdRow");
    EXPECT_EQ(UserDefaults::standard().stringForKey("alert_threshold"), "ANY_DISTANCE");

    // The page stays open while the model publishes; wipe empties the log at once and stays open too.
    hear(SPECS, "Spectacles 7F", {}, -64);
    ASSERT_TRUE(waitUntil([&] { return app->model().state().sessionLog.size() == 2; }));
    EXPECT_EQ(findAll(root(), "settingsPage").size(), 1u);
    tap("wipeButton");
    ASSERT_TRUE(waitUntil([&] { return app->model().state().sessionLog.empty(); }));
    EXPECT_EQ(findAll(root(), "settingsPage").size(), 1u);

    tap("doneButton");
    EXPECT_TRUE(findAll(root(), "settingsPage").empty());
    EXPECT_TRUE(waitUntil([&] { return shown("sessionLogEmpty").size() == 1; }));
    EXPECT_FALSE(app->preferences().hapticAlerts());  // "Done" changes no setting
}

// The user edits the settings file while the settings page is open (here through a second store on it, as
// another instance would): the page shows what is in force, and a tap changes only what was tapped.
TEST_F(PanelTest, SettingsEditedOutsideShowOnThePageAndATapChangesOnlyWhatWasTapped) {
    launch();
    tap("settingsButton");
    settle(app->panel());
    UserDefaults outside(UserDefaults::standardPath());
    outside.setObject(std::vector<std::string>{"rayban-meta"}, "disabled_signatures");
    outside.setBool(false, "match_unknown_ids");
    outside.setObject(std::string("VERY_CLOSE"), "alert_threshold");
    ASSERT_TRUE(waitUntil([&] { return textOf("thresholdReading") == u"Very close"_s; }));
    EXPECT_FALSE(findOne(shown("signatureRow")[0], "toggle")->property("isOn").toBool());
    EXPECT_FALSE(findOne(item("unknownIdsRow"), "toggle")->property("isOn").toBool());
    tap("thresholdRow");
    EXPECT_EQ(UserDefaults::standard().stringForKey("alert_threshold"), "IN_THE_ROOM");

    // An edit a moment before the tap, not yet shown, is kept too.
    outside.setObject(std::vector<std::string>{"rayban-meta", "not-in-the-catalogue"}, "disabled_signatures");
    click(app->panel(), findOne(shown("signatureRow")[1], "toggle"));
    const auto stored = UserDefaults::standard().stringArrayForKey("disabled_signatures");
    ASSERT_TRUE(stored);
    EXPECT_EQ(std::set<std::string>(stored->begin(), stored->end()),
              (std::set<std::string>{"rayban-meta", "not-in-the-catalogue",
                                     SignatureRepository::shared().current()->signatures()[1]->id}));
}

TEST_F(PanelTest, LibraryHeadingShowsTheCatalogueInForceWhenThePageOpens) {
    launch();
    const auto v12 = std::make_shared<const SignatureDatabase>(
        12,
        std::vector<DeviceSignature>{{"one", "Brand", "Only pattern", {compilePattern("x")}, {}, false, {}}},
        std::vector<Pattern>{});
    ASSERT_TRUE(SignatureRepository::shared().update(v12));
    tap("settingsButton");
    settle(app->panel());
    EXPECT_EQ(kickerTrailing("libraryKicker"), u"v12"_s);
    ASSERT_EQ(shown("signatureRow").size(), 1u);
    EXPECT_EQ(text(findOne(shown("signatureRow")[0], "rowSubtitle")),
              u"\u2068Brand\u2069\u00a0\u00b7 1\u00a0identifier"_s);
    tap("doneButton");

    // An empty catalogue leaves the unknown-IDs row alone, without a divider above it.
    ASSERT_TRUE(SignatureRepository::shared().update(std::make_shared<const SignatureDatabase>(
        13, std::vector<DeviceSignature>{}, std::vector<Pattern>{})));
    tap("settingsButton");
    settle(app->panel());
    EXPECT_EQ(kickerTrailing("libraryKicker"), u"v13"_s);
    EXPECT_TRUE(shown("signatureRow").empty());
    EXPECT_TRUE(shown("libraryDivider").empty());
    EXPECT_TRUE(item("unknownIdsRow")->isVisible());
}

// ---- the keyboard and assistive technologies

class KeyboardTest : public PanelTest {
protected:
    void SetUp() override {
        PanelTest::SetUp();
        // Controls tell assistive technologies their names only once one listens.
        QAccessible::setActive(true);
    }
    void TearDown() override {
        PanelTest::TearDown();
        QAccessible::setActive(false);
    }

    // Two devices heard, so that the radar page is taller than the panel and has two mute buttons.
    void launchWithTwoDevices() {
        launch();
        startScanning();
        hear(RAYBAN, "Ray-Ban Meta 0A1B", {}, -52);
        hear(SPECS, "Spectacles 7F", {}, -64);
        ASSERT_TRUE(detections(2));
        settle(app->panel());
    }
    void press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(&app->panel(), key, modifiers);
        settle(app->panel());
        QCoreApplication::processEvents();  // the page reveals the focused control from the event loop
        layOut();
    }
    // Rows settle their heights in their own layout pass, and the list learns its new extent from them only
    // in its next one, which a frame would run at some later time: run it now.
    void layOut() {
        settle(app->panel());
        if (page() && page()->inherits("QQuickListView")) {
            QMetaObject::invokeMethod(page(), "forceLayout");
            settle(app->panel());
        }
    }
    QQuickItem* focused() { return app->panel().activeFocusItem(); }
    QQuickItem* page() {
        const auto pages =
            findAll(root(), root()->property("showSettings").toBool() ? "settingsPage" : "radarScroller");
        return pages.size() == 1 ? pages[0] : nullptr;
    }
    // Where the page is scrolled to, from its top (a list's header may stand above zero).
    qreal contentY() { return page()->property("contentY").toReal() - page()->property("originY").toReal(); }
    // Whether the item, with the room its ring takes, lies wholly inside the page's viewport.
    bool inView(QQuickItem* item) {
        const QRectF at = item->mapRectToItem(page(), QRectF(-4, -4, item->width() + 8, item->height() + 8));
        return at.top() >= 0 && at.bottom() <= page()->height();
    }
    bool ringShown(QQuickItem* control) {
        const auto rings = findAll(control, "focusRing");
        return rings.size() == 1 && rings[0]->isVisible();
    }
};

struct Control {
    QQuickItem* item;
    QAccessible::Role role;
    QString name;
    int checked;  // -1: not a switch; a switch reads as a check box, checked when on
    const char* screenshot = nullptr;
};

// Tab visits every control of a page in reading order, Shift+Tab goes back the same way, and the focused one
// shows its ring, is scrolled into sight and tells a screen reader what it is.
TEST_F(KeyboardTest, TabVisitsEveryControlInReadingOrderRevealedRingedAndNamed) {
    launchWithTwoDevices();
    const auto cards = shown("detectionCard");
    ASSERT_EQ(cards.size(), 2u);
    click(app->panel(), findOne(cards[1], "muteButton"));
    const auto walk = [&](const std::vector<Control>& controls) {
        ASSERT_FALSE(controls.empty());
        page()->setProperty("contentY", page()->property("originY"));
        root()->forceActiveFocus();
        // From the top of the page: forwards through all, round to the first again, then backwards.
        for (std::size_t i = 0; i <= controls.size(); ++i) {
            press(Qt::Key_Tab);
            const Control& c = controls[i % controls.size()];
            SCOPED_TRACE(c.name.toStdString());
            ASSERT_EQ(focused(), c.item)
                << "focus on " << (focused() ? focused()->objectName().toStdString() : "");
            EXPECT_TRUE(ringShown(c.item));
            EXPECT_TRUE(inView(c.item)) << "page at " << contentY();
            QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(c.item);
            ASSERT_TRUE(accessible);
            EXPECT_EQ(accessible->role(), c.role);
            EXPECT_EQ(accessible->text(QAccessible::Name), c.name);
            EXPECT_EQ(accessible->state().checked, c.checked == 1);
            if (c.screenshot && i < controls.size())
                saveScreenshot(app->panel(), QString::fromLatin1(c.screenshot));
        }
        for (std::size_t i = controls.size(); i-- > 0;) {
            press(Qt::Key_Tab, Qt::ShiftModifier);
            SCOPED_TRACE(controls[i].name.toStdString());
            ASSERT_EQ(focused(), controls[i].item);
            EXPECT_TRUE(inView(controls[i].item)) << "page at " << contentY();
        }
        EXPECT_EQ(contentY(), 0);
    };

    // The radar page, scanning, one of the two devices muted.
    walk({{item("settingsButton"), QAccessible::Button, u"SETTINGS"_s, -1},
          {item("scanButton"), QAccessible::Button, u"Stop scanning"_s, -1, "focus-primary-button"},
          {item("quitButton"), QAccessible::Button, u"Quit Glintward"_s, -1, "focus-secondary-button"},
          {findOne(cards[0], "muteButton"), QAccessible::Button, u"Mute"_s, -1, "focus-mute"},
          {findOne(cards[1], "muteButton"), QAccessible::Button, u"Unmute"_s, -1}});
    // Which device a mute button is for is its description.
    EXPECT_EQ(QAccessible::queryAccessibleInterface(findOne(cards[1], "muteButton"))
                  ->text(QAccessible::Description),
              text(findOne(cards[1], "displayName")));

    // With Bluetooth off its button takes the place of start/stop.
    central->central.load()->setState(CentralState::POWERED_OFF);
    ASSERT_TRUE(waitUntil([&] { return item("bluetoothSettingsButton")->isVisible(); }));
    walk({{item("settingsButton"), QAccessible::Button, u"SETTINGS"_s, -1},
          {item("bluetoothSettingsButton"), QAccessible::Button, u"Open Bluetooth settings"_s, -1},
          {item("quitButton"), QAccessible::Button, u"Quit Glintward"_s, -1},
          {findOne(cards[0], "muteButton"), QAccessible::Button, u"Mute"_s, -1},
          {findOne(cards[1], "muteButton"), QAccessible::Button, u"Unmute"_s, -1}});

    // The settings page, with one signature and the haptic switch off.
    app->preferences().setHapticAlerts(false);
    ASSERT_TRUE(SignatureRepository::shared().update(std::make_shared<const SignatureDatabase>(
        12,
        std::vector<DeviceSignature>{{"one", "Brand", "Only pattern", {compilePattern("x")}, {}, false, {}},
                                     {"two", "Brand", "Second", {compilePattern("y")}, {}, false, {}}},
        std::vector<Pattern>{})));
    app->preferences().setEnabled(false, u"two"_s);
    tap("settingsButton");
    settle(app->panel());
    const auto rows = shown("signatureRow");
    ASSERT_EQ(rows.size(), 2u);
    walk({{item("doneButton"), QAccessible::Button, u"Done"_s, -1, "focus-done"},
          {findOne(rows[0], "toggle"), QAccessible::CheckBox, u"Only pattern"_s, 1, "focus-switch"},
          {findOne(rows[1], "toggle"), QAccessible::CheckBox, u"Second"_s, 0},
          {findOne(item("unknownIdsRow"), "toggle"), QAccessible::CheckBox, u"Unknown camera-capable IDs"_s,
           1},
          {item("thresholdRow"), QAccessible::Button, u"Alert threshold: In the room"_s, -1,
           "focus-threshold"},
          {findOne(item("hapticRow"), "toggle"), QAccessible::CheckBox, u"Haptic alerts"_s, 0},
          {item("wipeButton"), QAccessible::Button, u"Wipe session log"_s, -1, "focus-wipe"}});
}

// Space and Enter each act on the focused control, once per press; assistive technologies press too.
TEST_F(KeyboardTest, SpaceAndEnterActOnTheFocusedControl) {
    launchWithTwoDevices();
    const auto focusOn = [&](QQuickItem* control) {
        root()->forceActiveFocus();
        for (int i = 0; i < 20 && focused() != control; ++i) press(Qt::Key_Tab);
        return focused() == control;
    };
    const auto threshold = [&] { return UserDefaults::standard().stringForKey("alert_threshold"); };
    struct Case {
        const char* what;
        std::function<QQuickItem*()> control;
        std::function<bool()> acted;
    };
    const auto onSettings = [&] { return !findAll(root(), "settingsPage").empty(); };
    const Case cases[] = {
        {"stop", [&] { return item("scanButton"); }, [&] { return !app->model().state().scanning; }},
        {"start", [&] { return item("scanButton"); }, [&] { return app->model().state().scanning; }},
        {"mute", [&] { return findOne(cardFor(u"Ray-Ban Meta glasses"_s), "muteButton"); },
         [&] { return app->model().mutedAddresses().contains(RAYBAN); }},
        {"unmute", [&] { return findOne(cardFor(u"Ray-Ban Meta glasses"_s), "muteButton"); },
         [&] { return !app->model().mutedAddresses().contains(RAYBAN); }},
        {"settings", [&] { return item("settingsButton"); }, onSettings},
        {"switch off", [&] { return findOne(shown("signatureRow")[0], "toggle"); },
         [&] { return app->preferences().disabledSignatureIds().contains(u"rayban-meta"_s); }},
        {"switch on", [&] { return findOne(shown("signatureRow")[0], "toggle"); },
         [&] { return app->preferences().disabledSignatureIds().isEmpty(); }},
        {"haptics off", [&] { return findOne(item("hapticRow"), "toggle"); },
         [&] { return !app->preferences().hapticAlerts(); }},
        {"threshold", [&] { return item("thresholdRow"); }, [&] { return threshold() == "ANY_DISTANCE"; }},
        {"threshold again", [&] { return item("thresholdRow"); },
         [&] { return threshold() == "VERY_CLOSE"; }},
        {"wipe", [&] { return item("wipeButton"); }, [&] { return app->model().state().sessionLog.empty(); }},
        {"done", [&] { return item("doneButton"); }, [&] { return !onSettings(); }},
    };
    for (Qt::Key key : {Qt::Key_Space, Qt::Key_Return, Qt::Key_Enter}) {
        SCOPED_TRACE(key == Qt::Key_Space ? "Space" : key == Qt::Key_Return ? "Return" : "Enter");
        ASSERT_FALSE(onSettings());
        // Each round begins scanning, with both devices heard again and none muted.
        hear(RAYBAN, "Ray-Ban Meta 0A1B", {}, -52);
        ASSERT_TRUE(waitUntil([&] { return !app->model().state().sessionLog.empty(); }));
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            QQuickItem* control = c.control();
            ASSERT_TRUE(control);
            ASSERT_TRUE(focusOn(control));
            EXPECT_FALSE(c.acted());
            press(key);
            EXPECT_TRUE(waitUntil(c.acted));
        }
        app->preferences().setHapticAlerts(true);
        app->preferences().setAlertThresholdRaw(u"IN_THE_ROOM"_s);
    }

    // A screen reader's press on a switch asks for the negation, as a tap does.
    tap("settingsButton");
    settle(app->panel());
    QAccessibleInterface* haptic =
        QAccessible::queryAccessibleInterface(findOne(item("hapticRow"), "toggle"));
    ASSERT_TRUE(haptic && haptic->actionInterface());
    haptic->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_FALSE(app->preferences().hapticAlerts());
}

// Pointer use shows no ring: a tap focuses the control but the panel looks as it did.
TEST_F(KeyboardTest, ATapFocusesWithoutARing) {
    launch();
    tap("settingsButton");
    settle(app->panel());
    QQuickItem* toggle = findOne(item("hapticRow"), "toggle");
    click(app->panel(), toggle);
    EXPECT_EQ(focused(), toggle);
    EXPECT_FALSE(ringShown(toggle));
    tap("thresholdRow");
    EXPECT_FALSE(ringShown(item("thresholdRow")));
    press(Qt::Key_Tab);
    EXPECT_TRUE(ringShown(findOne(item("hapticRow"), "toggle")));
}

TEST_F(KeyboardTest, EscapeLeavesTheSettingsPageAndKeysScrollThePage) {
    launchWithTwoDevices();
    tap("settingsButton");
    ASSERT_EQ(findAll(root(), "settingsPage").size(), 1u);
    press(Qt::Key_Tab);
    press(Qt::Key_Escape);
    EXPECT_TRUE(findAll(root(), "settingsPage").empty());
    // In a window (no tray) Escape on the radar page leaves the window where it is.
    press(Qt::Key_Escape);
    EXPECT_TRUE(app->panel().isVisible());

    // A list that makes its rows as they come into sight knows its length only roughly until it reaches its
    // end: the end is where the view says it is once those rows are made, and each step counts from where
    // the page stood.
    const auto bottom = [&] { return page()->property("contentHeight").toReal() - page()->height(); };
    const auto atEnd = [&] { return page()->property("atYEnd").toBool(); };
    ASSERT_GT(bottom(), 200);
    const qreal pageStep = page()->height() - 40;
    struct Case {
        Qt::Key key;
        qreal step;  // NAN: to the end
    };
    const Case cases[] = {
        {Qt::Key_Down, 40},           {Qt::Key_Down, 40},   {Qt::Key_Up, -40},
        {Qt::Key_PageDown, pageStep}, {Qt::Key_End, NAN},   {Qt::Key_Down, NAN},
        {Qt::Key_PageUp, -pageStep},  {Qt::Key_Home, -1e9}, {Qt::Key_Up, -40},
    };
    for (const Case& c : cases) {
        const qreal before = contentY();
        press(c.key);
        if (std::isnan(c.step)) {
            EXPECT_TRUE(atEnd()) << "after key " << c.key;
        } else {
            EXPECT_DOUBLE_EQ(contentY(), std::clamp<qreal>(before + c.step, 0, bottom()))
                << "after key " << c.key;
        }
    }
    EXPECT_DOUBLE_EQ(contentY(), 0);
    // With a control focused the keys still scroll.
    press(Qt::Key_Tab);
    press(Qt::Key_End);
    EXPECT_TRUE(atEnd());
}

// Texts name themselves for screen readers only while one listens; one that starts listening after the panel
// was made hears every text at once, and each name follows its text from then on.
TEST_F(PanelTest, TextsAreNamedOnceAnAssistiveTechnologyListensAndFollowTheirTexts) {
    launch();
    startScanning();
    hear(RAYBAN, "Ray-Ban Meta 0A1B", {}, -52);
    ASSERT_TRUE(detections(1));
    settle(app->panel());
    struct Off {
        ~Off() { QAccessible::setActive(false); }
    } off;
    QAccessible::setActive(true);
    QQuickItem* card = shown("detectionCard")[0];
    const auto named = [&](QQuickItem* item, const QString& expected) {
        ASSERT_TRUE(item);
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(item);
        ASSERT_TRUE(accessible);
        EXPECT_EQ(accessible->text(QAccessible::Name), expected) << item->objectName().toStdString();
    };
    named(item("statusTitle"), u"Smart glasses likely nearby"_s);
    named(item("explainer"), text(item("explainer")));
    named(item("nearbyKicker"), u"Nearby: 1"_s);
    named(item("sessionLogKicker"), u"Session log: 1"_s);
    for (const char* name : {"displayName", "brand", "proximity", "signalReading"})
        named(findOne(card, name), text(findOne(card, name)));
    for (const char* name : {"logName", "logLine"}) named(item(name), text(item(name)));

    hear(RAYBAN, "Ray-Ban Meta 0A1B", {}, -80);
    hear(RAYBAN, "Ray-Ban Meta 0A1B", {}, -80);
    ASSERT_TRUE(waitUntil([&] { return text(findOne(card, "signalReading")) != u"-52 dBm"_s; }));
    for (const char* name : {"proximity", "signalReading"}) named(findOne(card, name), text(findOne(card, name)));
    named(item("logLine"), text(item("logLine")));
}

// With no rows made beyond sight, the list knows its end only roughly until it makes its last rows, and those
// settle their heights after the key that brought them in: End, and steps that run into the end it guessed,
// still land on the end it finds, and a step never stops short of it.
TEST_F(KeyboardTest, KeysReachTheEndTheListFindsOnlyAsItMakesItsLastRows) {
    launchWithTwoDevices();
    page()->setProperty("cacheBuffer", 0);
    settle(app->panel());
    const auto bottom = [&] { return page()->property("contentHeight").toReal() - page()->height(); };
    const auto atEnd = [&] { return page()->property("atYEnd").toBool(); };
    struct Case {
        Qt::Key key;
        qreal step;  // NAN: to the end
    };
    for (const Case c :
         {Case{Qt::Key_End, NAN}, Case{Qt::Key_PageDown, page()->height() - 40}, Case{Qt::Key_Down, 40}}) {
        press(Qt::Key_Home);
        ASSERT_DOUBLE_EQ(contentY(), 0);
        ASSERT_FALSE(atEnd());
        // Each press goes its whole step or to the end: never short of either, so the end is reached in
        // as many presses as it takes.
        for (int presses = 0; !atEnd(); ++presses) {
            ASSERT_LT(presses, 40) << "key " << c.key << " stopped at " << contentY() << " of " << bottom();
            const qreal before = contentY();
            press(c.key);
            if (std::isnan(c.step)) {
                EXPECT_TRUE(atEnd()) << "at " << contentY() << " of " << bottom();
            } else if (!atEnd()) {
                EXPECT_DOUBLE_EQ(contentY(), before + c.step) << "key " << c.key;
            }
        }
        EXPECT_DOUBLE_EQ(contentY(), bottom()) << "key " << c.key;
        // The end stays where the page learnt it is: the next step has nowhere to go.
        press(Qt::Key_Down);
        EXPECT_TRUE(atEnd());
        EXPECT_DOUBLE_EQ(contentY(), bottom()) << "key " << c.key;
    }

    // A page moved since by other means (as the scroll bar moves it) stays where it was put when the list's
    // length changes afterwards.
    press(Qt::Key_End);
    page()->setProperty("contentY", page()->property("originY").toReal() + 100);
    const qreal lengthBefore = page()->property("contentHeight").toReal();
    hear(OAKLEY, "Oakley Meta", {}, -70);
    ASSERT_TRUE(waitUntil([&] {
        layOut();
        return page()->property("contentHeight").toReal() != lengthBefore;
    }));
    EXPECT_DOUBLE_EQ(contentY(), 100);
}

// A brand in a right-to-left script stays a name inside the left-to-right subtitle: the line keeps its
// leading alignment and its order.
TEST_F(PanelTest, ARightToLeftBrandKeepsTheSubtitleLeftToRight) {
    launch();
    std::vector<Pattern> eleven;
    for (int i = 0; i < 11; ++i) eleven.push_back(compilePattern("x"));
    ASSERT_TRUE(SignatureRepository::shared().update(std::make_shared<const SignatureDatabase>(
        12,
        std::vector<DeviceSignature>{
            {"meta", u"\u0645\u064a\u062a\u0627"_s.toStdString(), "Meta glasses", eleven, {}, false, {}},
            {"latin", "Meta / Ray-Ban", "Ray-Ban Meta glasses", eleven, {}, false, {}}},
        std::vector<Pattern>{})));
    tap("settingsButton");
    settle(app->panel());
    const auto rows = shown("signatureRow");
    ASSERT_EQ(rows.size(), 2u);
    for (QQuickItem* row : rows) {
        QQuickItem* subtitle = findOne(row, "rowSubtitle");
        EXPECT_EQ(subtitle->property("effectiveHorizontalAlignment").toInt(), int(Qt::AlignLeft))
            << text(subtitle).toStdString();
    }
    saveScreenshot(app->panel(), "settings-right-to-left-brand");
}

TEST_F(PanelTest, HiddenPanelNeitherAnimatesNorFollowsAndOpensOnTheCurrentPicture) {
    launch();
    startScanning();
    ASSERT_TRUE(waitUntil([&] { return textOf("statusTitle") == u"All clear"_s; }));
    EXPECT_TRUE(item("dial")->property("animated").toBool());

    app->hidePanel();
    EXPECT_FALSE(root()->property("animated").toBool());
    EXPECT_FALSE(item("dial")->property("animated").toBool());
    hear(RAYBAN, "Ray-Ban Meta 0A1B", {}, -52);
    ASSERT_TRUE(waitUntil([&] { return app->model().state().threatLevel == ThreatLevel::DETECTED; }));
    EXPECT_TRUE(findAll(root(), "detectionCard").empty());
    EXPECT_EQ(textOf("statusTitle"), u"All clear"_s);

    // Opening shows the current picture at once, without fading to it.
    app->showPanel();
    EXPECT_TRUE(root()->property("animated").toBool());
    EXPECT_EQ(textOf("statusTitle"), u"Smart glasses likely nearby"_s);
    EXPECT_EQ(item("dial")->property("shownColor").value<QColor>(), rgb(Palette::stateLikely));
    settle(app->panel());  // the list makes its rows before the first frame
    EXPECT_EQ(findAll(root(), "detectionCard").size(), 1u);
}

// A double click on the tray item arrives as a click and then a double click: together one toggle.
TEST_F(PanelTest, ADoubleClickOnTheTrayItemTogglesThePanelOnce) {
    launch();
    ASSERT_TRUE(app->panel().isVisible());
    for (const bool shownAfter : {false, true}) {
        app->trayActivated(QSystemTrayIcon::Trigger);
        app->trayActivated(QSystemTrayIcon::DoubleClick);
        settle(app->panel());
        EXPECT_EQ(app->panel().isVisible(), shownAfter);
    }
    // The second press took the focus from the panel that the first had opened, which hid it: the pair still
    // leaves it open.
    app->hidePanel();
    app->trayActivated(QSystemTrayIcon::Trigger);
    app->hidePanel();
    app->trayActivated(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(app->panel().isVisible());
}

// Without a tray the window's icon is the tray glyph, so the status shows in the task bar too.
TEST_F(PanelTest, WithoutATrayTheWindowIconIsTheGlyphInTheStatusColour) {
    launch();
    ASSERT_EQ(app->tray(), nullptr);
    const auto dot = [&] {
        const QImage image = app->panel().icon().pixmap(QSize(32, 32)).toImage();
        return image.isNull() ? QColor() : image.pixelColor(16, 16);
    };
    EXPECT_EQ(dot(), rgb(Palette::stateIdle));
    startScanning();
    EXPECT_TRUE(waitUntil([&] { return dot() == rgb(Palette::stateClear); }));
    hear(RAYBAN, "Ray-Ban Meta 0A1B", {}, -52);
    EXPECT_TRUE(waitUntil([&] { return dot() == rgb(Palette::stateLikely); }));
}

TEST_F(PanelTest, QuitEndsTheApplicationsEventLoop) {
    launch();
    bool timedOut = false;
    QTimer::singleShot(0, [&] { tap("quitButton"); });
    QTimer::singleShot(5000, [&] {
        timedOut = true;
        QCoreApplication::exit(1);
    });
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_FALSE(timedOut);
}

TEST_F(PanelTest, AutoStartScansRightAfterLaunchOnlyWhenAsked) {
    const auto requests = [&] {
        const auto messages = log->messages();
        return std::count(messages.begin(), messages.end(), "startScanning requested");
    };
    // Without the key, the launch (whose event processing the auto-start would have used) starts nothing.
    launch();
    EXPECT_EQ(central->created, 0);
    EXPECT_EQ(requests(), 0);
    app.reset();

    UserDefaults::standard().setBool(true, "GlintwardAutoStart");
    launch();
    EXPECT_TRUE(waitUntil([&] { return textOf("statusTitle") == u"All clear"_s; }));
    // The scanner makes its central on its own queue, after the start has been published.
    EXPECT_TRUE(waitUntil([&] { return central->created == 1; }));
    EXPECT_EQ(requests(), 1);
}

// A peer that stops reading must not end the application: the write fails with EPIPE instead. Programs
// started afterwards still die of SIGPIPE as they expect.
TEST_F(PanelTest, ABrokenPipeNeitherEndsTheApplicationNorReachesWhatItStarts) {
    struct sigaction saved {};
    ::sigaction(SIGPIPE, nullptr, &saved);
    ::signal(SIGPIPE, SIG_DFL);
    launch();

    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    ::close(pipe[0]);
    errno = 0;
    EXPECT_EQ(::write(pipe[1], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    ::close(pipe[1]);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::execl("/bin/sh", "sh", "-c", "kill -PIPE $$", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << status;
    ::sigaction(SIGPIPE, &saved, nullptr);
}

}  // namespace
}  // namespace glintward
