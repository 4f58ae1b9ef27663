#include "app/Views/ViewLogic.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEasingCurve>
#include <QPointF>
#include <QStringList>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "app/DesignSystem.h"

namespace glintward {

namespace {
QEasingCurve cubicBezier(qreal x1, qreal y1, qreal x2, qreal y2) {
    QEasingCurve curve(QEasingCurve::BezierSpline);
    curve.addCubicBezierSegment(QPointF(x1, y1), QPointF(x2, y2), QPointF(1, 1));
    return curve;
}
}  // namespace

double easeInOut(double t) {
    static const QEasingCurve curve = cubicBezier(0.42, 0, 0.58, 1);
    return curve.valueForProgress(std::clamp<qreal>(t, 0, 1));
}

double easeOut(double t) {
    static const QEasingCurve curve = cubicBezier(0, 0, 0.58, 1);
    return curve.valueForProgress(std::clamp<qreal>(t, 0, 1));
}

RadarStatus radarStatus(bool bluetoothOff, bool scanning, ThreatLevel threatLevel) {
    if (bluetoothOff) {
        return {
            QStringLiteral("Bluetooth is off"),
            // BlueZ discovery is an active scan (the controller sends scan requests), so the text
            // promises only what holds: no connection to anything heard.
            QString::fromUtf8("Glintward can't listen without it. It only scans \u2014 it never connects to "
                              "a device."),
            Palette::stateIdle};
    }
    if (!scanning) {
        return {QStringLiteral("Radar off"),
                QStringLiteral("Glintward listens for the Bluetooth signals smart glasses give off. It keeps "
                               "listening for as long as it's running."),
                Palette::stateIdle};
    }
    switch (threatLevel) {
        case ThreatLevel::CLEAR:
            return {
                QStringLiteral("All clear"),
                QStringLiteral("Quiet isn't a guarantee: glasses mostly announce themselves when powering "
                               "on or pairing."),
                Palette::stateClear};
        case ThreatLevel::POSSIBLE:
            return {QStringLiteral("Possible smart glasses nearby"),
                    QString::fromUtf8("A matching manufacturer ID was heard \u2014 not yet a named device."),
                    Palette::statePossible};
        case ThreatLevel::DETECTED:
            break;
    }
    return {QStringLiteral("Smart glasses likely nearby"),
            QString::fromUtf8(
                "A detection isn't proof of recording \u2014 it means a matching signal is nearby."),
            Palette::stateLikely};
}

QRgb statusTitleColor(bool bluetoothOff, QRgb statusColor) {
    return bluetoothOff ? Palette::textPrimary : statusColor;
}

bool dialScanning(bool scanning, bool bluetoothOff) {
    return scanning && !bluetoothOff;
}

bool countsAsMuted(const Detection& detection, const Set<std::string>& mutedAddresses) {
    return detection.muted || mutedAddresses.contains(detection.address);
}

int unmutedCount(const std::vector<Detection>& detections, const Set<std::string>& mutedAddresses) {
    return static_cast<int>(std::count_if(detections.begin(), detections.end(), [&](const Detection& d) {
        return !countsAsMuted(d, mutedAddresses);
    }));
}

std::vector<double> blipBearings(bool bluetoothOff, int unmutedCount) {
    std::vector<double> bearings;
    if (bluetoothOff) return bearings;
    for (int j = 0; j < unmutedCount; ++j) bearings.push_back(j * 74.0 - 60.0);
    return bearings;
}

QString proximityLabel(Proximity proximity, double estimatedDistanceMeters) {
    QString word;
    switch (proximity) {
        case Proximity::IMMEDIATE:
            word = QStringLiteral("Very close");
            break;
        case Proximity::NEAR:
            word = QStringLiteral("In the room");
            break;
        case Proximity::FAR:
            word = QStringLiteral("Further away");
            break;
    }
    // to_chars is locale-independent, unlike printf once the application has set the user's locale.
    char digits[400];
    const auto [end, ec] =
        std::to_chars(digits, digits + sizeof digits, estimatedDistanceMeters, std::chars_format::fixed, 1);
    const QString distance =
        ec == std::errc{} ? QString::fromLatin1(digits, end - digits) : QStringLiteral("?");
    return word + QStringLiteral(" (~") + distance + QStringLiteral(" m)");
}

std::int64_t signalReadingDbm(double smoothedRssi) {
    if (!std::isfinite(smoothedRssi)) return 0;
    const double t = std::trunc(smoothedRssi);
    // 2^63 is exact as a double; anything at or beyond it would overflow the conversion.
    constexpr double LIMIT = 9223372036854775808.0;
    if (t >= LIMIT) return std::numeric_limits<std::int64_t>::max();
    if (t < -LIMIT) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(t);
}

QString signalReading(double smoothedRssi) {
    return QCoreApplication::translate("DetectionCard", "%1 dBm").arg(signalReadingDbm(smoothedRssi));
}

int filledSegments(double smoothedRssi, int segments) {
    if (segments <= 0 || std::isnan(smoothedRssi)) return 0;
    double x = (smoothedRssi + 90.0) / 50.0;
    if (x <= 0) x = 0;
    if (x > 1) x = 1;
    return static_cast<int>(std::round(static_cast<double>(segments) * x));
}

namespace {

// The locale's short time format without seconds, fractions or a zone: Qt's C locale gives "HH:mm:ss" as its
// short style, while the short style means hours and minutes in the user's own order and clock. Each field
// left out takes the separator before it along ("HH:mm:ss t" gives "HH:mm"; "h:mm:ss AP" gives "h:mm AP").
QString hoursAndMinutesFormat(const QLocale& locale) {
    const QString format = locale.timeFormat(QLocale::ShortFormat);
    struct Token {
        QString text;
        bool separator;  // neither a field nor quoted text
        bool dropped;
    };
    std::vector<Token> tokens;
    for (qsizetype i = 0; i < format.size();) {
        const QChar c = format[i];
        qsizetype end = i + 1;
        if (c == u'\'') {
            // Quoted text runs to the next lone quote; two quotes stand for one.
            while (end < format.size()) {
                if (format[end] == u'\'') {
                    if (end + 1 < format.size() && format[end + 1] == u'\'') {
                        end += 2;
                        continue;
                    }
                    ++end;
                    break;
                }
                ++end;
            }
            tokens.push_back({format.mid(i, end - i), false, false});
        } else if (c.isLetter() && c.unicode() < 0x80) {
            while (end < format.size() && format[end] == c) ++end;
            const bool unwanted = c == u's' || c == u'z' || c == u't';
            tokens.push_back({format.mid(i, end - i), false, unwanted});
        } else {
            while (end < format.size() && format[end] != u'\'' &&
                   !(format[end].isLetter() && format[end].unicode() < 0x80)) {
                ++end;
            }
            tokens.push_back({format.mid(i, end - i), true, false});
        }
        i = end;
    }
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (!tokens[i].dropped || tokens[i].separator) continue;
        if (i > 0 && tokens[i - 1].separator) {
            tokens[i - 1].dropped = true;
        } else if (i + 1 < tokens.size() && tokens[i + 1].separator) {
            tokens[i + 1].dropped = true;
        }
    }
    QString out;
    for (const Token& token : tokens) {
        if (!token.dropped) out += token.text;
    }
    return out;
}

}  // namespace

