#include "app/Views/ViewLogic.h"

#include <gtest/gtest.h>

#include <QFontMetricsF>
#include <QTextLayout>
#include <cmath>
#include <limits>

#include "app/DesignSystem.h"
#include "tests/uisupport/QuickTesting.h"

namespace glintward {
namespace {

using namespace Qt::StringLiterals;

TEST(RadarStatusTest, FirstMatchingRowDecidesTextAndColours) {
    struct Case {
        bool bluetoothOff;
        bool scanning;
        ThreatLevel level;
        QString label;
        QString explainer;
        QRgb color;
        QRgb title;
    };
    const QString off =
        u"Glintward can't listen without it. It only scans \u2014 it never connects to a device."_s;
    const QString idle =
        u"Glintward listens for the Bluetooth signals smart glasses give off. It keeps listening for as long as it's running."_s;
    const Case cases[] = {
        // Bluetooth off wins over scanning and over any level; scanning off wins over any level.
        {true, true, ThreatLevel::DETECTED, u"Bluetooth is off"_s, off, Palette::stateIdle,
         Palette::textPrimary},
        {true, false, ThreatLevel::CLEAR, u"Bluetooth is off"_s, off, Palette::stateIdle,
         Palette::textPrimary},
        {false, false, ThreatLevel::DETECTED, u"Radar off"_s, idle, Palette::stateIdle, Palette::stateIdle},
        {false, true, ThreatLevel::CLEAR, u"All clear"_s,
         u"Quiet isn't a guarantee: glasses mostly announce themselves when powering on or pairing."_s,
         Palette::stateClear, Palette::stateClear},
        {false, true, ThreatLevel::POSSIBLE, u"Possible smart glasses nearby"_s,
         u"A matching manufacturer ID was heard \u2014 not yet a named device."_s, Palette::statePossible,
         Palette::statePossible},
        {false, true, ThreatLevel::DETECTED, u"Smart glasses likely nearby"_s,
         u"A detection isn't proof of recording \u2014 it means a matching signal is nearby."_s,
         Palette::stateLikely, Palette::stateLikely},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label.toStdString());
        const RadarStatus s = radarStatus(c.bluetoothOff, c.scanning, c.level);
        EXPECT_EQ(s.label, c.label);
        EXPECT_EQ(s.explainer, c.explainer);
        EXPECT_EQ(s.color, c.color);
        EXPECT_EQ(statusTitleColor(c.bluetoothOff, s.color), c.title);
        EXPECT_EQ(dialScanning(c.scanning, c.bluetoothOff), c.scanning && !c.bluetoothOff);
    }
}

Detection detection(std::string address, bool engineMuted) {
    return Detection{std::move(address), "Ray-Ban Meta", "Meta", 0.9, -60, 2, Proximity::NEAR, 0, 0,
                     engineMuted};
}

TEST(RadarPageRulesTest, MutedByEitherTheEngineFlagOrTheUsersSet) {
    const std::vector<Detection> detections = {detection("a", false), detection("b", true),
                                               detection("c", false), detection("d", true),
                                               detection("e", false)};
    // "c" was just muted (flag not yet set), "d" just unmuted (flag still set): both count as muted.
    const Set<std::string> muted{"c"};
    EXPECT_FALSE(countsAsMuted(detections[0], muted));
    EXPECT_TRUE(countsAsMuted(detections[1], muted));
    EXPECT_TRUE(countsAsMuted(detections[2], muted));
    EXPECT_TRUE(countsAsMuted(detections[3], muted));
    EXPECT_EQ(unmutedCount(detections, muted), 2);
    EXPECT_EQ(unmutedCount({}, muted), 0);
}

TEST(RadarPageRulesTest, BlipBearingsCountUnmutedDetectionsUnlessBluetoothIsOff) {
    EXPECT_EQ(blipBearings(false, 7), (std::vector<double>{-60, 14, 88, 162, 236, 310, 384}));
    EXPECT_TRUE(blipBearings(false, 0).empty());
    EXPECT_TRUE(blipBearings(true, 3).empty());
}

TEST(DetectionCardTextTest, ProximityLabelHasOneDecimalWithAPointInAnyLocale) {
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(proximityLabel(Proximity::NEAR, 3.24), u"In the room (~3.2 m)"_s);
    EXPECT_EQ(proximityLabel(Proximity::IMMEDIATE, 0.62), u"Very close (~0.6 m)"_s);
    EXPECT_EQ(proximityLabel(Proximity::FAR, 12.0), u"Further away (~12.0 m)"_s);
    EXPECT_EQ(proximityLabel(Proximity::FAR, 1234567.25), u"Further away (~1234567.2 m)"_s);
    QLocale::setDefault(QLocale::c());
}

TEST(DetectionCardTextTest, SignalReadingTruncatesTowardZero) {
    const std::pair<double, std::int64_t> cases[] = {
        {-67.8, -67},
        {-40.0, -40},
        {-89.9, -89},
        {-0.4, 0},
        {12.9, 12},
        {std::nan(""), 0},
        {1e300, std::numeric_limits<std::int64_t>::max()},
        {-std::numeric_limits<double>::infinity(), 0},
    };
    for (const auto& [rssi, dbm] : cases) EXPECT_EQ(signalReadingDbm(rssi), dbm) << rssi;
    EXPECT_EQ(signalReading(-67.8), u"-67 dBm"_s);
}

TEST(SignalMeterTest, FilledIsLinearFromMinus90ToMinus40RoundingHalvesAway) {
    const std::pair<double, int> tenSegments[] = {
        {-90, 0}, {-100, 0}, {-89.9, 0}, {-77, 3}, {-71, 4}, {-65, 5}, {-40, 10}, {-20, 10}, {-87.5, 1},
    };
    for (const auto& [rssi, lit] : tenSegments) EXPECT_EQ(filledSegments(rssi, 10), lit) << rssi;
    EXPECT_EQ(filledSegments(-40, 0), 0);
    EXPECT_EQ(filledSegments(-40, -3), 0);
    EXPECT_EQ(filledSegments(std::nan(""), 10), 0);
    EXPECT_EQ(filledSegments(std::numeric_limits<double>::infinity(), 10), 10);
}

TEST(SessionLogRowTextTest, LineShowsShortTimesOnlyInTheUsersZone) {
    const QLocale german(QLocale::German, QLocale::Germany);
    const QTimeZone utc = QTimeZone::utc();
    // 2024-03-01 14:05 and 14:20 UTC.
    const std::int64_t first = 1709301900000;
    const std::int64_t last = first + 15 * 60 * 1000;
    EXPECT_EQ(sessionLogLine(first, last, -58, german, utc),
              u"First seen 14:05 \u00b7 last 14:20 \u00b7 peak -58 dBm"_s);
    // Two days apart: still only the times.
    EXPECT_EQ(sessionLogLine(first, last + 2 * 86400000LL, -58, german, utc),
              u"First seen 14:05 \u00b7 last 14:20 \u00b7 peak -58 dBm"_s);
    // The zone moves the clock; a 12-hour locale writes its own style.
    EXPECT_EQ(shortLocalTime(first, german, QTimeZone(3600)), u"15:05"_s);
    const QString american = shortLocalTime(first, QLocale(QLocale::English, QLocale::UnitedStates), utc);
    EXPECT_TRUE(american.startsWith(u"2:05"_s)) << american.toStdString();
    EXPECT_TRUE(american.endsWith(u"PM"_s)) << american.toStdString();
}

TEST(SessionLogRowTextTest, ShortTimesAreHoursAndMinutesInEveryLocale) {
    const QTimeZone utc = QTimeZone::utc();
    const std::int64_t at = 1709301909000;  // 2024-03-01 14:05:09 UTC
    struct Case {
        QLocale locale;
        QString expected;
    };
    const Case cases[] = {
        {QLocale::c(), u"14:05"_s},  // its own short style carries seconds
        {QLocale(QLocale::English, QLocale::UnitedStates), u"2:05 PM"_s},
        {QLocale(QLocale::German, QLocale::Germany), u"14:05"_s},
        {QLocale(QLocale::Finnish, QLocale::Finland), u"14.05"_s},
        {QLocale(QLocale::Korean, QLocale::SouthKorea), u"\uc624\ud6c4 2:05"_s},
    };
    for (const auto& [locale, expected] : cases) {
        EXPECT_EQ(shortLocalTime(at, locale, utc), expected) << locale.name().toStdString();
    }
    EXPECT_EQ(sessionLogLine(at, at + 15 * 60 * 1000, -80, QLocale::c(), utc),
              u"First seen 14:05 \u00b7 last 14:20 \u00b7 peak -80 dBm"_s);
    // No locale shows the seconds: 14:05:09 and 14:05:59 read alike, 14:06 does not.
    for (const QLocale& locale :
         QLocale::matchingLocales(QLocale::AnyLanguage, QLocale::AnyScript, QLocale::AnyTerritory)) {
        const QString shown = shortLocalTime(at, locale, utc);
        EXPECT_EQ(shortLocalTime(at + 50000, locale, utc), shown) << locale.name().toStdString();
        EXPECT_NE(shortLocalTime(at + 51000, locale, utc), shown) << locale.name().toStdString();
    }
}

TEST(SettingsTextTest, SignatureSubtitleCountsEveryIdentifier) {
    DeviceSignature none{"x", "Brand", "Name", {}, {}, false, {}};
    DeviceSignature one = none;
    one.namePatterns = {compilePattern("ray-?ban")};
    DeviceSignature four = one;
    four.namePatterns.push_back(compilePattern("meta"));
    four.companyIds = Set<std::int32_t>{1422};
    four.serviceUuids = Set<std::string>{"0000fd5f-0000-1000-8000-00805f9b34fb"};
    EXPECT_EQ(signatureSubtitle(none), u"Brand \u00b7 0 identifiers"_s);
    EXPECT_EQ(signatureSubtitle(one), u"Brand \u00b7 1 identifier"_s);
    EXPECT_EQ(signatureSubtitle(four), u"Brand \u00b7 4 identifiers"_s);
}

// Where the lines start when `text` is drawn `width` pixels wide, wrapping at word boundaries as a Text does.
std::vector<int> lineStarts(const QString& text, const QFont& font, int width) {
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    std::vector<int> starts;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        starts.push_back(line.textStart());
    }
    layout.endLayout();
    return starts;
}