QString shortLocalTime(std::int64_t ms, const QLocale& locale, const QTimeZone& zone) {
    const QDateTime at = QDateTime::fromMSecsSinceEpoch(ms, zone);
    return locale.toString(at.time(), hoursAndMinutesFormat(locale));
}

QString sessionLogLine(std::int64_t firstSeenMs, std::int64_t lastSeenMs, std::int32_t strongestRssi,
                       const QLocale& locale, const QTimeZone& zone) {
    return QCoreApplication::translate("SessionLogRow", "First seen %1 \u00b7 last %2 \u00b7 peak %3 dBm")
        .arg(shortLocalTime(firstSeenMs, locale, zone), shortLocalTime(lastSeenMs, locale, zone),
             QString::number(strongestRssi));
}

int identifierCount(const DeviceSignature& signature) {
    return static_cast<int>(signature.namePatterns.size() + signature.companyIds.size() +
                            signature.serviceUuids.size());
}

QString signatureSubtitle(const DeviceSignature& signature) {
    const int count = identifierCount(signature);
    return QString::fromStdString(signature.brand) + QString::fromUtf8(" \u00b7 ") + QString::number(count) +
           (count == 1 ? QStringLiteral(" identifier") : QStringLiteral(" identifiers"));
}

QString isolated(const QString& name) {
    return QChar(0x2068) + name + QChar(0x2069);
}

QString drawnSessionLogLine(std::int64_t firstSeenMs, std::int64_t lastSeenMs, std::int32_t strongestRssi,
                            const QLocale& locale, const QTimeZone& zone) {
    const QString separator = QString::fromUtf8(" \u00b7 ");
    QStringList clauses =
        sessionLogLine(firstSeenMs, lastSeenMs, strongestRssi, locale, zone).split(separator);
    // Whatever spaces a locale's time holds become no-break ones too; U+202F already is one, and narrow.
    for (QString& clause : clauses) {
        for (QChar& c : clause) {
            if (c.isSpace() && c != QChar(0x202F)) c = QChar(0x00A0);
        }
    }
    // The dot stays at the end of a line, not at the start of the next.
    return clauses.join(QString::fromUtf8("\u00a0\u00b7 "));
}

QString drawnSignatureSubtitle(const DeviceSignature& signature) {
    const int count = identifierCount(signature);
    return isolated(QString::fromStdString(signature.brand)) + QString::fromUtf8("\u00a0\u00b7 ") +
           QString::number(count) +
           (count == 1 ? QStringLiteral("\u00a0identifier") : QStringLiteral("\u00a0identifiers"));
}

QString catalogueVersionText(std::int32_t version) {
    return version == 0 ? QStringLiteral("built-in") : QStringLiteral("v") + QString::number(version);
}

QString thresholdReading(AlertThreshold threshold) {
    switch (threshold) {
        case AlertThreshold::VERY_CLOSE:
            return QStringLiteral("Very close");
        case AlertThreshold::ANY_DISTANCE:
            return QStringLiteral("Any distance");
        case AlertThreshold::IN_THE_ROOM:
            break;
    }
    return QStringLiteral("In the room");
}

}  // namespace glintward