// At any width that holds its widest clause, a drawn line breaks only after a separating dot: never between
// a value and its unit, "peak" and its value, or a count and "identifiers", nor before a dot.
TEST(DrawnTextTest, ValuesKeepTheirUnitsAndLabelsAtEveryWidth) {
    const QTimeZone utc = QTimeZone::utc();
    const std::int64_t at = 1709301900000;  // 14:05 UTC
    DeviceSignature rayban{"x", "Meta", "Name", {}, {}, false, {}};
    for (int i = 0; i < 11; ++i) rayban.namePatterns.push_back(compilePattern("p"));
    struct Case {
        const char* what;
        QString drawn;
        QFont font;
    };
    const Case cases[] = {
        {"24-hour", drawnSessionLogLine(at, at + 900000, -80, QLocale::c(), utc), toFont(TypeScale::reading)},
        {"12-hour",
         drawnSessionLogLine(at, at + 900000, -80, QLocale(QLocale::English, QLocale::UnitedStates), utc),
         toFont(TypeScale::reading)},
        {"subtitle", drawnSignatureSubtitle(rayban), toFont(TypeScale::reading)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int wrapped = 0;
        qreal widest = 0;
        for (const QString& run : c.drawn.split(u' ')) {  // the runs no line may break
            widest = std::max(widest, QFontMetricsF(c.font).horizontalAdvance(run));
        }
        for (int width = static_cast<int>(std::ceil(widest)) + 1; width <= 400; width += 2) {
            const std::vector<int> starts = lineStarts(c.drawn, c.font, width);
            for (std::size_t i = 1; i < starts.size(); ++i) {
                ++wrapped;
                const int start = starts[i];
                EXPECT_TRUE(c.drawn.left(start).endsWith(u"\u00b7 "_s))
                    << "at " << width << " px a line starts at: " << c.drawn.mid(start).toStdString();
            }
        }
        EXPECT_GT(wrapped, 0);  // the narrow widths did wrap
    }
    // Only the spaces are changed: read aloud, copied or compared, the drawn texts say the same.
    const auto plain = [](QString s) {
        return s.replace(QChar(0x00A0), u' ').remove(QChar(0x2068)).remove(QChar(0x2069));
    };
    EXPECT_EQ(plain(cases[0].drawn), sessionLogLine(at, at + 900000, -80, QLocale::c(), utc));
    EXPECT_EQ(plain(cases[2].drawn), signatureSubtitle(rayban));
}

// A right-to-left brand leads the subtitle: drawn, it stays a name inside a left-to-right line, which keeps
// its order (brand, count, "identifiers") and its leading alignment.
TEST(DrawnTextTest, ARightToLeftBrandDoesNotReorderTheSubtitle) {
    DeviceSignature meta{"x", "\u0645\u064a\u062a\u0627", "Name", {compilePattern("p")}, {}, false, {}};
    const QString spec = signatureSubtitle(meta);
    const QString drawn = drawnSignatureSubtitle(meta);
    EXPECT_TRUE(spec.isRightToLeft());  // the fault, as the plain text would be drawn
    EXPECT_FALSE(drawn.isRightToLeft());
    QTextLayout layout(drawn, toFont(TypeScale::reading));
    layout.beginLayout();
    QTextLine line = layout.createLine();
    line.setLineWidth(1000);
    layout.endLayout();
    const qreal brand = line.cursorToX(drawn.indexOf(u'\u0645') + 1);
    const qreal count = line.cursorToX(drawn.indexOf(u'1'));
    const qreal unit = line.cursorToX(drawn.indexOf(u"identifier"_s));
    EXPECT_LT(brand, count);
    EXPECT_LT(count, unit);
}

TEST(SettingsTextTest, VersionAndThresholdReadings) {
    EXPECT_EQ(catalogueVersionText(0), u"built-in"_s);
    EXPECT_EQ(catalogueVersionText(12), u"v12"_s);
    EXPECT_EQ(catalogueVersionText(-3), u"v-3"_s);
    EXPECT_EQ(thresholdReading(AlertThreshold::VERY_CLOSE), u"Very close"_s);
    EXPECT_EQ(thresholdReading(AlertThreshold::IN_THE_ROOM), u"In the room"_s);
    EXPECT_EQ(thresholdReading(AlertThreshold::ANY_DISTANCE), u"Any distance"_s);
}

}  // namespace
}  // namespace glintward
